// System threads, whole-second delays and bounded waits.
#include "driver/runtime/os_services.h"

namespace {

// Relative time-out in 100 ns units for a number of seconds. Computed in 64 bits, so any number
// of seconds gives the wait it names rather than a wrapped product.
LARGE_INTEGER relativeSeconds(ULONG seconds) {
    LARGE_INTEGER t;
    t.QuadPart = -static_cast<LONGLONG>(seconds) * 10000000LL;
    return t;
}

} // namespace

ULONG iscsiOScreateThread(PKSTART_ROUTINE startRoutine, PVOID context, ULONG contextSize) {
    (void)contextSize;
    HANDLE handle = nullptr;
    NTSTATUS status =
        PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, startRoutine, context);
    if (!NT_SUCCESS(status)) {
        return ISCSI_THREAD_FAILED;
    }
    // The kernel's thread handles are small positive numbers, so they fit the 32-bit handle
    // fields of the engine and never look like the failure value.
    return static_cast<ULONG>(reinterpret_cast<uintptr_t>(handle));
}

void iscsiOSdelayThread(ULONG seconds) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KeClearEvent(&event);
    LARGE_INTEGER timeout = relativeSeconds(seconds);
    (void)KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    KeClearEvent(&event);
}

NTSTATUS iscsiOSlimitsleep(PVOID object, ULONG seconds) {
    LARGE_INTEGER timeout = relativeSeconds(seconds);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &timeout);
}
