// Request dispatch: HwScsiStartIo's checks in their fixed order, SCSI execution through the
// engine's command queue, and the small handlers of the other request functions.
#include "driver/adapter/adapter.h"
#include "driver/control/control.h"
#include "driver/runtime/runtime.h"
#include "platform/classdisk/disk_extension.h"

Shared<UCHAR> drop_srb;

namespace {

using SrbHandler = int (*)(TARGET_INFO*, PSCSI_REQUEST_BLOCK);

struct FunctionCase {
    UCHAR function;
    ULONG level;
    const char* trace;
    SrbHandler handler;
};

const FunctionCase kFunctions[] = {
    {SRB_FUNCTION_EXECUTE_SCSI, DBG_REQUEST, "HwScsiStartIo: SRB_FUNCTION_EXECUTE_SCSI\n",
     SrbFunctionExecScsi},
    {SRB_FUNCTION_RECEIVE_EVENT, DBG_ERROR, "HwScsiStartIo: SRB_FUNCTION_RECEIVE_EVENT\n",
     SrbFunctionRecEvent},
    {SRB_FUNCTION_SHUTDOWN, DBG_ERROR, "HwScsiStartIo: SRB_FUNCTION_SHUTDOWN\n",
     SrbFunctionShutdown},
    {SRB_FUNCTION_FLUSH, DBG_CONTROL, "HwScsiStartIo: SRB_FUNCTION_FLUSH\n", SrbFunctionFlush},
    {SRB_FUNCTION_ABORT_COMMAND, DBG_ERROR, "HwScsiStartIo: SRB_FUNCTION_ABORT_COMMAND\n",
     SrbFunctionAbortCmd},
    {SRB_FUNCTION_RELEASE_RECOVERY, DBG_ERROR, "HwScsiStartIo: SRB_FUNCTION_RELEASE_RECOVERY\n",
     SrbFunctionRelRec},
    {SRB_FUNCTION_RESET_BUS, DBG_ERROR, "HwScsiStartIo: SRB_FUNCTION_RESET_BUS\n",
     SrbFunctionResetBus},
    {SRB_FUNCTION_RESET_DEVICE, DBG_ERROR, "HwScsiStartIo: SRB_FUNCTION_RESET_DEVICE\n",
     SrbFunctionResetDev},
    {SRB_FUNCTION_TERMINATE_IO, DBG_ERROR, "HwScsiStartIo: SRB_FUNCTION_TERMINATE_IO\n",
     SrbFunctionTermIo},
};

void completeWith(PSCSI_REQUEST_BLOCK srb, UCHAR srbStatus) {
    srb->SrbStatus = srbStatus;
    iscsiOScompleteCommand(srb, SCSISTAT_GOOD, 0);
}

// The private identify command: 8 bytes naming the addressed bus's target.
void identify(PSCSI_REQUEST_BLOCK srb) {
    Debug(DBG_ERROR, "HwScsiStartIo: CDB_ISCSI_IDENTIFY -- PathId = %x, TargetId = %x, Lun = %x\n",
          srb->PathId, srb->TargetId, srb->Lun);
    Debug(DBG_ERROR, "HwScsiStartIo: DataTransferLength = %x\n", srb->DataTransferLength);
    if (srb->DataTransferLength != ISCSI_IDENTIFY_LENGTH || srb->DataBuffer == nullptr) {
        Debug(DBG_ERROR, "HwScsiStartIo: The DataTransferLength is incorrect\n");
        completeWith(srb, SRB_STATUS_INVALID_REQUEST);
        return;
    }
    // The dummy bus has no target record; it reports address 0.
    ULONG address =
        srb->PathId < ADAPTER_TARGET_BUSES ? pMyDevExt->TargetInfo[srb->PathId].IpAddress : 0;
    auto* data = static_cast<UCHAR*>(srb->DataBuffer);
    RtlCopyMemory(data, &address, sizeof(address));
    data[4] = srb->PathId;
    data[5] = srb->TargetId;
    data[6] = srb->Lun;
    Debug(DBG_ERROR, "HwScsiStartIo: This SRB corresponds to the target at IpAddress = %x\n",
          address);
    completeWith(srb, SRB_STATUS_SUCCESS);
}

// Gives every disk of the disk class driver the adapter's time-out for its later requests.
void adjustDiskTimeOut() {
    for (PDEVICE_OBJECT device = GlobalDiskDriverObject->DeviceObject; device != nullptr;
         device = device->NextDevice) {
        if (device->ExtensionSize < sizeof(CLASS_DISK_EXTENSION_HEADER)) {
            continue;
        }
        auto* header = static_cast<CLASS_DISK_EXTENSION_HEADER*>(device->DeviceExtension);
        Debug(DBG_ERROR,
              "SrbFunctionExecScsi: adjusting TimeOutValue on disk.sys DeviceObject %x\n",
              static_cast<ULONG>(reinterpret_cast<uintptr_t>(device)));
        header->TimeOutValue = pMyDevExt->TimeOutValue;
        Debug(DBG_ERROR, "SrbFunctionExecScsi: new TimeOutValue is %x\n", pMyDevExt->TimeOutValue);
    }
}

int pendingOnly(PSCSI_REQUEST_BLOCK srb) {
    holdRequest(srb);
    return 0;
}

} // namespace

// The port driver's start-I/O callback for every request: refused, answered here, or passed on,
// in a fixed order. DISPATCH_LEVEL with the port's SpinLock and InterruptSpinLock held; never
// waits. Returns TRUE; the outcome travels in the request.
BOOLEAN HwScsiStartIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb) {
    auto* dev = static_cast<HW_DEVICE_EXTENSION*>(DeviceExtension);
    Debug(DBG_REQUEST, "HwScsiStartIo: entering function\n");
    initSrbExtension(Srb);
    Srb->SrbStatus = SRB_STATUS_PENDING;
    UCHAR path = Srb->PathId;
    if (dev->shutdown_reject_commands) {
        Debug(DBG_CONTROL, "HwScsiStartIo: shutdown_reject_commands == TRUE\n");
        dev->NumberOfCommandsQueued[path] = 0;
        completeWith(Srb, SRB_STATUS_NO_DEVICE);
    } else if (Srb->Cdb[0] == CDB_ISCSI_IDENTIFY) {
        identify(Srb);
    } else if (Srb->Function == SRB_FUNCTION_IO_CONTROL) {
        Debug(DBG_ERROR, "HwScsiStartIo: SRB_FUNCTION_IO_CONTROL\n");
        SrbFunctionIoctl(Srb);
    } else if (path == DUMMY_TARGET_BUS) {
        Debug(DBG_REQUEST, "HwScsiStartIo: calling SrbStartIoDummyTarget\n");
        SrbStartIoDummyTarget(Srb);
    } else if (!dev->TargetActive[path]) {
        Debug(DBG_ERROR, "HwScsiStartIo: Bus %x is not active -- indicating SRB_STATUS_NO_DEVICE\n",
              path);
        completeWith(Srb, SRB_STATUS_NO_DEVICE);
    } else if (dev->RejectedLogins[path] >= REJECTED_LOGINS_LIMIT) {
        Debug(DBG_ERROR,
              "HwScsiStartIo: The target device on bus %x rejected our login attempt too many "
              "times\n",
              path);
        completeWith(Srb, SRB_STATUS_SELECTION_TIMEOUT);
    } else {
        const FunctionCase* found = nullptr;
        for (const FunctionCase& c : kFunctions) {
            if (c.function == Srb->Function) {
                found = &c;
            }
        }
        if (found != nullptr) {
            Debug(found->level, "%s", found->trace);
            found->handler(&dev->TargetInfo[path], Srb);
        } else {
            Debug(DBG_ERROR, "HwScsiStartIo: UNSUPPORTED SRB FUNCTION %x\n", Srb->Function);
            holdRequest(Srb);
        }
    }
    Debug(DBG_REQUEST, "HwScsiStartIo: returning from function\n");
    return TRUE;
}

// A SCSI command of a target bus into the engine's command queue. Called from HwScsiStartIo
// (port locks held); takes AdapterLock for the count only.
int SrbFunctionExecScsi(TARGET_INFO* target, PSCSI_REQUEST_BLOCK srb) {
    UCHAR lun[8] = {};
    lun[1] = srb->Lun;
    ULONG direction = ISCSI_DIR_NONE;
    if (srb->SrbFlags & SRB_FLAGS_DATA_IN) {
        direction = ISCSI_DIR_READ;
    } else if (srb->SrbFlags & SRB_FLAGS_DATA_OUT) {
        direction = ISCSI_DIR_WRITE;
    }
    Debug(DBG_REQUEST, "SrbFunctionExecScsi: Srb->PathId = %x, Srb->TargetId = %x, Srb->Lun = %x\n",
          srb->PathId, srb->TargetId, srb->Lun);
    Debug(DBG_REQUEST, "SrbFunctionExecScsi: Srb->Cdb[0] = %x\n", srb->Cdb[0]);
    Debug(DBG_REQUEST, "SrbFunctionExecScsi: Srb->CdbLength = %x\n", srb->CdbLength);
    Debug(DBG_REQUEST, "SrbFunctionExecScsi: Srb->SrbFlags = %x\n", srb->SrbFlags);
    Debug(DBG_REQUEST, "SrbFunctionExecScsi: Srb->QueueTag = %x\n", srb->QueueTag);
    Debug(DBG_REQUEST, "SrbFunctionExecScsi: Srb->QueueAction = %x\n", srb->QueueAction);
    Debug(DBG_REQUEST, "SrbFunctionExecScsi: Srb->DataTransferLength = %x\n",
          srb->DataTransferLength);
    Debug(DBG_REQUEST, "SrbFunctionExecScsi: Srb->SenseInfoBufferLength = %x\n",
          srb->SenseInfoBufferLength);
    Debug(DBG_REQUEST, "SrbFunctionExecScsi: Srb->TimeOutValue = %x\n", srb->TimeOutValue);

    if (srb->TimeOutValue <= DEFAULT_DISK_TIMEOUT &&
        (srb->Cdb[0] == SCSIOP_READ || srb->Cdb[0] == SCSIOP_WRITE)) {
        Debug(DBG_ERROR, "SrbFunctionExecScsi: the timeout value on this SRB is too low (%x)...\n",
              srb->TimeOutValue);
        if (GlobalDiskDriverObject != nullptr) {
            adjustDiskTimeOut();
        }
    }

    int rc = 0;
    if (drop_srb) {
        Debug(DBG_ERROR, "SrbFunctionExecScsi: dropping an SRB, this will test HwScsiResetBus\n");
        drop_srb = 0;
        holdRequest(srb);
    } else {
        rc = iscsiCoreEnterCmdInQ(srb, srb->Cdb, srb->CdbLength,
                                  static_cast<ULONG>(target->SessionHandle.get()), lun,
                                  srb->DataBuffer, srb->DataTransferLength, 0, direction, 0);
    }

    KIRQL old = KfAcquireSpinLock(&pMyDevExt->AdapterLock);
    LONG queued = ++pMyDevExt->NumberOfCommandsQueued[srb->PathId];
    KfReleaseSpinLock(&pMyDevExt->AdapterLock, old);

    if (rc == 0) {
        Debug(DBG_REQUEST, "SrbFunctionExecScsi: NumberOfCommandsQueued for target %x = %x\n",
              srb->PathId, static_cast<ULONG>(queued));
        if (queued < pMyDevExt->MaximumConcurrency[srb->PathId]) {
            ScsiPortNotification(NextLuRequest, pMyDevExt, srb->PathId, srb->TargetId, srb->Lun);
        }
    } else {
        Debug(DBG_ERROR, "SrbFunctionExecScsi: iscsiCoreEnterCommandInQ rc != 0, calling "
                         "iscsiOScompleteCommandNoConnection\n");
        iscsiOScompleteCommandNoConnection(srb);
    }
    return rc;
}

int SrbFunctionAbortCmd(TARGET_INFO* target, PSCSI_REQUEST_BLOCK srb) {
    PSCSI_REQUEST_BLOCK active =
        ScsiPortGetSrb(pMyDevExt, srb->PathId, srb->TargetId, srb->Lun, srb->QueueTag);
    if (active == srb->NextSrb) {
        completeWith(srb, SRB_STATUS_ABORT_FAILED);
        return 0;
    }
    ULONG result =
        iscsiCoreAbortCmd(srb->NextSrb, srb, static_cast<ULONG>(target->SessionHandle.get()), 0);
    if (result == TM_RESULT_DONE) {
        return 0; // the engine completes the abort request when it has finished
    }
    if (result == TM_RESULT_ABORTED) {
        iscsiOScompleteCommand(srb, SCSISTAT_GOOD, 0);
    } else {
        completeWith(srb, SRB_STATUS_ABORT_FAILED);
    }
    return 0;
}

int SrbFunctionShutdown(TARGET_INFO*, PSCSI_REQUEST_BLOCK srb) {
    Debug(DBG_ERROR,
          "SrbFunctionShutdown: shutdown SRB received for PathId = %x, TargetId = %x, Lun = %x\n",
          srb->PathId, srb->TargetId, srb->Lun);
    int rc = rejectCommandsAfterShutdown(srb, srb->PathId);
    completeWith(srb, SRB_STATUS_SUCCESS);
    return rc;
}

int SrbFunctionFlush(TARGET_INFO*, PSCSI_REQUEST_BLOCK srb) {
    Debug(DBG_CONTROL,
          "SrbFunctionFlush: flush SRB received for PathId = %x, TargetId = %x, Lun = %x\n",
          srb->PathId, srb->TargetId, srb->Lun);
    completeWith(srb, SRB_STATUS_SUCCESS);
    return 0;
}

// The functions accepted and left pending: the adapter keeps the request (see holdRequest).
int SrbFunctionRecEvent(TARGET_INFO*, PSCSI_REQUEST_BLOCK srb) {
    return pendingOnly(srb);
}
int SrbFunctionRelRec(TARGET_INFO*, PSCSI_REQUEST_BLOCK srb) {
    return pendingOnly(srb);
}
int SrbFunctionResetDev(TARGET_INFO*, PSCSI_REQUEST_BLOCK srb) {
    return pendingOnly(srb);
}
int SrbFunctionTermIo(TARGET_INFO*, PSCSI_REQUEST_BLOCK srb) {
    return pendingOnly(srb);
}
