// Leveled trace output to the debugger, and the trace level read at driver entry.
#include "driver/runtime/runtime.h"

#include <cstdarg>
#include <cstdio>

ULONG GlobalDebugLevel = 0;

void Debug(ULONG level, const char* format, ...) {
    if (level > GlobalDebugLevel) {
        return;
    }
    char buffer[DEBUG_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    // vsnprintf never writes past the buffer; a longer line is cut at DEBUG_BUFFER_SIZE - 1.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): args is started just above.
    int n = vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0) {
        return;
    }
    // Printed as data, so a percent sign inside a traced value is not interpreted again.
    DbgPrint("%s", buffer);
}

void iscsiOSreadTraceLevel() {
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = u"Debug";
    table[0].EntryContext = &GlobalDebugLevel;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = nullptr;
    table[0].DefaultLength = 0;
    (void)RtlQueryRegistryValues(RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL,
                                 u"QueviSCSI\\Parameters", table, nullptr, nullptr);
}
