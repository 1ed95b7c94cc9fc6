// The command entry's limits while the command queue thread is held, aborts of queued commands,
// and the senders' view of the negotiated values.
#include "engine_fixture.h"

#include "driver/runtime/os_services.h"
#include "driver/runtime/runtime.h"

using enginetest::Completion;
using enginetest::doubles;

class CommandTest : public EngineTest {
protected:
    // A session without connections whose command thread is held inside the completion of a
    // first command, so that what is queued next stays queued.
    ISCSI_SESSION* heldSession() {
        ISCSI_SESSION* s = getSessionStruct(handle = createSession());
        doubles().holdNoConnection = true;
        EXPECT_EQ(enter(0), 0);
        EXPECT_TRUE(waitFor([] { return !enginetest::completions().empty(); }));
        return s;
    }
    int enter(int n) {
        static const UCHAR cdb[6] = {};
        static const UCHAR lun[8] = {};
        return iscsiCoreEnterCmdInQ(fakeSrb(n), cdb, 6, handle, lun, nullptr, 0, 0, 0, 0);
    }
    ULONG handle = ISCSI_NO_SESSION;
};

TEST_F(CommandTest, TheQueueHoldsAsManyCommandsAsTheWindowHasRoomFor) {
    ISCSI_SESSION* s = heldSession();
    s->cmdSN = 10;
    s->maxCmdSN = 12;
    EXPECT_EQ(enter(1), 0);
    EXPECT_EQ(enter(2), 0);
    EXPECT_EQ(enter(3), 0);
    EXPECT_EQ(enter(4), ISCSI_FAILURE) << "three wait, the window has room for three";
    s->maxCmdSN = 9; // closed: the difference wraps and commands are let in
    EXPECT_EQ(enter(5), 0);
    s->flags |= SESSION_RESETTING;
    EXPECT_EQ(enter(6), ISCSI_FAILURE);
    s->flags &= static_cast<USHORT>(~SESSION_RESETTING);
    // A CDB longer than 16 bytes, and a handle that names no session.
    EXPECT_EQ(iscsiCoreEnterCmdInQ(fakeSrb(7), nullptr, 17, handle, nullptr, nullptr, 0, 0, 0, 0),
              -1);
    EXPECT_EQ(iscsiCoreEnterCmdInQ(fakeSrb(8), nullptr, 0, 16, nullptr, nullptr, 0, 0, 0, 0), -1);

    // A queued command is aborted at once, without a PDU; an unknown one is not found.
    EXPECT_EQ(iscsiCoreAbortCmd(fakeSrb(2), fakeSrb(50), handle, 0), TM_RESULT_ABORTED);
    EXPECT_EQ(iscsiCoreAbortCmd(fakeSrb(40), fakeSrb(51), handle, 0), TM_RESULT_NOT_FOUND);
    EXPECT_EQ(iscsiCoreAbortCmd(fakeSrb(1), fakeSrb(52), 16, 0), TM_RESULT_ABORT_FAILED);
    EXPECT_EQ(s->cmdQ.count, 3u);
    KeSetEvent(&doubles().release, 0, FALSE);
    EXPECT_TRUE(waitFor([&] { return s->cmdQ.count == 0; }));
    doubles().holdNoConnection = false;
    int aborted = 0, noConnection = 0;
    for (const Completion& c : enginetest::completions()) {
        aborted += c.kind == Completion::Abort && c.srb == fakeSrb(2);
        noConnection += c.kind == Completion::NoConnection;
    }
    EXPECT_EQ(aborted, 1);
    EXPECT_EQ(noConnection, 4) << "the first and the three left in the queue";
    EXPECT_EQ(iscsiCoreResetBus(16, 0, 0), TM_RESULT_FAILED);
}

TEST_F(CommandTest, SendersSeeAWholeUsableDataSegmentSize) {
    ISCSI_SESSION* s = getSessionStruct(handle = createSession());
    struct Case {
        USHORT units, immediate;
        ULONG bytes;
        bool immediateData;
    } cases[] = {
        {16, 1, 8192, true}, {0, 0, 512, false}, {1, 1, 512, true}, {65535, 1, 0xFFFE00, true}};
    for (const Case& c : cases) {
        s->opParams[OP_DATA_PDU_LENGTH] = c.units;
        s->opParams[OP_IMMEDIATE_DATA] = c.immediate;
        iscsiPublishDataPathParams(s);
        EXPECT_EQ(iscsiDataPduBytes(s), c.bytes) << c.units;
        EXPECT_EQ(iscsiImmediateData(s), c.immediateData) << c.units;
    }
}

TEST_F(CommandTest, ACommandWhoseConnectionEndsBeforeItsSendIsTakenBackNotLeftInTheTable) {
    doubles().connectOnMake = 1;
    ISCSI_SESSION* s = getSessionStruct(handle = createSession());
    ASSERT_EQ(s->numActiveConnections, 1u);
    s->maxCmdSN = 100;
    ISCSI_CONNECTION* c = s->activeConnections[0];
    // The command has its connection and is about to enter the table: the connection ends now,
    // and its receive thread sweeps a table the command is not in yet.
    GlobalDebugLevel = DBG_REQUEST;
    qvk::dbgSetHook([&](const std::string& line) {
        if (line.rfind("sendCmd: tag", 0) == 0) {
            (void)iscsiOSbreakConnection(c->pSock);
            EXPECT_TRUE(waitFor([&] { return s->numActiveConnections == 0; }));
        }
    });
    EXPECT_EQ(enter(1), 0);
    EXPECT_TRUE(waitFor([] { return !enginetest::completions().empty(); }));
    qvk::dbgSetHook({});
    auto done = enginetest::completions();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].kind, Completion::Reset);
    EXPECT_EQ(done[0].srb, fakeSrb(1));
    EXPECT_EQ(s->pendCmdTable.count, 0u);
}
