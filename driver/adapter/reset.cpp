// Bus reset: the port driver's resets (a timed-out request, or a class driver's reset request) are
// filtered here and queued to the message handler, which resets the bus in thread context.
#include "driver/adapter/adapter.h"
#include "driver/control/control.h"
#include "driver/runtime/runtime.h"

// The port driver's reset callback (a timed-out request, or SrbFunctionResetBus): filters the
// reset and queues it to the message handler. DISPATCH_LEVEL with the port's locks held; never
// waits. Returns TRUE.
BOOLEAN HwScsiResetBus(PVOID DeviceExtension, ULONG PathId) {
    auto* dev = static_cast<HW_DEVICE_EXTENSION*>(DeviceExtension);
    Debug(DBG_ERROR, "HwScsiResetBus: entering function\n");
    Debug(DBG_ERROR, "HwScsiResetBus: bus reset request for PathId = %x\n", PathId);
    if (PathId >= ADAPTER_TARGET_BUSES) {
        Debug(DBG_ERROR, "HwScsiResetBus: returning TRUE for bus reset on DUMMY target\n");
        return TRUE;
    }
    if (!dev->TargetActive[PathId]) {
        Debug(DBG_ERROR, "HwScsiResetBus: returning TRUE for bus reset on inactive bus %x\n",
              PathId);
        return TRUE;
    }
    if (dev->shutdown_in_progress) {
        Debug(DBG_ERROR, "HwScsiResetBus: shutdown_in_progress -- calling ScsiPortCompleteRequest "
                         "and returning\n");
        // Only the requests the adapter keeps itself end here: those the engine or the message
        // handler hold are completed by them (they fail at once during a shutdown, once the
        // shutdown's work has broken the connections), and completing them here as well would
        // hand them back twice while their buffers are still in use.
        completeHeldRequests(0xFF, SRB_STATUS_NO_DEVICE);
        (void)rejectCommandsAfterShutdown(nullptr, PathId);
        return TRUE;
    }
    if (dev->ResetInProgress[PathId]) {
        Debug(DBG_ERROR,
              "HwScsiResetBus: returning TRUE for bus reset already in progress on active bus "
              "%x\n",
              PathId);
        return TRUE;
    }
    auto* record = static_cast<WINMSG_RESET_RECORD*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(WINMSG_RESET_RECORD), ISCSI_POOL_TAG));
    if (record == nullptr) {
        return TRUE;
    }
    record->reserved = 0;
    record->busNumber = PathId;
    record->sessionHandle = static_cast<ULONG>(dev->TargetInfo[PathId].SessionHandle.get());
    Debug(DBG_ERROR, "HwScsiResetBus: queueing up reset request for PathId = %x\n", PathId);
    dev->ResetInProgress[PathId] = 1;
    if (sendToWinMsgHandler(&winMsgHandlerContext, WINMSG_RESET_BUS, record) != 0) {
        ExFreePool(record);
    } else {
        Debug(DBG_ERROR, "HwScsiResetBus: returning from function\n");
    }
    return TRUE;
}

int SrbFunctionResetBus(TARGET_INFO*, PSCSI_REQUEST_BLOCK srb) {
    srb->SrbStatus = SRB_STATUS_SUCCESS;
    iscsiOScompleteCommand(srb, SCSISTAT_GOOD, 0);
    HwScsiResetBus(pMyDevExt, srb->PathId);
    return 0;
}

int rejectCommandsAfterShutdown(PSCSI_REQUEST_BLOCK srb, ULONG pathId) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    if (dev->shutdown_reject_commands.v.exchange(1) != 0) {
        return 0;
    }
    auto* record = static_cast<WINMSG_SHUTDOWN_RECORD*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(WINMSG_SHUTDOWN_RECORD), ISCSI_POOL_TAG));
    if (record == nullptr) {
        return ISCSI_FAILURE;
    }
    record->srb = srb;
    record->pathId = pathId;
    record->sessionHandle = pathId < ADAPTER_TARGET_BUSES
                                ? static_cast<ULONG>(dev->TargetInfo[pathId].SessionHandle.get())
                                : static_cast<ULONG>(-1);
    int rc = sendToWinMsgHandler(&winMsgHandlerContext, WINMSG_SHUTDOWN, record);
    if (rc != 0) {
        ExFreePool(record);
    }
    return rc;
}
