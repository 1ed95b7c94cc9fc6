// Bringing up the connections of a session, and binding a second configuration of the same target
// to its existing session.
//
// Opening and logging in connections arrives with the transport and the login exchange; until
// then a session's connections stay idle, every attempt ends with no active connection, and no
// configuration is recognised as an existing session's.
#include "driver/engine/engine.h"
#include "driver/engine/os_services.h"

int makeTcpConnections(ISCSI_SESSION* session) {
    // The count is read before the lock is released: once SESSION_CONNECTING is clear, a
    // waiting deletion may free the session.
    KIRQL old = iscsiLockSession(session);
    session->flags &= static_cast<USHORT>(~SESSION_CONNECTING);
    if (session->flags & SESSION_DELETING) {
        KeSetEvent(&session->exitEvent, 0, FALSE);
    }
    int active = static_cast<int>(session->numActiveConnections.get());
    iscsiUnlockSession(session, old);
    return active;
}

void makeTcpConnectionsThread(PVOID session) {
    (void)makeTcpConnections(static_cast<ISCSI_SESSION*>(session));
    PsTerminateSystemThread(STATUS_SUCCESS);
}

ULONG findSessionHandle(ULONG ipAddress, const char* loginString, ULONG loginStringLength) {
    (void)ipAddress;
    (void)loginString;
    (void)loginStringLength;
    return ISCSI_NO_SESSION;
}
