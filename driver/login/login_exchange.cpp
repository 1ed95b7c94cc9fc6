// The login exchange of one connection: the Login request with the names, the security step, the
// remaining pairs and the negotiation, and the closing exchange whose answer starts the
// full-feature numbering.
//
// Runs on the thread that makes the session's connections, before the connection's receive thread
// exists, so it reads every response itself with the transport's timed read.
#include "driver/engine/pdu.h"
#include "driver/login/login.h"
#include "driver/runtime/runtime.h"

#include <cstring>

namespace {

// Login request and response fields beyond the common header.
constexpr int LOGIN_VERSION_MAX = 2;
constexpr int LOGIN_VERSION_MIN = 3;
constexpr int LOGIN_CID = 8;
constexpr int LOGIN_ISID = 12;
constexpr int LOGIN_TSID = 14;
constexpr int LOGIN_STATUS = 36;
constexpr UCHAR LOGIN_DRAFT_VERSION_MAX = 0x01;
constexpr UCHAR LOGIN_DRAFT_VERSION_MIN = 0x02;
constexpr UCHAR LOGIN_HIGHEST_ACCEPTED_VERSION = 2;

// The login text of the Login request: the five pairs that travel in it.
constexpr ULONG LOGIN_TEXT_SIZE = 1000;
const char* const loginRequestKeys[] = {"InitiatorName", "TargetName", "AuthMethod", "HeaderDigest",
                                        "DataDigest"};

// A target that never marks its closing answer final would keep the exchange going for ever; after
// this many empty requests the login fails.
constexpr int CLOSING_EXCHANGE_LIMIT = 16;

bool leadingLogin(const ISCSI_SESSION* session) {
    return session->numActiveConnections == 0;
}

// Takes the numbering of a login answer: StatSN for the connection, ExpCmdSN and MaxCmdSN for the
// session. Other connections of the session may be running, so under the session lock.
void takeLoginNumbers(ISCSI_CONNECTION* connection, const UCHAR* hdr) {
    ISCSI_SESSION* session = connection->session;
    KIRQL old = iscsiLockSession(session);
    connection->expStatSN = iscsiPduGet32(hdr, PDU_STATSN);
    session->expCmdSN = iscsiPduGet32(hdr, PDU_EXPCMDSN);
    session->maxCmdSN = iscsiPduGet32(hdr, PDU_MAXCMDSN);
    iscsiUnlockSession(session, old);
}

// Reads an answer's text (by the answer's deadline) into a buffer of the caller's; the text ends
// in a NUL at its length. Null on a failure, with the connection's state set.
char* readLoginText(ISCSI_CONNECTION* connection, ULONG length, LONGLONG deadline) {
    if (length > ISCSI_MAX_TEXT_SEGMENT) {
        Debug(DBG_ERROR, "sendLoginCmd: answer text of %u bytes refused\n", length);
        iscsiDropConnection(connection, CONN_FAILED);
        return nullptr;
    }
    ULONG padded = iscsiPadLength(length);
    auto* text =
        static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, padded + 1, ISCSI_POOL_TAG));
    if (text == nullptr) {
        iscsiDropConnection(connection, CONN_IDLE);
        return nullptr;
    }
    if (iscsiOSreadFromConnectionBefore(connection->pSock, text, padded, 0, 0, deadline) !=
        static_cast<LONG>(padded)) {
        iscsiDropConnection(connection, CONN_FAILED);
        ExFreePool(text);
        return nullptr;
    }
    text[length] = '\0';
    return text;
}

} // namespace

bool discovery_session(const char* text) {
    const char* target = strstr(text, "TargetName");
    if (target == nullptr) {
        return false;
    }
    const char* value = pastEquals(target);
    if (value == nullptr) {
        return false;
    }
    while (*value == ' ') {
        value++;
    }
    return strstr(value, "iscsi") != nullptr;
}

int sendLoginCmd(ISCSI_CONNECTION* connection) {
    ISCSI_SESSION* session = connection->session;
    bool leading = leadingLogin(session);

    char text[LOGIN_TEXT_SIZE];
    RtlZeroMemory(text, sizeof text);
    ULONG textLength = 0;
    for (const char* key : loginRequestKeys) {
        if (buildString(text, sizeof text, session->loginString, key, ";", &textLength) != 0) {
            Debug(DBG_ERROR, "sendLoginCmd: the %s pair does not fit the Login request\n", key);
            iscsiDropConnection(connection, CONN_LOGIN_FAILED);
            return ISCSI_FAILURE;
        }
    }
    replaceSemiColons(text, textLength);

    UCHAR hdr[ISCSI_HDR_LEN];
    RtlZeroMemory(hdr, sizeof hdr);
    hdr[PDU_OPCODE] = ISCSI_OP_LOGIN;
    hdr[LOGIN_VERSION_MAX] = LOGIN_DRAFT_VERSION_MAX;
    hdr[LOGIN_VERSION_MIN] = LOGIN_DRAFT_VERSION_MIN;
    iscsiPduSetDataLength(hdr, textLength);
    iscsiPduPut16(hdr, LOGIN_CID, connection->cid);
    iscsiPduPut16(hdr, LOGIN_ISID, session->isid);
    iscsiPduPut16(hdr, LOGIN_TSID, leading ? USHORT{0} : session->tsid.get());
    iscsiPduSetItt(hdr, setTaskId(session));
    if (leading) {
        KIRQL old = iscsiLockSession(session);
        iscsiPduPut32(hdr, PDU_CMDSN, iscsiTakeCmdSNLocked(session));
        iscsiUnlockSession(session, old);
    }

    if (iscsiSendPdu(connection, hdr, text, textLength, 0) != 0) {
        return ISCSI_FAILURE;
    }

    // One deadline for the whole answer, header and text: a target that sends a byte now and then
    // cannot hold the login.
    LONGLONG deadline = iscsiOSdeadline(ISCSI_ANSWER_SECONDS);
    UCHAR rsp[ISCSI_HDR_LEN];
    RtlZeroMemory(rsp, sizeof rsp);
    if (iscsiOSreadFromConnectionBefore(connection->pSock, rsp, ISCSI_HDR_LEN, 0, 0, deadline) !=
        ISCSI_HDR_LEN) {
        iscsiDropConnection(connection, CONN_FAILED);
        return ISCSI_FAILURE;
    }
    if (rsp[PDU_OPCODE] != ISCSI_OP_LOGIN_RSP) {
        Debug(DBG_ERROR, "sendLoginCmd: answered by opcode %x\n", rsp[PDU_OPCODE]);
        iscsiDropConnection(connection, CONN_LOGIN_BAD_RESPONSE);
        return ISCSI_FAILURE;
    }
    if (rsp[LOGIN_VERSION_MIN] > LOGIN_HIGHEST_ACCEPTED_VERSION || rsp[LOGIN_STATUS] != 0) {
        Debug(DBG_ERROR, "sendLoginCmd: login refused, version %x, status %x\n",
              rsp[LOGIN_VERSION_MIN], rsp[LOGIN_STATUS]);
        iscsiDropConnection(connection, CONN_LOGIN_FAILED);
        return ISCSI_FAILURE;
    }
    if (leading) {
        session->tsid = iscsiPduGet16(rsp, LOGIN_TSID);
    }
    takeLoginNumbers(connection, rsp);

    ULONG answerLength = iscsiPduGetDataLength(rsp);
    if (answerLength == 0) {
        return 0;
    }
    char* answer = readLoginText(connection, answerLength, deadline);
    if (answer == nullptr) {
        return ISCSI_FAILURE;
    }
    int read = handleParams(answer, answerLength, session, 0);
    ExFreePool(answer);
    if (read == ISCSI_TEXT_REFUSED_WHOLE) {
        iscsiDropConnection(connection, CONN_LOGIN_FAILED);
        return ISCSI_FAILURE;
    }
    return 0;
}

namespace {

// The closing exchange: empty final Text requests until a Login response carries the final bit.
// Returns the last answer's header in rsp, or -1.
int closeLogin(ISCSI_CONNECTION* connection, UCHAR* rsp) {
    for (int round = 0; round < CLOSING_EXCHANGE_LIMIT; round++) {
        if (sendTextCmd(connection, nullptr, 0, LOGIN_CLOSING_OPTIONS) != 0) {
            return ISCSI_FAILURE;
        }
        RtlZeroMemory(rsp, ISCSI_HDR_LEN);
        LONGLONG deadline = iscsiOSdeadline(ISCSI_ANSWER_SECONDS);
        if (iscsiOSreadFromConnectionBefore(connection->pSock, rsp, ISCSI_HDR_LEN, 0, 0,
                                            deadline) != ISCSI_HDR_LEN) {
            iscsiDropConnection(connection, CONN_FAILED);
            return ISCSI_FAILURE;
        }
        if (rsp[PDU_OPCODE] != ISCSI_OP_LOGIN_RSP) {
            iscsiDropConnection(connection, CONN_LOGIN_FAILED);
            return ISCSI_FAILURE;
        }
        // Text in a closing answer is read and dropped, so the next header starts in place.
        ULONG length = iscsiPduGetDataLength(rsp);
        if (length != 0) {
            char* text = readLoginText(connection, length, deadline);
            if (text == nullptr) {
                return ISCSI_FAILURE;
            }
            ExFreePool(text);
        }
        if (rsp[PDU_FLAGS] & ISCSI_FLAG_FINAL) {
            return 0;
        }
    }
    Debug(DBG_ERROR, "handleLogin: the target never closed the login\n");
    iscsiDropConnection(connection, CONN_LOGIN_FAILED);
    return ISCSI_FAILURE;
}

// Logs the connection in, with a work copy of the login string that the caller frees.
int loginWithCopy(ISCSI_CONNECTION* connection, char* work, SIZE_T workSize) {
    ISCSI_SESSION* session = connection->session;
    const char* loginString = session->loginString;
    bool securityKeys = false;

    if (leadingLogin(session)) {
        setDefaultOpParams(session);
        securityKeys = strstr(loginString, "AuthMethod") != nullptr ||
                       strstr(loginString, "HeaderDigest") != nullptr ||
                       strstr(loginString, "DataDigest") != nullptr;
        replaceSemiColons(work, static_cast<ULONG>(strlen(work)));
        if (handleParams(work, session->loginStringLength, session, 1) != 0) {
            Debug(DBG_ERROR, "handleLogin: the login string does not read\n");
            iscsiDropConnection(connection, CONN_LOGIN_FAILED);
            return ISCSI_FAILURE;
        }
        RtlCopyMemory(work, loginString, workSize);
        if (strstr(loginString, "TargetName") == nullptr ||
            strstr(loginString, "InitiatorName") == nullptr) {
            Debug(DBG_ERROR, "handleLogin: the login string lacks InitiatorName or TargetName\n");
            iscsiDropConnection(connection, CONN_LOGIN_FAILED);
            return ISCSI_FAILURE;
        }
    }

    if (sendLoginCmd(connection) != 0) {
        return ISCSI_FAILURE;
    }
    USHORT authMethod = session->opParams[OP_AUTH_METHOD];
    if (authMethod != AUTH_METHOD_NONE && authMethod != AUTH_METHOD_SRP) {
        Debug(DBG_ERROR, "handleLogin: AuthMethod %u is not supported\n", authMethod);
        iscsiDropConnection(connection, CONN_LOGIN_FAILED);
        return ISCSI_FAILURE;
    }
    int security = iscsiOShandleSecurity(work, session->loginStringLength, session->busNumber);
    if (security != 0 || connection->state != CONN_CONNECTED) {
        return security == ISCSI_SECURITY_BUS_REMOVED ? ISCSI_SECURITY_BUS_REMOVED : ISCSI_FAILURE;
    }

    RtlCopyMemory(work, loginString, workSize);
    if (!discovery_session(work)) {
        ULONG length = session->loginStringLength;
        if (length == 0 || loginString[length - 1] != ';') {
            length++; // the ";" that ends the last pair
        }
        if (securityKeys) {
            discardSecurityInfo(work, &length);
        }
        if (sendTextCmd(connection, work, length, LOGIN_TEXT_OPTIONS) != 0) {
            iscsiDropConnection(connection, CONN_FAILED);
            return ISCSI_FAILURE;
        }
        if (handleTextResponse(connection) < 0) {
            return ISCSI_FAILURE;
        }
        if (negotiateOpParams(connection) != 0) {
            return ISCSI_FAILURE;
        }
    }

    UCHAR rsp[ISCSI_HDR_LEN];
    if (closeLogin(connection, rsp) != 0) {
        return ISCSI_FAILURE;
    }
    if (rsp[LOGIN_STATUS] != 0) {
        Debug(DBG_ERROR, "handleLogin: closing answer with status %x\n", rsp[LOGIN_STATUS]);
        iscsiDropConnection(connection, CONN_LOGIN_FAILED);
        return ISCSI_FAILURE;
    }
    takeLoginNumbers(connection, rsp);
    connection->state = CONN_CONNECTED;
    return 0;
}

} // namespace

int handleLogin(ISCSI_CONNECTION* connection) {
    ISCSI_SESSION* session = connection->session;
    // The session's copy holds the string, a ";" that may have been added, and the NUL.
    SIZE_T workSize = strlen(session->loginString) + 1;
    auto* work = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, workSize, ISCSI_POOL_TAG));
    if (work == nullptr) {
        return ISCSI_FAILURE;
    }
    RtlCopyMemory(work, session->loginString, workSize);
    // The negotiation writes opParams; a late Text response on another connection keeps off
    // them meanwhile.
    (void)KeWaitForSingleObject(&session->negotiationLock, Executive, KernelMode, FALSE, nullptr);
    int result = loginWithCopy(connection, work, workSize);
    if (result == 0) {
        iscsiPublishDataPathParams(session);
    }
    KeSetEvent(&session->negotiationLock, 0, FALSE);
    ExFreePool(work);
    return result;
}
