// IRQL bookkeeping and spin-lock mutual exclusion.
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(IrqlSpinLock, AcquireRaisesToDispatchAndReleaseRestores) {
    KSPIN_LOCK lock;
    RtlZeroMemory(&lock, sizeof lock);
    KeInitializeSpinLock(&lock, "test", SPIN_LOCK_ORDER_NONE);
    ASSERT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    KIRQL old = 0xFF;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(qvk::heldSpinLocks(), 1);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(qvk::heldSpinLocks(), 0);
}

TEST(IrqlSpinLock, ZeroFilledLockIsUsableAndDpcLevelFormsKeepIrql) {
    KSPIN_LOCK lock;
    RtlZeroMemory(&lock, sizeof lock);

    KIRQL old = KeRaiseIrqlToDpcLevel();
    EXPECT_EQ(old, PASSIVE_LEVEL);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(qvk::heldSpinLocks(), 1);
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(qvk::heldSpinLocks(), 0);
    KfLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(IrqlSpinLock, NestedAcquireAtDispatchReturnsDispatchAsOldIrql) {
    KSPIN_LOCK outer;
    KSPIN_LOCK inner;
    KeInitializeSpinLock(&outer, "outer", 10);
    KeInitializeSpinLock(&inner, "inner", 20);
    KIRQL o1 = KfAcquireSpinLock(&outer);
    KIRQL o2 = KfAcquireSpinLock(&inner);
    EXPECT_EQ(o1, PASSIVE_LEVEL);
    EXPECT_EQ(o2, DISPATCH_LEVEL);
    EXPECT_EQ(qvk::heldSpinLocks(), 2);
    KfReleaseSpinLock(&inner, o2);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KfReleaseSpinLock(&outer, o1);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(IrqlSpinLock, LockOrderAllowsIncreasingOrdersThenOneEngineLockAndUnorderedLocksAnywhere) {
    KSPIN_LOCK a, b, engine, unordered;
    KeInitializeSpinLock(&a, "a", 1);
    KeInitializeSpinLock(&b, "b", 999);
    KeInitializeSpinLock(&engine, "engine", SPIN_LOCK_ORDER_ENGINE);
    KeInitializeSpinLock(&unordered, "unordered");
    KIRQL old = KfAcquireSpinLock(&a);
    KeAcquireSpinLockAtDpcLevel(&b);
    KeAcquireSpinLockAtDpcLevel(&engine);
    KeAcquireSpinLockAtDpcLevel(&unordered);
    EXPECT_EQ(qvk::heldSpinLocks(), 4);
    // Released in another order than taken: allowed, the list is kept per thread.
    KeReleaseSpinLockFromDpcLevel(&a);
    KeReleaseSpinLockFromDpcLevel(&engine);
    KeReleaseSpinLockFromDpcLevel(&unordered);
    KfReleaseSpinLock(&b, old);
    EXPECT_EQ(qvk::heldSpinLocks(), 0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // An unordered lock is only checked for ownership: an ordered lock may be taken under it.
    old = KfAcquireSpinLock(&unordered);
    KeAcquireSpinLockAtDpcLevel(&a);
    KeAcquireSpinLockAtDpcLevel(&engine);
    KeReleaseSpinLockFromDpcLevel(&engine);
    KeReleaseSpinLockFromDpcLevel(&a);
    KfReleaseSpinLock(&unordered, old);
    EXPECT_EQ(qvk::heldSpinLocks(), 0);
}

TEST(IrqlSpinLock, IrqlIsPerThread) {
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KIRQL seen = 0xFF;
    std::thread other([&seen] { seen = KeGetCurrentIrql(); });
    other.join();
    EXPECT_EQ(seen, PASSIVE_LEVEL);
    KeLowerIrql(old);
}

TEST(IrqlSpinLock, MutualExclusionUnderContention) {
    KSPIN_LOCK lock;
    RtlZeroMemory(&lock, sizeof lock);
    KeInitializeSpinLock(&lock, "counter", 5);
    // A plain counter: only the lock keeps it right (and ThreadSanitizer quiet).
    uint64_t counter = 0;
    uint64_t inside = 0;
    bool overlapped = false;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; i++) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                if (++inside != 1) {
                    overlapped = true;
                }
                counter++;
                inside--;
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(counter, static_cast<uint64_t>(kThreads) * kRounds);
}

} // namespace
