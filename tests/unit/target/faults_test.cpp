// Each fault of the full feature phase, set in the configuration or while running.
#include "conversation.h"

namespace quevi::target::test {
namespace {

using FaultConversation = Conversation;

TEST_F(FaultConversation, DelayedResponsesStillArriveWhole) {
    config.faults.responseDelay = std::chrono::milliseconds(30);
    startTarget();
    Client c;
    loggedIn(c);
    auto r = c.command(0, read10(0, 1), 512, true);
    EXPECT_TRUE(r.ok);
}

TEST_F(FaultConversation, WithheldStatusSendsDataButNoStatus) {
    startTarget();
    Client c;
    loggedIn(c);
    Faults f;
    f.withholdStatus = true;
    target->setFaults(f);
    ASSERT_TRUE(c.send(scsiCommand(0xC0, 0, 0x10, 1024, c.takeCmdSN(), c.expStatSN(),
                                   {0x28, 0, 0, 0, 0, 0, 0, 0, 2, 0})));
    auto d = c.receive();
    ASSERT_TRUE(d);
    EXPECT_EQ(d->op(), 0xE5);
    EXPECT_EQ(d->flags() & 0x01, 0);
    EXPECT_FALSE(c.receive(300ms));
    target->setFaults({}); // cleared while running: the next command is answered
    EXPECT_TRUE(c.testUnitReady().ok);
}

TEST_F(FaultConversation, DropAfterPdusAndAfterCommands) {
    config.faults.dropAfterPdus = 3; // Login, closing exchange, one more
    startTarget();
    Client c;
    loggedIn(c);
    ASSERT_TRUE(c.send(nopOut(0x00, true, 1, 0xFFFFFFFF, c.takeCmdSN(), 0)));
    EXPECT_TRUE(c.waitClosed());

    Faults f;
    f.dropAfterCommands = 2;
    target->setFaults(f);
    Client d;
    loggedIn(d);
    EXPECT_TRUE(d.testUnitReady().ok);
    EXPECT_TRUE(d.testUnitReady().ok);
    EXPECT_TRUE(d.waitClosed());
}

TEST_F(FaultConversation, DataInSizesOrderAndPastTheBuffer) {
    startTarget();
    pattern(0, 1 << 20);
    Client c;
    loggedIn(c);
    Faults f;
    f.dataInSizes = {1000, 3000};
    target->setFaults(f);
    auto r = c.command(0, read10(0, 16), 8192, true);
    ASSERT_TRUE(r.ok);
    std::vector<std::uint32_t> sizes;
    for (const auto& p : r.pdus)
        sizes.push_back(p.length());
    EXPECT_EQ(sizes, (std::vector<std::uint32_t>{1000, 3000, 3000, 1192}));
    for (std::size_t i = 0; i < r.data.size(); ++i)
        ASSERT_EQ(r.data[i], patternAt(i));

    f = {};
    f.dataInReversed = true;
    target->setFaults(f);
    r = c.command(0, read10(0, 32), 16384, true);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.pdus.size(), 2u);
    EXPECT_EQ(r.pdus[0].u32(40), 8192u);
    EXPECT_EQ(r.pdus[1].u32(40), 0u);
    EXPECT_EQ(r.pdus[1].flags() & 0x01, 0x01);
    for (std::size_t i = 0; i < r.data.size(); ++i)
        ASSERT_EQ(r.data[i], patternAt(i));

    f = {};
    f.dataInPastEnd = 100;
    target->setFaults(f);
    r = c.command(0, read10(0, 1), 512, true);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.pdus.size(), 2u);
    EXPECT_EQ(r.pdus[0].u32(40), 512u);
    EXPECT_EQ(r.pdus[0].length(), 100u);
}

TEST_F(FaultConversation, RepeatedStatSNUnknownTagAndClosedWindow) {
    startTarget();
    Client c;
    loggedIn(c);
    auto first = c.testUnitReady();
    ASSERT_TRUE(first.ok);
    std::uint32_t s = first.pdus.back().statSN();
    Faults f;
    f.repeatStatSN = true;
    target->setFaults(f);
    auto again = c.testUnitReady();
    ASSERT_TRUE(again.ok);
    EXPECT_EQ(again.pdus.back().statSN(), s);

    f = {};
    f.unknownTaskTag = true;
    f.closeWindow = true;
    target->setFaults(f);
    std::uint32_t itt = c.nextItt();
    ASSERT_TRUE(c.send(scsiCommand(0x80, 0, itt, 0, c.takeCmdSN(), c.expStatSN(), {0x00})));
    auto r = c.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->op(), 0xE1);
    EXPECT_NE(r->itt(), itt);
    EXPECT_EQ(r->maxCmdSN(), r->expCmdSN() - 1);
}

TEST_F(FaultConversation, UnsolicitedAsyncRejectAndOversizedSegment) {
    AsyncEvent ev;
    ev.event = 4;
    ev.waitSeconds = 20;
    ev.param3 = 5;
    config.faults.asyncMessage = ev;
    config.faults.asyncAfterCommands = 1;
    config.faults.rejectReason = 0x0F;
    config.faults.rejectAfterCommands = 1;
    startTarget();
    Client c;
    loggedIn(c);
    std::uint32_t stat = c.expStatSN();
    auto r = c.testUnitReady();
    ASSERT_TRUE(r.ok);
    auto async = c.receive();
    ASSERT_TRUE(async);
    EXPECT_EQ(async->op(), 0xF2);
    EXPECT_EQ(async->itt(), 0xFFFFFFFFu);
    EXPECT_EQ(async->h[37], 4);
    EXPECT_EQ(async->u16(38), 1); // this connection's CID as sent at login
    EXPECT_EQ(async->u16(40), 20);
    EXPECT_EQ(async->u16(42), 5);
    EXPECT_EQ(async->statSN(), stat + 1);
    auto rej = c.receive();
    ASSERT_TRUE(rej);
    EXPECT_EQ(rej->op(), 0xFF);
    EXPECT_EQ(rej->h[40], 0x0F);

    Faults f;
    f.oversizeSegment = true;
    target->setFaults(f);
    Client d;
    loggedIn(d);
    auto big = d.receive();
    ASSERT_TRUE(big);
    EXPECT_EQ(big->length(), 0xFFFFFFu);
    EXPECT_TRUE(d.waitClosed());
}

TEST_F(FaultConversation, TargetPingsAndActionsOnALiveConnection) {
    config.faults.nopInterval = std::chrono::milliseconds(50);
    config.faults.nopData = "ping";
    startTarget();
    Client c;
    loggedIn(c);
    auto nop = c.receive();
    ASSERT_TRUE(nop);
    EXPECT_EQ(nop->op(), 0xE0);
    EXPECT_EQ(nop->flags(), 0x80);
    EXPECT_EQ(nop->itt(), 0xFFFFFFFFu);
    EXPECT_NE(nop->u32(20), 0xFFFFFFFFu);
    EXPECT_EQ(nop->text(), "ping");
    EXPECT_EQ(nop->statSN(), c.expStatSN()); // pings do not use up a StatSN
    target->setFaults({});

    std::vector<std::uint8_t> data{1, 2, 3};
    ASSERT_TRUE(target->sendNopIn(0, data, false));
    ASSERT_TRUE(target->sendAsyncMessage(0, AsyncEvent{2, 0x0506, 0, 0}));
    ASSERT_TRUE(target->sendReject(0, 0x0F));
    for (int i = 0; i < 50; ++i) { // skip pings still in flight
        auto p = c.receive();
        ASSERT_TRUE(p);
        if (p->op() == 0xE0 && p->flags() == 0) {
            EXPECT_EQ(p->u32(20), 0xFFFFFFFFu);
            EXPECT_EQ(p->data, data);
            break;
        }
    }
    auto async = c.receive();
    ASSERT_TRUE(async);
    EXPECT_EQ(async->op(), 0xF2);
    EXPECT_EQ(async->h[37], 2);
    EXPECT_EQ(async->u16(38), 0x0506);
    auto rej = c.receive();
    ASSERT_TRUE(rej);
    EXPECT_EQ(rej->op(), 0xFF);
    EXPECT_TRUE(target->dropConnection(0));
    EXPECT_TRUE(c.waitClosed());
    EXPECT_FALSE(target->sendNopIn(0, data, false));
}

TEST_F(FaultConversation, TaskManagementResponseOverride) {
    config.faults.taskManagementResponse = 1;
    config.faults.withholdStatus = true;
    startTarget();
    Client c;
    loggedIn(c);
    ASSERT_TRUE(c.send(scsiCommand(0x80, 0, 0x50, 0, c.takeCmdSN(), c.expStatSN(), {0x00})));
    ASSERT_TRUE(c.send(abortTask(0x51, 0x50, c.takeCmdSN(), 0)));
    auto tm = c.receive();
    ASSERT_TRUE(tm);
    EXPECT_EQ(tm->op(), 0xE2);
    EXPECT_EQ(tm->h[36], 1);
}

} // namespace
} // namespace quevi::target::test
