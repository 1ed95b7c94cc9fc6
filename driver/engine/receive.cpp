// The receive thread of a logged-in connection: reads one header at a time, hands it to the
// handler of its opcode, and cleans up what depended on the connection when it ends.
#include "driver/engine/receive.h"
#include "driver/engine/pdu.h"
#include "driver/engine/text.h"
#include "driver/runtime/runtime.h"

int eatUpBytes(PISCSI_SOCK pSock, ULONG length) {
    return iscsiDiscardBytes(pSock, iscsiPadLength(length));
}

namespace {

// Dispatches one header to the handler of its opcode. *bufferKept tells whether the handler took
// the header buffer over; otherwise the loop gives it back. An opcode the loop does not accept
// (a Login response after login, or an unknown one) ends the loop with its data unread.
LONG dispatch(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr, bool* bufferKept) {
    *bufferKept = true;
    switch (msgHdr->hdr[PDU_OPCODE]) {
    case ISCSI_OP_SCSI_RSP:
        return handleScsiResponse(connection, msgHdr);
    case ISCSI_OP_DATA_IN:
        return handleDataRead(connection, msgHdr);
    case ISCSI_OP_R2T:
        return handleRtt(connection, msgHdr);
    case ISCSI_OP_TASK_MAN_RSP:
        return handleTaskManResponse(connection, msgHdr);
    default:
        break;
    }
    *bufferKept = false;
    switch (msgHdr->hdr[PDU_OPCODE]) {
    case ISCSI_OP_NOP_IN:
        return handleNOP_IN(connection, msgHdr);
    case ISCSI_OP_TEXT_RSP:
        return handleTextResponse(connection, msgHdr);
    case ISCSI_OP_LOGOUT_RSP:
        return handleLogoutResponse(connection, msgHdr);
    case ISCSI_OP_ASYNC:
        return handleAsyncMessage(connection, msgHdr);
    case ISCSI_OP_REJECT:
        return handleReject(connection, msgHdr);
    default:
        Debug(DBG_ERROR, "readConnectionHandler: unexpected opcode %x\n", msgHdr->hdr[PDU_OPCODE]);
        return ISCSI_FAILURE;
    }
}

} // namespace

void readConnectionHandler(PVOID context) {
    auto* connection = static_cast<ISCSI_CONNECTION*>(context);
    PISCSI_SOCK pSock = connection->pSock;
    ISCSI_SESSION* session = connection->session;

    for (;;) {
        ISCSI_MSG_HDR* msgHdr = getMessageHeader();
        if (msgHdr == nullptr) {
            break;
        }
        if (iscsiOSreadFromConnection(pSock, msgHdr->hdr, ISCSI_HDR_LEN, 0, 0) != ISCSI_HDR_LEN) {
            iscsiQueuePut(&freeMsgHdrQ, msgHdr);
            break;
        }
        bool kept = false;
        LONG result = dispatch(connection, msgHdr, &kept);
        if (!kept) {
            iscsiQueuePut(&freeMsgHdrQ, msgHdr);
        }
        if (result < 0) {
            break;
        }
    }
    iscsiConnectionEnded(session, connection);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void iscsiRemoveActiveConnectionLocked(ISCSI_SESSION* session, ISCSI_CONNECTION* connection) {
    ULONG n = session->numActiveConnections;
    for (ULONG i = 0; i < n; i++) {
        if (session->activeConnections[i] == connection) {
            if (connection->reconnectWanted) {
                connection->reconnectWanted = 0;
                KeSetEvent(&session->droppedEvent, 0, FALSE);
            }
            session->activeConnections[i] = session->activeConnections[n - 1];
            session->activeConnections[n - 1] = nullptr;
            --session->numActiveConnections;
            return;
        }
    }
}

void iscsiConnectionEnded(ISCSI_SESSION* session, ISCSI_CONNECTION* connection) {
    // No new request picks the connection from now on; a send in progress is waited for, so that
    // every request entered into a table for it is either swept below or taken back by its sender.
    KIRQL old = iscsiLockSession(session);
    connection->closing = 1;
    iscsiUnlockSession(session, old);
    ExAcquireFastMutexUnsafe(&connection->sendLock);
    ExReleaseFastMutexUnsafe(&connection->sendLock);

    removeCmdsBadConnection(session, connection);
    removeTaskManBadConnection(session, connection);

    old = iscsiLockSession(session);
    // A text exchange waiting for a response on this connection gets none.
    if (connection->textWaiter != nullptr) {
        connection->textWaiter->done = true;
        connection->textWaiter = nullptr;
        KeSetEvent(&connection->textEvent, 0, FALSE);
    }
    connection->state = CONN_IDLE;
    connection->readThread = 0;
    connection->closing = 0;
    connection->generation++;
    iscsiRemoveActiveConnectionLocked(session, connection);
    if (session->numActiveConnections == 0) {
        session->flags &= static_cast<USHORT>(~SESSION_RESETTING);
        // The session reconnects at once rather than when new work happens to wake its command
        // queue thread: requests waiting to be retried resume as soon as it has logged in.
        if ((session->flags & (SESSION_DELETING | SESSION_ENDED)) == 0) {
            session->connectionsLost = 1;
            KeSetEvent(&session->cmdQEvent, 0, FALSE);
        }
        KeSetEvent(&session->resetDoneEvent, 0, FALSE);
    }
    if (session->flags & SESSION_DELETING) {
        KeSetEvent(&session->exitEvent, 0, FALSE);
    }
    iscsiUnlockSession(session, old);
}
