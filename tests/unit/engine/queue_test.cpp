// Serial-number comparison, the FIFO queue and the in-flight table.
#include "engine_fixture.h"

#include <atomic>
#include <thread>
#include <vector>

TEST(GtWithWrap, MatchesTheWorkedTable) {
    struct Row {
        ULONG a, b;
        int ahead;
    } rows[] = {
        {5, 4, 1},
        {4, 5, 0},
        {7, 7, 0},
        {0x00000002, 0xFFFFFFF0, 1},
        {0xFFFFFFF0, 0x00000002, 0},
        {0xEFFFFFFE, 0x10000000, 1},
        {0xEFFFFFFF, 0x10000000, 0},
        {0x10000000, 0xEFFFFFFF, 0},
        {0xEFFFFFFF, 0x10000001, 1},
        {0x0FFFFFFF, 0xF0000000, 1},
        {0xF0000000, 0x0FFFFFFF, 0},
        {0, 0xFFFFFFFF, 1},
        {0xFFFFFFFF, 0, 0},
        {0x80000000, 0x7FFFFFFF, 1},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(GT_WITH_WRAP(r.a, r.b), r.ahead) << std::hex << r.a << " vs " << r.b;
    }
}

namespace {
struct Item {
    Item* link;
    int value;
};
} // namespace

TEST(IscsiQueue, IsFifoAndClearsLinks) {
    ISCSI_QUEUE q;
    RtlZeroMemory(&q, sizeof q);
    iscsiQueueInit(&q, "test queue");
    Item a{reinterpret_cast<Item*>(0x1), 1}, b{nullptr, 2}, c{nullptr, 3};
    EXPECT_EQ(iscsiQueueTake(&q), nullptr);
    iscsiQueuePut(&q, &a);
    EXPECT_EQ(a.link, nullptr) << "put clears the link word";
    iscsiQueuePut(&q, &b);
    iscsiQueuePut(&q, &c);
    EXPECT_EQ(q.count, 3u);
    EXPECT_EQ(a.link, &b);
    EXPECT_EQ(iscsiQueueTake(&q), &a);
    EXPECT_EQ(a.link, nullptr) << "take clears the link word";
    EXPECT_EQ(iscsiQueueTake(&q), &b);
    EXPECT_EQ(iscsiQueueTake(&q), &c);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr) << "tail is cleared when the queue empties";
    EXPECT_EQ(q.count, 0u);
    // Still usable after running empty.
    iscsiQueuePut(&q, &b);
    EXPECT_EQ(q.head, &b);
    EXPECT_EQ(q.tail, &b);
    EXPECT_EQ(iscsiQueueTake(&q), &b);
}

TEST(IscsiQueue, ConcurrentPutsAndTakesLoseNothing) {
    ISCSI_QUEUE q;
    RtlZeroMemory(&q, sizeof q);
    iscsiQueueInit(&q, "test queue");
    constexpr int perThread = 2000;
    std::vector<Item> items(4 * perThread);
    std::atomic<int> taken{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < perThread; i++) {
                iscsiQueuePut(&q, &items[static_cast<size_t>(t * perThread + i)]);
                if (iscsiQueueTake(&q) != nullptr) {
                    taken++;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(taken.load(), 4 * perThread);
    EXPECT_EQ(q.count, 0u);
    EXPECT_EQ(q.head, nullptr);
}

class TableTest : public EngineTest {};

TEST_F(TableTest, InsertKeepsSendingOrderAndRemoveUnlinks) {
    ISCSI_SESSION session;
    RtlZeroMemory(&session, sizeof session);
    initPendingCmdTable(&session);
    ISCSI_CMD cmds[3];
    RtlZeroMemory(cmds, sizeof cmds);
    for (auto& c : cmds) {
        enterCmdIntoTable(&session, &c);
    }
    EXPECT_EQ(session.pendCmdTable.count, 3u);
    EXPECT_EQ(removeCmdFromTable(&session, &cmds[1]), &cmds[1]);
    EXPECT_EQ(cmds[1].links.next, nullptr);
    EXPECT_EQ(cmds[1].links.prev, nullptr);
    EXPECT_EQ(removeCmdFromTable(&session, &cmds[1]), nullptr) << "already removed";
    EXPECT_EQ(session.pendCmdTable.head, &cmds[0].links);
    EXPECT_EQ(cmds[0].links.next, &cmds[2].links);
    EXPECT_EQ(cmds[2].links.prev, &cmds[0].links);
    EXPECT_EQ(removeCmdFromTable(&session, &cmds[2]), &cmds[2]);
    EXPECT_EQ(session.pendCmdTable.tail, &cmds[0].links);
    EXPECT_EQ(removeCmdFromTable(&session, &cmds[0]), &cmds[0]);
    EXPECT_EQ(session.pendCmdTable.head, nullptr);
    EXPECT_EQ(session.pendCmdTable.tail, nullptr);
    EXPECT_EQ(session.pendCmdTable.count, 0u);
}

TEST_F(TableTest, OfTwoConcurrentRemoversExactlyOneWins) {
    ISCSI_SESSION session;
    RtlZeroMemory(&session, sizeof session);
    initPendingCmdTable(&session);
    constexpr int rounds = 500;
    std::vector<ISCSI_CMD> cmds(rounds);
    RtlZeroMemory(cmds.data(), sizeof(ISCSI_CMD) * rounds);
    for (auto& c : cmds) {
        enterCmdIntoTable(&session, &c);
    }
    std::atomic<int> wins[2] = {0, 0};
    auto remover = [&](int who) {
        for (int i = 0; i < rounds; i++) {
            if (removeCmdFromTable(&session, &cmds[static_cast<size_t>(i)]) != nullptr) {
                wins[who]++;
            }
        }
    };
    std::thread t0(remover, 0), t1(remover, 1);
    t0.join();
    t1.join();
    EXPECT_EQ(wins[0] + wins[1], rounds);
    EXPECT_EQ(session.pendCmdTable.count, 0u);
}
