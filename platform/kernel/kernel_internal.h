// Private to the kernel stand-in: the per-thread state (IRQL, held spin locks), the fatal-check
// reporter, the scaled clock's deadlines and the handle numbering shared by its files.
#pragma once

#include "platform/kernel/ntkernel.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace qvk::detail {

constexpr int kMaxHeldSpinLocks = 16;

// One per OS thread (thread_local); only its own thread touches it.
struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    int heldCount = 0;                        // spin locks held, may exceed the array
    KSPIN_LOCK* held[kMaxHeldSpinLocks] = {}; // the first kMaxHeldSpinLocks of them
    uint32_t tid = 0;                         // OS thread id, filled on first use
    HANDLE systemHandle = nullptr;            // set for system threads
    bool runningDpcs = false;                 // inside the DPC loop (no nested loop)
};

ThreadState& self();

// Writes "quevi kernel: <text>" and the calling thread's name to stderr and aborts.
[[noreturn]] void fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "spin lock 'name' at 0x..." or "spin lock at 0x..." for an unnamed lock.
std::string describeLock(const KSPIN_LOCK* lock);

// Aborts (with checks on) when the calling thread may not wait: at DISPATCH_LEVEL or holding a
// spin lock. `what` names the call.
void checkMayWait(const char* what);
// Runs the queued DPCs on the calling thread, which has just dropped below DISPATCH_LEVEL, unless
// DPCs are held, the thread already runs them, or it still holds a spin lock.
void runDpcsOnIrqlDrop(ThreadState& ts);
// Aborts (with checks on) when a system thread ends at raised IRQL or holding a spin lock.
void checkThreadEnd(const char* how);

// The real-time point at which a wait with this NT time-out ends (null: never; negative: relative
// in 100 ns units; positive: absolute on the system-time clock), scaled by the time scale.
using SteadyTime = std::chrono::steady_clock::time_point;
SteadyTime deadlineFor(const LARGE_INTEGER* timeout);
constexpr SteadyTime kNoDeadline = SteadyTime::max();

// Handles: positive, unique for the process; the low bits tell a thread handle from an object
// handle so ZwClose can accept the former.
HANDLE newThreadHandle();
HANDLE newObjectHandle();
bool isThreadHandle(HANDLE h);

// The name of the driver that owns an I/O object (driver or device), "" when unknown.
std::string driverNameOf(PVOID ioObject);

// ASCII lower-case of a 16-bit string, for case-insensitive names.
std::string foldName(const std::u16string& s);

} // namespace qvk::detail
