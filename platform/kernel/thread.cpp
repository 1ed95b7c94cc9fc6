// System threads: detached pthreads that start at PASSIVE_LEVEL, with a registry of the live ones
// so tests can wait until the driver is quiet, and injectable creation failure.
//
// A thread leaves the registry when its start routine returns or when it calls
// PsTerminateSystemThread; the latter does the bookkeeping before pthread_exit, so nothing depends
// on the unwinding of the thread's frames.
#include "platform/kernel/host.h"
#include "platform/kernel/kernel_internal.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <pthread.h>

namespace {

// Guarded by threadsMutex: live, failNext, failAll.
struct ThreadRegistry {
    std::mutex threadsMutex;
    std::condition_variable quiet; // notified when live drops to 0
    size_t live = 0;
    int failNext = 0;
    bool failAll = false;
};

ThreadRegistry& registry() {
    // Never destroyed: detached threads may still use it while the process exits.
    static ThreadRegistry* state = new ThreadRegistry;
    return *state;
}

// Handed from the creator to the new thread, which frees it.
struct ThreadStart {
    PKSTART_ROUTINE routine;
    PVOID context;
    HANDLE handle;
};

// Each thread unregisters exactly once; the flag guards against a second call.
thread_local bool tUnregistered = false;

void unregisterSelf() {
    if (tUnregistered) {
        return;
    }
    tUnregistered = true;
    ThreadRegistry& r = registry();
    std::lock_guard<std::mutex> guard(r.threadsMutex);
    r.live--;
    if (r.live == 0) {
        r.quiet.notify_all();
    }
}

void* systemThreadMain(void* arg) {
    ThreadStart start = *static_cast<ThreadStart*>(arg);
    delete static_cast<ThreadStart*>(arg);
    qvk::detail::ThreadState& ts = qvk::detail::self();
    ts.systemHandle = start.handle;
    ts.irql = PASSIVE_LEVEL;
    char name[16];
    std::snprintf(name, sizeof name, "qv-sys-%lx",
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(start.handle)));
    pthread_setname_np(pthread_self(), name);

    start.routine(start.context);
    qvk::detail::checkThreadEnd("returned from its start routine");
    unregisterSelf();
    return nullptr;
}

} // namespace

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG, PVOID, HANDLE, PVOID,
                              PKSTART_ROUTINE StartRoutine, PVOID StartContext) {
    if (ThreadHandle == nullptr || StartRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ThreadRegistry& r = registry();
    {
        std::lock_guard<std::mutex> guard(r.threadsMutex);
        if (r.failAll) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (r.failNext > 0) {
            r.failNext--;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        // Counted before it runs, so a waiter for quiet cannot miss a thread being started.
        r.live++;
    }
    HANDLE handle = qvk::detail::newThreadHandle();
    auto* start = new ThreadStart{StartRoutine, StartContext, handle};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, systemThreadMain, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        std::lock_guard<std::mutex> guard(r.threadsMutex);
        r.live--;
        if (r.live == 0) {
            r.quiet.notify_all();
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *ThreadHandle = handle;
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS) {
    if (qvk::detail::self().systemHandle == nullptr) {
        qvk::detail::fatal("PsTerminateSystemThread called on a thread that is not a system "
                           "thread");
    }
    qvk::detail::checkThreadEnd("terminated itself");
    unregisterSelf();
    pthread_exit(nullptr);
}

namespace qvk {

size_t liveSystemThreads() {
    ThreadRegistry& r = registry();
    std::lock_guard<std::mutex> guard(r.threadsMutex);
    return r.live;
}

bool waitSystemThreadsQuiet(std::chrono::milliseconds limit) {
    ThreadRegistry& r = registry();
    std::unique_lock<std::mutex> lock(r.threadsMutex);
    return r.quiet.wait_for(lock, limit, [&r] { return r.live == 0; });
}

void threadFailNext(int n) {
    ThreadRegistry& r = registry();
    std::lock_guard<std::mutex> guard(r.threadsMutex);
    r.failNext = n < 0 ? 0 : n;
}

void threadFailAll(bool fail) {
    ThreadRegistry& r = registry();
    std::lock_guard<std::mutex> guard(r.threadsMutex);
    r.failAll = fail;
}

} // namespace qvk
