// SCSI commands into the engine: the adapter's entry point, which only queues, and the sender of
// the SCSI Command PDU, which runs on the session's command queue thread.
//
// SCSI Command PDU (opcode 0x01), beyond the common header:
//    1  flags: 0x80 final, 0x40 read, 0x20 write, ORed with the task attributes
//   20  expected data transfer length (0 without data)
//   32  CDB, 16 bytes, zero-filled behind the command's own
#include "driver/engine/pdu.h"
#include "driver/engine/receive.h"
#include "driver/runtime/runtime.h"

namespace {

constexpr UCHAR SCSI_FLAG_READ = 0x40;
constexpr UCHAR SCSI_FLAG_WRITE = 0x20;
constexpr int SCSI_CMD_EXPECTED_LENGTH = 20;
constexpr int SCSI_CMD_CDB = 32;
constexpr ULONG SCSI_MAX_CDB = 16;
constexpr UCHAR SCSI_STATUS_BUSY = 0x08;

} // namespace

namespace {

int enterCmd(ISCSI_SESSION* session, PSCSI_REQUEST_BLOCK srb, const UCHAR* cdb, ULONG cdbLength,
             const UCHAR* lun, PVOID dataBuffer, ULONG dataLength, ULONG dataContext,
             ULONG direction, UCHAR taskAttributes) {
    // As many commands wait as the target's window has room for; a closed window wraps the
    // difference and lets commands in, which the sender then answers BUSY.
    if (session->cmdQ.count > session->maxCmdSN - session->cmdSN) {
        return ISCSI_FAILURE;
    }
    if (session->flags & SESSION_RESETTING) {
        return ISCSI_FAILURE;
    }
    // A longer CDB does not fit the PDU; cutting it would send another command.
    if (cdbLength > SCSI_MAX_CDB || (cdbLength != 0 && cdb == nullptr)) {
        Debug(DBG_ERROR, "iscsiCoreEnterCmdInQ: CDB of %u bytes refused\n", cdbLength);
        return ISCSI_FAILURE;
    }
    auto* cmd = static_cast<ISCSI_CMD*>(iscsiQueueTake(&freeCmdQ));
    if (cmd == nullptr) {
        return ISCSI_FAILURE;
    }
    cmd->srb = srb;
    cmd->cdb = cdb;
    cmd->cdbLength = cdbLength;
    RtlCopyMemory(cmd->lun, lun, sizeof cmd->lun);
    cmd->dataBuffer = static_cast<UCHAR*>(dataBuffer);
    cmd->dataLength = dataLength;
    cmd->dataContext = dataContext;
    cmd->direction = direction;
    cmd->session = session;
    cmd->taskAttributes = taskAttributes;
    cmd->connection = nullptr;
    iscsiQueuePut(&session->cmdQ, cmd);

    KIRQL old = iscsiLockSession(session);
    KeSetEvent(&session->cmdQEvent, 0, FALSE);
    iscsiUnlockSession(session, old);
    return 0;
}

} // namespace

int iscsiCoreEnterCmdInQ(PSCSI_REQUEST_BLOCK srb, const UCHAR* cdb, ULONG cdbLength, ULONG handle,
                         const UCHAR* lun, PVOID dataBuffer, ULONG dataLength, ULONG dataContext,
                         ULONG direction, UCHAR taskAttributes) {
    ISCSI_SESSION* session = iscsiReferenceSession(handle);
    if (session == nullptr) {
        return ISCSI_FAILURE;
    }
    int result = enterCmd(session, srb, cdb, cdbLength, lun, dataBuffer, dataLength, dataContext,
                          direction, taskAttributes);
    iscsiReleaseSession(session);
    return result;
}

ISCSI_CONNECTION* iscsiChooseConnectionLocked(ISCSI_SESSION* session, ULONG cmdSN) {
    ULONG n = session->numActiveConnections;
    for (ULONG i = 0; i < n; i++) {
        ISCSI_CONNECTION* connection = session->activeConnections[(cmdSN + i) % n];
        if (!connection->closing) {
            return connection;
        }
    }
    return nullptr;
}

void sendCmd(ISCSI_SESSION* session, ISCSI_CMD* cmd) {
    if (session->numActiveConnections == 0) {
        iscsiOScompleteCommandNoConnection(cmd->srb);
        freeCmdRecord(cmd);
        return;
    }
    ISCSI_MSG_HDR* msgHdr = nullptr;
    if (iscsiWindowClosed(session) || (msgHdr = getMessageHeader()) == nullptr) {
        Debug(DBG_REQUEST, "sendCmd: window closed or no header, BUSY\n");
        iscsiOScompleteCommand(cmd->srb, SCSI_STATUS_BUSY, 0);
        freeCmdRecord(cmd);
        return;
    }
    UCHAR* hdr = msgHdr->hdr;
    RtlZeroMemory(hdr, ISCSI_HDR_LEN);
    hdr[PDU_OPCODE] = ISCSI_OP_SCSI_CMD;
    UCHAR flags = ISCSI_FLAG_FINAL;
    ULONG immediate = 0;
    if (cmd->direction & ISCSI_DIR_WRITE) {
        flags |= SCSI_FLAG_WRITE;
        if (iscsiImmediateData(session)) {
            ULONG limit = iscsiDataPduBytes(session);
            immediate = cmd->dataLength < limit ? cmd->dataLength : limit;
        }
    } else if (cmd->direction & ISCSI_DIR_READ) {
        flags |= SCSI_FLAG_READ;
    }
    iscsiPduSetDataLength(hdr, immediate);
    if (cmd->direction != ISCSI_DIR_NONE) {
        iscsiPduPut32(hdr, SCSI_CMD_EXPECTED_LENGTH, cmd->dataLength);
    }
    RtlCopyMemory(hdr + PDU_LUN, cmd->lun, sizeof cmd->lun);

    // The CmdSN and the connection are chosen together, so commands spread round robin.
    KIRQL old = iscsiLockSession(session);
    ISCSI_CONNECTION* connection = iscsiChooseConnectionLocked(session, session->cmdSN);
    if (connection == nullptr) {
        iscsiUnlockSession(session, old);
        iscsiQueuePut(&freeMsgHdrQ, msgHdr);
        iscsiOScompleteCommandNoConnection(cmd->srb);
        freeCmdRecord(cmd);
        return;
    }
    cmd->connection = connection;
    ULONG generation = connection->generation;
    cmd->cmdSN = iscsiTakeCmdSNLocked(session);
    iscsiPduPut32(hdr, PDU_CMDSN, cmd->cmdSN);
    iscsiPduPut32(hdr, PDU_EXPSTATSN, connection->expStatSN);
    iscsiUnlockSession(session, old);

    if (cmd->cdbLength != 0) {
        RtlCopyMemory(hdr + SCSI_CMD_CDB, cmd->cdb, cmd->cdbLength);
    }
    cmd->msgHdr = msgHdr;
    cmd->itt = setTaskId(cmd);
    iscsiPduSetItt(hdr, cmd->itt);
    hdr[PDU_FLAGS] = static_cast<UCHAR>(flags | cmd->taskAttributes);

    // In the table before the write, so that the response always finds it. From here on the
    // record may be finished by another thread, its header buffer going back to the pool (and on
    // to another sender) while the write still reads it, so only locals are used: the header too.
    UCHAR* data = cmd->dataBuffer;
    UCHAR header[ISCSI_HDR_LEN];
    RtlCopyMemory(header, hdr, ISCSI_HDR_LEN);
    Debug(DBG_REQUEST, "sendCmd: tag %x, CmdSN %x, %u bytes immediate\n", cmd->itt, cmd->cmdSN,
          immediate);
    enterCmdIntoTable(session, cmd);
    // A failed write drops the connection; the command then waits in the table for its response
    // or for the end of the connection's receive thread. A connection that is ending, or has
    // ended since it was chosen, gets nothing: the command is taken back unless the sweep took it.
    if (iscsiSendRequestPdu(connection, generation, header, data, immediate, 0) ==
            ISCSI_CONNECTION_CLOSING &&
        removeCmdFromTable(session, cmd) != nullptr) {
        iscsiOScompleteCommandReset(cmd->srb);
        freeCmdRecord(cmd);
    }
}
