// The message handler: one system thread that carries out, one at a time and in arrival order,
// every control operation that may wait (adding, removing and querying targets, text exchanges,
// bus resets, shutdown), outside the port driver's locks.
//
// Lock order: the context's `lock` first, then its queue's lock; both are held for a few
// instructions only, and no wait is made with either held.
#pragma once

#include "driver/engine/engine.h"

constexpr ULONG WINMSG_ADD_TARGET_BEGIN = 1;
constexpr ULONG WINMSG_RESET_BUS = 2;
constexpr ULONG WINMSG_SHUTDOWN = 3;
constexpr ULONG WINMSG_REMOVE_TARGET = 4;
constexpr ULONG WINMSG_SEND_RECEIVE_TEXT = 5;
constexpr ULONG WINMSG_ADD_TARGET_COMPLETE = 6;
constexpr ULONG WINMSG_QUERY_TARGET = 7;

constexpr ULONG WINMSG_EXIT = 0x1;
constexpr int WINMSG_BUSES = 8;

// One posted message, from non-paged pool; freed by the handler thread once carried out.
struct WINMSG {
    WINMSG* link; // next in msgQ
    ULONG type;
    PVOID payload; // by type: the control SRB, or a reset or shutdown record
};

// The handler's context. `lock` guards `flags`, `thread`, `resetCounter` and the decision to wait
// or to take a message; `msgQ` guards itself; `msgEvent` is signalled under `lock`.
struct WINMSG_HANDLER_CONTEXT {
    KSPIN_LOCK lock;
    ISCSI_QUEUE msgQ;
    KEVENT msgEvent;     // auto-reset: one signal per posted message and for the exit request
    KEVENT stoppedEvent; // notification: set once the handler thread has finished (or never ran)
    Shared<ULONG> thread;
    Shared<ULONG> flags;
    ULONG resetCounter[WINMSG_BUSES];
};

// Payload of WINMSG_RESET_BUS, from non-paged pool; freed by the handler.
struct WINMSG_RESET_RECORD {
    ULONG reserved; // 0
    ULONG busNumber;
    ULONG sessionHandle;
};

// Payload of WINMSG_SHUTDOWN, from non-paged pool; freed by the handler without being read (the
// shutdown request itself was already completed by its sender; srb is null when a reset or a
// selection time-out during the shutdown posted the work, see rejectCommandsAfterShutdown).
struct WINMSG_SHUTDOWN_RECORD {
    PSCSI_REQUEST_BLOCK srb;
    ULONG pathId;
    ULONG sessionHandle;
};

extern WINMSG_HANDLER_CONTEXT winMsgHandlerContext;

// Zeroes the context, prepares its lock, queue and event, and starts the thread. 0, or -1 when
// the thread could not be started.
int initWinMsgHandler(WINMSG_HANDLER_CONTEXT* context);
// Asks the thread to finish once the messages already queued are carried out; does not wait.
void killWinMsgHandler(WINMSG_HANDLER_CONTEXT* context);
// Posts a message; 0 when queued (the payload now belongs to the handler), -1 when out of memory
// or the handler is exiting (the payload stays the caller's). Any IRQL up to DISPATCH_LEVEL.
int sendToWinMsgHandler(WINMSG_HANDLER_CONTEXT* context, ULONG type, PVOID payload);
// The thread's start routine.
void winMsgHandler(PVOID context);
// Carries out one message. draining is 1 for messages taken after the exit request.
void handleWinMsg(WINMSG_HANDLER_CONTEXT* context, ULONG type, PVOID payload, ULONG draining);
