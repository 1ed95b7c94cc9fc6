// Controls of the kernel stand-in for the host program and the tests: the clock's scale, pool
// accounting and failure injection, the live-thread registry, the registry contents, the error log
// store and the debugger-output capture. The driver never calls these.
#pragma once

#include "platform/kernel/ntkernel.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qvk {

// ---- clock
// Every wait and delay lasts its nominal time multiplied by the scale (1 by default). Tests that
// need no real time-outs set e.g. 0.01 so a 3-second wait takes 30 ms.
void setTimeScale(double scale);
double timeScale();

// ---- pool
struct PoolTagUsage {
    uint32_t tag;
    uint64_t allocations; // outstanding
    uint64_t bytes;       // outstanding
};
// Outstanding allocations per tag.
std::vector<PoolTagUsage> poolUsage();
uint64_t poolOutstanding(); // all tags
uint64_t poolOutstanding(uint32_t tag);
// Text listing outstanding allocations per tag, empty when there are none.
std::string poolLeakReport();
// Fail the n-th allocation from now (1 = the next one); 0 cancels.
void poolFailNth(uint64_t n);
// Fail every allocation with this tag until cleared (tag 0 clears).
void poolFailTag(uint32_t tag);
// Count of allocations made since start (successful or failed).
uint64_t poolAllocationCount();

// ---- threads
size_t liveSystemThreads();
// Waits until no system thread is alive; false if the (real-time) limit passed first.
bool waitSystemThreadsQuiet(std::chrono::milliseconds limit);
// Make the next n thread creations fail (0 cancels).
void threadFailNext(int n);
// Make every thread creation fail until cleared.
void threadFailAll(bool fail);

// ---- registry (values under the services key, e.g. path "QueviSCSI\\Parameters")
void registrySetDword(const std::string& path, const std::string& name, uint32_t value);
void registrySetString(const std::string& path, const std::string& name, const std::string& value);
void registryCreateKey(const std::string& path);
void registryClear();

// ---- error log
// Message table lookup for rendering entries: returns the text of an id with %1 for the
// driver name, %2 and %3 for the insertion strings; null for an unknown id. The driver's
// runtime registers its table at start.
using MessageTextLookup = const char* (*)(uint32_t id);
void errorLogSetMessageTable(MessageTextLookup lookup);

struct ErrorLogEntry {
    uint32_t errorCode;
    uint32_t uniqueErrorValue;
    std::vector<std::u16string> strings;
    std::vector<uint8_t> raw; // the packet as written, header and strings
    std::string text;         // rendered from the message table, "" when the id is unknown
};
std::vector<ErrorLogEntry> errorLogEntries();
void errorLogClear();
// Make the next n entry allocations fail (0 cancels).
void errorLogFailNext(int n);
// The name inserted for %1; when empty (the default), the name of the entry's driver object.
void errorLogSetDriverName(const std::string& name);

// ---- debugger output
// While capturing, DbgPrint appends to a buffer instead of writing to stderr.
void dbgCaptureStart();
std::string dbgCaptureTake(); // returns what was captured and clears it
void dbgCaptureStop();
// Calls hook with each printed text, on the printing thread after the text is printed and outside
// the print lock, so that a test can drive the code under test into a chosen interleaving at a
// trace line. An empty hook removes it.
void dbgSetHook(std::function<void(const std::string&)> hook);

// ---- named objects
// The tool's side of a named notification event (what CreateEvent is in user mode): creates it in
// the given state, or opens it unchanged if it exists; null for an empty name. The handle is
// closed with ZwClose like the driver's.
PKEVENT createNamedEvent(const std::string& name, bool signalled, PHANDLE handle);
// Number of open handles to the named event; 0 when it does not exist.
int namedEventHandles(const std::string& name);
// Forgets every named event and handle (between tests; nothing may still use them).
void namedEventsClear();

// ---- drivers (the host creates driver objects before calling their entries)
PDRIVER_OBJECT createDriverObject(const std::string& name);
void deleteDriverObject(PDRIVER_OBJECT driver);

// ---- deferred procedure calls
// While held, queued DPCs run only through dpcRunPending (not on IRQL drops), so a test can look
// at the state between a DPC's queuing and its run. A DPC already running when the hold begins
// still finishes (KeFlushQueuedDpcs waits for it).
void dpcHold(bool hold);
// Runs every queued DPC on the calling thread at DISPATCH_LEVEL; returns how many ran. The caller
// holds no spin lock.
int dpcRunPending();
// Number of DPCs waiting in the queue.
size_t dpcQueued();

// ---- checks
// Whether the calling thread holds the spin lock.
bool holdsSpinLock(const KSPIN_LOCK* lock);
// With QUEVI_CHECKS a lock-rule violation aborts with a message naming the lock and the thread
// (tests of the checks run in death tests). Messages read "quevi kernel: <what>, on <thread>",
// a lock being "spin lock 'name' at 0x..." (or "spin lock at 0x..." when unnamed), e.g.
//   "KeWaitForSingleObject waits while holding spin lock 'sessionsLock' at 0x..."
//   "KeDelayExecutionThread waits at IRQL 2 (DISPATCH_LEVEL or above)"
//   "spin lock 'x' at 0x... acquired twice by the same thread"
//   "spin lock 'x' at 0x... released by a thread that does not hold it"
//   "spin lock 'b' at 0x... (order 10) acquired while holding spin lock 'a' at 0x... (order 20)"
//   "spin lock 'b' at 0x... (engine) acquired while holding engine lock spin lock 'a' at 0x..."
//   "KfLowerIrql lowers IRQL to 0 while holding spin lock 'x' at 0x..."
//   "system thread returned from its start routine at IRQL 2" / "... holding spin lock ..."
//   "system thread terminated itself at IRQL 2" / "... holding spin lock ..."
// The thread's name in those messages ("thread tid N" or "system thread 0x... (tid N)"):
std::string currentThreadName();
// Number of spin locks the calling thread holds.
int heldSpinLocks();

// Converts UTF-8 to 16-bit characters and back (ASCII is all the driver needs).
std::u16string toU16(const std::string& s);
std::string fromU16(const std::u16string& s);
std::string fromU16(PCWSTR s);

} // namespace qvk
