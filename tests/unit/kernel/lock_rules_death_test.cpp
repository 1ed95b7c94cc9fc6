// Each broken lock rule aborts with a message naming the lock and the thread.
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

#include <ostream>

namespace {

// Objects of the dying child; static so that a system thread may still use them.
PKSPIN_LOCK lock(const char* name, ULONG order = SPIN_LOCK_ORDER_NONE) {
    static KSPIN_LOCK pool[2];
    static int next = 0;
    PKSPIN_LOCK l = &pool[next++ % 2];
    KeInitializeSpinLock(l, name, order);
    return l;
}

PKEVENT event(EVENT_TYPE type, BOOLEAN signalled) {
    static KEVENT e;
    KeInitializeEvent(&e, type, signalled);
    return &e;
}

// Waits 1 ms, or without limit.
void wait(PKEVENT e, bool limited = true) {
    LARGE_INTEGER t;
    t.QuadPart = -10000;
    KeWaitForSingleObject(e, Executive, KernelMode, FALSE, limited ? &t : nullptr);
}

void delay() {
    LARGE_INTEGER t;
    t.QuadPart = -10000;
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}

// Starts a system thread and keeps its parent alive for a bounded time (10 s).
void runSystemThread(PKSTART_ROUTINE routine, PVOID context) {
    HANDLE h = nullptr;
    if (!NT_SUCCESS(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine,
                                         context))) {
        std::abort();
    }
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER t;
    t.QuadPart = -100000000;
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t);
}

struct BrokenRule {
    const char* name;
    void (*breakIt)();
    const char* message; // regular expression
};

void PrintTo(const BrokenRule& r, std::ostream* os) {
    *os << r.name;
}

const BrokenRule kRules[] = {
    {"WaitWithSpinLockHeldNamesLockAndThread",
     [] {
         KfAcquireSpinLock(lock("heldLock"));
         wait(event(NotificationEvent, FALSE));
     },
     "KeWaitForSingleObject waits while holding spin lock 'heldLock' at 0x[0-9a-f]+, on thread "
     "tid [0-9]+"},
    {"WaitWithoutLimitAtDispatchLevel",
     [] {
         KeRaiseIrqlToDpcLevel();
         wait(event(SynchronizationEvent, FALSE), false);
     },
     "KeWaitForSingleObject waits at IRQL 2"},
    // The rule is about the call, not whether it would block this time.
    {"WaitAlreadySignalledStillDiesAtDispatchLevel",
     [] {
         KeRaiseIrqlToDpcLevel();
         wait(event(NotificationEvent, TRUE));
     },
     "waits at IRQL 2"},
    {"DelayAtDispatchLevel",
     [] {
         KeRaiseIrqlToDpcLevel();
         delay();
     },
     "KeDelayExecutionThread waits at IRQL 2"},
    {"DelayHoldingLock",
     [] {
         KfAcquireSpinLock(lock("delayLock", 3));
         delay();
     },
     "KeDelayExecutionThread waits while holding spin lock 'delayLock'"},
    {"AcquiringHeldLockAgain",
     [] {
         PKSPIN_LOCK l = lock("twice");
         KfAcquireSpinLock(l);
         KfAcquireSpinLock(l);
     },
     "spin lock 'twice' at 0x[0-9a-f]+ acquired twice by the same thread, on thread"},
    {"ReleasingLockNotHeld", [] { KfReleaseSpinLock(lock("notMine"), PASSIVE_LEVEL); },
     "spin lock 'notMine' at 0x[0-9a-f]+ released by a thread that does not hold it"},
    // An unnamed lock is named by its address.
    {"ReleasingUnnamedLockNotHeld",
     [] {
         static KSPIN_LOCK zeroed;
         KeRaiseIrqlToDpcLevel();
         KeReleaseSpinLockFromDpcLevel(&zeroed);
     },
     "spin lock at 0x[0-9a-f]+ released by a thread that does not hold it"},
    {"OrderedLockBelowHeldOrder",
     [] {
         KfAcquireSpinLock(lock("high", 20));
         KfAcquireSpinLock(lock("low", 10));
     },
     "spin lock 'low' at 0x[0-9a-f]+ \\(order 10\\) acquired while holding spin lock 'high' at "
     "0x[0-9a-f]+ \\(order 20\\)"},
    {"OrderedLockEqualToHeldOrder",
     [] {
         KfAcquireSpinLock(lock("first", 7));
         KfAcquireSpinLock(lock("second", 7));
     },
     "'second'.*\\(order 7\\) acquired while holding spin lock 'first'"},
    {"OrderedLockWhileHoldingEngineLock",
     [] {
         KfAcquireSpinLock(lock("sessionsLock", SPIN_LOCK_ORDER_ENGINE));
         KfAcquireSpinLock(lock("AdapterLock", 40));
     },
     "'AdapterLock'.*\\(order 40\\) acquired while holding spin lock 'sessionsLock'"},
    {"TwoEngineLocks",
     [] {
         KfAcquireSpinLock(lock("cmdQ", SPIN_LOCK_ORDER_ENGINE));
         KfAcquireSpinLock(lock("freeCmdQ", SPIN_LOCK_ORDER_ENGINE));
     },
     "spin lock 'freeCmdQ' at 0x[0-9a-f]+ \\(engine\\) acquired while holding engine lock spin "
     "lock 'cmdQ'"},
    {"LoweringIrqlWhileHoldingLock",
     [] {
         KfAcquireSpinLock(lock("kept"));
         KeLowerIrql(PASSIVE_LEVEL);
     },
     "KeLowerIrql lowers IRQL to 0 while holding spin lock 'kept'"},
    {"FastMutexAtDispatchLevel",
     [] {
         static FAST_MUTEX m;
         KeRaiseIrqlToDpcLevel();
         ExAcquireFastMutexUnsafe(&m);
     },
     "ExAcquireFastMutexUnsafe waits at IRQL 2"},
    {"FastMutexTakenTwice",
     [] {
         static FAST_MUTEX m;
         ExAcquireFastMutexUnsafe(&m);
         ExAcquireFastMutexUnsafe(&m);
     },
     "fast mutex at 0x[0-9a-f]+ acquired twice by the same thread"},
    {"ReleasingToPassiveWhileHoldingAnother",
     [] {
         KfAcquireSpinLock(lock("outer", 1));
         PKSPIN_LOCK inner = lock("inner", 2);
         KfAcquireSpinLock(inner);
         KfReleaseSpinLock(inner, PASSIVE_LEVEL);
     },
     "KfReleaseSpinLock lowers IRQL to 0 while holding spin lock 'outer'"},
    {"SystemThreadReturningAtRaisedIrql",
     [] { runSystemThread([](PVOID) { KeRaiseIrqlToDpcLevel(); }, nullptr); },
     "system thread returned from its start routine at IRQL 2, on system thread 0x[0-9a-f]+"},
    {"SystemThreadReturningHoldingLock",
     [] {
         runSystemThread([](PVOID l) { KfAcquireSpinLock(static_cast<PKSPIN_LOCK>(l)); },
                         lock("leftHeld"));
     },
     "system thread returned from its start routine holding spin lock 'leftHeld'"},
    {"SystemThreadTerminatingHoldingLock",
     [] {
         runSystemThread(
             [](PVOID l) {
                 KfAcquireSpinLock(static_cast<PKSPIN_LOCK>(l));
                 PsTerminateSystemThread(STATUS_SUCCESS);
             },
             lock("heldAtExit"));
     },
     "system thread terminated itself holding spin lock 'heldAtExit'"},
};

class LockRules : public ::testing::TestWithParam<BrokenRule> {
protected:
    void SetUp() override {
#ifndef QUEVI_CHECKS
        GTEST_SKIP() << "lock-rule checks are compiled out";
#endif
        // The child re-executes the test binary, which is safe with threads running.
        GTEST_FLAG_SET(death_test_style, "threadsafe");
    }
};

TEST_P(LockRules, Aborts) {
    EXPECT_DEATH(GetParam().breakIt(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(, LockRules, ::testing::ValuesIn(kRules),
                         [](const ::testing::TestParamInfo<BrokenRule>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
