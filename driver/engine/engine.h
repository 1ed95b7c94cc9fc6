// The protocol engine's records and entry points.
//
// Locking. All locks are spin locks and no wait is ever made while one is held. The engine's locks
// are `sessionsLock`, each session's `lock`, one lock per ISCSI_QUEUE (the four free queues and
// each session's three queues) and one per ISCSI_TABLE; no code path holds two of them at once, and
// no completion routine of the adapter is called with one held. A record is in at most one queue
// or table at a time, so a record taken out under a lock belongs to the taker alone.
#pragma once

#include "driver/api/session.h"
#include "driver/runtime/os_services.h"
#include "driver/runtime/shared_field.h"

#include <cstdint>

constexpr ULONG ISCSI_NO_SESSION = 0xFFFFFFFF; // session handle that names no session
constexpr int ISCSI_CMD_POOL_SIZE = 64;
constexpr int ISCSI_TASK_MAN_POOL_SIZE = 80;

// A FIFO of pooled records, singly linked through each record's first word.
// head, tail and the link words of queued records are guarded by `lock`; `count` is written under
// it and read without it (queue-length checks on the request path).
struct ISCSI_QUEUE {
    KSPIN_LOCK lock;
    void* head; // null when empty
    void* tail; // null when empty
    Shared<ULONG> count;
};

// The two link words at the head of command and task-management records: `next` is the queue
// link (free queue, session queue); both are the links of a table.
struct ISCSI_LINKS {
    void* next;
    void* prev;
};

// A doubly linked list of records in order of sending, linked through their ISCSI_LINKS.
// Everything is guarded by `lock`; `count` is also read without it.
struct ISCSI_TABLE {
    KSPIN_LOCK lock;
    ISCSI_LINKS* head; // oldest
    ISCSI_LINKS* tail; // newest
    Shared<ULONG> count;
};

struct ISCSI_SESSION;

// A control-side text exchange waiting for its response while the connection's receive thread
// reads the connection: the receive loop hands the response over here instead of applying it as
// keys. Filled by the receive loop under the session lock while registered in the connection.
struct ISCSI_TEXT_WAITER {
    ULONG capacity; // of the exchange's buffer
    LONG result;    // response length, or -1 when it did not fit or could not be read
    bool done;
    // The response text (pool), handed over rather than copied into the exchange's buffer: its own
    // thread copies it once its send has returned, since the buffer is also the request it sends.
    char* text;
};

// The engine's record of one configured connection of a session.
// Every PDU written on the connection is written holding `sendLock`, so writes of the command
// queue thread, the receive thread (logout) and a text exchange never overlap.
// `expStatSN`, `textFinal` and the signalling of `textEvent` are guarded by the session lock;
// `readThread` is set before the receive thread starts and cleared under the lock as it ends.
// `state` is written by the connection's own threads (bring-up, receive thread, senders) and by the
// session's break, and read without a lock. `ipAddress`, `portNum`, `pSock` and `cid` are fixed at
// creation.
struct ISCSI_CONNECTION {
    PISCSI_SOCK pSock; // null when the transport record could not be allocated
    ISCSI_SESSION* session;
    Shared<ULONG> readThread; // receive thread handle, 0 if none
    ULONG ipAddress;
    USHORT portNum;
    Shared<ULONG> state;
    ULONG expStatSN;
    PVOID nopOutData;
    Shared<UCHAR> nopInReceived;
    KEVENT nopEvent;
    Shared<UCHAR> textFinal;
    KEVENT textEvent;
    ULONG textTargetTransferTag;
    // Connection id, unique among the session's connections (its index); asynchronous events
    // name connections by it.
    USHORT cid;
    // The control-side text exchange waiting on this connection, if any; guarded by the session
    // lock. Set only while the receive thread runs (readThread not 0, also under the lock).
    ISCSI_TEXT_WAITER* textWaiter;
    // Held for each write (PASSIVE_LEVEL); zero-filled is free.
    FAST_MUTEX sendLock;
    // Set under the session lock when the receive thread starts its cleanup, cleared when the
    // connection leaves activeConnections. A closing connection is never chosen for a new request;
    // the cleanup waits for a send in progress (sendLock) before it sweeps the tables, and a send
    // looks at the flag holding sendLock, so every request is either swept or taken back by its
    // sender.
    UCHAR closing;
    // How many times the receive thread has ended (counted as it leaves activeConnections);
    // guarded by the session lock. A request's sender notes it with its choice of connection: a
    // connection that ended in between has had its tables swept already, so the request, entered
    // after the sweep, is taken back instead of sent.
    ULONG generation;
    // Set under the session lock when an asynchronous message drops the connection while it is
    // active, cleared as it leaves activeConnections: the reconnection that brings it back waits
    // until no connection is marked, since a record still active is passed over.
    UCHAR reconnectWanted;
};

// Session flag bits (ISCSI_SESSION.flags).
constexpr USHORT SESSION_DELETING = 0x0001;
constexpr USHORT SESSION_RESETTING = 0x0002;
constexpr USHORT SESSION_CONNECTING = 0x0004;
// The target ended the session: its connections are closed and it never reconnects; its record
// stays until the target is removed, so no bus holds the handle of a freed session.
constexpr USHORT SESSION_ENDED = 0x0008;
// Creation is still building the session (logging in, starting its command queue thread). The
// session is already in the table, so another bus may bind to it and remove it meanwhile:
// deletion waits for this bit to clear, and creation then reports no session.
constexpr USHORT SESSION_CREATING = 0x0010;

// One session per target.
// Guarded by `lock`: cmdSN, expCmdSN, maxCmdSN, each connection's expStatSN, numActiveConnections
// and activeConnections, flags, cmdQThread, and the signalling of cmdQEvent, exitEvent and
// resetDoneEvent.
// cmdSN, maxCmdSN, numActiveConnections and flags are also read without the lock (window and
// state checks on the request path and in the command queue thread); so are tsid and
// numMaxConnections (by the queries, while a reconnection's login may write them).
// The queues and tables guard themselves. opParams/opParamsStatus are written by the negotiation
// (the connection-making thread, or a receive thread for a late Text response); the senders never
// read them but the snapshot `dataPathParams`, published under the lock whenever a negotiation
// ends, so a command never sees half of a negotiation.
struct ISCSI_SESSION {
    KSPIN_LOCK lock;
    Shared<ULONG> cmdSN;                  // next CmdSN to send; never 0
    Shared<ULONG> expCmdSN;               // highest ExpCmdSN reported
    Shared<ULONG> maxCmdSN;               // highest MaxCmdSN reported
    ISCSI_CONNECTION* connections;        // numMaxConnections records
    ISCSI_CONNECTION** activeConnections; // first numActiveConnections entries are live
    Shared<ULONG> numActiveConnections;
    ISCSI_QUEUE cmdQ; // ISCSI_CMD accepted, not yet sent
    ISCSI_QUEUE tmQ;  // ISCSI_TASK_MAN waiting to be sent
    ISCSI_QUEUE rttQ; // ISCSI_RTT waiting to be served
    KEVENT cmdQEvent; // wakes the command queue thread (auto-reset)
    KEVENT exitEvent; // signalled by the session's threads as they end during deletion
    // Signalled when a connection marked reconnectWanted leaves activeConnections, and when the
    // deletion begins: what a reconnection thread waits for before it connects (auto-reset).
    KEVENT droppedEvent;
    // Signalled exactly while SESSION_RESETTING is clear (a notification event set and cleared
    // with the flag, under `lock`): a reset waits on it for the receive threads to end.
    KEVENT resetDoneEvent;
    Shared<ULONG> cmdQThread;
    ISCSI_TABLE pendCmdTable; // commands sent, awaiting response
    ISCSI_TABLE taskManTable; // task-management requests sent, awaiting response
    char* loginString;        // the session's copy of the login string, ";"-terminated, NUL
    ULONG loginStringLength;
    Shared<USHORT> flags;
    USHORT isid;
    Shared<USHORT> tsid;
    Shared<ULONG> numMaxConnections;
    ULONG busNumber;
    USHORT opParams[ISCSI_NUM_OP_PARAMS];
    UCHAR opParamsStatus[ISCSI_NUM_OP_PARAMS];
    // Number of connection records allocated; numMaxConnections never exceeds it.
    ULONG numConnectionRecords;
    // Held by a login for its whole negotiation (a synchronization event used as a mutex,
    // signalled = free), so that a late Text response applied by a receive thread never writes
    // opParams at the same time; that one only tries to take it.
    KEVENT negotiationLock;
    // Callers that found the session by handle and still use it (guarded by sessionsLock); its
    // deletion frees it only once this is back at 0.
    ULONG references;
    // An asynchronous message asked for a reconnection while another attempt to connect ran
    // (SESSION_CONNECTING set), which may have passed the dropped connections' records already:
    // that attempt hands SESSION_CONNECTING on to a reconnection thread as it ends, with the
    // longest wait asked for. Both guarded by `lock`.
    UCHAR reconnectAsked;
    ULONG reconnectDelay;
    // Set when the session's last active connection ends while the session is neither being
    // deleted nor ended, with cmdQEvent signalled; the command queue thread clears it as it takes
    // it as the sign to reconnect at once and, while the attempts fail, again after growing
    // pauses until a connection is active. Guarded by `lock`.
    UCHAR connectionsLost;
    // What the senders use of opParams, published together: ImmediateData in bit 31, the bytes of
    // one data segment (DataPDULength x 512, at least 512, below 2^24) in the low 24 bits.
    Shared<ULONG> dataPathParams;
};

// One SCSI command in flight (pool of ISCSI_CMD_POOL_SIZE).
// Owned by whoever took it out of its queue or table; never shared, except that while the command
// queue thread sends R2T data from its buffer (dataHeld) a finish of the command is left to that
// thread: dataHeld and the finish* fields are guarded by the pendCmdTable lock.
struct ISCSI_CMD {
    ISCSI_LINKS links;
    UCHAR lun[8];
    PSCSI_REQUEST_BLOCK srb;
    const UCHAR* cdb;
    ULONG cdbLength;
    ISCSI_SESSION* session;
    struct ISCSI_MSG_HDR* msgHdr; // the SCSI Command PDU as sent
    UCHAR* dataBuffer;
    ULONG dataLength;
    ULONG dataContext;
    ISCSI_CONNECTION* connection;
    ULONG itt;
    ULONG direction; // 1 read, 2 write, 0 none
    UCHAR taskAttributes;
    ULONG cmdSN; // the CmdSN it was sent with; set before it enters pendCmdTable
    // Position in the pool and a count of tags given, which make up the record's tags.
    UCHAR poolIndex;
    ULONG generation;
    UCHAR dataHeld;   // 1 while R2T data is sent from dataBuffer
    UCHAR finishKind; // a finish that came while dataHeld (CMD_FINISH_*), 0 if none
    UCHAR finishStatus;
    ULONG finishResidual;
};

// How a command that has left the pending table ends (iscsiFinishCmd).
constexpr UCHAR CMD_FINISH_STATUS = 1; // with the target's SCSI status and residual
constexpr UCHAR CMD_FINISH_RESET = 2;  // its connection ended
constexpr UCHAR CMD_FINISH_ABORT = 3;  // aborted

// One received R2T waiting to be served.
struct ISCSI_RTT {
    ISCSI_RTT* link;
    ISCSI_CMD* cmd;
    struct ISCSI_MSG_HDR* msgHdr;
};

// Task-management results.
constexpr ULONG TM_RESULT_ABORTED = 1;
constexpr ULONG TM_RESULT_DONE = 2;
constexpr ULONG TM_RESULT_NOT_FOUND = 4;
constexpr ULONG TM_RESULT_ABORT_FAILED = 5;
constexpr ULONG TM_RESULT_FAILED = 6;

constexpr UCHAR TM_FUNCTION_ABORT_TASK = 1;
constexpr UCHAR TM_FUNCTION_NOP_REPLY = 10;
constexpr ULONG TM_WAIT_FLAG_WAITER = 0x1;

// One task-management request or NOP reply (pool of ISCSI_TASK_MAN_POOL_SIZE), always taken and
// prepared by iscsiTakeTaskMan. Owned by whoever took it out of its queue or table; `doneEvent` is
// signalled under the session lock, after which the waiting caller owns the record.
struct ISCSI_TASK_MAN {
    ISCSI_LINKS links;
    PSCSI_REQUEST_BLOCK srb;      // abort: the abort request, completed when the abort is finished
    UCHAR lun[8];                 // abort: the command's LUN; NOP reply: the NOP-In's
    ULONG refCmdSN;               // abort: the command's CmdSN; NOP reply: the target transfer tag
    ISCSI_CONNECTION* connection; // abort: set when sent; NOP reply: where the NOP-In came from
    KEVENT doneEvent;
    ULONG waitFlags; // TM_WAIT_FLAG_WAITER: the caller waits on doneEvent and frees the record
    ULONG itt;       // given when sent
    Shared<ULONG> result;
    UCHAR function;
    // Position in the pool and a count of tags given, which make up the record's tags.
    UCHAR poolIndex;
    ULONG generation;
    // Abort: the tag of the command to abort, taken when the abort is made; the command is only
    // ever found again by it. NOP reply: the NOP-In's initiator task tag.
    ULONG refItt;
    // NOP reply: the NOP-In's data (owned by the record until the answer is sent or dropped) and
    // its length.
    UCHAR* nopData;
    ULONG nopLength;
};

// One PDU header buffer (pool freeMsgHdrQ, grows on demand).
struct ISCSI_MSG_HDR {
    ISCSI_MSG_HDR* link;
    UCHAR hdr[ISCSI_HDR_LEN];
};

// An entry of the address array given to session creation.
struct ISCSI_TARGET_ADDRESS {
    ULONG ipAddress; // host order, first octet most significant
    USHORT portNum;
};

// ---- globals
extern ISCSI_SESSION* sessions[ISCSI_MAX_SESSIONS];
extern ULONG maxSessions;
extern KSPIN_LOCK sessionsLock;
extern std::atomic<ULONG> isid; // low 16 bits: next ISID to give out
extern ISCSI_QUEUE freeCmdQ;
extern ISCSI_QUEUE freeTaskManQ;
extern ISCSI_QUEUE freeRttQ;
extern ISCSI_QUEUE freeMsgHdrQ;

// ---- queues and tables
// Initialises the lock (named for the checks) and empties the queue.
void iscsiQueueInit(ISCSI_QUEUE* queue, const char* name);
// Appends a record at the tail; its first word becomes the link.
void iscsiQueuePut(ISCSI_QUEUE* queue, void* record);
// Removes and returns the head, or null when empty.
void* iscsiQueueTake(ISCSI_QUEUE* queue);
void iscsiTableInit(ISCSI_TABLE* table, const char* name);
// Appends at the tail (newest). Takes the table lock.
void iscsiTableInsert(ISCSI_TABLE* table, ISCSI_LINKS* record);
// Unlinks the record if it is in the table; true if it was. Takes the table lock.
bool iscsiTableRemove(ISCSI_TABLE* table, ISCSI_LINKS* record);
// Unlinks a record known to be in the table. Called with the table lock held.
void iscsiTableUnlinkLocked(ISCSI_TABLE* table, ISCSI_LINKS* record);

// ---- pools and the pending-command table
void initGlobalQs();
void cleanupGlobalQs();
ISCSI_MSG_HDR* getMessageHeader();
ISCSI_RTT* getRttStruct();
void initPendingCmdTable(ISCSI_SESSION* session);
// A new session's lock, events, queues and pending table, before anyone else can see it.
void initSessionSync(ISCSI_SESSION* session);
void enterCmdIntoTable(ISCSI_SESSION* session, ISCSI_CMD* cmd);
ISCSI_CMD* removeCmdFromTable(ISCSI_SESSION* session, ISCSI_CMD* cmd);
ISCSI_CMD* findCmdInTable(ISCSI_SESSION* session, PSCSI_REQUEST_BLOCK srb);
constexpr ULONG LOOKUP_CMD_TABLE = 0x1;
constexpr ULONG LOOKUP_TASK_MAN_TABLE = 0x2;
constexpr ULONG LOOKUP_UNLINK = 0x10000;
// The record of the given table whose tag is itt, or null; never uses the tag as a pointer.
void* lookupTaskId(ISCSI_SESSION* session, ULONG itt, ULONG options);
// A fresh tag for a command or task-management record (a new one per sending), or the session's
// own tag for Text, Logout and Login requests (the same for the session's whole life).
ULONG setTaskId(ISCSI_CMD* cmd);
ULONG setTaskId(ISCSI_TASK_MAN* taskMan);
ULONG setTaskId(ISCSI_SESSION* session);
void removeCmdsBadConnection(ISCSI_SESSION* session, ISCSI_CONNECTION* connection);
// Copies, under the table lock, the pending command whose tag is itt; false when none is. Senders
// work from the copy, so nothing is ever read through a record that may meanwhile have gone back
// to its pool.
bool iscsiCopyPendingCmd(ISCSI_SESSION* session, ULONG itt, ISCSI_CMD* copy);
// The same, found by request: the oldest pending command of srb.
bool iscsiCopyPendingCmdBySrb(ISCSI_SESSION* session, PSCSI_REQUEST_BLOCK srb, ISCSI_CMD* copy);
// Gives a command record back to freeCmdQ together with its header buffer, if it has one.
void freeCmdRecord(ISCSI_CMD* cmd);
// Finishes a command that has left the pending table: completes its request (by kind, with the
// status and residual for CMD_FINISH_STATUS) and frees the record. While the command queue thread
// sends R2T data from the command's buffer, the finish is left to that thread, which does it once
// its send has ended: a request's buffer is never read after the request was handed back. No
// engine lock held.
void iscsiFinishCmd(ISCSI_SESSION* session, ISCSI_CMD* cmd, UCHAR kind, UCHAR scsiStatus,
                    ULONG residual);
// The pending command whose tag is itt, copied, and held for sending R2T data from its buffer
// (iscsiFinishCmd then leaves the finish to the holder); null when none is pending.
ISCSI_CMD* iscsiHoldCmdData(ISCSI_SESSION* session, ULONG itt, ISCSI_CMD* copy);
// Whether a finish of the held command has come: the rest of its data need not be sent.
bool iscsiHeldCmdFinishing(ISCSI_SESSION* session, ISCSI_CMD* cmd);
// Ends the hold, and finishes the command if a finish came meanwhile.
void iscsiReleaseCmdData(ISCSI_SESSION* session, ISCSI_CMD* cmd);

// Whether serial number a is ahead of b, across the wrap.
int GT_WITH_WRAP(ULONG a, ULONG b);
void registerStatSN(ISCSI_SESSION* session, ULONG statSN);

// ---- sessions
int iscsiCoreInitData();
void iscsiCoreCleanupData();
int initSessions();
void cleanupSessions();
ISCSI_SESSION* getSessionStruct(ULONG handle);
// The session of the handle, referenced so that it is not freed while the caller uses it; null
// when the handle names none. Every reference is given back with iscsiReleaseSession. Any IRQL up
// to DISPATCH_LEVEL.
ISCSI_SESSION* iscsiReferenceSession(ULONG handle);
void iscsiReleaseSession(ISCSI_SESSION* session);
ULONG getSessionHandle(ISCSI_SESSION* session);
ULONG iscsiCoreCreateSession(const ISCSI_TARGET_ADDRESS* addresses, ULONG numConnections,
                             const char* loginString, ULONG loginStringLength, ULONG busNumber);
int iscsiCoreDeleteSession(ULONG handle);
void freeSessionResources(ISCSI_SESSION* session);
void breakTcpConnectionsAndEmptyQs(ISCSI_SESSION* session);
void emptySessionQs(ISCSI_SESSION* session);
void destroyConnections(ISCSI_SESSION* session);

// The number of connection records in use: numMaxConnections, which negotiation may change, never
// counted past the records that exist.
inline ULONG iscsiConnectionCount(const ISCSI_SESSION* session) {
    return session->numMaxConnections < session->numConnectionRecords
               ? session->numMaxConnections.get()
               : session->numConnectionRecords;
}

// Takes the connection out of activeConnections, moving the last active entry into its slot so
// the entries stay contiguous. Called with the session lock held.
void iscsiRemoveActiveConnectionLocked(ISCSI_SESSION* session, ISCSI_CONNECTION* connection);
// Takes a connection out of its session as its receive thread ends: completes what was in
// flight on it, makes it idle, clears SESSION_RESETTING with the last one, wakes a waiting
// deletion, and with the last one wakes the command queue thread to reconnect (connectionsLost).
void iscsiConnectionEnded(ISCSI_SESSION* session, ISCSI_CONNECTION* connection);
// Ends a connection attempt of the session: clears SESSION_CONNECTING and wakes a waiting
// deletion and the command queue thread (which paces the next attempt), or, when a reconnection was
// asked for meanwhile (reconnectAsked), hands the bit on to a reconnection thread. Returns
// numActiveConnections, read before the lock is released, since once the bit is clear a waiting
// deletion may free the session.
int iscsiEndConnecting(ISCSI_SESSION* session);
// Starts a reconnection thread for a session whose SESSION_CONNECTING the caller holds: it waits
// until no connection marked reconnectWanted is active, then delaySeconds, then brings up the idle
// connections (makeTcpConnections). Without a thread, it ends the attempt (iscsiEndConnecting).
void iscsiStartReconnectThread(ISCSI_SESSION* session, ULONG delaySeconds);

// ---- the adapter's entry points into the engine
// Direction of a command's data (ISCSI_CMD.direction).
constexpr ULONG ISCSI_DIR_NONE = 0;
constexpr ULONG ISCSI_DIR_READ = 1;
constexpr ULONG ISCSI_DIR_WRITE = 2;

// Queues one SCSI command on the session; 0 when queued, -1 when refused (no such session, the
// queue is as long as the command window allows, the session is resetting its connections, or
// no command record is free). The caller completes a refused request itself. Never blocks; any
// IRQL up to DISPATCH_LEVEL. The LUN (8 bytes) is copied; the CDB and data buffer stay the
// caller's until the request completes.
int iscsiCoreEnterCmdInQ(PSCSI_REQUEST_BLOCK srb, const UCHAR* cdb, ULONG cdbLength, ULONG handle,
                         const UCHAR* lun, PVOID dataBuffer, ULONG dataLength, ULONG dataContext,
                         ULONG direction, UCHAR taskAttributes);
// Aborts the command of srbToAbort; abortSrb is completed when the abort is finished. Returns
// TM_RESULT_ABORTED (done at once; the caller completes abortSrb), TM_RESULT_DONE (the engine
// completes abortSrb later through iscsiOScompleteTaskMan), TM_RESULT_NOT_FOUND or
// TM_RESULT_ABORT_FAILED. With TM_WAIT_FLAG_WAITER the call waits (PASSIVE_LEVEL only) and returns
// the final result.
ULONG iscsiCoreAbortCmd(PSCSI_REQUEST_BLOCK srbToAbort, PSCSI_REQUEST_BLOCK abortSrb, ULONG handle,
                        ULONG waitFlags);
// Breaks all the session's connections and empties its queues, and waits (at most 10 seconds,
// PASSIVE_LEVEL) until the broken connections' receive threads have completed what was in flight
// on them: TM_RESULT_DONE, or TM_RESULT_FAILED when the handle names no session. The two further
// arguments are unused (0).
ULONG iscsiCoreResetBus(ULONG handle, ULONG unused1, ULONG unused2);
// The shutdown's reset: as iscsiCoreResetBus, but the session is ended first (SESSION_ENDED), so it
// never connects again; a reconnection after a shutdown would wait for a login that the shut-down
// adapter can no longer see through (its security step) or a target that no longer answers.
ULONG iscsiCoreEndSession(ULONG handle);

// ---- one path for a failed connection, and for a PDU that is dropped
// Drops the connection: breaks its transport, so that its reads and writes fail and its receive
// thread ends and completes what was in flight on it, and sets its state.
void iscsiDropConnection(ISCSI_CONNECTION* connection, ULONG state);
// Drops one received PDU: consumes its data segment (and padding) so that the next read starts at
// a header. 0, or -1 when the segment could not be read (the connection is then dropped).
int iscsiDropPdu(ISCSI_CONNECTION* connection, ULONG dataLength);
// Reads and discards count bytes without allocating. 0, or -1 when the read came short.
int iscsiDiscardBytes(PISCSI_SOCK pSock, ULONG count);
// Writes one PDU (header, dataLength bytes at data + dataOffset, zero padding) in one send under
// the connection's send lock. 0 when all of it went out; ISCSI_CONNECTION_CLOSING, with nothing
// sent, when the connection's receive thread has begun its cleanup (a request entered into a table
// for it must be taken back by its sender); otherwise the connection is dropped (CONN_FAILED) and
// -1 returned. PASSIVE_LEVEL.
constexpr int ISCSI_CONNECTION_CLOSING = 1;
int iscsiSendPdu(ISCSI_CONNECTION* connection, const UCHAR* hdr, const void* data, ULONG dataLength,
                 ULONG dataOffset);
// iscsiSendPdu for a request entered into a table for the connection chosen at generation: also
// ISCSI_CONNECTION_CLOSING, with nothing sent, when the connection has ended since.
int iscsiSendRequestPdu(ISCSI_CONNECTION* connection, ULONG generation, const UCHAR* hdr,
                        const void* data, ULONG dataLength, ULONG dataOffset);

// ---- the data path's view of the negotiated values
constexpr ULONG ISCSI_MAX_SEGMENT = 0xFFFE00; // largest data segment: 24 bits, whole 512 units
// Publishes opParams' ImmediateData and DataPDULength to the senders. DataPDULength 0 counts as 1
// unit, so a sender never builds an empty segment or loops without progress.
void iscsiPublishDataPathParams(ISCSI_SESSION* session);
inline ULONG iscsiDataPduBytes(const ISCSI_SESSION* session) {
    ULONG bytes = session->dataPathParams.get() & 0x00FFFFFF;
    return bytes != 0 ? bytes : 512;
}
inline bool iscsiImmediateData(const ISCSI_SESSION* session) {
    return (session->dataPathParams.get() & 0x80000000) != 0;
}

// ---- command queue thread
void cmdQHandler(PVOID context);

// Session lock helpers: the session lock is an engine lock taken at any IRQL up to DISPATCH.
inline KIRQL iscsiLockSession(ISCSI_SESSION* session) {
    return KfAcquireSpinLock(&session->lock);
}
inline void iscsiUnlockSession(ISCSI_SESSION* session, KIRQL old) {
    KfReleaseSpinLock(&session->lock, old);
}
