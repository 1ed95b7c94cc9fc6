// The port driver's side toward the host and the class drivers: submitting requests with
// completion callbacks (class drivers, pass-through from the configuration tool), the bus scan,
// the exactly-once accounting and the port's teardown.
//
// Every request handed to the miniport must be completed by it exactly once. The port counts
// hand-overs and completions, reports on stderr a completion of a request the miniport does not
// hold ("completed twice") and, when the port stops, every request the miniport still holds
// ("never completed"); tests assert on the counts.
#pragma once

#include "platform/scsiport/miniport.h"

#include <cstdint>
#include <vector>

struct SCSI_PORT; // one adapter registered by ScsiPortInitialize
struct SCSI_PORT_REQUEST;
using SCSI_PORT_COMPLETION = void (*)(SCSI_PORT_REQUEST* request);

// Request states (SCSI_PORT_REQUEST.State).
constexpr ULONG SCSI_REQUEST_IDLE = 0;      // the submitter's
constexpr ULONG SCSI_REQUEST_QUEUED = 1;    // waiting in its logical unit's queue
constexpr ULONG SCSI_REQUEST_ACTIVE = 2;    // held by the miniport
constexpr ULONG SCSI_REQUEST_COMPLETED = 3; // completed by the miniport, not yet taken in
constexpr ULONG SCSI_REQUEST_DONE = 4;      // waiting for its completion callback

// One request as the submitter hands it to the port. The submitter fills Srb (address, function,
// CDB, buffers, flags, time-out), Completion and Context and leaves the rest zero; the record must
// stay put until the callback. The callback runs once per submission, at DISPATCH_LEVEL with no
// port lock held (possibly before submit returns); it may submit again, also this record.
// The fields below Context are the port's: guarded by the port's SpinLock while the request is
// queued or active, by its InterruptSpinLock between the miniport's completion and the port's
// taking it in.
struct SCSI_PORT_REQUEST {
    SCSI_REQUEST_BLOCK Srb;
    SCSI_PORT_COMPLETION Completion;
    PVOID Context;

    SCSI_PORT* Port;
    SCSI_PORT_REQUEST* Link;       // queue, completion and done lists
    SCSI_PORT_REQUEST* ActiveNext; // the logical unit's list of requests the miniport holds
    SCSI_PORT_REQUEST* ActivePrev;
    std::atomic<ULONG> State;
    ULONG LuIndex;
    ULONG BusyRetries;
    ULONG OriginalDataTransferLength;
    UCHAR OriginalSenseInfoBufferLength;
    LONGLONG NotBefore; // system time before which a BUSY request is not given back
    LONGLONG Deadline;  // system time of the time-out of an active request, 0 if none
    KEVENT Done;        // signalled after the callback of a request sent by execute
    alignas(16) UCHAR Extension[SCSI_PORT_MAXIMUM_SRB_EXTENSION];
};

// What a bus scan found at one address.
struct SCSI_PORT_LU_INFO {
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR InquiryData[INQUIRYDATABUFFERSIZE];
};

struct SCSI_PORT_ACCOUNTING {
    uint64_t handedToMiniport;    // HwStartIo calls (a BUSY request given back counts again)
    uint64_t completedByMiniport; // completions of requests the miniport held
    uint64_t completedTwice;      // completions of requests it did not hold: reported
    uint64_t neverCompleted;      // requests it still held when the port stopped: reported
    uint64_t busyRetries;         // BUSY requests given back to the miniport
    uint64_t timeouts;            // request time-outs (each calls HwResetBus)
};

namespace qvport {

// A BUSY request is given back to the miniport at most kBusyRetries times, then its submitter sees
// BUSY. The pause before each retry starts at kBusyFirstDelayMs and doubles up to kBusyDelayMs
// (scaled clock): a miniport that is busy only for a moment (a connection being made again) gets
// the request back at once, one that stays busy is asked about as often as before, and all the
// retries together still span about five seconds.
constexpr ULONG kBusyRetries = 24;
constexpr ULONG kBusyFirstDelayMs = 10;
constexpr ULONG kBusyDelayMs = 250;
// Request time-outs are looked at on this tick.
constexpr ULONG kTickMs = 250;

// The port registered last for a miniport's driver object, or null.
SCSI_PORT* portOf(PDRIVER_OBJECT miniportDriver);
PDEVICE_OBJECT deviceObject(SCSI_PORT* port);
const PORT_CONFIGURATION_INFORMATION& configuration(SCSI_PORT* port);
// The largest transfer of one request: MaximumTransferLength, bounded by the physical breaks.
ULONG maximumTransferLength(SCSI_PORT* port);

// Hands a request to the port (any IRQL up to DISPATCH_LEVEL). SCSI requests wait in their
// logical unit's queue until the miniport is ready for the next one; SRB_FUNCTION_IO_CONTROL
// requests go to the miniport at once. An address outside the adapter completes with
// SRB_STATUS_INVALID_PATH, _INVALID_TARGET_ID or _INVALID_LUN without reaching the miniport.
void submit(SCSI_PORT* port, SCSI_PORT_REQUEST* request);
// Submits and waits (PASSIVE_LEVEL) up to waitSeconds (scaled) for the completion; true when it
// completed. On false the request still belongs to the port: wait again with waitFor.
bool execute(SCSI_PORT* port, SCSI_PORT_REQUEST* request, ULONG waitSeconds);
bool waitFor(SCSI_PORT_REQUEST* request, ULONG waitSeconds);

// Resets a bus now, as a request's time-out does: HwResetBus for the path under the port's locks,
// then whatever that completed is handed back (the equivalent of NT's bus reset control request,
// which does not wait in the units' queues). Any IRQL up to DISPATCH_LEVEL; not after stopPort.
void resetBus(SCSI_PORT* port, ULONG pathId);

// INQUIRY to target 0, LUNs 0 to 7, of every bus (the other LUNs of a bus whose LUN 0 answered
// SELECTION_TIMEOUT or NO_DEVICE are skipped). PASSIVE_LEVEL. Returns the number of logical units
// found (peripheral qualifier 0); the list is kept for the class drivers.
int scanBus(SCSI_PORT* port);
std::vector<SCSI_PORT_LU_INFO> inquiryData(SCSI_PORT* port);

SCSI_PORT_ACCOUNTING accounting(SCSI_PORT* port);
// Totals over every port of the process, also those already stopped.
SCSI_PORT_ACCOUNTING totalAccounting();

// Stops the port (PASSIVE_LEVEL): its timers, then its DPC; reports the requests the miniport
// still holds as never completed, completes the queued ones with SRB_STATUS_REQUEST_FLUSHED,
// deletes the device object and frees the extension. Nothing may submit afterwards.
void stopPort(SCSI_PORT* port);
void stopAllPorts();

} // namespace qvport
