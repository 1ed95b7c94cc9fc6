// Text commands and responses: the login's negotiation exchanges and the control side's text
// exchanges with a target.
#include "driver/engine/text.h"

#include "driver/engine/login_layer.h"
#include "driver/engine/pdu.h"
#include "driver/runtime/runtime.h"

namespace {

constexpr int TEXT_CONTINUE_TAG = 40;
constexpr UCHAR TEXT_FLAG_CONTINUE = 0x40;

// What a Text response's text goes to (null and 0 when it carries none): 0, or -1 to fail the
// response. It takes the text over by setting *text to null; otherwise the reader frees it.
using TEXT_CONSUMER = int (*)(ISCSI_CONNECTION* connection, char** text, ULONG length);

// The one reader of Text responses, whose header is in hdr: checks the task tag and numbering,
// keeps the continuation tag, reads the text (before *deadline, or without a limit when deadline
// is null) and hands it to consume; then sets textFinal from the final bit and signals textEvent.
// -1 without those two: a tag not the session's (nothing else happens), numbering out of
// sequence, a text too long or read short (the connection broken), no memory. Otherwise the
// consumer's result.
int readTextResponse(ISCSI_CONNECTION* connection, const UCHAR* hdr, const LONGLONG* deadline,
                     TEXT_CONSUMER consume) {
    ISCSI_SESSION* session = connection->session;
    if (iscsiPduGetItt(hdr) != setTaskId(session)) {
        Debug(DBG_ERROR, "handleTextResponse: task tag %x is not the session's\n",
              iscsiPduGetItt(hdr));
        return ISCSI_FAILURE;
    }
    if (iscsiPduReceiveSequence(connection, hdr) != 0) {
        return ISCSI_FAILURE;
    }
    connection->textTargetTransferTag =
        (hdr[PDU_FLAGS] & TEXT_FLAG_CONTINUE) != 0 ? hdr[TEXT_CONTINUE_TAG] : 0;

    ULONG length = iscsiPduGetDataLength(hdr);
    if (length > ISCSI_MAX_TEXT_SEGMENT) {
        Debug(DBG_ERROR, "handleTextResponse: text of %u bytes refused\n", length);
        iscsiDropConnection(connection, CONN_FAILED);
        return ISCSI_FAILURE;
    }
    char* text = nullptr;
    if (length != 0) {
        ULONG padded = iscsiPadLength(length);
        // One byte more than the segment, so the last pair always ends in a NUL for the reader.
        text = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, padded + 1, ISCSI_POOL_TAG));
        if (text == nullptr) {
            return ISCSI_FAILURE;
        }
        LONG got =
            deadline == nullptr
                ? iscsiOSreadFromConnection(connection->pSock, text, padded, 0, 0)
                : iscsiOSreadFromConnectionBefore(connection->pSock, text, padded, 0, 0, *deadline);
        if (got != static_cast<LONG>(padded)) {
            ExFreePool(text);
            iscsiDropConnection(connection, CONN_FAILED);
            return ISCSI_FAILURE;
        }
        // The pad bytes carry no meaning: the text ends at its length.
        text[length] = '\0';
    }

    int result = consume(connection, &text, length);
    if (text != nullptr) {
        ExFreePool(text);
    }
    KIRQL old = iscsiLockSession(session);
    if (hdr[PDU_FLAGS] & ISCSI_FLAG_FINAL) {
        connection->textFinal = 1;
    }
    KeSetEvent(&connection->textEvent, 0, FALSE);
    iscsiUnlockSession(session, old);
    return result;
}

// A Text response that nobody waits for, read by the receive loop: its keys are applied unless a
// login of the session is negotiating right now (whose opParams it must not write at the same
// time); the senders see the result only through the published snapshot.
void applyLateAnswer(ISCSI_SESSION* session, char* text, ULONG length) {
    LARGE_INTEGER noWait;
    noWait.QuadPart = 0;
    if (KeWaitForSingleObject(&session->negotiationLock, Executive, KernelMode, FALSE, &noWait) !=
        STATUS_SUCCESS) {
        Debug(DBG_ERROR, "handleTextResponse: a login is negotiating, answer not applied\n");
        return;
    }
    (void)handleParams(text, length, session, 0);
    iscsiPublishDataPathParams(session);
    KeSetEvent(&session->negotiationLock, 0, FALSE);
}

// The receive loop's consumer: a control-side exchange waiting on the connection takes the
// response over, handed over under the session lock so a waiter that gives up never receives
// anything later; without one the keys are applied as a late answer.
int deliverResponse(ISCSI_CONNECTION* connection, char** text, ULONG length) {
    KIRQL old = iscsiLockSession(connection->session);
    ISCSI_TEXT_WAITER* waiter = connection->textWaiter;
    if (waiter != nullptr) {
        connection->textWaiter = nullptr;
        waiter->result = length > waiter->capacity ? ISCSI_FAILURE : static_cast<LONG>(length);
        if (length <= waiter->capacity) {
            waiter->text = *text;
            *text = nullptr;
        }
        waiter->done = true;
    }
    iscsiUnlockSession(connection->session, old);
    if (waiter == nullptr && *text != nullptr) {
        applyLateAnswer(connection->session, *text, length);
    }
    return 0;
}

// The login's consumer: the answer's keys are applied to the session. A text refused as a whole
// (a key twice, a value out of range) fails the login: it cannot go on from this answer.
int applyLoginAnswer(ISCSI_CONNECTION* connection, char** text, ULONG length) {
    if (*text != nullptr &&
        handleParams(*text, length, connection->session, 0) == ISCSI_TEXT_REFUSED_WHOLE) {
        iscsiDropConnection(connection, CONN_LOGIN_FAILED);
        return ISCSI_FAILURE;
    }
    return 0;
}

} // namespace

void replaceSemiColons(char* buffer, ULONG length) {
    for (ULONG i = 0; buffer != nullptr && i < length; i++) {
        if (buffer[i] == ';') {
            buffer[i] = '\0';
        }
    }
}

int sendTextCmd(ISCSI_CONNECTION* connection, char* text, ULONG textLength,
                TEXT_CMD_OPTIONS options) {
    ISCSI_SESSION* session = connection->session;
    if (connection->state != CONN_CONNECTED || iscsiWindowClosed(session)) {
        return ISCSI_FAILURE;
    }
    ISCSI_MSG_HDR* msgHdr = getMessageHeader();
    if (msgHdr == nullptr) {
        return ISCSI_FAILURE;
    }
    RtlZeroMemory(msgHdr->hdr, ISCSI_HDR_LEN);
    UCHAR* hdr = msgHdr->hdr;
    hdr[PDU_OPCODE] = ISCSI_OP_TEXT;
    iscsiPduSetItt(hdr, setTaskId(session));
    iscsiPduFillSequence(connection, hdr);
    if (text != nullptr) {
        iscsiPduSetDataLength(hdr, textLength);
    }

    KIRQL old = iscsiLockSession(session);
    connection->textFinal = 0;
    KeInitializeEvent(&connection->textEvent, SynchronizationEvent, FALSE);
    iscsiUnlockSession(session, old);

    UCHAR flags = 0;
    if (connection->textTargetTransferTag != 0) {
        flags |= TEXT_FLAG_CONTINUE;
        // The continuation tag (0 to 255) travels in host order, so byte 40 carries it.
        std::memcpy(hdr + TEXT_CONTINUE_TAG, &connection->textTargetTransferTag, sizeof(ULONG));
    }
    if (options.final) {
        flags |= ISCSI_FLAG_FINAL;
    }
    hdr[PDU_FLAGS] =
        static_cast<UCHAR>(flags | (options.highStage & 3) << 2 | (options.lowStage & 3));

    replaceSemiColons(text, textLength);
    // The padding goes out as zeros: nothing behind the caller's text is read.
    int result = iscsiSendPdu(connection, hdr, text, text != nullptr ? textLength : 0, 0) != 0
                     ? ISCSI_FAILURE
                     : 0;
    iscsiQueuePut(&freeMsgHdrQ, msgHdr);
    return result;
}

int handleTextResponse(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr) {
    return readTextResponse(connection, msgHdr->hdr, nullptr, deliverResponse);
}

int handleTextResponse(ISCSI_CONNECTION* connection) {
    // Header and text share one deadline. A failed read leaves a zero header, which fails the tag
    // test.
    UCHAR hdr[ISCSI_HDR_LEN];
    RtlZeroMemory(hdr, ISCSI_HDR_LEN);
    LONGLONG deadline = iscsiOSdeadline(ISCSI_ANSWER_SECONDS);
    (void)iscsiOSreadFromConnectionBefore(connection->pSock, hdr, ISCSI_HDR_LEN, 0, 0, deadline);
    return readTextResponse(connection, hdr, &deadline, applyLoginAnswer);
}

namespace {

// The session of the bus, referenced; null when none.
ISCSI_SESSION* referenceSessionOfBus(ULONG busNumber) {
    ISCSI_SESSION* session = nullptr;
    KIRQL old = KfAcquireSpinLock(&sessionsLock);
    for (ULONG handle = 0; handle < maxSessions && handle < ISCSI_MAX_SESSIONS; handle++) {
        ISCSI_SESSION* s = sessions[handle];
        if (s != nullptr && s->busNumber == busNumber) {
            s->references++;
            session = s;
            break;
        }
    }
    KfReleaseSpinLock(&sessionsLock, old);
    return session;
}

LONG exchangeText(ISCSI_SESSION* session, char* buffer, ULONG length, ULONG capacity) {
    // Only a connection in full operation carries the exchange: one whose login has finished and
    // whose receive thread reads it, which hands the response over. A connection that is logging
    // in reads its own answers; a Text request in the middle of that would take one of them.
    ISCSI_TEXT_WAITER waiter{capacity, ISCSI_FAILURE, false, nullptr};
    KIRQL old = iscsiLockSession(session);
    ISCSI_CONNECTION* connection = nullptr;
    for (ULONG i = 0; i < session->numActiveConnections && connection == nullptr; i++) {
        ISCSI_CONNECTION* c = session->activeConnections[i];
        if (!c->closing && c->readThread != 0 && c->textWaiter == nullptr) {
            connection = c;
        }
    }
    if (connection != nullptr) {
        connection->textWaiter = &waiter;
    }
    iscsiUnlockSession(session, old);
    if (connection == nullptr) {
        Debug(DBG_ERROR, "iscsiCoreSendReceiveTextBuffer: no connection in full operation\n");
        return ISCSI_FAILURE;
    }

    // The receive thread reads the response and fills the waiter (or ends it when the connection
    // ends). Wait for it a second at a time, as long as a sender waits for a response it reads.
    bool sent = sendTextCmd(connection, buffer, length,
                            {.final = false, .lowStage = 0, .highStage = 0}) == 0;
    for (ULONG waited = 0;; waited++) {
        old = iscsiLockSession(session);
        if (waiter.done) {
            iscsiUnlockSession(session, old);
            if (waiter.text != nullptr) {
                RtlCopyMemory(buffer, waiter.text, static_cast<ULONG>(waiter.result));
                ExFreePool(waiter.text);
            }
            return waiter.result;
        }
        if (!sent || waited >= ISCSI_ANSWER_SECONDS) {
            connection->textWaiter = nullptr;
            iscsiUnlockSession(session, old);
            return ISCSI_FAILURE;
        }
        iscsiUnlockSession(session, old);
        (void)iscsiOSlimitsleep(&connection->textEvent, 1);
    }
}

} // namespace

LONG iscsiCoreSendReceiveTextBuffer(ULONG busNumber, char* buffer, ULONG length, ULONG capacity) {
    if (buffer == nullptr || length > capacity) {
        return ISCSI_FAILURE;
    }
    ISCSI_SESSION* session = referenceSessionOfBus(busNumber);
    if (session == nullptr) {
        return ISCSI_FAILURE;
    }
    LONG result = exchangeText(session, buffer, length, capacity);
    iscsiReleaseSession(session);
    return result;
}

int iscsiCoreQuerySession(ULONG handle, ISCSI_SESSION_QUERY* query) {
    ISCSI_SESSION* session = iscsiReferenceSession(handle);
    if (session == nullptr) {
        return ISCSI_FAILURE;
    }
    query->cmdSN = session->cmdSN;
    query->expCmdSN = session->expCmdSN;
    query->maxCmdSN = session->maxCmdSN;
    query->numMaxConnections = session->numMaxConnections;
    query->numActiveConnections = session->numActiveConnections;
    query->isid = session->isid;
    query->tsid = session->tsid;
    query->nCmdQentries = session->cmdQ.count;
    query->nRttQentries = session->rttQ.count;
    query->nTmQentries = session->tmQ.count;
    ULONG counts[2] = {0, 0};
    ISCSI_TABLE* tables[2] = {&session->pendCmdTable, &session->taskManTable};
    for (int i = 0; i < 2; i++) {
        KIRQL old = KfAcquireSpinLock(&tables[i]->lock);
        for (ISCSI_LINKS* p = tables[i]->head; p != nullptr;
             p = static_cast<ISCSI_LINKS*>(p->next)) {
            counts[i]++;
        }
        KfReleaseSpinLock(&tables[i]->lock, old);
    }
    query->nPendCmds = counts[0];
    query->nPendTms = counts[1];
    iscsiReleaseSession(session);
    return 0;
}

int iscsiCoreQueryConnection(ULONG handle, ISCSI_CONNECTION_QUERY* query) {
    ISCSI_SESSION* session = iscsiReferenceSession(handle);
    if (session == nullptr) {
        return ISCSI_FAILURE;
    }
    int result = ISCSI_FAILURE;
    if (query->index < iscsiConnectionCount(session)) {
        ISCSI_CONNECTION* connection = &session->connections[query->index];
        query->ipAddress = connection->ipAddress;
        query->portNum = connection->portNum;
        query->ConnectionState = connection->state;
        result = 0;
    }
    iscsiReleaseSession(session);
    return result;
}

int iscsiCoreQueryParams(ULONG handle, USHORT (&params)[ISCSI_NUM_OP_PARAMS]) {
    ISCSI_SESSION* session = iscsiReferenceSession(handle);
    if (session == nullptr) {
        return ISCSI_FAILURE;
    }
    LARGE_INTEGER limit;
    limit.QuadPart = -30LL * 10'000'000; // 30 s
    int result = ISCSI_FAILURE;
    if (KeWaitForSingleObject(&session->negotiationLock, Executive, KernelMode, FALSE, &limit) ==
        STATUS_SUCCESS) {
        RtlCopyMemory(params, session->opParams, sizeof params);
        KeSetEvent(&session->negotiationLock, 0, FALSE);
        result = 0;
    }
    iscsiReleaseSession(session);
    return result;
}
