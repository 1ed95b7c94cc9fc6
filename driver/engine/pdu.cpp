// Sequence-number bookkeeping shared by the senders and the response handlers.
#include "driver/engine/pdu.h"

#include "driver/runtime/runtime.h"

ULONG iscsiTakeCmdSNLocked(ISCSI_SESSION* session) {
    ULONG cmdSN = session->cmdSN;
    ULONG next = cmdSN + 1;
    session->cmdSN = next == 0 ? 1 : next;
    return cmdSN;
}

void iscsiPduFillSequence(ISCSI_CONNECTION* connection, UCHAR* hdr) {
    ISCSI_SESSION* session = connection->session;
    KIRQL old = iscsiLockSession(session);
    iscsiPduPut32(hdr, PDU_CMDSN, iscsiTakeCmdSNLocked(session));
    iscsiPduPut32(hdr, PDU_EXPSTATSN, connection->expStatSN);
    iscsiUnlockSession(session, old);
}

bool iscsiAcceptStatSN(ISCSI_CONNECTION* connection, ULONG statSN) {
    if (statSN - connection->expStatSN > 0x0FFFFFFF) {
        Debug(DBG_ERROR, "iscsiAcceptStatSN: StatSN %x out of sequence, expected %x\n", statSN,
              connection->expStatSN);
        iscsiDropConnection(connection, CONN_FAILED);
        return false;
    }
    return true;
}

void iscsiUpdateWindowLocked(ISCSI_SESSION* session, ULONG expCmdSN, ULONG maxCmdSN) {
    if (GT_WITH_WRAP(maxCmdSN, expCmdSN) || maxCmdSN == expCmdSN) {
        if (GT_WITH_WRAP(expCmdSN, session->expCmdSN)) {
            session->expCmdSN = expCmdSN;
        }
        if (GT_WITH_WRAP(maxCmdSN, session->maxCmdSN)) {
            session->maxCmdSN = maxCmdSN;
        }
    }
}

int iscsiPduReceiveSequence(ISCSI_CONNECTION* connection, const UCHAR* hdr) {
    ULONG statSN = iscsiPduGet32(hdr, PDU_STATSN);
    ULONG expCmdSN = iscsiPduGet32(hdr, PDU_EXPCMDSN);
    ULONG maxCmdSN = iscsiPduGet32(hdr, PDU_MAXCMDSN);
    if (!iscsiAcceptStatSN(connection, statSN)) {
        return ISCSI_FAILURE;
    }
    ISCSI_SESSION* session = connection->session;
    KIRQL old = iscsiLockSession(session);
    iscsiUpdateWindowLocked(session, expCmdSN, maxCmdSN);
    connection->expStatSN = statSN + 1;
    iscsiUnlockSession(session, old);
    return 0;
}

void iscsiPduReceiveWindow(ISCSI_CONNECTION* connection, const UCHAR* hdr) {
    ISCSI_SESSION* session = connection->session;
    KIRQL old = iscsiLockSession(session);
    iscsiUpdateWindowLocked(session, iscsiPduGet32(hdr, PDU_EXPCMDSN),
                            iscsiPduGet32(hdr, PDU_MAXCMDSN));
    iscsiUnlockSession(session, old);
}

void iscsiPduResynchronise(ISCSI_CONNECTION* connection, const UCHAR* hdr, bool setExpStatSN) {
    ISCSI_SESSION* session = connection->session;
    ULONG expCmdSN = iscsiPduGet32(hdr, PDU_EXPCMDSN);
    KIRQL old = iscsiLockSession(session);
    // cmdSN only moves forward: numbers already given to commands in flight (possibly on other
    // connections, not yet seen by the target) are never given out a second time.
    if (GT_WITH_WRAP(expCmdSN, session->cmdSN)) {
        session->cmdSN = expCmdSN == 0 ? 1 : expCmdSN;
    }
    session->expCmdSN = expCmdSN;
    session->maxCmdSN = iscsiPduGet32(hdr, PDU_MAXCMDSN);
    if (setExpStatSN) {
        connection->expStatSN = iscsiPduGet32(hdr, PDU_STATSN) + 1;
    }
    iscsiUnlockSession(session, old);
}
