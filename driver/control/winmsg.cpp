// The message handler thread and its queue.
#include "driver/api/driver.h"
#include "driver/control/control.h"
#include "driver/runtime/runtime.h"

WINMSG_HANDLER_CONTEXT winMsgHandlerContext;

int initWinMsgHandler(WINMSG_HANDLER_CONTEXT* context) {
    RtlZeroMemory(context, sizeof(*context));
    KeInitializeSpinLock(&context->lock, "winMsgHandler lock", SPIN_LOCK_ORDER_NONE);
    iscsiQueueInit(&context->msgQ, "msgQ");
    KeInitializeEvent(&context->msgEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&context->stoppedEvent, NotificationEvent, FALSE);
    for (ULONG& counter : context->resetCounter) {
        counter = 0;
    }
    context->flags = 0;
    ULONG thread = iscsiOScreateThread(winMsgHandler, context, 0);
    if (!iscsiOSthreadStarted(thread)) {
        context->thread = 0;
        KeSetEvent(&context->stoppedEvent, 0, FALSE);
        return ISCSI_FAILURE;
    }
    // The thread only clears this field when it ends, which needs the exit request first.
    KIRQL old = KfAcquireSpinLock(&context->lock);
    if ((context->flags & WINMSG_EXIT) == 0) {
        context->thread = thread;
    }
    KfReleaseSpinLock(&context->lock, old);
    return 0;
}

void killWinMsgHandler(WINMSG_HANDLER_CONTEXT* context) {
    KIRQL old = KfAcquireSpinLock(&context->lock);
    context->flags |= WINMSG_EXIT;
    KeSetEvent(&context->msgEvent, 0, FALSE);
    KfReleaseSpinLock(&context->lock, old);
}

int sendToWinMsgHandler(WINMSG_HANDLER_CONTEXT* context, ULONG type, PVOID payload) {
    auto* msg =
        static_cast<WINMSG*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(WINMSG), ISCSI_POOL_TAG));
    if (msg == nullptr) {
        return ISCSI_FAILURE;
    }
    RtlZeroMemory(msg, sizeof(WINMSG));
    msg->type = type;
    msg->payload = payload;

    KIRQL old = KfAcquireSpinLock(&context->lock);
    if (context->flags & WINMSG_EXIT) {
        KfReleaseSpinLock(&context->lock, old);
        ExFreePool(msg);
        return ISCSI_FAILURE;
    }
    iscsiQueuePut(&context->msgQ, msg);
    KeSetEvent(&context->msgEvent, 0, FALSE);
    KfReleaseSpinLock(&context->lock, old);
    return 0;
}

void winMsgHandler(PVOID contextArg) {
    auto* context = static_cast<WINMSG_HANDLER_CONTEXT*>(contextArg);
    KIRQL old = KfAcquireSpinLock(&context->lock);
    while ((context->flags & WINMSG_EXIT) == 0) {
        auto* msg = static_cast<WINMSG*>(iscsiQueueTake(&context->msgQ));
        KfReleaseSpinLock(&context->lock, old);
        if (msg != nullptr) {
            handleWinMsg(context, msg->type, msg->payload, 0);
            ExFreePool(msg);
        } else {
            (void)KeWaitForSingleObject(&context->msgEvent, Executive, KernelMode, FALSE, nullptr);
        }
        old = KfAcquireSpinLock(&context->lock);
    }
    KfReleaseSpinLock(&context->lock, old);

    // Messages posted before the exit request are still carried out.
    for (;;) {
        auto* msg = static_cast<WINMSG*>(iscsiQueueTake(&context->msgQ));
        if (msg == nullptr) {
            break;
        }
        handleWinMsg(context, msg->type, msg->payload, 1);
        ExFreePool(msg);
    }

    old = KfAcquireSpinLock(&context->lock);
    context->thread = 0;
    KeSetEvent(&context->stoppedEvent, 0, FALSE);
    KfReleaseSpinLock(&context->lock, old);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void quevStopDriver() {
    killWinMsgHandler(&winMsgHandlerContext);
}

BOOLEAN quevWaitDriverStopped(ULONG milliseconds) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    return KeWaitForSingleObject(&winMsgHandlerContext.stoppedEvent, Executive, KernelMode, FALSE,
                                 &timeout) == STATUS_SUCCESS;
}
