// The initiator's key=value codec and the negotiation of a target's answer text: the input's first
// byte picks the session's connection records (bits 0-2), whether the text is first taken as the
// initiator's own wishes (bit 3) and the capacity given to buildString (bits 4-7); the rest is a
// text as a target sends it (NUL-separated pairs), also read as a login string with ";" between
// the pairs. Every buffer is allocated to its exact size, so a read or write past a length is an
// AddressSanitizer report. Checks what the codec and the negotiation promise: a walk stays inside
// its text, a text refused as a whole changes nothing, values stay inside their keys' ranges after
// any accepted text, what the initiator writes reads back as the values it holds, buildString
// never writes past its capacity, discard_substr keeps its text terminated.
#include "check.h"
#include "driver/login/login.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

// A heap copy of exactly size + 1 bytes: the bytes and a NUL after them.
std::unique_ptr<char[]> copyOf(const char* bytes, size_t size) {
    std::unique_ptr<char[]> copy(new char[size + 1]);
    std::memcpy(copy.get(), bytes, size);
    copy[size] = '\0';
    return copy;
}

// The part of a session the negotiation writes.
struct Negotiated {
    USHORT values[ISCSI_NUM_OP_PARAMS];
    UCHAR status[ISCSI_NUM_OP_PARAMS];
    ULONG connections;

    explicit Negotiated(const ISCSI_SESSION& s) : connections(s.numMaxConnections) {
        std::memcpy(values, s.opParams, sizeof values);
        std::memcpy(status, s.opParamsStatus, sizeof status);
    }
    bool operator==(const Negotiated& o) const {
        return std::memcmp(values, o.values, sizeof values) == 0 &&
               std::memcmp(status, o.status, sizeof status) == 0 && connections == o.connections;
    }
};

void resetSession(ISCSI_SESSION& session, ULONG records) {
    RtlZeroMemory(&session, sizeof session);
    setDefaultOpParams(&session);
    session.numConnectionRecords = records;
    session.numMaxConnections = records;
}

void checkInRange(const ISCSI_SESSION& session) {
    for (int i = 0; i < ISCSI_NUM_OP_PARAMS; i++) {
        FUZZ_CHECK(session.opParams[i] >= opParamsTable[i].min &&
                   session.opParams[i] <= opParamsTable[i].max);
        FUZZ_CHECK(session.opParamsStatus[i] <= OP_STATUS_STATE_VALUE);
    }
    FUZZ_CHECK(session.numMaxConnections >= 1 &&
               session.numMaxConnections <= session.numConnectionRecords);
}

// Reads a wire text into the session; a text refused as a whole leaves it as it was, any other
// outcome leaves every value in its key's range.
void apply(ISCSI_SESSION& session, const char* text, size_t size, UCHAR direct) {
    auto copy = copyOf(text, size);
    Negotiated before(session);
    int result = handleParams(copy.get(), static_cast<ULONG>(size), &session, direct);
    FUZZ_CHECK(result == 0 || result == ISCSI_FAILURE || result == ISCSI_TEXT_REFUSED_WHOLE);
    if (result == ISCSI_TEXT_REFUSED_WHOLE) {
        FUZZ_CHECK(before == Negotiated(session));
    }
    checkInRange(session);
}

// The walk a reader makes over a text stays inside it and ends.
void walk(const char* text, size_t size) {
    auto copy = copyOf(text, size);
    auto remaining = static_cast<LONG>(size);
    size_t steps = 0;
    for (char* pair = copy.get(); pair != nullptr; pair = FindNextParam(pair, &remaining)) {
        FUZZ_CHECK(pair >= copy.get() && pair < copy.get() + size);
        FUZZ_CHECK(++steps <= size);
    }
}

// What the negotiation would offer for every key, read back as the initiator's wishes, gives the
// values it was written from.
void roundTrip(const ISCSI_SESSION& session) {
    char text[NEGOTIATION_TEXT_SIZE + 1] = {};
    ULONG length = 0;
    for (int i = 0; i < ISCSI_NUM_OP_PARAMS; i++) {
        FUZZ_CHECK(writeOpParam(text, NEGOTIATION_TEXT_SIZE, &length, i, session.opParams[i]) == 0);
    }
    FUZZ_CHECK(length <= NEGOTIATION_TEXT_SIZE);
    replaceSemiColons(text, length);
    ISCSI_SESSION reread;
    resetSession(reread, session.numConnectionRecords);
    FUZZ_CHECK(handleParams(text, length, &reread, 1) == 0);
    FUZZ_CHECK(std::memcmp(reread.opParams, session.opParams, sizeof reread.opParams) == 0);
}

// The value readers on one pair (a NUL-terminated copy of it).
void readValue(const char* pair, size_t size) {
    auto copy = copyOf(pair, size);
    (void)lookupOpParams(copy.get());
    const char* value = pastEquals(static_cast<const char*>(copy.get()));
    if (value == nullptr) {
        return;
    }
    FUZZ_CHECK(value > copy.get() && value <= copy.get() + size);
    (void)lookUpAuthMethodIndex(value);
    (void)lookUpDigestIndex(value);
    (void)numeric(value);
    ULONG number = 0;
    if (!CharToInteger(value, &number) && number <= 0xFFFF) {
        char digits[INTEGER_TEXT_SIZE];
        IntegerToChar(static_cast<USHORT>(number), digits);
        ULONG again = 0;
        FUZZ_CHECK(!CharToInteger(digits, &again) && again == number);
    }
    auto lower = copyOf(value, std::strlen(value));
    (void)HexCharToInteger(lower.get(), &number);
}

// The login string form: the pairs with ";" between them, as the tool hands them over.
void loginString(const char* text, size_t size, ULONG capacity) {
    auto login = copyOf(text, size);
    for (size_t i = 0; i < size; i++) {
        if (login[i] == '\0') {
            login[i] = ';';
        }
    }
    ULONG length = static_cast<ULONG>(std::strlen(login.get()));
    std::unique_ptr<char[]> destination(new char[capacity]);
    ULONG built = 0;
    for (const char* key : {"InitiatorName", "TargetName", "AuthMethod", "HeaderDigest",
                            "DataDigest", "MaxConnections"}) {
        ULONG before = built;
        if (buildString(destination.get(), capacity, login.get(), key, ";", &built) != 0) {
            FUZZ_CHECK(built == before);
            continue;
        }
        FUZZ_CHECK(built <= capacity);
        std::string_view piece(destination.get() + before, built - before);
        FUZZ_CHECK(piece.empty() ||
                   (piece.starts_with(key) && piece.back() == ';' &&
                    std::string_view(login.get()).find(piece) != std::string_view::npos));
    }
    (void)discovery_session(login.get());
    ULONG kept = length;
    discardSecurityInfo(login.get(), &kept);
    FUZZ_CHECK(kept <= length && login[kept] == '\0');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const char* text = reinterpret_cast<const char*>(data + 1);
    size_t length = size - 1;
    ULONG records = 1 + (data[0] & 7);

    for (size_t start = 0; start < length;) {
        size_t end = start;
        while (end < length && text[end] != '\0') {
            end++;
        }
        readValue(text + start, end - start);
        start = end + 1;
    }
    loginString(text, length, 8 + (data[0] >> 4) * 64U);
    if (length == 0) {
        return 0;
    }

    walk(text, length);
    ISCSI_SESSION session;
    resetSession(session, records);
    if (data[0] & 8) {
        apply(session, text, length, 1);
    }
    apply(session, text, length, 0);
    roundTrip(session);
    return 0;
}
