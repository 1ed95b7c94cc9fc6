// DPCs run at DISPATCH_LEVEL when a thread drops below it, once per insertion; timers queue
// their DPC on the scaled clock.
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

struct Probe {
    std::atomic<int> runs{0};
    std::atomic<int> irql{-1};
};

void probeRoutine(PKDPC, PVOID context, PVOID, PVOID) {
    auto* p = static_cast<Probe*>(context);
    p->irql = KeGetCurrentIrql();
    p->runs++;
}

TEST(Dpc, RunsOnceAtDispatchWhenTheInsertingThreadDropsBelowIt) {
    Probe probe;
    KDPC dpc{};
    KeInitializeDpc(&dpc, probeRoutine, &probe);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr)); // already queued
    EXPECT_EQ(probe.runs, 0);
    KeLowerIrql(old);
    EXPECT_EQ(probe.runs, 1);
    EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // Held DPCs wait for the test.
    qvk::dpcHold(true);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_EQ(probe.runs, 1);
    EXPECT_EQ(qvk::dpcQueued(), 1u);
    EXPECT_EQ(qvk::dpcRunPending(), 1);
    EXPECT_EQ(probe.runs, 2);
    qvk::dpcHold(false);
}

TEST(KernelTimer, OneShotPeriodicAndCancelOnTheScaledClock) {
    qvk::setTimeScale(0.01);
    Probe once, periodic;
    KDPC onceDpc{}, periodicDpc{};
    KTIMER onceTimer{}, periodicTimer{};
    KeInitializeDpc(&onceDpc, probeRoutine, &once);
    KeInitializeDpc(&periodicDpc, probeRoutine, &periodic);
    KeInitializeTimer(&onceTimer);
    KeInitializeTimer(&periodicTimer);
    LARGE_INTEGER second;
    second.QuadPart = -10000000; // 1 s scaled: 10 ms
    EXPECT_FALSE(KeSetTimer(&onceTimer, second, &onceDpc));
    EXPECT_FALSE(KeSetTimerEx(&periodicTimer, second, 1000, &periodicDpc));
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (periodic.runs < 3 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_GE(periodic.runs, 3);
    EXPECT_EQ(periodic.irql, DISPATCH_LEVEL);
    EXPECT_TRUE(KeCancelTimer(&periodicTimer));
    EXPECT_FALSE(KeCancelTimer(&onceTimer));
    KeFlushQueuedDpcs();
    EXPECT_EQ(once.runs, 1);
}

} // namespace
