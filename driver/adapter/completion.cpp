// The completion path: every request the adapter accepted ends here. Good completions from
// engine threads go straight back to the port under its locks; everything else waits on
// CommandsToComplete for HwScsiTimer. Also the per-bus flow control, the rejected-login count,
// removability, and the busy handling of buses without a connection.
#include "driver/adapter/adapter.h"
#include "driver/runtime/runtime.h"

namespace {

UCHAR mapScsiStatus(UCHAR scsiStatus) {
    switch (scsiStatus) {
    case SCSISTAT_GOOD:
    case SCSISTAT_CHECK_CONDITION:
    case SCSISTAT_CONDITION_MET:
    case SCSISTAT_INTERMEDIATE_COND_MET:
    case SCSISTAT_COMMAND_TERMINATED:
    case 0x30:
        return SRB_STATUS_SUCCESS;
    case SCSISTAT_BUSY:
        return SRB_STATUS_BUSY;
    case 0xAB:
        return SRB_STATUS_SELECTION_TIMEOUT;
    default:
        return SRB_STATUS_ERROR;
    }
}

ADAPTER_SRB_EXTENSION* extensionOf(PSCSI_REQUEST_BLOCK srb) {
    return static_cast<ADAPTER_SRB_EXTENSION*>(srb->SrbExtension);
}

void noteRejectedLogin(HW_DEVICE_EXTENSION* dev, UCHAR path) {
    ISCSI_CONNECTION_QUERY query;
    RtlZeroMemory(&query, sizeof(query));
    if (iscsiCoreQueryConnection(static_cast<ULONG>(dev->TargetInfo[path].SessionHandle.get()),
                                 &query) == 0 &&
        query.ConnectionState == CONN_LOGIN_FAILED) {
        ULONG old = dev->RejectedLogins[path]++;
        Debug(DBG_ERROR, "iscsiOScompleteCommand: rejected login attempt #%x from target %x\n", old,
              path);
    }
}

// Hands a good request back at once (PASSIVE_LEVEL, engine threads): under the port's locks and
// AdapterLock, then the port's DPC.
void completeDirect(HW_DEVICE_EXTENSION* dev, PSCSI_REQUEST_BLOCK srb) {
    UCHAR path = srb->PathId;
    bool scsi = srb->Function == SRB_FUNCTION_EXECUTE_SCSI;
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(dev->SpinLock);
    KeAcquireSpinLockAtDpcLevel(dev->InterruptSpinLock);
    KeAcquireSpinLockAtDpcLevel(&dev->AdapterLock);
    if (path < ADAPTER_TARGET_BUSES && dev->DynamicallyRemovable[path]) {
        Debug(DBG_ERROR, "Target %x can no longer be dynamically removed\n", path);
        dev->DynamicallyRemovable[path] = 0;
    }
    Debug(DBG_REQUEST,
          "iscsiOScompleteCommand: RequestComplete for PathId = %x, TargetId = %x, Lun = %x\n",
          path, srb->TargetId, srb->Lun);
    UCHAR target = srb->TargetId;
    UCHAR lun = srb->Lun;
    ScsiPortNotification(RequestComplete, dev, srb);
    LONG queued = --dev->NumberOfCommandsQueued[path];
    if (queued < 0) {
        dev->NumberOfCommandsQueued[path] = 0;
        queued = 0;
    }
    if (queued < dev->MaximumConcurrency[path]) {
        Debug(DBG_REQUEST,
              "iscsiOScompleteCommand: NextLuRequest for PathId = %x, TargetId = %x, Lun = %x\n",
              path, target, lun);
        ScsiPortNotification(NextLuRequest, dev, path, target, lun);
    }
    if (scsi && path < ADAPTER_TARGET_BUSES) {
        if (dev->BusyCompletions[path] > 0) {
            clearBusyTimer(path);
            dev->BusyCompletions[path] = 0;
            Debug(DBG_ERROR,
                  "iscsiOScompleteCommand: Target %x appears to be working again after BUSY "
                  "completions\n",
                  path);
        }
        if (dev->ResetInProgress[path]) {
            dev->ResetInProgress[path] = 0;
            Debug(DBG_ERROR,
                  "iscsiOScompleteCommand: Target %x appears to be working again after a reset\n",
                  path);
        }
    }
    KeReleaseSpinLockFromDpcLevel(&dev->AdapterLock);
    KeReleaseSpinLockFromDpcLevel(dev->InterruptSpinLock);
    KeReleaseSpinLockFromDpcLevel(dev->SpinLock);
    KeInsertQueueDpc(&dev->PortDeviceObject->Dpc, nullptr, nullptr);
    KeLowerIrql(old);
}

// Leaves the request for HwScsiTimer. Its link lives in the request's own extension, so the
// request is never lost for want of memory.
void completeDeferred(HW_DEVICE_EXTENSION* dev, PSCSI_REQUEST_BLOCK srb) {
    ADAPTER_SRB_EXTENSION* entry = extensionOf(srb);
    Debug(DBG_CONTROL, "iscsiOScompleteCommand: putting SRB into CommandsToComplete queue\n");
    KIRQL old = KfAcquireSpinLock(&dev->TimerLock);
    KeAcquireSpinLockAtDpcLevel(&dev->CommandsToCompleteLock);
    if (entry->Queued) {
        // A second completion of a request still waiting: keep the queue intact.
        Debug(DBG_ERROR, "iscsiOScompleteCommand: SRB %x is already waiting for completion\n",
              static_cast<ULONG>(reinterpret_cast<uintptr_t>(srb)));
    } else {
        entry->Srb = srb;
        entry->Next = nullptr;
        entry->Queued = 1;
        COMMANDS_TO_COMPLETE_QUEUE& q = dev->CommandsToComplete;
        if (q.Tail != nullptr) {
            q.Tail->Next = entry;
        } else {
            q.Head = entry;
        }
        q.Tail = entry;
        q.Count++;
    }
    KeReleaseSpinLockFromDpcLevel(&dev->CommandsToCompleteLock);
    KfReleaseSpinLock(&dev->TimerLock, old);
}

// Takes the oldest deferred completion off the queue. Called with TimerLock held.
ADAPTER_SRB_EXTENSION* takeDeferred(HW_DEVICE_EXTENSION* dev) {
    KeAcquireSpinLockAtDpcLevel(&dev->CommandsToCompleteLock);
    COMMANDS_TO_COMPLETE_QUEUE& q = dev->CommandsToComplete;
    ADAPTER_SRB_EXTENSION* entry = q.Head;
    if (entry != nullptr) {
        q.Head = entry->Next;
        if (q.Head == nullptr) {
            q.Tail = nullptr;
        }
        q.Count--;
        entry->Next = nullptr;
        entry->Queued = 0;
    }
    KeReleaseSpinLockFromDpcLevel(&dev->CommandsToCompleteLock);
    return entry;
}

bool bitSet(const UCHAR (*bitmap)[32], UCHAR path, UCHAR lun) {
    return (bitmap[path][lun / 8] & (1u << (lun % 8))) != 0;
}

} // namespace

void initSrbExtension(PSCSI_REQUEST_BLOCK srb) {
    ADAPTER_SRB_EXTENSION* entry = extensionOf(srb);
    RtlZeroMemory(entry, sizeof(*entry));
    entry->Srb = srb;
}

// Completes one request: at once from a thread at PASSIVE_LEVEL when it succeeded (taking the
// port's locks itself), otherwise through CommandsToComplete. Called at PASSIVE_LEVEL by the
// engine's threads with no engine lock held and by the message handler, and at DISPATCH_LEVEL only
// from within the port's callbacks (with the port's locks held) by the adapter's own handlers.
void iscsiOScompleteCommand(PSCSI_REQUEST_BLOCK srb, UCHAR scsiStatus, ULONG residual) {
    (void)residual;
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    Debug(DBG_REQUEST, "iscsiOScompleteCommand: entering function\n");
    srb->ScsiStatus = scsiStatus;
    bool raised = KeGetCurrentIrql() > PASSIVE_LEVEL;
    if (srb->SrbStatus == SRB_STATUS_PENDING) {
        srb->SrbStatus = mapScsiStatus(scsiStatus);
    }
    UCHAR path = srb->PathId;
    if (srb->SrbStatus != SRB_STATUS_SUCCESS) {
        Debug(DBG_ERROR, "iscsiOScompleteCommand: RequestComplete with SrbStatus == %x\n",
              srb->SrbStatus);
        if (srb->SrbStatus == SRB_STATUS_ERROR) {
            Debug(DBG_ERROR, "iscsiOScompleteCommand: SRB_STATUS_ERROR -- SCSI status code is %x\n",
                  scsiStatus);
        }
        if (srb->SrbStatus == SRB_STATUS_SELECTION_TIMEOUT && path < ADAPTER_TARGET_BUSES &&
            dev->TargetActive[path] == 1) {
            noteRejectedLogin(dev, path);
            if (dev->shutdown_in_progress) {
                Debug(DBG_ERROR, "iscsiOScompleteCommand: shutting down\n");
                (void)rejectCommandsAfterShutdown(nullptr, path);
            }
        }
    }
    bool direct =
        !raised &&
        (srb->Function == SRB_FUNCTION_EXECUTE_SCSI || srb->Function == SRB_FUNCTION_IO_CONTROL) &&
        srb->SrbStatus == SRB_STATUS_SUCCESS;
    if (direct) {
        completeDirect(dev, srb);
    } else {
        completeDeferred(dev, srb);
        if (raised) {
            // Raised, the caller is one of the port's callbacks (the adapter answering a request
            // itself, or refusing it), which hold the port's locks: the timer is asked for at once
            // rather than left to its next tick, so such an answer takes no idle 10 ms. A BUSY
            // answer is still paced by the port, which gives it back only after its own delay.
            ScsiPortNotification(RequestTimerCall, dev, HwScsiTimer,
                                 ADAPTER_PROMPT_TIMER_MICROSECONDS);
        }
    }
    Debug(DBG_REQUEST, "iscsiOScompleteCommand: returning from function\n");
}

// The port driver's timer callback, every 10 ms: hands back the deferred completions, one
// next-request indication per logical unit and pass, and asks for the next call. DISPATCH_LEVEL
// with the port's locks held; takes TimerLock for the pass.
void HwScsiTimer(PVOID DeviceExtension) {
    auto* dev = static_cast<HW_DEVICE_EXTENSION*>(DeviceExtension);
    UCHAR indicated[ADAPTER_BUSES][32] = {};
    KeAcquireSpinLockAtDpcLevel(&dev->TimerLock);
    ULONG count = 0;
    for (ADAPTER_SRB_EXTENSION* entry = takeDeferred(dev); entry != nullptr;
         entry = takeDeferred(dev)) {
        count++;
        Debug(DBG_REQUEST, "HwScsiTimer: Top of the loop, count = %x\n", count);
        PSCSI_REQUEST_BLOCK srb = entry->Srb;
        UCHAR path = srb->PathId;
        UCHAR target = srb->TargetId;
        UCHAR lun = srb->Lun;
        bool scsi = srb->Function == SRB_FUNCTION_EXECUTE_SCSI;
        KeAcquireSpinLockAtDpcLevel(&dev->AdapterLock);
        Debug(DBG_REQUEST,
              "HwScsiTimer: RequestComplete for SRB at address %x, PathId = %x, Lun = %x\n",
              static_cast<ULONG>(reinterpret_cast<uintptr_t>(srb)), path, lun);
        ScsiPortNotification(RequestComplete, dev, srb);
        LONG queued = --dev->NumberOfCommandsQueued[path];
        if (queued < 0) {
            dev->NumberOfCommandsQueued[path] = 0;
            queued = 0;
        }
        Debug(DBG_REQUEST, "HwScsiTimer: NumberOfCommandsQueued = %x\n",
              static_cast<ULONG>(queued));
        bool below = queued < dev->MaximumConcurrency[path];
        if (scsi && bitSet(indicated, path, lun)) {
            Debug(DBG_REQUEST,
                  "HwScsiTimer: NOT indicating NextLuRequest for PathId = %x, TargetId = %x, Lun "
                  "= %x\n",
                  path, target, lun);
        } else if (scsi && below) {
            Debug(DBG_REQUEST,
                  "HwScsiTimer: NextLuRequest for PathId = %x, TargetId = %x, Lun = %x\n", path,
                  target, lun);
            ScsiPortNotification(NextLuRequest, dev, path, target, lun);
            indicated[path][lun / 8] =
                static_cast<UCHAR>(indicated[path][lun / 8] | (1u << (lun % 8)));
        } else if (!scsi && below) {
            Debug(DBG_REQUEST,
                  "HwScsiTimer: NextLuRequest for non-SCSI command PathId = %x, TargetId = %x, "
                  "Lun = %x\n",
                  path, target, lun);
            ScsiPortNotification(NextLuRequest, dev, path, target, lun);
        }
        KeReleaseSpinLockFromDpcLevel(&dev->AdapterLock);
    }
    ScsiPortNotification(RequestTimerCall, dev, HwScsiTimer, ADAPTER_TIMER_MICROSECONDS);
    KeReleaseSpinLockFromDpcLevel(&dev->TimerLock);
}

void iscsiOScompleteCommandNoConnection(PSCSI_REQUEST_BLOCK srb) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    Debug(DBG_CONTROL, "iscsiOScompleteCommandNoConnection: entering function\n");
    UCHAR path = srb->PathId;
    UCHAR op = srb->Cdb[0];
    // Requests of the dummy bus or of none have no busy accounting; they fail at once.
    if (op == SCSIOP_INQUIRY || op == SCSIOP_TEST_UNIT_READY || dev->shutdown_in_progress ||
        path >= ADAPTER_TARGET_BUSES) {
        Debug(DBG_ERROR, "iscsiOScompleteCommandNoConnection: Srb->Cdb[0] = %x\n", op);
        srb->SrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
    } else if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        Debug(DBG_ERROR,
              "iscsiOScompleteCommandNoConnection: returning BUSY without incrementing counter\n");
        srb->SrbStatus = SRB_STATUS_BUSY;
    } else if (dev->BusyCompletions[path] >= BUSY_COMPLETION_LIMIT) {
        Debug(DBG_ERROR,
              "iscsiOScompleteCommandNoConnection: Too many busy completions, failing this "
              "command\n");
        srb->SrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
    } else {
        ULONG idle = 0;
        if (dev->BusyTimerState[path].v.compare_exchange_strong(idle, 1)) {
            Debug(DBG_ERROR,
                  "iscsiOScompleteCommandNoConnection: starting the busy timer for bus %x\n", path);
            // The bus number travels as the thread's context word, never dereferenced.
            PVOID context =
                reinterpret_cast<PVOID>(uintptr_t{path}); // NOLINT(performance-no-int-to-ptr)
            ULONG thread = iscsiOScreateThread(BusyTimer, context, 0);
            if (!iscsiOSthreadStarted(thread)) {
                dev->BusyTimerState[path] = 0; // the next BUSY answer tries again
            }
        }
        KIRQL old = KfAcquireSpinLock(&dev->AdapterLock);
        ULONG busy = ++dev->BusyCompletions[path];
        KfReleaseSpinLock(&dev->AdapterLock, old);
        Debug(DBG_ERROR, "iscsiOScompleteCommandNoConnection: BusyCompletions[%x] = %x\n", path,
              busy);
        srb->SrbStatus = SRB_STATUS_BUSY;
    }
    iscsiOScompleteCommand(srb, SCSISTAT_GOOD, 0);
    Debug(DBG_CONTROL, "iscsiOScompleteCommandNoConnection: returning from function\n");
}

void iscsiOScompleteCommandReset(PSCSI_REQUEST_BLOCK srb) {
    iscsiOScompleteCommandNoConnection(srb);
}

void iscsiOScompleteCommandAbort(PSCSI_REQUEST_BLOCK srb) {
    Debug(DBG_CONTROL, "iscsiOScompleteCommandAbort: entering function\n");
    srb->SrbStatus = SRB_STATUS_ABORTED;
    iscsiOScompleteCommand(srb, SCSISTAT_GOOD, 0);
    Debug(DBG_CONTROL, "iscsiOScompleteCommandAbort: returning from function\n");
}

void iscsiOScompleteTaskMan(UCHAR function, PSCSI_REQUEST_BLOCK srb, ULONG result) {
    if (function != TM_FUNCTION_ABORT_TASK) {
        return; // the other task records carry no request of the port driver
    }
    if (result != TM_RESULT_ABORTED) {
        srb->SrbStatus = SRB_STATUS_ABORT_FAILED;
    }
    iscsiOScompleteCommand(srb, SCSISTAT_GOOD, 0);
}

// The busy timer of one bus (its own system thread, PASSIVE_LEVEL): after 96 seconds without a
// good completion, the bus's commands without a connection fail instead of answering BUSY.
namespace {

// Per bus: signalled when the bus's busy timer state is cleared (synchronization events).
KEVENT busyTimerWake[ADAPTER_TARGET_BUSES];

} // namespace

void initBusyTimers() {
    for (KEVENT& wake : busyTimerWake) {
        KeInitializeEvent(&wake, SynchronizationEvent, FALSE);
    }
}

void clearBusyTimer(ULONG bus) {
    pMyDevExt->BusyTimerState[bus] = 0;
    KeSetEvent(&busyTimerWake[bus], 0, FALSE);
}

// The busy timer of one bus: counts BUSY_TIMER_SECONDS in steps and ends as soon as the bus's
// state is cleared (a good completion, a new setup of the bus, the end of the adapter).
void BusyTimer(PVOID context) {
    auto bus = static_cast<ULONG>(reinterpret_cast<uintptr_t>(context));
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    Debug(DBG_ERROR, "BusyTimer: setting timer for %x seconds\n", BUSY_TIMER_SECONDS);
    for (ULONG step = 0; step < BUSY_TIMER_SECONDS / BUSY_TIMER_STEP_SECONDS;) {
        // A wake-up ends the step early; only whole steps count towards the time.
        if (iscsiOSlimitsleep(&busyTimerWake[bus], BUSY_TIMER_STEP_SECONDS) != STATUS_SUCCESS) {
            step++;
        }
        if (dev->BusyTimerState[bus] == 0) {
            Debug(DBG_ERROR,
                  "BusyTimer: Timer for target %x has been cleared, aborting timer in progress\n",
                  bus);
            return;
        }
    }
    KIRQL old = KfAcquireSpinLock(&dev->AdapterLock);
    if (dev->BusyTimerState[bus] == 1) {
        Debug(DBG_ERROR, "BusyTimer: Timer for target %x has expired while active\n", bus);
        dev->BusyCompletions[bus] = BUSY_COMPLETION_LIMIT;
    } else {
        Debug(DBG_ERROR, "BusyTimer: Timer for target %x has expired while inactive\n", bus);
    }
    KfReleaseSpinLock(&dev->AdapterLock, old);
}

void holdRequest(PSCSI_REQUEST_BLOCK srb) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    ADAPTER_SRB_EXTENSION* entry = extensionOf(srb);
    KIRQL old = KfAcquireSpinLock(&dev->AdapterLock);
    entry->Srb = srb;
    entry->Held = 1;
    entry->HeldPrev = nullptr;
    entry->HeldNext = dev->HeldHead;
    if (dev->HeldHead != nullptr) {
        dev->HeldHead->HeldPrev = entry;
    }
    dev->HeldHead = entry;
    KfReleaseSpinLock(&dev->AdapterLock, old);
}

ULONG completeHeldRequests(ULONG pathId, UCHAR srbStatus) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    ADAPTER_SRB_EXTENSION* taken = nullptr;
    KIRQL old = KfAcquireSpinLock(&dev->AdapterLock);
    for (ADAPTER_SRB_EXTENSION* entry = dev->HeldHead; entry != nullptr;) {
        ADAPTER_SRB_EXTENSION* next = entry->HeldNext;
        if (pathId == 0xFF || entry->Srb->PathId == pathId) {
            if (entry->HeldPrev != nullptr) {
                entry->HeldPrev->HeldNext = next;
            } else {
                dev->HeldHead = next;
            }
            if (next != nullptr) {
                next->HeldPrev = entry->HeldPrev;
            }
            entry->Held = 0;
            entry->HeldPrev = nullptr;
            entry->HeldNext = taken;
            taken = entry;
        }
        entry = next;
    }
    KfReleaseSpinLock(&dev->AdapterLock, old);
    ULONG completed = 0;
    while (taken != nullptr) {
        ADAPTER_SRB_EXTENSION* next = taken->HeldNext;
        taken->HeldNext = nullptr;
        taken->Srb->SrbStatus = srbStatus;
        iscsiOScompleteCommand(taken->Srb, SCSISTAT_GOOD, 0);
        completed++;
        taken = next;
    }
    return completed;
}
