// The SCSI adapter: the miniport of one virtual host adapter with nine buses. Buses 0 to 7 each
// carry one iSCSI target (one engine session), bus 8 the built-in dummy device. Its device
// extension and lock order: driver/control/adapter_layer.h; its control requests: driver/api/.
#pragma once

#include "driver/api/driver.h"
#include "driver/control/adapter_layer.h"
#include "driver/engine/text.h"
#include "platform/scsiport/miniport.h"

constexpr ULONG ADAPTER_TIMER_MICROSECONDS = 10000;
// The timer asked for when a port callback leaves a completion on CommandsToComplete: the
// smallest interval, so the answer goes back without waiting for the next tick.
constexpr ULONG ADAPTER_PROMPT_TIMER_MICROSECONDS = 1;
constexpr ULONG BUSY_COMPLETION_LIMIT = 0x800;
constexpr ULONG BUSY_TIMER_SECONDS = 0x60;
constexpr ULONG BUSY_TIMER_STEP_SECONDS = 2;
constexpr LONG DEFAULT_MAXIMUM_CONCURRENCY = 8;
constexpr ULONG DEFAULT_DISK_TIMEOUT = 10;
constexpr ULONG REJECTED_LOGINS_LIMIT = 2;
constexpr UCHAR CDB_ISCSI_IDENTIFY = 0xEF;
constexpr ULONG ISCSI_IDENTIFY_LENGTH = 8;

constexpr ULONG TIMER_LOCK_ORDER = SCSI_PORT_LOCK_ORDER_MINIPORT;
constexpr ULONG ADAPTER_LOCK_ORDER = SCSI_PORT_LOCK_ORDER_MINIPORT + 100;
constexpr ULONG COMMANDS_TO_COMPLETE_LOCK_ORDER = SCSI_PORT_LOCK_ORDER_MINIPORT + 200;

// ---- globals
extern PDRIVER_OBJECT GlobalDiskDriverObject;
extern PFILE_OBJECT GlobalDiskFileObject; // the reference kept on the disk class driver
extern Shared<UCHAR> drop_srb;
extern UCHAR saveDummyTargetSense[20];

// ---- entry and configuration
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
// Sets the adapter's part of a request that has just been handed over.
void initSrbExtension(PSCSI_REQUEST_BLOCK srb);
// Keeps a request that the adapter neither hands on nor completes now (the pending-only
// functions, an unsupported function, a request dropped on purpose) on the held list, so that a
// reset or shutdown can still end it. Any IRQL up to DISPATCH_LEVEL; takes AdapterLock.
void holdRequest(PSCSI_REQUEST_BLOCK srb);
// Sets shutdown_reject_commands, so that every later request is refused. The first time it is set,
// whatever set it (the shutdown request, a reset or a selection time-out while shutting down), the
// shutdown's work is posted too (WINMSG_SHUTDOWN for pathId, the request srb or null): every
// session's connections are broken, so the engine completes what it holds, and the held requests
// end. Otherwise the shutdown request, refused from then on, could never post it, and requests at
// a target that stopped answering would stay outstanding for ever. Any IRQL up to DISPATCH_LEVEL,
// no adapter lock held. 0 when the work was posted now or before, else the posting's failure.
int rejectCommandsAfterShutdown(PSCSI_REQUEST_BLOCK srb, ULONG pathId);
