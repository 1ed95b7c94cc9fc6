// Dispatch of one message to its handling.
//
// Adding, removing, querying, text exchanges, resets and shutdown are carried out here as the
// adapter and its control requests are built. Until then each message disposes of its payload so
// nothing is lost or leaked: a control request is handed back as one that could not be served,
// and a reset or shutdown record is freed.
#include "driver/control/control.h"
#include "driver/engine/os_services.h"
#include "driver/runtime/runtime.h"

void handleWinMsg(WINMSG_HANDLER_CONTEXT* context, ULONG type, PVOID payload, ULONG draining) {
    (void)context;
    (void)draining;
    switch (type) {
    case WINMSG_ADD_TARGET_BEGIN:
    case WINMSG_REMOVE_TARGET:
    case WINMSG_SEND_RECEIVE_TEXT:
    case WINMSG_ADD_TARGET_COMPLETE:
    case WINMSG_QUERY_TARGET:
        Debug(DBG_CONTROL, "handleWinMsg: message %u cannot be served yet\n", type);
        iscsiOScompleteCommandNoConnection(static_cast<PSCSI_REQUEST_BLOCK>(payload));
        break;
    case WINMSG_RESET_BUS:
    case WINMSG_SHUTDOWN:
        Debug(DBG_CONTROL, "handleWinMsg: message %u cannot be served yet\n", type);
        ExFreePool(payload);
        break;
    default:
        // Unknown codes are taken from the queue and dropped.
        break;
    }
}
