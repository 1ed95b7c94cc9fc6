// The record pools, task tags, and what happens to a broken connection's commands.
#include "engine_fixture.h"

#include <set>
#include <vector>

using enginetest::Completion;

class PoolTest : public EngineTest {};

TEST_F(PoolTest, FixedPoolsRunDryWithoutAllocatingAndRefill) {
    std::vector<ISCSI_CMD*> taken;
    while (auto* cmd = static_cast<ISCSI_CMD*>(iscsiQueueTake(&freeCmdQ))) {
        taken.push_back(cmd);
    }
    EXPECT_EQ(taken.size(), static_cast<size_t>(ISCSI_CMD_POOL_SIZE));
    iscsiQueuePut(&freeCmdQ, taken.back());
    EXPECT_EQ(iscsiQueueTake(&freeCmdQ), taken.back()) << "one returned, one to be had again";
    for (auto* cmd : taken) {
        iscsiQueuePut(&freeCmdQ, cmd);
    }
}

TEST_F(PoolTest, HeaderBuffersGrowToTheLargestBurstAndAreReused) {
    std::vector<ISCSI_MSG_HDR*> burst;
    for (int i = 0; i < 10; i++) {
        burst.push_back(getMessageHeader());
        ASSERT_NE(burst.back(), nullptr);
        EXPECT_EQ(burst.back()->link, nullptr);
    }
    for (auto* h : burst) {
        iscsiQueuePut(&freeMsgHdrQ, h);
    }
    EXPECT_EQ(freeMsgHdrQ.count, 10u);
    uint64_t before = qvk::poolAllocationCount();
    for (int round = 0; round < 3; round++) {
        burst.clear();
        for (int i = 0; i < 10; i++) {
            burst.push_back(getMessageHeader());
        }
        for (auto* h : burst) {
            iscsiQueuePut(&freeMsgHdrQ, h);
        }
    }
    EXPECT_EQ(qvk::poolAllocationCount(), before) << "bursts up to 10 allocate nothing more";
    EXPECT_EQ(freeMsgHdrQ.count, 10u);

    ISCSI_RTT* rtt = getRttStruct();
    ASSERT_NE(rtt, nullptr);
    iscsiQueuePut(&freeRttQ, rtt);
    EXPECT_EQ(getRttStruct(), rtt) << "an R2T record is reused";
    iscsiQueuePut(&freeRttQ, rtt);
}

TEST_F(PoolTest, HeaderBufferFailsOnlyWhenEmptyAndOutOfMemory) {
    qvk::poolFailTag(ISCSI_POOL_TAG);
    EXPECT_EQ(getMessageHeader(), nullptr);
    EXPECT_EQ(getRttStruct(), nullptr);
    qvk::poolFailTag(0);
    ISCSI_MSG_HDR* h = getMessageHeader();
    ASSERT_NE(h, nullptr);
    iscsiQueuePut(&freeMsgHdrQ, h);
    qvk::poolFailTag(ISCSI_POOL_TAG);
    EXPECT_EQ(getMessageHeader(), h) << "a cached buffer needs no allocation";
    qvk::poolFailTag(0);
    iscsiQueuePut(&freeMsgHdrQ, h);
}

TEST(PoolFill, StopsAtTheFirstFailedAllocation) {
    // The 10th command record fails: 9 commands, and no task-management records at all.
    qvk::poolFailNth(10);
    iscsiCoreInitData();
    EXPECT_EQ(freeCmdQ.count, 9u);
    EXPECT_EQ(freeTaskManQ.count, 0u);
    iscsiCoreCleanupData();
    EXPECT_EQ(qvk::poolOutstanding(), 0u) << qvk::poolLeakReport();
}

TEST(PoolFill, TaskManagementFailureKeepsTheCommands) {
    qvk::poolFailNth(ISCSI_CMD_POOL_SIZE + 5);
    iscsiCoreInitData();
    EXPECT_EQ(freeCmdQ.count, static_cast<ULONG>(ISCSI_CMD_POOL_SIZE));
    EXPECT_EQ(freeTaskManQ.count, 4u);
    iscsiCoreCleanupData();
    EXPECT_EQ(qvk::poolOutstanding(), 0u) << qvk::poolLeakReport();
}

class TagTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        RtlZeroMemory(&session, sizeof session);
        session.isid = 0xabcd;
        initPendingCmdTable(&session);
    }
    ISCSI_SESSION session;
};

TEST_F(TagTest, TagsAreUniqueInFlightAndNeverTheReservedValue) {
    std::set<ULONG> tags;
    std::vector<ISCSI_CMD*> cmds;
    while (auto* c = static_cast<ISCSI_CMD*>(iscsiQueueTake(&freeCmdQ))) {
        cmds.push_back(c);
    }
    std::vector<ISCSI_TASK_MAN*> tms;
    while (auto* t = static_cast<ISCSI_TASK_MAN*>(iscsiQueueTake(&freeTaskManQ))) {
        tms.push_back(t);
    }
    for (auto* c : cmds) {
        ULONG t = setTaskId(c);
        EXPECT_NE(t, 0xFFFFFFFFu);
        EXPECT_TRUE(tags.insert(t).second);
    }
    for (auto* t : tms) {
        ULONG tag = setTaskId(t);
        EXPECT_NE(tag, 0xFFFFFFFFu);
        EXPECT_TRUE(tags.insert(tag).second);
    }
    EXPECT_TRUE(tags.insert(setTaskId(&session)).second);
    // A record sent again gets a new tag, so a late answer to its previous use finds nothing.
    ULONG first = setTaskId(cmds[0]);
    EXPECT_NE(setTaskId(cmds[0]), first);
    // The session's own tag stays the same for its whole life.
    EXPECT_EQ(setTaskId(&session), setTaskId(&session));
    for (auto* c : cmds) {
        iscsiQueuePut(&freeCmdQ, c);
    }
    for (auto* t : tms) {
        iscsiQueuePut(&freeTaskManQ, t);
    }
}

TEST_F(TagTest, LookupSearchesTheTableTheOptionsName) {
    auto* cmd = static_cast<ISCSI_CMD*>(iscsiQueueTake(&freeCmdQ));
    auto* tm = static_cast<ISCSI_TASK_MAN*>(iscsiQueueTake(&freeTaskManQ));
    cmd->itt = setTaskId(cmd);
    tm->itt = setTaskId(tm);
    enterCmdIntoTable(&session, cmd);
    iscsiTableInsert(&session.taskManTable, &tm->links);

    EXPECT_EQ(lookupTaskId(&session, cmd->itt, LOOKUP_CMD_TABLE), cmd);
    EXPECT_EQ(lookupTaskId(&session, tm->itt, LOOKUP_TASK_MAN_TABLE), tm);
    EXPECT_EQ(lookupTaskId(&session, tm->itt, LOOKUP_CMD_TABLE | LOOKUP_TASK_MAN_TABLE), nullptr)
        << "with both bits only the command table is searched";
    EXPECT_EQ(lookupTaskId(&session, cmd->itt, 0), nullptr);
    EXPECT_EQ(lookupTaskId(&session, cmd->itt, LOOKUP_TASK_MAN_TABLE), nullptr);
    // Tags that name nothing in flight: never used as pointers.
    EXPECT_EQ(lookupTaskId(&session, 0xFFFFFFFF, LOOKUP_CMD_TABLE), nullptr);
    EXPECT_EQ(lookupTaskId(&session, 0, LOOKUP_CMD_TABLE), nullptr);
    EXPECT_EQ(lookupTaskId(&session, static_cast<ULONG>(reinterpret_cast<uintptr_t>(cmd)),
                           LOOKUP_CMD_TABLE),
              nullptr);

    EXPECT_EQ(lookupTaskId(&session, cmd->itt, LOOKUP_CMD_TABLE | LOOKUP_UNLINK), cmd);
    EXPECT_EQ(cmd->links.next, nullptr);
    EXPECT_EQ(session.pendCmdTable.count, 0u);
    EXPECT_EQ(lookupTaskId(&session, cmd->itt, LOOKUP_CMD_TABLE), nullptr) << "completed already";
    EXPECT_EQ(lookupTaskId(&session, tm->itt, LOOKUP_TASK_MAN_TABLE | LOOKUP_UNLINK), tm);
    EXPECT_EQ(session.taskManTable.count, 0u);
    iscsiQueuePut(&freeCmdQ, cmd);
    iscsiQueuePut(&freeTaskManQ, tm);
}

TEST_F(TagTest, FindCmdInTableByRequestFindsTheOldest) {
    auto* a = static_cast<ISCSI_CMD*>(iscsiQueueTake(&freeCmdQ));
    auto* b = static_cast<ISCSI_CMD*>(iscsiQueueTake(&freeCmdQ));
    a->srb = fakeSrb(1);
    b->srb = fakeSrb(1);
    enterCmdIntoTable(&session, a);
    enterCmdIntoTable(&session, b);
    EXPECT_EQ(findCmdInTable(&session, fakeSrb(1)), a);
    EXPECT_EQ(findCmdInTable(&session, fakeSrb(2)), nullptr);
    EXPECT_EQ(session.pendCmdTable.count, 2u) << "finding leaves the record in the table";
    removeCmdFromTable(&session, a);
    removeCmdFromTable(&session, b);
    iscsiQueuePut(&freeCmdQ, a);
    iscsiQueuePut(&freeCmdQ, b);
}

TEST_F(TagTest, BrokenConnectionCompletesExactlyItsOwnCommands) {
    ISCSI_CONNECTION connA, connB;
    std::vector<ISCSI_CMD*> sent;
    for (int i = 0; i < 5; i++) {
        auto* cmd = static_cast<ISCSI_CMD*>(iscsiQueueTake(&freeCmdQ));
        cmd->srb = fakeSrb(i);
        cmd->connection = (i == 1 || i == 3) ? &connB : &connA;
        cmd->msgHdr = getMessageHeader();
        cmd->itt = setTaskId(cmd);
        enterCmdIntoTable(&session, cmd);
        sent.push_back(cmd);
    }
    ULONG freeBefore = freeCmdQ.count;
    removeCmdsBadConnection(&session, &connA);

    auto done = enginetest::completions();
    ASSERT_EQ(done.size(), 3u);
    EXPECT_EQ(done[0].srb, fakeSrb(0));
    EXPECT_EQ(done[1].srb, fakeSrb(2));
    EXPECT_EQ(done[2].srb, fakeSrb(4));
    for (const auto& c : done) {
        EXPECT_EQ(c.kind, Completion::Reset);
    }
    EXPECT_EQ(freeCmdQ.count, freeBefore + 3);
    EXPECT_EQ(freeMsgHdrQ.count, 3u) << "their header buffers went back too";
    EXPECT_EQ(session.pendCmdTable.count, 2u);
    EXPECT_EQ(lookupTaskId(&session, sent[1]->itt, LOOKUP_CMD_TABLE), sent[1]);
    EXPECT_EQ(lookupTaskId(&session, sent[3]->itt, LOOKUP_CMD_TABLE), sent[3]);

    removeCmdsBadConnection(&session, &connB);
    EXPECT_EQ(session.pendCmdTable.count, 0u);
    EXPECT_EQ(enginetest::completions().size(), 5u);
}

TEST_F(TagTest, AFinishWhileR2TDataIsSentIsLeftToTheSender) {
    ISCSI_CONNECTION conn;
    auto* cmd = static_cast<ISCSI_CMD*>(iscsiQueueTake(&freeCmdQ));
    cmd->srb = fakeSrb(7);
    cmd->connection = &conn;
    cmd->itt = setTaskId(cmd);
    enterCmdIntoTable(&session, cmd);
    ISCSI_CMD copy;
    ASSERT_EQ(iscsiHoldCmdData(&session, cmd->itt, &copy), cmd);
    // The target's response and the connection's end both come while the data is being sent.
    ASSERT_EQ(lookupTaskId(&session, cmd->itt, LOOKUP_CMD_TABLE | LOOKUP_UNLINK), cmd);
    iscsiFinishCmd(&session, cmd, CMD_FINISH_STATUS, 2, 0);
    removeCmdsBadConnection(&session, &conn);
    EXPECT_TRUE(enginetest::completions().empty()) << "the buffer is still being read";
    EXPECT_TRUE(iscsiHeldCmdFinishing(&session, cmd));
    iscsiReleaseCmdData(&session, cmd);
    auto done = enginetest::completions();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].kind, Completion::Command);
    EXPECT_EQ(done[0].status, 2u);
    EXPECT_EQ(iscsiHoldCmdData(&session, cmd->itt, &copy), nullptr) << "no longer pending";
}
