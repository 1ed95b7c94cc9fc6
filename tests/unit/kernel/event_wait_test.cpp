// Events, waits, time-outs and the scaled clock.
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

LARGE_INTEGER relativeMs(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

NTSTATUS waitMs(PKEVENT e, LONGLONG ms) {
    LARGE_INTEGER t = relativeMs(ms);
    return KeWaitForSingleObject(e, Executive, KernelMode, FALSE, &t);
}

// Polls a condition for at most two seconds of real time.
template <typename F>
bool eventually(F condition) {
    auto end = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < end) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return condition();
}

TEST(EventWait, SignalledHalfwayReturnsSuccessBeforeTheTimeOut) {
    KEVENT e;
    RtlZeroMemory(&e, sizeof e);
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    std::thread setter([&e] {
        std::this_thread::sleep_for(milliseconds(50));
        KeSetEvent(&e, 0, FALSE);
    });
    auto start = Clock::now();
    NTSTATUS status = waitMs(&e, 10000);
    auto elapsed = Clock::now() - start;
    setter.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_LT(elapsed, std::chrono::seconds(10)); // woken, not run to the limit
    EXPECT_EQ(KeReadStateEvent(&e), 0);           // the wait consumed the signal
}

TEST(EventWait, ZeroTimeOutPollsEvenAtDispatchLevelWithLockHeld) {
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock, "poller");
    KIRQL old = KfAcquireSpinLock(&lock);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&e, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KfReleaseSpinLock(&lock, old);
}

TEST(EventWait, SynchronizationSignalsMergeAndNotificationStaysUntilCleared) {
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&e, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&e, 0, FALSE), 1); // previous state
    EXPECT_EQ(waitMs(&e, 1000), STATUS_SUCCESS);
    EXPECT_EQ(waitMs(&e, 10), STATUS_TIMEOUT); // two sets merged into one signal
    // A zero-filled event is an unsignalled notification event.
    KEVENT z;
    RtlZeroMemory(&z, sizeof z);
    EXPECT_EQ(waitMs(&z, 5), STATUS_TIMEOUT);
    KeSetEvent(&z, 0, FALSE);
    EXPECT_EQ(waitMs(&z, 5), STATUS_SUCCESS);
    EXPECT_EQ(waitMs(&z, 5), STATUS_SUCCESS);
    EXPECT_EQ(KeResetEvent(&z), 1);
    EXPECT_EQ(waitMs(&z, 5), STATUS_TIMEOUT);
}

// Several threads wait with a long limit; counts how many were released.
struct Waiters {
    KEVENT* event;
    std::atomic<int> released{0};
    std::atomic<int> started{0};
    std::vector<std::thread> threads;

    explicit Waiters(KEVENT* e, int n) : event(e) {
        for (int i = 0; i < n; i++) {
            threads.emplace_back([this] {
                started++;
                if (waitMs(event, 20000) == STATUS_SUCCESS) {
                    released++;
                }
            });
        }
    }
    void join() {
        for (auto& t : threads) {
            t.join();
        }
    }
};

TEST(EventWait, SynchronizationEventReleasesOneWaiterPerSet) {
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    Waiters w(&e, 3);
    ASSERT_TRUE(eventually([&] { return w.started == 3 && e.waiters.load() == 3; }));
    for (int round = 1; round <= 3; round++) {
        KeSetEvent(&e, 0, FALSE);
        ASSERT_TRUE(eventually([&] { return w.released == round; }));
        // The released waiter took the signal; the others keep waiting.
        std::this_thread::sleep_for(milliseconds(20));
        EXPECT_EQ(w.released, round);
        EXPECT_EQ(KeReadStateEvent(&e), 0);
    }
    w.join();
}

TEST(EventWait, NotificationEventReleasesEveryWaiter) {
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    Waiters w(&e, 3);
    ASSERT_TRUE(eventually([&] { return e.waiters.load() == 3; }));
    KeSetEvent(&e, 0, FALSE);
    w.join();
    EXPECT_EQ(w.released, 3);
    EXPECT_EQ(KeReadStateEvent(&e), 1);
}

// A producer hands items to a consumer through a spin-locked counter and a synchronization
// event, many times over: a lost wake-up would leave the consumer to its (long) time-out.
TEST(EventWait, ProducerConsumerLosesNoWakeUp) {
    KEVENT ready;
    KeInitializeEvent(&ready, SynchronizationEvent, FALSE);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock, "queue", 10);
    int queued = 0; // guarded by lock
    constexpr int kItems = 5000;
    int timeouts = 0;
    std::thread consumer([&] {
        int taken = 0;
        while (taken < kItems) {
            if (waitMs(&ready, 5000) == STATUS_TIMEOUT) {
                timeouts++;
            }
            KIRQL old = KfAcquireSpinLock(&lock);
            taken += queued;
            queued = 0;
            KfReleaseSpinLock(&lock, old);
        }
    });
    for (int i = 0; i < kItems; i++) {
        KIRQL old = KfAcquireSpinLock(&lock);
        queued++;
        KfReleaseSpinLock(&lock, old);
        KeSetEvent(&ready, 0, FALSE);
        if (i % 64 == 0) {
            std::this_thread::yield();
        }
    }
    consumer.join();
    EXPECT_EQ(timeouts, 0);
}

class ScaledClock : public ::testing::Test {
protected:
    void TearDown() override { qvk::setTimeScale(1.0); }
};

TEST_F(ScaledClock, ScaleShortensWaitsAndDelaysButNotSystemTime) {
    qvk::setTimeScale(0.01);
    EXPECT_DOUBLE_EQ(qvk::timeScale(), 0.01);
    KEVENT e;
    KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    LARGE_INTEGER before, after;
    KeQuerySystemTime(&before);
    auto start = Clock::now();
    EXPECT_EQ(waitMs(&e, 3000), STATUS_TIMEOUT); // nominal 3 s
    LARGE_INTEGER delay = relativeMs(2000);      // nominal 2 s
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    auto real = Clock::now() - start;
    KeQuerySystemTime(&after);
    EXPECT_GE(real, milliseconds(50));
    EXPECT_LT(real, milliseconds(5000)); // far less than the nominal 5 s
    // System time moved by at least the nominal length of both waits.
    EXPECT_GE(after.QuadPart - before.QuadPart, 5000LL * 10000);
}

TEST_F(ScaledClock, AbsoluteTimeOutOnTheSystemClock) {
    qvk::setTimeScale(0.01);
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    LARGE_INTEGER now, until;
    KeQuerySystemTime(&now);
    until.QuadPart = now.QuadPart + 1000LL * 10000; // one nominal second from now
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &until), STATUS_TIMEOUT);
    LARGE_INTEGER later;
    KeQuerySystemTime(&later);
    EXPECT_GE(later.QuadPart, until.QuadPart);
}

} // namespace
