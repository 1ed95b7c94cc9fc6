// Reading pairs into a session, and the negotiation passes through the engine's real text
// exchange against a target scripted byte by byte (wire_doubles.h): the Text requests as they go
// out and the Text responses as they come in.
#include "driver/engine/pdu.h"
#include "driver/engine/text.h"
#include "driver/login/login.h"
#include "driver/runtime/runtime.h"
#include "platform/kernel/host.h"
#include "tests/unit/login/wire_doubles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

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

class Negotiation : public ::testing::Test {
protected:
    ISCSI_SESSION session{};
    ISCSI_CONNECTION connections[2]{};
    ISCSI_CONNECTION& connection = connections[0];
    UCHAR nextStatSN = 0;

    void SetUp() override {
        ASSERT_EQ(iscsiCoreInitData(), 0);
        wire::reset();
        KeInitializeSpinLock(&session.lock, "session lock", SPIN_LOCK_ORDER_ENGINE);
        session.cmdSN = 1;
        session.maxCmdSN = 1;
        session.isid = 0x1234;
        session.connections = connections;
        session.numConnectionRecords = 2;
        session.numMaxConnections = 2;
        setDefaultOpParams(&session);
        for (ISCSI_CONNECTION& c : connections) {
            c.session = &session;
            c.state = CONN_CONNECTED;
            KeInitializeEvent(&c.textEvent, SynchronizationEvent, FALSE);
        }
        ASSERT_EQ(iscsiOSallocateConnection(0x7F000001, 3260, &connection.pSock), 0);
    }

    void TearDown() override {
        iscsiOSdestroyConnection(connection.pSock);
        iscsiCoreCleanupData();
    }

    void respond(std::vector<UCHAR> header, std::string data = "") {
        wire::target().responses.push_back(wire::Response{std::move(header), std::move(data)});
    }

    // Queues the target's answer to the next Text request: NUL-ended pairs, padded on the wire.
    void answer(const std::string& text, bool final = false) {
        std::string padded = text + std::string((4 - text.size() % 4) % 4, '\0');
        respond(textResponse(final ? 0x80 : 0, static_cast<UCHAR>(text.size()), nextStatSN++),
                padded);
    }

    // The texts of the Text requests sent, without their padding.
    std::vector<std::string> sentTexts() const {
        std::vector<std::string> texts;
        for (const wire::Sent& s : wire::target().sent) {
            texts.push_back(s.data.substr(0, iscsiPduGetDataLength(s.header.data())));
        }
        return texts;
    }

    // Reads a wire text (NUL-terminated pairs) into the session from a buffer with a NUL behind.
    int read(const std::string& text, UCHAR direct) {
        std::vector<char> buffer(text.begin(), text.end());
        buffer.push_back('\0');
        return handleParams(buffer.data(), static_cast<ULONG>(text.size()), &session, direct);
    }

    int store(const std::string& pair, UCHAR direct) {
        std::vector<char> buffer(pair.begin(), pair.end());
        buffer.push_back('\0');
        return storeOperationalParam(buffer.data(), &session, direct);
    }

    void expectAllSettled() {
        for (int i = 0; i < ISCSI_NUM_OP_PARAMS; i++) {
            EXPECT_EQ(session.opParamsStatus[i], OP_STATUS_SETTLED) << "key " << i;
        }
    }

    void expectDefaults() {
        for (int i = 0; i < ISCSI_NUM_OP_PARAMS; i++) {
            EXPECT_EQ(session.opParams[i], defaultOpParams[i]) << "key " << i;
        }
    }

    // A target that answers DataPDULength=64 to the initiator's 16 keeps the key unsettled.
    void disagreeOnDataPDULength() {
        ASSERT_EQ(read("DataPDULength=64\0"s, 0), 0);
        ASSERT_EQ(session.opParamsStatus[OP_DATA_PDU_LENGTH], OP_STATUS_STATE_VALUE);
    }
};

TEST_F(Negotiation, LoginStringWishesReplaceTheDefaults) {
    EXPECT_EQ(read("InitiatorName=iqn.i\0TargetName=iqn.t\0MaxConnections=1\0"
                   "DataPDULength=0x20\0InitialR2T=no\0AuthMethod=CHAP,none\0"
                   "HeaderDigest=none\0FirstBurstSize= 64\0"s,
                   1),
              0);
    EXPECT_EQ(session.opParams[OP_MAX_CONNECTIONS], 1);
    EXPECT_EQ(session.numMaxConnections, 1U);
    EXPECT_EQ(session.opParams[OP_DATA_PDU_LENGTH], 32);
    EXPECT_EQ(session.opParams[OP_INITIAL_R2T], 0);
    EXPECT_EQ(session.opParams[OP_AUTH_METHOD], 4);
    EXPECT_EQ(session.opParams[OP_HEADER_DIGEST], 0);
    EXPECT_EQ(session.opParams[OP_FIRST_BURST_SIZE], 64);
    expectAllSettled();
}

TEST_F(Negotiation, LoginStringCopyIsSplitIntoPairsAtItsSeparators) {
    // As a login reads it: the session's copy with its ";" turned into NULs, walked over the
    // length the operator gave, which leaves out the ";" the copy added.
    const char* login = "InitiatorName=iqn.i;TargetName=iqn.t;MaxConnections=1;InitialR2T=no";
    ASSERT_EQ(processLoginParameters(&session, login, static_cast<ULONG>(strlen(login))), 0);
    std::string copy(session.loginString, strlen(session.loginString) + 1);
    replaceSemiColons(copy.data(), static_cast<ULONG>(copy.size()));
    EXPECT_EQ(handleParams(copy.data(), session.loginStringLength, &session, 1), 0);
    EXPECT_EQ(session.opParams[OP_MAX_CONNECTIONS], 1);
    EXPECT_EQ(session.opParams[OP_INITIAL_R2T], 0);
    ExFreePool(session.loginString);
    session.loginString = nullptr;
}

TEST_F(Negotiation, TextsWithAKeyTwiceOrAValueOutOfRangeAreRefusedWhole) {
    session.opParams[OP_DATA_PDU_LENGTH] = 16;
    for (const std::string& text :
         {"InitialR2T=no\0InitialR2T=yes\0"s, "DataPDULength=8\0DataPDULength=64\0"s,
          "TargetName=a\0TargetName=b\0"s, "DataPDULength=8\0FirstBurstSize=65536\0"s,
          "DataPDULength=32768\0"s, "DataPDULength=0\0"s, "MaxConnections=0x10000\0"s,
          "DataPDULength=4294967312\0"s, "DataPDULength=no\0"s, "HeaderDigest=3\0"s,
          "InitialR2T=0x2\0"s, "AuthMethod=6\0"s}) {
        EXPECT_EQ(read(text, 0), ISCSI_TEXT_REFUSED_WHOLE) << text;
        EXPECT_EQ(session.opParams[OP_DATA_PDU_LENGTH], 16) << "nothing applied: " << text;
    }
    EXPECT_EQ(read("DataPDULength=32767\0"s, 1), 0);
}

// A value cut to the length a value may have would read as another one: it is refused as too long.
TEST_F(Negotiation, AValueTooLongToKeepIsRefusedWholeNamingItsKey) {
    GlobalDebugLevel = DBG_ERROR;
    qvk::dbgCaptureStart();
    std::string value = std::string(259, '0') + "016"; // 16, in 262 characters
    EXPECT_EQ(read("InitialR2T=no\0DataPDULength="s + value + "\0"s, 1), ISCSI_TEXT_REFUSED_WHOLE);
    std::string log = qvk::dbgCaptureTake();
    qvk::dbgCaptureStop();
    GlobalDebugLevel = 0;
    EXPECT_NE(log.find("handleParams: the value of DataPDULength is too long"), std::string::npos)
        << log;
    EXPECT_EQ(session.opParams[OP_INITIAL_R2T], defaultOpParams[OP_INITIAL_R2T])
        << "nothing applied";
}

TEST_F(Negotiation, MalformedPairsFail) {
    for (const char* pair : {"DataPDULength", "DataPDULength=", "Bogus=1", "DataPDULength=1f",
                             "DataPDULength=0x1g", "AuthMethod=bogus", "DataDigest=md5",
                             "HeaderDigest=crc-32c", " DataPDULength=8", "DataPDULength=-1"}) {
        SCOPED_TRACE(pair);
        EXPECT_EQ(store(pair, 1), -1);
        EXPECT_EQ(store(pair, 0), -1);
    }
    expectDefaults();
}

TEST_F(Negotiation, NamesAreCarriedAndLoginStringQueriesNotStored) {
    EXPECT_EQ(store("InitiatorName=iqn.i", 1), 0);
    EXPECT_EQ(store("TargetName=iqn.t", 0), 0);
    // Found anywhere in the pair: this pair is not read as a MaxConnections value.
    EXPECT_EQ(store("MaxConnections=1TargetName", 1), 0);
    // A query in the login string stores nothing either.
    EXPECT_EQ(store("MaxConnections=?", 1), 0);
    expectDefaults();
    EXPECT_EQ(session.numMaxConnections, 2U);
    expectAllSettled();
}

TEST_F(Negotiation, ValueOf256CharactersReadsAnd257FailsAndNumbersAreCutTo16Bits) {
    EXPECT_EQ(store("DataPDULength=" + std::string(255, '0') + "8", 0), 0);
    EXPECT_EQ(session.opParams[OP_DATA_PDU_LENGTH], 8);
    EXPECT_EQ(store("DataPDULength=" + std::string(256, '0') + "4", 0), -1);
    EXPECT_EQ(session.opParams[OP_DATA_PDU_LENGTH], 8);
    // The length is checked before the names are recognised.
    EXPECT_EQ(store("InitiatorName=" + std::string(256, 'i'), 1), 0);
    EXPECT_EQ(store("InitiatorName=" + std::string(257, 'i'), 1), -1);
    // Numbers are cut to 16 bits.
    EXPECT_EQ(store("FirstBurstSize=65664", 1), 0);
    EXPECT_EQ(session.opParams[OP_FIRST_BURST_SIZE], 128);
}

// Pairs stored one after another into one session: from the login string (direct) or as the
// target's answer, combined by each key's policy; status -1 is not checked.
TEST_F(Negotiation, PairsAreStoredByTheirTypeAndCombinedByPolicy) {
    struct Step {
        const char* pair;
        UCHAR direct;
        int rc, param, value, status;
    } steps[] = {
        {"AuthMethod=none", 1, 0, OP_AUTH_METHOD, 5, -1}, // a name, not the boolean "no"
        {"DataDigest=none", 1, 0, OP_DATA_DIGEST, 0, -1},
        {"InitialR2T=none", 1, -1, OP_INITIAL_R2T, 1, -1}, // a boolean has no names
        {"InitialR2T=no", 1, 0, OP_INITIAL_R2T, 0, -1},
        {"InitialR2T=yes", 1, 0, OP_INITIAL_R2T, 1, -1},
        // Smaller: a larger answer keeps ours and marks it to be stated again.
        {"DataPDULength=64", 0, 0, OP_DATA_PDU_LENGTH, 16, OP_STATUS_STATE_VALUE},
        {"FirstBurstSize=64", 0, 0, OP_FIRST_BURST_SIZE, 64, OP_STATUS_SETTLED},
        // Larger: a smaller answer keeps ours.
        {"LogoutLoginMaxTime=2", 0, 0, OP_LOGOUT_LOGIN_MAX_TIME, 3, OP_STATUS_STATE_VALUE},
        // The target's value as it stands.
        {"InitialR2T=no", 0, 0, OP_INITIAL_R2T, 0, OP_STATUS_SETTLED},
        // A query from the target is answered with ours.
        {"MaxConnections=?", 0, 0, OP_MAX_CONNECTIONS, 8, OP_STATUS_STATE_VALUE},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.pair);
        EXPECT_EQ(store(s.pair, s.direct), s.rc);
        EXPECT_EQ(session.opParams[s.param], s.value);
        if (s.status >= 0) {
            EXPECT_EQ(session.opParamsStatus[s.param], s.status);
        }
    }
    session.opParamsStatus[OP_LOGOUT_LOGIN_MAX_TIME] = OP_STATUS_SETTLED;
    EXPECT_EQ(store("LogoutLoginMaxTime=5", 0), 0);
    EXPECT_EQ(session.opParams[OP_LOGOUT_LOGIN_MAX_TIME], 5);
    EXPECT_EQ(session.opParamsStatus[OP_LOGOUT_LOGIN_MAX_TIME], OP_STATUS_SETTLED);
    EXPECT_EQ(session.numMaxConnections, 2U);
}

TEST_F(Negotiation, MaxConnectionsNeverExceedsTheConnectionRecords) {
    EXPECT_EQ(store("MaxConnections=16", 0), 0);
    EXPECT_EQ(session.numMaxConnections, 2U);
    EXPECT_EQ(store("MaxConnections=16", 1), 0);
    EXPECT_EQ(session.opParams[OP_MAX_CONNECTIONS], 16);
    EXPECT_EQ(session.numMaxConnections, 2U);
    EXPECT_EQ(store("MaxConnections=1", 1), 0);
    EXPECT_EQ(session.numMaxConnections, 1U);
    // At least the connection that is logging in stays counted.
    EXPECT_EQ(store("MaxConnections=0", 0), 0);
    EXPECT_EQ(session.numMaxConnections, 1U);
    EXPECT_LE(session.numMaxConnections, session.numConnectionRecords);
    // The count follows the number as read, though the kept value is the smaller.
    ASSERT_EQ(store("MaxConnections=1", 1), 0);
    EXPECT_EQ(store("MaxConnections=2", 0), 0);
    EXPECT_EQ(session.opParams[OP_MAX_CONNECTIONS], 1);
    EXPECT_EQ(session.opParamsStatus[OP_MAX_CONNECTIONS], OP_STATUS_STATE_VALUE);
    EXPECT_EQ(session.numMaxConnections, 2U);
}

TEST_F(Negotiation, ReadingATextNeedsTextAndLength) {
    char text[] = "InitialR2T=no";
    EXPECT_EQ(handleParams(nullptr, 13, &session, 0), -1);
    EXPECT_EQ(handleParams(text, 0, &session, 0), -1);
    EXPECT_EQ(session.opParams[OP_INITIAL_R2T], 1);
}

TEST_F(Negotiation, RejectRevertsToTheDefaultNotUnderstoodKeepsTheValueUnknownKeysIgnored) {
    session.opParams[OP_HEADER_DIGEST] = 0;
    session.opParams[OP_DATA_ORDER] = 0;
    EXPECT_EQ(read("HeaderDigest=reject\0DataOrder=NotUnderstood\0"s, 0), 0);
    EXPECT_EQ(session.opParams[OP_HEADER_DIGEST], 1);
    EXPECT_EQ(session.opParamsStatus[OP_HEADER_DIGEST], OP_STATUS_REJECTED);
    EXPECT_EQ(session.opParams[OP_DATA_ORDER], 0);
    EXPECT_EQ(session.opParamsStatus[OP_DATA_ORDER], OP_STATUS_NOT_UNDERSTOOD);
    // For unknown keys they are ignored.
    session.opParamsStatus[OP_HEADER_DIGEST] = OP_STATUS_SETTLED;
    session.opParamsStatus[OP_DATA_ORDER] = OP_STATUS_SETTLED;
    EXPECT_EQ(read("Bogus=reject\0Other=NotUnderstood\0InitialR2T=no\0"s, 0), 0);
    EXPECT_EQ(session.opParams[OP_INITIAL_R2T], 0);
    expectAllSettled();
}

TEST_F(Negotiation, BadPairOrEmptyPairStopsTheWalkAndLosesThePairsAfterIt) {
    EXPECT_EQ(read("InitialR2T=no\0DataPDULength=8\0Bogus=1\0ImmediateData=no\0"s, 0), -1);
    EXPECT_EQ(session.opParams[OP_INITIAL_R2T], 0);
    EXPECT_EQ(session.opParams[OP_DATA_PDU_LENGTH], 8);
    EXPECT_EQ(session.opParams[OP_IMMEDIATE_DATA], 1);
    // An empty pair ends the text.
    EXPECT_EQ(read("DataOrder=no\0\0ImmediateData=no\0"s, 0), 0);
    EXPECT_EQ(session.opParams[OP_DATA_ORDER], 0);
    EXPECT_EQ(session.opParams[OP_IMMEDIATE_DATA], 1);
}

TEST_F(Negotiation, NothingUnsettledSendsNothingAndStatusAboveThreeIsCleared) {
    session.opParamsStatus[OP_FIRST_BURST_SIZE] = 7;
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    EXPECT_TRUE(wire::target().sent.empty());
    EXPECT_EQ(connection.state, CONN_CONNECTED);
    expectAllSettled();
}

TEST_F(Negotiation, SmallerPolicyOffersTheInitiatorsValueAgain) {
    disagreeOnDataPDULength();
    answer("DataPDULength=16\0"s, true);
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    EXPECT_EQ(sentTexts(), std::vector<std::string>{"DataPDULength=16\0"s});
    EXPECT_EQ(wire::target().sent[0].header[1], 0x05); // not final, stages 1 and 1
    EXPECT_EQ(session.opParams[OP_DATA_PDU_LENGTH], 16);
    expectAllSettled();
    EXPECT_EQ(connection.state, CONN_CONNECTED);
}

TEST_F(Negotiation, LargerPolicyTakesALargerAnswerWithoutAnotherPass) {
    ASSERT_EQ(read("LogoutLoginMaxTime=2\0"s, 0), 0);
    answer("LogoutLoginMaxTime=5\0"s);
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    EXPECT_EQ(sentTexts(), std::vector<std::string>{"LogoutLoginMaxTime=3\0"s});
    EXPECT_EQ(session.opParams[OP_LOGOUT_LOGIN_MAX_TIME], 5);
}

TEST_F(Negotiation, QueryIsAnsweredWithTheSessionsValue) {
    ASSERT_EQ(store("MaxConnections=2", 1), 0);
    ASSERT_EQ(read("MaxConnections=?\0"s, 0), 0);
    answer("MaxConnections=2\0"s, true);
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    EXPECT_EQ(sentTexts(), std::vector<std::string>{"MaxConnections=2\0"s});
    EXPECT_EQ(session.opParams[OP_MAX_CONNECTIONS], 2);
}

TEST_F(Negotiation, QueryInAnAnswerLeadsToAnotherPass) {
    disagreeOnDataPDULength();
    answer("DataPDULength=16\0MaxConnections=?\0"s);
    answer("MaxConnections=2\0"s);
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    EXPECT_EQ(sentTexts(),
              (std::vector<std::string>{"DataPDULength=16\0"s, "MaxConnections=8\0"s}));
}

TEST_F(Negotiation, RejectedAndNotUnderstoodKeysAreOfferedWithTheirDefaults) {
    session.opParams[OP_DATA_ORDER] = 0;
    session.opParams[OP_HEADER_DIGEST] = 0;
    ASSERT_EQ(read("MaxConnections=?\0DataOrder=NotUnderstood\0HeaderDigest=reject\0"s, 0), 0);
    answer(""s, true);
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    EXPECT_EQ(sentTexts(),
              std::vector<std::string>{"MaxConnections=8\0DataOrder=yes\0HeaderDigest=crc-32C\0"s});
    EXPECT_EQ(session.opParams[OP_DATA_ORDER], 1);
    EXPECT_EQ(session.opParams[OP_HEADER_DIGEST], 1);
}

TEST_F(Negotiation, RejectInAnAnswerLeadsToTheDefaultInTheNextPass) {
    disagreeOnDataPDULength();
    session.opParams[OP_HEADER_DIGEST] = 0;
    answer("DataPDULength=16\0HeaderDigest=reject\0"s);
    answer("HeaderDigest=crc-32C\0"s, true);
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    EXPECT_EQ(sentTexts(),
              (std::vector<std::string>{"DataPDULength=16\0"s, "HeaderDigest=crc-32C\0"s}));
    EXPECT_EQ(session.opParams[OP_HEADER_DIGEST], 1);
}

TEST_F(Negotiation, AnswerTakenAsItStandsNeedsNoFurtherPass) {
    disagreeOnDataPDULength();
    answer("DataPDULength=16\0InitialR2T=no\0"s);
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    EXPECT_EQ(wire::target().sent.size(), 1U);
    EXPECT_EQ(session.opParams[OP_INITIAL_R2T], 0);
}

// The initiator offers its DataPDULength=16 against a target that answers 64 `disagreeing` times,
// then `last` (if any); at most six exchanges, and an agreement must come by the fifth unless the
// answer is final.
struct ExchangeCase {
    const char* name;
    int disagreeing;
    const char* last;
    bool lastFinal;
    int result;
    size_t exchanges;
};

void PrintTo(const ExchangeCase& c, std::ostream* os) {
    *os << c.name;
}

class NegotiationExchanges : public Negotiation,
                             public ::testing::WithParamInterface<ExchangeCase> {};

TEST_P(NegotiationExchanges, EndsAfterBoundedExchanges) {
    const ExchangeCase& c = GetParam();
    disagreeOnDataPDULength();
    for (int i = 0; i < c.disagreeing; i++) {
        answer("DataPDULength=64\0"s);
    }
    size_t answers = static_cast<size_t>(c.disagreeing);
    if (c.last != nullptr) {
        answer("DataPDULength="s + c.last + "\0"s, c.lastFinal);
        answers++;
    }
    EXPECT_EQ(negotiateOpParams(&connection), c.result);
    EXPECT_EQ(sentTexts(), std::vector<std::string>(c.exchanges, "DataPDULength=16\0"s));
    EXPECT_EQ(wire::target().responses.size(), answers - c.exchanges);
    EXPECT_EQ(connection.state, c.result == 0 ? CONN_CONNECTED : CONN_LOGIN_FAILED);
    expectAllSettled();
}

INSTANTIATE_TEST_SUITE_P(
    , NegotiationExchanges,
    ::testing::Values(ExchangeCase{"NeverAgreeingFailsAfterTheSixth", 7, nullptr, false, -1, 6},
                      ExchangeCase{"AgreementAfterTheFifthStillFails", 4, "16", false, -1, 5},
                      ExchangeCase{"AgreementAfterTheFourthSucceeds", 3, "16", false, 0, 4},
                      ExchangeCase{"FinalAnswerToTheFifthSucceeds", 4, "64", true, 0, 5},
                      ExchangeCase{"FinalAnswerToTheSixthFails", 5, "16", true, -1, 6}),
    [](const ::testing::TestParamInfo<ExchangeCase>& info) { return info.param.name; });

TEST_F(Negotiation, SendFailureBreaksTheConnection) {
    disagreeOnDataPDULength();
    wire::target().failSends = 1;
    EXPECT_EQ(negotiateOpParams(&connection), -1);
    EXPECT_GE(wire::target().breaks, 1); // the failed send drops the connection
    expectAllSettled();
}

TEST_F(Negotiation, UnreadableAnswerFailsWithoutBreaking) {
    disagreeOnDataPDULength();
    EXPECT_EQ(negotiateOpParams(&connection), -1); // no answer comes
    EXPECT_EQ(wire::target().sent.size(), 1U);
    EXPECT_EQ(wire::target().breaks, 0);
    EXPECT_EQ(connection.state, CONN_CONNECTED);
    expectAllSettled();
}

TEST_F(Negotiation, BadPairMidAnswerLosesTheRestAndTheNegotiationGoesOn) {
    disagreeOnDataPDULength();
    answer("InitialR2T=no\0Bogus=1\0ImmediateData=no\0DataPDULength=64\0"s);
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    EXPECT_EQ(wire::target().sent.size(), 1U);
    EXPECT_EQ(session.opParams[OP_INITIAL_R2T], 0);
    EXPECT_EQ(session.opParams[OP_IMMEDIATE_DATA], 1);
}

TEST_F(Negotiation, NamedValueOutsideItsTableIsNotOffered) {
    session.opParams[OP_AUTH_METHOD] = 9;
    ASSERT_EQ(read("AuthMethod=?\0HeaderDigest=?\0"s, 0), 0);
    EXPECT_EQ(session.opParams[OP_AUTH_METHOD], 9);
    answer(""s, true);
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    EXPECT_EQ(sentTexts(), std::vector<std::string>{"HeaderDigest=crc-32C\0"s});
}

TEST_F(Negotiation, EveryKeyWithItsLongestValueFitsOnePass) {
    for (int i = 0; i < ISCSI_NUM_OP_PARAMS; i++) {
        session.opParams[i] = opParamsTypes[i] == 'n' ? 65535 : 1;
        session.opParamsStatus[i] = OP_STATUS_STATE_VALUE;
    }
    answer(""s, true);
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    const std::string expected =
        "MaxConnections=65535\0InitialR2T=yes\0BidiInitialR2T=yes\0ImmediateData=yes\0"
        "DataPDULength=65535\0FirstBurstSize=65535\0LogoutLoginMinTime=65535\0"
        "LogoutLoginMaxTime=65535\0MaxOutstandingR2T=65535\0EnableACA=yes\0DataOrder=yes\0"
        "CommandReplay=yes\0BootSession=yes\0CopyManagerSession=yes\0AuthMethod=SPKM-1\0"
        "DataDigest=crc-32C\0HeaderDigest=crc-32C\0SecurityContextComplete=yes\0"s;
    EXPECT_EQ(sentTexts(), std::vector<std::string>{expected});
    EXPECT_LT(expected.size(), NEGOTIATION_TEXT_SIZE);
}

TEST_F(Negotiation, OnePassGoesOutAsATextRequestAndTheFinalAnswerEndsIt) {
    session.opParamsStatus[OP_DATA_PDU_LENGTH] = OP_STATUS_STATE_VALUE;
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

TEST_F(Negotiation, LastPairWithoutItsNulIsReadWithinTheText) {
    session.opParamsStatus[OP_DATA_PDU_LENGTH] = OP_STATUS_STATE_VALUE;
    // 16 bytes of text, a multiple of 4, and no NUL after the pair.
    respond(textResponse(0x80, 16, 0), "ImmediateData=no"s);
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    EXPECT_EQ(session.opParams[OP_IMMEDIATE_DATA], 0);
}

TEST_F(Negotiation, PadBytesAreNotPartOfTheLastPair) {
    session.opParamsStatus[OP_DATA_PDU_LENGTH] = OP_STATUS_STATE_VALUE;
    // "DataPDULength=8" is 15 bytes; the pad byte is a digit that would make it 89.
    respond(textResponse(0x80, 15, 0), "DataPDULength=89"s);
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    EXPECT_EQ(session.opParams[OP_DATA_PDU_LENGTH], 8);
}

TEST_F(Negotiation, SixExchangesEachTakeTheNextCmdSN) {
    session.opParamsStatus[OP_DATA_PDU_LENGTH] = OP_STATUS_STATE_VALUE;
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

// An answer's continuation tag goes out with the next request, and an answer without one clears it.
TEST_F(Negotiation, ContinuationTagGoesOutWithTheNextRequestOnly) {
    disagreeOnDataPDULength();
    std::vector<UCHAR> more = textResponse(0x40, 20, 0);
    more[40] = 5;
    respond(more, "DataPDULength=64\0\0\0\0"s);
    respond(textResponse(0, 20, 1), "DataPDULength=64\0\0\0\0"s);
    respond(textResponse(0x80, 0, 2));
    EXPECT_EQ(negotiateOpParams(&connection), 0);
    ASSERT_EQ(wire::target().sent.size(), 3U);
    for (int i = 0; i < 3; i++) {
        const std::vector<UCHAR>& h = wire::target().sent[i].header;
        EXPECT_EQ(h[1], i == 1 ? 0x45 : 0x05) << i;
        EXPECT_EQ(std::vector<UCHAR>(h.begin() + 40, h.begin() + 44),
                  (std::vector<UCHAR>{static_cast<UCHAR>(i == 1 ? 5 : 0), 0, 0, 0}));
    }
}

TEST_F(Negotiation, AnswerRefusedAsAWholeFailsTheLogin) {
    session.opParamsStatus[OP_DATA_PDU_LENGTH] = OP_STATUS_STATE_VALUE;
    respond(textResponse(0x80, 32, 0), "DataPDULength=8\0DataPDULength=8\0"s);
    EXPECT_EQ(negotiateOpParams(&connection), -1);
    EXPECT_EQ(connection.state, CONN_LOGIN_FAILED);
    EXPECT_EQ(session.opParams[OP_DATA_PDU_LENGTH], 16) << "nothing applied";
}

TEST_F(Negotiation, ClosedCommandWindowFailsTheSendAndBreaksTheConnection) {
    session.opParamsStatus[OP_DATA_PDU_LENGTH] = OP_STATUS_STATE_VALUE;
    session.cmdSN = 5;
    session.maxCmdSN = 4;
    EXPECT_EQ(negotiateOpParams(&connection), -1);
    EXPECT_TRUE(wire::target().sent.empty());
    EXPECT_EQ(wire::target().breaks, 1);
}

TEST(LoginString, SessionCopyAlwaysEndsWithTheSeparator) {
    struct Case {
        const char* text;
        ULONG length;
        const char* copy;
    } cases[] = {{"A=1;B=2", 7, "A=1;B=2;"},
                 {"A=1;B=2;", 8, "A=1;B=2;"},
                 {"A=1;B=2;", 4, "A=1;"},
                 {"A=1;B=2;", 5, "A=1;B;"},
                 {"", 0, ";"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.copy);
        ISCSI_SESSION session{};
        ASSERT_EQ(processLoginParameters(&session, c.text, c.length), 0);
        EXPECT_STREQ(session.loginString, c.copy);
        EXPECT_EQ(session.loginStringLength, c.length);
        ExFreePool(session.loginString);
    }
}

TEST(LoginString, NoMemoryOrANulInsideTheLengthLeavesTheSessionWithoutACopy) {
    ISCSI_SESSION session{};
    qvk::poolFailNth(1);
    EXPECT_EQ(processLoginParameters(&session, "A=1;", 4), -1);
    qvk::poolFailNth(0);
    // The login would walk the given length over a copy that ends at the NUL.
    EXPECT_EQ(processLoginParameters(&session, "A=1\0B=2;", 8), -1);
    EXPECT_EQ(session.loginString, nullptr);
}

} // namespace
