// Text commands and responses: the login's negotiation exchanges and the control side's text
// exchanges with a target.
#include "driver/engine/text.h"

#include "driver/engine/login_layer.h"
#include "driver/engine/pdu.h"
#include "driver/runtime/runtime.h"

namespace {

constexpr int TEXT_CONTINUE_TAG = 40;
constexpr UCHAR TEXT_FLAG_CONTINUE = 0x40;
constexpr ULONG TEXT_RESPONSE_WAIT_SECONDS = 7;

void replaceSemiColonsInPlace(char* text, ULONG length) {
    for (ULONG i = 0; i < length; i++) {
        if (text[i] == ';') {
            text[i] = '\0';
        }
    }
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
    text[length] = '\0'; // a pad byte, or the extra one
    (void)handleParams(text, length, session, 0);
    iscsiPublishDataPathParams(session);
    KeSetEvent(&session->negotiationLock, 0, FALSE);
}

} // namespace

int sendTextCmd(ISCSI_CONNECTION* connection, char* text, ULONG textLength, int final, int noWait,
                UCHAR lowStage, UCHAR highStage) {
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
    if (final) {
        flags |= ISCSI_FLAG_FINAL;
    }
    flags = static_cast<UCHAR>(flags | (highStage & 3) << 2 | (lowStage & 3));
    hdr[PDU_FLAGS] = flags;

    int result = 0;
    if (text != nullptr && textLength != 0) {
        replaceSemiColonsInPlace(text, textLength);
    }
    // The padding goes out as zeros: nothing behind the caller's text is read.
    if (iscsiSendPdu(connection, hdr, text, text != nullptr ? textLength : 0, 0) != 0) {
        result = ISCSI_FAILURE;
    } else if (!noWait) {
        (void)KeWaitForSingleObject(&connection->textEvent, Executive, KernelMode, FALSE, nullptr);
    }
    iscsiQueuePut(&freeMsgHdrQ, msgHdr);
    return result;
}

LONG handleTextResponse(ISCSI_CONNECTION* connection, ISCSI_MSG_HDR* msgHdr, ULONG mode,
                        char* outBuffer, ULONG outCapacity) {
    ISCSI_SESSION* session = connection->session;
    UCHAR* hdr = msgHdr->hdr;
    LONG result = 0;
    // A response the caller reads itself has one deadline, header and text together; the receive
    // loop reads without a limit.
    LONGLONG deadline = 0;
    if (mode != TEXT_MODE_RECEIVE_LOOP) {
        deadline = iscsiOSdeadline(ISCSI_ANSWER_SECONDS);
        // A failed read leaves a zero header, which fails the tag test below.
        RtlZeroMemory(hdr, ISCSI_HDR_LEN);
        (void)iscsiOSreadFromConnectionBefore(connection->pSock, hdr, ISCSI_HDR_LEN, 0, 0,
                                              deadline);
    }
    if (iscsiPduGetItt(hdr) != setTaskId(session)) {
        Debug(DBG_ERROR, "handleTextResponse: task tag %x is not the session's\n",
              iscsiPduGetItt(hdr));
        return ISCSI_FAILURE;
    }
    if (iscsiPduReceiveSequence(connection, hdr) != 0) {
        return ISCSI_FAILURE;
    }
    if (hdr[PDU_FLAGS] & TEXT_FLAG_CONTINUE) {
        connection->textTargetTransferTag = hdr[TEXT_CONTINUE_TAG];
    } else {
        connection->textTargetTransferTag = 0;
    }

    ULONG length = iscsiPduGetDataLength(hdr);
    char* text = nullptr;
    if (length > ISCSI_MAX_TEXT_SEGMENT) {
        Debug(DBG_ERROR, "handleTextResponse: text of %u bytes refused\n", length);
        iscsiDropConnection(connection, CONN_FAILED);
        return ISCSI_FAILURE;
    }
    if (length != 0) {
        ULONG padded = iscsiPadLength(length);
        // One byte more than the segment, so the last pair always ends in a NUL for the reader.
        text = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, padded + 1, ISCSI_POOL_TAG));
        if (text == nullptr) {
            return ISCSI_FAILURE;
        }
        text[padded] = '\0';
        LONG got =
            mode == TEXT_MODE_RECEIVE_LOOP
                ? iscsiOSreadFromConnection(connection->pSock, text, padded, 0, 0)
                : iscsiOSreadFromConnectionBefore(connection->pSock, text, padded, 0, 0, deadline);
        if (got != static_cast<LONG>(padded)) {
            ExFreePool(text);
            iscsiDropConnection(connection, CONN_FAILED);
            return ISCSI_FAILURE;
        }
        // The pad bytes carry no meaning: the text ends at its length.
        text[length] = '\0';
    }

    bool delivered = false;
    if (mode == TEXT_MODE_RECEIVE_LOOP) {
        // A control-side exchange waiting on this connection takes the response over, handed
        // over under the lock so a waiter that gives up never receives anything later.
        KIRQL old = iscsiLockSession(session);
        ISCSI_TEXT_WAITER* waiter = connection->textWaiter;
        if (waiter != nullptr) {
            connection->textWaiter = nullptr;
            if (length > waiter->capacity) {
                waiter->result = ISCSI_FAILURE;
            } else {
                waiter->text = text;
                text = nullptr;
                waiter->result = static_cast<LONG>(length);
            }
            waiter->done = true;
            delivered = true;
        }
        iscsiUnlockSession(session, old);
    }

    if (text != nullptr && !delivered) {
        if (mode == TEXT_MODE_COPY) {
            if (outBuffer == nullptr || length > outCapacity) {
                Debug(DBG_ERROR, "handleTextResponse: response of %u bytes does not fit %u\n",
                      length, outCapacity);
                result = ISCSI_FAILURE;
            } else {
                RtlCopyMemory(outBuffer, text, length);
                result = static_cast<LONG>(length);
            }
        } else if (mode != TEXT_MODE_RECEIVE_LOOP) {
            text[length] = '\0'; // a pad byte, or the extra one
            if (handleParams(text, length, session, 0) == ISCSI_TEXT_REFUSED_WHOLE) {
                // A key twice or a value out of range: the login cannot go on from this answer.
                iscsiDropConnection(connection, CONN_LOGIN_FAILED);
                result = ISCSI_FAILURE;
            }
        } else {
            applyLateAnswer(session, text, length);
        }
    }
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
    ISCSI_TEXT_WAITER waiter{buffer, capacity, ISCSI_FAILURE, false, nullptr};
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
    bool sent = sendTextCmd(connection, buffer, length, 0, 1, 0, 0) == 0;
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
        if (!sent || waited >= TEXT_RESPONSE_WAIT_SECONDS) {
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
