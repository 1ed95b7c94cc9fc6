// Sessions as the programs above the driver see them: queries, connection states, the negotiated
// values and their key names. The engine and the login layer define what is declared here.
#pragma once

#include "platform/kernel/ntkernel.h"

constexpr int ISCSI_MAX_SESSIONS = 16;
// The operational keys in table order: the index of each key's value in ISCSI_SESSION.opParams,
// of its status in opParamsStatus and of its row in the login's key table.
enum OP_PARAM_INDEX : int {
    OP_MAX_CONNECTIONS,
    OP_INITIAL_R2T,
    OP_BIDI_INITIAL_R2T,
    OP_IMMEDIATE_DATA,
    OP_DATA_PDU_LENGTH, // units of 512 bytes
    OP_FIRST_BURST_SIZE,
    OP_LOGOUT_LOGIN_MIN_TIME,
    OP_LOGOUT_LOGIN_MAX_TIME,
    OP_MAX_OUTSTANDING_R2T,
    OP_ENABLE_ACA,
    OP_DATA_ORDER,
    OP_COMMAND_REPLAY,
    OP_BOOT_SESSION,
    OP_COPY_MANAGER_SESSION,
    OP_AUTH_METHOD,
    OP_DATA_DIGEST,
    OP_HEADER_DIGEST,
    OP_SECURITY_CONTEXT_COMPLETE,
    ISCSI_NUM_OP_PARAMS
};
// The key name of an operational value (an OP_PARAM_INDEX).
const char* iscsiOpParamName(int index);
// Longest value a key=value pair may carry.
constexpr ULONG MAX_VALUE_LENGTH = 256;

// Connection states (ISCSI_CONNECTION.state).
constexpr ULONG CONN_IDLE = 0;
constexpr ULONG CONN_CONNECTING = 1;
constexpr ULONG CONN_CONNECTED = 2;
constexpr ULONG CONN_LOGIN_FAILED = 3;
constexpr ULONG CONN_LOGIN_BAD_RESPONSE = 4;
constexpr ULONG CONN_CONNECT_FAILED = 5;
constexpr ULONG CONN_FAILED = 6;
constexpr ULONG CONN_UNUSABLE = 7;

// A snapshot of a session's numbering, connection counts and queue lengths.
struct ISCSI_SESSION_QUERY {
    ULONG cmdSN;
    ULONG expCmdSN;
    ULONG maxCmdSN;
    ULONG numMaxConnections;
    ULONG numActiveConnections;
    USHORT isid;
    USHORT tsid;
    ULONG nCmdQentries;
    ULONG nRttQentries;
    ULONG nTmQentries;
    ULONG nPendCmds;
    ULONG nPendTms;
};

// One connection record of a session: index in, the rest out.
struct ISCSI_CONNECTION_QUERY {
    ULONG index;
    ULONG ipAddress;
    USHORT portNum;
    ULONG ConnectionState;
};

// 0, or -1 when the handle names no session (or the index no connection of it).
int iscsiCoreQuerySession(ULONG handle, ISCSI_SESSION_QUERY* query);
int iscsiCoreQueryConnection(ULONG handle, ISCSI_CONNECTION_QUERY* query);
// The session's negotiated values, copied under its negotiation lock (so a login negotiating
// again cannot write them under the copy). 0, or -1: no such session, or the lock was not free
// within 30 seconds. PASSIVE_LEVEL.
int iscsiCoreQueryParams(ULONG handle, USHORT (&params)[ISCSI_NUM_OP_PARAMS]);
