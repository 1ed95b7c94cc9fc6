// The add conversation, removal, text exchanges, resets and shutdown, end to end: driver, port
// driver, class disk, configuration tool and target over loopback. Cases that differ only in their
// inputs and outcomes run from tables.
#include "tool_fixture.h"

#include "driver/adapter/adapter.h"
#include "driver/api/messages.h"

#include <future>

using namespace systest;

namespace {

// Table rows print as their names.
template <class Row>
requires requires(const Row& r) {
    r.name;
}
std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << row.name;
}

enum class Reach { Live, RefusesLogin, Unreachable };

struct AddCase {
    const char* name;
    ULONG connections;
    bool accept;
    Reach reach;
    ULONG returnCode;
    ULONG state; // of connection 0 once the session has settled
    unsigned served;
};

constexpr ULONG kRejected = ISCSI_RC_LOGIN_REJECTED;
const AddCase kAddCases[] = {
    {"OneConnection", 1, true, Reach::Live, 0, CONN_CONNECTED, 1},
    {"ThreeConnections", 3, true, Reach::Live, 0, CONN_CONNECTED, 3},
    {"SecurityRefused", 1, false, Reach::Live, kRejected, CONN_LOGIN_FAILED, 1},
    {"TargetRefusesLogin", 1, true, Reach::RefusesLogin, kRejected, CONN_LOGIN_FAILED, 0},
    {"Unreachable", 1, true, Reach::Unreachable, 3, CONN_CONNECT_FAILED, 0},
};

class AddTest : public ToolTest, public ::testing::WithParamInterface<AddCase> {};

} // namespace

TEST_P(AddTest, TheConversationEndsWithTheExpectedCodeAndTheBusStaysTaken) {
    const AddCase& c = GetParam();
    tgt::TargetConfig targetConfig;
    targetConfig.faults.loginStatus = c.reach == Reach::RefusesLogin ? 0x02 : 0;
    tgt::Target* t = c.reach == Reach::Unreachable ? nullptr : &startTarget(targetConfig);
    qt::AddResult add =
        tool().addTarget(config(t, c.connections), c.accept ? qt::acceptAll() : qt::rejectAll());
    ASSERT_TRUE(add.completed());
    EXPECT_EQ(add.begin.returnCode, ISCSI_RC_LOGIN_PENDING);
    EXPECT_EQ(add.bus, 0);
    EXPECT_EQ(add.returnCode(), c.returnCode);
    qt::SecurityCounts security = tool().securityCounts(0);
    EXPECT_GE(security.served, c.served) << "every login passes the security step";
    EXPECT_EQ(security.refused != 0, !c.accept && c.served != 0);
    EXPECT_TRUE(eventually([&] { return tool().query(0, LOOPBACK).connectionState == c.state; }));
    EXPECT_EQ(tool().query(0).control.returnCode, ISCSI_RC_SUCCESS);
    if (t != nullptr && c.returnCode == ISCSI_RC_SUCCESS) {
        EXPECT_EQ(t->sessionCount(), 1u);
        EXPECT_TRUE(t->waitForLogin(c.connections - 1, 5s));
        EXPECT_EQ(read(0), SRB_STATUS_SUCCESS);
    }
    // The bus is taken whatever came of the add: the next one gets bus 1.
    EXPECT_EQ(tool().addTarget(config(nullptr)).bus, 1);
}

INSTANTIATE_TEST_SUITE_P(Add, AddTest, ::testing::ValuesIn(kAddCases),
                         [](const auto& info) { return std::string(info.param.name); });

namespace {

enum class RemoveWhen { BeforeGoodCompletion, AfterGoodCompletion, WhileSecurityWaits };

struct RemoveCase {
    const char* name;
    RemoveWhen when;
    ULONG returnCode;
    bool busFreed;
};

const RemoveCase kRemoveCases[] = {
    {"BeforeTheFirstGoodCompletion", RemoveWhen::BeforeGoodCompletion, ISCSI_RC_SUCCESS, true},
    {"AfterTheFirstGoodCompletion", RemoveWhen::AfterGoodCompletion, ISCSI_RC_NOT_REMOVABLE, false},
    {"WhileTheSecurityStepWaits", RemoveWhen::WhileSecurityWaits, ISCSI_RC_SUCCESS, true},
};

class RemoveTest : public ToolTest, public ::testing::WithParamInterface<RemoveCase> {};

} // namespace

TEST_P(RemoveTest, RemovalAnswersByTheBussUseAndFreesItOnlyWhenRemoved) {
    const RemoveCase& c = GetParam();
    tgt::Target& t = startTarget();
    Gate gate;
    qt::PortRequest* outstanding = nullptr;
    if (c.when == RemoveWhen::WhileSecurityWaits) {
        ASSERT_EQ(tool().beginAdd(config(&t), gate.policy()).bus, 0);
        ASSERT_TRUE(gate.waitEntered());
    } else {
        ASSERT_EQ(tool().addTarget(config(&t)).returnCode(), ISCSI_RC_SUCCESS);
    }
    if (c.when == RemoveWhen::AfterGoodCompletion) {
        ASSERT_EQ(read(0), SRB_STATUS_SUCCESS);
    } else if (c.when == RemoveWhen::BeforeGoodCompletion) {
        t.setFaults(withheld());
        outstanding = &startRead(0);
        ASSERT_TRUE(t.waitForPdus(0, 3, 5s)) << "login, text and the read reached the target";
    }

    // The verdict stays pending until the login has been seen to fail.
    auto removal = std::async(std::launch::async, [&] { return tool().removeTarget(0); });
    if (c.when == RemoveWhen::WhileSecurityWaits) {
        EXPECT_TRUE(t.waitForClosed(0, 5s)) << "the waiting login failed at once";
        gate.release();
    }
    EXPECT_EQ(removal.get().returnCode, c.returnCode);
    if (c.when == RemoveWhen::WhileSecurityWaits) {
        EXPECT_NE(tool().completeAdd(0).returnCode, ISCSI_RC_SUCCESS);
    } else if (outstanding) {
        EXPECT_EQ(finish(*outstanding), SRB_STATUS_NO_DEVICE);
        t.setFaults({});
    } else {
        EXPECT_EQ(read(0), SRB_STATUS_SUCCESS) << "a bus that stays answers as before";
    }
    EXPECT_EQ(tool().query(0).control.returnCode,
              c.busFreed ? ISCSI_RC_NOT_FOUND : ISCSI_RC_SUCCESS);
    qt::AddResult next = tool().addTarget(config(&t, 1, "next"));
    EXPECT_EQ(next.bus, c.busFreed ? 0 : 1);
    EXPECT_EQ(next.returnCode(), ISCSI_RC_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Remove, RemoveTest, ::testing::ValuesIn(kRemoveCases),
                         [](const auto& info) { return std::string(info.param.name); });

namespace {

enum class StuckIn { Add, Reconnection, ReconnectionOfABoundBus };

struct StuckCase {
    const char* name;
    StuckIn when;
};

const StuckCase kStuckCases[] = {
    {"TheAdd", StuckIn::Add},
    {"AReconnection", StuckIn::Reconnection},
    {"AReconnectionRemovingABusBoundToTheSession", StuckIn::ReconnectionOfABoundBus},
};

class StuckSecurityTest : public ToolTest, public ::testing::WithParamInterface<StuckCase> {};

} // namespace

// A bring-up of three connections whose tool answers one security step and then no more: the
// removal fails the waiting step and stops the bring-up at once, rather than waiting out a
// minute for each further connection's step.
TEST_P(StuckSecurityTest, RemovalEndsTheBringUpAtOnce) {
    const StuckCase& c = GetParam();
    tgt::Target& t = startTarget();
    Gate gate;
    std::atomic<unsigned> steps{0};
    unsigned answered = c.when == StuckIn::Add ? 1 : 3 + 1; // the add's three, then one more
    auto policy = [&, stuck = gate.policy()](UCHAR bus, const std::string& text) {
        return ++steps <= answered || stuck(bus, text);
    };
    if (c.when == StuckIn::Add) {
        ASSERT_EQ(tool().beginAdd(config(&t, 3), policy).bus, 0);
    } else {
        ASSERT_EQ(tool().addTarget(config(&t, 3), policy).returnCode(), ISCSI_RC_SUCCESS);
        if (c.when == StuckIn::ReconnectionOfABoundBus) {
            ASSERT_EQ(tool().addTarget(config(&t, 3)).bus, 1);
        }
        ASSERT_TRUE(t.waitForLogin(2, 5s));
        ASSERT_TRUE(t.sendAsyncMessage(0, {4, {}, 0, 1})); // drop all, then come back
    }
    ASSERT_TRUE(gate.waitEntered());
    size_t connections = t.connectionCount();
    qt::ConfigTool other(host_->submitter()); // leaves this tool's stuck server alone
    auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(other.removeTarget(c.when == StuckIn::ReconnectionOfABoundBus ? 1 : 0).returnCode,
              ISCSI_RC_SUCCESS);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
    EXPECT_EQ(t.connectionCount(), connections) << "the bring-up went on";
    gate.release();
    tool().stopServing(); // before the policy's locals go
}

INSTANTIATE_TEST_SUITE_P(StuckSecurity, StuckSecurityTest, ::testing::ValuesIn(kStuckCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A reconnection whose login waits for the tool's verdict when the tool shuts the adapter down:
// the step fails at once (the tool stops answering), instead of holding the session, and the
// host's stop behind it, for the step's whole time limit.
TEST_F(ToolTest, AShutdownFailsALoginWaitingForTheToolAtOnce) {
    tgt::Target& t = startTarget();
    Gate gate;
    std::atomic<unsigned> steps{0};
    auto policy = [&, stuck = gate.policy()](UCHAR bus, const std::string& text) {
        return ++steps <= 1 || stuck(bus, text);
    };
    ASSERT_EQ(tool().addTarget(config(&t, 1), policy).returnCode(), ISCSI_RC_SUCCESS);
    ASSERT_TRUE(t.waitForLogin(0, 5s));
    ASSERT_TRUE(t.sendAsyncMessage(0, {4, {}, 0, 1})); // drop all, then come back
    ASSERT_TRUE(gate.waitEntered());
    qt::ConfigTool other(host_->submitter());
    auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(other.shutdown().completed);
    EXPECT_TRUE(t.waitForClosed(1, 3s)) << "the waiting login failed at once";
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 3s);
    gate.release();
    tool().stopServing();
}

namespace {

enum class TextPeer { Answers, NoReceiveThread, Silent };

struct TextCase {
    const char* name;
    TextPeer peer;
    bool answered;
};

const TextCase kTextCases[] = {
    {"WithARunningReceiveThread", TextPeer::Answers, true},
    {"WithoutARunningReceiveThread", TextPeer::NoReceiveThread, false},
    {"TargetDoesNotAnswer", TextPeer::Silent, false},
};

class TextTest : public ToolTest, public ::testing::WithParamInterface<TextCase> {};

} // namespace

TEST_P(TextTest, TheExchangeReturnsTheResponseOrMinusOne) {
    const TextCase& c = GetParam();
    tgt::Target* t = c.peer == TextPeer::NoReceiveThread ? nullptr : &startTarget();
    ASSERT_EQ(tool().addTarget(config(t)).bus, 0);
    if (c.peer == TextPeer::Silent) {
        t->setFaults(textUnanswered());
    }
    qt::TextResult r = tool().sendText(0, "SendTargets=All");
    ASSERT_TRUE(r.control.completed);
    if (c.answered) {
        EXPECT_EQ(r.text, "TargetName=" + kTargetName + std::string(1, '\0') +
                              "TargetAddress=127.0.0.1:" + std::to_string(t->port()) + ",1" +
                              std::string(1, '\0'));
        EXPECT_EQ(r.bufferLength, static_cast<int64_t>(r.text.size()));
    } else {
        EXPECT_EQ(r.bufferLength, -1);
    }
}

INSTANTIATE_TEST_SUITE_P(Text, TextTest, ::testing::ValuesIn(kTextCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ToolTest, ANinthTargetFindsNoFreeBusAndIsLogged) {
    tgt::Target& t = startTarget();
    for (int bus = 0; bus < 8; bus++) {
        qt::AddResult add = tool().addTarget(config(&t, 1, "host" + std::to_string(bus)));
        ASSERT_EQ(add.bus, bus);
        ASSERT_EQ(add.returnCode(), ISCSI_RC_SUCCESS);
    }
    qt::AddResult ninth = tool().addTarget(config(&t, 1, "host8"));
    EXPECT_EQ(ninth.begin.returnCode, ISCSI_RC_NO_FREE_BUS);
    EXPECT_EQ(ninth.bus, -1);
    auto logged = events(QUEV_TOO_MANY_TARGETS);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].strings, std::vector<std::u16string>{u"127.0.0.1"});
    EXPECT_EQ(read(0), SRB_STATUS_SUCCESS) << "bus 0 is untouched";
    EXPECT_EQ(t.sessionCount(), 8u);
}

// With QUEVI_ACCOUNTING set the host's end prints the counts it checked, also when all is well.
TEST_F(ToolTest, TheEndPrintsItsAccountingLineWhenAsked) {
    tgt::Target& t = startTarget();
    ASSERT_EQ(tool().addTarget(config(&t)).returnCode(), ISCSI_RC_SUCCESS);
    EXPECT_EQ(read(0), SRB_STATUS_SUCCESS);
    setenv("QUEVI_ACCOUNTING", "1", 1);
    testing::internal::CaptureStderr();
    qt::HostReport report = host_->stop();
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("QUEVI_ACCOUNTING");
    EXPECT_TRUE(report.clean());
    std::string handed = std::to_string(report.accounting.handedToMiniport);
    EXPECT_GT(report.accounting.handedToMiniport, 0u);
    EXPECT_NE(err.find("quevi accounting: handed=" + handed + " completed=" + handed +
                       " twice=0 never=0 "),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(" pool=0\n"), std::string::npos) << err;
}

TEST_F(ToolTest, TheSameTargetOnASecondBusSharesItsSession) {
    tgt::Target& t = startTarget();
    ASSERT_EQ(tool().addTarget(config(&t)).returnCode(), ISCSI_RC_SUCCESS);
    qt::AddResult second = tool().addTarget(config(&t));
    EXPECT_EQ(second.bus, 1);
    EXPECT_EQ(second.returnCode(), ISCSI_RC_SUCCESS);
    EXPECT_EQ(t.sessionCount(), 1u);
    EXPECT_EQ(read(0), SRB_STATUS_SUCCESS);
    EXPECT_EQ(read(1), SRB_STATUS_SUCCESS);
}

TEST_F(ToolTest, RemovingOneOfTwoBusesOfASessionLeavesTheOtherAnsweringCleanly) {
    tgt::Target& t = startTarget();
    ASSERT_EQ(tool().addTarget(config(&t)).returnCode(), ISCSI_RC_SUCCESS);
    ASSERT_EQ(tool().addTarget(config(&t)).returnCode(), ISCSI_RC_SUCCESS);
    qvk::setTimeScale(20); // a pause of the removal's own, even of a second, would come late
    auto removal = std::async(std::launch::async, [&] { return tool().removeTarget(1); });
    EXPECT_EQ(removal.wait_for(5s), std::future_status::ready) << "the removal paused";
    qvk::setTimeScale(0.1);
    EXPECT_EQ(removal.get().returnCode, ISCSI_RC_SUCCESS);
    UCHAR status = read(0);
    EXPECT_TRUE(status == SRB_STATUS_SUCCESS || status == SRB_STATUS_NO_DEVICE ||
                status == SRB_STATUS_SELECTION_TIMEOUT)
        << int{status};
}

// Bus 1 binds to the session that bus 0 is still creating (its login waits in the security step);
// removing bus 1 deletes that session, which must wait for the creation to end and fail it.
TEST_F(ToolTest, RemovingABusBoundToASessionStillLoggingInFailsThatAdd) {
    tgt::Target& t = startTarget();
    Gate gate;
    ASSERT_EQ(tool().beginAdd(config(&t), gate.policy()).bus, 0);
    ASSERT_TRUE(gate.waitEntered());
    ASSERT_EQ(tool().addTarget(config(&t)).bus, 1);
    EXPECT_EQ(tool().removeTarget(1).returnCode, ISCSI_RC_SUCCESS);
    gate.release();
    EXPECT_NE(tool().completeAdd(0).returnCode, ISCSI_RC_SUCCESS);
    EXPECT_NE(read(0), SRB_STATUS_SUCCESS) << "bus 0 has no session";
    EXPECT_EQ(tool().removeTarget(0).returnCode, ISCSI_RC_SUCCESS) << "and is freed all the same";
    EXPECT_EQ(tool().addTarget(config(&t)).bus, 0);
}

// A login's signal that reaches the tool after another tool removed the bus: SECURITY_BEGIN is
// refused, so the policy is not asked and no verdict is sent.
TEST_F(ToolTest, ASecurityStepForARemovedBusGetsNoVerdict) {
    tgt::Target& t = startTarget();
    std::atomic<int> asked{0};
    auto policy = [&](UCHAR, const std::string&) {
        asked++;
        return true;
    };
    ASSERT_EQ(tool().addTarget(config(&t), policy).returnCode(), ISCSI_RC_SUCCESS);
    int before = asked;
    PKEVENT loginEvent = pMyDevExt->TargetInfo[0].SecurityBeginEvent;
    qt::ConfigTool other(host_->submitter());
    ASSERT_EQ(other.removeTarget(0).returnCode, ISCSI_RC_SUCCESS);
    std::string log = qvk::dbgCaptureTake();
    KeSetEvent(loginEvent, 0, FALSE);
    EXPECT_TRUE(eventually([&] {
        log += qvk::dbgCaptureTake();
        return log.find("Target 0 is not active") != std::string::npos;
    }));
    tool().stopServing(); // after the step in progress
    EXPECT_EQ(asked, before);
}

TEST_F(ToolTest, ABusResetIsLoggedReturnsRequestsBusyAndTheSessionReconnectsByItself) {
    tgt::Target& t = startTarget();
    ASSERT_EQ(tool().addTarget(config(&t)).returnCode(), ISCSI_RC_SUCCESS);
    // The read gets no status, so the reset finds it outstanding.
    t.setFaults(withheld());
    qt::PortRequest& outstanding = startRead(0);
    ASSERT_TRUE(t.waitForPdus(0, 3, 5s));
    unsigned served = tool().securityCounts(0).served;

    // The fault goes as soon as the reset has closed the connection, before the session's own
    // reconnection (which may start while the reset is still being finished) sends the read again.
    auto reset = std::async(std::launch::async, [&] { return scsi().resetBus(0).srbStatus; });
    EXPECT_TRUE(t.waitForClosed(0, 5s));
    t.setFaults({});
    EXPECT_EQ(SRB_STATUS(reset.get()), SRB_STATUS_SUCCESS);
    EXPECT_EQ(finish(outstanding), SRB_STATUS_SUCCESS) << "returned BUSY, then sent again";
    EXPECT_GE(qvport::accounting(host_->port()).busyRetries, 1u);
    auto logged = events(QUEV_BUS_RESET);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].strings, (std::vector<std::u16string>{u"0", u"127.0.0.1"}));
    EXPECT_GT(tool().securityCounts(0).served, served) << "the new login passed the security step";
    EXPECT_TRUE(t.waitForLogin(1, 5s));
    EXPECT_EQ(read(0), SRB_STATUS_SUCCESS);
}

TEST_F(ToolTest, ShutdownEndsBothActiveBusesAndRefusesWhatFollows) {
    tgt::Target& a = startTarget();
    tgt::Target& b = startTarget();
    ASSERT_EQ(tool().addTarget(config(&a)).returnCode(), ISCSI_RC_SUCCESS);
    ASSERT_EQ(tool().addTarget(config(&b, 1, "second")).returnCode(), ISCSI_RC_SUCCESS);
    qt::PortRequest* outstanding[2] = {};
    for (UCHAR bus = 0; bus < 2; bus++) {
        tgt::Target& t = bus == 0 ? a : b;
        t.setFaults(withheld());
        outstanding[bus] = &startRead(bus);
        ASSERT_TRUE(t.waitForPdus(0, 3, 5s));
    }
    EXPECT_EQ(tool().shutdown().returnCode, ISCSI_RC_SUCCESS);
    EXPECT_EQ(SRB_STATUS(scsi().shutdown(0).srbStatus), SRB_STATUS_SUCCESS);
    // What the engine held ends through its no-connection path, failed at once while shutting
    // down (SELECTION_TIMEOUT); what only the port held ends with NO_DEVICE.
    for (UCHAR bus = 0; bus < 2; bus++) {
        UCHAR status = finish(*outstanding[bus]);
        EXPECT_TRUE(status == SRB_STATUS_SELECTION_TIMEOUT || status == SRB_STATUS_NO_DEVICE)
            << int{status};
        EXPECT_TRUE((bus == 0 ? a : b).waitForClosed(0, 5s));
    }
    EXPECT_EQ(read(1), SRB_STATUS_NO_DEVICE);
    EXPECT_EQ(tool().sendText(0, "SendTargets=All").bufferLength, -1) << "no answer to read";
}

namespace {

// How a shutdown comes to refuse every request before its own request is started.
struct RefusalCase {
    const char* name;
    bool byTimeOut; // the withheld read times out; otherwise another bus's read finds no connection
};

class ShutdownRefusalTest : public ToolTest, public ::testing::WithParamInterface<RefusalCase> {};

const RefusalCase kRefusalCases[] = {{"ThroughATimedOutRequestsReset", true},
                                     {"ThroughASelectionTimeOut", false}};

} // namespace

// Once the adapter refuses everything, the shutdown request can no longer post its work; the
// requests the engine holds at a target that stopped answering must end all the same, once.
TEST_P(ShutdownRefusalTest, RequestsTheEngineHoldsStillEndAndTheShutdownIsRefusedAfterItsWork) {
    tgt::Target& a = startTarget();
    tgt::Target& b = startTarget();
    ASSERT_EQ(tool().addTarget(config(&a)).returnCode(), ISCSI_RC_SUCCESS);
    ASSERT_EQ(tool().addTarget(config(&b, 1, "second")).returnCode(), ISCSI_RC_SUCCESS);
    a.setFaults(withheld());
    // Timed out after the shutdown request below, or not within the test.
    qt::PortRequest& held = startRead(0, GetParam().byTimeOut ? 5 : 600);
    ASSERT_TRUE(a.waitForPdus(0, 3, 5s));
    b.stop(); // bus 1 has no connection from now on
    EXPECT_EQ(tool().shutdown().returnCode, ISCSI_RC_SUCCESS);
    if (!GetParam().byTimeOut) {
        EXPECT_EQ(read(1), SRB_STATUS_SELECTION_TIMEOUT);
    }
    ASSERT_TRUE(qvport::waitFor(&held.request, 40)) << "the engine's request never ended";
    EXPECT_EQ(SRB_STATUS(held.srb().SrbStatus), SRB_STATUS_SELECTION_TIMEOUT);
    EXPECT_TRUE(a.waitForClosed(0, 5s)) << "the shutdown's work broke the connection";
    EXPECT_EQ(SRB_STATUS(scsi().shutdown(0).srbStatus), SRB_STATUS_NO_DEVICE);
}

INSTANTIATE_TEST_SUITE_P(Cases, ShutdownRefusalTest, ::testing::ValuesIn(kRefusalCases));

// Giving up ends at once what a target that stopped answering holds, and what waits behind it in
// the port's queue, each request once; the adapter refuses everything after.
TEST_F(ToolTest, GivingUpEndsWhatASilentTargetHoldsAndWhatWaitsBehindIt) {
    tgt::Target& t = startTarget();
    ASSERT_EQ(tool().addTarget(config(&t)).returnCode(), ISCSI_RC_SUCCESS);
    t.setFaults(withheld());
    std::vector<qt::PortRequest*> reads;
    for (int i = 0; i < 9; i++) { // the ninth waits: MaximumConcurrency is 8
        reads.push_back(&startRead(0, 600));
    }
    ASSERT_TRUE(t.waitForPdus(0, 10, 5s));
    host_->giveUp();
    for (qt::PortRequest* r : reads) {
        UCHAR status = finish(*r); // the engine's end at once; the port's are refused
        EXPECT_TRUE(status == SRB_STATUS_SELECTION_TIMEOUT || status == SRB_STATUS_NO_DEVICE)
            << int{status};
    }
    EXPECT_TRUE(host_->givenUp());
    EXPECT_EQ(read(0), SRB_STATUS_NO_DEVICE);
}
