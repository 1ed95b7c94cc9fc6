// The negotiation through the engine's real text exchange, against a target scripted byte by byte:
// the Text requests as they go out and the Text responses as they come in.
#include "driver/engine/pdu.h"
#include "driver/engine/text.h"
#include "driver/login/login.h"
#include "tests/unit/login/wire_doubles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

constexpr int IMMEDIATE_DATA = 3;
constexpr int DATA_PDU_LENGTH = 4;

// A Text response: final flag, text length, StatSN, ExpCmdSN 1, MaxCmdSN 64.
std::vector<UCHAR> textResponse(UCHAR flags, UCHAR length, UCHAR statSN) {
    std::vector<UCHAR> h = {
        0xE4, flags, 0, 0,      0, 0, 0, length, // opcode, flags, data segment length
        0,    0,     0, 0,      0, 0, 0, 0,      //
        0,    0,     0, 0,      0, 0, 0, 0,      // task tag (echoed), reserved
        0,    0,     0, statSN,                  // StatSN
        0,    0,     0, 1,                       // ExpCmdSN
        0,    0,     0, 64,                      // MaxCmdSN
        0,    0,     0, 0,      0, 0, 0, 0,      0, 0, 0, 0,
    };
    return h;
}

class WireNegotiation : public ::testing::Test {
protected:
    ISCSI_SESSION session{};
    ISCSI_CONNECTION connection{};

    void SetUp() override {
        ASSERT_EQ(iscsiCoreInitData(), 0);
        wire::reset();
        KeInitializeSpinLock(&session.lock, "session lock", SPIN_LOCK_ORDER_ENGINE);
        session.cmdSN = 1;
        session.maxCmdSN = 1;
        session.isid = 0x1234;
        session.connections = &connection;
        session.numConnectionRecords = 1;
        session.numMaxConnections = 1;
        memcpy(session.opParams, defaultOpParams, sizeof(session.opParams));
        connection.session = &session;
        connection.state = CONN_CONNECTED;
        KeInitializeEvent(&connection.textEvent, SynchronizationEvent, FALSE);
        ASSERT_EQ(iscsiOSallocateConnection(0x7F000001, 3260, &connection.pSock), 0);
    }

    void TearDown() override {
        iscsiOSdestroyConnection(connection.pSock);
        iscsiCoreCleanupData();
    }

    void respond(std::vector<UCHAR> header, std::string data = "") {
        wire::target().responses.push_back(wire::Response{std::move(header), std::move(data)});
    }
};

TEST_F(WireNegotiation, OnePassGoesOutAsATextRequestAndTheFinalAnswerEndsIt) {
    session.opParamsStatus[DATA_PDU_LENGTH] = OP_STATUS_STATE_VALUE;
    respond(textResponse(0x80, 0, 0x10));
    EXPECT_EQ(negotiateOpParams(&connection), 0);

    ASSERT_EQ(wire::target().sent.size(), 1U);
    const wire::Sent& sent = wire::target().sent[0];
    ULONG tag = setTaskId(&session);
    const UCHAR* t = reinterpret_cast<const UCHAR*>(&tag);
    std::vector<UCHAR> expected = {
        0x04, 0x05, 0,    0,    0, 0, 0, 17, // opcode, flags (stages 1 and 1), length 17
        0,    0,    0,    0,    0, 0, 0, 0,  //
        t[0], t[1], t[2], t[3], 0, 0, 0, 0,  // the session's tag as it stands in memory
        0,    0,    0,    1,                 // CmdSN 1
        0,    0,    0,    0,                 // ExpStatSN 0
        0,    0,    0,    0,    0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0,
    };
    EXPECT_EQ(sent.header, expected);
    EXPECT_EQ(sent.data, "DataPDULength=16\0\0\0\0"s);

    EXPECT_EQ(connection.expStatSN, 0x11U);
    EXPECT_EQ(session.cmdSN, 2U);
    EXPECT_EQ(session.maxCmdSN, 64U);
    EXPECT_EQ(connection.textFinal, 1);
    EXPECT_EQ(wire::target().breaks, 0);
}

TEST_F(WireNegotiation, LastPairWithoutItsNulIsReadWithinTheText) {
    session.opParamsStatus[DATA_PDU_LENGTH] = OP_STATUS_STATE_VALUE;
    // 16 bytes of text, a multiple of 4, and no NUL after the pair.
    respond(textResponse(0x80, 16, 0), "ImmediateData=no"s);
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    EXPECT_EQ(session.opParams[IMMEDIATE_DATA], 0);
}

TEST_F(WireNegotiation, PadBytesAreNotPartOfTheLastPair) {
    session.opParamsStatus[DATA_PDU_LENGTH] = OP_STATUS_STATE_VALUE;
    // "DataPDULength=8" is 15 bytes; the pad byte is a digit that would make it 89.
    respond(textResponse(0x80, 15, 0), "DataPDULength=89"s);
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    EXPECT_EQ(session.opParams[DATA_PDU_LENGTH], 8);
}

TEST_F(WireNegotiation, SixExchangesEachTakeTheNextCmdSN) {
    session.opParamsStatus[DATA_PDU_LENGTH] = OP_STATUS_STATE_VALUE;
    for (UCHAR i = 0; i < 6; i++) {
        respond(textResponse(0, 20, i), "DataPDULength=64\0\0\0\0"s);
    }
    EXPECT_EQ(negotiateOpParams(&connection), -1);
    EXPECT_EQ(connection.state, CONN_LOGIN_FAILED);
    ASSERT_EQ(wire::target().sent.size(), 6U);
    for (UCHAR i = 0; i < 6; i++) {
        const std::vector<UCHAR>& h = wire::target().sent[i].header;
        EXPECT_EQ(std::vector<UCHAR>(h.begin() + 24, h.begin() + 32),
                  (std::vector<UCHAR>{0, 0, 0, static_cast<UCHAR>(i + 1), 0, 0, 0, i}));
        EXPECT_EQ(wire::target().sent[i].data, "DataPDULength=16\0\0\0\0"s);
    }
}

TEST_F(WireNegotiation, ClosedCommandWindowFailsTheSendAndBreaksTheConnection) {
    session.opParamsStatus[DATA_PDU_LENGTH] = OP_STATUS_STATE_VALUE;
    session.cmdSN = 5;
    session.maxCmdSN = 4;
    EXPECT_EQ(negotiateOpParams(&connection), -1);
    EXPECT_TRUE(wire::target().sent.empty());
    EXPECT_EQ(wire::target().breaks, 1);
}

TEST_F(WireNegotiation, AnswerThatDoesNotComeFailsTheNegotiation) {
    session.opParamsStatus[DATA_PDU_LENGTH] = OP_STATUS_STATE_VALUE;
    EXPECT_EQ(negotiateOpParams(&connection), -1);
    EXPECT_EQ(wire::target().sent.size(), 1U);
    EXPECT_EQ(connection.state, CONN_CONNECTED);
}

} // namespace
