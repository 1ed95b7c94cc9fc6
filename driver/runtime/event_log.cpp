// The event log writer: one error log entry per call, message id plus insertion strings.
#include "driver/api/messages.h"
#include "driver/runtime/runtime.h"

PDRIVER_OBJECT GlobalDriverObject = nullptr;

namespace {

constexpr ULONG ERROR_LOG_HEADER_SIZE = 48;

size_t stringChars(PCWSTR s) {
    return s == nullptr ? 0 : wcslen16(s);
}

} // namespace

int sendErrorLogMsg(ULONG messageId, ULONG uniqueValue, PCWSTR string1, PCWSTR string2,
                    PCWSTR string3, PCWSTR string4) {
    const QUEV_MESSAGE* message = quevFindMessage(messageId);
    // An id outside the table carries no strings.
    ULONG count = message == nullptr ? 0 : message->insertionStrings;
    if (count > 4) {
        count = 4;
    }
    PCWSTR strings[4] = {string1, string2, string3, string4};

    size_t chars = 0;
    for (ULONG i = 0; i < count; i++) {
        chars += stringChars(strings[i]) + 1;
    }
    size_t size = ERROR_LOG_HEADER_SIZE + 2 * chars;
    if (size > 0xFF) {
        // The entry size travels as one byte; refuse rather than write a cut-down entry.
        return -1;
    }
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(
        IoAllocateErrorLogEntry(GlobalDriverObject, static_cast<UCHAR>(size)));
    if (packet == nullptr) {
        return -1;
    }
    RtlZeroMemory(packet, size);
    packet->ErrorCode = static_cast<NTSTATUS>(messageId);
    packet->UniqueErrorValue = uniqueValue;
    packet->NumberOfStrings = static_cast<USHORT>(count);
    packet->StringOffset = static_cast<USHORT>(ERROR_LOG_HEADER_SIZE);

    auto* out = reinterpret_cast<WCHAR*>(reinterpret_cast<UCHAR*>(packet) + ERROR_LOG_HEADER_SIZE);
    for (ULONG i = 0; i < count; i++) {
        size_t n = stringChars(strings[i]);
        if (n != 0) {
            RtlCopyMemory(out, strings[i], n * sizeof(WCHAR));
        }
        out[n] = 0;
        out += n + 1;
    }
    IoWriteErrorLogEntry(packet);
    return 0;
}
