// The message handler thread and its queue, with a recording stand-in for the per-message work.
#include "driver/api/driver.h"
#include "driver/control/control.h"
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct Handled {
    ULONG type;
    uintptr_t payload;
    ULONG draining;
};

std::mutex handledMutex;
std::vector<Handled> handled;
KEVENT gate; // the message of type 99 waits here
std::atomic<bool> gateEntered{false};

std::vector<Handled> handledSoFar() {
    std::lock_guard<std::mutex> g(handledMutex);
    return handled;
}

bool waitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 1000; i++) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

PVOID payload(uintptr_t n) {
    return reinterpret_cast<PVOID>(n);
}

} // namespace

// Records each message; type 99 blocks until the test opens the gate.
void handleWinMsg(WINMSG_HANDLER_CONTEXT*, ULONG type, PVOID p, ULONG draining) {
    if (type == 99) {
        gateEntered = true;
        (void)KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
    }
    std::lock_guard<std::mutex> g(handledMutex);
    handled.push_back({type, reinterpret_cast<uintptr_t>(p), draining});
}

class WinMsgTest : public ::testing::Test {
protected:
    void SetUp() override {
        KeInitializeEvent(&gate, NotificationEvent, FALSE);
        handled.clear();
        gateEntered = false;
    }
    void TearDown() override {
        killWinMsgHandler(&winMsgHandlerContext);
        KeSetEvent(&gate, 0, FALSE);
        EXPECT_TRUE(qvk::waitSystemThreadsQuiet(5s));
        EXPECT_EQ(winMsgHandlerContext.thread, 0u);
        EXPECT_EQ(qvk::poolOutstanding(), 0u) << qvk::poolLeakReport();
    }
    // Starts the handler and holds it inside a first message, so the messages posted next are
    // all queued before it takes any of them.
    void startHeld() {
        ASSERT_EQ(initWinMsgHandler(&winMsgHandlerContext), 0);
        EXPECT_NE(winMsgHandlerContext.thread, 0u);
        ASSERT_EQ(sendToWinMsgHandler(&winMsgHandlerContext, 99, nullptr), 0);
        ASSERT_TRUE(waitUntil([] { return gateEntered.load(); }));
    }
};

TEST_F(WinMsgTest, MessagesAreCarriedOutOneAtATimeInPostingOrder) {
    startHeld();
    for (uintptr_t i = 1; i <= 3; i++) {
        ASSERT_EQ(sendToWinMsgHandler(&winMsgHandlerContext, WINMSG_RESET_BUS, payload(i)), 0);
    }
    EXPECT_EQ(winMsgHandlerContext.msgQ.count, 3u);
    KeSetEvent(&gate, 0, FALSE);
    ASSERT_TRUE(waitUntil([] { return handledSoFar().size() == 4; }));
    auto h = handledSoFar();
    EXPECT_EQ(h[0].type, 99u);
    for (uintptr_t i = 1; i <= 3; i++) {
        EXPECT_EQ(h[i].type, WINMSG_RESET_BUS);
        EXPECT_EQ(h[i].payload, i);
        EXPECT_EQ(h[i].draining, 0u);
    }
}

TEST_F(WinMsgTest, QueuedMessagesAreDrainedAfterTheExitRequestAndLaterOnesRefused) {
    startHeld();
    ASSERT_EQ(sendToWinMsgHandler(&winMsgHandlerContext, WINMSG_QUERY_TARGET, payload(1)), 0);
    ASSERT_EQ(sendToWinMsgHandler(&winMsgHandlerContext, WINMSG_REMOVE_TARGET, payload(2)), 0);
    killWinMsgHandler(&winMsgHandlerContext);
    EXPECT_EQ(sendToWinMsgHandler(&winMsgHandlerContext, WINMSG_QUERY_TARGET, payload(3)), -1)
        << "refused after the exit request; the payload stays the sender's";
    EXPECT_FALSE(quevWaitDriverStopped(50)) << "not finished while it carries out what was posted";
    KeSetEvent(&gate, 0, FALSE);
    EXPECT_TRUE(quevWaitDriverStopped(5000));
    ASSERT_TRUE(qvk::waitSystemThreadsQuiet(5s));
    EXPECT_EQ(winMsgHandlerContext.thread, 0u);
    auto h = handledSoFar();
    ASSERT_EQ(h.size(), 3u);
    EXPECT_EQ(h[1].payload, 1u);
    EXPECT_EQ(h[1].draining, 1u);
    EXPECT_EQ(h[2].payload, 2u);
    EXPECT_EQ(h[2].draining, 1u);
}

TEST_F(WinMsgTest, IdleHandlerEndsOnTheExitRequest) {
    ASSERT_EQ(initWinMsgHandler(&winMsgHandlerContext), 0);
    std::this_thread::sleep_for(20ms);
    killWinMsgHandler(&winMsgHandlerContext);
    EXPECT_TRUE(qvk::waitSystemThreadsQuiet(5s));
    EXPECT_EQ(winMsgHandlerContext.thread, 0u);
    EXPECT_TRUE(handledSoFar().empty());
}

TEST_F(WinMsgTest, ThreadStartFailureIsReported) {
    qvk::threadFailNext(1);
    EXPECT_EQ(initWinMsgHandler(&winMsgHandlerContext), -1);
    EXPECT_EQ(winMsgHandlerContext.thread, 0u);
    EXPECT_TRUE(quevWaitDriverStopped(0)) << "a handler that never ran counts as finished";
}

TEST_F(WinMsgTest, NoMemoryForAMessageIsRefused) {
    ASSERT_EQ(initWinMsgHandler(&winMsgHandlerContext), 0);
    qvk::poolFailTag(ISCSI_POOL_TAG);
    EXPECT_EQ(sendToWinMsgHandler(&winMsgHandlerContext, WINMSG_QUERY_TARGET, payload(1)), -1);
    qvk::poolFailTag(0);
}

TEST_F(WinMsgTest, PostersAtDispatchLevelLoseNothingAndKeepTheirOrder) {
    ASSERT_EQ(initWinMsgHandler(&winMsgHandlerContext), 0);
    constexpr uintptr_t perPoster = 300;
    std::vector<std::thread> posters;
    for (uintptr_t p = 0; p < 4; p++) {
        posters.emplace_back([p] {
            for (uintptr_t i = 0; i < perPoster; i++) {
                KIRQL old = KeRaiseIrqlToDpcLevel();
                int rc = sendToWinMsgHandler(&winMsgHandlerContext, WINMSG_SHUTDOWN,
                                             payload(p << 16 | i));
                KeLowerIrql(old);
                ASSERT_EQ(rc, 0);
            }
        });
    }
    for (auto& t : posters) {
        t.join();
    }
    ASSERT_TRUE(waitUntil([] { return handledSoFar().size() == 4 * perPoster; }));
    uintptr_t next[4] = {0, 0, 0, 0};
    for (const Handled& h : handledSoFar()) {
        uintptr_t poster = h.payload >> 16;
        EXPECT_EQ(h.payload & 0xFFFF, next[poster]++);
    }
}
