// Finishing task-management requests: the ones whose connection ended, and the common finish
// that either wakes a waiting caller or completes the request to the adapter.
#include "driver/engine/os_services.h"
#include "driver/engine/receive.h"

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
