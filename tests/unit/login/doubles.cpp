// The operating-system services that the engine and login layers call and that these tests do not
// link from their own layers: transport records, reads and writes, and request completions. Nothing
// in these tests opens a connection or completes a request; the doubles only keep the link whole.
#include "driver/engine/os_services.h"

#include <cstdlib>

struct ISCSI_SOCK {
    ULONG ipAddress;
    USHORT portNum;
};

int iscsiOSallocateConnection(ULONG ipAddress, USHORT port, PISCSI_SOCK* pSock) {
    *pSock = new ISCSI_SOCK{ipAddress, port};
    return 0;
}

void iscsiOSdestroyConnection(PISCSI_SOCK pSock) {
    delete pSock;
}

void iscsiOScompleteCommand(PSCSI_REQUEST_BLOCK, UCHAR, ULONG) {
    abort();
}
void iscsiOScompleteCommandNoConnection(PSCSI_REQUEST_BLOCK) {
    abort();
}
void iscsiOScompleteCommandReset(PSCSI_REQUEST_BLOCK) {
    abort();
}
void iscsiOScompleteCommandAbort(PSCSI_REQUEST_BLOCK) {
    abort();
}
void iscsiOScompleteTaskMan(UCHAR, PSCSI_REQUEST_BLOCK, ULONG) {
    abort();
}

// The receive loop and the PDU helpers of the engine read and write connections; nothing here
// runs them.
LONG iscsiOSwriteToConnection(PISCSI_SOCK, const void*, ULONG, const void*, ULONG, ULONG, ULONG) {
    abort();
}
LONG iscsiOSwritePdu(PISCSI_SOCK, const void*, const void*, ULONG, ULONG) {
    abort();
}
LONGLONG iscsiOSdeadline(ULONG) {
    abort();
}
LONG iscsiOSreadFromConnectionBefore(PISCSI_SOCK, void*, ULONG, ULONG, ULONG, LONGLONG) {
    abort();
}
LONG iscsiOSreadFromConnection(PISCSI_SOCK, void*, ULONG, ULONG, ULONG) {
    abort();
}

// The login exchange and the connection bring-up are linked in but not run here.
int iscsiOSmakeConnection(ULONG, USHORT, PISCSI_SOCK) {
    abort();
}
LONG iscsiOSreadFromConnection2(PISCSI_SOCK, void*, ULONG, ULONG, ULONG) {
    abort();
}
int iscsiOShandleSecurity(char*, ULONG, ULONG) {
    abort();
}
