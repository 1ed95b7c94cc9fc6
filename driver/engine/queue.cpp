// ISCSI_QUEUE and ISCSI_TABLE: the FIFO queues and in-flight tables every pool and session uses.
// Each lock guards only its own links and count and is held for a few pointer updates.
#include "driver/engine/engine.h"

namespace {

// Records are linked through their first word.
void*& linkOf(void* record) {
    return *static_cast<void**>(record);
}

} // namespace

void iscsiQueueInit(ISCSI_QUEUE* queue, const char* name) {
    KeInitializeSpinLock(&queue->lock, name, SPIN_LOCK_ORDER_ENGINE);
    queue->head = nullptr;
    queue->tail = nullptr;
    queue->count = 0;
}

void iscsiQueuePut(ISCSI_QUEUE* queue, void* record) {
    KIRQL old = KfAcquireSpinLock(&queue->lock);
    linkOf(record) = nullptr;
    if (queue->head == nullptr) {
        queue->head = record;
    } else {
        linkOf(queue->tail) = record;
    }
    queue->tail = record;
    ++queue->count;
    KfReleaseSpinLock(&queue->lock, old);
}

void* iscsiQueueTake(ISCSI_QUEUE* queue) {
    KIRQL old = KfAcquireSpinLock(&queue->lock);
    void* record = queue->head;
    if (record != nullptr) {
        queue->head = linkOf(record);
        linkOf(record) = nullptr;
        if (queue->head == nullptr) {
            queue->tail = nullptr;
        }
        --queue->count;
    }
    KfReleaseSpinLock(&queue->lock, old);
    return record;
}

void iscsiTableInit(ISCSI_TABLE* table, const char* name) {
    KeInitializeSpinLock(&table->lock, name, SPIN_LOCK_ORDER_ENGINE);
    table->head = nullptr;
    table->tail = nullptr;
    table->count = 0;
}

void iscsiTableInsert(ISCSI_TABLE* table, ISCSI_LINKS* record) {
    KIRQL old = KfAcquireSpinLock(&table->lock);
    record->next = nullptr;
    record->prev = table->tail;
    if (table->tail == nullptr) {
        table->head = record;
    } else {
        table->tail->next = record;
    }
    table->tail = record;
    ++table->count;
    KfReleaseSpinLock(&table->lock, old);
}

void iscsiTableUnlinkLocked(ISCSI_TABLE* table, ISCSI_LINKS* record) {
    auto* next = static_cast<ISCSI_LINKS*>(record->next);
    auto* prev = static_cast<ISCSI_LINKS*>(record->prev);
    if (prev == nullptr) {
        table->head = next;
    } else {
        prev->next = next;
    }
    if (next == nullptr) {
        table->tail = prev;
    } else {
        next->prev = prev;
    }
    record->next = nullptr;
    record->prev = nullptr;
    --table->count;
}

bool iscsiTableRemove(ISCSI_TABLE* table, ISCSI_LINKS* record) {
    bool found = false;
    KIRQL old = KfAcquireSpinLock(&table->lock);
    for (ISCSI_LINKS* p = table->head; p != nullptr; p = static_cast<ISCSI_LINKS*>(p->next)) {
        if (p == record) {
            iscsiTableUnlinkLocked(table, record);
            found = true;
            break;
        }
    }
    KfReleaseSpinLock(&table->lock, old);
    return found;
}
