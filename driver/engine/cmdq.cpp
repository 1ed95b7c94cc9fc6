// The session's command queue thread: sends what the session has to send, in priority order, and
// starts a reconnection when the session has lost every connection.
#include "driver/engine/engine.h"
#include "driver/engine/login_layer.h"
#include "driver/engine/receive.h"
#include "driver/runtime/runtime.h"

namespace {

constexpr USHORT NO_RECONNECT_FLAGS =
    SESSION_DELETING | SESSION_RESETTING | SESSION_CONNECTING | SESSION_ENDED;

// Pauses between reconnection attempts that fail: the first comes at once, then each pause
// doubles from the first up to the most, which is as long as the transport once paused after
// every failed connect.
constexpr ULONG RECONNECT_FIRST_PAUSE_MS = 50;
constexpr ULONG RECONNECT_MOST_PAUSE_MS = 3000;
constexpr LONGLONG KERNEL_UNITS_PER_MS = 10000;

// How the command queue thread paces its reconnections; owned by that thread alone.
struct RECONNECT_PACE {
    bool retrying;   // the session lost its connections: tried again until one is active
    bool attempting; // an attempt this thread started has not been seen to end yet
    LONGLONG due;    // kernel time before which no attempt starts (0: none is held back)
    ULONG pauseMs;   // the pause after the next failed attempt
};

LONGLONG kernelNow() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

// Starts makeTcpConnections on a thread of its own when no connection is active and nothing else
// is in the way; true when an attempt was made. Looked at first without the lock, then again
// under it.
bool startReconnectIfNeeded(ISCSI_SESSION* session) {
    if (session->numActiveConnections != 0 || (session->flags & NO_RECONNECT_FLAGS) != 0) {
        return false;
    }
    KIRQL old = iscsiLockSession(session);
    if (session->numActiveConnections != 0 || (session->flags & NO_RECONNECT_FLAGS) != 0) {
        iscsiUnlockSession(session, old);
        return false;
    }
    session->flags |= SESSION_CONNECTING;
    iscsiUnlockSession(session, old);

    ULONG thread = iscsiOScreateThread(makeTcpConnectionsThread, session, sizeof(ISCSI_SESSION));
    if (!iscsiOSthreadStarted(thread)) {
        // Nobody else would clear the bit, and deletion waits for it to clear.
        Debug(DBG_ERROR, "cmdQHandler: the connection thread could not be started\n");
        (void)iscsiEndConnecting(session);
    }
    return true;
}

// Reconnects when the session has no connection and the pause after the last failed attempt is
// over. A session that lost its connections keeps trying (the thread wakes itself when the pause
// ends, see reconnectWait); otherwise only new work brings an attempt, as after a creation whose
// outcome its creator reads.
void reconnectIfDue(ISCSI_SESSION* session, RECONNECT_PACE* pace) {
    KIRQL old = iscsiLockSession(session);
    if (session->connectionsLost) {
        session->connectionsLost = 0;
        pace->retrying = true;
    }
    bool connecting = (session->flags & SESSION_CONNECTING) != 0;
    iscsiUnlockSession(session, old);
    if (session->numActiveConnections != 0) {
        *pace = RECONNECT_PACE{false, false, 0, RECONNECT_FIRST_PAUSE_MS};
        return;
    }
    if (session->flags & (SESSION_DELETING | SESSION_ENDED)) {
        pace->retrying = false;
        return;
    }
    if (connecting) {
        return; // its end wakes this thread (iscsiEndConnecting)
    }
    LONGLONG now = kernelNow();
    if (pace->attempting) {
        // The attempt ended without a connection: the next waits out the pause.
        pace->attempting = false;
        pace->due = now + static_cast<LONGLONG>(pace->pauseMs) * KERNEL_UNITS_PER_MS;
        pace->pauseMs = pace->pauseMs * 2 < RECONNECT_MOST_PAUSE_MS ? pace->pauseMs * 2
                                                                    : RECONNECT_MOST_PAUSE_MS;
    }
    if (now >= pace->due && startReconnectIfNeeded(session)) {
        pace->attempting = true;
    }
}

// The limit of the thread's wait for work: the end of the pause while a lost session waits to try
// again, else none (null). Whatever holds an attempt back (another attempt, a reset) wakes the
// thread as it ends.
PLARGE_INTEGER reconnectWait(ISCSI_SESSION* session, const RECONNECT_PACE* pace,
                             LARGE_INTEGER* limit) {
    if (!pace->retrying || pace->attempting || session->numActiveConnections != 0 ||
        (session->flags & NO_RECONNECT_FLAGS) != 0) {
        return nullptr;
    }
    LONGLONG left = pace->due - kernelNow();
    limit->QuadPart = left > 0 ? -left : -1;
    return limit;
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
    RECONNECT_PACE pace{false, false, 0, RECONNECT_FIRST_PAUSE_MS};
    // The first pass does not reconnect: the session's creation has just tried, and whoever reads
    // how that went must not race a second attempt. From then on every wake-up may.
    for (bool woken = false;; woken = true) {
        if (woken) {
            reconnectIfDue(session, &pace);
        }
        if (!sendOnePass(session)) {
            KIRQL old = iscsiLockSession(session);
            bool deleting = (session->flags & SESSION_DELETING) != 0;
            iscsiUnlockSession(session, old);
            if (!deleting) {
                LARGE_INTEGER limit;
                (void)KeWaitForSingleObject(&session->cmdQEvent, Executive, KernelMode, FALSE,
                                            reconnectWait(session, &pace, &limit));
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
