// Control requests from the configuration tool: SRB_FUNCTION_IO_CONTROL with the signature
// "iSCSI". Requests that may wait go to the message handler, which completes them; the others are
// answered here at once. Every length is checked against the request's data transfer length before
// anything is read past the header, copied or written.
#include "driver/adapter/adapter.h"
#include "driver/api/messages.h"
#include "driver/control/control.h"
#include "driver/runtime/runtime.h"

#include <cstdio>
#include <cstring>

namespace {

// A handler's ReturnCode, or this when the request went to the message handler.
constexpr ULONG HANDED_OVER = 0xFFFFFFFE;
constexpr ULONG MAX_LOGIN_STRING = TARGET_TEXT_SIZE - 1;

template <class T>
T* recordOf(PSCSI_REQUEST_BLOCK srb) {
    return static_cast<T*>(srb->DataBuffer);
}

TARGET_INFO* targetOf(UCHAR bus) {
    return bus < ADAPTER_TARGET_BUSES ? &pMyDevExt->TargetInfo[bus] : nullptr;
}

ULONG statusOf(UCHAR bus) {
    TARGET_INFO* target = targetOf(bus);
    return target != nullptr ? target->Status.get() : 0;
}

// Event 0xC04F0004 naming the target's address.
void logConfigError(ULONG ipAddress) {
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", static_cast<int>(ipAddress >> 24),
                  static_cast<int>((ipAddress >> 16) & 0xFF),
                  static_cast<int>((ipAddress >> 8) & 0xFF), static_cast<int>(ipAddress & 0xFF));
    WCHAR wide[16];
    size_t i = 0;
    for (; text[i] != '\0'; i++) {
        wide[i] = static_cast<WCHAR>(text[i]);
    }
    wide[i] = 0;
    sendErrorLogMsg(QUEV_CONFIG_INTERNAL_ERROR, 0, wide, nullptr, nullptr, nullptr);
}

bool post(ULONG type, PSCSI_REQUEST_BLOCK srb, int* rc) {
    *rc = sendToWinMsgHandler(&winMsgHandlerContext, type, srb);
    return *rc == 0;
}

ULONG addTargetBegin(PSCSI_REQUEST_BLOCK srb, int* rc) {
    auto* add = recordOf<ADD_REMOVE_IOCTL>(srb);
    ULONG capacity = srb->DataTransferLength - ADD_REMOVE_IOCTL_FIXED;
    ULONG shown = static_cast<ULONG>(strnlen(add->LoginString, capacity));
    Debug(DBG_ERROR, "SrbFunctionIoctl: NumConnect = %x\n", add->NumConnect);
    Debug(DBG_ERROR, "SrbFunctionIoctl: IpAddress = %x\n", add->IpAddress);
    Debug(DBG_ERROR, "SrbFunctionIoctl: PortNumber = %x\n", add->PortNumber);
    Debug(DBG_ERROR, "SrbFunctionIoctl: LoginString = %.*s\n", static_cast<int>(shown),
          add->LoginString);
    Debug(DBG_ERROR, "SrbFunctionIoctl: LoginStringLength = %x\n", add->LoginStringLength);
    if (add->LoginStringLength > MAX_LOGIN_STRING || add->LoginStringLength >= capacity) {
        Debug(DBG_ERROR, "SrbFunctionIoctl: the login string does not fit the request (%x bytes)\n",
              capacity);
        return ISCSI_RC_INVALID_STATE;
    }
    if (post(WINMSG_ADD_TARGET_BEGIN, srb, rc)) {
        Debug(DBG_ERROR, "SrbFunctionIoctl: the add target request was successfully sent to the "
                         "message handler, returning from function\n");
        return HANDED_OVER;
    }
    Debug(DBG_ERROR,
          "SrbFunctionIoctl: ISCSI_IOCTL_ADD_TARGET_BEGIN unable to send to message handler: "
          "ioctl.ReturnCode=0x%08x\n",
          ISCSI_RC_INTERNAL_ERROR);
    logConfigError(add->IpAddress);
    return ISCSI_RC_INTERNAL_ERROR;
}

ULONG addTargetComplete(PSCSI_REQUEST_BLOCK srb, int* rc) {
    UCHAR bus = recordOf<ADD_REMOVE_IOCTL>(srb)->BusNumber;
    Debug(DBG_ERROR, "SrbFunctionIoctl: pAddRemoveIoctl->BusNumber = %x\n", bus);
    if ((statusOf(bus) & TARGET_LOGIN_PENDING) == 0) {
        Debug(DBG_ERROR,
              "SrbFunctionIoctl: Target %x does not have a pending login operation -- Status = "
              "%x\n",
              bus, statusOf(bus));
        return ISCSI_RC_INVALID_STATE;
    }
    if (post(WINMSG_ADD_TARGET_COMPLETE, srb, rc)) {
        Debug(DBG_ERROR, "SrbFunctionIoctl: the add target complete request was succesfully sent "
                         "to the message handler, returning from function\n");
        return HANDED_OVER;
    }
    Debug(DBG_ERROR,
          "SrbFunctionIoctl: ISCSI_IOCTL_ADD_TARGET_COMPLETE unable to send to message handler: "
          "ioctl.ReturnCode=0x%08x\n",
          ISCSI_RC_INTERNAL_ERROR);
    logConfigError(targetOf(bus)->IpAddress);
    return ISCSI_RC_INTERNAL_ERROR;
}

ULONG queryTarget(PSCSI_REQUEST_BLOCK srb, int* rc) {
    Debug(DBG_ERROR, "SrbFunctionIoctl: IpAddress = %x\n",
          recordOf<QUERY_TARGET_IOCTL>(srb)->IpAddress);
    if (post(WINMSG_QUERY_TARGET, srb, rc)) {
        return HANDED_OVER;
    }
    Debug(DBG_ERROR, "SrbFunctionIoctl: ISCSI_IOCTL_QUERY_TARGET unable to send to msg handler\n");
    return ISCSI_RC_INTERNAL_ERROR;
}

ULONG removeTarget(PSCSI_REQUEST_BLOCK srb, int* rc) {
    Debug(DBG_ERROR, "SrbFunctionIoctl: BusNumber = %x\n",
          recordOf<ADD_REMOVE_IOCTL>(srb)->BusNumber);
    if (post(WINMSG_REMOVE_TARGET, srb, rc)) {
        return HANDED_OVER;
    }
    Debug(DBG_ERROR, "SrbFunctionIoctl: ISCSI_IOCTL_REMOVE_TARGET unable to send to msg handler\n");
    return ISCSI_RC_INTERNAL_ERROR;
}

ULONG sendReceiveText(PSCSI_REQUEST_BLOCK srb, int* rc) {
    auto* text = recordOf<SEND_RECEIVE_TEXT_IOCTL>(srb);
    if (statusOf(text->BusNumber) == 0) {
        Debug(DBG_ERROR,
              "SrbFunctionIoctl: cannot send a text message to a target %x because it is not "
              "active\n",
              text->BusNumber);
        text->BufferLength = ISCSI_TEXT_REFUSED;
        return ISCSI_RC_INVALID_STATE;
    }
    // The response is written back into the same buffer; the request text must fit it too.
    if (text->BufferLength > iscsiTextCapacity(srb)) {
        Debug(DBG_ERROR,
              "SrbFunctionIoctl: the text of %x bytes does not fit the request's buffer of %x "
              "bytes\n",
              text->BufferLength, iscsiTextCapacity(srb));
        text->BufferLength = ISCSI_TEXT_REFUSED;
        return ISCSI_RC_INVALID_STATE;
    }
    if (post(WINMSG_SEND_RECEIVE_TEXT, srb, rc)) {
        return HANDED_OVER;
    }
    text->BufferLength = ISCSI_TEXT_REFUSED;
    Debug(DBG_ERROR,
          "SrbFunctionIoctl: ISCSI_IOCTL_SEND_RECEIVE_TEXT unable to send to msg handler\n");
    return ISCSI_RC_INTERNAL_ERROR;
}

ULONG securityBegin(PSCSI_REQUEST_BLOCK srb, int*) {
    auto* text = recordOf<SEND_RECEIVE_TEXT_IOCTL>(srb);
    UCHAR bus = text->BusNumber;
    Debug(DBG_ERROR, "SrbFunctionIoctl: pSendReceiveTextIoctl->BusNumber = %x\n", bus);
    if (statusOf(bus) == 0) {
        Debug(DBG_ERROR, "SrbFunctionIoctl: Target %x is not active\n", bus);
        return ISCSI_RC_INVALID_STATE;
    }
    TARGET_INFO* target = targetOf(bus);
    // The text up to and including its NUL, at most the whole array.
    ULONG length = static_cast<ULONG>(strnlen(target->LoginParams, TARGET_TEXT_SIZE));
    ULONG copy = length < TARGET_TEXT_SIZE ? length + 1 : TARGET_TEXT_SIZE;
    if (copy > iscsiTextCapacity(srb)) {
        Debug(DBG_ERROR,
              "SrbFunctionIoctl: the security text of %x bytes does not fit the request's buffer "
              "of %x bytes\n",
              copy, iscsiTextCapacity(srb));
        text->BufferLength = copy;
        return ISCSI_RC_INVALID_STATE;
    }
    RtlCopyMemory(text->Text, target->LoginParams, copy);
    text->BufferLength = target->LoginParamsLength;
    target->Status |= TARGET_SECURITY_PENDING;
    Debug(DBG_CONTROL, "SrbFunctionIoctl: Status = %x\n", target->Status.get());
    return ISCSI_RC_SUCCESS;
}

ULONG securityComplete(PSCSI_REQUEST_BLOCK srb, int*) {
    auto* complete = recordOf<SECURITY_COMPLETE_IOCTL>(srb);
    UCHAR bus = complete->BusNumber;
    Debug(DBG_ERROR, "SrbFunctionIoctl: pSecurityCompleteIoctl->BusNumber = %x\n", bus);
    if (statusOf(bus) == 0) {
        Debug(DBG_ERROR, "SrbFunctionIoctl: Target %x is not active\n", bus);
        return ISCSI_RC_INVALID_STATE;
    }
    TARGET_INFO* target = targetOf(bus);
    if ((target->Status & TARGET_SECURITY_PENDING) == 0) {
        Debug(DBG_ERROR, "SrbFunctionIoctl: Target %x does not have a pending security operation\n",
              bus);
        return ISCSI_RC_INVALID_STATE;
    }
    if (complete->SecurityResult == 0) {
        Debug(DBG_ERROR, "SrbFunctionIoctl: security negotiation operation was successful\n");
        target->Status &= ~(TARGET_SECURITY_PENDING | TARGET_SECURITY_FAILED);
        target->Status |= TARGET_SECURITY_SUCCEEDED;
    } else {
        Debug(DBG_ERROR, "SrbFunctionIoctl: security negotiation FAILED\n");
        target->Status &= ~(TARGET_SECURITY_PENDING | TARGET_SECURITY_SUCCEEDED);
        target->Status |= TARGET_SECURITY_FAILED;
    }
    Debug(DBG_CONTROL, "SrbFunctionIoctl: Status = %x\n", target->Status.get());
    KeSetEvent(&target->SecurityCompleteEvent, 31, FALSE);
    return ISCSI_RC_SUCCESS;
}

ULONG shutdown(PSCSI_REQUEST_BLOCK, int*) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    dev->shutdown_in_progress = 1;
    // Logins waiting for the tool's verdict on a security step fail now: the tool that shuts the
    // adapter down stops answering them, and the sessions end.
    for (ULONG bus = 0; bus < ADAPTER_TARGET_BUSES; bus++) {
        if (dev->TargetInfo[bus].Status != 0 || dev->TargetActive[bus] != 0) {
            KeSetEvent(&dev->TargetInfo[bus].SecurityCompleteEvent, 0, FALSE);
        }
    }
    return ISCSI_RC_SUCCESS;
}

ULONG dropSrb(PSCSI_REQUEST_BLOCK, int*) {
    drop_srb = 1;
    return ISCSI_RC_SUCCESS;
}

struct ControlCase {
    ULONG code;
    ULONG fixed; // bytes the record needs before its variable part
    const char* trace;
    ULONG (*handle)(PSCSI_REQUEST_BLOCK srb, int* rc);
};

const ControlCase kControls[] = {
    {ISCSI_IOCTL_ADD_TARGET_BEGIN, ADD_REMOVE_IOCTL_FIXED + 1,
     "SrbFunctionIoctl: ISCSI_IOCTL_ADD_TARGET_BEGIN\n", addTargetBegin},
    {ISCSI_IOCTL_QUERY_TARGET, QUERY_TARGET_IOCTL_FIXED,
     "SrbFunctionIoctl: ISCSI_IOCTL_QUERY_TARGET\n", queryTarget},
    {ISCSI_IOCTL_SHUTDOWN, sizeof(SRB_IO_CONTROL), "SrbFunctionIoctl: ISCSI_IOCTL_SHUTDOWN\n",
     shutdown},
    {ISCSI_IOCTL_DROP_SRB, sizeof(SRB_IO_CONTROL), "SrbFunctionIoctl: ISCSI_IOCTL_DROP_SRB\n",
     dropSrb},
    {ISCSI_IOCTL_REMOVE_TARGET, ADD_REMOVE_IOCTL_FIXED,
     "SrbFunctionIoctl: ISCSI_IOCTL_REMOVE_TARGET\n", removeTarget},
    {ISCSI_IOCTL_SEND_RECEIVE_TEXT, SEND_RECEIVE_TEXT_IOCTL_FIXED,
     "SrbFunctionIoctl: ISCSI_IOCTL_SEND_RECEIVE_TEXT\n", sendReceiveText},
    {ISCSI_IOCTL_SECURITY_BEGIN, SEND_RECEIVE_TEXT_IOCTL_FIXED,
     "SrbFunctionIoctl: ISCSI_IOCTL_SECURITY_BEGIN\n", securityBegin},
    {ISCSI_IOCTL_ADD_TARGET_COMPLETE, ADD_REMOVE_IOCTL_FIXED,
     "SrbFunctionIoctl: ISCSI_IOCTL_ADD_TARGET_COMPLETE\n", addTargetComplete},
    {ISCSI_IOCTL_SECURITY_COMPLETE, SECURITY_COMPLETE_IOCTL_FIXED,
     "SrbFunctionIoctl: ISCSI_IOCTL_SECURITY_COMPLETE\n", securityComplete},
};

void refuse(PSCSI_REQUEST_BLOCK srb) {
    srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
    iscsiOScompleteCommand(srb, SCSISTAT_GOOD, 0);
}

} // namespace

// One control request, from HwScsiStartIo (DISPATCH_LEVEL, port locks held): never waits.
// Returns 0, or the nonzero result of a refused hand-off to the message handler.
int SrbFunctionIoctl(PSCSI_REQUEST_BLOCK srb) {
    Debug(DBG_ERROR, "SrbFunctionIoctl: entering function\n");
    Debug(DBG_CONTROL, "SrbFunctionIoctl: Srb->SrbFlags = %x\n", srb->SrbFlags);
    Debug(DBG_CONTROL, "SrbFunctionIoctl: Srb->TimeOutValue = %x\n", srb->TimeOutValue);
    Debug(DBG_CONTROL, "SrbFunctionIoctl: Srb->DataBuffer = %x\n",
          static_cast<ULONG>(reinterpret_cast<uintptr_t>(srb->DataBuffer)));
    Debug(DBG_CONTROL, "SrbFunctionIoctl: Srb->DataTransferLength = %x\n", srb->DataTransferLength);
    if (srb->TimeOutValue == 0) {
        Debug(DBG_ERROR, "SrbFunctionIoctl: TimeOutValue == 0 indicates bug in requester\n");
    }
    if (srb->DataBuffer == nullptr || srb->DataTransferLength < sizeof(SRB_IO_CONTROL)) {
        Debug(DBG_ERROR,
              "SrbFunctionIoctl: no room for the control header (%x bytes) -- returning "
              "SRB_STATUS_INVALID_REQUEST\n",
              srb->DataTransferLength);
        refuse(srb);
        return 0;
    }
    auto* header = static_cast<SRB_IO_CONTROL*>(srb->DataBuffer);
    if (std::memcmp(header->Signature, "iSCSI", 6) != 0) {
        char signature[sizeof(header->Signature) + 1] = {};
        std::memcpy(signature, header->Signature, sizeof(header->Signature));
        Debug(DBG_ERROR,
              "SrbFunctionIoctl: Not our IOCTL, signature = %s -- returning "
              "SRB_STATUS_INVALID_REQUEST\n",
              signature);
        refuse(srb);
        return 0;
    }
    ULONG returnCode = ISCSI_RC_INVALID_STATE;
    int rc = 0;
    const ControlCase* found = nullptr;
    for (const ControlCase& c : kControls) {
        if (c.code == header->ControlCode) {
            found = &c;
        }
    }
    if (found == nullptr) {
        Debug(DBG_ERROR, "SrbFunctionIoctl: undefined ControlCode %x... ignoring\n",
              header->ControlCode);
    } else {
        Debug(DBG_ERROR, "%s", found->trace);
        if (srb->DataTransferLength < found->fixed) {
            Debug(DBG_ERROR,
                  "SrbFunctionIoctl: the request of %x bytes is shorter than its record "
                  "-- returning SRB_STATUS_INVALID_REQUEST\n",
                  srb->DataTransferLength);
            refuse(srb);
            return 0;
        }
        returnCode = found->handle(srb, &rc);
        if (returnCode == HANDED_OVER) {
            return 0;
        }
    }
    header->ReturnCode = returnCode;
    srb->SrbStatus = SRB_STATUS_SUCCESS;
    iscsiOScompleteCommand(srb, SCSISTAT_GOOD, 0);
    Debug(DBG_ERROR, "SrbFunctionIoctl: returning from function with rc = %x\n",
          static_cast<ULONG>(rc));
    return rc;
}
