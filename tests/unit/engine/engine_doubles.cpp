#include "engine_doubles.h"

#include "driver/engine/login_layer.h"

#include <chrono>
#include <thread>

namespace enginetest {

Doubles& doubles() {
    static Doubles d;
    return d;
}

void resetDoubles() {
    Doubles& d = doubles();
    {
        std::lock_guard<std::mutex> g(d.mutex);
        d.completions.clear();
    }
    d.allocateCalls = 0;
    d.allocateFailAt = -1;
    d.breakCalls = 0;
    d.destroyCalls = 0;
    d.makeConnectionsCalls = 0;
    d.connectOnMake = 0;
    d.bindToHandle = ISCSI_NO_SESSION;
    d.receiveExitDelayMs = 0;
    d.holdNoConnection = false;
    d.deleteOnMake = false;
    d.deleted = false;
    KeInitializeEvent(&d.release, NotificationEvent, FALSE);
}

std::vector<Completion> completions() {
    std::lock_guard<std::mutex> g(doubles().mutex);
    return doubles().completions;
}

namespace {

void record(Completion c) {
    std::lock_guard<std::mutex> g(doubles().mutex);
    doubles().completions.push_back(c);
}

} // namespace
} // namespace enginetest

using namespace enginetest;

// A fake transport record: an event that a break signals.
struct ISCSI_SOCK {
    KEVENT broken;
    ISCSI_CONNECTION* connection;
};

int iscsiOSallocateConnection(ULONG, USHORT, PISCSI_SOCK* pSock) {
    int index = doubles().allocateCalls++;
    if (index == doubles().allocateFailAt) {
        return ISCSI_FAILURE;
    }
    auto* sock = static_cast<ISCSI_SOCK*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(ISCSI_SOCK), ISCSI_POOL_TAG));
    if (sock == nullptr) {
        return ISCSI_FAILURE;
    }
    RtlZeroMemory(sock, sizeof(ISCSI_SOCK));
    KeInitializeEvent(&sock->broken, NotificationEvent, FALSE);
    *pSock = sock;
    return 0;
}

int iscsiOSbreakConnection(PISCSI_SOCK pSock) {
    doubles().breakCalls++;
    KeSetEvent(&pSock->broken, 0, FALSE);
    return 0;
}

void iscsiOSdestroyConnection(PISCSI_SOCK pSock) {
    doubles().destroyCalls++;
    ExFreePool(pSock);
}

void iscsiOScompleteCommand(PSCSI_REQUEST_BLOCK srb, UCHAR scsiStatus, ULONG) {
    record({Completion::Command, srb, 0, 0, scsiStatus});
}
void iscsiOScompleteCommandNoConnection(PSCSI_REQUEST_BLOCK srb) {
    record({Completion::NoConnection, srb, 0, 0, 0});
    if (doubles().holdNoConnection) {
        (void)KeWaitForSingleObject(&doubles().release, Executive, KernelMode, FALSE, nullptr);
    }
}
void iscsiOScompleteCommandReset(PSCSI_REQUEST_BLOCK srb) {
    record({Completion::Reset, srb, 0, 0, 0});
}
void iscsiOScompleteCommandAbort(PSCSI_REQUEST_BLOCK srb) {
    record({Completion::Abort, srb, 0, 0, 0});
}
void iscsiOScompleteTaskMan(UCHAR function, PSCSI_REQUEST_BLOCK srb, ULONG result) {
    record({Completion::TaskMan, srb, function, result, 0});
}

int processLoginParameters(ISCSI_SESSION* session, const char* text, ULONG length) {
    auto* copy =
        static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, length + 2, ISCSI_POOL_TAG));
    if (copy == nullptr) {
        return ISCSI_FAILURE;
    }
    RtlZeroMemory(copy, length + 2);
    RtlCopyMemory(copy, text, length);
    session->loginString = copy;
    session->loginStringLength = length;
    return 0;
}

ULONG findSessionHandle(ULONG, const char*, ULONG) {
    return doubles().bindToHandle;
}

namespace {

// Stands in for a connection's receive thread: runs until the transport is broken, then leaves
// the session the way a receive thread does as it ends.
void fakeReceiveThread(PVOID context) {
    auto* connection = static_cast<ISCSI_CONNECTION*>(context);
    ISCSI_SESSION* session = connection->session;
    (void)KeWaitForSingleObject(&connection->pSock->broken, Executive, KernelMode, FALSE, nullptr);
    unsigned delay = doubles().receiveExitDelayMs;
    if (delay != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
    iscsiConnectionEnded(session, connection);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

} // namespace

int makeTcpConnections(ISCSI_SESSION* session) {
    doubles().makeConnectionsCalls++;
    ULONG wanted = doubles().connectOnMake;
    for (ULONG i = 0; i < iscsiConnectionCount(session) && i < wanted; i++) {
        ISCSI_CONNECTION* connection = &session->connections[i];
        if (connection->state == CONN_UNUSABLE || connection->state == CONN_CONNECTED) {
            continue;
        }
        connection->session = session;
        KeClearEvent(&connection->pSock->broken);
        KIRQL old = iscsiLockSession(session);
        connection->state = CONN_CONNECTED;
        session->activeConnections[session->numActiveConnections] = connection;
        ++session->numActiveConnections;
        iscsiUnlockSession(session, old);
        connection->readThread = iscsiOScreateThread(fakeReceiveThread, connection, 0);
    }
    int active = iscsiEndConnecting(session);
    if (doubles().deleteOnMake.exchange(false)) {
        doubles().deletion = std::thread([handle = getSessionHandle(session)] {
            (void)iscsiCoreDeleteSession(handle);
            doubles().deleted = true;
        });
        for (int i = 0; i < 400 && !doubles().deleted && session->exitEvent.waiters.load() == 0;
             i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return active;
}

void makeTcpConnectionsThread(PVOID session) {
    (void)makeTcpConnections(static_cast<ISCSI_SESSION*>(session));
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// The engine's tests here do not reach the network.
int iscsiOSmakeConnection(ULONG, USHORT, PISCSI_SOCK) {
    return ISCSI_FAILURE;
}
LONG iscsiOSwriteToConnection(PISCSI_SOCK, const void*, ULONG, const void*, ULONG, ULONG, ULONG) {
    return ISCSI_FAILURE;
}
LONG iscsiOSwritePdu(PISCSI_SOCK, const void*, const void*, ULONG, ULONG) {
    return ISCSI_FAILURE;
}
LONG iscsiOSreadFromConnection3(PISCSI_SOCK, void*, ULONG, ULONG, ULONG, ULONG) {
    return ISCSI_FAILURE;
}
LONGLONG iscsiOSdeadline(ULONG) {
    return 0;
}
LONG iscsiOSreadFromConnectionBefore(PISCSI_SOCK, void*, ULONG, ULONG, ULONG, LONGLONG) {
    return ISCSI_FAILURE;
}
LONG iscsiOSreadFromConnection(PISCSI_SOCK, void*, ULONG, ULONG, ULONG) {
    return ISCSI_FAILURE;
}
LONG iscsiOSreadFromConnection2(PISCSI_SOCK, void*, ULONG, ULONG, ULONG) {
    return ISCSI_FAILURE;
}
int handleParams(char*, ULONG, ISCSI_SESSION*, UCHAR) {
    return 0;
}
