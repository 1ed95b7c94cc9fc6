// Login conversations only a hand-made client can hold: another target name or missing names, a
// joining login with a wrong TSID or ISID, more connections than MaxConnections, refused
// reconnections, a silent connection and a SCSI command before login.
#include "conversation.h"

namespace quevi::target::test {
namespace {

using LoginConversation = Conversation;

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

TEST_F(LoginConversation, LoginsAfterTheFirstNAreRefusedForAWhileWithTheirStatus) {
    config.faults.refuseLoginsAfter = 1;
    config.faults.refuseLogins = 2;
    config.faults.refuseLoginStatus = 0x05;
    startTarget();
    Client first;
    loggedIn(first);
    for (int refused = 0; refused < 2; refused++) {
        Client c;
        ASSERT_TRUE(c.connect(target->port()));
        EXPECT_FALSE(c.login("quevi-target", 0x1234, first.tsid));
        EXPECT_EQ(c.last.h[36], 0x05);
    }
    Client after;
    ASSERT_TRUE(after.connect(target->port()));
    EXPECT_TRUE(after.login("quevi-target", 0x1234, first.tsid));
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

} // namespace
} // namespace quevi::target::test
