// Dispatcher events and KeWaitForSingleObject, on the Linux futex.
//
// `signalled` is both the state and the futex word. A setter that turns it from 0 to 1 then
// issues the futex wake; futex_wait rechecks the word in the kernel under the same lock as the
// wake, so no wake-up is lost between a waiter's look at the state and its sleep. A set that finds
// the word already 1 issues no wake: a waiter sleeps only while the word is 0, so every sleeper
// went to sleep before the set that made it 1, and that setter's wake reaches it. This keeps the
// events set once per request (the command queue's, a session's release) from costing a system
// call each while their thread is busy or nobody waits. The wake does not depend on `waiters`
// reading 0 because the driver re-initialises or zero-fills records that hold events, which would
// make a waiter count unreliable; `waiters` is kept for diagnosis.
// A synchronization event is consumed by the one waiter whose compare-and-swap takes it from 1
// to 0; a woken waiter that loses that race simply waits again. Sets that arrive while the event
// is already signalled merge into one, as for any event.
#include "platform/kernel/kernel_internal.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr uint32_t kEventMagic = 0x45564e54; // "EVNT"

static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
                  std::atomic<uint32_t>::is_always_lock_free,
              "the futex word must be a plain 32-bit word");

void futexWait(std::atomic<uint32_t>* word, uint32_t expected, const timespec* relative) {
    syscall(SYS_futex, static_cast<void*>(word), FUTEX_WAIT_PRIVATE, expected, relative, nullptr,
            0);
}

void futexWake(std::atomic<uint32_t>* word, int count) {
    syscall(SYS_futex, static_cast<void*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

PKEVENT checkedEvent(PVOID object, const char* what) {
    PKEVENT event = static_cast<PKEVENT>(object);
#ifdef QUEVI_CHECKS
    if (event == nullptr) {
        qvk::detail::fatal("%s on a null object", what);
    }
    // All-zero is a notification event that was never initialised; anything else must carry the
    // mark KeInitializeEvent leaves.
    if ((event->magic != kEventMagic && event->magic != 0) || event->type > SynchronizationEvent) {
        qvk::detail::fatal("%s on %p, which is not an initialised event", what, object);
    }
#else
    (void)what;
#endif
    return event;
}

// Takes the signal if the event is signalled: a synchronization event is reset by the taking.
bool tryTake(PKEVENT event) {
    if (event->type == SynchronizationEvent) {
        uint32_t expected = 1;
        return event->signalled.compare_exchange_strong(expected, 0);
    }
    return event->signalled.load() != 0;
}

timespec toTimespec(std::chrono::steady_clock::duration d) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    timespec ts;
    ts.tv_sec = static_cast<time_t>(ns / 1000000000);
    ts.tv_nsec = static_cast<long>(ns % 1000000000);
    return ts;
}

} // namespace

void KeInitializeEvent(PKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->signalled.store(State ? 1 : 0);
    Event->waiters.store(0);
    Event->type = static_cast<uint32_t>(Type);
    Event->magic = kEventMagic;
}

LONG KeSetEvent(PKEVENT Event, LONG, BOOLEAN) {
    checkedEvent(Event, "KeSetEvent");
    // Nothing of the event is read after the signal: a waiter released by it may free the event
    // (one on its stack) at once. The wake only names the word's address.
    int wake = Event->type == SynchronizationEvent ? 1 : INT_MAX;
    uint32_t previous = Event->signalled.exchange(1);
    if (previous == 0) {
        futexWake(&Event->signalled, wake);
    }
    return static_cast<LONG>(previous);
}

void KeClearEvent(PKEVENT Event) {
    checkedEvent(Event, "KeClearEvent");
    Event->signalled.store(0);
}

LONG KeResetEvent(PKEVENT Event) {
    checkedEvent(Event, "KeResetEvent");
    return static_cast<LONG>(Event->signalled.exchange(0));
}

LONG KeReadStateEvent(PKEVENT Event) {
    checkedEvent(Event, "KeReadStateEvent");
    return static_cast<LONG>(Event->signalled.load());
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER Timeout) {
    PKEVENT event = checkedEvent(Object, "KeWaitForSingleObject");
    if (Timeout != nullptr && Timeout->QuadPart == 0) {
        return tryTake(event) ? STATUS_SUCCESS : STATUS_TIMEOUT;
    }
    qvk::detail::checkMayWait("KeWaitForSingleObject");
    qvk::detail::SteadyTime deadline = qvk::detail::deadlineFor(Timeout);
    if (tryTake(event)) {
        return STATUS_SUCCESS;
    }
    event->waiters.fetch_add(1);
    NTSTATUS status = STATUS_TIMEOUT;
    for (;;) {
        if (tryTake(event)) {
            status = STATUS_SUCCESS;
            break;
        }
        if (deadline == qvk::detail::kNoDeadline) {
            futexWait(&event->signalled, 0, nullptr);
            continue;
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            break;
        }
        timespec remaining = toTimespec(deadline - now);
        futexWait(&event->signalled, 0, &remaining);
    }
    event->waiters.fetch_sub(1);
    return status;
}
