// System threads: handles, the live registry, creation failure and self-termination.
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>

namespace {

using std::chrono::milliseconds;

struct Probe {
    KEVENT go;
    std::atomic<int> ran{0};
    std::atomic<int> irqlSeen{-1};
    std::atomic<bool> afterTerminate{false};
};

void waitForGo(PVOID context) {
    auto* p = static_cast<Probe*>(context);
    p->irqlSeen = KeGetCurrentIrql();
    p->ran++;
    KeWaitForSingleObject(&p->go, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

HANDLE start(PKSTART_ROUTINE routine, PVOID context) {
    HANDLE h = nullptr;
    EXPECT_EQ(
        PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context),
        STATUS_SUCCESS);
    return h;
}

TEST(SystemThread, HandlesArePositiveAndUniqueAndThreadsStartAtPassive) {
    Probe probe;
    KeInitializeEvent(&probe.go, NotificationEvent, FALSE);
    std::set<HANDLE> handles;
    constexpr int kThreads = 6;
    for (int i = 0; i < kThreads; i++) {
        HANDLE h = start(waitForGo, &probe);
        EXPECT_GT(reinterpret_cast<intptr_t>(h), 0);
        EXPECT_NE(reinterpret_cast<intptr_t>(h), -1);
        handles.insert(h);
    }
    EXPECT_EQ(handles.size(), static_cast<size_t>(kThreads));
    EXPECT_EQ(qvk::liveSystemThreads(), static_cast<size_t>(kThreads));
    // Not quiet while they wait.
    EXPECT_FALSE(qvk::waitSystemThreadsQuiet(milliseconds(20)));
    KeSetEvent(&probe.go, 0, FALSE);
    EXPECT_TRUE(qvk::waitSystemThreadsQuiet(milliseconds(5000)));
    EXPECT_EQ(qvk::liveSystemThreads(), 0u);
    EXPECT_EQ(probe.ran, kThreads);
    EXPECT_EQ(probe.irqlSeen, PASSIVE_LEVEL);
    for (HANDLE h : handles) {
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS); // accepted, does nothing
    }
}

void justReturns(PVOID context) {
    static_cast<Probe*>(context)->ran++;
}

void nestedTerminate(Probe* p) {
    PsTerminateSystemThread(STATUS_SUCCESS);
    p->afterTerminate = true; // never reached
}

void terminatesFromNestedCall(PVOID context) {
    auto* p = static_cast<Probe*>(context);
    p->ran++;
    nestedTerminate(p);
    p->afterTerminate = true;
}

TEST(SystemThread, ReturningOrTerminatingFromANestedCallEndsTheThread) {
    Probe probe;
    start(terminatesFromNestedCall, &probe);
    for (int i = 0; i < 3; i++) {
        start(justReturns, &probe);
    }
    ASSERT_TRUE(qvk::waitSystemThreadsQuiet(milliseconds(5000)));
    EXPECT_EQ(probe.ran, 4);
    EXPECT_FALSE(probe.afterTerminate);
}

TEST(SystemThread, CreationFailureInjection) {
    Probe probe;
    HANDLE h = reinterpret_cast<HANDLE>(0x1234);
    qvk::threadFailNext(2);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                       justReturns, &probe),
                  STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(h, reinterpret_cast<HANDLE>(0x1234)); // untouched on failure
    EXPECT_EQ(qvk::liveSystemThreads(), 0u);
    start(justReturns, &probe);

    qvk::threadFailAll(true);
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                       justReturns, &probe),
                  STATUS_INSUFFICIENT_RESOURCES);
    }
    qvk::threadFailAll(false);
    start(justReturns, &probe);
    ASSERT_TRUE(qvk::waitSystemThreadsQuiet(milliseconds(5000)));
    EXPECT_EQ(probe.ran, 2);
}

TEST(SystemThread, ThreadNameNamesTheSystemThread) {
    struct Names {
        std::string inside;
    } names;
    start([](PVOID c) { static_cast<Names*>(c)->inside = qvk::currentThreadName(); }, &names);
    ASSERT_TRUE(qvk::waitSystemThreadsQuiet(milliseconds(5000)));
    EXPECT_EQ(names.inside.rfind("system thread 0x", 0), 0u) << names.inside;
    EXPECT_EQ(qvk::currentThreadName().rfind("thread tid ", 0), 0u);
}

} // namespace
