// The operating-system services the engine calls, declared below every layer of the driver:
// threads, delays and bounded waits are defined in driver/runtime, TCP connections in
// driver/transport, request completions in driver/adapter, the security hand-off in
// driver/control. Engine tests link recording doubles in their place.
#pragma once

#include "platform/kernel/ntkernel.h"

struct SCSI_REQUEST_BLOCK; // the adapter's request (platform/scsiport/srb.h)
using PSCSI_REQUEST_BLOCK = SCSI_REQUEST_BLOCK*;
struct ISCSI_SOCK; // the transport connection record (driver/transport); opaque to the engine
using PISCSI_SOCK = ISCSI_SOCK*;

constexpr int ISCSI_FAILURE = -1;
constexpr ULONG ISCSI_POOL_TAG = POOL_TAG("Ddk ");
constexpr int ISCSI_HDR_LEN = 48;

// ---- threads and time (driver/runtime)
constexpr ULONG ISCSI_THREAD_FAILED = 0xFFFFFFFF;

// Starts a system thread running startRoutine(context); returns its handle (positive) or
// ISCSI_THREAD_FAILED (-1). contextSize is informational only. Called at PASSIVE_LEVEL.
ULONG iscsiOScreateThread(PKSTART_ROUTINE startRoutine, PVOID context, ULONG contextSize);

// Whether a handle returned by iscsiOScreateThread names a running thread (callers test "> 0").
inline bool iscsiOSthreadStarted(ULONG handle) {
    return static_cast<LONG>(handle) > 0;
}

// Blocks the calling thread for the whole number of seconds. PASSIVE_LEVEL only.
void iscsiOSdelayThread(ULONG seconds);

// Waits on the caller's event for at most the given seconds; returns STATUS_SUCCESS when it was
// signalled, STATUS_TIMEOUT when the time ran out. PASSIVE_LEVEL only.
NTSTATUS iscsiOSlimitsleep(PVOID object, ULONG seconds);

// ---- transport connections (driver/transport)
// A transport record carries one TCP connection to a target. Calling order: allocate, make, any
// number of writes and reads (at most one of each in progress at a time), break (from any thread,
// also while a read or write waits), make again to reconnect, destroy last. All at PASSIVE_LEVEL.

// Allocates a transport record for the address (host byte order) and stores it in *pSock; 0, or
// -1 without memory.
int iscsiOSallocateConnection(ULONG ipAddress, USHORT port, PISCSI_SOCK* pSock);
// Connects the record to its own address and port (the arguments only name the target in the
// trace), breaking it first if it is connected. Returns the connect status: 0 when connected,
// another value when not; a failed attempt leaves the record disconnected and costs the caller a
// 3-second pause.
int iscsiOSmakeConnection(ULONG ipAddress, USHORT port, PISCSI_SOCK pSock);
// Breaks the connection: reads and writes in progress give up, and those to come fail until the
// next successful make. 0, or -1 if the socket could not be closed.
int iscsiOSbreakConnection(PISCSI_SOCK pSock);
// Frees the record; the caller breaks the connection first.
void iscsiOSdestroyConnection(PISCSI_SOCK pSock);
// Sends headerLength bytes at header and then dataLength bytes at data + dataOffset as one send
// (data may be null when dataLength is 0). context is not used. Returns the bytes sent (header
// plus data on success), or -1; callers treat any value other than the total as failure.
LONG iscsiOSwriteToConnection(PISCSI_SOCK pSock, const void* header, ULONG headerLength,
                              const void* data, ULONG dataLength, ULONG context, ULONG dataOffset);
// Sends one PDU: the 48-byte header, dataLength bytes at data + dataOffset, and zeros up to the
// next multiple of 4, as one send, so nothing behind the data is read. Returns the bytes sent
// (48 plus the padded length on success), or -1.
LONG iscsiOSwritePdu(PISCSI_SOCK pSock, const void* header, const void* data, ULONG dataLength,
                     ULONG dataOffset);
// The read time limit that means "none".
constexpr ULONG ISCSI_NO_TIME_LIMIT = 0xFFFFFFFF;
// Reads exactly length bytes into buffer + offset; timeoutMs limits each receive (in whole
// seconds, truncated; ISCSI_NO_TIME_LIMIT: none). context is not used. Returns length on success;
// -1, or a smaller count when a break comes between two receives, on failure.
LONG iscsiOSreadFromConnection3(PISCSI_SOCK pSock, void* buffer, ULONG length, ULONG context,
                                ULONG offset, ULONG timeoutMs);
// iscsiOSreadFromConnection3 without a time limit (the receive loop and the response handlers).
LONG iscsiOSreadFromConnection(PISCSI_SOCK pSock, void* buffer, ULONG length, ULONG context,
                               ULONG offset);
// A point `seconds` from now on the kernel clock, for reads that share one deadline.
LONGLONG iscsiOSdeadline(ULONG seconds);
// Reads exactly length bytes into buffer + offset, all of them before the deadline (a peer that
// sends a byte now and then gains nothing). Returns length, or -1 (or a smaller count) on failure.
LONG iscsiOSreadFromConnectionBefore(PISCSI_SOCK pSock, void* buffer, ULONG length, ULONG context,
                                     ULONG offset, LONGLONG deadline);
// iscsiOSreadFromConnection3 with 7000 ms for each receive (responses the initiator reads itself:
// login, text exchanges read by their sender).
LONG iscsiOSreadFromConnection2(PISCSI_SOCK pSock, void* buffer, ULONG length, ULONG context,
                                ULONG offset);

// ---- request completions (driver/adapter)
void iscsiOScompleteCommand(PSCSI_REQUEST_BLOCK srb, UCHAR scsiStatus, ULONG residual);
void iscsiOScompleteCommandNoConnection(PSCSI_REQUEST_BLOCK srb);
void iscsiOScompleteCommandReset(PSCSI_REQUEST_BLOCK srb);
void iscsiOScompleteCommandAbort(PSCSI_REQUEST_BLOCK srb);
void iscsiOScompleteTaskMan(UCHAR function, PSCSI_REQUEST_BLOCK srb, ULONG result);

// ---- security step of a login (driver/control)
// Hands the login text to the configuration tool and blocks until it reports the outcome.
// 0 when the step succeeded, -1 when it failed, ISCSI_SECURITY_BUS_REMOVED (the tool not asked,
// or a wait for its verdict cut short) when the bus is being removed or the adapter shuts down:
// the bring-up then logs in no further connection (a removal waits for it).
constexpr int ISCSI_SECURITY_BUS_REMOVED = -2;
int iscsiOShandleSecurity(char* loginText, ULONG length, ULONG busNumber);
