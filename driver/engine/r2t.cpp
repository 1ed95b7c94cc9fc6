// Write data the target asks for: the receive thread queues each R2T, and the command queue thread
// answers it with a burst of Data-Out PDUs, so all sending of a session stays on one thread.
//
// R2T (0xF1):                          Data-Out (0x05):
//   20  target transfer tag              1  0x80 on the last PDU of the burst
//   40  buffer offset                   20  target transfer tag, as the R2T carried it
//   44  desired data transfer length    28  ExpStatSN
//                                       36  DataSN, from 0 per R2T
//                                       40  buffer offset
#include "driver/engine/pdu.h"
#include "driver/engine/receive.h"
#include "driver/runtime/runtime.h"

namespace {

constexpr int R2T_TRANSFER_TAG = 20;
constexpr int R2T_OFFSET = 40;
constexpr int R2T_LENGTH = 44;
constexpr int DATA_OUT_DATASN = 36;
constexpr int DATA_OUT_OFFSET = 40;

void dropRtt(ISCSI_RTT* rtt) {
    if (rtt->msgHdr != nullptr) {
        iscsiQueuePut(&freeMsgHdrQ, rtt->msgHdr);
        rtt->msgHdr = nullptr;
    }
    iscsiQueuePut(&freeRttQ, rtt);
}

// Sends the Data-Out PDUs of one R2T from the held command's buffer, stopping early when the
// command is finished meanwhile or a send fails.
void sendBurst(ISCSI_SESSION* session, ISCSI_CMD* held, const ISCSI_CMD* cmd, const UCHAR* r2t,
               ULONG offset, ULONG length, UCHAR* hdr) {
    ISCSI_CONNECTION* connection = cmd->connection;
    ULONG limit = iscsiDataPduBytes(session);
    for (ULONG dataSN = 0; length != 0 && !iscsiHeldCmdFinishing(session, held); dataSN++) {
        ULONG chunk = length < limit ? length : limit;
        RtlZeroMemory(hdr, ISCSI_HDR_LEN);
        hdr[PDU_OPCODE] = ISCSI_OP_DATA_OUT;
        if (chunk == length) {
            hdr[PDU_FLAGS] = ISCSI_FLAG_FINAL;
        }
        iscsiPduSetDataLength(hdr, chunk);
        iscsiPduSetItt(hdr, cmd->itt);
        RtlCopyMemory(hdr + R2T_TRANSFER_TAG, r2t + R2T_TRANSFER_TAG, 4);
        iscsiPduPut32(hdr, DATA_OUT_DATASN, dataSN);
        iscsiPduPut32(hdr, DATA_OUT_OFFSET, offset);
        KIRQL old = iscsiLockSession(session);
        iscsiPduPut32(hdr, PDU_EXPSTATSN, connection->expStatSN);
        iscsiUnlockSession(session, old);
        if (iscsiSendPdu(connection, hdr, cmd->dataBuffer, chunk, offset) != 0) {
            break; // the rest of the burst is not sent
        }
        offset += chunk;
        length -= chunk;
    }
}

} // namespace

LONG handleRtt(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr) {
    ISCSI_SESSION* session = connection->session;
    const UCHAR* hdr = msgHdr->hdr;
    registerStatSN(session, iscsiPduGet32(hdr, PDU_STATSN));
    iscsiPduReceiveWindow(connection, hdr);
    // An R2T carries no data; one that declares some has it consumed all the same.
    ULONG length = iscsiPduGetDataLength(hdr);
    if (length != 0 && iscsiDropPdu(connection, length) != 0) {
        iscsiQueuePut(&freeMsgHdrQ, msgHdr);
        return ISCSI_FAILURE;
    }

    ISCSI_CMD cmd;
    ULONG itt = iscsiPduGetItt(hdr);
    if (!iscsiCopyPendingCmd(session, itt, &cmd) ||
        iscsiPduGet32(hdr, R2T_OFFSET) > cmd.dataLength) {
        Debug(DBG_REQUEST, "handleRtt: R2T for tag %x ignored\n", itt);
        iscsiQueuePut(&freeMsgHdrQ, msgHdr);
        return 0;
    }
    ISCSI_RTT* rtt = getRttStruct();
    if (rtt == nullptr) {
        iscsiQueuePut(&freeMsgHdrQ, msgHdr);
        return 0;
    }
    rtt->cmd = nullptr; // the command is found again by its tag when the R2T is served
    rtt->msgHdr = msgHdr;
    iscsiQueuePut(&session->rttQ, rtt);
    KIRQL old = iscsiLockSession(session);
    KeSetEvent(&session->cmdQEvent, 0, FALSE);
    iscsiUnlockSession(session, old);
    return 0;
}

void sendRttData(ISCSI_SESSION* session, ISCSI_RTT* rtt) {
    const UCHAR* r2t = rtt->msgHdr->hdr;
    ISCSI_CMD cmd;
    // The command must still be pending: its record may have been finished and reused since the
    // R2T arrived. It is held while its data is sent, so that a response that finishes it
    // meanwhile leaves the completion to this thread: the buffer stays the request's until the
    // last Data-Out has gone.
    ISCSI_CMD* held = session->numActiveConnections != 0
                          ? iscsiHoldCmdData(session, iscsiPduGetItt(r2t), &cmd)
                          : nullptr;
    if (held == nullptr) {
        dropRtt(rtt);
        return;
    }
    ULONG offset = iscsiPduGet32(r2t, R2T_OFFSET);
    ULONG length = iscsiPduGet32(r2t, R2T_LENGTH);
    // Only write commands get data.
    if (!(cmd.direction & ISCSI_DIR_WRITE) || length == 0 || offset >= cmd.dataLength) {
        length = 0;
    } else if (length > cmd.dataLength - offset) {
        length = cmd.dataLength - offset;
    }
    ISCSI_MSG_HDR* msgHdr = length != 0 ? getMessageHeader() : nullptr;
    if (msgHdr != nullptr) {
        sendBurst(session, held, &cmd, r2t, offset, length, msgHdr->hdr);
        iscsiQueuePut(&freeMsgHdrQ, msgHdr);
    }
    iscsiReleaseCmdData(session, held);
    dropRtt(rtt);
}
