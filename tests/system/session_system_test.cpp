// Negotiation against the target's policies, sessions of several connections, reconnection,
// binding a second configuration, and text exchanges in the full feature phase.
#include "system_fixture.h"

#include <cstring>

using namespace systest;

namespace {

ULONG connState(ULONG handle, ULONG index) {
    ISCSI_CONNECTION_QUERY q{};
    q.index = index;
    EXPECT_EQ(iscsiCoreQueryConnection(handle, &q), 0);
    return q.ConnectionState;
}

// The negotiation passes (Text requests with flags 0x05 after the first) of connection 0.
std::vector<std::vector<std::string>> passes(const std::vector<tgt::RecordedPdu>& pdus) {
    std::vector<std::vector<std::string>> out;
    int texts = 0;
    for (const auto& p : pdus) {
        if (p.opcode() == 0x04 && p.header[1] == 0x05 && texts++ > 0) {
            out.push_back(pairsOf(p.data));
        }
    }
    return out;
}

} // namespace

class NegotiationTest : public SystemTest {
protected:
    ISCSI_SESSION* loginWith(const std::string& pairs, tgt::NegotiationPolicy policy) {
        tgt::TargetConfig config;
        config.negotiation = std::move(policy);
        startTarget(config);
        handle = createSession(1, kLogin + pairs);
        EXPECT_NE(handle, ISCSI_NO_SESSION);
        return getSessionStruct(handle);
    }
    ULONG handle = ISCSI_NO_SESSION;
};

// One answer of the target's policy per row: the login succeeds, the key ends at `value` (when
// given) and a later pass offers a pair starting with `offered` (none at all when empty).
struct PolicyCase {
    const char* name;
    const char* pairs;
    const char* key;
    tgt::KeyPolicy policy;
    int param;
    int value;
    const char* offered;
};

const PolicyCase kPolicyCases[] = {
    {"SmallerKeepsOursAndOffersItAgain",
     "DataPDULength=16;",
     "DataPDULength",
     {tgt::KeyAction::Value, "64", 1},
     OP_DATA_PDU_LENGTH,
     16,
     "DataPDULength=16"},
    {"TargetsValueTakenWithoutAPass",
     "InitialR2T=yes;",
     "InitialR2T",
     {tgt::KeyAction::Value, "no", 0},
     OP_INITIAL_R2T,
     0,
     ""},
    {"QueryAnsweredWithTheSessionsValue",
     "MaxConnections=1;",
     "MaxConnections",
     {tgt::KeyAction::Query, "", 1},
     OP_MAX_CONNECTIONS,
     1,
     "MaxConnections=1"},
    // HeaderDigest travels in the Login request; the target rejects it in the Login response.
    {"RejectedOfferedWithItsDefault",
     "HeaderDigest=none;",
     "HeaderDigest",
     {tgt::KeyAction::Reject, "", 1},
     -1,
     0,
     "HeaderDigest=crc-32C"},
    {"NotUnderstoodOfferedAgain",
     "MaxOutstandingR2T=4;",
     "MaxOutstandingR2T",
     {tgt::KeyAction::NotUnderstood, "", 1},
     -1,
     0,
     "MaxOutstandingR2T="},
};

class PolicyTest : public NegotiationTest, public ::testing::WithParamInterface<PolicyCase> {};

TEST_P(PolicyTest, AnswerIsAppliedAndOfferedAgainAsTheRulesSay) {
    const PolicyCase& c = GetParam();
    ISCSI_SESSION* s = loginWith(c.pairs, {{c.key, c.policy}});
    ASSERT_EQ(s->numActiveConnections, 1u);
    if (c.param >= 0) {
        EXPECT_EQ(s->opParams[c.param], c.value);
    }
    bool offered = false;
    for (const auto& pass : passes(sent(0))) {
        for (const auto& pair : pass) {
            offered |= pair.rfind(c.offered, 0) == 0;
        }
    }
    EXPECT_EQ(offered, *c.offered != 0);
}

INSTANTIATE_TEST_SUITE_P(, PolicyTest, ::testing::ValuesIn(kPolicyCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(NegotiationTest, TargetThatKeepsDisagreeingFailsTheLogin) {
    tgt::TargetConfig config;
    config.faults.disagree = true;
    config.faults.neverFinal = true;
    startTarget(config);
    ULONG h = createSession(1, kLogin + "DataPDULength=16;");
    settle(getSessionStruct(h));
    EXPECT_EQ(connState(h, 0), CONN_LOGIN_FAILED);
    EXPECT_EQ(passes(sent(0)).size(), 6u) << "the sixth exchange is the last";
}

class ConnectionsTest : public SystemTest {};

TEST_F(ConnectionsTest, SecondOfThreeCannotConnectAndTheOthersServe) {
    startTarget();
    USHORT dead = closedPort();
    ULONG h = createSession(3, kLogin, {target().port(), dead, target().port()});
    ISCSI_SESSION* s = getSessionStruct(h);
    settle(s);
    EXPECT_EQ(s->numActiveConnections, 2u);
    EXPECT_EQ(connState(h, 0), CONN_CONNECTED);
    EXPECT_EQ(connState(h, 1), CONN_CONNECT_FAILED);
    EXPECT_EQ(connState(h, 2), CONN_CONNECTED);
    EXPECT_EQ(target().sessionCount(), 1u);
}

TEST_F(ConnectionsTest, SessionReconnectsByItselfAfterTheTargetDropsEveryConnection) {
    startTarget();
    ULONG h = createSession(2);
    ISCSI_SESSION* s = getSessionStruct(h);
    ASSERT_EQ(s->numActiveConnections, 2u);
    target().dropConnection(0);
    target().dropConnection(1);
    // The last receive thread to end wakes the command thread, which reconnects without waiting
    // for new work.
    ASSERT_TRUE(eventually([&] { return target().connectionCount() == 4; }));
    ASSERT_TRUE(eventually([&] { return s->numActiveConnections == 2; }));
    ASSERT_TRUE(eventually([&] { return (s->flags & SESSION_CONNECTING) == 0; }));
    EXPECT_EQ(target().connectionCount(), 4u);
    auto relogin = sent(2)[0].header;
    EXPECT_EQ(getBe16(relogin, 14), 0) << "a reconnection is a leading login again";
    EXPECT_NE(s->tsid, 0);
}

TEST_F(ConnectionsTest, AFailedReconnectionIsTriedAgainWithoutNewWorkUntilOneLogsIn) {
    startTarget();
    ULONG h = createSession(1);
    ISCSI_SESSION* s = getSessionStruct(h);
    ASSERT_EQ(s->numActiveConnections, 1u);
    tgt::Faults refuse;
    refuse.loginStatus = 0x02;
    target().setFaults(refuse);
    target().dropConnection(0);
    // Attempt after attempt is refused (the pauses between them grow); nothing wakes the command
    // thread but its own pacing.
    ASSERT_TRUE(target().waitForConnections(4, 10s));
    EXPECT_EQ(s->numActiveConnections, 0u);
    target().setFaults({});
    ASSERT_TRUE(eventually([&] { return s->numActiveConnections == 1; }));
    EXPECT_TRUE(eventually([&] { return (s->flags & SESSION_CONNECTING) == 0; }));
}

TEST_F(ConnectionsTest, DeletingASessionBreaksItsConnectionsAndEndsItsThreads) {
    startTarget();
    ULONG h = createSession(2);
    ASSERT_EQ(getSessionStruct(h)->numActiveConnections, 2u);
    EXPECT_EQ(iscsiCoreDeleteSession(h), 0);
    EXPECT_TRUE(target().waitForClosed(0, 5s));
    EXPECT_TRUE(target().waitForClosed(1, 5s));
    EXPECT_TRUE(qvk::waitSystemThreadsQuiet(5s));
}

TEST_F(ConnectionsTest, ResetOfActiveConnectionsHoldsResettingUntilTheyEnd) {
    startTarget();
    ULONG h = createSession(2);
    ISCSI_SESSION* s = getSessionStruct(h);
    ASSERT_EQ(s->numActiveConnections, 2u);
    breakTcpConnectionsAndEmptyQs(s);
    // Cleared by the last receive thread, which then has the session reconnect.
    ASSERT_TRUE(eventually([&] { return (s->flags & SESSION_RESETTING) == 0; }));
    ASSERT_TRUE(eventually([&] { return target().connectionCount() == 4; }));
    EXPECT_TRUE(eventually([&] { return s->numActiveConnections == 2; }));
}

TEST_F(ConnectionsTest, SameTargetConfiguredAgainBindsToTheSession) {
    startTarget();
    ULONG h = createSession(1);
    ASSERT_NE(h, ISCSI_NO_SESSION);
    // Other port and other keys, same address and names: the same session.
    std::vector<ISCSI_TARGET_ADDRESS> other{{LOOPBACK, closedPort()}};
    std::string login =
        "TargetName=" + kTargetName + ";InitiatorName=iqn.2001-04.org.quevi:test;DataPDULength=4;";
    EXPECT_EQ(
        iscsiCoreCreateSession(other.data(), 1, login.c_str(), static_cast<ULONG>(login.size()), 1),
        h);
    EXPECT_EQ(target().connectionCount(), 1u) << "nothing new was opened";
    // Another initiator name is another session.
    ULONG other2 = createSession(1, "InitiatorName=iqn.other;TargetName=" + kTargetName + ";");
    EXPECT_NE(other2, h);
    EXPECT_NE(other2, ISCSI_NO_SESSION);
}

class TextTest : public SystemTest {};

TEST_F(TextTest, ExchangeInTheFullFeaturePhaseGoesThroughTheReceiveLoop) {
    startTarget();
    ULONG h = createSession(1);
    ASSERT_EQ(getSessionStruct(h)->numActiveConnections, 1u);
    char buffer[512] = "SendTargets=All;";
    LONG n = iscsiCoreSendReceiveTextBuffer(0, buffer, 16, sizeof buffer);
    ASSERT_GE(n, 0);
    auto pdus = sent(0);
    const auto& request = pdus.back();
    EXPECT_EQ(request.opcode(), 0x04);
    EXPECT_EQ(request.header[1], 0x00) << "not final, stage fields 0";
    EXPECT_EQ(pairsOf(request.data), (std::vector<std::string>{"SendTargets=All"}));
    EXPECT_EQ(getSessionStruct(h)->numActiveConnections, 1u) << "the loop goes on";
}

TEST_F(TextTest, ResponseLongerThanTheBufferIsRefusedNotCut) {
    startTarget();
    ULONG h = createSession(1);
    ASSERT_EQ(getSessionStruct(h)->numActiveConnections, 1u);
    // Offering keys the target does not know makes it answer each with NotUnderstood.
    std::string text;
    for (int i = 0; i < 10; i++) {
        text += "Unknown" + std::to_string(i) + "=1;";
    }
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back(0);
    ULONG capacity = static_cast<ULONG>(text.size()); // the answer is longer than the offer
    char guard[64];
    std::memset(guard, 0x5A, sizeof guard);
    buffer.insert(buffer.end(), guard, guard + sizeof guard);
    LONG n =
        iscsiCoreSendReceiveTextBuffer(0, buffer.data(), static_cast<ULONG>(text.size()), capacity);
    EXPECT_EQ(n, -1);
    for (size_t i = text.size() + 1; i < buffer.size(); i++) {
        ASSERT_EQ(buffer[i], 0x5A) << "nothing written past the capacity";
    }
}

TEST_F(TextTest, NoSessionOnTheBusSendsNothing) {
    startTarget();
    char buffer[32] = "A=1;";
    EXPECT_EQ(iscsiCoreSendReceiveTextBuffer(3, buffer, 4, sizeof buffer), -1);
    EXPECT_EQ(target().connectionCount(), 0u);
}

TEST_F(TextTest, QueriesReportTheSessionAndRefuseBadIndexes) {
    startTarget();
    ULONG h = createSession(2);
    ISCSI_CONNECTION_QUERY q{};
    q.index = 2;
    EXPECT_EQ(iscsiCoreQueryConnection(h, &q), -1);
    q.index = 1;
    ASSERT_EQ(iscsiCoreQueryConnection(h, &q), 0);
    EXPECT_EQ(q.ipAddress, LOOPBACK);
    EXPECT_EQ(q.portNum, target().port());
    EXPECT_EQ(q.ConnectionState, CONN_CONNECTED);
    ISCSI_SESSION_QUERY sq{};
    EXPECT_EQ(iscsiCoreQuerySession(7, &sq), -1);
    ASSERT_EQ(iscsiCoreQuerySession(h, &sq), 0);
    EXPECT_EQ(sq.numMaxConnections, 2u);
    EXPECT_EQ(sq.numActiveConnections, 2u);
    EXPECT_EQ(sq.nPendCmds, 0u);
}

TEST_F(ConnectionsTest, ConfigurationWithoutFinalSeparatorStillFindsItsSession) {
    startTarget();
    std::string login = "InitiatorName=iqn.x;TargetName=" + kTargetName; // no ";" at the end
    ULONG h = createSession(1, login);
    ASSERT_NE(h, ISCSI_NO_SESSION);
    EXPECT_EQ(createSession(1, login), h);
    EXPECT_EQ(getSessionStruct(1), nullptr);
}

TEST_F(ConnectionsTest, RecordBeyondANegotiatedMaxConnectionsIsNotUsed) {
    tgt::TargetConfig config;
    config.negotiation["MaxConnections"] = {tgt::KeyAction::Value, "1", 0};
    startTarget(config);
    // Record 0 cannot connect; record 1 logs in and learns that the session uses one connection.
    ULONG h = createSession(2, kLogin + "MaxConnections=2;", {closedPort(), target().port()});
    ISCSI_SESSION* s = getSessionStruct(h);
    settle(s);
    EXPECT_EQ(s->numMaxConnections, 1u);
    EXPECT_EQ(s->numActiveConnections, 0u) << "record 1 lies outside the connections in use";
    EXPECT_TRUE(target().waitForClosed(0, 5s)) << "and its connection is not left open";
    EXPECT_EQ(iscsiCoreDeleteSession(h), 0);
}
