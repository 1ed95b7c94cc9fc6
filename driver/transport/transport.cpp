// The life of a transport connection record: allocation, connecting, breaking and release.
#include "driver/transport/transport.h"
#include "driver/runtime/runtime.h"

namespace {

TCP_REQUEST* allocateRequest() {
    auto* request = static_cast<TCP_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(TCP_REQUEST), ISCSI_POOL_TAG));
    if (request != nullptr) {
        RtlZeroMemory(request, sizeof(TCP_REQUEST));
    }
    return request;
}

void freeRecord(ISCSI_SOCK* pSock) {
    if (pSock->receiveIrp != nullptr) {
        ExFreePool(pSock->receiveIrp);
    }
    if (pSock->sendIrp != nullptr) {
        ExFreePool(pSock->sendIrp);
    }
    ExFreePool(pSock);
}

} // namespace

int iscsiOSallocateConnection(ULONG ipAddress, USHORT port, PISCSI_SOCK* pSock) {
    Debug(DBG_CONTROL, "iscsiOSallocateConnection: entering function\n");
    auto* sock = static_cast<ISCSI_SOCK*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(ISCSI_SOCK), ISCSI_POOL_TAG));
    if (sock == nullptr) {
        return ISCSI_FAILURE;
    }
    RtlZeroMemory(sock, sizeof(ISCSI_SOCK));
    sock->addressHandle = -1;
    sock->connectionHandle = -1;
    for (int i = 0; i < 2; i++) {
        sock->ioFd[i] = -1;
        sock->closePending[i] = -1;
    }
    sock->ipAddress = ipAddress;
    sock->portNum = port;
    sock->sockState = SOCK_NEW;
    KeInitializeSpinLock(&sock->stateLock, "pSock->stateLock");
    KeInitializeEvent(&sock->requestEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&sock->sendEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&sock->receiveEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&sock->readerExitEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&sock->writerExitEvent, SynchronizationEvent, FALSE);
    sock->receiveIrp = allocateRequest();
    sock->sendIrp = allocateRequest();
    if (sock->receiveIrp == nullptr || sock->sendIrp == nullptr) {
        freeRecord(sock);
        return ISCSI_FAILURE;
    }
    *pSock = sock;
    Debug(DBG_CONTROL, "iscsiOSallocateConnection: returning from function\n");
    return 0;
}

int iscsiOSmakeConnection(ULONG ipAddress, USHORT port, PISCSI_SOCK pSock) {
    (void)port;
    Debug(DBG_CONTROL, "iscsiOSmakeConnection: attempting to connect to %x\n", ipAddress);
    if (pSock == nullptr) {
        Debug(DBG_ERROR, "iscsiOSmakeConnection: pSock == NULL, returning ISCSI_FAILURE\n");
        return ISCSI_FAILURE;
    }
    if (pSock->sockState == SOCK_CONNECTED) {
        (void)iscsiOSbreakConnection(pSock);
    }

    // Failures of the opening steps show up as a failed connect.
    NTSTATUS status = tOpenLocalEndpoint(pSock);
    Debug(DBG_CONTROL, "iscsiOSmakeConnection: tOpenLocalEndpoint returned %x\n", status);
    status = tOpenRemoteEndpoint(pSock);
    Debug(DBG_CONTROL, "iscsiOSmakeConnection: tOpenRemoteEndpoint returned %x\n", status);
    status = tAssociateRemoteWithLocal(pSock);
    Debug(DBG_CONTROL, "iscsiOSmakeConnection: tAssociateRemoteWithLocal returned %x\n", status);

    status = tConnectTarget(pSock);
    if (status == STATUS_SUCCESS) {
        pSock->readWriteMustExit = 0;
        tLockState(pSock);
        pSock->sockState = SOCK_CONNECTED;
        tUnlockState(pSock);
        Debug(DBG_ERROR, "iscsiOSmakeConnection: CONNECTED to 0x%x\n", ipAddress);
        return status;
    }

    tLockState(pSock);
    pSock->sockState = SOCK_DISCONNECTED;
    tUnlockState(pSock);
    Debug(DBG_ERROR, "iscsiOSmakeConnection: NOT CONNECTED to 0x%x\n", ipAddress);
    (void)tDisassociateRemoteWithLocal(pSock);
    (void)tCloseRemoteEndpoint(pSock);
    (void)tCloseLocalEndpoint(pSock);
    // No pause here: the caller that tries again paces its attempts (the command queue thread
    // backs off up to three seconds), and one that gives up is not held back.
    return status;
}

int iscsiOSbreakConnection(PISCSI_SOCK pSock) {
    if (pSock == nullptr) {
        Debug(DBG_ERROR, "iscsiOSbreakConnection: pSock == NULL, returning ISCSI_FAILURE\n");
        return ISCSI_FAILURE;
    }
    // Testing and setting the state in one step lets only one of two concurrent breaks go on,
    // so a socket is never shut down or closed twice.
    tLockState(pSock);
    bool alreadyBroken = pSock->sockState == SOCK_DISCONNECTED;
    pSock->sockState = SOCK_DISCONNECTED;
    tUnlockState(pSock);
    if (alreadyBroken) {
        Debug(DBG_CONTROL, "iscsiOSbreakConnection: returning with rc = %x\n", 0);
        return 0;
    }
    pSock->readWriteMustExit = 1;

    // The abortive shutdown also wakes every read and write waiting on the socket.
    NTSTATUS status = tDisconnectTarget(pSock, TDI_DISCONNECT_ABORT);
    Debug(DBG_CONTROL, "iscsiOSbreakConnection: tDisconnectTarget returned %x\n", status);
    status = tDisassociateRemoteWithLocal(pSock);
    Debug(DBG_CONTROL, "iscsiOSbreakConnection: tDisassociateRemoteWithLocal returned %x\n",
          status);
    status = tCloseRemoteEndpoint(pSock);
    Debug(DBG_CONTROL, "iscsiOSbreakConnection: tCloseRemoteEndpoint returned %x\n", status);
    status = tCloseLocalEndpoint(pSock);
    Debug(DBG_CONTROL, "iscsiOSbreakConnection: tCloseLocalEndpoint returned %x\n", status);

    // Only a read or write still inside the transport is waited for, until it leaves (tIoLeave
    // sets its exit event, however the read or write ended); with none registered there is nothing
    // that could set the event, and a wait would only add its whole bound to every break.
    tLockState(pSock);
    bool reading = pSock->ioFd[TCP_IO_READ] >= 0;
    bool writing = pSock->ioFd[TCP_IO_WRITE] >= 0;
    tUnlockState(pSock);
    if (reading) {
        (void)iscsiOSlimitsleep(&pSock->readerExitEvent, TCP_EXIT_WAIT_SECONDS);
    }
    if (writing) {
        (void)iscsiOSlimitsleep(&pSock->writerExitEvent, TCP_EXIT_WAIT_SECONDS);
    }
    KeClearEvent(&pSock->readerExitEvent);
    KeClearEvent(&pSock->writerExitEvent);
    return status == STATUS_SUCCESS ? 0 : ISCSI_FAILURE;
}

void iscsiOSdestroyConnection(PISCSI_SOCK pSock) {
    Debug(DBG_ERROR, "iscsiOSdestroyConnection: freeing the pSock structure\n");
    if (pSock == nullptr) {
        return;
    }
    // The caller breaks first; a record that was never broken still gives its sockets back.
    int sockets[3] = {pSock->addressHandle, pSock->closePending[0], pSock->closePending[1]};
    for (int fd : sockets) {
        if (fd >= 0) {
            (void)pSock->tcpDeviceObject->close(fd);
        }
    }
    freeRecord(pSock);
}
