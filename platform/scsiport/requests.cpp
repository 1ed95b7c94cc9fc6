// The request path of the port driver: queues per logical unit, start-I/O under the port locks,
// the miniport's notifications, the completion DPC, the miniport timer and the tick that times
// requests out and gives BUSY requests back.
//
// Start rules, as on NT: after a SCSI request is handed to the miniport, no further one is
// started until the miniport indicates NextRequest or NextLuRequest (or ScsiPortCompleteRequest
// is called); after NextLuRequest that unit's next request goes first. Control requests
// (SRB_FUNCTION_IO_CONTROL) are handed over at once whatever the indications.
#include "platform/kernel/host.h"
#include "platform/scsiport/port_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace qvport::detail {

namespace {

constexpr LONGLONG kUnitsPerMs = 10000;
constexpr LONGLONG kUnitsPerSecond = 10000000;
constexpr ULONG kTagCount = 254; // tags 1..254; 0xFF is SP_UNTAGGED

void appendDone(SCSI_PORT* port, SCSI_PORT_REQUEST* r) {
    r->State = SCSI_REQUEST_DONE;
    r->Link = nullptr;
    if (port->DoneTail != nullptr) {
        port->DoneTail->Link = r;
    } else {
        port->DoneHead = r;
    }
    port->DoneTail = r;
}

UCHAR allocateTag(SCSI_PORT_LU& lu) {
    for (ULONG i = 0; i < kTagCount; i++) {
        auto tag = static_cast<UCHAR>((lu.NextTag + i) % kTagCount + 1);
        ULONG& word = lu.TagsInUse[tag / 32];
        ULONG bit = 1u << (tag % 32);
        if ((word & bit) == 0) {
            word |= bit;
            lu.NextTag = tag;
            return tag;
        }
    }
    return 0;
}

void freeTag(SCSI_PORT_LU& lu, UCHAR tag) {
    if (tag != 0 && tag != SP_UNTAGGED) {
        lu.TagsInUse[tag / 32] &= ~(1u << (tag % 32));
    }
}

bool hasFreeTag(const SCSI_PORT_LU& lu) {
    for (ULONG i = 0; i < 8; i++) {
        ULONG full = i == 0 ? 0xFFFFFFFEu : (i == 7 ? 0x7FFFFFFFu : 0xFFFFFFFFu);
        if ((lu.TagsInUse[i] & full) != full) {
            return true;
        }
    }
    return false;
}

void linkActive(SCSI_PORT_LU& lu, SCSI_PORT_REQUEST* r) {
    r->ActivePrev = nullptr;
    r->ActiveNext = lu.ActiveHead;
    if (lu.ActiveHead != nullptr) {
        lu.ActiveHead->ActivePrev = r;
    }
    lu.ActiveHead = r;
    lu.ActiveCount++;
}

void unlinkActive(SCSI_PORT_LU& lu, SCSI_PORT_REQUEST* r) {
    if (r->ActivePrev != nullptr) {
        r->ActivePrev->ActiveNext = r->ActiveNext;
    } else {
        lu.ActiveHead = r->ActiveNext;
    }
    if (r->ActiveNext != nullptr) {
        r->ActiveNext->ActivePrev = r->ActivePrev;
    }
    r->ActiveNext = nullptr;
    r->ActivePrev = nullptr;
    lu.ActiveCount--;
}

void pushQueue(SCSI_PORT* port, SCSI_PORT_LU& lu, SCSI_PORT_REQUEST* r, bool atHead) {
    r->State = SCSI_REQUEST_QUEUED;
    port->QueuedCount++;
    if (atHead) {
        r->Link = lu.QueueHead;
        lu.QueueHead = r;
        if (lu.QueueTail == nullptr) {
            lu.QueueTail = r;
        }
        return;
    }
    r->Link = nullptr;
    if (lu.QueueTail != nullptr) {
        lu.QueueTail->Link = r;
    } else {
        lu.QueueHead = r;
    }
    lu.QueueTail = r;
}

SCSI_PORT_REQUEST* popQueue(SCSI_PORT* port, SCSI_PORT_LU& lu) {
    SCSI_PORT_REQUEST* r = lu.QueueHead;
    port->QueuedCount--;
    lu.QueueHead = r->Link;
    if (lu.QueueHead == nullptr) {
        lu.QueueTail = nullptr;
    }
    r->Link = nullptr;
    return r;
}

// Whether the unit's first waiting request may be started now. `now` is read once, when needed.
bool startable(const SCSI_PORT_LU& lu, LONGLONG& now) {
    const SCSI_PORT_REQUEST* head = lu.QueueHead;
    if (head == nullptr) {
        return false;
    }
    if (head->Srb.Function == SRB_FUNCTION_EXECUTE_SCSI && !hasFreeTag(lu)) {
        return false;
    }
    if (head->NotBefore != 0) {
        if (now == 0) {
            now = systemTime();
        }
        return head->NotBefore <= now;
    }
    return true;
}

// The pause before a BUSY request's retry after `retries` earlier ones: doubling from the first.
ULONG busyDelayMs(ULONG retries) {
    ULONG delay = kBusyFirstDelayMs;
    for (ULONG i = 0; i < retries && delay < kBusyDelayMs; i++) {
        delay *= 2;
    }
    return delay < kBusyDelayMs ? delay : kBusyDelayMs;
}

// Notes a completion by the miniport. Called with InterruptSpinLock held.
void completeOne(SCSI_PORT* port, PSCSI_REQUEST_BLOCK srb) {
    auto* r = srb != nullptr ? static_cast<SCSI_PORT_REQUEST*>(srb->OriginalRequest) : nullptr;
    if (r == nullptr || &r->Srb != srb || r->Port != port) {
        port->CompletedTwice++;
        report("completion of SRB %p, which the port never handed to the miniport",
               static_cast<void*>(srb));
        return;
    }
    ULONG expected = SCSI_REQUEST_ACTIVE;
    if (!r->State.compare_exchange_strong(expected, SCSI_REQUEST_COMPLETED)) {
        port->CompletedTwice++;
        report("SRB %p (function %02x, cdb %02x, path %u target %u lun %u) completed twice",
               static_cast<void*>(srb), srb->Function, srb->Cdb[0], srb->PathId, srb->TargetId,
               srb->Lun);
        return;
    }
    port->CompletedByMiniport++;
    r->Link = nullptr;
    if (port->CompletedTail != nullptr) {
        port->CompletedTail->Link = r;
    } else {
        port->CompletedHead = r;
    }
    port->CompletedTail = r;
}

// Takes in what the notifications noted. Called with both port locks held.
void takeInterruptData(SCSI_PORT* port) {
    if (port->NextRequestPending) {
        port->NextRequestPending = FALSE;
        port->AdapterReady = TRUE;
    }
    if (port->ReadyPendingCount != 0) {
        bool listed = port->ReadyPendingCount <= SCSI_PORT_READY_LISTED;
        ULONG count = listed ? port->ReadyPendingCount : port->LuCount;
        for (ULONG n = 0; n < count; n++) {
            SCSI_PORT_LU& lu = port->Lus[listed ? port->ReadyPendingUnits[n] : n];
            if (lu.ReadyPending) {
                lu.ReadyPending = FALSE;
                lu.Ready = TRUE;
            }
        }
        port->ReadyPendingCount = 0;
        port->AdapterReady = TRUE;
    }
    SCSI_PORT_REQUEST* r = port->CompletedHead;
    port->CompletedHead = nullptr;
    port->CompletedTail = nullptr;
    while (r != nullptr) {
        SCSI_PORT_REQUEST* next = r->Link;
        SCSI_PORT_LU& lu = port->Lus[r->LuIndex];
        unlinkActive(lu, r);
        r->Deadline = 0;
        bool scsi = r->Srb.Function == SRB_FUNCTION_EXECUTE_SCSI;
        if (scsi) {
            freeTag(lu, r->Srb.QueueTag);
        }
        if (scsi && SRB_STATUS(r->Srb.SrbStatus) == SRB_STATUS_BUSY &&
            r->BusyRetries < kBusyRetries && !port->Stopping.load()) {
            r->NotBefore =
                systemTime() + static_cast<LONGLONG>(busyDelayMs(r->BusyRetries)) * kUnitsPerMs;
            r->BusyRetries++;
            port->BusyRetries++;
            pushQueue(port, lu, r, true);
        } else {
            appendDone(port, r);
        }
        r = next;
    }
}

// Hands one request to the miniport. Called with SpinLock held at DISPATCH_LEVEL.
void startRequest(SCSI_PORT* port, SCSI_PORT_REQUEST* r) {
    SCSI_PORT_LU& lu = port->Lus[r->LuIndex];
    PSCSI_REQUEST_BLOCK srb = &r->Srb;
    srb->SrbStatus = SRB_STATUS_PENDING;
    srb->ScsiStatus = SCSISTAT_GOOD;
    srb->DataTransferLength = r->OriginalDataTransferLength;
    srb->SenseInfoBufferLength = r->OriginalSenseInfoBufferLength;
    srb->OriginalRequest = r;
    srb->SrbExtension = port->Hw.SrbExtensionSize != 0 ? r->Extension : nullptr;
    if (srb->Function == SRB_FUNCTION_EXECUTE_SCSI) {
        srb->QueueTag = allocateTag(lu);
        srb->QueueAction = SRB_SIMPLE_TAG_REQUEST;
        srb->SrbFlags |= SRB_FLAGS_QUEUE_ACTION_ENABLE;
    }
    r->NotBefore = 0;
    r->Deadline = srb->TimeOutValue != 0
                      ? systemTime() + static_cast<LONGLONG>(srb->TimeOutValue) * kUnitsPerSecond
                      : 0;
    r->State = SCSI_REQUEST_ACTIVE;
    linkActive(lu, r);
    port->HandedToMiniport++;
    KeAcquireSpinLockAtDpcLevel(&port->Locks->InterruptSpinLock);
    port->Hw.HwStartIo(port->HwDeviceExtension, srb);
    takeInterruptData(port);
    KeReleaseSpinLockFromDpcLevel(&port->Locks->InterruptSpinLock);
}

// Starts waiting requests while the miniport is ready for them. SpinLock held.
void startNext(SCSI_PORT* port) {
    LONGLONG now = 0;
    while (port->AdapterReady && port->QueuedCount != 0 && !port->Stopping.load()) {
        ULONG chosen = port->LuCount;
        for (ULONG i = 0; i < port->LuCount && chosen == port->LuCount; i++) {
            if (port->Lus[i].Ready && startable(port->Lus[i], now)) {
                chosen = i;
            }
        }
        for (ULONG n = 0; n < port->LuCount && chosen == port->LuCount; n++) {
            ULONG i = (port->NextLuScan + n) % port->LuCount;
            if (startable(port->Lus[i], now)) {
                chosen = i;
            }
        }
        if (chosen == port->LuCount) {
            return;
        }
        SCSI_PORT_LU& lu = port->Lus[chosen];
        port->AdapterReady = FALSE;
        lu.Ready = FALSE;
        port->NextLuScan = (chosen + 1) % port->LuCount;
        startRequest(port, popQueue(port, lu));
    }
}

void requireInterruptLock(SCSI_PORT* port, const char* what) {
#ifdef QUEVI_CHECKS
    if (!port->Initializing && !qvk::holdsSpinLock(&port->Locks->InterruptSpinLock)) {
        fatal("%s called without the port's InterruptSpinLock held, on %s", what,
              qvk::currentThreadName().c_str());
    }
#else
    (void)port;
    (void)what;
#endif
}

} // namespace

LONGLONG systemTime() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

void report(const char* format, ...) {
    char text[512];
    va_list ap;
    va_start(ap, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above.
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    std::fprintf(stderr, "scsiport: %s\n", text);
}

void fatal(const char* format, ...) {
    char text[512];
    va_list ap;
    va_start(ap, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above.
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    std::fprintf(stderr, "scsiport: %s\n", text);
    std::fflush(stderr);
    std::abort();
}

SCSI_PORT* portOfExtension(PVOID hwDeviceExtension) {
    auto* bytes = static_cast<UCHAR*>(hwDeviceExtension);
    auto* prefix = reinterpret_cast<SCSI_PORT_EXTENSION_PREFIX*>(
        bytes - offsetof(SCSI_PORT_EXTENSION_PREFIX, Extension));
    if (hwDeviceExtension == nullptr || prefix->Magic != SCSI_PORT_EXTENSION_MAGIC) {
        fatal("%p is not a miniport device extension", hwDeviceExtension);
    }
    return prefix->Port;
}

ULONG luIndex(const SCSI_PORT* port, ULONG pathId, ULONG targetId, ULONG lun) {
    return (pathId * port->NumberOfTargets + targetId) * SCSI_MAXIMUM_LOGICAL_UNITS + lun;
}

void armMiniportTimer(SCSI_PORT* port, PHW_TIMER routine, ULONG microseconds) {
    port->TimerRoutine = routine;
    if (port->Initializing) {
        port->InitialTimerMicroseconds = routine != nullptr ? microseconds : 0;
        return;
    }
    if (routine == nullptr || microseconds == 0 || port->Stopping.load()) {
        KeCancelTimer(&port->MiniportTimer);
        return;
    }
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(microseconds) * 10;
    KeSetTimer(&port->MiniportTimer, due, &port->MiniportTimerDpc);
}

void processNotifications(SCSI_PORT* port) {
    KeAcquireSpinLockAtDpcLevel(&port->Locks->InterruptSpinLock);
    takeInterruptData(port);
    KeReleaseSpinLockFromDpcLevel(&port->Locks->InterruptSpinLock);
    startNext(port);
}

void flushQueues(SCSI_PORT* port, UCHAR srbStatus) {
    for (ULONG i = 0; i < port->LuCount; i++) {
        SCSI_PORT_LU& lu = port->Lus[i];
        while (lu.QueueHead != nullptr) {
            SCSI_PORT_REQUEST* r = popQueue(port, lu);
            r->Srb.SrbStatus = srbStatus;
            appendDone(port, r);
        }
    }
}

void reportNeverCompleted(SCSI_PORT* port) {
    for (ULONG i = 0; i < port->LuCount; i++) {
        for (SCSI_PORT_REQUEST* r = port->Lus[i].ActiveHead; r != nullptr; r = r->ActiveNext) {
            port->NeverCompleted++;
            report("SRB %p (function %02x, cdb %02x, path %u target %u lun %u) was never completed",
                   static_cast<void*>(&r->Srb), r->Srb.Function, r->Srb.Cdb[0], r->Srb.PathId,
                   r->Srb.TargetId, r->Srb.Lun);
        }
    }
}

void runCallbacks(SCSI_PORT* port) {
    KeAcquireSpinLockAtDpcLevel(&port->Locks->SpinLock);
    SCSI_PORT_REQUEST* r = port->DoneHead;
    port->DoneHead = nullptr;
    port->DoneTail = nullptr;
    KeReleaseSpinLockFromDpcLevel(&port->Locks->SpinLock);
    while (r != nullptr) {
        SCSI_PORT_REQUEST* next = r->Link;
        r->Link = nullptr;
        r->State = SCSI_REQUEST_IDLE;
        r->Completion(r);
        r = next;
    }
}

void completionDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<SCSI_PORT*>(context);
    KeAcquireSpinLockAtDpcLevel(&port->Locks->SpinLock);
    processNotifications(port);
    KeReleaseSpinLockFromDpcLevel(&port->Locks->SpinLock);
    runCallbacks(port);
}

void miniportTimerDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<SCSI_PORT*>(context);
    if (port->Stopping.load()) {
        return;
    }
    KeAcquireSpinLockAtDpcLevel(&port->Locks->SpinLock);
    KeAcquireSpinLockAtDpcLevel(&port->Locks->InterruptSpinLock);
    PHW_TIMER routine = port->TimerRoutine;
    if (routine != nullptr) {
        routine(port->HwDeviceExtension);
    }
    takeInterruptData(port);
    KeReleaseSpinLockFromDpcLevel(&port->Locks->InterruptSpinLock);
    startNext(port);
    KeReleaseSpinLockFromDpcLevel(&port->Locks->SpinLock);
    runCallbacks(port);
}

void tickDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* port = static_cast<SCSI_PORT*>(context);
    if (port->Stopping.load()) {
        return;
    }
    LONGLONG now = systemTime();
    bool resetPath[SCSI_PORT_MAXIMUM_BUSES] = {};
    KeAcquireSpinLockAtDpcLevel(&port->Locks->SpinLock);
    KeAcquireSpinLockAtDpcLevel(&port->Locks->InterruptSpinLock);
    for (ULONG i = 0; i < port->LuCount; i++) {
        for (SCSI_PORT_REQUEST* r = port->Lus[i].ActiveHead; r != nullptr; r = r->ActiveNext) {
            if (r->Deadline != 0 && r->Deadline <= now && r->State == SCSI_REQUEST_ACTIVE) {
                port->Timeouts++;
                resetPath[r->Srb.PathId] = true;
                // Timed again from now, so a request the reset does not end resets again later.
                r->Deadline = now + static_cast<LONGLONG>(r->Srb.TimeOutValue) * kUnitsPerSecond;
            }
        }
    }
    for (ULONG path = 0; path < port->NumberOfBuses; path++) {
        if (resetPath[path]) {
            port->Hw.HwResetBus(port->HwDeviceExtension, path);
        }
    }
    takeInterruptData(port);
    KeReleaseSpinLockFromDpcLevel(&port->Locks->InterruptSpinLock);
    startNext(port);
    KeReleaseSpinLockFromDpcLevel(&port->Locks->SpinLock);
    runCallbacks(port);
}

} // namespace qvport::detail

using namespace qvport::detail;

void ScsiPortNotification(SCSI_NOTIFICATION_TYPE NotificationType, PVOID HwDeviceExtension, ...) {
    SCSI_PORT* port = portOfExtension(HwDeviceExtension);
    requireInterruptLock(port, "ScsiPortNotification");
    va_list ap;
    va_start(ap, HwDeviceExtension);
    switch (NotificationType) {
    case RequestComplete:
        completeOne(port,
                    va_arg(ap, PSCSI_REQUEST_BLOCK)); // NOLINT(clang-analyzer-valist.Uninitialized)
        break;
    case NextRequest:
        port->NextRequestPending = TRUE;
        break;
    case NextLuRequest: {
        // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started above the switch.
        auto path = static_cast<ULONG>(va_arg(ap, int));
        auto target = static_cast<ULONG>(va_arg(ap, int));
        auto lun = static_cast<ULONG>(va_arg(ap, int));
        port->NextRequestPending = TRUE;
        if (path < port->NumberOfBuses && target < port->NumberOfTargets &&
            lun < SCSI_MAXIMUM_LOGICAL_UNITS) {
            ULONG index = luIndex(port, path, target, lun);
            SCSI_PORT_LU& lu = port->Lus[index];
            if (!lu.ReadyPending) {
                lu.ReadyPending = TRUE;
                if (port->ReadyPendingCount < SCSI_PORT_READY_LISTED) {
                    port->ReadyPendingUnits[port->ReadyPendingCount] = index;
                }
                port->ReadyPendingCount++;
            }
        }
        break;
    }
    case RequestTimerCall: {
        // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started above the switch.
        auto routine = va_arg(ap, PHW_TIMER);
        auto microseconds = va_arg(ap, ULONG);
        armMiniportTimer(port, routine, microseconds);
        break;
    }
    default:
        break;
    }
    va_end(ap);
}

void ScsiPortCompleteRequest(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId, UCHAR Lun,
                             UCHAR SrbStatus) {
    SCSI_PORT* port = portOfExtension(HwDeviceExtension);
    requireInterruptLock(port, "ScsiPortCompleteRequest");
    for (ULONG path = 0; path < port->NumberOfBuses; path++) {
        for (ULONG target = 0; target < port->NumberOfTargets; target++) {
            for (ULONG lun = 0; lun < SCSI_MAXIMUM_LOGICAL_UNITS; lun++) {
                if ((PathId != 0xFF && PathId != path) ||
                    (TargetId != 0xFF && TargetId != target) || (Lun != 0xFF && Lun != lun)) {
                    continue;
                }
                SCSI_PORT_LU& lu = port->Lus[luIndex(port, path, target, lun)];
                for (SCSI_PORT_REQUEST* r = lu.ActiveHead; r != nullptr; r = r->ActiveNext) {
                    if (r->State == SCSI_REQUEST_ACTIVE) {
                        r->Srb.SrbStatus = SrbStatus;
                        completeOne(port, &r->Srb);
                    }
                }
            }
        }
    }
    port->NextRequestPending = TRUE;
}

PSCSI_REQUEST_BLOCK ScsiPortGetSrb(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId, UCHAR Lun,
                                   LONG QueueTag) {
    SCSI_PORT* port = portOfExtension(HwDeviceExtension);
#ifdef QUEVI_CHECKS
    if (!qvk::holdsSpinLock(&port->Locks->SpinLock)) {
        fatal("ScsiPortGetSrb called without the port's SpinLock held");
    }
#endif
    if (QueueTag == SP_UNTAGGED || PathId >= port->NumberOfBuses ||
        TargetId >= port->NumberOfTargets || Lun >= SCSI_MAXIMUM_LOGICAL_UNITS) {
        return nullptr;
    }
    SCSI_PORT_LU& lu = port->Lus[luIndex(port, PathId, TargetId, Lun)];
    for (SCSI_PORT_REQUEST* r = lu.ActiveHead; r != nullptr; r = r->ActiveNext) {
        if (r->State == SCSI_REQUEST_ACTIVE && r->Srb.Function == SRB_FUNCTION_EXECUTE_SCSI &&
            r->Srb.QueueTag == QueueTag) {
            return &r->Srb;
        }
    }
    return nullptr;
}

namespace qvport {

namespace {

// Drops the port lock taken at DPC level and, if anything completed under it,
// queues the DPC that runs the completions outside the lock.
void releaseAndDeliver(SCSI_PORT* port, KIRQL old) {
    bool done = port->DoneHead != nullptr;
    KeReleaseSpinLockFromDpcLevel(&port->Locks->SpinLock);
    if (done) {
        KeInsertQueueDpc(&port->DeviceObject->Dpc, nullptr, nullptr);
    }
    KeLowerIrql(old);
}

} // namespace

void submit(SCSI_PORT* port, SCSI_PORT_REQUEST* request) {
    ULONG expected = SCSI_REQUEST_IDLE;
    if (!request->State.compare_exchange_strong(expected, SCSI_REQUEST_QUEUED)) {
        fatal("request %p submitted while the port still holds it", static_cast<void*>(request));
    }
    PSCSI_REQUEST_BLOCK srb = &request->Srb;
    request->Port = port;
    request->Link = nullptr;
    request->BusyRetries = 0;
    request->NotBefore = 0;
    request->Deadline = 0;
    request->OriginalDataTransferLength = srb->DataTransferLength;
    request->OriginalSenseInfoBufferLength = srb->SenseInfoBufferLength;
    srb->OriginalRequest = request;

    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(&port->Locks->SpinLock);
    UCHAR invalid = SRB_STATUS_PENDING;
    if (srb->PathId >= port->NumberOfBuses) {
        invalid = SRB_STATUS_INVALID_PATH;
    } else if (srb->TargetId >= port->NumberOfTargets) {
        invalid = SRB_STATUS_INVALID_TARGET_ID;
    } else if (srb->Lun >= SCSI_MAXIMUM_LOGICAL_UNITS) {
        invalid = SRB_STATUS_INVALID_LUN;
    }
    if (invalid != SRB_STATUS_PENDING) {
        srb->SrbStatus = invalid;
        appendDone(port, request);
    } else {
        request->LuIndex = luIndex(port, srb->PathId, srb->TargetId, srb->Lun);
        if (srb->Function == SRB_FUNCTION_IO_CONTROL) {
            startRequest(port, request);
        } else {
            pushQueue(port, port->Lus[request->LuIndex], request, false);
        }
        startNext(port);
    }
    releaseAndDeliver(port, old);
}

void resetBus(SCSI_PORT* port, ULONG pathId) {
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(&port->Locks->SpinLock);
    if (!port->Stopping.load() && pathId < port->NumberOfBuses) {
        KeAcquireSpinLockAtDpcLevel(&port->Locks->InterruptSpinLock);
        port->Hw.HwResetBus(port->HwDeviceExtension, pathId);
        takeInterruptData(port);
        KeReleaseSpinLockFromDpcLevel(&port->Locks->InterruptSpinLock);
        startNext(port);
    }
    releaseAndDeliver(port, old);
}

} // namespace qvport
