// Session creation, the session table, deletion and the teardown of a session's traffic.
#include "engine_fixture.h"

#include "driver/engine/receive.h"
#include "driver/runtime/os_services.h"

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>

using enginetest::Completion;
using enginetest::doubles;

class SessionTest : public EngineTest {};

TEST_F(SessionTest, CreationFillsTheRecordAndStartsTheCommandThread) {
    ULONG h = createSession(3, 5);
    ASSERT_EQ(h, 0u);
    ISCSI_SESSION* s = getSessionStruct(h);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(getSessionHandle(s), h);
    EXPECT_EQ(s->busNumber, 5u);
    EXPECT_NE(s->cmdQThread, 0u);
    for (ULONG i = 0; i < 3; i++) {
        EXPECT_EQ(s->connections[i].portNum, 3260 + i); // each record its own address
        EXPECT_NE(s->connections[i].pSock, nullptr);
    }
    EXPECT_GE(doubles().makeConnectionsCalls, 1) << "connections are opened during creation";
    EXPECT_STREQ(s->loginString, "InitiatorName=iqn.init;TargetName=iqn.target;");
    EXPECT_EQ(iscsiCoreDeleteSession(h), 0);
    EXPECT_EQ(getSessionStruct(h), nullptr);
    EXPECT_EQ(doubles().destroyCalls, 3);
}

TEST_F(SessionTest, MissingArgumentsAreRefused) {
    ISCSI_TARGET_ADDRESS a{0x7F000001, 3260};
    EXPECT_EQ(iscsiCoreCreateSession(nullptr, 1, "x", 1, 0), ISCSI_NO_SESSION);
    EXPECT_EQ(iscsiCoreCreateSession(&a, 1, nullptr, 0, 0), ISCSI_NO_SESSION);
    EXPECT_EQ(iscsiCoreCreateSession(&a, 0, "x", 1, 0), ISCSI_NO_SESSION);
}

TEST_F(SessionTest, IsidsCountUpFromAbcdAndWrap) {
    ULONG a = createSession(), b = createSession();
    EXPECT_EQ(getSessionStruct(a)->isid, 0xabcd);
    EXPECT_EQ(getSessionStruct(b)->isid, 0xabce);
    isid = 0xffff;
    ULONG c = createSession(), d = createSession();
    EXPECT_EQ(getSessionStruct(c)->isid, 0xffff);
    EXPECT_EQ(getSessionStruct(d)->isid, 0x0000);
}

TEST_F(SessionTest, IsidsStayDistinctUnderConcurrentCreation) {
    std::atomic<int> failures{0};
    std::thread t[4];
    for (auto& th : t) {
        th = std::thread([&] {
            for (int i = 0; i < 4; i++) {
                if (createSession() == ISCSI_NO_SESSION) {
                    failures++;
                }
            }
        });
    }
    for (auto& th : t) {
        th.join();
    }
    EXPECT_EQ(failures.load(), 0);
    std::set<USHORT> seen;
    for (ULONG h = 0; h < 16; h++) {
        ASSERT_NE(getSessionStruct(h), nullptr);
        EXPECT_TRUE(seen.insert(getSessionStruct(h)->isid).second);
    }
}

TEST_F(SessionTest, SeventeenthSessionIsRefusedAndSlotsAreReusedLowestFirst) {
    ISCSI_SESSION* before[16];
    for (ULONG i = 0; i < 16; i++) {
        ASSERT_EQ(createSession(), i);
        before[i] = getSessionStruct(i);
    }
    EXPECT_EQ(createSession(), ISCSI_NO_SESSION);
    for (ULONG i = 0; i < 16; i++) {
        EXPECT_EQ(getSessionStruct(i), before[i]) << "the 16 are untouched";
    }
    EXPECT_EQ(iscsiCoreDeleteSession(16), ISCSI_FAILURE);
    EXPECT_EQ(iscsiCoreDeleteSession(0xFFFFFFFF), ISCSI_FAILURE);
    EXPECT_EQ(iscsiCoreDeleteSession(3), 0);
    EXPECT_EQ(iscsiCoreDeleteSession(3), ISCSI_FAILURE) << "an empty slot";
    EXPECT_EQ(iscsiCoreDeleteSession(7), 0);
    EXPECT_EQ(createSession(), 3u);
    EXPECT_EQ(createSession(), 7u);
    EXPECT_EQ(getSessionStruct(16), nullptr);
}

TEST_F(SessionTest, SameTargetAgainBindsToTheExistingSession) {
    ULONG h = createSession();
    ASSERT_NE(h, ISCSI_NO_SESSION);
    doubles().bindToHandle = h;
    int allocsBefore = doubles().allocateCalls;
    EXPECT_EQ(createSession(), h);
    EXPECT_EQ(doubles().allocateCalls, allocsBefore) << "nothing else is created";
    EXPECT_EQ(getSessionStruct(1), nullptr);
}

TEST_F(SessionTest, UnallocatableTransportLeavesAnUnusableConnection) {
    doubles().allocateFailAt = 1;
    ULONG h = createSession(3);
    ASSERT_NE(h, ISCSI_NO_SESSION);
    ISCSI_SESSION* s = getSessionStruct(h);
    EXPECT_EQ(s->connections[0].state, CONN_IDLE);
    EXPECT_EQ(s->connections[1].state, CONN_UNUSABLE);
    EXPECT_EQ(s->connections[1].pSock, nullptr);
    EXPECT_EQ(s->connections[2].state, CONN_IDLE);
    EXPECT_EQ(iscsiCoreDeleteSession(h), 0);
    EXPECT_EQ(doubles().destroyCalls, 2) << "the unusable one is not destroyed";
}

TEST_F(SessionTest, SessionWithoutConnectionsIsStillCreated) {
    doubles().connectOnMake = 0;
    ULONG h = createSession(2);
    ASSERT_NE(h, ISCSI_NO_SESSION);
    EXPECT_EQ(getSessionStruct(h)->numActiveConnections, 0u);
}

TEST_F(SessionTest, EveryAllocationFailureDuringCreationUndoesItself) {
    // Allocations of a creation: 1 session, 2 connection array, 3-4 transports (whose failure only
    // makes a connection unusable), 5 active array, 6 login copy.
    for (uint64_t n : {1, 2, 5, 6}) {
        uint64_t outstanding = qvk::poolOutstanding();
        qvk::poolFailNth(n);
        EXPECT_EQ(createSession(2), ISCSI_NO_SESSION) << "allocation " << n;
        qvk::poolFailNth(0);
        for (ULONG i = 0; i < 16; i++) {
            EXPECT_EQ(getSessionStruct(i), nullptr) << "no slot left occupied";
        }
        EXPECT_EQ(qvk::poolOutstanding(), outstanding) << "allocation " << n;
    }
}

TEST_F(SessionTest, CommandThreadStartFailureFreesTheSlot) {
    qvk::threadFailNext(1);
    EXPECT_EQ(createSession(), ISCSI_NO_SESSION);
    EXPECT_EQ(getSessionStruct(0), nullptr);
    EXPECT_EQ(createSession(), 0u) << "the slot is free again";
}

// Another bus bound to the session removes it while its creation still runs: the deletion waits
// for the creation to end, which then gives out no handle, and the session is freed once.
TEST_F(SessionTest, DeletionDuringCreationWaitsForItAndNoHandleIsGivenOut) {
    uint64_t outstanding = qvk::poolOutstanding();
    doubles().deleteOnMake = true;
    EXPECT_EQ(createSession(), ISCSI_NO_SESSION);
    doubles().deletion.join();
    EXPECT_TRUE(doubles().deleted);
    EXPECT_EQ(getSessionStruct(0), nullptr);
    EXPECT_TRUE(qvk::waitSystemThreadsQuiet(std::chrono::seconds(5)));
    EXPECT_EQ(qvk::poolOutstanding(), outstanding);
}

TEST_F(SessionTest, DeletionWakesTheSleepingCommandThreadAndWaitsForReceiveThreads) {
    doubles().connectOnMake = 2;
    doubles().receiveExitDelayMs = 200;
    ULONG h = createSession(2);
    ISCSI_SESSION* s = getSessionStruct(h);
    ASSERT_EQ(s->numActiveConnections, 2u);
    EXPECT_EQ(qvk::liveSystemThreads(), 3u) << "command thread and two receive threads";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(iscsiCoreDeleteSession(h), 0);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(200)) << "deletion waited for the receive threads";
    EXPECT_EQ(doubles().breakCalls, 2);
    EXPECT_TRUE(qvk::waitSystemThreadsQuiet(std::chrono::seconds(5)));
}

TEST_F(SessionTest, BreakWithoutActiveConnectionsClearsResettingAtOnce) {
    ULONG h = createSession(2);
    ISCSI_SESSION* s = getSessionStruct(h);
    s->connections[1].state = CONN_LOGIN_FAILED;
    breakTcpConnectionsAndEmptyQs(s);
    EXPECT_EQ(s->flags & SESSION_RESETTING, 0);
    EXPECT_EQ(s->connections[1].state, CONN_IDLE) << "a failed login is made idle again";
    EXPECT_EQ(doubles().breakCalls, 0);
}

TEST_F(SessionTest, BreakWithActiveConnectionsKeepsResettingUntilTheLastThreadEnds) {
    doubles().connectOnMake = 2;
    doubles().receiveExitDelayMs = 100;
    ULONG h = createSession(2);
    ISCSI_SESSION* s = getSessionStruct(h);
    doubles().connectOnMake = 0; // a late first pass of the command thread brings nothing up
    breakTcpConnectionsAndEmptyQs(s);
    EXPECT_NE(s->flags & SESSION_RESETTING, 0) << "set while receive threads are still running";
    for (int i = 0; i < 500 && s->numActiveConnections != 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(s->numActiveConnections, 0u);
    EXPECT_EQ(s->flags & SESSION_RESETTING, 0) << "cleared by the last receive thread";
    EXPECT_EQ(s->connections[0].state, CONN_IDLE);
}

TEST_F(SessionTest, AResetWaitsForTheLastReceiveThreadAndNoLonger) {
    doubles().connectOnMake = 2;
    doubles().receiveExitDelayMs = 200;
    ULONG h = createSession(2);
    doubles().connectOnMake = 0;
    qvk::setTimeScale(100); // a pause of the reset's own, of a tenth of a second, would come late
    auto reset = std::async(std::launch::async, [h] { return iscsiCoreResetBus(h, 0, 0); });
    EXPECT_EQ(reset.wait_for(std::chrono::seconds(3)), std::future_status::ready);
    qvk::setTimeScale(1);
    EXPECT_EQ(reset.get(), TM_RESULT_DONE);
    EXPECT_EQ(getSessionStruct(h)->numActiveConnections, 0u) << "the receive threads still ran";
}

TEST_F(SessionTest, EmptyingTheQueuesCompletesEachKindOfRecord) {
    ULONG h = createSession();
    ISCSI_SESSION* s = getSessionStruct(h);
    // The command thread would take what is queued below if its first pass came late: it is let
    // park first (nothing here wakes it again).
    ASSERT_TRUE(waitFor([&] { return s->cmdQEvent.waiters.load() == 1; }));

    const UCHAR lun[8] = {};
    ISCSI_TASK_MAN* abort = iscsiTakeTaskMan(TM_FUNCTION_ABORT_TASK, nullptr, lun, 0, 0);
    abort->srb = fakeSrb(1);
    ISCSI_TASK_MAN* nop = iscsiTakeTaskMan(TM_FUNCTION_NOP_REPLY, nullptr, lun, 0, 0);
    nop->nopData = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 16, ISCSI_POOL_TAG));
    ISCSI_TASK_MAN* waited = iscsiTakeTaskMan(TM_FUNCTION_ABORT_TASK, nullptr, lun, 0, 0);
    waited->srb = fakeSrb(2);
    waited->waitFlags = TM_WAIT_FLAG_WAITER;
    iscsiQueuePut(&s->tmQ, abort);
    iscsiQueuePut(&s->tmQ, nop);
    iscsiQueuePut(&s->tmQ, waited);

    ISCSI_RTT* rtt = getRttStruct();
    rtt->msgHdr = getMessageHeader();
    iscsiQueuePut(&s->rttQ, rtt);

    auto* cmd = static_cast<ISCSI_CMD*>(iscsiQueueTake(&freeCmdQ));
    cmd->srb = fakeSrb(3);
    cmd->msgHdr = nullptr;
    iscsiQueuePut(&s->cmdQ, cmd);

    ULONG freeTm = freeTaskManQ.count;
    emptySessionQs(s);

    auto done = enginetest::completions();
    ASSERT_EQ(done.size(), 3u);
    EXPECT_EQ(done[0].kind, Completion::TaskMan);
    EXPECT_EQ(done[0].function, TM_FUNCTION_ABORT_TASK);
    EXPECT_EQ(done[0].srb, fakeSrb(1));
    EXPECT_EQ(done[0].result, TM_RESULT_ABORT_FAILED);
    EXPECT_EQ(done[1].kind, Completion::TaskMan);
    EXPECT_EQ(done[1].function, TM_FUNCTION_NOP_REPLY);
    EXPECT_EQ(done[1].result, TM_RESULT_FAILED);
    EXPECT_EQ(done[2].kind, Completion::Reset);
    EXPECT_EQ(done[2].srb, fakeSrb(3));

    // The waited-for record is not completed or returned: its caller is woken and takes it over.
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&waited->doneEvent, Executive, KernelMode, FALSE, &poll),
              STATUS_SUCCESS);
    EXPECT_EQ(waited->result, TM_RESULT_ABORT_FAILED);
    EXPECT_EQ(freeTaskManQ.count, freeTm + 2);
    iscsiQueuePut(&freeTaskManQ, waited);

    EXPECT_EQ(freeRttQ.count, 1u);
    EXPECT_EQ(freeMsgHdrQ.count, 1u);
    EXPECT_EQ(s->tmQ.count + s->rttQ.count + s->cmdQ.count, 0u);
}

TEST_F(SessionTest, ReconnectionThatCannotStartNeverLeavesConnectingSet) {
    ULONG h = createSession();
    ISCSI_SESSION* s = getSessionStruct(h);
    // The command thread's first pass already tried once; let that attempt finish.
    for (int i = 0; i < 500 && (doubles().makeConnectionsCalls < 2 || qvk::liveSystemThreads() > 1);
         i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    int calls = doubles().makeConnectionsCalls;
    qvk::threadFailAll(true);
    KIRQL old = iscsiLockSession(s);
    KeSetEvent(&s->cmdQEvent, 0, FALSE); // new work wakes the thread, which tries to reconnect
    iscsiUnlockSession(s, old);
    for (int i = 0; i < 100; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    qvk::threadFailAll(false);
    EXPECT_EQ(s->flags & SESSION_CONNECTING, 0);
    EXPECT_EQ(doubles().makeConnectionsCalls, calls);
    // Deletion does not wait for a connection thread that never ran.
    EXPECT_EQ(iscsiCoreDeleteSession(h), 0);
}

TEST_F(SessionTest, CommandThreadReconnectsWhenWokenWithoutConnections) {
    ULONG h = createSession(2);
    ISCSI_SESSION* s = getSessionStruct(h);
    ASSERT_EQ(s->numActiveConnections, 0u);
    doubles().connectOnMake = 2;
    KIRQL old = iscsiLockSession(s);
    KeSetEvent(&s->cmdQEvent, 0, FALSE);
    iscsiUnlockSession(s, old);
    for (int i = 0; i < 500 && s->numActiveConnections != 2; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(s->numActiveConnections, 2u);
    EXPECT_GE(doubles().makeConnectionsCalls, 2);
    EXPECT_EQ(iscsiCoreDeleteSession(h), 0);
}

// After an asynchronous message the reconnection waits while the dropped connection is still
// active, and goes on as soon as its receive thread has taken it out.
TEST_F(SessionTest, AReconnectionWaitsForTheDroppedConnectionAndGoesOnWhenItLeaves) {
    doubles().connectOnMake = 1;
    ULONG h = createSession();
    ISCSI_SESSION* s = getSessionStruct(h);
    ASSERT_EQ(s->numActiveConnections, 1u);
    ISCSI_CONNECTION* c = s->activeConnections[0];
    int calls = doubles().makeConnectionsCalls;
    KIRQL old = iscsiLockSession(s);
    c->reconnectWanted = 1;
    s->flags |= SESSION_CONNECTING;
    iscsiUnlockSession(s, old);
    iscsiStartReconnectThread(s, 0);
    ASSERT_TRUE(waitFor([&] { return s->droppedEvent.waiters.load() != 0; }));
    EXPECT_EQ(doubles().makeConnectionsCalls, calls);
    (void)iscsiOSbreakConnection(c->pSock); // its receive thread ends and takes it out
    EXPECT_TRUE(waitFor([&] {
        return doubles().makeConnectionsCalls > calls && s->numActiveConnections == 1 &&
               (s->flags & SESSION_CONNECTING) == 0;
    }));
    EXPECT_EQ(iscsiCoreDeleteSession(h), 0);
}

// The shutdown's end of a session: like a reset, but the session never connects again, even when
// its command thread is woken (a reconnection at shutdown would wait for a login nobody answers).
TEST_F(SessionTest, AnEndedSessionHasItsConnectionsBrokenAndNeverReconnects) {
    doubles().connectOnMake = 1;
    ULONG h = createSession();
    ISCSI_SESSION* s = getSessionStruct(h);
    ASSERT_EQ(s->numActiveConnections, 1u);
    EXPECT_EQ(iscsiCoreEndSession(h), TM_RESULT_DONE);
    EXPECT_EQ(s->numActiveConnections, 0u);
    EXPECT_EQ(iscsiCoreEndSession(ISCSI_MAX_SESSIONS), TM_RESULT_FAILED);
    int calls = doubles().makeConnectionsCalls;
    KIRQL old = iscsiLockSession(s);
    KeSetEvent(&s->cmdQEvent, 0, FALSE); // as new work would
    iscsiUnlockSession(s, old);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(doubles().makeConnectionsCalls, calls);
    EXPECT_EQ(s->numActiveConnections, 0u);
}

TEST_F(SessionTest, CleanupDeletesEverySession) {
    doubles().connectOnMake = 1;
    createSession();
    createSession();
    iscsiCoreCleanupData();
    EXPECT_EQ(getSessionStruct(0), nullptr);
    EXPECT_EQ(getSessionStruct(1), nullptr);
    // The fixture cleans up again; that is harmless on an empty engine.
    iscsiCoreInitData();
}
