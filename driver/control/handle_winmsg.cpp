// Dispatch of one message, and the cases that end a target's use: removal, query, text exchange,
// bus reset and shutdown.
//
// Requests of a bus are ended here only through the engine (which completes every command it
// holds once its connections are broken) and the adapter's list of requests it keeps itself; the
// port's wildcard completion would also complete requests the engine still holds, which would
// then complete a second time.
#include "driver/api/messages.h"
#include "driver/control/control_internal.h"
#include "driver/engine/text.h"
#include "driver/runtime/runtime.h"
#include "platform/scsiport/miniport.h"

#include <cstdio>
#include <cstring>

namespace {

// How long a removal waits for an add of the same bus that is still logging in.
constexpr ULONG REMOVE_WAIT_SECONDS = 300;

// Other buses bound to the session that a removal deleted lose it: they answer NO_DEVICE from now
// on, and never reach a session that took the freed slot.
void orphanBusesOf(ULONG removedBus, LONG handle) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    for (ULONG bus = 0; bus < WINMSG_BUSES; bus++) {
        if (bus != removedBus && dev->TargetActive[bus] &&
            dev->TargetInfo[bus].SessionHandle == handle) {
            Debug(DBG_ERROR, "RemoveTarget: bus %x shared the session and loses it\n", bus);
            dev->TargetInfo[bus].SessionHandle = -1;
            busOrphaned[bus] = 1;
            busRemoving[bus] = 0;
            dev->TargetActive[bus] = 0;
            (void)completeHeldRequests(bus, SRB_STATUS_NO_DEVICE);
        }
    }
}

// Adds of other buses to the same address that are still under way end before the session is
// deleted: one may still be creating the session (another bus bound to it before its login ended)
// and one may have bound to it without having taken its handle yet, which it would then keep after
// the slot was freed or reused. Their session threads are waited for, so that every bus holding
// the handle is found by orphanBusesOf. An add with the very same configuration also fails its
// security step at once, since the verdict it may wait for could only arrive through the message
// handler running this removal (any other waits at most for the step's own time limit).
void endAddsToSameAddress(ULONG removedBus) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    const TARGET_INFO& removed = dev->TargetInfo[removedBus];
    for (ULONG bus = 0; bus < WINMSG_BUSES; bus++) {
        TARGET_INFO& other = dev->TargetInfo[bus];
        if (bus == removedBus || !sessionThreadRunning[bus] ||
            other.IpAddress != removed.IpAddress) {
            continue;
        }
        if (other.LoginStringLength == removed.LoginStringLength &&
            std::memcmp(other.LoginString, removed.LoginString, removed.LoginStringLength) == 0) {
            Debug(DBG_ERROR, "RemoveTarget: bus %x is still adding the same target and fails\n",
                  bus);
            other.Status |= TARGET_SECURITY_FAILED;
            KeSetEvent(&other.SecurityCompleteEvent, 0, FALSE);
        }
        for (ULONG waited = 0; sessionThreadRunning[bus] && waited < REMOVE_WAIT_SECONDS;
             waited++) {
            (void)iscsiOSlimitsleep(&other.SessionCreatedEvent, 1);
        }
    }
}

// The logins of a session hand their security steps to the bus that created it, which may be
// another bus bound to the same session: while the session is deleted, every bus holding its
// handle counts as being removed, so that no login of the session waits for a tool.
void markBusesOfSession(LONG handle, UCHAR removing) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    for (ULONG bus = 0; bus < WINMSG_BUSES; bus++) {
        if (dev->TargetActive[bus] && dev->TargetInfo[bus].SessionHandle == handle) {
            busRemoving[bus] = removing;
        }
    }
}

} // namespace

int RemoveTarget(ADD_REMOVE_IOCTL* record) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    Debug(DBG_CONTROL, "RemoveTarget: entering function\n");
    ULONG bus = record->BusNumber;
    if (bus >= WINMSG_BUSES) {
        return -3;
    }
    TARGET_INFO* target = &dev->TargetInfo[bus];
    // A bus without a target (never added, or removed already) has nothing to remove and stays
    // free: marking its security step failed would take it from every later add.
    if (target->Status == 0 && dev->TargetActive[bus] == 0) {
        Debug(DBG_ERROR, "RemoveTarget: no target on bus %x\n", bus);
        return -4;
    }
    // A bus that lost its session with another bus's removal can always be freed.
    if (dev->DynamicallyRemovable[bus] == 0 && !busOrphaned[bus]) {
        Debug(DBG_ERROR, "RemoveTarget: The specified target cannot be deleted because it is "
                         "active\n");
        return -2;
    }
    // From here a login of the bus asks the tool nothing more and fails at once, one waiting for
    // the tool's verdict included, and the bring-up it belongs to stops.
    busRemoving[bus] = 1;
    target->Status |= TARGET_SECURITY_FAILED;
    KeSetEvent(&target->SecurityCompleteEvent, 0, FALSE);
    // An add of this bus that is still logging in ends at once; its session thread is waited
    // for, so that the handle deleted below is the one it made.
    for (ULONG waited = 0; sessionThreadRunning[bus] && waited < REMOVE_WAIT_SECONDS; waited++) {
        (void)iscsiOSlimitsleep(&target->SessionCreatedEvent, 1);
    }
    LONG handle = target->SessionHandle;
    if (!busOrphaned[bus]) {
        if (!sessionThreadRunning[bus]) {
            endAddsToSameAddress(bus);
        }
        if (handle != -1) {
            markBusesOfSession(handle, 1);
        }
        // An add that made no session (or whose session another bus's removal took) has nothing
        // to delete; the bus is freed all the same.
        if (sessionThreadRunning[bus] ||
            (handle != -1 && iscsiCoreDeleteSession(static_cast<ULONG>(handle)) != 0)) {
            Debug(DBG_ERROR, "RemoveTarget: The specified target cannot be deleted because of a "
                             "core code failure\n");
            if (handle != -1) {
                markBusesOfSession(handle, 0);
            }
            busRemoving[bus] = 0;
            return -3;
        }
        target->SessionHandle = -1;
        if (handle != -1) {
            orphanBusesOf(bus, handle);
        }
    }
    if (target->SecurityBeginEventHandle != nullptr) {
        (void)ZwClose(target->SecurityBeginEventHandle);
        target->SecurityBeginEventHandle = nullptr;
    }
    target->SecurityBeginEvent = nullptr;
    // No pause before the bus is freed: everything that could still signal or wait on its events
    // has been waited for above, on the real condition (the bus's session thread and those of
    // adds to the same address have ended, the session's deletion waited for all its threads),
    // and a verdict the tool sends late is refused once Status is 0 below, or meets events the
    // bus's next add initialises anew.
    KeClearEvent(&target->SecurityCompleteEvent);
    KeClearEvent(&target->SessionCreatedEvent);
    target->Status = 0;
    dev->TargetActive[bus] = 0;
    busOrphaned[bus] = 0;
    busRemoving[bus] = 0;
    Debug(DBG_CONTROL, "RemoveTarget: returning from function with rc = %x\n", 0);
    return 0;
}

namespace {

void handleRemoveTarget(PSCSI_REQUEST_BLOCK srb) {
    auto* record = static_cast<ADD_REMOVE_IOCTL*>(srb->DataBuffer);
    Debug(DBG_ERROR, "handleWinMsg: WINMSG_REMOVE_TARGET\n");
    ULONG bus = record->BusNumber;
    int r = RemoveTarget(record);
    Debug(DBG_ERROR, "handleWinMsg: RemoveTarget rc = %x\n", static_cast<ULONG>(r));
    record->Header.ReturnCode = r == 0    ? ISCSI_RC_SUCCESS
                                : r == -2 ? ISCSI_RC_NOT_REMOVABLE
                                : r == -4 ? ISCSI_RC_INVALID_STATE
                                          : ISCSI_RC_INTERNAL_ERROR;
    for (ULONG i = 0; i < WINMSG_BUSES; i++) {
        Debug(DBG_ERROR, "HandleWinMsg: TargetActive[%x] = %x\n", i,
              static_cast<ULONG>(pMyDevExt->TargetActive[i]));
    }
    iscsiOScompleteCommand(srb, 0, 0);
    if (r == 0) {
        Debug(DBG_ERROR,
              "HandleWinMsg: Completing all outstanding SRBs on bus %x after successful removal\n",
              bus);
        (void)completeHeldRequests(bus, SRB_STATUS_NO_DEVICE);
    }
}

void handleQueryTarget(PSCSI_REQUEST_BLOCK srb) {
    auto* record = static_cast<QUERY_TARGET_IOCTL*>(srb->DataBuffer);
    Debug(DBG_ERROR, "handleWinMsg: WINMSG_QUERY_TARGET\n");
    record->Header.ReturnCode = QueryTarget(record) != -1 ? ISCSI_RC_SUCCESS : ISCSI_RC_NOT_FOUND;
    iscsiOScompleteCommand(srb, 0, 0);
}

void handleSendReceiveText(PSCSI_REQUEST_BLOCK srb) {
    auto* record = static_cast<SEND_RECEIVE_TEXT_IOCTL*>(srb->DataBuffer);
    Debug(DBG_ERROR, "handleWinMsg: case WINMSG_SEND_RECEIVE_TEXT\n");
    Debug(DBG_ERROR, "handleWinMsg: BufferLength = %x\n", record->BufferLength);
    Debug(DBG_ERROR, "handleWinMsg: BusNumber = %x\n", record->BusNumber);
    // The response is written back into the request's own buffer, within its capacity.
    LONG length = iscsiCoreSendReceiveTextBuffer(record->BusNumber, record->Text,
                                                 record->BufferLength, iscsiTextCapacity(srb));
    record->BufferLength = static_cast<ULONG>(length);
    Debug(DBG_ERROR, "handleWinMsg: back from iscsiCoreSendReceiveTextBuffer\n");
    Debug(DBG_ERROR, "handleWinMsg: updated BufferLength = %x\n", record->BufferLength);
    iscsiOScompleteCommand(srb, 0, 0);
}

// After a reset or shutdown of a bus: the adapter's own requests are ended, the bus's count
// starts again from 0 and the port may send the next request.
void endBusRequests(ULONG bus, UCHAR srbStatus, bool notifyNextRequest) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    (void)completeHeldRequests(bus, srbStatus);
    if (!notifyNextRequest) {
        return;
    }
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(dev->SpinLock);
    KeAcquireSpinLockAtDpcLevel(dev->InterruptSpinLock);
    KeAcquireSpinLockAtDpcLevel(&dev->AdapterLock);
    dev->NumberOfCommandsQueued[bus] = 0;
    Debug(DBG_ERROR, "handleWinMsg: case WINMSG_RESET_BUS: the reset operation is complete, ready "
                     "for next SRB\n");
    ScsiPortNotification(NextRequest, dev);
    KeReleaseSpinLockFromDpcLevel(&dev->AdapterLock);
    KeReleaseSpinLockFromDpcLevel(dev->InterruptSpinLock);
    KeReleaseSpinLockFromDpcLevel(dev->SpinLock);
    KeLowerIrql(old);
}

void handleResetBus(WINMSG_HANDLER_CONTEXT* context, WINMSG_RESET_RECORD* record) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    ULONG bus = record->busNumber;
    if (bus < WINMSG_BUSES) {
        KIRQL old = KfAcquireSpinLock(&context->lock);
        ULONG count = ++context->resetCounter[bus];
        KfReleaseSpinLock(&context->lock, old);
        Debug(DBG_ERROR, "handleWinMsg: WINMSG_RESET_BUS -- resetCounter[%x] = %x\n", bus, count);
        WCHAR busText[12];
        WCHAR address[16];
        char narrow[12];
        snprintf(narrow, sizeof narrow, "%u", bus);
        for (size_t i = 0; i < sizeof narrow; i++) {
            busText[i] = static_cast<WCHAR>(narrow[i]);
        }
        iscsiAddressText(dev->TargetInfo[bus].IpAddress, address);
        sendErrorLogMsg(QUEV_BUS_RESET, 0, busText, address, nullptr, nullptr);
        Debug(DBG_ERROR,
              "handleWinMsg: The reset operation is breaking the connection to target "
              "%d\n",
              static_cast<int>(bus));
        // The engine completes every command of the session before this returns.
        (void)iscsiCoreResetBus(static_cast<ULONG>(dev->TargetInfo[bus].SessionHandle.get()), 0, 0);
        endBusRequests(bus, SRB_STATUS_BUSY, true);
    }
    ExFreePool(record);
}

void handleShutdown(WINMSG_SHUTDOWN_RECORD* record) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    Debug(DBG_ERROR, "handleWinMsg: case WINMSG_SHUTDOWN, closing TCP connections and completing "
                     "all pending SRBs\n");
    // Each session is reset for good: one reconnecting after the shutdown would wait for a login
    // the refusing adapter can no longer complete.
    for (ULONG bus = 0; bus < WINMSG_BUSES; bus++) {
        if (dev->TargetActive[bus] == 1) {
            (void)iscsiCoreEndSession(static_cast<ULONG>(dev->TargetInfo[bus].SessionHandle.get()));
        }
    }
    (void)completeHeldRequests(0xFF, SRB_STATUS_NO_DEVICE);
    ExFreePool(record);
}

} // namespace

void handleWinMsg(WINMSG_HANDLER_CONTEXT* context, ULONG type, PVOID payload, ULONG draining) {
    (void)draining;
    auto* srb = static_cast<PSCSI_REQUEST_BLOCK>(payload);
    switch (type) {
    case WINMSG_ADD_TARGET_BEGIN:
        handleAddTargetBegin(srb);
        break;
    case WINMSG_ADD_TARGET_COMPLETE:
        handleAddTargetComplete(srb);
        break;
    case WINMSG_REMOVE_TARGET:
        handleRemoveTarget(srb);
        break;
    case WINMSG_QUERY_TARGET:
        handleQueryTarget(srb);
        break;
    case WINMSG_SEND_RECEIVE_TEXT:
        handleSendReceiveText(srb);
        break;
    case WINMSG_RESET_BUS:
        handleResetBus(context, static_cast<WINMSG_RESET_RECORD*>(payload));
        break;
    case WINMSG_SHUTDOWN:
        handleShutdown(static_cast<WINMSG_SHUTDOWN_RECORD*>(payload));
        break;
    default:
        // Unknown codes are taken from the queue and dropped.
        break;
    }
}
