// Login and negotiation: the table of the 18 operational keys, the key=value text codec, and the
// negotiation of a session's operational values.
//
// Text forms. A login string is a sequence of pairs key=value, each ended by ";" (the last ";" may
// be missing). Wire text is the same pairs with every ";" turned into a NUL. Received text is read
// as NUL-terminated pairs one after another.
//
// Two search rules, never mixed: the key and value-table lookups compare at the start of a text
// (prefix rule); buildString, discard_substr and the key tests of the negotiation search anywhere
// in a text (substring rule), so "TargetName" is found inside any pair that contains it.
//
// The codec holds no state, allocates nothing and takes no lock; every routine works on a buffer
// its caller owns and writes nothing past the capacity it is given. The negotiation writes the
// session's opParams/opParamsStatus/numMaxConnections without a lock: only the connection-making
// thread of a session runs it, one login at a time, before the connection's receive thread exists.
#pragma once

#include "driver/engine/engine.h"
#include "driver/engine/login_layer.h"
#include "driver/engine/text.h"

// ---- the key table: one row per key, in key index order (OP_PARAM_INDEX, which also indexes
// the session's opParams and opParamsStatus)
constexpr UCHAR OP_GROUP_NONE = 0;
constexpr UCHAR OP_GROUP_AUTH_METHOD = 1;
constexpr UCHAR OP_GROUP_DIGEST = 2;
constexpr UCHAR OP_POLICY_TARGET = 0;  // the target's answer is taken as it stands
constexpr UCHAR OP_POLICY_SMALLER = 1; // the smaller of the two values
constexpr UCHAR OP_POLICY_LARGER = 2;  // the larger of the two values
struct OP_PARAM {
    const char* name;
    char type; // 'n' number (decimal), 'b' boolean ("yes"/"no"), 's' named value
    USHORT defaultValue;
    USHORT min; // the values the key may take: a text with a value outside them is refused
    USHORT max;
    UCHAR stringGroup; // OP_GROUP_*: the key's table of named values
    UCHAR policy;      // OP_POLICY_*: how the target's answer combines with the initiator's value
};
extern const OP_PARAM opParamsTable[ISCSI_NUM_OP_PARAMS];

// The table's columns by their own names, indexed like the table: OperationalParamsNames[index]
// is the name of key index, defaultOpParams[index] its default, and so on.
template <typename T, T OP_PARAM::*field>
struct OP_PARAM_COLUMN {
    T operator[](int index) const { return opParamsTable[index].*field; }
};
inline constexpr OP_PARAM_COLUMN<const char*, &OP_PARAM::name> OperationalParamsNames{};
inline constexpr OP_PARAM_COLUMN<char, &OP_PARAM::type> opParamsTypes{};
inline constexpr OP_PARAM_COLUMN<USHORT, &OP_PARAM::defaultValue> defaultOpParams{};
inline constexpr OP_PARAM_COLUMN<UCHAR, &OP_PARAM::stringGroup> opParamsStringGroup{};
inline constexpr OP_PARAM_COLUMN<UCHAR, &OP_PARAM::policy> opParamsPolicy{};

constexpr int AUTH_METHOD_TABLE_SIZE = 6;
constexpr int DIGEST_TABLE_SIZE = 2;
extern const char* const AuthMethodTable[AUTH_METHOD_TABLE_SIZE];
extern const char* const DigestTable[DIGEST_TABLE_SIZE];
constexpr USHORT AUTH_METHOD_SRP = 3;
constexpr USHORT AUTH_METHOD_NONE = 5;
constexpr USHORT DIGEST_CRC_32C = 1;

// Negotiation status codes (opParamsStatus).
constexpr UCHAR OP_STATUS_SETTLED = 0;
constexpr UCHAR OP_STATUS_NOT_UNDERSTOOD = 1; // next pass offers the default
constexpr UCHAR OP_STATUS_REJECTED = 2;       // value already reset; next pass offers the default
constexpr UCHAR OP_STATUS_STATE_VALUE = 3;    // next pass offers the session's current value

// Sets every key of the session to its default, settled (the first login of a session).
void setDefaultOpParams(ISCSI_SESSION* session);

// ---- lookups (prefix rule, case-sensitive, table order)
// Index of the first key whose name the text begins with, or -1.
int lookupOpParams(const char* text);
// Index in AuthMethodTable of the first name the value begins with, or -1.
int lookUpAuthMethodIndex(const char* value);
// Index in DigestTable of the first name the value begins with, or -1.
int lookUpDigestIndex(const char* value);

// ---- reading values
// The position after the first "=" of the NUL-terminated text and the spaces after it; null when
// the text holds no "=".
char* pastEquals(char* text);
const char* pastEquals(const char* text);
// Whether the first character that is not a space is a decimal digit.
bool numeric(const char* value);
// Decimal reader: digits accumulate, spaces are skipped, "," or ";" end the reading once the
// number is not 0 (and are skipped while it is), the NUL ends it, anything else refuses the text.
// Returns TRUE when the text was refused, FALSE when a number was read into *number.
BOOLEAN CharToInteger(const char* value, ULONG* number);
// Hexadecimal reader: lower-cases the value in place, skips leading spaces and one leading "0x",
// then reads hex digits like CharToInteger (";" refuses). Same result convention.
BOOLEAN HexCharToInteger(char* value, ULONG* number);
// Lower-cases the letters A to Z of the NUL-terminated text in place.
void makeLowerCase(char* text);

// ---- writing values
// Room IntegerToChar needs: five digits and the NUL.
constexpr ULONG INTEGER_TEXT_SIZE = 6;
// Writes the decimal digits of number and a NUL into buffer (INTEGER_TEXT_SIZE bytes).
void IntegerToChar(USHORT number, char* buffer);

// ---- walking and rewriting key=value text
// The pair after this NUL-terminated one, or null at the end of the text: remaining (the bytes left
// from pair on) loses the pair's length and its NUL; the walk ends when nothing remains or at an
// empty pair.
char* FindNextParam(char* pair, LONG* remaining);
// Copies the bytes from the first occurrence of key in the NUL-terminated source up to and
// including the first separator at or after it to destination + *length, and adds their count to
// *length; no NUL is written. Key or separator absent: nothing happens, 0. Returns -1, writing
// nothing, when the pair would not fit into the destination's capacity: a pair is never cut.
int buildString(char* destination, ULONG capacity, const char* source, const char* key,
                const char* separator, ULONG* length);
// Removes from the NUL-terminated buffer the bytes from the first occurrence of key up to and
// including the first separator after it, moves the rest (through offset *length) down, shortens
// *length by the count and writes a NUL at the new *length. The buffer holds *length + 1 bytes.
// Nothing happens when key or separator is absent, or when the pair does not end within *length.
void discard_substr(char* buffer, const char* key, const char* separator, ULONG* length);
// Removes the five pairs that travel in the Login request (TargetName, InitiatorName, DataDigest,
// HeaderDigest, AuthMethod, in this order) from a ";"-separated login string.
void discardSecurityInfo(char* buffer, ULONG* length);

// ---- negotiation
// Capacity of one negotiation pass's text; all 18 keys with their longest values fit.
constexpr ULONG NEGOTIATION_TEXT_SIZE = 512;
// Number of counted exchanges at which a negotiation is over-long and fails.
constexpr int NEGOTIATION_FAIL_EXCHANGES = 5;
constexpr int NEGOTIATION_MAX_EXCHANGES = 6;

// How a pair's value reads.
enum PAIR_VALUE { PAIR_VALUE_NUMBER, PAIR_VALUE_QUERY, PAIR_VALUE_BAD };
// Reads the value (the text after the pair's "=") the way the negotiation stores it: a number
// (decimal, or hexadecimal when it contains "0x"), "yes" 1, "no" 0, the index of a name in the
// pair's table of named values; "?" is a query. The hexadecimal reader lower-cases value in place.
PAIR_VALUE readPairValue(const char* pair, char* value, ULONG* number);
// Reads one NUL-terminated key=value pair into the session: an initiator's wish (direct non-zero,
// from the login string) or a target's answer (direct zero, combined by the key's policy).
// InitiatorName and TargetName pairs are accepted and not stored. 0, or -1 for a malformed pair.
int storeOperationalParam(char* pair, ISCSI_SESSION* session, UCHAR direct);
// Reads length bytes of NUL-terminated pairs into the session; answers "reject" and
// "NotUnderstood" mark the key. A text that carries a key twice or a value outside its key's range
// is refused as a whole (ISCSI_TEXT_REFUSED_WHOLE, nothing applied). Otherwise stops at the first
// pair that fails and returns -1; or 0.
// Every pair must end in a NUL at or before offset length: a caller whose last pair runs up to the
// length keeps a NUL at offset length (its buffer has at least length + 1 bytes).
int handleParams(char* text, ULONG length, ISCSI_SESSION* session, UCHAR direct);
// Sets the session's value of the pair's key to the default; the key index, or -1 when unknown.
int revertToDefault(const char* pair, ISCSI_SESSION* session);
// Writes "key=value;" for the key with the given value into text at *length, within capacity;
// writes nothing (and returns 0) for a named value that its key's table does not hold. -1 when
// the pair would not fit.
int writeOpParam(char* text, ULONG capacity, ULONG* length, int index, USHORT value);
// Offers the keys that are not settled in Text exchanges on the connection and reads the target's
// answers, until an answer is final or nothing is left to say. Fails (-1) when sending fails (the
// connection is broken), when an answer cannot be read, and after too many exchanges (the
// connection is then CONN_LOGIN_FAILED).
int negotiateOpParams(ISCSI_CONNECTION* connection);

// ---- the login exchange
// The flags of a login's Text requests: the operational exchanges (0x05), the closing ones (0x8D).
constexpr TEXT_CMD_OPTIONS LOGIN_TEXT_OPTIONS{.final = false, .lowStage = 1, .highStage = 1};
constexpr TEXT_CMD_OPTIONS LOGIN_CLOSING_OPTIONS{.final = true, .lowStage = 1, .highStage = 3};
// Whether a login is a discovery login: the text from the TargetName value on contains "iscsi".
bool discovery_session(const char* text);
// Sends the Login request with the names (and AuthMethod, HeaderDigest, DataDigest when present)
// and reads its answer into the session. 0, or -1 with the connection's state set.
int sendLoginCmd(ISCSI_CONNECTION* connection);
// Logs a connection in that is CONN_CONNECTED: 0 when it is in full-feature operation, -1 when
// the login failed, ISCSI_SECURITY_BUS_REMOVED when it failed because the target's bus is being
// removed (no further connection is to be logged in).
int handleLogin(ISCSI_CONNECTION* connection);
