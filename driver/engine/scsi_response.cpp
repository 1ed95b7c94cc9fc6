// The handlers that finish SCSI commands: the SCSI Response and the Data-In, which carries read
// data and, on its last PDU, may carry the status as well.
//
// SCSI Response (0xE1):                    Data-In (0xE5):
//    1  flags: 0x1E residual bits           1  flags: 0x01 status present, 0x1E residual bits
//    2  SCSI status                         3  SCSI status (with 0x01)
//    3  response (0x80: end the loop)      20  residual count
//   20  residual count                     40  buffer offset
// A response's data segment is a 2-byte big-endian sense length and the sense data.
#include "driver/engine/pdu.h"
#include "driver/engine/receive.h"
#include "driver/runtime/runtime.h"
#include "platform/scsiport/srb.h"

namespace {

constexpr int RSP_STATUS = 2;
constexpr int RSP_RESPONSE = 3;
constexpr int RSP_RESIDUAL = 20;
constexpr int DATA_IN_STATUS = 3;
constexpr int DATA_IN_OFFSET = 40;
constexpr UCHAR RESIDUAL_BITS = 0x1E;
constexpr UCHAR DATA_IN_STATUS_PRESENT = 0x01;
constexpr UCHAR SCSI_STATUS_CHECK_CONDITION = 0x02;
constexpr UCHAR RESPONSE_END_LOOP = 0x80;

// Reads a response's sense segment and hands the sense data to the request by the auto-sense
// rules. Only what can be copied is kept (a sense buffer holds at most 255 bytes); the rest of
// the segment is read and dropped without allocating. 0, or -1 when the segment could not be read
// (the connection is then dropped).
int readSense(ISCSI_CONNECTION* connection, PSCSI_REQUEST_BLOCK srb, ULONG length) {
    UCHAR segment[2 + 255];
    ULONG keep = length < sizeof segment ? length : static_cast<ULONG>(sizeof segment);
    if (iscsiOSreadFromConnection(connection->pSock, segment, keep, 0, 0) !=
            static_cast<LONG>(keep) ||
        iscsiDiscardBytes(connection->pSock, iscsiPadLength(length) - keep) != 0) {
        iscsiDropConnection(connection, CONN_FAILED);
        return ISCSI_FAILURE;
    }
    if (keep < 2) {
        return 0;
    }
    ULONG senseLength = iscsiPduGet16(segment, 0);
    if (senseLength == 0) {
        return 0;
    }
    if (srb->SrbFlags & SRB_FLAGS_DISABLE_AUTOSENSE) {
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        return 0;
    }
    ULONG copy = senseLength;
    if (copy > srb->SenseInfoBufferLength) {
        copy = srb->SenseInfoBufferLength;
    }
    if (copy > keep - 2) {
        copy = keep - 2;
    }
    if (copy != 0 && srb->SenseInfoBuffer != nullptr) {
        RtlCopyMemory(srb->SenseInfoBuffer, segment + 2, copy);
    }
    srb->SrbStatus = SRB_STATUS_AUTOSENSE_VALID;
    return 0;
}

// Reads a Data-In segment straight into the command's buffer at its offset. Only the part inside
// [0, dataLength) of a read command is placed; the rest and the padding are read and dropped.
// 0, or -1 when the connection failed (it is then dropped).
int placeData(ISCSI_CONNECTION* connection, const ISCSI_CMD* cmd, ULONG offset, ULONG length) {
    if (length == 0) {
        return 0;
    }
    ULONG padded = iscsiPadLength(length);
    ULONG fit = 0;
    if ((cmd->direction & ISCSI_DIR_READ) && offset < cmd->dataLength) {
        fit = cmd->dataLength - offset < length ? cmd->dataLength - offset : length;
    }
    if (fit != 0 && iscsiOSreadFromConnection(connection->pSock, cmd->dataBuffer, fit,
                                              cmd->dataContext, offset) != static_cast<LONG>(fit)) {
        iscsiDropConnection(connection, CONN_FAILED);
        return ISCSI_FAILURE;
    }
    if (fit != padded && iscsiDiscardBytes(connection->pSock, padded - fit) != 0) {
        iscsiDropConnection(connection, CONN_FAILED);
        return ISCSI_FAILURE;
    }
    return 0;
}

} // namespace

LONG handleScsiResponse(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr) {
    ISCSI_SESSION* session = connection->session;
    const UCHAR* hdr = msgHdr->hdr;
    ULONG length = iscsiPduGetDataLength(hdr);
    UCHAR status = hdr[RSP_STATUS];
    UCHAR response = hdr[RSP_RESPONSE];
    ULONG residual = (hdr[PDU_FLAGS] & RESIDUAL_BITS) ? iscsiPduGet32(hdr, RSP_RESIDUAL) : 0;
    ULONG itt = iscsiPduGetItt(hdr);
    registerStatSN(session, iscsiPduGet32(hdr, PDU_STATSN));
    int sequence = iscsiPduReceiveSequence(connection, hdr);
    iscsiQueuePut(&freeMsgHdrQ, msgHdr);
    if (sequence != 0) {
        return ISCSI_FAILURE; // the command stays pending until the receive thread ends
    }

    auto* cmd =
        static_cast<ISCSI_CMD*>(lookupTaskId(session, itt, LOOKUP_CMD_TABLE | LOOKUP_UNLINK));
    if (cmd == nullptr) {
        Debug(DBG_REQUEST, "handleScsiResponse: no command with tag %x\n", itt);
        return iscsiDropPdu(connection, length);
    }
    LONG result = 0;
    if (length != 0) {
        // A good response's segment means nothing and is only consumed; either way a segment that
        // cannot be read ends the loop, but the command completes with the status it got.
        result = status == 0 && response == 0 ? iscsiDropPdu(connection, length)
                                              : readSense(connection, cmd->srb, length);
    }
    if (status == SCSI_STATUS_CHECK_CONDITION) {
        residual = 0;
    }
    Debug(DBG_REQUEST, "handleScsiResponse: tag %x, status %x, response %x\n", itt, status,
          response);
    iscsiFinishCmd(session, cmd, CMD_FINISH_STATUS, status, residual);
    if (status == SCSI_STATUS_CHECK_CONDITION && response == RESPONSE_END_LOOP) {
        return ISCSI_FAILURE;
    }
    return result;
}

LONG handleDataRead(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr) {
    ISCSI_SESSION* session = connection->session;
    const UCHAR* hdr = msgHdr->hdr;
    ULONG length = iscsiPduGetDataLength(hdr);
    bool statusPresent = (hdr[PDU_FLAGS] & DATA_IN_STATUS_PRESENT) != 0;
    UCHAR status = hdr[DATA_IN_STATUS];
    ULONG residual = (hdr[PDU_FLAGS] & RESIDUAL_BITS) ? iscsiPduGet32(hdr, RSP_RESIDUAL) : 0;
    ULONG statSN = iscsiPduGet32(hdr, PDU_STATSN);
    ULONG offset = iscsiPduGet32(hdr, DATA_IN_OFFSET);
    ULONG itt = iscsiPduGetItt(hdr);
    iscsiPduReceiveWindow(connection, hdr);
    iscsiQueuePut(&freeMsgHdrQ, msgHdr);

    // The command leaves the table while its data is placed, so nobody can complete it (and hand
    // its buffer back) under the read; without status it goes back in afterwards.
    auto* cmd =
        static_cast<ISCSI_CMD*>(lookupTaskId(session, itt, LOOKUP_CMD_TABLE | LOOKUP_UNLINK));
    if (cmd == nullptr) {
        Debug(DBG_REQUEST, "handleDataRead: no command with tag %x\n", itt);
        return iscsiDropPdu(connection, length);
    }
    LONG result = 0;
    if (statusPresent) {
        registerStatSN(session, statSN);
        if (iscsiAcceptStatSN(connection, statSN)) {
            KIRQL old = iscsiLockSession(session);
            connection->expStatSN = statSN + 1;
            iscsiUnlockSession(session, old);
        } else {
            result = ISCSI_FAILURE; // the data is not read; the command ends as its connection's
        }
    }
    if (result == 0) {
        result = placeData(connection, cmd, offset, length);
    }
    if (!statusPresent) {
        enterCmdIntoTable(session, cmd);
        return result;
    }
    if (result != 0) {
        // The status vouches for data that did not all reach the buffer: the connection failed
        // under the read (a bus reset breaks every connection of the session, whatever each is
        // reading), or the PDU was out of order and its data was never read. Completing with that
        // status would hand back a short buffer as a good read; the command ends instead as the
        // commands of a broken connection do, so that it is tried again.
        Debug(DBG_ERROR, "handleDataRead: tag %x, its data was not read whole\n", itt);
        iscsiFinishCmd(session, cmd, CMD_FINISH_RESET, 0, 0);
        return result;
    }
    Debug(DBG_REQUEST, "handleDataRead: tag %x done, status %x\n", itt, status);
    iscsiFinishCmd(session, cmd, CMD_FINISH_STATUS, status, residual);
    return result;
}
