// The four record pools, the pending-command table, task tags and serial-number comparison.
// Command and task-management records are allocated once at start; R2T records and header buffers
// are allocated on first need and then kept, so the command path allocates nothing once it runs.
#include "driver/engine/engine.h"

ISCSI_QUEUE freeCmdQ;
ISCSI_QUEUE freeTaskManQ;
ISCSI_QUEUE freeRttQ;
ISCSI_QUEUE freeMsgHdrQ;

namespace {

// Tag layout: kind in the top 4 bits, then a 20-bit count of tags the record was given, then its
// 8-bit pool position. A tag is unique among the records in flight, is never 0xFFFFFFFF (the
// target's "no task" value), and is only ever matched by searching a table.
constexpr ULONG TAG_KIND_CMD = 0x10000000;
constexpr ULONG TAG_KIND_TASK_MAN = 0x20000000;
constexpr ULONG TAG_KIND_SESSION = 0x30000000;

ULONG makeTag(ULONG kind, ULONG generation, UCHAR index) {
    return kind | ((generation & 0xFFFFF) << 8) | index;
}

template <class T>
void freeQueueRecords(ISCSI_QUEUE* queue) {
    for (;;) {
        auto* record = static_cast<T*>(iscsiQueueTake(queue));
        if (record == nullptr) {
            return;
        }
        if constexpr (requires { record->doneEvent; }) {
            KeClearEvent(&record->doneEvent);
        }
        ExFreePool(record);
    }
}

template <class T>
T* takeOrAllocate(ISCSI_QUEUE* queue) {
    T* record = nullptr;
    if (queue->count != 0) {
        record = static_cast<T*>(iscsiQueueTake(queue));
    }
    if (record == nullptr) {
        record = static_cast<T*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(T), ISCSI_POOL_TAG));
        if (record == nullptr) {
            return nullptr;
        }
    }
    record->link = nullptr;
    return record;
}

} // namespace

void initGlobalQs() {
    iscsiQueueInit(&freeCmdQ, "freeCmdQ");
    iscsiQueueInit(&freeTaskManQ, "freeTaskManQ");
    iscsiQueueInit(&freeRttQ, "freeRttQ");
    iscsiQueueInit(&freeMsgHdrQ, "freeMsgHdrQ");

    for (int i = 0; i < ISCSI_CMD_POOL_SIZE; i++) {
        auto* cmd = static_cast<ISCSI_CMD*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(ISCSI_CMD), ISCSI_POOL_TAG));
        if (cmd == nullptr) {
            return; // the engine runs with fewer records; the task-management pool stays empty
        }
        RtlZeroMemory(cmd, sizeof(ISCSI_CMD));
        cmd->poolIndex = static_cast<UCHAR>(i);
        iscsiQueuePut(&freeCmdQ, cmd);
    }
    for (int i = 0; i < ISCSI_TASK_MAN_POOL_SIZE; i++) {
        auto* tm = static_cast<ISCSI_TASK_MAN*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(ISCSI_TASK_MAN), ISCSI_POOL_TAG));
        if (tm == nullptr) {
            return;
        }
        RtlZeroMemory(tm, sizeof(ISCSI_TASK_MAN));
        KeInitializeEvent(&tm->doneEvent, SynchronizationEvent, FALSE);
        tm->poolIndex = static_cast<UCHAR>(i);
        iscsiQueuePut(&freeTaskManQ, tm);
    }
}

void cleanupGlobalQs() {
    freeQueueRecords<ISCSI_RTT>(&freeRttQ);
    freeQueueRecords<ISCSI_MSG_HDR>(&freeMsgHdrQ);
    freeQueueRecords<ISCSI_TASK_MAN>(&freeTaskManQ);
    freeQueueRecords<ISCSI_CMD>(&freeCmdQ);
}

ISCSI_MSG_HDR* getMessageHeader() {
    return takeOrAllocate<ISCSI_MSG_HDR>(&freeMsgHdrQ);
}

ISCSI_RTT* getRttStruct() {
    return takeOrAllocate<ISCSI_RTT>(&freeRttQ);
}

void initPendingCmdTable(ISCSI_SESSION* session) {
    iscsiTableInit(&session->pendCmdTable, "pendCmdTable");
    iscsiTableInit(&session->taskManTable, "taskManTable");
}

void enterCmdIntoTable(ISCSI_SESSION* session, ISCSI_CMD* cmd) {
    iscsiTableInsert(&session->pendCmdTable, &cmd->links);
}

ISCSI_CMD* removeCmdFromTable(ISCSI_SESSION* session, ISCSI_CMD* cmd) {
    return iscsiTableRemove(&session->pendCmdTable, &cmd->links) ? cmd : nullptr;
}

ISCSI_CMD* findCmdInTable(ISCSI_SESSION* session, PSCSI_REQUEST_BLOCK srb) {
    ISCSI_CMD* found = nullptr;
    ISCSI_TABLE* table = &session->pendCmdTable;
    KIRQL old = KfAcquireSpinLock(&table->lock);
    for (ISCSI_LINKS* p = table->head; p != nullptr; p = static_cast<ISCSI_LINKS*>(p->next)) {
        auto* cmd = reinterpret_cast<ISCSI_CMD*>(p);
        if (cmd->srb == srb) {
            found = cmd;
            break;
        }
    }
    KfReleaseSpinLock(&table->lock, old);
    return found;
}

void* lookupTaskId(ISCSI_SESSION* session, ULONG itt, ULONG options) {
    ISCSI_TABLE* table;
    bool commands;
    if (options & LOOKUP_CMD_TABLE) {
        table = &session->pendCmdTable;
        commands = true;
    } else if (options & LOOKUP_TASK_MAN_TABLE) {
        table = &session->taskManTable;
        commands = false;
    } else {
        return nullptr;
    }
    void* found = nullptr;
    KIRQL old = KfAcquireSpinLock(&table->lock);
    for (ISCSI_LINKS* p = table->head; p != nullptr; p = static_cast<ISCSI_LINKS*>(p->next)) {
        ULONG tag = commands ? reinterpret_cast<ISCSI_CMD*>(p)->itt
                             : reinterpret_cast<ISCSI_TASK_MAN*>(p)->itt;
        if (tag == itt) {
            if (options & LOOKUP_UNLINK) {
                iscsiTableUnlinkLocked(table, p);
            }
            found = p;
            break;
        }
    }
    KfReleaseSpinLock(&table->lock, old);
    return found;
}

ULONG setTaskId(ISCSI_CMD* cmd) {
    return makeTag(TAG_KIND_CMD, ++cmd->generation, cmd->poolIndex);
}

ULONG setTaskId(ISCSI_TASK_MAN* taskMan) {
    return makeTag(TAG_KIND_TASK_MAN, ++taskMan->generation, taskMan->poolIndex);
}

ULONG setTaskId(ISCSI_SESSION* session) {
    return TAG_KIND_SESSION | session->isid;
}

void freeCmdRecord(ISCSI_CMD* cmd) {
    if (cmd->msgHdr != nullptr) {
        iscsiQueuePut(&freeMsgHdrQ, cmd->msgHdr);
        cmd->msgHdr = nullptr;
    }
    iscsiQueuePut(&freeCmdQ, cmd);
}

void removeCmdsBadConnection(ISCSI_SESSION* session, ISCSI_CONNECTION* connection) {
    ISCSI_TABLE* table = &session->pendCmdTable;
    for (;;) {
        ISCSI_CMD* victim = nullptr;
        KIRQL old = KfAcquireSpinLock(&table->lock);
        for (ISCSI_LINKS* p = table->head; p != nullptr; p = static_cast<ISCSI_LINKS*>(p->next)) {
            auto* cmd = reinterpret_cast<ISCSI_CMD*>(p);
            if (cmd->connection == connection) {
                iscsiTableUnlinkLocked(table, p);
                victim = cmd;
                break;
            }
        }
        KfReleaseSpinLock(&table->lock, old);
        if (victim == nullptr) {
            return;
        }
        // Completed with no lock held; the walk restarts from the oldest record.
        iscsiFinishCmd(session, victim, CMD_FINISH_RESET, 0, 0);
    }
}

namespace {

void completeCmd(ISCSI_CMD* cmd, UCHAR kind, UCHAR scsiStatus, ULONG residual) {
    switch (kind) {
    case CMD_FINISH_STATUS:
        iscsiOScompleteCommand(cmd->srb, scsiStatus, residual);
        break;
    case CMD_FINISH_ABORT:
        iscsiOScompleteCommandAbort(cmd->srb);
        break;
    default:
        iscsiOScompleteCommandReset(cmd->srb);
        break;
    }
    freeCmdRecord(cmd);
}

} // namespace

void iscsiFinishCmd(ISCSI_SESSION* session, ISCSI_CMD* cmd, UCHAR kind, UCHAR scsiStatus,
                    ULONG residual) {
    ISCSI_TABLE* table = &session->pendCmdTable;
    KIRQL old = KfAcquireSpinLock(&table->lock);
    bool held = cmd->dataHeld != 0;
    if (held && cmd->finishKind == 0) {
        cmd->finishKind = kind;
        cmd->finishStatus = scsiStatus;
        cmd->finishResidual = residual;
    }
    KfReleaseSpinLock(&table->lock, old);
    if (!held) {
        completeCmd(cmd, kind, scsiStatus, residual);
    }
}

ISCSI_CMD* iscsiHoldCmdData(ISCSI_SESSION* session, ULONG itt, ISCSI_CMD* copy) {
    ISCSI_CMD* held = nullptr;
    ISCSI_TABLE* table = &session->pendCmdTable;
    KIRQL old = KfAcquireSpinLock(&table->lock);
    for (ISCSI_LINKS* p = table->head; p != nullptr; p = static_cast<ISCSI_LINKS*>(p->next)) {
        auto* cmd = reinterpret_cast<ISCSI_CMD*>(p);
        if (cmd->itt == itt) {
            cmd->dataHeld = 1;
            cmd->finishKind = 0;
            *copy = *cmd;
            held = cmd;
            break;
        }
    }
    KfReleaseSpinLock(&table->lock, old);
    return held;
}

bool iscsiHeldCmdFinishing(ISCSI_SESSION* session, ISCSI_CMD* cmd) {
    ISCSI_TABLE* table = &session->pendCmdTable;
    KIRQL old = KfAcquireSpinLock(&table->lock);
    bool finishing = cmd->finishKind != 0;
    KfReleaseSpinLock(&table->lock, old);
    return finishing;
}

void iscsiReleaseCmdData(ISCSI_SESSION* session, ISCSI_CMD* cmd) {
    ISCSI_TABLE* table = &session->pendCmdTable;
    KIRQL old = KfAcquireSpinLock(&table->lock);
    cmd->dataHeld = 0;
    UCHAR kind = cmd->finishKind;
    cmd->finishKind = 0;
    KfReleaseSpinLock(&table->lock, old);
    if (kind != 0) {
        completeCmd(cmd, kind, cmd->finishStatus, cmd->finishResidual);
    }
}

int GT_WITH_WRAP(ULONG a, ULONG b) {
    if (a > b && (a < 0xEFFFFFFF || b > 0x10000000)) {
        return 1;
    }
    if (a < 0x10000000 && b > 0xEFFFFFFF) {
        return 1;
    }
    return 0;
}

void registerStatSN(ISCSI_SESSION* session, ULONG statSN) {
    // Nothing is recorded: the handlers check StatSN against their connection's expStatSN.
    (void)session;
    (void)statSN;
}

namespace {

// Copies the first pending command that `match` accepts, under the table lock.
template <class Match>
bool copyPending(ISCSI_SESSION* session, ISCSI_CMD* copy, Match match) {
    bool found = false;
    ISCSI_TABLE* table = &session->pendCmdTable;
    KIRQL old = KfAcquireSpinLock(&table->lock);
    for (ISCSI_LINKS* p = table->head; p != nullptr; p = static_cast<ISCSI_LINKS*>(p->next)) {
        auto* cmd = reinterpret_cast<ISCSI_CMD*>(p);
        if (match(cmd)) {
            *copy = *cmd;
            found = true;
            break;
        }
    }
    KfReleaseSpinLock(&table->lock, old);
    return found;
}

} // namespace

bool iscsiCopyPendingCmd(ISCSI_SESSION* session, ULONG itt, ISCSI_CMD* copy) {
    return copyPending(session, copy, [itt](const ISCSI_CMD* cmd) { return cmd->itt == itt; });
}

bool iscsiCopyPendingCmdBySrb(ISCSI_SESSION* session, PSCSI_REQUEST_BLOCK srb, ISCSI_CMD* copy) {
    return copyPending(session, copy, [srb](const ISCSI_CMD* cmd) { return cmd->srb == srb; });
}
