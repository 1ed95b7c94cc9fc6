// Adding a target: the add-begin message picks a free bus, keeps the target's configuration and the
// tool's login event and answers at once; a session creation thread per add creates the engine's
// session (opening and logging in its connections); the security step of each login is handed to
// the tool through its login event; the add-complete message reports how the add ended.
//
// Per-bus state of an add lives in the bus's TARGET_INFO and the adapter's arrays; the message
// handler thread is the only one that starts and ends adds, one message at a time.
#include "driver/api/messages.h"
#include "driver/control/control_internal.h"
#include "driver/engine/text.h"
#include "driver/runtime/runtime.h"

#include <cstdio>
#include <cstring>

Shared<UCHAR> sessionThreadRunning[WINMSG_BUSES];
Shared<UCHAR> busRemoving[WINMSG_BUSES];
UCHAR busOrphaned[WINMSG_BUSES];

namespace {

// The most connections one add may ask for.
constexpr ULONG MAX_ADD_CONNECTIONS = 16;
// How long a login waits for the tool's verdict on its security step.
constexpr ULONG SECURITY_WAIT_SECONDS = 60;

// Ends an add's session creation: the bus is taken from now on, whether or not a session exists.
void endSessionCreation(ULONG bus, ULONG handle) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    TARGET_INFO* target = &dev->TargetInfo[bus];
    target->SessionHandle = static_cast<LONG>(handle);
    if (handle == ISCSI_NO_SESSION) {
        Debug(DBG_ERROR, "CreateSessionThread: Bus %x was not activated by the core code\n", bus);
    } else {
        Debug(DBG_ERROR,
              "CreateSessionThread: Bus %x was successfully activated by the core code\n", bus);
    }
    KIRQL old = KfAcquireSpinLock(&dev->AdapterLock);
    dev->TargetActive[bus] = 1;
    dev->DynamicallyRemovable[bus] = 1;
    dev->NumberOfCommandsQueued[bus] = 0;
    dev->BusyCompletions[bus] = 0;
    clearBusyTimer(bus);
    dev->ResetInProgress[bus] = 0;
    dev->RejectedLogins[bus] = 0;
    KfReleaseSpinLock(&dev->AdapterLock, old);
    sessionThreadRunning[bus] = 0;
    KeSetEvent(&target->SessionCreatedEvent, 0, FALSE);
}

void traceConfiguration(const char* prefix, const TARGET_INFO* target) {
    Debug(DBG_CONTROL, "%sNumConnections = %x\n", prefix, target->NumConnections);
    Debug(DBG_CONTROL, "%sIpAddress = %x\n", prefix, target->IpAddress);
    Debug(DBG_CONTROL, "%sPortNum = %x\n", prefix, target->PortNum);
    Debug(DBG_CONTROL, "%sLoginString = %s\n", prefix, target->LoginString);
    Debug(DBG_CONTROL, "%sLoginStringLength = %x\n", prefix, target->LoginStringLength);
}

} // namespace

void iscsiAddressText(ULONG ipAddress, WCHAR* text) {
    char narrow[16];
    snprintf(narrow, sizeof narrow, "%d.%d.%d.%d", static_cast<int>(ipAddress >> 24),
             static_cast<int>((ipAddress >> 16) & 0xFF), static_cast<int>((ipAddress >> 8) & 0xFF),
             static_cast<int>(ipAddress & 0xFF));
    size_t i = 0;
    for (; narrow[i] != '\0'; i++) {
        text[i] = static_cast<WCHAR>(narrow[i]);
    }
    text[i] = 0;
}

int AddTargetBegin(ADD_REMOVE_IOCTL* record, ULONG* busNumber) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    Debug(DBG_ERROR, "AddTargetBegin: entering function\n");
    // A bus whose add is under way (its Status already set) is not free, although its session
    // thread has not yet marked it active.
    ULONG bus = 0;
    while (bus < WINMSG_BUSES &&
           (dev->TargetActive[bus] != 0 || dev->TargetInfo[bus].Status != 0)) {
        bus++;
    }
    if (bus == WINMSG_BUSES) {
        Debug(DBG_ERROR, "AddTargetBegin: no more free SCSI buses\n");
        return ADD_NO_FREE_BUS;
    }
    *busNumber = bus;
    Debug(DBG_ERROR, "AddTargetBegin: found a free bus at %x\n", bus);
    // The string must fit the bus's copy with its NUL and hold no NUL inside its length (the
    // session would take it for shorter than it says); the connection count must be usable.
    if (record->LoginStringLength >= TARGET_TEXT_SIZE ||
        memchr(record->LoginString, '\0', record->LoginStringLength) != nullptr ||
        record->NumConnect == 0 || record->NumConnect > MAX_ADD_CONNECTIONS) {
        Debug(DBG_ERROR, "AddTargetBegin: refused: %x connections, login string of %x bytes\n",
              record->NumConnect, record->LoginStringLength);
        return ADD_REFUSED;
    }
    TARGET_INFO* target = &dev->TargetInfo[bus];
    target->NumConnections = record->NumConnect;
    target->PortNum = record->PortNumber;
    target->IpAddress = record->IpAddress;
    RtlCopyMemory(target->LoginString, record->LoginString, record->LoginStringLength);
    target->LoginString[record->LoginStringLength] = '\0';
    target->LoginStringLength = record->LoginStringLength;
    traceConfiguration("AddTargetBegin: ", target);
    Debug(DBG_ERROR, "AddTargetBegin: returning from function with rc = %x\n", 0);
    return 0;
}

void CreateSessionThread(PVOID context) {
    auto bus = static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(context));
    TARGET_INFO* target = &pMyDevExt->TargetInfo[bus];
    Debug(DBG_ERROR, "CreateSessionThread: entering function\n");
    Debug(DBG_ERROR, "CreateSessionThread: BusNumber = %x\n", bus);
    traceConfiguration("CreateSessionThread: ", target);
    // Every connection of a session goes to the bus's one target address.
    ISCSI_TARGET_ADDRESS addresses[MAX_ADD_CONNECTIONS];
    for (ULONG i = 0; i < target->NumConnections; i++) {
        addresses[i] = {target->IpAddress, target->PortNum};
    }
    ULONG handle = iscsiCoreCreateSession(addresses, target->NumConnections, target->LoginString,
                                          target->LoginStringLength, bus);
    endSessionCreation(bus, handle);
    Debug(DBG_ERROR, "CreateSessionThread: returning from function\n");
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void handleAddTargetBegin(PSCSI_REQUEST_BLOCK srb) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    auto* record = static_cast<ADD_REMOVE_IOCTL*>(srb->DataBuffer);
    Debug(DBG_ERROR, "handleWinMsg: WINMSG_ADD_TARGET_BEGIN\n");
    ULONG bus = 0;
    int r = AddTargetBegin(record, &bus);
    TARGET_INFO* target = r != ADD_NO_FREE_BUS ? &dev->TargetInfo[bus] : nullptr;
    if (r == 0) {
        // The name as a counted string, never read past its 128 characters.
        record->LoginEventName[127] = 0;
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, record->LoginEventName);
        target->SecurityBeginEvent =
            name.Length != 0 ? IoCreateNotificationEvent(&name, &target->SecurityBeginEventHandle)
                             : nullptr;
        if (target->SecurityBeginEvent == nullptr) {
            Debug(DBG_ERROR,
                  "handleWinMsg: The login event could not be opened (bug in caller?)\n");
            r = ADD_NO_LOGIN_EVENT;
        }
    }
    WCHAR address[16];
    iscsiAddressText(record->IpAddress, address);
    ULONG rc;
    switch (r) {
    case 0:
        rc = ISCSI_RC_LOGIN_PENDING | bus << 8;
        break;
    case ADD_NO_FREE_BUS:
        rc = ISCSI_RC_NO_FREE_BUS;
        sendErrorLogMsg(QUEV_TOO_MANY_TARGETS, 0, address, nullptr, nullptr, nullptr);
        break;
    case ADD_NO_LOGIN_EVENT:
        rc = ISCSI_RC_NO_LOGIN_EVENT;
        break;
    default:
        rc = ISCSI_RC_INVALID_STATE;
        break;
    }
    // The bus is marked before the tool has its answer, so that its next requests (security,
    // add complete) find the add under way.
    if (r == 0) {
        target->Status = TARGET_LOGIN_PENDING;
        target->SessionHandle = -1;
        KeInitializeEvent(&target->SecurityCompleteEvent, SynchronizationEvent, FALSE);
        KeInitializeEvent(&target->SessionCreatedEvent, SynchronizationEvent, FALSE);
        busOrphaned[bus] = 0;
        busRemoving[bus] = 0;
        sessionThreadRunning[bus] = 1;
    } else if (target != nullptr) {
        target->Status = 0;
    }
    Debug(DBG_ERROR, "WinMsgHandler: WINMSG_ADD_TARGET_BEGIN: ioctl.ReturnCode = %x\n", rc);
    record->Header.ReturnCode = rc;
    record->BusNumber = static_cast<UCHAR>(r == ADD_NO_FREE_BUS ? 0 : bus);
    iscsiOScompleteCommand(srb, 0, 0);
    if (r == 0) {
        Debug(DBG_ERROR, "WinMsgHandler: starting CreateSessionThread for bus number = %x\n", bus);
        ULONG thread = iscsiOScreateThread(CreateSessionThread,
                                           reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(bus)), 0);
        if (!iscsiOSthreadStarted(thread)) {
            // The add ends at once without a session; its completion reports it.
            endSessionCreation(bus, ISCSI_NO_SESSION);
        }
    }
}

void handleAddTargetComplete(PSCSI_REQUEST_BLOCK srb) {
    HW_DEVICE_EXTENSION* dev = pMyDevExt;
    auto* record = static_cast<ADD_REMOVE_IOCTL*>(srb->DataBuffer);
    Debug(DBG_ERROR, "handleWinMsg: WINMSG_ADD_TARGET_COMPLETE\n");
    ULONG bus = record->BusNumber;
    if (bus >= WINMSG_BUSES) {
        record->Header.ReturnCode = ISCSI_RC_INVALID_STATE;
        iscsiOScompleteCommand(srb, 0, 0);
        return;
    }
    TARGET_INFO* target = &dev->TargetInfo[bus];
    // The session thread's end is waited for only while it runs: a second completion of the same
    // add (the event already taken) finds it ended and does not wait.
    while (sessionThreadRunning[bus]) {
        (void)iscsiOSlimitsleep(&target->SessionCreatedEvent, 1);
    }
    auto handle = static_cast<ULONG>(target->SessionHandle.get());
    ULONG rc;
    if (handle == ISCSI_NO_SESSION) {
        Debug(DBG_ERROR, "WinMsgHandler: Target %x was not successfully added by the core code\n",
              bus);
        rc = ISCSI_RC_INTERNAL_ERROR;
    } else {
        ISCSI_SESSION_QUERY session;
        ISCSI_CONNECTION_QUERY connection;
        RtlZeroMemory(&session, sizeof session);
        RtlZeroMemory(&connection, sizeof connection);
        int qs = iscsiCoreQuerySession(handle, &session);
        Debug(DBG_ERROR, "WinMsgHandler: iscsiCoreQuerySession returned %x\n", qs);
        int qc = iscsiCoreQueryConnection(handle, &connection);
        Debug(DBG_ERROR, "WinMsgHandler: iscsiCoreQueryConnection returned %x\n", qc);
        if (qs == 0 && session.numActiveConnections > 0) {
            Debug(DBG_ERROR,
                  "WinMsgHandler: Bus %x is active (handle==%x) and connected to the target\n", bus,
                  handle);
            rc = ISCSI_RC_SUCCESS;
        } else {
            if (qc == 0 && connection.ConnectionState == CONN_LOGIN_FAILED) {
                Debug(DBG_ERROR, "WinMsgHandler: Login attempt was rejected by the target\n");
                rc = ISCSI_RC_LOGIN_REJECTED;
            } else if (target->Status & TARGET_SECURITY_FAILED) {
                Debug(DBG_ERROR, "WinMsgHandler: Security negotiation failed\n");
                rc = ISCSI_RC_SECURITY_FAILED;
            } else {
                rc = ISCSI_RC_NOT_CONNECTED;
            }
            Debug(DBG_ERROR,
                  "WinMsgHandler: Bus %3d is active (handle==%d) but not connected to the target "
                  "(connection state=%d)\n",
                  static_cast<int>(bus), static_cast<int>(handle),
                  static_cast<int>(connection.ConnectionState));
        }
        target->Status = TARGET_ADD_COMPLETE;
    }
    record->Header.ReturnCode = rc;
    iscsiOScompleteCommand(srb, 0, 0);
}

int iscsiOShandleSecurity(char* loginText, ULONG length, ULONG busNumber) {
    Debug(DBG_ERROR, "iscsiOShandleSecurity: entering function\n");
    // Without the adapter or a login event there is no tool to ask: the step is approved.
    if (pMyDevExt == nullptr || busNumber >= WINMSG_BUSES ||
        pMyDevExt->TargetInfo[busNumber].SecurityBeginEvent == nullptr) {
        Debug(DBG_ERROR, "iscsiOShandleSecurity: no configuration tool, returning with rc = 0\n");
        return 0;
    }
    TARGET_INFO* target = &pMyDevExt->TargetInfo[busNumber];
    // A bus being removed, or an adapter shutting down, asks its tool nothing more: the removal
    // waits for this bring-up, and after a shutdown the tool may have stopped answering.
    auto abandoned = [busNumber] {
        return busRemoving[busNumber] != 0 || pMyDevExt->shutdown_in_progress != 0;
    };
    if (abandoned()) {
        Debug(DBG_ERROR, "iscsiOShandleSecurity: bus %x is being removed, returning with rc = %x\n",
              busNumber, static_cast<ULONG>(ISCSI_SECURITY_BUS_REMOVED));
        return ISCSI_SECURITY_BUS_REMOVED;
    }
    Debug(DBG_ERROR, "iscsiOShandleSecurity: loginParams are at address = %p\n",
          static_cast<void*>(loginText));
    // Copied with its NUL, never past the bus's 2000 bytes.
    size_t copy = strnlen(loginText, TARGET_TEXT_SIZE - 1);
    RtlCopyMemory(target->LoginParams, loginText, copy);
    target->LoginParams[copy] = '\0';
    Debug(DBG_ERROR, "iscsiOShandleSecurity: loginParamsLength = %x\n", length);
    target->LoginParamsLength = length;
    Debug(DBG_ERROR, "iscsiOShandleSecurity: signaling the security begin event\n");
    KeSetEvent(target->SecurityBeginEvent, 0, FALSE);
    Debug(DBG_ERROR, "iscsiOShandleSecurity: sleeping on the security complete event\n");
    // A tool that never answers fails the step after a while instead of holding the login (and
    // the add's completion behind it) for ever. The wait is cut into slices so that the removal
    // of the bus, or of another bus bound to the session, ends it without a signal of its own.
    NTSTATUS waited = STATUS_TIMEOUT;
    for (ULONG slept = 0; slept < SECURITY_WAIT_SECONDS && waited != STATUS_SUCCESS && !abandoned();
         slept++) {
        waited = iscsiOSlimitsleep(&target->SecurityCompleteEvent, 1);
    }
    int rc = abandoned() ? ISCSI_SECURITY_BUS_REMOVED
             : waited != STATUS_SUCCESS || (target->Status & TARGET_SECURITY_FAILED) ? -1
                                                                                     : 0;
    Debug(DBG_ERROR, "iscsiOShandleSecurity: returning from function with rc = %x\n", rc);
    return rc;
}
