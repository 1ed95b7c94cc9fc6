// IRQL per thread, spin locks and the lock-rule checks.
//
// A spin lock is a test-and-test-and-set word with acquire/release ordering, so ThreadSanitizer
// sees the hand-over of whatever it guards; after a short spin the waiter yields, which keeps a
// two-core machine moving when the holder has been preempted. Each thread keeps the list of spin
// locks it holds; the checks (QUEVI_CHECKS) read only that list and the lock's own order.
#include "platform/kernel/host.h"
#include "platform/kernel/kernel_internal.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace qvk::detail {

namespace {
thread_local ThreadState tState;

constexpr int kSpinsBeforeYield = 64;

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

#ifdef QUEVI_CHECKS
constexpr bool kChecks = true;
#else
constexpr bool kChecks = false;
#endif

bool isOrdered(ULONG order) {
    return order != SPIN_LOCK_ORDER_NONE;
}

// The lock-order rules for acquiring `lock`: an ordered lock only above every ordered lock held;
// an engine lock only when no other engine lock is held (engine locks come after every ordered
// one, so this is the same comparison with a message of its own).
void checkAcquire(ThreadState& ts, const KSPIN_LOCK* lock) {
    int listed = ts.heldCount < kMaxHeldSpinLocks ? ts.heldCount : kMaxHeldSpinLocks;
    for (int i = 0; i < listed; i++) {
        if (ts.held[i] == lock) {
            fatal("%s acquired twice by the same thread", describeLock(lock).c_str());
        }
    }
    if (!isOrdered(lock->order)) {
        return;
    }
    for (int i = 0; i < listed; i++) {
        const KSPIN_LOCK* h = ts.held[i];
        if (!isOrdered(h->order) || h->order < lock->order) {
            continue;
        }
        if (lock->order >= SPIN_LOCK_ORDER_ENGINE) {
            fatal("%s (engine) acquired while holding engine lock %s", describeLock(lock).c_str(),
                  describeLock(h).c_str());
        }
        fatal("%s (order %u) acquired while holding %s (order %u)", describeLock(lock).c_str(),
              lock->order, describeLock(h).c_str(), h->order);
    }
}

void noteAcquired(ThreadState& ts, KSPIN_LOCK* lock) {
    if (ts.heldCount < kMaxHeldSpinLocks) {
        ts.held[ts.heldCount] = lock;
    } else if (kChecks) {
        fatal("more than %d spin locks held at once, acquiring %s", kMaxHeldSpinLocks,
              describeLock(lock).c_str());
    }
    ts.heldCount++;
}

void noteReleased(ThreadState& ts, KSPIN_LOCK* lock) {
    int listed = ts.heldCount < kMaxHeldSpinLocks ? ts.heldCount : kMaxHeldSpinLocks;
    for (int i = 0; i < listed; i++) {
        if (ts.held[i] == lock) {
            for (int j = i + 1; j < listed; j++) {
                ts.held[j - 1] = ts.held[j];
            }
            ts.held[listed - 1] = nullptr;
            ts.heldCount--;
            return;
        }
    }
    if (kChecks) {
        fatal("%s released by a thread that does not hold it", describeLock(lock).c_str());
    }
}

void spinAcquire(KSPIN_LOCK* lock, ThreadState& ts) {
    if (kChecks) {
        checkAcquire(ts, lock);
    }
    for (int spins = 0;; spins++) {
        if (lock->locked.load(std::memory_order_relaxed) == 0 &&
            lock->locked.exchange(1, std::memory_order_acquire) == 0) {
            break;
        }
        if (spins < kSpinsBeforeYield) {
            cpuRelax();
        } else {
            std::this_thread::yield();
        }
    }
    lock->owner.store(ts.tid, std::memory_order_relaxed);
    noteAcquired(ts, lock);
}

void spinRelease(KSPIN_LOCK* lock, ThreadState& ts) {
    noteReleased(ts, lock);
    lock->owner.store(0, std::memory_order_relaxed);
    lock->locked.store(0, std::memory_order_release);
}

void setIrql(ThreadState& ts, KIRQL newIrql, const char* what) {
    if (kChecks && newIrql < DISPATCH_LEVEL && ts.heldCount > 0) {
        fatal("%s lowers IRQL to %u while holding %s", what, newIrql,
              describeLock(ts.held[0]).c_str());
    }
    ts.irql = newIrql;
}

void lowerIrql(KIRQL newIrql, const char* what) {
    ThreadState& ts = self();
    if (kChecks && newIrql > ts.irql) {
        fatal("%s to IRQL %u from the lower IRQL %u", what, newIrql, ts.irql);
    }
    KIRQL old = ts.irql;
    setIrql(ts, newIrql, what);
    if (old >= DISPATCH_LEVEL && newIrql < DISPATCH_LEVEL) {
        runDpcsOnIrqlDrop(ts);
    }
}
} // namespace

ThreadState& self() {
    ThreadState& ts = tState;
    if (ts.tid == 0) {
        ts.tid = static_cast<uint32_t>(gettid());
    }
    return ts;
}

void fatal(const char* format, ...) {
    char text[768];
    va_list ap;
    va_start(ap, format);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above.
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    std::fprintf(stderr, "quevi kernel: %s, on %s\n", text, currentThreadName().c_str());
    std::fflush(stderr);
    std::abort();
}

std::string describeLock(const KSPIN_LOCK* lock) {
    char text[160];
    if (lock != nullptr && lock->name != nullptr) {
        std::snprintf(text, sizeof text, "spin lock '%s' at %p", lock->name,
                      static_cast<const void*>(lock));
    } else {
        std::snprintf(text, sizeof text, "spin lock at %p", static_cast<const void*>(lock));
    }
    return text;
}

void checkMayWait(const char* what) {
    if (!kChecks) {
        return;
    }
    ThreadState& ts = self();
    if (ts.heldCount > 0) {
        fatal("%s waits while holding %s", what, describeLock(ts.held[0]).c_str());
    }
    if (ts.irql >= DISPATCH_LEVEL) {
        fatal("%s waits at IRQL %u (DISPATCH_LEVEL or above)", what, ts.irql);
    }
}

void checkThreadEnd(const char* how) {
    if (!kChecks) {
        return;
    }
    ThreadState& ts = self();
    if (ts.heldCount > 0) {
        fatal("system thread %s holding %s", how, describeLock(ts.held[0]).c_str());
    }
    if (ts.irql != PASSIVE_LEVEL) {
        fatal("system thread %s at IRQL %u", how, ts.irql);
    }
}

} // namespace qvk::detail

using qvk::detail::self;
using qvk::detail::ThreadState;

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock, const char* name, ULONG order) {
#ifdef QUEVI_CHECKS
    if (order > SPIN_LOCK_ORDER_ENGINE) {
        qvk::detail::fatal("spin lock '%s' initialised with the invalid order %u",
                           name != nullptr ? name : "", order);
    }
#endif
    SpinLock->locked.store(0, std::memory_order_relaxed);
    SpinLock->owner.store(0, std::memory_order_relaxed);
    SpinLock->name = name;
    SpinLock->order = order;
}

void KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    *OldIrql = KfAcquireSpinLock(SpinLock);
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    KfReleaseSpinLock(SpinLock, NewIrql);
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    ThreadState& ts = self();
    KIRQL old = ts.irql;
    if (ts.irql < DISPATCH_LEVEL) {
        ts.irql = DISPATCH_LEVEL;
    }
    qvk::detail::spinAcquire(SpinLock, ts);
    return old;
}

void KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    ThreadState& ts = self();
    qvk::detail::spinRelease(SpinLock, ts);
    qvk::detail::lowerIrql(NewIrql, "KfReleaseSpinLock");
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    ThreadState& ts = self();
#ifdef QUEVI_CHECKS
    if (ts.irql < DISPATCH_LEVEL) {
        qvk::detail::fatal("KeAcquireSpinLockAtDpcLevel of %s at IRQL %u (below DISPATCH_LEVEL)",
                           qvk::detail::describeLock(SpinLock).c_str(), ts.irql);
    }
#endif
    qvk::detail::spinAcquire(SpinLock, ts);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    qvk::detail::spinRelease(SpinLock, self());
}

KIRQL KeRaiseIrqlToDpcLevel() {
    KIRQL old = 0;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    ThreadState& ts = self();
#ifdef QUEVI_CHECKS
    if (NewIrql < ts.irql) {
        qvk::detail::fatal("KeRaiseIrql to IRQL %u from the higher IRQL %u", NewIrql, ts.irql);
    }
#endif
    *OldIrql = ts.irql;
    ts.irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql) {
    qvk::detail::lowerIrql(NewIrql, "KeLowerIrql");
}

void KfLowerIrql(KIRQL NewIrql) {
    qvk::detail::lowerIrql(NewIrql, "KfLowerIrql");
}

KIRQL KeGetCurrentIrql() {
    return self().irql;
}

namespace qvk {

std::string currentThreadName() {
    detail::ThreadState& ts = detail::self();
    char text[80];
    if (ts.systemHandle != nullptr) {
        std::snprintf(text, sizeof text, "system thread %p (tid %u)", ts.systemHandle, ts.tid);
    } else {
        std::snprintf(text, sizeof text, "thread tid %u", ts.tid);
    }
    return text;
}

int heldSpinLocks() {
    return detail::self().heldCount;
}

} // namespace qvk
