// The transport connection record of each session connection.
//
// This is the record's life only (allocation, break, release); connecting, sending and receiving
// arrive with the TCP transport. A record that was never connected has nothing to break.
#include "driver/engine/engine.h"
#include "driver/engine/os_services.h"
#include "driver/runtime/runtime.h"

struct ISCSI_SOCK {
    ULONG ipAddress;
    USHORT portNum;
    Shared<UCHAR> readWriteMustExit;
};

int iscsiOSallocateConnection(ULONG ipAddress, USHORT port, PISCSI_SOCK* pSock) {
    Debug(DBG_CONTROL, "iscsiOSallocateConnection: entering function\n");
    auto* sock = static_cast<ISCSI_SOCK*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(ISCSI_SOCK), ISCSI_POOL_TAG));
    if (sock == nullptr) {
        return ISCSI_FAILURE;
    }
    RtlZeroMemory(sock, sizeof(ISCSI_SOCK));
    sock->ipAddress = ipAddress;
    sock->portNum = port;
    *pSock = sock;
    Debug(DBG_CONTROL, "iscsiOSallocateConnection: returning from function\n");
    return 0;
}

int iscsiOSbreakConnection(PISCSI_SOCK pSock) {
    pSock->readWriteMustExit = 1;
    return 0;
}

void iscsiOSdestroyConnection(PISCSI_SOCK pSock) {
    Debug(DBG_ERROR, "iscsiOSdestroyConnection: freeing the pSock structure\n");
    ExFreePool(pSock);
}

// Not connected: every connect, read and write fails.
int iscsiOSmakeConnection(ULONG ipAddress, USHORT port, PISCSI_SOCK pSock) {
    (void)port;
    (void)pSock;
    Debug(DBG_CONTROL, "iscsiOSmakeConnection: attempting to connect to %x\n", ipAddress);
    return ISCSI_FAILURE;
}

LONG iscsiOSwriteToConnection(PISCSI_SOCK, const void*, ULONG, const void*, ULONG, ULONG, ULONG) {
    return ISCSI_FAILURE;
}

LONG iscsiOSreadFromConnection3(PISCSI_SOCK, void*, ULONG, ULONG, ULONG, ULONG) {
    return ISCSI_FAILURE;
}

LONG iscsiOSreadFromConnection(PISCSI_SOCK pSock, void* buffer, ULONG length, ULONG context,
                               ULONG offset) {
    return iscsiOSreadFromConnection3(pSock, buffer, length, context, offset, ISCSI_NO_TIME_LIMIT);
}

LONG iscsiOSreadFromConnection2(PISCSI_SOCK pSock, void* buffer, ULONG length, ULONG context,
                                ULONG offset) {
    return iscsiOSreadFromConnection3(pSock, buffer, length, context, offset, 7000);
}
