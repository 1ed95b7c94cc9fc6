// Scripted login conversations: the exchange, negotiation policy, refusals, discovery,
// multi-connection sessions, and the login faults.
#include "conversation.h"

namespace quevi::target::test {
namespace {

using LoginConversation = Conversation;

TEST_F(LoginConversation, FullExchangeAnswersEachStepAndRecordsTheInitiatorsBytes) {
    startTarget();
    Client c;
    ASSERT_TRUE(c.connect(target->port()));
    std::string text = pairs({"InitiatorName=iqn.test:i", "TargetName=quevi-target",
                              "AuthMethod=none", "HeaderDigest=crc-32C", "DataDigest=none"});
    Bytes48 login =
        loginRequest(0xABCD, 0, 0x0102, 0x11223344, 1, static_cast<std::uint32_t>(text.size()));
    ASSERT_TRUE(c.send(login, bytes(text)));
    auto r = c.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->op(), 0xE3);
    EXPECT_LE(r->h[3], 2);
    EXPECT_EQ(r->h[36], 0);        // accepted
    EXPECT_EQ(r->u16(12), 0xABCD); // ISID echoed
    EXPECT_NE(r->u16(14), 0);      // a TSID is given
    EXPECT_EQ(r->itt(), 0x11223344u);
    EXPECT_EQ(r->expCmdSN(), 2u); // the Login's CmdSN was 1
    EXPECT_EQ(r->maxCmdSN(), 2u + 31);
    EXPECT_EQ(r->text(), pairs({"AuthMethod=none", "HeaderDigest=crc-32C", "DataDigest=none"}));
    std::uint32_t statSN = r->statSN();

    std::string offer = pairs({"MaxConnections=8", "DataPDULength=16", "ImmediateData=yes"});
    ASSERT_TRUE(c.sendText(0x05, 0x5555, 2, statSN, offer));
    r = c.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->op(), 0xE4);
    EXPECT_EQ(r->itt(), 0x5555u);
    EXPECT_EQ(r->flags() & 0x80, 0x80); // nothing left open: final
    EXPECT_EQ(r->statSN(), statSN);
    EXPECT_EQ(r->expCmdSN(), 3u);
    EXPECT_EQ(r->text(), offer);

    ASSERT_TRUE(c.send(textRequest(0x8D, 0x5555, 3, statSN + 1, 0)));
    r = c.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->op(), 0xE3);
    EXPECT_EQ(r->flags() & 0x80, 0x80);
    EXPECT_EQ(r->h[36], 0);
    EXPECT_EQ(r->length(), 0u); // the initiator reads only the header of closing answers
    EXPECT_EQ(r->statSN(), statSN + 1);
    EXPECT_EQ(r->expCmdSN(), 4u);
    ASSERT_TRUE(target->waitForLogin(0, 5s));

    auto pdus = target->pdus(0);
    ASSERT_EQ(pdus.size(), 3u);
    EXPECT_EQ(pdus[0].header, login);
    EXPECT_EQ(std::string(pdus[0].data.begin(), pdus[0].data.end()), text);
    EXPECT_EQ(pdus[1].header[1], 0x05);
    EXPECT_EQ(pdus[2].header[1], 0x8D);
    auto info = target->connection(0);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->cid, 0x0102);
    EXPECT_EQ(info->isid, 0xABCD);
    EXPECT_TRUE(info->loggedIn);
}

TEST_F(LoginConversation, RefusesAnotherTargetNameOrMissingNames) {
    startTarget();
    Client c;
    ASSERT_TRUE(c.connect(target->port()));
    EXPECT_FALSE(c.login("other-target"));
    EXPECT_EQ(c.last.op(), 0xE3);
    EXPECT_NE(c.last.h[36], 0);
    EXPECT_TRUE(c.waitClosed());

    Client d;
    ASSERT_TRUE(d.connect(target->port()));
    std::string text = pairs({"TargetName=quevi-target"});
    ASSERT_TRUE(d.sendLogin(1, 1, 1, text));
    auto r = d.receive();
    ASSERT_TRUE(r);
    EXPECT_NE(r->h[36], 0);
    EXPECT_EQ(target->sessionCount(), 0u);
}

TEST_F(LoginConversation, DiscoveryLoginSeesNoUnitsButAnswersSendTargets) {
    startTarget();
    Client c;
    ASSERT_TRUE(c.connect(target->port()));
    ASSERT_TRUE(c.login("iscsi"));
    auto inq = c.command(0, {0x12, 0, 0, 0, 36, 0}, 36, true);
    ASSERT_TRUE(inq.ok);
    EXPECT_EQ(inq.data[0], 0x7F);
    std::string st = pairs({"SendTargets=All"});
    ASSERT_TRUE(c.sendText(0x80, 0x99, c.takeCmdSN(), c.expStatSN(), st));
    auto r = c.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->op(), 0xE4);
    EXPECT_EQ(r->itt(), 0x99u);
    EXPECT_NE(r->text().find("TargetName=quevi-target"), std::string::npos);
    EXPECT_TRUE(target->connection(0)->discovery);
}

TEST_F(LoginConversation, PolicyAnswersAndFinalMarking) {
    config.negotiation["DataPDULength"] = {KeyAction::Value, "64", 1};
    config.negotiation["MaxConnections"] = {KeyAction::Query, "", 1};
    config.negotiation["HeaderDigest"] = {KeyAction::Reject, ""};
    config.negotiation["DataDigest"] = {KeyAction::NotUnderstood, ""};
    startTarget();
    std::string offer = pairs({"DataPDULength=16", "MaxConnections=2", "HeaderDigest=none",
                               "DataDigest=none", "InitialR2T=no"});
    Client d;
    ASSERT_TRUE(d.connect(target->port()));
    std::string text = pairs({"InitiatorName=iqn.test:d", "TargetName=quevi-target"});
    ASSERT_TRUE(d.sendLogin(0x99, 1, 7, text));
    auto r = d.receive();
    ASSERT_TRUE(r);
    ASSERT_TRUE(d.sendText(0x05, 7, 2, r->statSN(), offer));
    r = d.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->text(), pairs({"DataPDULength=64", "MaxConnections=?", "HeaderDigest=reject",
                                "DataDigest=NotUnderstood", "InitialR2T=no"}));
    EXPECT_EQ(r->flags() & 0x80, 0); // open keys: not final
    // The initiator restates; the one-time answers are spent and everything is accepted.
    std::string again = pairs({"DataPDULength=16", "MaxConnections=2"});
    ASSERT_TRUE(d.sendText(0x05, 7, 3, r->statSN() + 1, again));
    r = d.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->text(), again);
    EXPECT_EQ(r->flags() & 0x80, 0x80);
}

TEST_F(LoginConversation, NegotiatedDataPduLengthSizesDataIn) {
    startTarget();
    pattern(0, 1 << 20);
    Client c;
    loggedIn(c, pairs({"DataPDULength=4"}));
    auto res = c.command(0, read10(0, 16), 8192, true);
    ASSERT_TRUE(res.ok);
    ASSERT_EQ(res.pdus.size(), 4u);
    for (const auto& p : res.pdus)
        EXPECT_EQ(p.length(), 2048u);
}

TEST_F(LoginConversation, SecondConnectionJoinsBySessionIds) {
    startTarget();
    Client a;
    loggedIn(a);
    Client b;
    b.cid = 2;
    ASSERT_TRUE(b.connect(target->port()));
    ASSERT_TRUE(b.login("quevi-target", 0x1234, a.tsid));
    EXPECT_EQ(b.tsid, a.tsid);
    EXPECT_EQ(target->sessionCount(), 1u);
    // ExpCmdSN is the session's: a command on one connection moves it for the other.
    auto ra = a.testUnitReady();
    ASSERT_TRUE(ra.ok);
    std::uint32_t afterA = ra.pdus.back().expCmdSN();
    b.takeCmdSN();
    ASSERT_TRUE(b.send(nopOut(0x00, true, 0x42, 0xFFFFFFFF, afterA, 0)));
    auto nop = b.receive();
    ASSERT_TRUE(nop);
    EXPECT_EQ(nop->expCmdSN(), afterA + 1);

    Client wrong;
    ASSERT_TRUE(wrong.connect(target->port()));
    EXPECT_FALSE(wrong.login("quevi-target", 0x1234, static_cast<std::uint16_t>(a.tsid + 100)));
    EXPECT_NE(wrong.last.h[36], 0);
    Client otherIsid;
    ASSERT_TRUE(otherIsid.connect(target->port()));
    EXPECT_FALSE(otherIsid.login("quevi-target", 0x4321, a.tsid));
}

TEST_F(LoginConversation, SessionConnectionLimitFollowsMaxConnections) {
    config.negotiation["MaxConnections"] = {KeyAction::Value, "1"};
    startTarget();
    Client a;
    loggedIn(a, pairs({"MaxConnections=8"}));
    Client b;
    ASSERT_TRUE(b.connect(target->port()));
    EXPECT_FALSE(b.login("quevi-target", 0x1234, a.tsid));
    EXPECT_NE(b.last.h[36], 0);
}

TEST_F(LoginConversation, LoginFaultsStatusOpcodeAndVersion) {
    config.faults.loginStatus = 0x09;
    startTarget();
    Client a;
    ASSERT_TRUE(a.connect(target->port()));
    EXPECT_FALSE(a.login("quevi-target"));
    EXPECT_EQ(a.last.h[36], 0x09);

    Faults f;
    f.loginOpcode = 0xE4;
    target->setFaults(f);
    Client b;
    ASSERT_TRUE(b.connect(target->port()));
    EXPECT_FALSE(b.login("quevi-target"));
    EXPECT_EQ(b.last.op(), 0xE4);

    f = {};
    f.loginVersion = 3;
    target->setFaults(f);
    Client c;
    ASSERT_TRUE(c.connect(target->port()));
    c.login("quevi-target");
    EXPECT_EQ(c.last.op(), 0xE3);
    EXPECT_EQ(c.last.h[3], 3);
}

TEST_F(LoginConversation, DisagreeAndNeverFinalKeepNegotiationOpen) {
    config.faults.disagree = true;
    config.faults.neverFinal = true;
    startTarget();
    Client c;
    ASSERT_TRUE(c.connect(target->port()));
    std::string text = pairs({"InitiatorName=iqn.test:c", "TargetName=quevi-target"});
    ASSERT_TRUE(c.sendLogin(1, 1, 5, text));
    auto r = c.receive();
    ASSERT_TRUE(r);
    std::uint32_t sn = 2;
    std::uint32_t stat = r->statSN();
    for (int i = 0; i < 6; ++i) {
        std::string offer = pairs({"DataPDULength=16"});
        ASSERT_TRUE(c.sendText(0x05, 5, sn++, stat, offer));
        r = c.receive();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->text(), pairs({"DataPDULength=?"}));
        EXPECT_EQ(r->flags() & 0x80, 0);
        stat = r->statSN() + 1;
    }
    Faults f;
    f.neverFinal = true; // agree now, still never final
    target->setFaults(f);
    std::string offer = pairs({"DataPDULength=16"});
    ASSERT_TRUE(c.sendText(0x05, 5, sn++, stat, offer));
    r = c.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->text(), offer);
    EXPECT_EQ(r->flags() & 0x80, 0);
}

TEST_F(LoginConversation, ClosingAnswersWithoutFinalBitUntilTheConfiguredCount) {
    config.faults.closingNotFinal = 2;
    startTarget();
    Client c;
    ASSERT_TRUE(c.connect(target->port()));
    ASSERT_TRUE(c.login("quevi-target"));
    auto pdus = target->pdus(0);
    ASSERT_EQ(pdus.size(), 4u); // Login, then three closing requests
    EXPECT_EQ(pdus[3].header[1], 0x8D);
}

TEST_F(LoginConversation, StallingLoginIsClosedAndOutOfPlacePdusRefused) {
    config.loginTimeout = std::chrono::milliseconds(200);
    startTarget();
    Client idle;
    ASSERT_TRUE(idle.connect(target->port()));
    EXPECT_TRUE(idle.waitClosed(10s));

    Client early;
    ASSERT_TRUE(early.connect(target->port()));
    ASSERT_TRUE(early.send(scsiCommand(0xC0, 0, 1, 512, 1, 0, {0x28})));
    auto r = early.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->op(), 0xFF);
    EXPECT_EQ(r->data[0], 0x01); // the offending header comes back
    EXPECT_TRUE(early.waitClosed());
}

TEST_F(LoginConversation, ClosingAnswerFaultsAndInitialStatSN) {
    config.faults.closingOpcode = 0xE4;
    config.initialStatSN = 0xFFFFFFFF;
    startTarget();
    Client a;
    ASSERT_TRUE(a.connect(target->port()));
    EXPECT_FALSE(a.login("quevi-target"));
    EXPECT_EQ(a.last.op(), 0xE4);
    EXPECT_EQ(a.last.flags() & 0x80, 0x80);

    Faults f;
    f.closingStatus = 0x07;
    target->setFaults(f);
    Client b;
    ASSERT_TRUE(b.connect(target->port()));
    EXPECT_FALSE(b.login("quevi-target"));
    EXPECT_EQ(b.last.h[36], 0x07);
    EXPECT_TRUE(b.waitClosed());

    target->setFaults({});
    Client c;
    loggedIn(c, pairs({"DataPDULength=16"}));
    EXPECT_EQ(c.expStatSN(), 0u); // 0xFFFFFFFF went to the Text answer; the count wraps
    auto r = c.testUnitReady();
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.pdus.back().statSN(), 0u);
}

} // namespace
} // namespace quevi::target::test
