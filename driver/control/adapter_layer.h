// What the control channel shares with the adapter above it: the device extension with its per-bus
// target records, and the adapter routines the message handler calls, defined by the adapter.
//
// Lock order on the adapter side: the port driver's SpinLock, then its InterruptSpinLock, then
// TimerLock, then AdapterLock; CommandsToCompleteLock is taken alone or innermost under TimerLock.
// No engine lock is ever held when one of these is taken, and no adapter completion is called
// with an engine lock held (the kernel stand-in checks both with QUEVI_CHECKS). The port driver
// holds its two locks when it calls HwScsiStartIo, HwScsiResetBus and HwScsiTimer; code outside
// those callbacks raises to DISPATCH_LEVEL and takes both before it notifies the port.
#pragma once

#include "driver/api/control.h"
#include "driver/runtime/shared_field.h"

// TARGET_INFO.Status bits.
constexpr ULONG TARGET_LOGIN_PENDING = 0x01;
constexpr ULONG TARGET_SECURITY_PENDING = 0x02;
constexpr ULONG TARGET_SECURITY_SUCCEEDED = 0x04;
constexpr ULONG TARGET_ADD_COMPLETE = 0x08;
constexpr ULONG TARGET_SECURITY_FAILED = 0x10;

// The configuration of one target bus (0..7). Written by the message handler (adding, removing)
// and by the control requests; SessionHandle and Status are also read by the request path
// without a lock, so they are atomic. LoginParams/LoginParamsLength are written by the login's
// security hand-off before it signals the tool and read by SECURITY_BEGIN after that.
struct TARGET_INFO {
    ULONG NumConnections;
    ULONG IpAddress; // first octet in the most significant byte
    USHORT PortNum;
    Shared<LONG> SessionHandle; // -1 when session creation failed
    char LoginString[TARGET_TEXT_SIZE];
    ULONG LoginStringLength;
    PKEVENT SecurityBeginEvent;
    KEVENT SecurityCompleteEvent;
    KEVENT SessionCreatedEvent;
    HANDLE SecurityBeginEventHandle;
    char LoginParams[TARGET_TEXT_SIZE];
    ULONG LoginParamsLength;
    Shared<ULONG> Status;
};

// The adapter's part of every request: the port's SRB extension (SrbExtensionSize). It carries
// the link of the deferred-completion queue and of the list of requests the adapter keeps without
// handing them on, so neither ever needs an allocation that could fail. Initialised by
// HwScsiStartIo; Next and Queued are guarded by CommandsToCompleteLock, HeldNext/HeldPrev and Held
// by AdapterLock.
struct ADAPTER_SRB_EXTENSION {
    ADAPTER_SRB_EXTENSION* Next; // CommandsToComplete
    PSCSI_REQUEST_BLOCK Srb;
    ULONG Queued; // 1 while on CommandsToComplete
    ADAPTER_SRB_EXTENSION* HeldNext;
    ADAPTER_SRB_EXTENSION* HeldPrev;
    ULONG Held; // 1 while on the held list
};

// Completions deferred to HwScsiTimer, oldest first. Guarded by CommandsToCompleteLock.
struct COMMANDS_TO_COMPLETE_QUEUE {
    ADAPTER_SRB_EXTENSION* Head;
    ADAPTER_SRB_EXTENSION* Tail;
    ULONG Count;
};

// The adapter's one device extension, allocated zeroed by the port driver and reached through
// pMyDevExt. Per-bus arrays are indexed by the path id. Guarded by AdapterLock:
// NumberOfCommandsQueued, BusyCompletions and BusyTimerState updates, the held list. Fields read
// without a lock on purpose (the request path's checks, the busy timer's polling, the flags the
// control requests and the message handler set) are atomic. MaximumConcurrency, TimeOutValue and
// the lock pointers are fixed once HwScsiInitialize has run.
struct HW_DEVICE_EXTENSION {
    Shared<UCHAR> TargetActive[ADAPTER_TARGET_BUSES];
    Shared<UCHAR> DynamicallyRemovable[ADAPTER_TARGET_BUSES];
    TARGET_INFO TargetInfo[ADAPTER_TARGET_BUSES];
    Shared<LONG> NumberOfCommandsQueued[ADAPTER_BUSES];
    LONG MaximumConcurrency[ADAPTER_BUSES];
    Shared<ULONG> BusyCompletions[ADAPTER_TARGET_BUSES];
    Shared<ULONG> BusyTimerState[ADAPTER_TARGET_BUSES];
    Shared<ULONG> RejectedLogins[ADAPTER_TARGET_BUSES];
    KSPIN_LOCK CommandsToCompleteLock;
    COMMANDS_TO_COMPLETE_QUEUE CommandsToComplete;
    Shared<UCHAR> shutdown_reject_commands;
    Shared<UCHAR> shutdown_in_progress;
    Shared<UCHAR> ResetInProgress[ADAPTER_TARGET_BUSES];
    KSPIN_LOCK AdapterLock;
    KSPIN_LOCK TimerLock;
    PKSPIN_LOCK SpinLock;
    PKSPIN_LOCK InterruptSpinLock;
    ULONG TimeOutValue;
    PDEVICE_OBJECT PortDeviceObject;
    ADAPTER_SRB_EXTENSION* HeldHead; // requests kept by the adapter (see completeHeldRequests)
};

extern HW_DEVICE_EXTENSION* pMyDevExt;

// Clears the bus's busy timer state and wakes its timer thread, which ends at once rather than at
// its next step. Any IRQL up to DISPATCH_LEVEL.
void clearBusyTimer(ULONG bus);
// Completes with srbStatus every held request of the path (0xFF: of every path) and returns how
// many. Any IRQL up to DISPATCH_LEVEL, with no adapter lock held. This, not the port's wildcard
// ScsiPortCompleteRequest, is how a reset or shutdown ends the requests the adapter keeps: the
// wildcard would also complete requests the engine or the message handler still hold (which
// complete them again later, into buffers already handed back) and leave this list dangling.
ULONG completeHeldRequests(ULONG pathId, UCHAR srbStatus);
// The query of one target for the message handler: the state of the first connection of the
// bus's session into ConnectionState. 0, or -1 when the bus has no target or the engine cannot
// report it.
int QueryTarget(QUERY_TARGET_IOCTL* query);
