// The SCSI adapter: the miniport of one virtual host adapter with nine buses. Buses 0 to 7 each
// carry one iSCSI target (one engine session), bus 8 the built-in dummy device. This header holds
// the adapter's device extension and per-bus target records, the control request records the
// configuration tool sends, and the adapter's routines; the control channel shares it.
//
// Lock order on the adapter side: the port driver's SpinLock, then its InterruptSpinLock, then
// TimerLock, then AdapterLock; CommandsToCompleteLock is taken alone or innermost under TimerLock.
// No engine lock is ever held when one of these is taken, and no adapter completion is called
// with an engine lock held (the kernel stand-in checks both with QUEVI_CHECKS). The port driver
// holds its two locks when it calls HwScsiStartIo, HwScsiResetBus and HwScsiTimer; code outside
// those callbacks raises to DISPATCH_LEVEL and takes both before it notifies the port.
#pragma once

#include "driver/engine/engine.h"
#include "driver/engine/text.h"
#include "driver/runtime/shared_field.h"
#include "platform/scsiport/miniport.h"

constexpr int ADAPTER_TARGET_BUSES = 8; // buses 0..7 carry targets
constexpr int ADAPTER_BUSES = 9;        // and bus 8 the dummy device
constexpr UCHAR DUMMY_TARGET_BUS = 8;
constexpr ULONG ADAPTER_TIMER_MICROSECONDS = 10000;
constexpr ULONG BUSY_COMPLETION_LIMIT = 0x800;
constexpr ULONG BUSY_TIMER_SECONDS = 0x60;
constexpr ULONG BUSY_TIMER_STEP_SECONDS = 2;
constexpr LONG DEFAULT_MAXIMUM_CONCURRENCY = 8;
constexpr ULONG DEFAULT_DISK_TIMEOUT = 10;
constexpr ULONG REJECTED_LOGINS_LIMIT = 2;
constexpr UCHAR CDB_ISCSI_IDENTIFY = 0xEF;
constexpr ULONG ISCSI_IDENTIFY_LENGTH = 8;
constexpr ULONG TARGET_TEXT_SIZE = 2000;

constexpr ULONG TIMER_LOCK_ORDER = SCSI_PORT_LOCK_ORDER_MINIPORT;
constexpr ULONG ADAPTER_LOCK_ORDER = SCSI_PORT_LOCK_ORDER_MINIPORT + 100;
constexpr ULONG COMMANDS_TO_COMPLETE_LOCK_ORDER = SCSI_PORT_LOCK_ORDER_MINIPORT + 200;

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

// ---- control requests (SRB_FUNCTION_IO_CONTROL, signature "iSCSI")
constexpr ULONG ISCSI_IOCTL_ADD_TARGET_BEGIN = 1;
constexpr ULONG ISCSI_IOCTL_QUERY_TARGET = 2;
constexpr ULONG ISCSI_IOCTL_SHUTDOWN = 7;
constexpr ULONG ISCSI_IOCTL_DROP_SRB = 8;
constexpr ULONG ISCSI_IOCTL_REMOVE_TARGET = 9;
constexpr ULONG ISCSI_IOCTL_SEND_RECEIVE_TEXT = 11;
constexpr ULONG ISCSI_IOCTL_SECURITY_BEGIN = 12;
constexpr ULONG ISCSI_IOCTL_ADD_TARGET_COMPLETE = 13;
constexpr ULONG ISCSI_IOCTL_SECURITY_COMPLETE = 14;

constexpr ULONG ISCSI_RC_SUCCESS = 0;
constexpr ULONG ISCSI_RC_INVALID_STATE = 1;
constexpr ULONG ISCSI_RC_INTERNAL_ERROR = 2;
constexpr ULONG ISCSI_RC_NOT_CONNECTED = 3;
constexpr ULONG ISCSI_RC_NO_FREE_BUS = 5;
constexpr ULONG ISCSI_RC_NOT_FOUND = 6;
constexpr ULONG ISCSI_RC_LOGIN_REJECTED = 7;
constexpr ULONG ISCSI_RC_NOT_REMOVABLE = 8;
constexpr ULONG ISCSI_RC_LOGIN_PENDING = 9; // + 256 x bus
constexpr ULONG ISCSI_RC_NO_LOGIN_EVENT = 10;
constexpr ULONG ISCSI_RC_SECURITY_FAILED = 11;
constexpr ULONG ISCSI_TEXT_REFUSED = 0xFFFFFFFF;

// The records follow the header in the request's data buffer; the offsets are the wire format.
struct ADD_REMOVE_IOCTL {
    SRB_IO_CONTROL Header;
    ULONG IpAddress;
    USHORT PortNumber;
    USHORT Reserved;
    ULONG NumConnect;
    ULONG LoginStringLength;
    WCHAR LoginEventName[128];
    UCHAR BusNumber;
    char LoginString[1]; // LoginStringLength characters and a NUL, at most 1999 characters
};
static_assert(offsetof(ADD_REMOVE_IOCTL, IpAddress) == 0x1C);
static_assert(offsetof(ADD_REMOVE_IOCTL, LoginEventName) == 0x2C);
static_assert(offsetof(ADD_REMOVE_IOCTL, BusNumber) == 0x12C);
static_assert(offsetof(ADD_REMOVE_IOCTL, LoginString) == 0x12D);

struct QUERY_TARGET_IOCTL {
    SRB_IO_CONTROL Header;
    ULONG IpAddress;
    ULONG ConnectionState;
    UCHAR BusNumber;
};
static_assert(offsetof(QUERY_TARGET_IOCTL, ConnectionState) == 0x20);
static_assert(offsetof(QUERY_TARGET_IOCTL, BusNumber) == 0x24);

struct SEND_RECEIVE_TEXT_IOCTL {
    SRB_IO_CONTROL Header;
    UCHAR BusNumber;
    ULONG BufferLength;
    char Text[1]; // up to the end of the request's data buffer
};
static_assert(offsetof(SEND_RECEIVE_TEXT_IOCTL, BufferLength) == 0x20);
static_assert(offsetof(SEND_RECEIVE_TEXT_IOCTL, Text) == 0x24);

struct SECURITY_COMPLETE_IOCTL {
    SRB_IO_CONTROL Header;
    UCHAR BusNumber;
    ULONG SecurityResult;
};
static_assert(offsetof(SECURITY_COMPLETE_IOCTL, SecurityResult) == 0x20);

// Bytes of each record before its variable part: a request shorter than this is refused.
constexpr ULONG ADD_REMOVE_IOCTL_FIXED = offsetof(ADD_REMOVE_IOCTL, LoginString);
constexpr ULONG QUERY_TARGET_IOCTL_FIXED = offsetof(QUERY_TARGET_IOCTL, BusNumber) + 1;
constexpr ULONG SEND_RECEIVE_TEXT_IOCTL_FIXED = offsetof(SEND_RECEIVE_TEXT_IOCTL, Text);
constexpr ULONG SECURITY_COMPLETE_IOCTL_FIXED = sizeof(SECURITY_COMPLETE_IOCTL);

// The text capacity of a text or security-begin request: the data buffer past the fixed part.
inline ULONG iscsiTextCapacity(const SCSI_REQUEST_BLOCK* srb) {
    return srb->DataTransferLength > SEND_RECEIVE_TEXT_IOCTL_FIXED
               ? srb->DataTransferLength - SEND_RECEIVE_TEXT_IOCTL_FIXED
               : 0;
}

// ---- globals
extern HW_DEVICE_EXTENSION* pMyDevExt;
extern PDRIVER_OBJECT GlobalDiskDriverObject;
extern PFILE_OBJECT GlobalDiskFileObject; // the reference kept on the disk class driver
extern Shared<UCHAR> drop_srb;
extern UCHAR saveDummyTargetSense[20];

// ---- entry and configuration
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
ULONG HwScsiFindAdapter(PVOID DeviceExtension, PVOID HwContext, PVOID BusInformation,
                        char* ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                        BOOLEAN* Again);
BOOLEAN HwScsiInitialize(PVOID DeviceExtension);

// ---- dispatch (DISPATCH_LEVEL, port locks held)
BOOLEAN HwScsiStartIo(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb);
int SrbFunctionExecScsi(TARGET_INFO* target, PSCSI_REQUEST_BLOCK srb);
int SrbFunctionAbortCmd(TARGET_INFO* target, PSCSI_REQUEST_BLOCK srb);
int SrbFunctionShutdown(TARGET_INFO* target, PSCSI_REQUEST_BLOCK srb);
int SrbFunctionFlush(TARGET_INFO* target, PSCSI_REQUEST_BLOCK srb);
int SrbFunctionResetBus(TARGET_INFO* target, PSCSI_REQUEST_BLOCK srb);
int SrbFunctionRecEvent(TARGET_INFO* target, PSCSI_REQUEST_BLOCK srb);
int SrbFunctionRelRec(TARGET_INFO* target, PSCSI_REQUEST_BLOCK srb);
int SrbFunctionResetDev(TARGET_INFO* target, PSCSI_REQUEST_BLOCK srb);
int SrbFunctionTermIo(TARGET_INFO* target, PSCSI_REQUEST_BLOCK srb);
int SrbFunctionIoctl(PSCSI_REQUEST_BLOCK srb);
int SrbStartIoDummyTarget(PSCSI_REQUEST_BLOCK srb);
int SrbExecScsiDummyTarget(PSCSI_REQUEST_BLOCK srb);

// ---- completion, reset, busy handling
void HwScsiTimer(PVOID DeviceExtension);
BOOLEAN HwScsiResetBus(PVOID DeviceExtension, ULONG PathId);
void BusyTimer(PVOID bus);
// Sets up the wake-ups of the busy timers; once, before the first request.
void initBusyTimers();
// Clears the bus's busy timer state and wakes its timer thread, which ends at once rather than at
// its next step. Any IRQL up to DISPATCH_LEVEL.
void clearBusyTimer(ULONG bus);
// Sets the adapter's part of a request that has just been handed over.
void initSrbExtension(PSCSI_REQUEST_BLOCK srb);
// Keeps a request that the adapter neither hands on nor completes now (the pending-only
// functions, an unsupported function, a request dropped on purpose) on the held list, so that a
// reset or shutdown can still end it. Any IRQL up to DISPATCH_LEVEL; takes AdapterLock.
void holdRequest(PSCSI_REQUEST_BLOCK srb);
// Completes with srbStatus every held request of the path (0xFF: of every path) and returns how
// many. Any IRQL up to DISPATCH_LEVEL, with no adapter lock held. This, not the port's wildcard
// ScsiPortCompleteRequest, is how a reset or shutdown ends the requests the adapter keeps: the
// wildcard would also complete requests the engine or the message handler still hold (which
// complete them again later, into buffers already handed back) and leave this list dangling.
ULONG completeHeldRequests(ULONG pathId, UCHAR srbStatus);
// Sets shutdown_reject_commands, so that every later request is refused. The first time it is set,
// whatever set it (the shutdown request, a reset or a selection time-out while shutting down), the
// shutdown's work is posted too (WINMSG_SHUTDOWN for pathId, the request srb or null): every
// session's connections are broken, so the engine completes what it holds, and the held requests
// end. Otherwise the shutdown request, refused from then on, could never post it, and requests at
// a target that stopped answering would stay outstanding for ever. Any IRQL up to DISPATCH_LEVEL,
// no adapter lock held. 0 when the work was posted now or before, else the posting's failure.
int rejectCommandsAfterShutdown(PSCSI_REQUEST_BLOCK srb, ULONG pathId);

// ---- control channel
// The query of one target for the message handler: the state of the first connection of the
// bus's session into ConnectionState. 0, or -1 when the bus has no target or the engine cannot
// report it.
int QueryTarget(QUERY_TARGET_IOCTL* query);
