// The operational keys the initiator knows, one row each (name, type, default, the values it may
// take, table of named values, negotiation policy), and the lookups by name (prefix rule).
#include "driver/login/login.h"

#include <cstring>

// In key index order. DataPDULength stops at 32767 units so that a data segment (24-bit length)
// can always hold it.
const OP_PARAM opParamsTable[ISCSI_NUM_OP_PARAMS] = {
    {"MaxConnections", 'n', 8, 1, 65535, OP_GROUP_NONE, OP_POLICY_SMALLER},
    {"InitialR2T", 'b', 1, 0, 1, OP_GROUP_NONE, OP_POLICY_TARGET},
    {"BidiInitialR2T", 'b', 1, 0, 1, OP_GROUP_NONE, OP_POLICY_TARGET},
    {"ImmediateData", 'b', 1, 0, 1, OP_GROUP_NONE, OP_POLICY_TARGET},
    {"DataPDULength", 'n', 16, 1, 32767, OP_GROUP_NONE, OP_POLICY_SMALLER},
    {"FirstBurstSize", 'n', 128, 1, 65535, OP_GROUP_NONE, OP_POLICY_SMALLER},
    {"LogoutLoginMinTime", 'n', 1, 0, 65535, OP_GROUP_NONE, OP_POLICY_SMALLER},
    {"LogoutLoginMaxTime", 'n', 3, 0, 65535, OP_GROUP_NONE, OP_POLICY_LARGER},
    {"MaxOutstandingR2T", 'n', 8, 1, 65535, OP_GROUP_NONE, OP_POLICY_SMALLER},
    {"EnableACA", 'b', 1, 0, 1, OP_GROUP_NONE, OP_POLICY_TARGET},
    {"DataOrder", 'b', 1, 0, 1, OP_GROUP_NONE, OP_POLICY_TARGET},
    {"CommandReplay", 'b', 0, 0, 1, OP_GROUP_NONE, OP_POLICY_TARGET},
    {"BootSession", 'b', 0, 0, 1, OP_GROUP_NONE, OP_POLICY_TARGET},
    {"CopyManagerSession", 'b', 0, 0, 1, OP_GROUP_NONE, OP_POLICY_TARGET},
    {"AuthMethod", 's', AUTH_METHOD_NONE, 0, AUTH_METHOD_TABLE_SIZE - 1, OP_GROUP_AUTH_METHOD,
     OP_POLICY_TARGET},
    {"DataDigest", 's', DIGEST_CRC_32C, 0, DIGEST_TABLE_SIZE - 1, OP_GROUP_DIGEST,
     OP_POLICY_TARGET},
    {"HeaderDigest", 's', DIGEST_CRC_32C, 0, DIGEST_TABLE_SIZE - 1, OP_GROUP_DIGEST,
     OP_POLICY_TARGET},
    {"SecurityContextComplete", 'b', 0, 0, 1, OP_GROUP_NONE, OP_POLICY_TARGET},
};

const char* iscsiOpParamName(int index) {
    return opParamsTable[index].name;
}

const char* const AuthMethodTable[AUTH_METHOD_TABLE_SIZE] = {"KRB5", "SPKM-1", "SPKM-2",
                                                             "SRP",  "CHAP",   "none"};

const char* const DigestTable[DIGEST_TABLE_SIZE] = {"none", "crc-32C"};

void setDefaultOpParams(ISCSI_SESSION* session) {
    for (int i = 0; i < ISCSI_NUM_OP_PARAMS; i++) {
        session->opParams[i] = defaultOpParams[i];
        session->opParamsStatus[i] = OP_STATUS_SETTLED;
    }
}

namespace {

// Index of the first name of the table that the text begins with, or -1.
int lookupPrefix(const char* text, const char* const* names, int count) {
    for (int i = 0; text != nullptr && i < count; i++) {
        if (strncmp(text, names[i], strlen(names[i])) == 0) {
            return i;
        }
    }
    return -1;
}

} // namespace

int lookupOpParams(const char* text) {
    for (int i = 0; text != nullptr && i < ISCSI_NUM_OP_PARAMS; i++) {
        if (strncmp(text, OperationalParamsNames[i], strlen(OperationalParamsNames[i])) == 0) {
            return i;
        }
    }
    return -1;
}

int lookUpAuthMethodIndex(const char* value) {
    return lookupPrefix(value, AuthMethodTable, AUTH_METHOD_TABLE_SIZE);
}

int lookUpDigestIndex(const char* value) {
    return lookupPrefix(value, DigestTable, DIGEST_TABLE_SIZE);
}
