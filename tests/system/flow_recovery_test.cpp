// Aborts, the target's pings, asynchronous messages, rejects and logouts, against the target and
// scripted answers.
#include "flow_fixture.h"

#include <atomic>
#include <cstring>
#include <optional>
#include <thread>

using namespace systest;

namespace {

// Answers every task-management request with the response byte given.
std::function<void(tgt::ScriptedPdu&)> tmAnswer(uint8_t response) {
    return [response](tgt::ScriptedPdu& p) {
        Pdu(0xE2).tagOf(p).numbers(p, p.statSN).u8(36, response).answer(p);
    };
}

} // namespace

class AbortTest : public FlowTest {
protected:
    // A read the target never answers, pending in the table and received by the target (the
    // command enters the table before it is sent).
    Io& pendingRead() {
        size_t before = sentOf(0, 0x01).size();
        Io& r = read10(0, 1);
        EXPECT_EQ(submit(r, ISCSI_DIR_READ), 0);
        EXPECT_TRUE(eventually([&] { return findCmdInTable(session_, &r.srb) != nullptr; }));
        EXPECT_TRUE(eventually([&] { return sentOf(0, 0x01).size() == before + 1; }));
        return r;
    }
    ULONG abort(Io& victim, Io& request, ULONG waitFlags = 0) {
        expectCompletion(&request.srb);
        ULONG result = iscsiCoreAbortCmd(&victim.srb, &request.srb, handle_, waitFlags);
        if (result != TM_RESULT_DONE || waitFlags != 0) {
            forgetRequest(&request.srb); // not the engine's to complete
        }
        return result;
    }
    void answerTaskManagement(std::function<void(tgt::ScriptedPdu&)> fn) {
        script({0x02}, std::move(fn), true);
    }
};

TEST_F(AbortTest, AbortsGoToTheTargetAndEndByTheirOutcomeInEveryState) {
    tgt::TargetConfig config;
    config.faults.withholdStatus = true;
    start(config);
    Io& victim = pendingRead();
    uint32_t cmdSN = getBe32(sentOf(0, 0x01).at(0).header, 24);
    answerTaskManagement(tmAnswer(0));
    Io& request = io(0, {});
    EXPECT_EQ(abort(victim, request), TM_RESULT_DONE);
    EXPECT_EQ(done(victim).kind, Completed::Abort);
    EXPECT_EQ(done(request).result, TM_RESULT_ABORTED);

    auto tms = sentOf(0, 0x02);
    ASSERT_EQ(tms.size(), 1u);
    const auto& h = tms[0].header;
    const auto cmd = sentOf(0, 0x01)[0].header;
    EXPECT_EQ(h[1], 0x81);
    EXPECT_TRUE(std::equal(h.begin() + 8, h.begin() + 16, cmd.begin() + 8)) << "LUN";
    EXPECT_TRUE(std::equal(h.begin() + 20, h.begin() + 24, cmd.begin() + 16)) << "the tag";
    EXPECT_EQ(getBe32(h, 32), cmdSN);
    EXPECT_EQ(getBe32(h, 24), cmdSN + 1) << "commands and aborts share the CmdSN sequence";

    // A caller that waits gets the final result.
    Io& waited = pendingRead();
    EXPECT_EQ(getBe32(sentOf(0, 0x01).at(1).header, 24), cmdSN + 2);
    EXPECT_EQ(abort(waited, io(0, {}), TM_WAIT_FLAG_WAITER), TM_RESULT_ABORTED);
    EXPECT_EQ(done(waited).kind, Completed::Abort);

    // The target refuses: the command stays pending, the abort fails.
    Io& refused = pendingRead();
    answerTaskManagement(tmAnswer(1));
    Io& r1 = io(0, {});
    EXPECT_EQ(abort(refused, r1), TM_RESULT_DONE);
    EXPECT_EQ(done(r1).result, TM_RESULT_ABORT_FAILED);
    EXPECT_FALSE(completionOf(&refused.srb, std::chrono::milliseconds(50)));

    // The command's own response comes first: nothing left to abort.
    answerTaskManagement([](tgt::ScriptedPdu& p) {
        Pdu rsp(0xE1);
        std::copy(p.header.begin() + 20, p.header.begin() + 24, rsp.bytes.begin() + 16);
        rsp.numbers(p, p.statSN).answer(p);
        Pdu(0xE2).tagOf(p).numbers(p, p.statSN + 1).answer(p);
    });
    Io& r2 = io(0, {});
    EXPECT_EQ(abort(refused, r2), TM_RESULT_DONE);
    EXPECT_EQ(done(refused).kind, Completed::Command);
    EXPECT_EQ(done(r2).result, TM_RESULT_NOT_FOUND);
    EXPECT_EQ(abort(refused, io(0, {})), TM_RESULT_NOT_FOUND) << "already completed";

    // Eighty aborts wait for answers that never come: the 81st finds no record.
    answerTaskManagement([](tgt::ScriptedPdu&) {});
    Io& last = pendingRead();
    for (int i = 0; i < ISCSI_TASK_MAN_POOL_SIZE; i++) {
        ASSERT_EQ(abort(last, io(0, {})), TM_RESULT_DONE) << i;
    }
    ASSERT_TRUE(eventually([&] { return session_->taskManTable.count == 80u; }));
    EXPECT_EQ(abort(last, io(0, {})), TM_RESULT_ABORT_FAILED);

    // Their connection ends: every abort fails, the command completes as its connection's.
    ASSERT_TRUE(target().dropConnection(0));
    EXPECT_EQ(done(last).kind, Completed::Reset);
    for (size_t i = ios_.size() - 81; i < ios_.size() - 1; i++) {
        EXPECT_EQ(done(ios_[i]).result, TM_RESULT_ABORT_FAILED);
    }
}

TEST_F(FlowTest, TargetPingsAreAnsweredWithTheirDataWhenTheyAskForIt) {
    start();
    ASSERT_TRUE(target().waitForLogin(0, std::chrono::seconds(5)));
    std::vector<uint8_t> five = {1, 2, 3, 4, 5}, big(6000, 0x5A);
    ASSERT_TRUE(target().sendNopIn(0, five, true));
    ASSERT_TRUE(target().sendNopIn(0, five, false));
    ASSERT_TRUE(target().sendNopIn(0, big, true));
    ASSERT_TRUE(eventually([&] { return sentOf(0, 0x40).size() == 2; }));
    ASSERT_EQ(run(tur(), ISCSI_DIR_NONE), 0);
    auto answers = sentOf(0, 0x40);
    ASSERT_EQ(answers.size(), 2u) << "the ping without an answer wanted got none";
    EXPECT_EQ(answers[0].header[1], 0);
    EXPECT_EQ(getBe32(answers[0].header, 16), 0xFFFFFFFFu);
    EXPECT_NE(getBe32(answers[0].header, 20), 0xFFFFFFFFu) << "the target's transfer tag";
    EXPECT_EQ(answers[0].data, five);
    EXPECT_EQ(answers[1].dataLength, 4096u);

    // A ping naming ExpCmdSN 1, long behind, before each response: CmdSN still only goes up.
    script({0x01}, [](tgt::ScriptedPdu& p) {
        Pdu(0xE0).be32(16, ~0u).be32(20, ~0u).be32(24, p.statSN).be32(28, 1).answer(p, false);
        Pdu(0xE1).tagOf(p).numbers(p, p.statSN).answer(p);
    });
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(run(tur(), ISCSI_DIR_NONE), 0);
    }
    auto cmds = sentOf(0, 0x01);
    ASSERT_EQ(cmds.size(), 4u);
    for (int i = 1; i < 4; i++) {
        EXPECT_EQ(getBe32(cmds[i].header, 24), getBe32(cmds[i - 1].header, 24) + 1);
    }
}

TEST_F(FlowTest, AsynchronousEventsResetLogOutDropOrEndTheSession) {
    struct Case {
        const char* name;
        tgt::AsyncEvent event;
        ULONG connections;
        bool reconnects; // the session is back with every connection afterwards
        bool logout;     // a Logout goes out first
    } cases[] = {
        {"reset", {1, {}, 0, 0}, 1, true, false},
        {"logout", {2, {}, 0, 0}, 1, true, true},
        {"drop the second connection", {3, 1, 0, 0}, 2, true, false},
        {"drop all, come back", {4, {}, 20, 5}, 2, true, false},
        {"drop all, session ends", {4, {}, 0, 0}, 1, false, false},
        {"unknown event", {5, {}, 0, 0}, 1, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        start({}, c.connections);
        ASSERT_EQ(session_->numActiveConnections, c.connections);
        size_t before = target().connectionCount();
        ASSERT_TRUE(target().waitForLogin(0, std::chrono::seconds(5)));
        ULONG ended = endings();
        ASSERT_TRUE(target().sendAsyncMessage(0, c.event));
        if (c.logout) {
            ASSERT_TRUE(eventually([&] { return !sentOf(0, 0x06).empty(); }));
            EXPECT_EQ(sentOf(0, 0x06)[0].header[11], 1) << "reason";
        }
        if (c.reconnects && (c.event.event == 1 || c.event.event == 2)) {
            // These leave the session without a connection; new work brings it back.
            ASSERT_TRUE(endedSince(ended));
            ASSERT_TRUE(reconnectByWork());
        }
        if (c.reconnects) {
            ASSERT_TRUE(eventually([&] {
                return session_->numActiveConnections == c.connections &&
                       (c.event.event == 5 || target().connectionCount() > before);
            }));
            EXPECT_EQ(run(tur(), ISCSI_DIR_NONE), 0);
        } else {
            ASSERT_TRUE(eventually([&] { return session_->numActiveConnections == 0; }));
            Io& noData = tur();
            ASSERT_EQ(submit(noData, ISCSI_DIR_NONE), 0);
            EXPECT_EQ(done(noData).kind, Completed::NoConnection);
            EXPECT_EQ(target().connectionCount(), before) << "no new connection";
            EXPECT_EQ(findSessionHandle(LOOPBACK, kLogin.c_str(), ULONG(kLogin.size())),
                      ISCSI_NO_SESSION)
                << "an ended session is not bound to again";
        }
    }
}

// Connection 1 is dropped and its reconnection, which has passed connection 0's record (active
// then), is logging it in when connection 0 is dropped too: connection 0 comes back all the same.
TEST_F(FlowTest, AConnectionDroppedWhileAnotherReconnectsIsLoggedInAgain) {
    start({}, 2);
    // The target's open connection of a CID that it has in full feature phase. Both are waited
    // for: the target marks a connection logged in only after its last login answer has gone, so
    // on a loaded machine the initiator may already be using one the target does not yet show.
    auto liveWith = [&](std::uint16_t cid) -> std::optional<std::size_t> {
        for (std::size_t i = target().connectionCount(); i-- > 0;) {
            auto c = target().connection(i);
            if (c && c->open && c->loggedIn && c->cid == cid) {
                return i;
            }
        }
        return std::nullopt;
    };
    ASSERT_TRUE(eventually([&] { return liveWith(0) && liveWith(1); }));
    std::size_t first = *liveWith(0);
    std::atomic<bool> armed{true};
    qvk::dbgSetHook([&](const std::string& line) {
        if (line.rfind("iscsiOSmakeConnection: CONNECTED", 0) == 0 && armed.exchange(false)) {
            std::optional<std::size_t> other = liveWith(0);
            EXPECT_TRUE(other && target().sendAsyncMessage(*other, {3, 0, 0, 0}));
            EXPECT_TRUE(eventually([&] { return session_->numActiveConnections == 0; }));
        }
    });
    ASSERT_TRUE(target().sendAsyncMessage(*liveWith(1), {3, 1, 0, 0}));
    EXPECT_TRUE(eventually([&] { return !armed && session_->numActiveConnections == 2; }));
    qvk::dbgSetHook({});
    EXPECT_TRUE(eventually([&] { return liveWith(0) > first; })) << "connection 0 logged in again";
    EXPECT_EQ(run(tur(), ISCSI_DIR_NONE), 0);
}

TEST_F(FlowTest, RejectsLogoutsAndUnexpectedOpcodesEndTheLoopOnlyWhenTheyMust) {
    start();
    ASSERT_TRUE(target().waitForLogin(0, std::chrono::seconds(5)));
    // A Reject for another reason, with data, is consumed; the loop goes on.
    ASSERT_TRUE(target().sendReject(0, 0x04));
    EXPECT_EQ(run(tur(), ISCSI_DIR_NONE), 0);

    // Scripted answers that end the loop: a refused logout (the transport stays open), a
    // Login response after login, a Reject 0x0F (the connection fails).
    struct Case {
        const char* name;
        std::vector<uint8_t> opcodes;
        std::function<void(tgt::ScriptedPdu&)> script;
    } cases[] = {
        {"logout refused",
         {0x06},
         [](tgt::ScriptedPdu& p) { Pdu(0xE6).numbers(p, p.statSN).u8(36, 1).answer(p); }},
        {"login response", {0x01}, [](tgt::ScriptedPdu& p) { Pdu(0xE3).answer(p, false); }},
        {"reject 0x0F",
         {0x01},
         [](tgt::ScriptedPdu& p) { Pdu(0xFF).u8(40, 0x0F).data({}).answer(p, false); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(eventually([&] { return session_->numActiveConnections == 1; }));
        size_t n = target().connectionCount() - 1;
        ULONG ended = endings();
        // Which of the two comes first: the reconnection's make, or a break of the transport.
        std::atomic<int> first{0}; // the fixture traces at level 2
        qvk::dbgSetHook([&](const std::string& line) {
            int seen = line.rfind("iscsiOSmakeConnection: attempting", 0) == 0           ? 1
                       : line.rfind("iscsiOSbreakConnection: tDisconnectTarget", 0) == 0 ? 2
                                                                                         : 0;
            int none = 0;
            if (seen != 0) {
                first.compare_exchange_strong(none, seen);
            }
        });
        script(c.opcodes, c.script);
        Io& noData = tur();
        if (c.opcodes[0] == 0x06) {
            ASSERT_TRUE(target().sendAsyncMessage(n, {2, {}, 0, 0}));
        } else {
            ASSERT_EQ(submit(noData, ISCSI_DIR_NONE), 0);
            EXPECT_EQ(done(noData).kind, Completed::Reset) << "completed as its connection ended";
        }
        ASSERT_TRUE(endedSince(ended));
        target().setFaults({});
        ASSERT_TRUE(reconnectByWork());
        qvk::dbgSetHook({});
        if (c.opcodes[0] == 0x06 && GlobalDebugLevel >= DBG_CONTROL) {
            // The loop left the transport connected; the reconnection's make broke it.
            EXPECT_EQ(first.load(), 1) << "the transport stays connected until the reconnection";
        }
    }
}

TEST_F(FlowTest, TextExchangesUseOnlyConnectionsInFullOperationAndKeepTheSessionAlive) {
    start();
    // No connection in full operation (dropped, its reconnections refused): nothing is sent.
    tgt::Faults refuse;
    refuse.loginStatus = 0x02;
    target().setFaults(refuse);
    ASSERT_TRUE(target().dropConnection(0));
    ASSERT_TRUE(eventually([&] { return session_->numActiveConnections == 0; }));
    char buffer[64] = "SendTargets=All;";
    EXPECT_EQ(iscsiCoreSendReceiveTextBuffer(0, buffer, 16, sizeof buffer), -1);
    target().setFaults({});
    ASSERT_TRUE(reconnectByWork());

    // An exchange the target never answers holds the session; its deletion ends the exchange
    // (the connection goes) and frees the session only after the exchange let go of it.
    script({0x04}, [](tgt::ScriptedPdu&) {});
    std::atomic<LONG> result{0};
    std::thread exchange([&] {
        char text[64] = "SendTargets=All;";
        result = iscsiCoreSendReceiveTextBuffer(0, text, 16, sizeof text);
    });
    size_t last = target().connectionCount() - 1;
    ASSERT_TRUE(eventually([&] { return !sentOf(last, 0x04).empty(); }));
    EXPECT_EQ(iscsiCoreDeleteSession(handle_), 0);
    exchange.join();
    EXPECT_EQ(result.load(), -1);
}

// The target's own fault options as the driver meets them: a slow or pinging target still moves
// the data whole and reports a short answer's residual; one that drops the connection or claims an
// impossible segment loses it, every request in flight completes once, and new work brings the
// session back.
struct TargetFaultCase {
    const char* name;
    std::function<void(tgt::Faults&)> set;
    bool drops;
};

void PrintTo(const TargetFaultCase& c, std::ostream* os) {
    *os << c.name;
}

class TargetFaultTest : public FlowTest, public ::testing::WithParamInterface<TargetFaultCase> {};

TEST_P(TargetFaultTest, DataStaysWholeOrTheSessionComesBack) {
    const TargetFaultCase& c = GetParam();
    start();
    tgt::Faults faults;
    c.set(faults);
    target().setFaults(faults);
    if (c.drops) {
        ULONG ended = endings();
        Io& r = tur();
        ASSERT_EQ(submit(r, ISCSI_DIR_NONE), 0);
        (void)done(r);
        ASSERT_TRUE(endedSince(ended));
        target().setFaults({});
        ASSERT_TRUE(reconnectByWork());
    }
    Io& wr = write10(0, 24, 3);
    Io& rd = read10(0, 24);
    ASSERT_EQ(run(wr, ISCSI_DIR_WRITE), 0);
    ASSERT_EQ(run(rd, ISCSI_DIR_READ), 0);
    EXPECT_TRUE(std::equal(wr.buffer.begin(), wr.buffer.begin() + wr.length, rd.buffer.begin()));
    EXPECT_TRUE(rd.guardIntact());
    // A short answer carries its underflow in the Data-In with the status.
    Io& inquiry = io(96, {0x12, 0, 0, 0, 96, 0});
    ASSERT_EQ(run(inquiry, ISCSI_DIR_READ), 0);
    EXPECT_EQ(done(inquiry).residual, 60u) << "36 of 96 bytes";
}

INSTANTIATE_TEST_SUITE_P(
    , TargetFaultTest,
    ::testing::Values(
        TargetFaultCase{"ResponseDelay", [](tgt::Faults& f) { f.responseDelay = 20ms; }, false},
        TargetFaultCase{"TargetPings",
                        [](tgt::Faults& f) {
                            f.nopInterval = 10ms;
                            f.nopData = "ping";
                        },
                        false},
        TargetFaultCase{"DropAfterCommand", [](tgt::Faults& f) { f.dropAfterCommands = 1; }, true},
        TargetFaultCase{"DropAfterPdu", [](tgt::Faults& f) { f.dropAfterPdus = 1; }, true},
        TargetFaultCase{"OversizedSegment", [](tgt::Faults& f) { f.oversizeSegment = true; },
                        true}),
    [](const auto& info) { return std::string(info.param.name); });
