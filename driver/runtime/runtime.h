// Runtime services every layer of the driver uses: leveled trace output and the event log writer.
// Threads, delays and bounded waits (declared in os_services.h) are defined in this folder too:
// the only places where the driver touches the kernel's thread, timer and debugger facilities.
#pragma once

#include "platform/kernel/ntkernel.h"

#include <cstdint>

// Highest trace level printed; 0 prints nothing. Set once at driver entry from the registry value
// "Debug" and only read afterwards.
extern ULONG GlobalDebugLevel;

// The driver object that event log entries are written for; stored by the driver entry.
extern PDRIVER_OBJECT GlobalDriverObject;

// Trace levels, by convention of the whole driver.
constexpr ULONG DBG_ERROR = 1;    // errors, failure paths, configuration, control requests
constexpr ULONG DBG_CONTROL = 2;  // control-path detail, message handling
constexpr ULONG DBG_REQUEST = 3;  // per-request SCSI path
constexpr ULONG DBG_TRANSFER = 4; // per-transfer transport reads and writes

// Capacity of one formatted trace line, terminating NUL included; longer lines are truncated.
constexpr int DEBUG_BUFFER_SIZE = 1000;

// Prints one trace line when level <= GlobalDebugLevel. The level test comes first, so a disabled
// trace costs one comparison. Lines longer than DEBUG_BUFFER_SIZE - 1 characters are cut there.
void Debug(ULONG level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Reads "Debug" under "QueviSCSI\Parameters" of the services key into GlobalDebugLevel. The query's
// result is ignored: a missing key or value leaves the level at 0.
void iscsiOSreadTraceLevel();

// Writes one event log entry for GlobalDriverObject with the message id's insertion strings
// (16-bit, NUL-terminated; only as many are read as the id takes). Returns 0 when written, -1
// when no entry could be allocated. Any IRQL up to DISPATCH_LEVEL.
int sendErrorLogMsg(ULONG messageId, ULONG uniqueValue, PCWSTR string1, PCWSTR string2,
                    PCWSTR string3, PCWSTR string4);
