// Deferred procedure calls and kernel timers.
//
// One DPC queue for the process (one "processor"). A DPC runs on whichever thread next lowers its
// IRQL below DISPATCH_LEVEL with no spin lock held, or on the inserting thread at once when that
// thread is at PASSIVE_LEVEL; the routine runs at DISPATCH_LEVEL. Tests may hold the queue and run
// it themselves (qvk::dpcHold, qvk::dpcRunPending).
//
// Timers live in one list sorted by due time, served by a kernel timer thread that sleeps until
// the earliest expiry on the scaled clock and queues the expired timers' DPCs (running them itself
// when it lowers its IRQL). The thread starts with the first timer and lives for the process.
#include "platform/kernel/host.h"
#include "platform/kernel/kernel_internal.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Guarded by dpcMutex: the queue (head, tail, each queued DPC's link and arguments), running.
struct DpcQueue {
    std::mutex dpcMutex;
    std::condition_variable idle; // notified when a DPC ends or the queue empties
    KDPC* head = nullptr;
    KDPC* tail = nullptr;
    int running = 0;
    std::atomic<size_t> queued{0}; // also read without the lock on every IRQL drop
    std::atomic<bool> hold{false};
};

DpcQueue& dpcs() {
    // Never destroyed: the timer thread may still queue DPCs while the process exits.
    static DpcQueue* q = new DpcQueue;
    return *q;
}

// Guarded by timerMutex: the sorted list, each set timer's fields, started.
struct TimerQueue {
    std::mutex timerMutex;
    std::condition_variable changed;
    KTIMER* head = nullptr;
    bool started = false;
};

TimerQueue& timers() {
    static TimerQueue* q = new TimerQueue;
    return *q;
}

LONGLONG systemTimeNow() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

// Takes the timer out of the list if it is there. Called with timerMutex held.
bool unlinkTimer(TimerQueue& q, KTIMER* timer) {
    for (KTIMER** link = &q.head; *link != nullptr; link = &(*link)->link) {
        if (*link == timer) {
            *link = timer->link;
            timer->link = nullptr;
            timer->inserted.store(0);
            return true;
        }
    }
    return false;
}

// Inserts the timer in due order (after timers due at the same time). Called with timerMutex held.
void linkTimer(TimerQueue& q, KTIMER* timer) {
    KTIMER** link = &q.head;
    while (*link != nullptr && (*link)->DueTime <= timer->DueTime) {
        link = &(*link)->link;
    }
    timer->link = *link;
    *link = timer;
    timer->inserted.store(1);
}

void timerThreadMain() {
    TimerQueue& q = timers();
    std::unique_lock<std::mutex> lock(q.timerMutex);
    for (;;) {
        if (q.head == nullptr) {
            q.changed.wait(lock);
            continue;
        }
        LONGLONG now = systemTimeNow();
        if (q.head->DueTime > now) {
            LARGE_INTEGER due;
            due.QuadPart = q.head->DueTime;
            q.changed.wait_until(lock, qvk::detail::deadlineFor(&due));
            continue;
        }
        // Queue the DPCs of every expired timer at DISPATCH_LEVEL; they run when the thread
        // lowers its IRQL again, after the lock is released.
        KIRQL old = KeRaiseIrqlToDpcLevel();
        while (q.head != nullptr && q.head->DueTime <= now) {
            KTIMER* timer = q.head;
            q.head = timer->link;
            timer->link = nullptr;
            timer->inserted.store(0);
            PKDPC dpc = timer->Dpc;
            if (timer->Period > 0) {
                timer->DueTime += static_cast<LONGLONG>(timer->Period) * 10000;
                linkTimer(q, timer);
            }
            if (dpc != nullptr) {
                KeInsertQueueDpc(dpc, nullptr, nullptr);
            }
        }
        lock.unlock();
        KeLowerIrql(old);
        lock.lock();
    }
}

BOOLEAN setTimer(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    LONGLONG due = DueTime.QuadPart <= 0 ? systemTimeNow() - DueTime.QuadPart : DueTime.QuadPart;
    TimerQueue& q = timers();
    std::lock_guard<std::mutex> guard(q.timerMutex);
    if (!q.started) {
        q.started = true;
        std::thread(timerThreadMain).detach();
    }
    bool wasSet = unlinkTimer(q, Timer);
    Timer->DueTime = due;
    Timer->Period = Period > 0 ? Period : 0;
    Timer->Dpc = Dpc;
    linkTimer(q, Timer);
    if (q.head == Timer) {
        q.changed.notify_one();
    }
    return wasSet ? TRUE : FALSE;
}

// Runs queued DPCs on the calling thread at DISPATCH_LEVEL until the queue is empty (or, unless
// `evenHeld`, until DPCs are held); returns how many ran. The caller holds no spin lock.
int runDpcs(qvk::detail::ThreadState& ts, bool evenHeld) {
    DpcQueue& q = dpcs();
    KIRQL old = ts.irql;
    ts.irql = DISPATCH_LEVEL;
    ts.runningDpcs = true;
    int ran = 0;
    for (;;) {
        std::unique_lock<std::mutex> lock(q.dpcMutex);
        KDPC* dpc = q.head;
        if (dpc == nullptr || (q.hold.load() && !evenHeld)) {
            break;
        }
        q.head = dpc->link;
        if (q.head == nullptr) {
            q.tail = nullptr;
        }
        dpc->link = nullptr;
        PVOID arg1 = dpc->SystemArgument1;
        PVOID arg2 = dpc->SystemArgument2;
        dpc->inserted.store(0);
        q.queued.fetch_sub(1);
        q.running++;
        lock.unlock();

        dpc->DeferredRoutine(dpc, dpc->DeferredContext, arg1, arg2);
        ran++;
#ifdef QUEVI_CHECKS
        if (ts.heldCount > 0) {
            qvk::detail::fatal("DPC routine returned holding %s",
                               qvk::detail::describeLock(ts.held[0]).c_str());
        }
        if (ts.irql != DISPATCH_LEVEL) {
            qvk::detail::fatal("DPC routine returned at IRQL %u", ts.irql);
        }
#endif
        lock.lock();
        q.running--;
        q.idle.notify_all();
    }
    ts.runningDpcs = false;
    ts.irql = old;
    {
        std::lock_guard<std::mutex> guard(q.dpcMutex);
        q.idle.notify_all();
    }
    return ran;
}

} // namespace

namespace qvk::detail {

void runDpcsOnIrqlDrop(ThreadState& ts) {
    DpcQueue& q = dpcs();
    if (q.queued.load(std::memory_order_relaxed) == 0 || q.hold.load() || ts.runningDpcs ||
        ts.heldCount > 0) {
        return;
    }
    (void)runDpcs(ts, false);
}

} // namespace qvk::detail

void KeInitializeDpc(PKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = nullptr;
    Dpc->SystemArgument2 = nullptr;
    Dpc->link = nullptr;
    Dpc->inserted.store(0);
}

BOOLEAN KeInsertQueueDpc(PKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    DpcQueue& q = dpcs();
    {
        std::lock_guard<std::mutex> guard(q.dpcMutex);
        if (Dpc->inserted.load() != 0) {
            return FALSE;
        }
        Dpc->SystemArgument1 = SystemArgument1;
        Dpc->SystemArgument2 = SystemArgument2;
        Dpc->link = nullptr;
        if (q.tail != nullptr) {
            q.tail->link = Dpc;
        } else {
            q.head = Dpc;
        }
        q.tail = Dpc;
        Dpc->inserted.store(1);
        q.queued.fetch_add(1);
    }
    qvk::detail::ThreadState& ts = qvk::detail::self();
    if (ts.irql < DISPATCH_LEVEL) {
        qvk::detail::runDpcsOnIrqlDrop(ts);
    }
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PKDPC Dpc) {
    DpcQueue& q = dpcs();
    std::lock_guard<std::mutex> guard(q.dpcMutex);
    KDPC* previous = nullptr;
    for (KDPC* p = q.head; p != nullptr; previous = p, p = p->link) {
        if (p != Dpc) {
            continue;
        }
        if (previous != nullptr) {
            previous->link = p->link;
        } else {
            q.head = p->link;
        }
        if (q.tail == p) {
            q.tail = previous;
        }
        p->link = nullptr;
        p->inserted.store(0);
        q.queued.fetch_sub(1);
        return TRUE;
    }
    return FALSE;
}

void KeFlushQueuedDpcs() {
    qvk::detail::checkMayWait("KeFlushQueuedDpcs");
    qvk::detail::runDpcsOnIrqlDrop(qvk::detail::self());
    DpcQueue& q = dpcs();
    std::unique_lock<std::mutex> lock(q.dpcMutex);
    q.idle.wait(lock, [&] { return q.running == 0 && (q.head == nullptr || q.hold.load()); });
}

void KeInitializeTimer(PKTIMER Timer) {
    Timer->DueTime = 0;
    Timer->Period = 0;
    Timer->Dpc = nullptr;
    Timer->link = nullptr;
    Timer->inserted.store(0);
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return setTimer(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    return setTimer(Timer, DueTime, Period, Dpc);
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    TimerQueue& q = timers();
    std::lock_guard<std::mutex> guard(q.timerMutex);
    return unlinkTimer(q, Timer) ? TRUE : FALSE;
}

namespace qvk {

void dpcHold(bool hold) {
    dpcs().hold.store(hold);
    if (!hold) {
        detail::ThreadState& ts = detail::self();
        if (ts.irql < DISPATCH_LEVEL) {
            detail::runDpcsOnIrqlDrop(ts);
        }
    }
}

int dpcRunPending() {
    detail::ThreadState& ts = detail::self();
#ifdef QUEVI_CHECKS
    if (ts.heldCount > 0 || ts.runningDpcs) {
        detail::fatal("dpcRunPending called holding a spin lock or from a DPC");
    }
#endif
    return runDpcs(ts, true);
}

size_t dpcQueued() {
    return dpcs().queued.load();
}

bool holdsSpinLock(const KSPIN_LOCK* lock) {
    detail::ThreadState& ts = detail::self();
    int listed =
        ts.heldCount < detail::kMaxHeldSpinLocks ? ts.heldCount : detail::kMaxHeldSpinLocks;
    for (int i = 0; i < listed; i++) {
        if (ts.held[i] == lock) {
            return true;
        }
    }
    return false;
}

} // namespace qvk
