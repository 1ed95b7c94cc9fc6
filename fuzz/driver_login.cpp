// A whole login of one connection, over the driver's real transport, login exchange, text
// handling and negotiation, against a target whose answers are the fuzz input:
//   byte 0      bit 0: a joining connection (the session already has one logged in);
//               bits 1-3: the most bytes one receive delivers; bit 4: every other receive finds
//               nothing there first; bit 5: at the end the target falls silent instead of closing
//               (every read of the login has a time limit, so the login still ends)
//   bytes 1-2   the login string's length (little-endian, at most 1999), then the login string as
//               the operator configured it (the tool hands it over as it stands, NULs and all)
//   the rest    the byte stream the target sends: Login response, Text responses, closing answers
// Checks what the login promises: every PDU sent whole, values inside their keys' ranges whatever
// was read, a logged-in connection CONN_CONNECTED with the senders' snapshot published, the
// negotiation lock given back, and nothing left behind (sockets, pool memory).
#include "check.h"
#include "driver/login/login.h"
#include "fuzz/driver_peer.h"
#include "platform/kernel/host.h"

#include <cstdint>
#include <vector>

namespace {

constexpr size_t kChunks[8] = {0, 1, 3, 7, 48, 100, 512, 4096};
constexpr ULONG kMaxLoginString = 1999;

void checkValues(const ISCSI_SESSION* session) {
    for (int i = 0; i < ISCSI_NUM_OP_PARAMS; i++) {
        FUZZ_CHECK(session->opParams[i] >= opParamsTable[i].min &&
                   session->opParams[i] <= opParamsTable[i].max);
    }
    FUZZ_CHECK(session->numMaxConnections >= 1 &&
               session->numMaxConnections <= session->numConnectionRecords);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Time-outs and the transport's waits for its readers pass at once; the stream never stalls.
    qvk::setTimeScale(1e-4);
    fuzzpeer::installDevice();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) {
        return 0;
    }
    bool joining = (data[0] & 1) != 0;
    size_t loginLength = (data[1] | data[2] << 8) % (kMaxLoginString + 1);
    loginLength = loginLength < size - 3 ? loginLength : size - 3;
    const char* login = reinterpret_cast<const char*>(data + 3);
    fuzzpeer::serve(data + 3 + loginLength, size - 3 - loginLength, kChunks[(data[0] >> 1) & 7],
                    (data[0] & 0x10) != 0, (data[0] & 0x20) != 0);

    FUZZ_CHECK(iscsiCoreInitData() == 0);
    ISCSI_SESSION* session = fuzzpeer::makeSession(login, static_cast<ULONG>(loginLength), 2);
    if (session == nullptr) {
        iscsiCoreCleanupData();
        FUZZ_CHECK(qvk::poolOutstanding() == 0);
        return 0;
    }
    ISCSI_CONNECTION* connection = &session->connections[0];
    if (joining) {
        // The session's first connection is in full operation (as far as the login can tell),
        // with the values its login asked for.
        setDefaultOpParams(session);
        std::vector<char> wishes(session->loginString, session->loginString + loginLength + 2);
        replaceSemiColons(wishes.data(), static_cast<ULONG>(wishes.size()));
        (void)handleParams(wishes.data(), static_cast<ULONG>(loginLength), session, 1);
        session->tsid = 0x42;
        session->connections[1].state = CONN_CONNECTED;
        session->activeConnections[0] = &session->connections[1];
        session->numActiveConnections = 1;
    }
    FUZZ_CHECK(fuzzpeer::connect(connection));

    int result = handleLogin(connection);
    FUZZ_CHECK(KeReadStateEvent(&session->negotiationLock) != 0);
    // Whatever was read of the login string and the answers, and wherever the login stopped.
    checkValues(session);
    if (result == 0) {
        FUZZ_CHECK(connection->state == CONN_CONNECTED);
        FUZZ_CHECK(iscsiDataPduBytes(session) ==
                   static_cast<ULONG>(session->opParams[OP_DATA_PDU_LENGTH]) * 512);
    }

    if (joining) {
        session->connections[1].state = CONN_IDLE;
        session->activeConnections[0] = nullptr;
        session->numActiveConnections = 0;
    }
    freeSessionResources(session);
    iscsiCoreCleanupData();
    FUZZ_CHECK(fuzzpeer::openSockets() == 0);
    FUZZ_CHECK(qvk::poolOutstanding() == 0);
    return 0;
}
