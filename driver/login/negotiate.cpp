// Negotiation of a session's operational values: reading the initiator's wishes and the target's
// answers into the session, and the passes that offer again what is not settled.
//
// Runs on the thread that makes the session's connections, one login at a time and before the
// connection's receive thread exists, so opParams, opParamsStatus and numMaxConnections are
// written without a lock.
#include "driver/login/login.h"
#include "driver/runtime/runtime.h"

#include <cstring>

namespace {

bool contains(const char* text, const char* part) {
    return strstr(text, part) != nullptr;
}

// The session uses at least one and at most as many connections as it has records: every loop
// over its connections runs up to numMaxConnections, and a connection that is logging in must
// stay inside those loops.
void setNumMaxConnections(ISCSI_SESSION* session, USHORT number) {
    ULONG count = number;
    if (count == 0) {
        count = 1;
    }
    if (count > session->numConnectionRecords) {
        count = session->numConnectionRecords;
    }
    session->numMaxConnections = count;
}

// The text of a named value, or null when its key has no table or the table has no such entry.
const char* namedValue(int index, USHORT value) {
    switch (opParamsStringGroup[index]) {
    case OP_GROUP_AUTH_METHOD:
        return value < AUTH_METHOD_TABLE_SIZE ? AuthMethodTable[value] : nullptr;
    case OP_GROUP_DIGEST:
        return value < DIGEST_TABLE_SIZE ? DigestTable[value] : nullptr;
    default:
        return nullptr;
    }
}

void clearStatus(ISCSI_SESSION* session) {
    for (UCHAR& status : session->opParamsStatus) {
        status = OP_STATUS_SETTLED;
    }
}

} // namespace

PAIR_VALUE readPairValue(const char* pair, char* value, ULONG* number) {
    if (numeric(value)) {
        BOOLEAN refused = contains(value, "0x") || contains(value, "0X")
                              ? HexCharToInteger(value, number)
                              : CharToInteger(value, number);
        return refused ? PAIR_VALUE_BAD : PAIR_VALUE_NUMBER;
    }
    int found = -1;
    if (contains(value, "yes")) {
        found = 1;
    } else if (contains(value, "no") && !contains(value, "none")) {
        found = 0;
    } else if (contains(value, "?")) {
        return PAIR_VALUE_QUERY;
    } else if (contains(pair, "AuthMethod")) {
        found = lookUpAuthMethodIndex(value);
    } else if (contains(pair, "DataDigest") || contains(pair, "HeaderDigest")) {
        found = lookUpDigestIndex(value);
    }
    if (found < 0) {
        return PAIR_VALUE_BAD;
    }
    *number = static_cast<ULONG>(found);
    return PAIR_VALUE_NUMBER;
}

int storeOperationalParam(char* pair, ISCSI_SESSION* session, UCHAR direct) {
    char* value = pastEquals(pair);
    if (value == nullptr) {
        return ISCSI_FAILURE;
    }
    if (strnlen(value, MAX_VALUE_LENGTH + 1) > MAX_VALUE_LENGTH) {
        return ISCSI_FAILURE;
    }
    // The names are carried in the login, never stored as operational values.
    if (contains(pair, "InitiatorName") || contains(pair, "TargetName")) {
        return 0;
    }

    ULONG number = 0;
    PAIR_VALUE kind = readPairValue(pair, value, &number);
    if (kind == PAIR_VALUE_BAD) {
        return ISCSI_FAILURE;
    }
    bool query = kind == PAIR_VALUE_QUERY;
    int index = lookupOpParams(pair);
    if (index < 0) {
        return ISCSI_FAILURE;
    }

    // Values are unsigned 16-bit numbers: a number is cut to 16 bits as it is read.
    auto read = static_cast<USHORT>(number);
    USHORT& current = session->opParams[index];
    if (direct) {
        if (!query) {
            current = read;
        }
    } else if (query) {
        session->opParamsStatus[index] = OP_STATUS_STATE_VALUE;
    } else {
        switch (opParamsPolicy[index]) {
        case OP_POLICY_TARGET:
            current = read;
            break;
        case OP_POLICY_SMALLER:
            current = current < read ? current : read;
            if (current != read) {
                session->opParamsStatus[index] = OP_STATUS_STATE_VALUE;
            }
            break;
        case OP_POLICY_LARGER:
            current = current > read ? current : read;
            if (current != read) {
                session->opParamsStatus[index] = OP_STATUS_STATE_VALUE;
            }
            break;
        default:
            break;
        }
    }

    // The number of connections follows the number as read, not the combined value.
    if (index == OP_MAX_CONNECTIONS && !query) {
        setNumMaxConnections(session, read);
    }
    return 0;
}

int revertToDefault(const char* pair, ISCSI_SESSION* session) {
    int index = lookupOpParams(pair);
    if (index < 0) {
        return ISCSI_FAILURE;
    }
    session->opParams[index] = defaultOpParams[index];
    return index;
}

namespace {

// Whether a text may be applied at all: no key twice (the names included), no number outside its
// key's range. Both sides of the login refuse such a text the same way, as a whole.
bool acceptableText(char* text, ULONG length) {
    ULONG seen = 0;
    int names[2] = {0, 0};
    auto remaining = static_cast<LONG>(length);
    for (char* pair = text; pair != nullptr; pair = FindNextParam(pair, &remaining)) {
        if (contains(pair, "InitiatorName") || contains(pair, "TargetName")) {
            if (++names[contains(pair, "TargetName") ? 1 : 0] > 1) {
                Debug(DBG_ERROR, "handleParams: a name is given twice\n");
                return false;
            }
            continue;
        }
        int index = lookupOpParams(pair);
        if (index < 0) {
            continue;
        }
        if (seen & (1u << index)) {
            Debug(DBG_ERROR, "handleParams: %s is given twice\n", OperationalParamsNames[index]);
            return false;
        }
        seen |= 1u << index;
        const char* value = pastEquals(static_cast<const char*>(pair));
        if (value == nullptr) {
            continue;
        }
        // A value longer than a value may be is never cut to fit: what is left would read as
        // another value.
        size_t n = strnlen(value, MAX_VALUE_LENGTH + 1);
        if (n > MAX_VALUE_LENGTH) {
            Debug(DBG_ERROR, "handleParams: the value of %s is too long\n",
                  OperationalParamsNames[index]);
            return false;
        }
        // Read from a copy: the hexadecimal reader lower-cases its text. Every way a value can
        // read (numbers, "yes" and "no", names) is held against the key's range, so a boolean
        // given as 5 or a number given as "no" never becomes a negotiated value.
        char copy[MAX_VALUE_LENGTH + 1];
        RtlCopyMemory(copy, value, n);
        copy[n] = '\0';
        // A number too large to read lies outside every range too.
        ULONG number = 0;
        PAIR_VALUE kind = readPairValue(pair, copy, &number);
        if ((kind == PAIR_VALUE_BAD && numeric(copy)) ||
            (kind == PAIR_VALUE_NUMBER &&
             (number < opParamsTable[index].min || number > opParamsTable[index].max))) {
            Debug(DBG_ERROR, "handleParams: %s=%u is outside its range\n",
                  OperationalParamsNames[index], number);
            return false;
        }
    }
    return true;
}

} // namespace

int handleParams(char* text, ULONG length, ISCSI_SESSION* session, UCHAR direct) {
    if (text == nullptr || length == 0 || length > 0x7FFFFFFF) {
        return ISCSI_FAILURE;
    }
    if (!acceptableText(text, length)) {
        return ISCSI_TEXT_REFUSED_WHOLE;
    }
    int result = 0;
    auto remaining = static_cast<LONG>(length);
    for (char* pair = text; pair != nullptr; pair = FindNextParam(pair, &remaining)) {
        if (direct) {
            result = storeOperationalParam(pair, session, direct);
        } else if (contains(pair, "reject")) {
            int index = revertToDefault(pair, session);
            if (index >= 0) {
                session->opParamsStatus[index] = OP_STATUS_REJECTED;
            }
        } else if (contains(pair, "NotUnderstood")) {
            int index = lookupOpParams(pair);
            if (index >= 0) {
                session->opParamsStatus[index] = OP_STATUS_NOT_UNDERSTOOD;
            }
        } else {
            result = storeOperationalParam(pair, session, 0);
        }
        if (result == ISCSI_FAILURE) {
            break;
        }
    }
    return result;
}

int writeOpParam(char* text, ULONG capacity, ULONG* length, int index, USHORT value) {
    char number[INTEGER_TEXT_SIZE];
    const char* valueText = nullptr;
    switch (opParamsTypes[index]) {
    case 'n':
        IntegerToChar(value, number);
        valueText = number;
        break;
    case 'b':
        valueText = value != 0 ? "yes" : "no";
        break;
    case 's':
        valueText = namedValue(index, value);
        break;
    default:
        break;
    }
    if (valueText == nullptr) {
        return 0;
    }
    const char* name = OperationalParamsNames[index];
    ULONG nameLength = static_cast<ULONG>(strlen(name));
    ULONG valueLength = static_cast<ULONG>(strlen(valueText));
    ULONG pairLength = nameLength + 1 + valueLength + 1;
    if (*length > capacity || pairLength > capacity - *length) {
        return ISCSI_FAILURE;
    }
    char* out = text + *length;
    RtlCopyMemory(out, name, nameLength);
    out[nameLength] = '=';
    RtlCopyMemory(out + nameLength + 1, valueText, valueLength);
    out[nameLength + 1 + valueLength] = ';';
    *length += pairLength;
    return 0;
}

int negotiateOpParams(ISCSI_CONNECTION* connection) {
    ISCSI_SESSION* session = connection->session;
    int exchanges = 0;
    int result = 0;
    for (;;) {
        char text[NEGOTIATION_TEXT_SIZE];
        RtlZeroMemory(text, sizeof(text));
        ULONG length = 0;
        for (int i = 0; i < ISCSI_NUM_OP_PARAMS && result == 0; i++) {
            UCHAR status = session->opParamsStatus[i];
            if (status == OP_STATUS_NOT_UNDERSTOOD || status == OP_STATUS_REJECTED) {
                session->opParams[i] = defaultOpParams[i];
                result = writeOpParam(text, sizeof(text), &length, i, defaultOpParams[i]);
            } else if (status == OP_STATUS_STATE_VALUE) {
                result = writeOpParam(text, sizeof(text), &length, i, session->opParams[i]);
            }
        }
        if (result != 0 || length == 0) {
            break;
        }
        clearStatus(session);

        if (sendTextCmd(connection, text, length, LOGIN_TEXT_OPTIONS) != 0) {
            Debug(DBG_ERROR, "negotiateOpParams: sending the negotiation text failed\n");
            iscsiDropConnection(connection, CONN_FAILED);
            result = ISCSI_FAILURE;
            break;
        }
        if (handleTextResponse(connection) < 0) {
            result = ISCSI_FAILURE;
            break;
        }
        if (connection->textFinal) {
            break;
        }
        exchanges++;
        if (exchanges == NEGOTIATION_MAX_EXCHANGES) {
            break;
        }
    }
    clearStatus(session);
    if (exchanges >= NEGOTIATION_FAIL_EXCHANGES) {
        Debug(DBG_ERROR, "negotiateOpParams: no agreement after %d exchanges\n", exchanges);
        iscsiDropConnection(connection, CONN_LOGIN_FAILED);
        result = ISCSI_FAILURE;
    }
    return result;
}
