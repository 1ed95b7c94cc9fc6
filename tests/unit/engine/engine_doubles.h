// Recording doubles of the services the engine calls outside itself (transport records,
// completions, connection bring-up), so the engine's session life can be tested without a
// network or an adapter. Receive threads are simulated: a "connected" connection gets a thread
// that waits until its transport is broken and then leaves the session as a receive thread does.
#pragma once

#include "driver/engine/engine.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace enginetest {

struct Completion {
    enum Kind { Command, NoConnection, Reset, Abort, TaskMan } kind;
    PSCSI_REQUEST_BLOCK srb;
    ULONG function; // TaskMan
    ULONG result;   // TaskMan
    ULONG status;   // Command
};

struct Doubles {
    std::mutex mutex; // guards completions
    std::vector<Completion> completions;
    // Counters and switches are atomic: tests read and set them while engine threads run.
    std::atomic<int> allocateCalls{0};
    std::atomic<int> allocateFailAt{-1}; // fail the allocation with this index, -1 none
    std::atomic<int> breakCalls{0};
    std::atomic<int> destroyCalls{0};
    std::atomic<int> makeConnectionsCalls{0};
    std::atomic<ULONG> connectOnMake{0}; // how many connections makeTcpConnections brings up
    std::atomic<ULONG> bindToHandle{ISCSI_NO_SESSION}; // what findSessionHandle answers
    std::atomic<unsigned> receiveExitDelayMs{0}; // a simulated receive thread lingers after a break
    // While set, a no-connection completion waits for `release` (holds the command queue thread).
    std::atomic<bool> holdNoConnection{false};
    KEVENT release;
    // When set, makeTcpConnections has `deletion` delete its session as it ends, and waits (a
    // bounded time) for that deletion to block or finish (`deleted`) before it returns.
    std::atomic<bool> deleteOnMake{false};
    std::thread deletion;
    std::atomic<bool> deleted{false};
};

Doubles& doubles();
void resetDoubles();
std::vector<Completion> completions();

} // namespace enginetest
