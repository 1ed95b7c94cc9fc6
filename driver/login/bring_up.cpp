// Bringing up the connections of a session: open each TCP connection, log it in, add it to the
// session's active connections and start its receive thread.
#include "driver/engine/receive.h"
#include "driver/login/login.h"
#include "driver/runtime/runtime.h"

namespace {

// readThread while the receive thread is being started: non-zero, so a text exchange goes
// through the receive loop, and distinct from any real handle.
constexpr ULONG READ_THREAD_STARTING = 0x7FFFFFFF;

bool isActiveLocked(ISCSI_SESSION* session, ISCSI_CONNECTION* connection) {
    for (ULONG i = 0; i < session->numActiveConnections; i++) {
        if (session->activeConnections[i] == connection) {
            return true;
        }
    }
    return false;
}

// Opens, logs in and starts one connection record. False when the target's bus is being removed:
// no further connection is brought up then.
bool bringUp(ISCSI_SESSION* session, ISCSI_CONNECTION* connection) {
    connection->session = session;
    connection->state = CONN_CONNECTING;
    if (iscsiOSmakeConnection(connection->ipAddress, connection->portNum, connection->pSock) != 0) {
        connection->state = CONN_CONNECT_FAILED;
        return true;
    }
    KIRQL old = iscsiLockSession(session);
    connection->state = CONN_CONNECTED;
    iscsiUnlockSession(session, old);

    int login = connection->state == CONN_CONNECTED ? handleLogin(connection) : ISCSI_FAILURE;
    if (login != 0) {
        // A failed login counts as one, except an answer that was no login response at all, which
        // is reported as such.
        iscsiDropConnection(connection, connection->state == CONN_LOGIN_BAD_RESPONSE
                                            ? CONN_LOGIN_BAD_RESPONSE
                                            : CONN_LOGIN_FAILED);
        return login != ISCSI_SECURITY_BUS_REMOVED;
    }

    // The record is made active before its thread starts: a receive thread that ends at once
    // takes its connection out of activeConnections itself.
    // Negotiation may have lowered numMaxConnections below this record: it is then not one of
    // the connections the session uses.
    old = iscsiLockSession(session);
    ULONG index = static_cast<ULONG>(connection - session->connections);
    if (index >= iscsiConnectionCount(session) ||
        session->numActiveConnections >= iscsiConnectionCount(session)) {
        iscsiUnlockSession(session, old);
        Debug(DBG_ERROR, "makeTcpConnections: no room among the active connections\n");
        iscsiDropConnection(connection, CONN_IDLE);
        return true;
    }
    session->activeConnections[session->numActiveConnections] = connection;
    ++session->numActiveConnections;
    connection->readThread = READ_THREAD_STARTING;
    iscsiUnlockSession(session, old);

    ULONG thread = iscsiOScreateThread(readConnectionHandler, connection, sizeof(ISCSI_CONNECTION));
    old = iscsiLockSession(session);
    if (!iscsiOSthreadStarted(thread)) {
        connection->readThread = 0;
        iscsiRemoveActiveConnectionLocked(session, connection);
        iscsiUnlockSession(session, old);
        Debug(DBG_ERROR, "makeTcpConnections: the receive thread could not be started\n");
        iscsiDropConnection(connection, CONN_IDLE);
        return true;
    }
    // The thread clears the field as it ends; only a thread still running gets its handle.
    if (connection->readThread == READ_THREAD_STARTING) {
        connection->readThread = thread;
    }
    iscsiUnlockSession(session, old);
    return true;
}

} // namespace

int makeTcpConnections(ISCSI_SESSION* session) {
    // A session its target has ended is not connected again.
    if (session->numActiveConnections != iscsiConnectionCount(session) &&
        !(session->flags & SESSION_ENDED)) {
        for (ULONG i = 0; i < iscsiConnectionCount(session); i++) {
            // Nor is one that is being deleted (its deletion waits for this to end) or that its
            // target ended meanwhile.
            if (session->flags & (SESSION_DELETING | SESSION_ENDED)) {
                break;
            }
            ISCSI_CONNECTION* connection = &session->connections[i];
            if (connection->state == CONN_UNUSABLE) {
                continue; // no transport record
            }
            // A record that is already serving the session is never added a second time.
            KIRQL old = iscsiLockSession(session);
            bool active = isActiveLocked(session, connection);
            iscsiUnlockSession(session, old);
            if (active) {
                continue;
            }
            if (!bringUp(session, connection)) {
                break;
            }
        }
    }

    return iscsiEndConnecting(session);
}

void makeTcpConnectionsThread(PVOID session) {
    (void)makeTcpConnections(static_cast<ISCSI_SESSION*>(session));
    PsTerminateSystemThread(STATUS_SUCCESS);
}
