// Task management: aborting a command (locally while it was never sent, else by a Task Management
// Request to the target), resetting a session's bus, and finishing task-management records by the
// target's response, locally, or when their connection ends.
//
// Task Management Request (0x02):          Task Management Response (0xE2):
//    1  0x80 | function (0x81 abort)          36  response: 0 done, other not done
//    8  LUN of the command to abort
//   20  referenced task tag (0xFFFFFFFF for none)
//   32  referenced CmdSN
#include "driver/engine/pdu.h"
#include "driver/engine/receive.h"
#include "driver/runtime/runtime.h"

#include <cstring>

namespace {

constexpr int TM_REF_TAG = 20;
constexpr int TM_REF_CMDSN = 32;
constexpr int TM_RESPONSE = 36;
// How long a reset waits at most for the session's receive threads to end.
constexpr ULONG RESET_WAIT_SECONDS = 10;

// Takes the aborted command out of the table by its tag and completes it as aborted.
ULONG abortPendingCmd(ISCSI_SESSION* session, ULONG itt) {
    auto* cmd =
        static_cast<ISCSI_CMD*>(lookupTaskId(session, itt, LOOKUP_CMD_TABLE | LOOKUP_UNLINK));
    if (cmd == nullptr) {
        return TM_RESULT_NOT_FOUND;
    }
    iscsiFinishCmd(session, cmd, CMD_FINISH_ABORT, 0, 0);
    return TM_RESULT_ABORTED;
}

ULONG abortCmd(ISCSI_SESSION* session, PSCSI_REQUEST_BLOCK srbToAbort, PSCSI_REQUEST_BLOCK abortSrb,
               ULONG waitFlags) {
    ISCSI_CMD* queued = removeCmdFromQ(&session->cmdQ, srbToAbort);
    if (queued != nullptr) {
        iscsiOScompleteCommandAbort(queued->srb);
        freeCmdRecord(queued);
        return TM_RESULT_ABORTED;
    }
    // What the request needs of the command is copied now, while it is certainly pending.
    ISCSI_CMD cmd;
    if (!iscsiCopyPendingCmdBySrb(session, srbToAbort, &cmd)) {
        return TM_RESULT_NOT_FOUND;
    }
    if (session->numActiveConnections == 0) {
        return abortPendingCmd(session, cmd.itt);
    }
    ISCSI_TASK_MAN* tm =
        iscsiTakeTaskMan(TM_FUNCTION_ABORT_TASK, nullptr, cmd.lun, cmd.itt, cmd.cmdSN);
    if (tm == nullptr) {
        return TM_RESULT_ABORT_FAILED;
    }
    tm->srb = abortSrb;
    tm->waitFlags = waitFlags;
    iscsiQueueTaskMan(session, tm);
    if (!(waitFlags & TM_WAIT_FLAG_WAITER)) {
        return TM_RESULT_DONE;
    }
    (void)KeWaitForSingleObject(&tm->doneEvent, Executive, KernelMode, FALSE, nullptr);
    ULONG result = tm->result;
    iscsiQueuePut(&freeTaskManQ, tm);
    return result != 0 ? result : TM_RESULT_ABORT_FAILED;
}

} // namespace

ISCSI_CMD* removeCmdFromQ(ISCSI_QUEUE* cmdQ, PSCSI_REQUEST_BLOCK srb) {
    ISCSI_CMD* found = nullptr;
    KIRQL old = KfAcquireSpinLock(&cmdQ->lock);
    ISCSI_CMD* previous = nullptr;
    for (auto* cmd = static_cast<ISCSI_CMD*>(cmdQ->head); cmd != nullptr;
         cmd = static_cast<ISCSI_CMD*>(cmd->links.next)) {
        if (cmd->srb == srb) {
            if (previous == nullptr) {
                cmdQ->head = cmd->links.next;
            } else {
                previous->links.next = cmd->links.next;
            }
            if (cmdQ->tail == cmd) {
                cmdQ->tail = previous;
            }
            cmd->links.next = nullptr;
            --cmdQ->count;
            found = cmd;
            break;
        }
        previous = cmd;
    }
    KfReleaseSpinLock(&cmdQ->lock, old);
    return found;
}

ISCSI_TASK_MAN* iscsiTakeTaskMan(UCHAR function, ISCSI_CONNECTION* connection, const UCHAR* lun,
                                 ULONG refItt, ULONG refCmdSN) {
    auto* tm = static_cast<ISCSI_TASK_MAN*>(iscsiQueueTake(&freeTaskManQ));
    if (tm == nullptr) {
        return nullptr;
    }
    // Nothing of an earlier use is left, not even a signalled event a new waiter would take.
    UCHAR poolIndex = tm->poolIndex;
    ULONG generation = tm->generation;
    RtlZeroMemory(tm, sizeof *tm);
    tm->poolIndex = poolIndex;
    tm->generation = generation;
    KeInitializeEvent(&tm->doneEvent, SynchronizationEvent, FALSE);
    tm->function = function;
    tm->connection = connection;
    RtlCopyMemory(tm->lun, lun, sizeof tm->lun);
    tm->refItt = refItt;
    tm->refCmdSN = refCmdSN;
    return tm;
}

void iscsiQueueTaskMan(ISCSI_SESSION* session, ISCSI_TASK_MAN* taskMan) {
    iscsiQueuePut(&session->tmQ, taskMan);
    KIRQL old = iscsiLockSession(session);
    KeSetEvent(&session->cmdQEvent, 0, FALSE);
    iscsiUnlockSession(session, old);
}

void enterIntoTaskManTable(ISCSI_SESSION* session, ISCSI_TASK_MAN* taskMan) {
    iscsiTableInsert(&session->taskManTable, &taskMan->links);
}

void removeFromTaskManTable(ISCSI_SESSION* session, ISCSI_TASK_MAN* taskMan) {
    (void)iscsiTableRemove(&session->taskManTable, &taskMan->links);
}

ULONG iscsiCoreAbortCmd(PSCSI_REQUEST_BLOCK srbToAbort, PSCSI_REQUEST_BLOCK abortSrb, ULONG handle,
                        ULONG waitFlags) {
    ISCSI_SESSION* session = iscsiReferenceSession(handle);
    if (session == nullptr) {
        return TM_RESULT_ABORT_FAILED;
    }
    ULONG result = abortCmd(session, srbToAbort, abortSrb, waitFlags);
    iscsiReleaseSession(session);
    return result;
}

ULONG iscsiCoreResetBus(ULONG handle, ULONG unused1, ULONG unused2) {
    (void)unused1;
    (void)unused2;
    ISCSI_SESSION* session = iscsiReferenceSession(handle);
    if (session == nullptr) {
        return TM_RESULT_FAILED;
    }
    breakTcpConnectionsAndEmptyQs(session);
    // The broken connections' receive threads complete what was in flight on them as they end;
    // the last one clears SESSION_RESETTING and signals resetDoneEvent. Waited for (a bounded
    // time), so that the caller may take it that the engine holds none of the session's requests
    // any more; the wait ends as soon as the last one has ended.
    (void)iscsiOSlimitsleep(&session->resetDoneEvent, RESET_WAIT_SECONDS);
    iscsiReleaseSession(session);
    return TM_RESULT_DONE;
}

ULONG iscsiCoreEndSession(ULONG handle) {
    ISCSI_SESSION* session = iscsiReferenceSession(handle);
    if (session == nullptr) {
        return TM_RESULT_FAILED;
    }
    KIRQL old = iscsiLockSession(session);
    session->flags |= SESSION_ENDED;
    iscsiUnlockSession(session, old);
    iscsiReleaseSession(session);
    return iscsiCoreResetBus(handle, 0, 0);
}

void sendTaskManage(ISCSI_SESSION* session, ISCSI_TASK_MAN* tm) {
    ISCSI_MSG_HDR* msgHdr = nullptr;
    if (session->numActiveConnections == 0 || (msgHdr = getMessageHeader()) == nullptr) {
        completeTaskManLocal(session, tm);
        return;
    }
    tm->itt = setTaskId(tm);
    UCHAR* hdr = msgHdr->hdr;
    RtlZeroMemory(hdr, ISCSI_HDR_LEN);
    hdr[PDU_OPCODE] = ISCSI_OP_TASK_MAN;
    hdr[PDU_FLAGS] = static_cast<UCHAR>(ISCSI_FLAG_FINAL | tm->function);
    iscsiPduSetItt(hdr, tm->itt);
    iscsiPduPut32(hdr, TM_REF_TAG, ISCSI_RESERVED_TAG);
    if (tm->function == TM_FUNCTION_ABORT_TASK) {
        RtlCopyMemory(hdr + PDU_LUN, tm->lun, sizeof tm->lun);
        std::memcpy(hdr + TM_REF_TAG, &tm->refItt, sizeof tm->refItt); // as the command carried it
        iscsiPduPut32(hdr, TM_REF_CMDSN, tm->refCmdSN);
    }

    // Always on the first active connection; CmdSN shared with the commands, no window check.
    KIRQL old = iscsiLockSession(session);
    ISCSI_CONNECTION* connection = iscsiChooseConnectionLocked(session, 0);
    if (connection == nullptr) {
        iscsiUnlockSession(session, old);
        iscsiQueuePut(&freeMsgHdrQ, msgHdr);
        completeTaskManLocal(session, tm);
        return;
    }
    tm->connection = connection;
    ULONG generation = connection->generation;
    iscsiPduPut32(hdr, PDU_CMDSN, iscsiTakeCmdSNLocked(session));
    iscsiPduPut32(hdr, PDU_EXPSTATSN, connection->expStatSN);
    iscsiUnlockSession(session, old);

    Debug(DBG_REQUEST, "sendTaskManage: function %u, tag %x, for tag %x\n", tm->function, tm->itt,
          tm->refItt);
    enterIntoTaskManTable(session, tm);
    // On a failure the record is done locally, unless the ending connection's cleanup took it.
    if (iscsiSendRequestPdu(connection, generation, hdr, nullptr, 0, 0) != 0 &&
        iscsiTableRemove(&session->taskManTable, &tm->links)) {
        completeTaskManLocal(session, tm);
    }
    iscsiQueuePut(&freeMsgHdrQ, msgHdr);
}

LONG handleTaskManResponse(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr) {
    ISCSI_SESSION* session = connection->session;
    const UCHAR* hdr = msgHdr->hdr;
    ULONG itt = iscsiPduGetItt(hdr);
    UCHAR response = hdr[TM_RESPONSE];
    ULONG length = iscsiPduGetDataLength(hdr);
    registerStatSN(session, iscsiPduGet32(hdr, PDU_STATSN));
    int sequence = iscsiPduReceiveSequence(connection, hdr);
    iscsiQueuePut(&freeMsgHdrQ, msgHdr);
    if (sequence != 0) {
        return ISCSI_FAILURE;
    }
    // No data is expected; any that is declared is consumed.
    if (length != 0 && iscsiDropPdu(connection, length) != 0) {
        return ISCSI_FAILURE;
    }
    auto* tm = static_cast<ISCSI_TASK_MAN*>(
        lookupTaskId(session, itt, LOOKUP_TASK_MAN_TABLE | LOOKUP_UNLINK));
    if (tm == nullptr) {
        return 0;
    }
    tm->result = 0;
    if (tm->function == TM_FUNCTION_ABORT_TASK) {
        // The command's own response may have come first: then there is nothing to abort.
        tm->result = response == 0 ? abortPendingCmd(session, tm->refItt) : TM_RESULT_ABORT_FAILED;
    }
    Debug(DBG_REQUEST, "handleTaskManResponse: tag %x, response %x, result %u\n", itt, response,
          tm->result.get());
    finishTaskManOperation(session, tm);
    return 0;
}

void completeTaskManLocal(ISCSI_SESSION* session, ISCSI_TASK_MAN* tm) {
    tm->result = tm->function == TM_FUNCTION_ABORT_TASK ? abortPendingCmd(session, tm->refItt)
                                                        : TM_RESULT_FAILED;
    finishTaskManOperation(session, tm);
}

void finishTaskManOperation(ISCSI_SESSION* session, ISCSI_TASK_MAN* taskMan) {
    if (taskMan->waitFlags & TM_WAIT_FLAG_WAITER) {
        // The waiting caller takes the record over once signalled.
        KIRQL old = iscsiLockSession(session);
        KeSetEvent(&taskMan->doneEvent, 0, FALSE);
        iscsiUnlockSession(session, old);
        return;
    }
    iscsiOScompleteTaskMan(taskMan->function, taskMan->srb, taskMan->result);
    iscsiQueuePut(&freeTaskManQ, taskMan);
}

void removeTaskManBadConnection(ISCSI_SESSION* session, ISCSI_CONNECTION* connection) {
    ISCSI_TABLE* table = &session->taskManTable;
    for (;;) {
        ISCSI_TASK_MAN* victim = nullptr;
        KIRQL old = KfAcquireSpinLock(&table->lock);
        for (ISCSI_LINKS* p = table->head; p != nullptr; p = static_cast<ISCSI_LINKS*>(p->next)) {
            auto* tm = reinterpret_cast<ISCSI_TASK_MAN*>(p);
            if (tm->connection == connection) {
                iscsiTableUnlinkLocked(table, p);
                victim = tm;
                break;
            }
        }
        KfReleaseSpinLock(&table->lock, old);
        if (victim == nullptr) {
            return;
        }
        victim->result =
            victim->function == TM_FUNCTION_ABORT_TASK ? TM_RESULT_ABORT_FAILED : TM_RESULT_FAILED;
        finishTaskManOperation(session, victim);
    }
}
