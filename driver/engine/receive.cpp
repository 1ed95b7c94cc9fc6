// The receive thread of a logged-in connection: reads one header at a time, hands it to the
// handler of its opcode, and cleans up what depended on the connection when it ends.
#include "driver/engine/receive.h"
#include "driver/engine/os_services.h"
#include "driver/engine/pdu.h"
#include "driver/engine/text.h"
#include "driver/runtime/runtime.h"

int eatUpBytes(PISCSI_SOCK pSock, ULONG length) {
    if (length == 0) {
        return 0;
    }
    ULONG padded = iscsiPadLength(length);
    auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, padded, ISCSI_POOL_TAG));
    if (buffer == nullptr) {
        return ISCSI_FAILURE;
    }
    LONG got = iscsiOSreadFromConnection(pSock, buffer, padded, 0, 0);
    ExFreePool(buffer);
    return got == static_cast<LONG>(padded) ? 0 : ISCSI_FAILURE;
}

namespace {

// Dispatches one header; returns the handler's result, or -1 for an opcode the loop does not
// accept (the header buffer is then the caller's to give back).
LONG dispatch(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr, bool* bufferKept) {
    *bufferKept = false;
    switch (msgHdr->hdr[PDU_OPCODE]) {
    case ISCSI_OP_TEXT_RSP: {
        LONG r = handleTextResponse(connection, msgHdr, TEXT_MODE_RECEIVE_LOOP, nullptr, 0);
        return r < 0 ? r : 0;
    }
    default:
        // Login responses after login, opcodes of handlers not present, and unknown opcodes end
        // the loop; the data segment is not read.
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
            session->activeConnections[i] = session->activeConnections[n - 1];
            session->activeConnections[n - 1] = nullptr;
            --session->numActiveConnections;
            return;
        }
    }
}

void iscsiConnectionEnded(ISCSI_SESSION* session, ISCSI_CONNECTION* connection) {
    removeCmdsBadConnection(session, connection);
    removeTaskManBadConnection(session, connection);

    KIRQL old = iscsiLockSession(session);
    connection->state = CONN_IDLE;
    connection->readThread = 0;
    iscsiRemoveActiveConnectionLocked(session, connection);
    if (session->numActiveConnections == 0) {
        session->flags &= static_cast<USHORT>(~SESSION_RESETTING);
    }
    if (session->flags & SESSION_DELETING) {
        KeSetEvent(&session->exitEvent, 0, FALSE);
    }
    iscsiUnlockSession(session, old);
}
