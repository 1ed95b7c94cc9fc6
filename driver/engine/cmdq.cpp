// The session's command queue thread: sends what the session has to send, in priority order, and
// starts a reconnection when the session has lost every connection.
#include "driver/engine/engine.h"
#include "driver/engine/login_layer.h"
#include "driver/engine/receive.h"
#include "driver/runtime/runtime.h"

namespace {

constexpr USHORT NO_RECONNECT_FLAGS =
    SESSION_DELETING | SESSION_RESETTING | SESSION_CONNECTING | SESSION_ENDED;

// Starts makeTcpConnections on a thread of its own when no connection is active and nothing else
// is in the way. Looked at first without the lock, then again under it.
void startReconnectIfNeeded(ISCSI_SESSION* session) {
    if (session->numActiveConnections != 0 || (session->flags & NO_RECONNECT_FLAGS) != 0) {
        return;
    }
    KIRQL old = iscsiLockSession(session);
    if (session->numActiveConnections != 0 || (session->flags & NO_RECONNECT_FLAGS) != 0) {
        iscsiUnlockSession(session, old);
        return;
    }
    session->flags |= SESSION_CONNECTING;
    iscsiUnlockSession(session, old);

    ULONG thread = iscsiOScreateThread(makeTcpConnectionsThread, session, sizeof(ISCSI_SESSION));
    if (!iscsiOSthreadStarted(thread)) {
        // Nobody else would clear the bit, and deletion waits for it to clear.
        Debug(DBG_ERROR, "cmdQHandler: the connection thread could not be started\n");
        (void)iscsiEndConnecting(session);
    }
}

// One pass of work, in the order task management, R2T data, new command; true when something was
// sent. A NOP reply waiting in tmQ goes out first and the pass goes on.
bool sendOnePass(ISCSI_SESSION* session) {
    bool sent = false;
    if (session->tmQ.count != 0) {
        auto* tm = static_cast<ISCSI_TASK_MAN*>(iscsiQueueTake(&session->tmQ));
        if (tm != nullptr) {
            if (tm->function != TM_FUNCTION_NOP_REPLY) {
                sendTaskManage(session, tm);
                return true;
            }
            (void)sendNop(session, tm);
            sent = true;
        }
    }
    if (session->rttQ.count != 0) {
        auto* rtt = static_cast<ISCSI_RTT*>(iscsiQueueTake(&session->rttQ));
        if (rtt != nullptr) {
            sendRttData(session, rtt);
            return true;
        }
    }
    if (session->cmdQ.count != 0) {
        auto* cmd = static_cast<ISCSI_CMD*>(iscsiQueueTake(&session->cmdQ));
        if (cmd != nullptr) {
            sendCmd(session, cmd);
            return true;
        }
    }
    return sent;
}

} // namespace

void cmdQHandler(PVOID context) {
    auto* session = static_cast<ISCSI_SESSION*>(context);
    // The first pass does not reconnect: the session's creation has just tried, and whoever reads
    // how that went must not race a second attempt. From then on every wake-up (new work) may.
    for (bool woken = false;; woken = true) {
        if (woken) {
            startReconnectIfNeeded(session);
        }
        if (!sendOnePass(session)) {
            KIRQL old = iscsiLockSession(session);
            bool deleting = (session->flags & SESSION_DELETING) != 0;
            iscsiUnlockSession(session, old);
            if (!deleting) {
                (void)KeWaitForSingleObject(&session->cmdQEvent, Executive, KernelMode, FALSE,
                                            nullptr);
                old = iscsiLockSession(session);
                iscsiUnlockSession(session, old);
            }
        }
        if (session->flags & SESSION_DELETING) {
            break;
        }
    }
    KIRQL old = iscsiLockSession(session);
    session->cmdQThread = 0;
    KeSetEvent(&session->exitEvent, 0, FALSE);
    iscsiUnlockSession(session, old);
    PsTerminateSystemThread(STATUS_SUCCESS);
}
