// The one path for a failed connection, the one path for a dropped PDU, the one way a PDU is
// written, and the senders' snapshot of the negotiated values.
#include "driver/engine/pdu.h"
#include "driver/runtime/runtime.h"

void iscsiDropConnection(ISCSI_CONNECTION* connection, ULONG state) {
    Debug(DBG_ERROR, "iscsiDropConnection: connection %u dropped, state %u\n", connection->cid,
          state);
    if (connection->pSock != nullptr) {
        (void)iscsiOSbreakConnection(connection->pSock);
    }
    connection->state = state;
}

int iscsiDiscardBytes(PISCSI_SOCK pSock, ULONG count) {
    // A small buffer on the stack, reused: discarding never allocates, whatever a peer declares.
    UCHAR scratch[512];
    while (count != 0) {
        ULONG chunk = count < sizeof scratch ? count : static_cast<ULONG>(sizeof scratch);
        if (iscsiOSreadFromConnection(pSock, scratch, chunk, 0, 0) != static_cast<LONG>(chunk)) {
            return ISCSI_FAILURE;
        }
        count -= chunk;
    }
    return 0;
}

int iscsiDropPdu(ISCSI_CONNECTION* connection, ULONG dataLength) {
    if (iscsiDiscardBytes(connection->pSock, iscsiPadLength(dataLength)) != 0) {
        iscsiDropConnection(connection, CONN_FAILED);
        return ISCSI_FAILURE;
    }
    return 0;
}

namespace {

int sendPdu(ISCSI_CONNECTION* connection, const ULONG* generation, const UCHAR* hdr,
            const void* data, ULONG dataLength, ULONG dataOffset) {
    ExAcquireFastMutexUnsafe(&connection->sendLock);
    ISCSI_SESSION* session = connection->session;
    KIRQL old = iscsiLockSession(session);
    bool closing = connection->closing != 0 ||
                   (generation != nullptr && connection->generation != *generation);
    iscsiUnlockSession(session, old);
    LONG sent = ISCSI_FAILURE;
    if (!closing) {
        sent = iscsiOSwritePdu(connection->pSock, hdr, data, dataLength, dataOffset);
    }
    ExReleaseFastMutexUnsafe(&connection->sendLock);
    if (closing) {
        return ISCSI_CONNECTION_CLOSING;
    }
    if (sent != static_cast<LONG>(ISCSI_HDR_LEN + iscsiPadLength(dataLength))) {
        iscsiDropConnection(connection, CONN_FAILED);
        return ISCSI_FAILURE;
    }
    return 0;
}

} // namespace

int iscsiSendPdu(ISCSI_CONNECTION* connection, const UCHAR* hdr, const void* data, ULONG dataLength,
                 ULONG dataOffset) {
    return sendPdu(connection, nullptr, hdr, data, dataLength, dataOffset);
}

int iscsiSendRequestPdu(ISCSI_CONNECTION* connection, ULONG generation, const UCHAR* hdr,
                        const void* data, ULONG dataLength, ULONG dataOffset) {
    return sendPdu(connection, &generation, hdr, data, dataLength, dataOffset);
}

void iscsiPublishDataPathParams(ISCSI_SESSION* session) {
    KIRQL old = iscsiLockSession(session);
    ULONG units = session->opParams[OP_DATA_PDU_LENGTH];
    if (units == 0) {
        units = 1;
    }
    ULONG bytes = units * 512;
    if (bytes > ISCSI_MAX_SEGMENT) {
        bytes = ISCSI_MAX_SEGMENT;
    }
    ULONG immediate = session->opParams[OP_IMMEDIATE_DATA] != 0 ? 0x80000000 : 0;
    session->dataPathParams = immediate | bytes;
    iscsiUnlockSession(session, old);
}
