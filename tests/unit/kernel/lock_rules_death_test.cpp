// Each broken lock rule aborts with a message naming the lock and the thread.
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

namespace {

class LockRules : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef QUEVI_CHECKS
        GTEST_SKIP() << "lock-rule checks are compiled out";
#endif
        // The child re-executes the test binary, which is safe with threads running.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

LARGE_INTEGER relative(LONGLONG units100ns) {
    LARGE_INTEGER t;
    t.QuadPart = -units100ns;
    return t;
}

// Keeps the parent of a dying system thread alive for a bounded time.
void waitBounded() {
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER t = relative(100000000); // 10 s
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t);
}

TEST_F(LockRules, WaitWithSpinLockHeldNamesLockAndThread) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock, "heldLock");
            KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, FALSE);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            LARGE_INTEGER t = relative(10000);
            KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
        },
        "KeWaitForSingleObject waits while holding spin lock 'heldLock' at 0x[0-9a-f]+, on "
        "thread tid [0-9]+");
}

TEST_F(LockRules, WaitWithoutLimitAtDispatchLevel) {
    EXPECT_DEATH(
        {
            KEVENT e;
            KeInitializeEvent(&e, SynchronizationEvent, FALSE);
            KeRaiseIrqlToDpcLevel();
            KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr);
        },
        "KeWaitForSingleObject waits at IRQL 2");
}

TEST_F(LockRules, WaitAlreadySignalledStillDiesAtDispatchLevel) {
    // The rule is about the call, not whether it would block this time.
    EXPECT_DEATH(
        {
            KEVENT e;
            KeInitializeEvent(&e, NotificationEvent, TRUE);
            KeRaiseIrqlToDpcLevel();
            LARGE_INTEGER t = relative(10000);
            KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t);
        },
        "waits at IRQL 2");
}

TEST_F(LockRules, DelayAtDispatchLevelOrHoldingLock) {
    EXPECT_DEATH(
        {
            KeRaiseIrqlToDpcLevel();
            LARGE_INTEGER t = relative(10000);
            KeDelayExecutionThread(KernelMode, FALSE, &t);
        },
        "KeDelayExecutionThread waits at IRQL 2");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock, "delayLock", 3);
            KIRQL old = KfAcquireSpinLock(&lock);
            (void)old;
            LARGE_INTEGER t = relative(10000);
            KeDelayExecutionThread(KernelMode, FALSE, &t);
        },
        "KeDelayExecutionThread waits while holding spin lock 'delayLock'");
}

TEST_F(LockRules, AcquiringHeldLockAgain) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock, "twice");
            KIRQL old = KfAcquireSpinLock(&lock);
            (void)old;
            KfAcquireSpinLock(&lock);
        },
        "spin lock 'twice' at 0x[0-9a-f]+ acquired twice by the same thread, on thread");
}

TEST_F(LockRules, ReleasingLockNotHeld) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock, "notMine");
            KfReleaseSpinLock(&lock, PASSIVE_LEVEL);
        },
        "spin lock 'notMine' at 0x[0-9a-f]+ released by a thread that does not hold it");
    // An unnamed lock is named by its address.
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            RtlZeroMemory(&lock, sizeof lock);
            KeRaiseIrqlToDpcLevel();
            KeReleaseSpinLockFromDpcLevel(&lock);
        },
        "spin lock at 0x[0-9a-f]+ released by a thread that does not hold it");
}

TEST_F(LockRules, OrderedLockBelowOrEqualToHeldOrder) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK high;
            KSPIN_LOCK low;
            KeInitializeSpinLock(&high, "high", 20);
            KeInitializeSpinLock(&low, "low", 10);
            KfAcquireSpinLock(&high);
            KfAcquireSpinLock(&low);
        },
        "spin lock 'low' at 0x[0-9a-f]+ \\(order 10\\) acquired while holding spin lock "
        "'high' at 0x[0-9a-f]+ \\(order 20\\)");
    EXPECT_DEATH(
        {
            KSPIN_LOCK first;
            KSPIN_LOCK second;
            KeInitializeSpinLock(&first, "first", 7);
            KeInitializeSpinLock(&second, "second", 7);
            KfAcquireSpinLock(&first);
            KfAcquireSpinLock(&second);
        },
        "'second'.*\\(order 7\\) acquired while holding spin lock 'first'");
}

TEST_F(LockRules, OrderedLockWhileHoldingEngineLock) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK engine;
            KSPIN_LOCK ordered;
            KeInitializeSpinLock(&engine, "sessionsLock", SPIN_LOCK_ORDER_ENGINE);
            KeInitializeSpinLock(&ordered, "AdapterLock", 40);
            KfAcquireSpinLock(&engine);
            KfAcquireSpinLock(&ordered);
        },
        "'AdapterLock'.*\\(order 40\\) acquired while holding spin lock 'sessionsLock'");
}

TEST_F(LockRules, TwoEngineLocks) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK a;
            KSPIN_LOCK b;
            KeInitializeSpinLock(&a, "cmdQ", SPIN_LOCK_ORDER_ENGINE);
            KeInitializeSpinLock(&b, "freeCmdQ", SPIN_LOCK_ORDER_ENGINE);
            KfAcquireSpinLock(&a);
            KfAcquireSpinLock(&b);
        },
        "spin lock 'freeCmdQ' at 0x[0-9a-f]+ \\(engine\\) acquired while holding engine lock "
        "spin lock 'cmdQ'");
}

TEST_F(LockRules, LoweringIrqlWhileHoldingLock) {
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock, "kept");
            KfAcquireSpinLock(&lock);
            KeLowerIrql(PASSIVE_LEVEL);
        },
        "KeLowerIrql lowers IRQL to 0 while holding spin lock 'kept'");
    EXPECT_DEATH(
        {
            KSPIN_LOCK outer;
            KSPIN_LOCK inner;
            KeInitializeSpinLock(&outer, "outer", 1);
            KeInitializeSpinLock(&inner, "inner", 2);
            KfAcquireSpinLock(&outer);
            KfAcquireSpinLock(&inner);
            KfReleaseSpinLock(&inner, PASSIVE_LEVEL);
        },
        "KfReleaseSpinLock lowers IRQL to 0 while holding spin lock 'outer'");
}

void returnAtDispatch(PVOID) {
    KeRaiseIrqlToDpcLevel();
}

void returnHoldingLock(PVOID context) {
    KfAcquireSpinLock(static_cast<PKSPIN_LOCK>(context));
}

void terminateHoldingLock(PVOID context) {
    KfAcquireSpinLock(static_cast<PKSPIN_LOCK>(context));
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void startThread(PKSTART_ROUTINE routine, PVOID context) {
    HANDLE h = nullptr;
    if (!NT_SUCCESS(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine,
                                         context))) {
        std::abort();
    }
}

TEST_F(LockRules, SystemThreadEndingAtRaisedIrqlOrHoldingLock) {
    EXPECT_DEATH(
        {
            startThread(returnAtDispatch, nullptr);
            waitBounded();
        },
        "system thread returned from its start routine at IRQL 2, on system thread 0x[0-9a-f]+");
    EXPECT_DEATH(
        {
            static KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock, "leftHeld");
            startThread(returnHoldingLock, &lock);
            waitBounded();
        },
        "system thread returned from its start routine holding spin lock 'leftHeld'");
    EXPECT_DEATH(
        {
            static KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock, "heldAtExit");
            startThread(terminateHoldingLock, &lock);
            waitBounded();
        },
        "system thread terminated itself holding spin lock 'heldAtExit'");
}

TEST_F(LockRules, UnorderedLockIsOnlyCheckedForOwnership) {
    // Taking an unordered lock under an engine lock and an ordered lock under an unordered one
    // is allowed.
    KSPIN_LOCK engine;
    KSPIN_LOCK free1;
    KSPIN_LOCK ordered;
    KeInitializeSpinLock(&engine, "engine", SPIN_LOCK_ORDER_ENGINE);
    KeInitializeSpinLock(&free1, "free1");
    KeInitializeSpinLock(&ordered, "ordered", 3);
    KIRQL old = KfAcquireSpinLock(&free1);
    KeAcquireSpinLockAtDpcLevel(&ordered);
    KeAcquireSpinLockAtDpcLevel(&engine);
    KeReleaseSpinLockFromDpcLevel(&engine);
    KeReleaseSpinLockFromDpcLevel(&ordered);
    KfReleaseSpinLock(&free1, old);
    EXPECT_EQ(qvk::heldSpinLocks(), 0);
}

} // namespace
