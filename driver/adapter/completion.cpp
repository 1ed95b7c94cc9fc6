// Completion of requests back to the port driver.
//
// The adapter and its port driver arrive later; until then no request of the port driver exists,
// so there is nothing to hand back. Each call is traced so that an unexpected one is visible.
#include "driver/engine/engine.h"
#include "driver/engine/os_services.h"
#include "driver/runtime/runtime.h"

void iscsiOScompleteCommand(PSCSI_REQUEST_BLOCK srb, UCHAR scsiStatus, ULONG residual) {
    (void)residual;
    Debug(DBG_ERROR, "iscsiOScompleteCommand: no adapter for SRB %p, status %x\n",
          static_cast<void*>(srb), scsiStatus);
}

void iscsiOScompleteCommandNoConnection(PSCSI_REQUEST_BLOCK srb) {
    Debug(DBG_ERROR, "iscsiOScompleteCommandNoConnection: no adapter for SRB %p\n",
          static_cast<void*>(srb));
}

void iscsiOScompleteCommandReset(PSCSI_REQUEST_BLOCK srb) {
    Debug(DBG_ERROR, "iscsiOScompleteCommandReset: no adapter for SRB %p\n",
          static_cast<void*>(srb));
}

void iscsiOScompleteCommandAbort(PSCSI_REQUEST_BLOCK srb) {
    Debug(DBG_ERROR, "iscsiOScompleteCommandAbort: no adapter for SRB %p\n",
          static_cast<void*>(srb));
}

void iscsiOScompleteTaskMan(UCHAR function, PSCSI_REQUEST_BLOCK srb, ULONG result) {
    Debug(DBG_ERROR, "iscsiOScompleteTaskMan: no adapter for SRB %p, function %u, result %u\n",
          static_cast<void*>(srb), function, result);
}
