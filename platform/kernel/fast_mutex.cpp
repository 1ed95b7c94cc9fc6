// Fast mutexes on the Linux futex: an uncontended acquire and release are one atomic operation
// each; only a contended release wakes a waiter. The state word is 0 free, 1 held, 2 held with
// waiters (the classic three-state futex mutex).
#include "platform/kernel/kernel_internal.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

void futexWait(std::atomic<uint32_t>* word, uint32_t expected) {
    syscall(SYS_futex, static_cast<void*>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void futexWakeOne(std::atomic<uint32_t>* word) {
    syscall(SYS_futex, static_cast<void*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

} // namespace

void ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->state.store(0);
    FastMutex->owner.store(0);
}

void ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) {
    qvk::detail::checkMayWait("ExAcquireFastMutexUnsafe");
    uint32_t tid = qvk::detail::self().tid;
#ifdef QUEVI_CHECKS
    if (tid != 0 && FastMutex->owner.load(std::memory_order_relaxed) == tid) {
        qvk::detail::fatal("fast mutex at %p acquired twice by the same thread",
                           static_cast<void*>(FastMutex));
    }
#endif
    uint32_t expected = 0;
    if (!FastMutex->state.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
        if (expected != 2) {
            expected = FastMutex->state.exchange(2, std::memory_order_acquire);
        }
        while (expected != 0) {
            futexWait(&FastMutex->state, 2);
            expected = FastMutex->state.exchange(2, std::memory_order_acquire);
        }
    }
    FastMutex->owner.store(tid, std::memory_order_relaxed);
}

void ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) {
#ifdef QUEVI_CHECKS
    if (FastMutex->owner.load(std::memory_order_relaxed) != qvk::detail::self().tid) {
        qvk::detail::fatal("fast mutex at %p released by a thread that does not hold it",
                           static_cast<void*>(FastMutex));
    }
#endif
    FastMutex->owner.store(0, std::memory_order_relaxed);
    if (FastMutex->state.exchange(0, std::memory_order_release) == 2) {
        futexWakeOne(&FastMutex->state);
    }
}
