// Sessions come up against the target: the Login request's bytes, the text of the login, leading
// and joining logins, discovery, the closing exchange, and every way a login fails.
#include "system_fixture.h"

#include <arpa/inet.h>
#include <functional>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace systest;

namespace {

constexpr uint8_t OP_LOGIN = 0x03;
constexpr uint8_t OP_TEXT = 0x04;

ULONG connState(ULONG handle, ULONG index) {
    ISCSI_CONNECTION_QUERY q{};
    q.index = index;
    EXPECT_EQ(iscsiCoreQueryConnection(handle, &q), 0);
    return q.ConnectionState;
}

} // namespace

class LoginTest : public SystemTest {};

TEST_F(LoginTest, LeadingLoginSendsTheNamesAndThenTheWholeLoginString) {
    startTarget();
    ULONG h = createSession();
    ASSERT_NE(h, ISCSI_NO_SESSION);
    ISCSI_SESSION* s = getSessionStruct(h);
    EXPECT_EQ(s->numActiveConnections, 1u);
    EXPECT_EQ(connState(h, 0), CONN_CONNECTED);
    ASSERT_TRUE(target().waitForLogin(0, 5s));

    auto pdus = sent(0);
    ASSERT_GE(pdus.size(), 3u);
    // Login request: opcode, flags 0, version bytes 1 and 2, CID, ISID, TSID 0, CmdSN 1.
    const auto& login = pdus[0].header;
    EXPECT_EQ(login[0], OP_LOGIN);
    EXPECT_EQ(login[1], 0);
    EXPECT_EQ(login[2], 0x01);
    EXPECT_EQ(login[3], 0x02);
    EXPECT_EQ(getBe16(login, 8), 0) << "CID of the first connection record";
    EXPECT_EQ(getBe16(login, 12), 0xabcd) << "ISID";
    EXPECT_EQ(getBe16(login, 14), 0) << "TSID of a leading login";
    EXPECT_EQ(getBe32(login, 24), 1u) << "CmdSN";
    EXPECT_EQ(pairsOf(pdus[0].data),
              (std::vector<std::string>{"InitiatorName=iqn.2001-04.org.quevi:test",
                                        "TargetName=quevi-target"}));
    EXPECT_EQ(pdus[0].dataLength, pdus[0].data.size());

    // First Text request: flags 0x05, the whole login string, every pair NUL-terminated.
    EXPECT_EQ(pdus[1].opcode(), OP_TEXT);
    EXPECT_EQ(pdus[1].header[1], 0x05);
    EXPECT_EQ(pairsOf(pdus[1].data),
              (std::vector<std::string>{"InitiatorName=iqn.2001-04.org.quevi:test",
                                        "TargetName=quevi-target"}));
    EXPECT_EQ(pdus[1].data.back(), 0) << "the last pair ends in a NUL as well";

    // The closing exchange: an empty final Text request, flags 0x8D.
    EXPECT_EQ(pdus.back().opcode(), OP_TEXT);
    EXPECT_EQ(pdus.back().header[1], 0x8D);
    EXPECT_EQ(pdus.back().dataLength, 0u);

    auto info = target().connection(0);
    ASSERT_TRUE(info);
    EXPECT_EQ(s->tsid, info->tsid) << "the target's session id is taken";
    EXPECT_EQ(iscsiCoreDeleteSession(h), 0);
}

TEST_F(LoginTest, LoginStringWithoutTrailingSeparatorStillEndsEveryPair) {
    startTarget();
    std::string login = "InitiatorName=iqn.x;TargetName=" + kTargetName + ";MaxConnections=1";
    ULONG h = createSession(1, login);
    ASSERT_EQ(getSessionStruct(h)->numActiveConnections, 1u);
    auto pdus = sent(0);
    ASSERT_GE(pdus.size(), 2u);
    auto pairs = pairsOf(pdus[1].data);
    ASSERT_EQ(pairs.size(), 3u);
    EXPECT_EQ(pairs[2], "MaxConnections=1");
    EXPECT_EQ(pdus[1].data.back(), 0);
}

TEST_F(LoginTest, SecurityKeysTravelInTheLoginRequestAndNotAgain) {
    startTarget();
    std::string login = "InitiatorName=iqn.x;TargetName=" + kTargetName +
                        ";DataPDULength=8;AuthMethod=none;HeaderDigest=none;";
    ULONG h = createSession(1, login);
    ASSERT_EQ(getSessionStruct(h)->numActiveConnections, 1u);
    auto pdus = sent(0);
    EXPECT_EQ(pairsOf(pdus[0].data),
              (std::vector<std::string>{"InitiatorName=iqn.x", "TargetName=" + kTargetName,
                                        "AuthMethod=none", "HeaderDigest=none"}));
    EXPECT_EQ(pairsOf(pdus[1].data), (std::vector<std::string>{"DataPDULength=8"}));
    EXPECT_EQ(getSessionStruct(h)->opParams[OP_DATA_PDU_LENGTH], 8);
}

TEST_F(LoginTest, JoiningConnectionsCarryTheSessionsTsidAndCmdSNZero) {
    startTarget();
    ULONG h = createSession(3);
    ISCSI_SESSION* s = getSessionStruct(h);
    ASSERT_EQ(s->numActiveConnections, 3u);
    ASSERT_TRUE(target().waitForLogin(2, 5s));
    for (size_t c = 1; c < 3; c++) {
        auto login = sent(c)[0].header;
        EXPECT_EQ(login[0], OP_LOGIN);
        EXPECT_EQ(getBe16(login, 8), c) << "CIDs are distinct within the session";
        EXPECT_EQ(getBe16(login, 12), s->isid);
        EXPECT_EQ(getBe16(login, 14), s->tsid) << "joins the session of the leading login";
        EXPECT_EQ(getBe32(login, 24), 0u) << "a joining login sends CmdSN 0";
    }
    EXPECT_EQ(target().sessionCount(), 1u);
    for (ULONG i = 0; i < 3; i++) {
        EXPECT_EQ(connState(h, i), CONN_CONNECTED);
    }
}

TEST_F(LoginTest, DiscoveryLoginSkipsTheTextExchangeAndNegotiation) {
    tgt::TargetConfig config;
    startTarget(config);
    // The target serves a discovery login under any name that contains "iscsi".
    std::string login = "InitiatorName=iqn.x;TargetName=iscsi;";
    ULONG h = createSession(1, login);
    ASSERT_NE(h, ISCSI_NO_SESSION);
    EXPECT_EQ(getSessionStruct(h)->numActiveConnections, 1u);
    auto pdus = sent(0);
    ASSERT_EQ(pdus.size(), 2u);
    EXPECT_EQ(pdus[0].opcode(), OP_LOGIN);
    EXPECT_EQ(pdus[1].header[1], 0x8D) << "straight to the closing exchange";
}

TEST_F(LoginTest, ClosingExchangeRepeatsUntilTheAnswerIsFinal) {
    tgt::TargetConfig config;
    config.faults.closingNotFinal = 3;
    startTarget(config);
    ULONG h = createSession();
    EXPECT_EQ(getSessionStruct(h)->numActiveConnections, 1u);
    int closing = 0;
    for (const auto& p : sent(0)) {
        closing += p.opcode() == OP_TEXT && p.header[1] == 0x8D;
    }
    EXPECT_EQ(closing, 4);
}

TEST_F(LoginTest, ClosingExchangeThatNeverEndsFails) {
    tgt::TargetConfig config;
    config.faults.closingNotFinal = 1000;
    startTarget(config);
    ULONG h = createSession();
    settle(getSessionStruct(h));
    EXPECT_EQ(getSessionStruct(h)->numActiveConnections, 0u);
    EXPECT_EQ(connState(h, 0), CONN_LOGIN_FAILED);
}

TEST_F(LoginTest, NumberingOfTheFullFeaturePhaseComesFromTheClosingAnswer) {
    tgt::TargetConfig config;
    config.initialStatSN = 0x1000;
    config.cmdWindow = 10;
    startTarget(config);
    ULONG h = createSession();
    ISCSI_SESSION* s = getSessionStruct(h);
    ASSERT_EQ(s->numActiveConnections, 1u);
    ISCSI_SESSION_QUERY q{};
    ASSERT_EQ(iscsiCoreQuerySession(h, &q), 0);
    EXPECT_EQ(q.expCmdSN, q.cmdSN) << "every request so far was answered";
    EXPECT_EQ(q.maxCmdSN, q.expCmdSN + 9);
    EXPECT_GT(s->connections[0].expStatSN, 0x1000u);
    EXPECT_EQ(q.numActiveConnections, 1u);
    EXPECT_EQ(q.isid, 0xabcd);
}

struct FailureCase {
    const char* name;
    void (*configure)(tgt::TargetConfig&);
    std::string login;
    bool reachesTarget;
    ULONG state = CONN_LOGIN_FAILED;
    friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

class LoginFailureTest : public SystemTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(LoginFailureTest, EndsInLoginFailedWithNoActiveConnection) {
    tgt::TargetConfig config;
    if (GetParam().configure != nullptr) {
        GetParam().configure(config);
    }
    startTarget(config);
    ULONG h = createSession(1, GetParam().login);
    ASSERT_NE(h, ISCSI_NO_SESSION) << "the session exists even though its login failed";
    settle(getSessionStruct(h));
    EXPECT_EQ(getSessionStruct(h)->numActiveConnections, 0u);
    EXPECT_EQ(connState(h, 0), GetParam().state);
    if (!GetParam().reachesTarget) {
        EXPECT_TRUE(sent(0).empty()) << "nothing was sent";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, LoginFailureTest,
    ::testing::Values(
        FailureCase{"RefusedStatus", [](tgt::TargetConfig& c) { c.faults.loginStatus = 0x02; },
                    kLogin, true},
        FailureCase{"WrongOpcode", [](tgt::TargetConfig& c) { c.faults.loginOpcode = 0xE4; },
                    kLogin, true, CONN_LOGIN_BAD_RESPONSE},
        FailureCase{"VersionAboveTwo", [](tgt::TargetConfig& c) { c.faults.loginVersion = 3; },
                    kLogin, true},
        FailureCase{"ClosingOpcode", [](tgt::TargetConfig& c) { c.faults.closingOpcode = 0xE4; },
                    kLogin, true},
        FailureCase{"ClosingStatus", [](tgt::TargetConfig& c) { c.faults.closingStatus = 0x01; },
                    kLogin, true},
        FailureCase{"NegotiationNeverFinal",
                    [](tgt::TargetConfig& c) {
                        c.faults.disagree = true;
                        c.faults.neverFinal = true;
                    },
                    kLogin + "DataPDULength=8;", true},
        FailureCase{"OtherTargetName", nullptr, "InitiatorName=iqn.x;TargetName=nobody;", true},
        FailureCase{"NoInitiatorName", nullptr, "TargetName=" + kTargetName + ";", false},
        FailureCase{"NoTargetName", nullptr, "InitiatorName=iqn.x;", false},
        FailureCase{"BadPairInLoginString", nullptr,
                    "InitiatorName=iqn.x;TargetName=" + kTargetName + ";NoSuchKey=1;", false},
        // Offers the initiator would have to cut or that say two things are never sent.
        FailureCase{"OfferOutOfRange", nullptr, kLogin + "DataPDULength=65536;", false},
        FailureCase{"OfferOfZeroUnits", nullptr, kLogin + "DataPDULength=0;", false},
        FailureCase{"KeyOfferedTwice", nullptr, kLogin + "DataPDULength=8;DataPDULength=16;",
                    false},
        FailureCase{"UnsupportedAuthMethod", nullptr,
                    "InitiatorName=iqn.x;TargetName=" + kTargetName + ";AuthMethod=CHAP;", true}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

namespace {

// A target that answers the Login request with whatever a case makes of it: a raw peer on a
// loopback port, for answers the real target never gives.
class HostilePeer {
public:
    explicit HostilePeer(std::function<void(int fd)> answer) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(LOOPBACK);
        socklen_t len = sizeof a;
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 1);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this, answer] {
            int fd = accept(listener_, nullptr, nullptr);
            uint8_t h[48];
            if (fd >= 0 && recv(fd, h, 48, MSG_WAITALL) == 48) {
                std::vector<uint8_t> text((tgt::getBe24(h, 5) + 3) & ~3u);
                recv(fd, text.data(), text.size(), MSG_WAITALL);
                answer(fd);
                shutdown(fd, SHUT_RDWR);
                close(fd);
            }
        });
    }
    ~HostilePeer() {
        shutdown(listener_, SHUT_RDWR);
        thread_.join();
        close(listener_);
    }
    USHORT port() const { return port_; }

private:
    int listener_ = -1;
    USHORT port_ = 0;
    std::thread thread_;
};

// A Login response header declaring `length` bytes of text.
std::vector<uint8_t> loginResponse(uint32_t length) {
    std::vector<uint8_t> h(48, 0);
    h[0] = 0xE3;
    h[1] = 0x80;
    h[3] = 2;
    h[6] = uint8_t(length >> 8);
    h[7] = uint8_t(length);
    h[31] = 1; // ExpCmdSN 1
    h[35] = 8; // MaxCmdSN 8: the window is open
    return h;
}

void answerWithText(int fd, const std::string& text) {
    std::vector<uint8_t> pdu = loginResponse(uint32_t(text.size()));
    pdu.insert(pdu.end(), text.begin(), text.end());
    pdu.resize((pdu.size() + 3) & ~size_t{3});
    send(fd, pdu.data(), pdu.size(), MSG_NOSIGNAL);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500)); // then nothing more
}

} // namespace

// Every answer of the login phase must be whole within one deadline; answers the initiator cannot
// apply fail the login. Each ends in CONN_LOGIN_FAILED well within a second of real time (7 s of
// the kernel clock at a tenth).
TEST_F(LoginTest, AnswersThatStallDripOrCannotBeAppliedFailTheLoginInBoundedTime) {
    struct Case {
        const char* name;
        std::function<void(int)> answer;
    } cases[] = {
        {"Text response whose text never comes",
         [](int fd) {
             auto h = loginResponse(0);
             send(fd, h.data(), h.size(), MSG_NOSIGNAL);
             uint8_t text[48];
             std::vector<uint8_t> body(4096);
             if (recv(fd, text, 48, MSG_WAITALL) == 48) {
                 recv(fd, body.data(), (getBe16(text, 6) + 3u) & ~3u, MSG_WAITALL);
                 std::vector<uint8_t> rsp = loginResponse(100);
                 rsp[0] = 0xE4;
                 std::copy(text + 16, text + 20, rsp.begin() + 16);
                 send(fd, rsp.data(), rsp.size(), MSG_NOSIGNAL);
             }
             std::this_thread::sleep_for(std::chrono::seconds(3)); // longer than the bound
         }},
        {"one byte every 200 ms",
         [](int fd) {
             auto h = loginResponse(0);
             for (size_t i = 0; i < h.size() && send(fd, &h[i], 1, MSG_NOSIGNAL) == 1; i++) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(200));
             }
         }},
        {"DataPDULength=0",
         [](int fd) { answerWithText(fd, std::string("DataPDULength=0\0", 16)); }},
        {"a key twice",
         [](int fd) { answerWithText(fd, std::string("InitialR2T=no\0InitialR2T=yes\0", 30)); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        HostilePeer peer(c.answer);
        auto start = std::chrono::steady_clock::now();
        ULONG h = createSession(1, kLogin, {peer.port()});
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
        ASSERT_NE(h, ISCSI_NO_SESSION);
        EXPECT_EQ(connState(h, 0), CONN_LOGIN_FAILED);
        EXPECT_EQ(iscsiCoreDeleteSession(h), 0);
    }
}
