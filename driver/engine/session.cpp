// The session table and the life of a session: creation, deletion, and the two ways its traffic is
// torn down (emptying its queues, breaking its connections).
#include "driver/engine/engine.h"
#include "driver/engine/login_layer.h"
#include "driver/engine/receive.h"
#include "driver/runtime/runtime.h"

ISCSI_SESSION* sessions[ISCSI_MAX_SESSIONS];
ULONG maxSessions = ISCSI_MAX_SESSIONS;
KSPIN_LOCK sessionsLock;
std::atomic<ULONG> isid{0xabcd};

namespace {

// cmdQThread while the command queue thread is being started: non-zero, so a deletion that runs
// meanwhile waits for the thread, and distinct from any real handle.
constexpr ULONG CMDQ_THREAD_STARTING = 0x7FFFFFFF;

ULONG searchedSlots() {
    return maxSessions < ISCSI_MAX_SESSIONS ? maxSessions : ISCSI_MAX_SESSIONS;
}

void waitExitEvent(ISCSI_SESSION* session) {
    (void)KeWaitForSingleObject(&session->exitEvent, Executive, KernelMode, FALSE, nullptr);
}

// Gives a new session its connection records, their transport records (CONN_UNUSABLE when one
// cannot be had) and its copy of the login string; 0, or -1 when an allocation failed.
int allocateSession(ISCSI_SESSION* session, const ISCSI_TARGET_ADDRESS* addresses,
                    ULONG numConnections, const char* loginString, ULONG loginStringLength) {
    size_t connectionBytes = sizeof(ISCSI_CONNECTION) * numConnections;
    session->connections = static_cast<ISCSI_CONNECTION*>(
        ExAllocatePoolWithTag(NonPagedPool, connectionBytes, ISCSI_POOL_TAG));
    if (session->connections == nullptr) {
        return ISCSI_FAILURE;
    }
    RtlZeroMemory(session->connections, connectionBytes);
    session->numConnectionRecords = numConnections;
    session->numMaxConnections = numConnections;
    for (ULONG i = 0; i < numConnections; i++) {
        ISCSI_CONNECTION* connection = &session->connections[i];
        connection->ipAddress = addresses[i].ipAddress;
        connection->portNum = addresses[i].portNum;
        connection->state = CONN_IDLE;
        connection->cid = static_cast<USHORT>(i);
        KeInitializeEvent(&connection->nopEvent, SynchronizationEvent, FALSE);
        KeInitializeEvent(&connection->textEvent, SynchronizationEvent, FALSE);
        ExInitializeFastMutex(&connection->sendLock);
        if (iscsiOSallocateConnection(connection->ipAddress, connection->portNum,
                                      &connection->pSock) != 0) {
            connection->pSock = nullptr;
            connection->state = CONN_UNUSABLE;
        }
    }

    // An array of pointers, one per connection record.
    size_t activeBytes =
        sizeof(ISCSI_CONNECTION*) * numConnections; // NOLINT(bugprone-sizeof-expression)
    session->activeConnections = static_cast<ISCSI_CONNECTION**>(
        ExAllocatePoolWithTag(NonPagedPool, activeBytes, ISCSI_POOL_TAG));
    if (session->activeConnections == nullptr) {
        return ISCSI_FAILURE;
    }
    RtlZeroMemory(session->activeConnections, activeBytes);
    return processLoginParameters(session, loginString, loginStringLength);
}

// Enters the session in the lowest free slot: its handle, or ISCSI_NO_SESSION when all are taken.
ULONG publishSession(ISCSI_SESSION* session) {
    ULONG handle = ISCSI_NO_SESSION;
    KIRQL old = KfAcquireSpinLock(&sessionsLock);
    for (ULONG i = 0; i < searchedSlots(); i++) {
        if (sessions[i] == nullptr) {
            // The creation's own attempt to connect counts as one: an asynchronous message that
            // arrives meanwhile leaves its reconnection to follow it rather than run beside it.
            session->flags |= SESSION_CREATING | SESSION_CONNECTING;
            sessions[i] = session;
            handle = i;
            break;
        }
    }
    KfReleaseSpinLock(&sessionsLock, old);
    if (handle == ISCSI_NO_SESSION) {
        Debug(DBG_ERROR, "iscsiCoreCreateSession: no free session slot\n");
    }
    return handle;
}

// The one way out of a creation that fails or loses its session; returns ISCSI_NO_SESSION. A
// session in the table leaves it again, unless a deletion took it out first (another bus bound to
// it and removed it): that deletion waits for SESSION_CREATING to clear, then frees it itself.
ULONG unwindCreation(ISCSI_SESSION* session, ULONG handle) {
    bool ours = true;
    if (handle != ISCSI_NO_SESSION) {
        KIRQL old = KfAcquireSpinLock(&sessionsLock);
        ours = sessions[handle] == session;
        if (ours) {
            sessions[handle] = nullptr;
        }
        KfReleaseSpinLock(&sessionsLock, old);
        old = iscsiLockSession(session);
        session->flags &= static_cast<USHORT>(~SESSION_CREATING);
        KeSetEvent(&session->exitEvent, 0, FALSE);
        iscsiUnlockSession(session, old);
    }
    if (ours) {
        freeSessionResources(session);
    }
    return ISCSI_NO_SESSION;
}

// Starts the command queue thread and ends the creation: the handle, or ISCSI_NO_SESSION when the
// thread could not start or a deletion removed the session meanwhile (its slot may hold another).
ULONG startSession(ISCSI_SESSION* session, ULONG handle) {
    KIRQL old = iscsiLockSession(session);
    session->cmdQThread = CMDQ_THREAD_STARTING;
    iscsiUnlockSession(session, old);
    ULONG thread = iscsiOScreateThread(cmdQHandler, session, sizeof(ISCSI_SESSION));
    bool started = iscsiOSthreadStarted(thread);
    old = iscsiLockSession(session);
    if (!started) {
        session->cmdQThread = 0;
    } else if (session->cmdQThread == CMDQ_THREAD_STARTING) {
        // The thread clears the field as it ends; only a thread still running gets its handle.
        session->cmdQThread = thread;
    }
    bool deleting = (session->flags & SESSION_DELETING) != 0;
    if (started && !deleting) {
        session->flags &= static_cast<USHORT>(~SESSION_CREATING);
        iscsiUnlockSession(session, old);
        return handle;
    }
    iscsiUnlockSession(session, old);
    Debug(DBG_ERROR,
          started ? "iscsiCoreCreateSession: the session was removed while created\n"
                  : "iscsiCoreCreateSession: the command queue thread could not be started\n");
    return unwindCreation(session, handle);
}

} // namespace

int initSessions() {
    KeInitializeSpinLock(&sessionsLock, "sessionsLock", SPIN_LOCK_ORDER_ENGINE);
    for (auto& slot : sessions) {
        slot = nullptr;
    }
    return 0;
}

void cleanupSessions() {
    for (ULONG handle = 0; handle < searchedSlots(); handle++) {
        if (sessions[handle] != nullptr) {
            (void)iscsiCoreDeleteSession(handle);
        }
    }
}

int iscsiCoreInitData() {
    initGlobalQs();
    initSessions();
    return 0;
}

void iscsiCoreCleanupData() {
    cleanupSessions();
    cleanupGlobalQs();
}

ISCSI_SESSION* getSessionStruct(ULONG handle) {
    if (handle >= searchedSlots()) {
        return nullptr;
    }
    return sessions[handle];
}

ISCSI_SESSION* iscsiReferenceSession(ULONG handle) {
    if (handle >= searchedSlots()) {
        return nullptr;
    }
    KIRQL old = KfAcquireSpinLock(&sessionsLock);
    ISCSI_SESSION* session = sessions[handle];
    if (session != nullptr) {
        session->references++;
    }
    KfReleaseSpinLock(&sessionsLock, old);
    return session;
}

void iscsiReleaseSession(ISCSI_SESSION* session) {
    KIRQL old = KfAcquireSpinLock(&sessionsLock);
    if (--session->references == 0) {
        // A deletion waiting for the last user; harmless otherwise, every wait re-checks.
        KeSetEvent(&session->exitEvent, 0, FALSE);
    }
    KfReleaseSpinLock(&sessionsLock, old);
}

ULONG getSessionHandle(ISCSI_SESSION* session) {
    for (ULONG handle = 0; handle < searchedSlots(); handle++) {
        if (sessions[handle] == session) {
            return handle;
        }
    }
    return ISCSI_NO_SESSION;
}

void initSessionSync(ISCSI_SESSION* session) {
    KeInitializeSpinLock(&session->lock, "session lock", SPIN_LOCK_ORDER_ENGINE);
    KeInitializeEvent(&session->cmdQEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&session->exitEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&session->droppedEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&session->resetDoneEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&session->negotiationLock, SynchronizationEvent, TRUE);
    iscsiQueueInit(&session->cmdQ, "cmdQ");
    iscsiQueueInit(&session->tmQ, "tmQ");
    iscsiQueueInit(&session->rttQ, "rttQ");
    initPendingCmdTable(session);
}

ULONG iscsiCoreCreateSession(const ISCSI_TARGET_ADDRESS* addresses, ULONG numConnections,
                             const char* loginString, ULONG loginStringLength, ULONG busNumber) {
    if (addresses == nullptr || loginString == nullptr || numConnections == 0) {
        return ISCSI_NO_SESSION;
    }

    ULONG existing = findSessionHandle(addresses[0].ipAddress, loginString, loginStringLength);
    if (existing != ISCSI_NO_SESSION) {
        Debug(DBG_ERROR, "iscsiCoreCreateSession: binding to existing session %u\n", existing);
        return existing;
    }

    auto* session = static_cast<ISCSI_SESSION*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(ISCSI_SESSION), ISCSI_POOL_TAG));
    if (session == nullptr) {
        return ISCSI_NO_SESSION;
    }
    RtlZeroMemory(session, sizeof(ISCSI_SESSION));
    initSessionSync(session); // first: every failure unwinds through the session's teardown
    ULONG handle = ISCSI_NO_SESSION;
    if (allocateSession(session, addresses, numConnections, loginString, loginStringLength) == 0) {
        session->cmdSN = 1;
        session->maxCmdSN = 1;
        session->isid = static_cast<USHORT>(isid.fetch_add(1) & 0xFFFF);
        session->busNumber = busNumber;
        handle = publishSession(session);
    }
    if (handle == ISCSI_NO_SESSION) {
        return unwindCreation(session, handle);
    }
    // A session whose connections all failed is created all the same; its command thread retries.
    (void)makeTcpConnections(session);
    return startSession(session, handle);
}

int iscsiCoreDeleteSession(ULONG handle) {
    if (handle >= searchedSlots() || sessions[handle] == nullptr) {
        return ISCSI_FAILURE;
    }
    // The slot is cleared under sessionsLock so that a binding search, which reads the sessions
    // under that lock, never reads one that is being freed.
    KIRQL old = KfAcquireSpinLock(&sessionsLock);
    ISCSI_SESSION* session = sessions[handle];
    sessions[handle] = nullptr;
    KfReleaseSpinLock(&sessionsLock, old);
    if (session == nullptr) {
        return ISCSI_FAILURE;
    }
    freeSessionResources(session);
    return 0;
}

void freeSessionResources(ISCSI_SESSION* session) {
    KIRQL old = iscsiLockSession(session);
    session->flags |= SESSION_DELETING;
    KeSetEvent(&session->cmdQEvent, 0, FALSE);
    KeSetEvent(&session->droppedEvent, 0, FALSE);
    // Creation may still be starting the command queue thread, so both are waited for together.
    while (session->cmdQThread != 0 || (session->flags & (SESSION_CONNECTING | SESSION_CREATING))) {
        iscsiUnlockSession(session, old);
        waitExitEvent(session);
        old = iscsiLockSession(session);
    }
    iscsiUnlockSession(session, old);

    breakTcpConnectionsAndEmptyQs(session);

    old = iscsiLockSession(session);
    while (session->numActiveConnections != 0) {
        iscsiUnlockSession(session, old);
        waitExitEvent(session);
        old = iscsiLockSession(session);
    }
    iscsiUnlockSession(session, old);

    // Nobody finds the session by its handle any more (its slot is empty); the callers that
    // found it before finish first.
    old = KfAcquireSpinLock(&sessionsLock);
    while (session->references != 0) {
        KfReleaseSpinLock(&sessionsLock, old);
        waitExitEvent(session);
        old = KfAcquireSpinLock(&sessionsLock);
    }
    KfReleaseSpinLock(&sessionsLock, old);

    destroyConnections(session);
    // A creation that failed part of the way has not made them all.
    for (void* part :
         {static_cast<void*>(session->connections), static_cast<void*>(session->activeConnections),
          static_cast<void*>(session->loginString)}) {
        if (part != nullptr) {
            ExFreePool(part);
        }
    }
    KeClearEvent(&session->cmdQEvent);
    KeClearEvent(&session->exitEvent);
    KeClearEvent(&session->droppedEvent);
    ExFreePool(session);
}

void breakTcpConnectionsAndEmptyQs(ISCSI_SESSION* session) {
    KIRQL old = iscsiLockSession(session);
    session->flags |= SESSION_RESETTING;
    KeClearEvent(&session->resetDoneEvent);
    iscsiUnlockSession(session, old);

    emptySessionQs(session);

    bool noneActive = session->numActiveConnections == 0;

    // Every record: one that logged in before negotiation lowered numMaxConnections is broken too.
    for (ULONG i = 0; i < session->numConnectionRecords; i++) {
        ISCSI_CONNECTION* connection = &session->connections[i];
        ULONG state = connection->state;
        if (state == CONN_CONNECTING || state == CONN_CONNECTED) {
            (void)iscsiOSbreakConnection(connection->pSock);
        } else if (state == CONN_LOGIN_FAILED) {
            connection->state = CONN_IDLE;
        }
    }

    if (noneActive) {
        old = iscsiLockSession(session);
        session->flags &= static_cast<USHORT>(~SESSION_RESETTING);
        KeSetEvent(&session->cmdQEvent, 0, FALSE); // a reconnection it held back may go now
        KeSetEvent(&session->resetDoneEvent, 0, FALSE);
        iscsiUnlockSession(session, old);
    }
}

void emptySessionQs(ISCSI_SESSION* session) {
    for (;;) {
        auto* tm = static_cast<ISCSI_TASK_MAN*>(iscsiQueueTake(&session->tmQ));
        if (tm == nullptr) {
            break;
        }
        tm->result =
            tm->function == TM_FUNCTION_ABORT_TASK ? TM_RESULT_ABORT_FAILED : TM_RESULT_FAILED;
        if (tm->function == TM_FUNCTION_NOP_REPLY && tm->nopData != nullptr) {
            // A NOP reply's data buffer goes with the record.
            ExFreePool(tm->nopData);
            tm->nopData = nullptr;
        }
        finishTaskManOperation(session, tm);
    }
    for (;;) {
        auto* rtt = static_cast<ISCSI_RTT*>(iscsiQueueTake(&session->rttQ));
        if (rtt == nullptr) {
            break;
        }
        if (rtt->msgHdr != nullptr) {
            iscsiQueuePut(&freeMsgHdrQ, rtt->msgHdr);
            rtt->msgHdr = nullptr;
        }
        iscsiQueuePut(&freeRttQ, rtt);
    }
    for (;;) {
        auto* cmd = static_cast<ISCSI_CMD*>(iscsiQueueTake(&session->cmdQ));
        if (cmd == nullptr) {
            break;
        }
        iscsiOScompleteCommandReset(cmd->srb);
        freeCmdRecord(cmd);
    }
}

void destroyConnections(ISCSI_SESSION* session) {
    // Every record that was allocated, even when negotiation lowered numMaxConnections below it.
    for (ULONG i = 0; i < session->numConnectionRecords; i++) {
        ISCSI_CONNECTION* connection = &session->connections[i];
        if (connection->pSock != nullptr && connection->state != CONN_UNUSABLE) {
            iscsiOSdestroyConnection(connection->pSock);
            connection->pSock = nullptr;
        }
    }
}

int iscsiEndConnecting(ISCSI_SESSION* session) {
    KIRQL old = iscsiLockSession(session);
    // A reconnection asked for meanwhile takes SESSION_CONNECTING over, so that nothing else
    // starts connecting in between.
    bool handOn =
        session->reconnectAsked != 0 && (session->flags & (SESSION_DELETING | SESSION_ENDED)) == 0;
    ULONG delaySeconds = session->reconnectDelay;
    session->reconnectAsked = 0;
    session->reconnectDelay = 0;
    if (!handOn) {
        session->flags &= static_cast<USHORT>(~SESSION_CONNECTING);
        if (session->flags & SESSION_DELETING) {
            KeSetEvent(&session->exitEvent, 0, FALSE);
        }
        // The command queue thread learns at once how the attempt went. Not during creation
        // (no thread yet): whoever created the session reads that outcome undisturbed.
        if (session->cmdQThread != 0) {
            KeSetEvent(&session->cmdQEvent, 0, FALSE);
        }
    }
    int active = static_cast<int>(session->numActiveConnections.get());
    iscsiUnlockSession(session, old);
    if (handOn) {
        iscsiStartReconnectThread(session, delaySeconds);
    }
    return active;
}
