// The query of one target for the control channel.
#include "driver/adapter/adapter.h"
#include "driver/runtime/runtime.h"

int QueryTarget(QUERY_TARGET_IOCTL* query) {
    UCHAR bus = query->BusNumber;
    if (bus >= ADAPTER_TARGET_BUSES || !pMyDevExt->TargetActive[bus]) {
        Debug(DBG_ERROR, "QueryTarget: The specified target could not be found in the current "
                         "configuration\n");
        return ISCSI_FAILURE;
    }
    auto handle = static_cast<ULONG>(pMyDevExt->TargetInfo[bus].SessionHandle.get());
    ISCSI_SESSION_QUERY session;
    RtlZeroMemory(&session, sizeof(session));
    if (iscsiCoreQuerySession(handle, &session) != 0) {
        Debug(DBG_ERROR, "QueryTarget: iscsiCoreQuerySession rc != 0, returning -1\n");
        return ISCSI_FAILURE;
    }
    Debug(DBG_CONTROL, "QueryTarget: cmdSN                = %x\n", session.cmdSN);
    Debug(DBG_CONTROL, "QueryTarget: expCmdSN             = %x\n", session.expCmdSN);
    Debug(DBG_CONTROL, "QueryTarget: maxCmdSN             = %x\n", session.maxCmdSN);
    Debug(DBG_CONTROL, "QueryTarget: numMaxConnections    = %x\n", session.numMaxConnections);
    Debug(DBG_CONTROL, "QueryTarget: numActiveConnections = %x\n", session.numActiveConnections);
    Debug(DBG_CONTROL, "QueryTarget: isid                 = %x\n", session.isid);
    Debug(DBG_CONTROL, "QueryTarget: tsid                 = %x\n", session.tsid);
    Debug(DBG_CONTROL, "QueryTarget: nCmdQentries         = %x\n", session.nCmdQentries);
    Debug(DBG_CONTROL, "QueryTarget: nRttQentries         = %x\n", session.nRttQentries);
    Debug(DBG_CONTROL, "QueryTarget: nTmQentries          = %x\n", session.nTmQentries);
    Debug(DBG_CONTROL, "QueryTarget: nPendCmds            = %x\n", session.nPendCmds);
    Debug(DBG_CONTROL, "QueryTarget: nPendTms             = %x\n", session.nPendTms);
    ISCSI_CONNECTION_QUERY connection;
    RtlZeroMemory(&connection, sizeof(connection));
    if (iscsiCoreQueryConnection(handle, &connection) != 0) {
        Debug(DBG_ERROR, "QueryTarget: iscsiCoreQueryConnection rc != 0, returning -1\n");
        return ISCSI_FAILURE;
    }
    Debug(DBG_CONTROL, "QueryTarget: ConnectionState      = %x\n", connection.ConnectionState);
    query->ConnectionState = connection.ConnectionState;
    Debug(DBG_ERROR, "QueryTarget: returning from function with rc = 0\n");
    return 0;
}
