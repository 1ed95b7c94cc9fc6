// Private to the port driver stand-in: the adapter record, its logical units and the functions
// its files share.
#pragma once

#include "platform/scsiport/port.h"

#include <mutex>
#include <vector>

// One logical unit. Guarded by the port's SpinLock, except ReadyPending (InterruptSpinLock).
struct SCSI_PORT_LU {
    SCSI_PORT_REQUEST* QueueHead; // waiting to be started; a BUSY request waits at the head
    SCSI_PORT_REQUEST* QueueTail;
    SCSI_PORT_REQUEST* ActiveHead; // held by the miniport
    ULONG ActiveCount;
    ULONG TagsInUse[8]; // bit n: queue tag n given to an active request
    UCHAR NextTag;
    BOOLEAN Ready;        // NextLuRequest seen: its next request starts before other units'
    BOOLEAN ReadyPending; // NextLuRequest noted, not yet taken in
};

// The miniport extension is allocated with this prefix, so the port is found from the extension
// pointer the miniport passes to the port services.
struct SCSI_PORT_EXTENSION_PREFIX {
    SCSI_PORT* Port;
    ULONG Magic;
    alignas(16) UCHAR Extension[1];
};

// The port's device extension: the header miniports read, then the port itself.
struct SCSI_PORT_DEVICE_EXTENSION {
    SCSI_PORT_EXTENSION_HEADER Header;
    SCSI_PORT* Port;
};

// Units with a NextLuRequest noted that the port keeps by name until it takes them in.
constexpr ULONG SCSI_PORT_READY_LISTED = 8;

// One adapter.
// Fixed after ScsiPortInitialize: DriverObject, DeviceObject, Locks, Hw, Config, ExtensionBlock,
// HwDeviceExtension, Lus (the array), LuCount, NumberOfBuses, NumberOfTargets.
// Guarded by SpinLock: the units' queues and active lists, QueuedCount, AdapterReady, NextLuScan,
// DoneHead/Tail.
// Guarded by InterruptSpinLock ("interrupt data", what notifications write): CompletedHead/Tail,
// NextRequestPending, ReadyPendingCount, ReadyPendingUnits, TimerRoutine, Initializing.
// Invariants: QueuedCount is the number of requests in all the units' queues; the first
// ReadyPendingCount entries of ReadyPendingUnits (while it is at most SCSI_PORT_READY_LISTED) name
// the units whose ReadyPending is set, so a request's path never scans every unit.
struct SCSI_PORT {
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT DeviceObject;
    SCSI_PORT_EXTENSION_HEADER* Locks;
    HW_INITIALIZATION_DATA Hw;
    PORT_CONFIGURATION_INFORMATION Config;
    SCSI_PORT_EXTENSION_PREFIX* ExtensionBlock;
    PVOID HwDeviceExtension;
    SCSI_PORT_LU* Lus; // LuCount units, path-major, from non-paged pool
    ULONG LuCount;
    ULONG NumberOfBuses;
    ULONG NumberOfTargets;

    BOOLEAN AdapterReady;
    ULONG NextLuScan;
    ULONG QueuedCount;
    SCSI_PORT_REQUEST* DoneHead;
    SCSI_PORT_REQUEST* DoneTail;

    SCSI_PORT_REQUEST* CompletedHead;
    SCSI_PORT_REQUEST* CompletedTail;
    BOOLEAN NextRequestPending;
    ULONG ReadyPendingCount;
    ULONG ReadyPendingUnits[SCSI_PORT_READY_LISTED]; // beyond that many, all units are looked at
    PHW_TIMER TimerRoutine;
    BOOLEAN Initializing;
    ULONG InitialTimerMicroseconds; // a timer requested during initialisation, armed after it

    std::atomic<bool> Stopping;
    KTIMER MiniportTimer;
    KDPC MiniportTimerDpc;
    KTIMER TickTimer;
    KDPC TickDpc;

    std::mutex ScanMutex; // guards ScanResults (host side, PASSIVE_LEVEL only)
    std::vector<SCSI_PORT_LU_INFO> ScanResults;

    std::atomic<uint64_t> HandedToMiniport;
    std::atomic<uint64_t> CompletedByMiniport;
    std::atomic<uint64_t> CompletedTwice;
    std::atomic<uint64_t> NeverCompleted;
    std::atomic<uint64_t> BusyRetries;
    std::atomic<uint64_t> Timeouts;
};

constexpr ULONG SCSI_PORT_EXTENSION_MAGIC = 0x53435350; // "SCSP"
constexpr ULONG SCSI_PORT_POOL_TAG = POOL_TAG("Scsi");

namespace qvport::detail {

// The port of a miniport extension pointer; aborts (with checks) on a pointer that is not one.
SCSI_PORT* portOfExtension(PVOID hwDeviceExtension);
ULONG luIndex(const SCSI_PORT* port, ULONG pathId, ULONG targetId, ULONG lun);
LONGLONG systemTime();

// DPC routines: the completion DPC of the port device object, the miniport timer, the tick.
void completionDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
void miniportTimerDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
void tickDpc(PKDPC dpc, PVOID context, PVOID, PVOID);

// Arms the miniport timer. Called with InterruptSpinLock held (or during initialisation).
void armMiniportTimer(SCSI_PORT* port, PHW_TIMER routine, ULONG microseconds);
// Takes the notifications in, starts what may start. Called at DISPATCH_LEVEL with SpinLock held;
// takes InterruptSpinLock itself.
void processNotifications(SCSI_PORT* port);
// Completes every request still waiting in a queue with the status (the port is stopping).
// Called with SpinLock held; the requests go to the done list.
void flushQueues(SCSI_PORT* port, UCHAR srbStatus);
// Runs the completion callbacks of the done list. Called at DISPATCH_LEVEL with no port lock.
void runCallbacks(SCSI_PORT* port);
// Reports each request the miniport still holds as never completed. SpinLock held.
void reportNeverCompleted(SCSI_PORT* port);

void addToTotals(const SCSI_PORT* port);
// Writes "scsiport: <text>" to stderr (the port's reports of miniport faults).
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Aborts with the message when the port's lock rules are broken (with QUEVI_CHECKS).
[[noreturn]] void fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace qvport::detail
