// The operational keys the initiator knows: names, types, defaults, tables of named values and
// negotiation policies, and the lookups by name (prefix rule).
#include "driver/login/login.h"

#include <cstring>

const char* const OperationalParamsNames[ISCSI_NUM_OP_PARAMS] = {
    "MaxConnections",     "InitialR2T",         "BidiInitialR2T",
    "ImmediateData",      "DataPDULength",      "FirstBurstSize",
    "LogoutLoginMinTime", "LogoutLoginMaxTime", "MaxOutstandingR2T",
    "EnableACA",          "DataOrder",          "CommandReplay",
    "BootSession",        "CopyManagerSession", "AuthMethod",
    "DataDigest",         "HeaderDigest",       "SecurityContextComplete",
};

const char opParamsTypes[ISCSI_NUM_OP_PARAMS + 1] = "nbbbnnnnnbbbbbsssb";

const USHORT defaultOpParams[ISCSI_NUM_OP_PARAMS] = {
    8,   // MaxConnections
    1,   // InitialR2T: yes
    1,   // BidiInitialR2T: yes
    1,   // ImmediateData: yes
    16,  // DataPDULength: 16 units of 512 bytes
    128, // FirstBurstSize
    1,   // LogoutLoginMinTime
    3,   // LogoutLoginMaxTime
    8,   // MaxOutstandingR2T
    1,   // EnableACA: yes
    1,   // DataOrder: yes
    0,   // CommandReplay: no
    0,   // BootSession: no
    0,   // CopyManagerSession: no
    5,   // AuthMethod: none
    1,   // DataDigest: crc-32C
    1,   // HeaderDigest: crc-32C
    0,   // SecurityContextComplete: no
};

// The values a key may take; a text with a value outside them is refused. DataPDULength stops at
// 32767 units so that a data segment (24-bit length) can always hold it.
const USHORT opParamsMin[ISCSI_NUM_OP_PARAMS] = {1, 0, 0, 0, 1, 1, 0, 0, 1,
                                                 0, 0, 0, 0, 0, 0, 0, 0, 0};
const USHORT opParamsMax[ISCSI_NUM_OP_PARAMS] = {65535,
                                                 1,
                                                 1,
                                                 1,
                                                 32767,
                                                 65535,
                                                 65535,
                                                 65535,
                                                 65535,
                                                 1,
                                                 1,
                                                 1,
                                                 1,
                                                 1,
                                                 AUTH_METHOD_TABLE_SIZE - 1,
                                                 DIGEST_TABLE_SIZE - 1,
                                                 DIGEST_TABLE_SIZE - 1,
                                                 1};

const UCHAR opParamsStringGroup[ISCSI_NUM_OP_PARAMS] = {
    OP_GROUP_NONE,   OP_GROUP_NONE,   OP_GROUP_NONE, OP_GROUP_NONE, OP_GROUP_NONE,
    OP_GROUP_NONE,   OP_GROUP_NONE,   OP_GROUP_NONE, OP_GROUP_NONE, OP_GROUP_NONE,
    OP_GROUP_NONE,   OP_GROUP_NONE,   OP_GROUP_NONE, OP_GROUP_NONE, OP_GROUP_AUTH_METHOD,
    OP_GROUP_DIGEST, OP_GROUP_DIGEST, OP_GROUP_NONE,
};

const UCHAR opParamsPolicy[ISCSI_NUM_OP_PARAMS] = {
    OP_POLICY_SMALLER, // MaxConnections
    OP_POLICY_TARGET,  OP_POLICY_TARGET, OP_POLICY_TARGET,
    OP_POLICY_SMALLER, // DataPDULength
    OP_POLICY_SMALLER, // FirstBurstSize
    OP_POLICY_SMALLER, // LogoutLoginMinTime
    OP_POLICY_LARGER,  // LogoutLoginMaxTime
    OP_POLICY_SMALLER, // MaxOutstandingR2T
    OP_POLICY_TARGET,  OP_POLICY_TARGET, OP_POLICY_TARGET, OP_POLICY_TARGET, OP_POLICY_TARGET,
    OP_POLICY_TARGET,  OP_POLICY_TARGET, OP_POLICY_TARGET, OP_POLICY_TARGET,
};

const char* const AuthMethodTable[AUTH_METHOD_TABLE_SIZE] = {"KRB5", "SPKM-1", "SPKM-2",
                                                             "SRP",  "CHAP",   "none"};

const char* const DigestTable[DIGEST_TABLE_SIZE] = {"none", "crc-32C"};

namespace {

// Index of the first name of the table that the text begins with, or -1.
int lookupPrefix(const char* text, const char* const* names, int count) {
    if (text == nullptr) {
        return -1;
    }
    for (int i = 0; i < count; i++) {
        if (strncmp(text, names[i], strlen(names[i])) == 0) {
            return i;
        }
    }
    return -1;
}

} // namespace

int lookupOpParams(const char* text) {
    return lookupPrefix(text, OperationalParamsNames, ISCSI_NUM_OP_PARAMS);
}

int lookUpAuthMethodIndex(const char* value) {
    return lookupPrefix(value, AuthMethodTable, AUTH_METHOD_TABLE_SIZE);
}

int lookUpDigestIndex(const char* value) {
    return lookupPrefix(value, DigestTable, DIGEST_TABLE_SIZE);
}
