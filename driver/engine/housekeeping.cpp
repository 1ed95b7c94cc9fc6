// The housekeeping PDUs of a session: the target's pings and the initiator's answers (queued for
// the command queue thread), the initiator's own ping, the target's asynchronous messages, its
// Rejects, and the Logout exchange.
//
// NOP-Out (0x00, 0x40 answering):    NOP-In (0xE0):              Asynchronous Message (0xF2):
//    1  0x80 ping wants an answer       1  0x80 answer wanted      37  event
//   16  initiator task tag (BE)        16  tag, FFFFFFFF: ping     38  connection (CID bytes)
//   20  target transfer tag (BE)       20  transfer tag            40  seconds before reconnecting
//                                                                  42  third parameter
// Reject (0xFF): 40 reason.  Logout (0x06): 8 CID, 11 reason.  Logout response (0xE6): 36.
#include "driver/engine/login_layer.h"
#include "driver/engine/pdu.h"
#include "driver/engine/receive.h"
#include "driver/runtime/runtime.h"

#include <cstring>

namespace {

constexpr UCHAR NOP_FLAG_ANSWER_WANTED = 0x80;
constexpr int NOP_TRANSFER_TAG = 20;
constexpr ULONG NOP_MAX_DATA = 4096;
constexpr ULONG NOP_PING_WAIT_SECONDS = 3;
constexpr int ASYNC_EVENT = 37;
constexpr int ASYNC_PARAM1 = 38;
constexpr int ASYNC_PARAM2 = 40;
constexpr int ASYNC_PARAM3 = 42;
constexpr int REJECT_REASON = 40;
constexpr UCHAR REJECT_REASON_BREAK = 0x0F;
constexpr int LOGOUT_CID = 8;
constexpr int LOGOUT_REASON = 11;
constexpr int LOGOUT_RESPONSE = 36;
constexpr ULONG RECONNECT_MAX_DELAY_SECONDS = 9;

// ---- reconnection after an asynchronous message, away from the receive thread it arrived on

// Context of a reconnection thread, from non-paged pool; freed by the thread.
struct ISCSI_RECONNECT {
    ISCSI_SESSION* session;
    ULONG delaySeconds;
};

// Whether a dropped connection is still active, its receive thread not ended yet. Called with the
// session lock held.
bool droppedActiveLocked(ISCSI_SESSION* session) {
    for (ULONG i = 0; i < session->numActiveConnections; i++) {
        if (session->activeConnections[i]->reconnectWanted) {
            return true;
        }
    }
    return false;
}

// Sleeps for a tenth of a second of the kernel clock (the wait the target asked for, in steps);
// false when the session is being deleted.
bool pause(ISCSI_SESSION* session) {
    LARGE_INTEGER interval;
    interval.QuadPart = -1000000;
    (void)KeDelayExecutionThread(KernelMode, FALSE, &interval);
    return (session->flags & SESSION_DELETING) == 0;
}

// Waits for the dropped connections' receive threads to end, waits the target's delay, then logs
// the session's idle connections in again. Holds SESSION_CONNECTING throughout, so deletion waits
// for it and the command queue thread starts no reconnection of its own meanwhile.
void reconnectThread(PVOID context) {
    auto* work = static_cast<ISCSI_RECONNECT*>(context);
    ISCSI_SESSION* session = work->session;
    bool go = true;
    // The receive threads end once their reads fail, which the breaks made certain; each one
    // that leaves, and the deletion, signal droppedEvent.
    for (;;) {
        KIRQL old = iscsiLockSession(session);
        bool waiting = droppedActiveLocked(session);
        iscsiUnlockSession(session, old);
        if (!waiting || !(go = (session->flags & SESSION_DELETING) == 0)) {
            break;
        }
        (void)KeWaitForSingleObject(&session->droppedEvent, Executive, KernelMode, FALSE, nullptr);
    }
    for (ULONG tenths = 0; go && tenths < work->delaySeconds * 10; tenths++) {
        go = pause(session);
    }
    ExFreePool(work);
    if (go && !(session->flags & SESSION_ENDED)) {
        (void)makeTcpConnections(session); // clears SESSION_CONNECTING
    } else {
        (void)iscsiEndConnecting(session);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// Reconnects after an asynchronous message dropped the connection (null: every active one),
// unless the session is being deleted or was ended. While another attempt to connect runs, which
// may have passed the dropped records already, the reconnection is left to follow it: that attempt
// hands SESSION_CONNECTING on to it as it ends (iscsiEndConnecting).
void startReconnect(ISCSI_SESSION* session, ISCSI_CONNECTION* connection, ULONG delaySeconds) {
    KIRQL old = iscsiLockSession(session);
    USHORT flags = session->flags;
    bool start = (flags & (SESSION_DELETING | SESSION_CONNECTING | SESSION_ENDED)) == 0;
    if (!(flags & (SESSION_DELETING | SESSION_ENDED))) {
        // The dropped connections still active are waited for: each leaves as its receive thread
        // ends, which the break made certain.
        for (ULONG i = 0; i < session->numActiveConnections; i++) {
            ISCSI_CONNECTION* active = session->activeConnections[i];
            if (connection == nullptr || active == connection) {
                active->reconnectWanted = 1;
            }
        }
        if (start) {
            session->flags |= SESSION_CONNECTING;
        } else {
            session->reconnectAsked = 1;
            if (delaySeconds > session->reconnectDelay) {
                session->reconnectDelay = delaySeconds;
            }
        }
    }
    iscsiUnlockSession(session, old);
    if (start) {
        iscsiStartReconnectThread(session, delaySeconds);
    }
}

// The connection of the session whose CID the two bytes name, or null.
ISCSI_CONNECTION* connectionByCid(ISCSI_SESSION* session, USHORT cid) {
    for (ULONG i = 0; i < session->numConnectionRecords; i++) {
        if (session->connections[i].cid == cid) {
            return &session->connections[i];
        }
    }
    return nullptr;
}

} // namespace

void iscsiStartReconnectThread(ISCSI_SESSION* session, ULONG delaySeconds) {
    auto* work = static_cast<ISCSI_RECONNECT*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(ISCSI_RECONNECT), ISCSI_POOL_TAG));
    if (work != nullptr) {
        work->session = session;
        work->delaySeconds = delaySeconds;
        if (iscsiOSthreadStarted(iscsiOScreateThread(reconnectThread, work, sizeof *work))) {
            return;
        }
        ExFreePool(work);
    }
    Debug(DBG_ERROR, "handleAsyncMessage: the reconnection could not be started\n");
    (void)iscsiEndConnecting(session);
}

LONG handleNOP_IN(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr) {
    ISCSI_SESSION* session = connection->session;
    const UCHAR* hdr = msgHdr->hdr;
    ULONG itt = iscsiPduGet32(hdr, PDU_ITT);
    ULONG ttt = iscsiPduGet32(hdr, NOP_TRANSFER_TAG);
    ULONG length = iscsiPduGetDataLength(hdr);
    bool targetPing = itt == ISCSI_RESERVED_TAG;
    if (targetPing) {
        if (!iscsiAcceptStatSN(connection, iscsiPduGet32(hdr, PDU_STATSN))) {
            return ISCSI_FAILURE;
        }
        iscsiPduResynchronise(connection, hdr, false);
    } else if (iscsiPduReceiveSequence(connection, hdr) != 0) {
        return ISCSI_FAILURE;
    }

    // Only what an answer can carry is kept; the rest of the segment is read and dropped.
    ULONG keep = length < NOP_MAX_DATA ? length : NOP_MAX_DATA;
    UCHAR* data = nullptr;
    if (length != 0) {
        ULONG readLength = length > NOP_MAX_DATA ? NOP_MAX_DATA : iscsiPadLength(length);
        data = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, readLength, ISCSI_POOL_TAG));
        if (data == nullptr) {
            return ISCSI_FAILURE;
        }
        if (iscsiOSreadFromConnection(connection->pSock, data, readLength, 0, 0) !=
                static_cast<LONG>(readLength) ||
            iscsiDiscardBytes(connection->pSock, iscsiPadLength(length) - readLength) != 0) {
            ExFreePool(data);
            iscsiDropConnection(connection, CONN_FAILED);
            return ISCSI_FAILURE;
        }
    }

    if (targetPing) {
        if (ttt != ISCSI_RESERVED_TAG && (hdr[PDU_FLAGS] & NOP_FLAG_ANSWER_WANTED)) {
            ISCSI_TASK_MAN* tm =
                iscsiTakeTaskMan(TM_FUNCTION_NOP_REPLY, connection, hdr + PDU_LUN, itt, ttt);
            if (tm == nullptr) {
                if (data != nullptr) {
                    ExFreePool(data);
                }
                return ISCSI_FAILURE;
            }
            tm->nopData = data;
            tm->nopLength = keep;
            iscsiQueueTaskMan(session, tm);
            return 0;
        }
    } else {
        // The answer to a ping of ours: its data must be the ping's.
        KIRQL old = iscsiLockSession(session);
        if (data == nullptr || (connection->nopOutData != nullptr &&
                                std::memcmp(data, connection->nopOutData, keep) == 0)) {
            connection->nopInReceived = 1;
        }
        KeSetEvent(&connection->nopEvent, 0, FALSE);
        iscsiUnlockSession(session, old);
    }
    if (data != nullptr) {
        ExFreePool(data);
    }
    return 0;
}

LONG sendNop(ISCSI_SESSION* session, ISCSI_TASK_MAN* tm) {
    (void)session;
    // An answer never asks the target to answer it in turn.
    LONG result = sendNOP_OUT(tm->connection, tm->nopData, tm->nopLength, tm->refItt, tm->refCmdSN,
                              tm->lun, 0);
    if (tm->nopData != nullptr) {
        ExFreePool(tm->nopData);
        tm->nopData = nullptr;
    }
    iscsiQueuePut(&freeTaskManQ, tm);
    return result;
}

LONG sendNOP_OUT(ISCSI_CONNECTION* connection, const UCHAR* data, ULONG dataLength,
                 ULONG initiatorTaskTag, ULONG targetTransferTag, const UCHAR* lun,
                 UCHAR pingFlag) {
    ISCSI_SESSION* session = connection->session;
    bool ping = initiatorTaskTag != ISCSI_RESERVED_TAG;
    if (session->numActiveConnections == 0 || iscsiWindowClosed(session)) {
        return ISCSI_FAILURE;
    }
    ISCSI_MSG_HDR* msgHdr = getMessageHeader();
    if (msgHdr == nullptr) {
        return ISCSI_FAILURE;
    }
    UCHAR* hdr = msgHdr->hdr;
    RtlZeroMemory(hdr, ISCSI_HDR_LEN);
    hdr[PDU_OPCODE] = ping ? ISCSI_OP_NOP_OUT : ISCSI_OP_NOP_OUT_ANSWER;
    hdr[PDU_FLAGS] = pingFlag ? NOP_FLAG_ANSWER_WANTED : 0;
    iscsiPduPut32(hdr, PDU_ITT, initiatorTaskTag);
    iscsiPduPut32(hdr, NOP_TRANSFER_TAG, targetTransferTag);
    iscsiPduFillSequence(connection, hdr);
    if (lun != nullptr) {
        RtlCopyMemory(hdr + PDU_LUN, lun, 8);
    }
    if (data == nullptr) {
        dataLength = 0;
    }
    if (dataLength > NOP_MAX_DATA) {
        dataLength = NOP_MAX_DATA;
    }
    LONG result = 0;
    if (ping && pingFlag && dataLength != 0) {
        auto* copy =
            static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, NOP_MAX_DATA, ISCSI_POOL_TAG));
        if (copy == nullptr) {
            iscsiQueuePut(&freeMsgHdrQ, msgHdr);
            return ISCSI_FAILURE;
        }
        RtlCopyMemory(copy, data, dataLength);
        KIRQL old = iscsiLockSession(session);
        connection->nopOutData = copy;
        iscsiUnlockSession(session, old);
    }
    if (ping) {
        KIRQL old = iscsiLockSession(session);
        connection->nopInReceived = 0;
        KeInitializeEvent(&connection->nopEvent, SynchronizationEvent, FALSE);
        iscsiUnlockSession(session, old);
    }
    iscsiPduSetDataLength(hdr, dataLength);
    // Header, data and zero padding in one send.
    if (iscsiSendPdu(connection, hdr, data, dataLength, 0) != 0) {
        result = ISCSI_FAILURE;
    } else if (!ping) {
        result = static_cast<LONG>(ISCSI_HDR_LEN + iscsiPadLength(dataLength));
    } else {
        (void)iscsiOSlimitsleep(&connection->nopEvent, NOP_PING_WAIT_SECONDS);
        if (!connection->nopInReceived) {
            // A connection that does not answer is dropped; it comes back through a full login,
            // never as a bare transport carrying commands.
            Debug(DBG_ERROR, "sendNOP_OUT: no answer to the ping\n");
            iscsiDropConnection(connection, CONN_FAILED);
            result = ISCSI_FAILURE;
        }
    }
    if (ping) {
        KIRQL old = iscsiLockSession(session);
        UCHAR* copy = static_cast<UCHAR*>(connection->nopOutData);
        connection->nopOutData = nullptr;
        iscsiUnlockSession(session, old);
        if (copy != nullptr) {
            ExFreePool(copy);
        }
    }
    iscsiQueuePut(&freeMsgHdrQ, msgHdr);
    return result;
}

LONG handleReject(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr) {
    const UCHAR* hdr = msgHdr->hdr;
    ULONG length = iscsiPduGetDataLength(hdr);
    UCHAR reason = hdr[REJECT_REASON];
    Debug(DBG_ERROR, "handleReject: reason %x\n", reason);
    if (reason == REJECT_REASON_BREAK) {
        iscsiDropConnection(connection, CONN_FAILED);
        return ISCSI_FAILURE;
    }
    return iscsiDropPdu(connection, length);
}

LONG handleLogoutResponse(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr) {
    const UCHAR* hdr = msgHdr->hdr;
    if (iscsiPduReceiveSequence(connection, hdr) != 0) {
        return ISCSI_FAILURE;
    }
    if (iscsiDropPdu(connection, iscsiPduGetDataLength(hdr)) != 0) {
        return ISCSI_FAILURE;
    }
    if (hdr[LOGOUT_RESPONSE] != 0) {
        Debug(DBG_ERROR, "handleLogoutResponse: logout refused (%x)\n", hdr[LOGOUT_RESPONSE]);
        return ISCSI_FAILURE; // the loop ends; the transport stays connected
    }
    iscsiDropConnection(connection, CONN_IDLE);
    return 0; // the next read fails and ends the loop
}

int sendLogout(ISCSI_CONNECTION* connection, ISCSI_CONNECTION* cidSource, UCHAR reasonCode) {
    ISCSI_SESSION* session = connection->session;
    if (session->numActiveConnections == 0 || iscsiWindowClosed(session)) {
        return ISCSI_FAILURE;
    }
    ISCSI_MSG_HDR* msgHdr = getMessageHeader();
    if (msgHdr == nullptr) {
        return ISCSI_FAILURE;
    }
    UCHAR* hdr = msgHdr->hdr;
    RtlZeroMemory(hdr, ISCSI_HDR_LEN);
    hdr[PDU_OPCODE] = ISCSI_OP_LOGOUT;
    if (reasonCode != 0) {
        iscsiPduPut16(hdr, LOGOUT_CID, cidSource->cid);
    }
    hdr[LOGOUT_REASON] = reasonCode;
    iscsiPduFillSequence(connection, hdr);
    iscsiPduSetItt(hdr, setTaskId(session));
    hdr[PDU_FLAGS] = ISCSI_FLAG_FINAL;
    int result = iscsiSendPdu(connection, hdr, nullptr, 0, 0) == 0 ? 0 : ISCSI_FAILURE;
    iscsiQueuePut(&freeMsgHdrQ, msgHdr);
    return result;
}

LONG handleAsyncMessage(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr) {
    ISCSI_SESSION* session = connection->session;
    const UCHAR* hdr = msgHdr->hdr;
    if (!iscsiAcceptStatSN(connection, iscsiPduGet32(hdr, PDU_STATSN))) {
        return ISCSI_FAILURE;
    }
    iscsiPduResynchronise(connection, hdr, true);
    // A segment, should a target send one, is consumed like any other.
    if (iscsiDropPdu(connection, iscsiPduGetDataLength(hdr)) != 0) {
        return ISCSI_FAILURE;
    }
    UCHAR event = hdr[ASYNC_EVENT];
    USHORT param2 = iscsiPduGet16(hdr, ASYNC_PARAM2);
    USHORT param3 = iscsiPduGet16(hdr, ASYNC_PARAM3);
    ULONG delay = param2 >= 1 && param2 <= RECONNECT_MAX_DELAY_SECONDS ? param2 : 0;
    Debug(DBG_ERROR, "handleAsyncMessage: event %u, parameters %x %x %x\n", event,
          iscsiPduGet16(hdr, ASYNC_PARAM1), param2, param3);
    switch (event) {
    case 1:
        // Reset: the session's connections are broken and its queues emptied; this loop's next
        // read fails and ends it.
        breakTcpConnectionsAndEmptyQs(session);
        return static_cast<LONG>(TM_RESULT_DONE);
    case 2:
        return sendLogout(connection, connection, 1);
    case 3: {
        // The named connection is dropped; its receive thread completes what was in flight on it,
        // and it is logged in again (after the delay) once that thread has ended.
        ISCSI_CONNECTION* victim = connectionByCid(session, iscsiPduGet16(hdr, ASYNC_PARAM1));
        if (victim == nullptr || victim->state == CONN_UNUSABLE) {
            return 0;
        }
        iscsiDropConnection(victim, CONN_IDLE);
        startReconnect(session, victim, param3 == 0 ? delay : 0);
        return victim == connection ? ISCSI_FAILURE : 0;
    }
    case 4:
        // Every connection is dropped. This receive thread is one of them, so whatever must wait
        // for the receive threads to end runs on a thread of its own.
        if (param3 == 0) {
            KIRQL old = iscsiLockSession(session);
            session->flags |= SESSION_ENDED;
            iscsiUnlockSession(session, old);
        }
        breakTcpConnectionsAndEmptyQs(session);
        if (param3 != 0) {
            startReconnect(session, nullptr, delay);
        }
        return ISCSI_FAILURE;
    default:
        return 0;
    }
}
