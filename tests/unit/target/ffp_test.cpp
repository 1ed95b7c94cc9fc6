// Scripted full feature phase conversations: reads, writes with R2Ts, Data-Out checks,
// sequence numbers, task management, NOP, Text and Logout.
#include "conversation.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace quevi::target::test {
namespace {

using FullFeature = Conversation;

TEST_F(FullFeature, ReadComesInDataPduSizedPiecesWithStatusInTheLast) {
    startTarget();
    pattern(0, 1 << 20);
    Client c;
    loggedIn(c);
    std::uint32_t statSN = c.expStatSN();
    auto res = c.command(0, read10(8, 128), 65536, true);
    ASSERT_TRUE(res.ok);
    EXPECT_EQ(res.status, 0);
    ASSERT_EQ(res.pdus.size(), 8u);
    for (std::size_t i = 0; i < 8; ++i) {
        const Pdu& p = res.pdus[i];
        EXPECT_EQ(p.op(), 0xE5);
        EXPECT_EQ(p.length(), 8192u);
        EXPECT_EQ(p.u32(40), i * 8192);
        EXPECT_EQ(p.u32(36), i); // DataSN
        EXPECT_EQ(p.flags() & 0x01, i == 7 ? 0x01 : 0);
    }
    EXPECT_EQ(res.pdus.back().statSN(), statSN);
    for (std::size_t i = 0; i < res.data.size(); ++i)
        ASSERT_EQ(res.data[i], patternAt(8 * 512 + i)) << i;
}

TEST_F(FullFeature, SeparateStatusAndResiduals) {
    config.statusInDataIn = false;
    startTarget();
    Client c;
    loggedIn(c);
    auto res = c.command(0, read10(0, 2), 1536, true); // asks for more than the CDB moves
    ASSERT_TRUE(res.ok);
    ASSERT_EQ(res.pdus.size(), 2u);
    EXPECT_EQ(res.pdus[0].flags() & 0x01, 0);
    const Pdu& status = res.pdus[1];
    EXPECT_EQ(status.op(), 0xE1);
    EXPECT_EQ(status.h[2], 0);
    EXPECT_EQ(status.flags() & 0x02, 0x02); // underflow
    EXPECT_EQ(status.u32(20), 512u);
}

TEST_F(FullFeature, ScsiCommandSetOverTheWire) {
    config.luns = {"1M", "64K"};
    startTarget();
    Client c;
    loggedIn(c);
    auto cap = c.command(1, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, true);
    ASSERT_TRUE(cap.ok);
    EXPECT_EQ(rd32(&cap.data[0]), 127u);
    EXPECT_EQ(rd32(&cap.data[4]), 512u);
    auto missing = c.command(5, {0x12, 0, 0, 0, 36, 0}, 36, true);
    ASSERT_TRUE(missing.ok);
    EXPECT_EQ(missing.data[0], 0x7F);
    auto bad = c.command(0, {0xC1, 0, 0, 0, 0, 0}, 0, false);
    ASSERT_TRUE(bad.ok);
    EXPECT_EQ(bad.status, 2);
    ASSERT_EQ(bad.pdus.back().length(), 20u);
    EXPECT_EQ(bad.pdus.back().data[1], 18); // 2-byte sense length
    ASSERT_EQ(bad.sense.size(), 18u);
    EXPECT_EQ(bad.sense[0], 0x70);
    EXPECT_EQ(bad.sense[2], 0x05);
    EXPECT_EQ(bad.sense[12], 0x20);
    auto range = c.command(1, read10(127, 2), 1024, true);
    EXPECT_EQ(range.status, 2);
    EXPECT_EQ(range.sense[12], 0x21);
}

TEST_F(FullFeature, SequenceNumbersAndWindow) {
    config.cmdWindow = 4;
    startTarget();
    Client c;
    loggedIn(c);
    std::uint32_t stat = c.expStatSN();
    for (std::uint32_t i = 0; i < 3; ++i) {
        auto r = c.testUnitReady();
        ASSERT_TRUE(r.ok);
        const Pdu& p = r.pdus.back();
        EXPECT_EQ(p.statSN(), stat + i);
        EXPECT_EQ(p.maxCmdSN(), p.expCmdSN() + 3);
    }
}

TEST_F(FullFeature, WriteWithImmediateDataAndR2Ts) {
    config.maxR2TLength = 16384;
    config.maxOutstandingR2T = 2;
    startTarget();
    Client c;
    loggedIn(c);
    std::vector<std::uint8_t> data(65536);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 13 + 1);
    auto res = c.write(0, write10(4, 128), data, 8192);
    ASSERT_TRUE(res.ok);
    EXPECT_EQ(res.status, 0);
    std::vector<const Pdu*> r2ts;
    for (const auto& p : res.pdus)
        if (p.op() == 0xF1)
            r2ts.push_back(&p);
    ASSERT_EQ(r2ts.size(), 4u); // 57344 bytes in 16 KiB bursts
    EXPECT_EQ(r2ts[0]->u32(40), 8192u);
    EXPECT_EQ(r2ts[0]->u32(44), 16384u);
    EXPECT_EQ(r2ts[3]->u32(44), 65536u - 8192 - 3 * 16384);
    EXPECT_NE(r2ts[0]->u32(20), r2ts[1]->u32(20)); // distinct transfer tags
    std::vector<std::uint8_t> back(data.size());
    ASSERT_TRUE(target->lun(0)->read(4 * 512, back));
    EXPECT_EQ(back, data);
    auto rd = c.command(0, read10(4, 128), 65536, true);
    EXPECT_EQ(rd.data, data);
}

TEST_F(FullFeature, WriteAsksOnlyForWhatTheCdbMoves) {
    startTarget();
    Client c;
    loggedIn(c);
    std::vector<std::uint8_t> data(65536, 0x44); // the initiator offers 64 KiB for 2 blocks
    auto res = c.write(0, write10(0, 2), data, 0);
    ASSERT_TRUE(res.ok);
    EXPECT_EQ(res.status, 0);
    ASSERT_EQ(res.pdus.size(), 2u);
    EXPECT_EQ(res.pdus[0].op(), 0xF1);
    EXPECT_EQ(res.pdus[0].u32(44), 1024u);
    EXPECT_EQ(res.pdus[1].flags() & 0x02, 0x02); // underflow
    EXPECT_EQ(res.pdus[1].u32(20), 65536u - 1024);
}

TEST_F(FullFeature, NoMoreR2TsOutstandingThanAllowed) {
    config.maxR2TLength = 4096;
    config.maxOutstandingR2T = 2;
    startTarget();
    Client c;
    loggedIn(c);
    std::uint32_t itt = c.nextItt();
    Bytes48 h = scsiCommand(0xA0, 0, itt, 16384, c.takeCmdSN(), c.expStatSN(),
                            {0x2A, 0, 0, 0, 0, 0, 0, 0, 32, 0});
    ASSERT_TRUE(c.send(h));
    auto a = c.receive();
    auto b = c.receive();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->op(), 0xF1);
    EXPECT_EQ(b->op(), 0xF1);
    EXPECT_FALSE(c.receive(300ms)); // a third waits until a burst completes
    std::vector<std::uint8_t> chunk(4096, 0x11);
    ASSERT_TRUE(c.send(dataOut(true, itt, a->u32(20), 0, a->u32(40), 4096), chunk));
    auto next = c.receive();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->op(), 0xF1);
    EXPECT_EQ(next->u32(40), 8192u);
}

TEST_F(FullFeature, DataOutChecks) {
    startTarget();
    Client c;
    loggedIn(c);
    struct Case {
        const char* what;
        std::uint32_t tttDelta, dataSN, offsetDelta;
        bool final;
    } cases[] = {
        {"wrong transfer tag", 1, 0, 0, true},
        {"wrong DataSN", 0, 1, 0, true},
        {"wrong offset", 0, 0, 512, true},
        {"final bit missing on the last", 0, 0, 0, false},
    };
    for (const auto& k : cases) {
        std::uint32_t itt = c.nextItt();
        ASSERT_TRUE(c.send(scsiCommand(0xA0, 0, itt, 1024, c.takeCmdSN(), c.expStatSN(),
                                       {0x2A, 0, 0, 0, 0, 0, 0, 0, 2, 0})));
        auto r2t = c.receive();
        ASSERT_TRUE(r2t) << k.what;
        ASSERT_EQ(r2t->op(), 0xF1) << k.what;
        std::vector<std::uint8_t> d(1024, 0x22);
        ASSERT_TRUE(c.send(
            dataOut(k.final, itt, r2t->u32(20) + k.tttDelta, k.dataSN, k.offsetDelta, 1024), d));
        auto rej = c.receive();
        ASSERT_TRUE(rej) << k.what;
        EXPECT_EQ(rej->op(), 0xFF) << k.what;
        EXPECT_EQ(rej->h[40], 0x09) << k.what;
        EXPECT_EQ(rej->data[0], 0x05) << k.what;
        auto status = c.receive();
        ASSERT_TRUE(status) << k.what;
        EXPECT_EQ(status->op(), 0xE1) << k.what;
        EXPECT_EQ(status->h[2], 2) << k.what;
        EXPECT_EQ(status->itt(), itt) << k.what;
        c.noteStatSN(status->statSN());
    }
    // Data-Out for a command nobody sent.
    std::vector<std::uint8_t> d(512, 0);
    ASSERT_TRUE(c.send(dataOut(true, 0xABCDEF, 1, 0, 0, 512), d));
    auto rej = c.receive();
    ASSERT_TRUE(rej);
    EXPECT_EQ(rej->op(), 0xFF);
}

TEST_F(FullFeature, AbortTaskAnswersWithTaskManagementResponse) {
    config.faults.withholdStatus = true;
    startTarget();
    Client c;
    loggedIn(c);
    std::uint32_t itt = c.nextItt();
    std::uint32_t sn = c.takeCmdSN();
    ASSERT_TRUE(c.send(scsiCommand(0x80, 0, itt, 0, sn, c.expStatSN(), {0x00})));
    EXPECT_FALSE(c.receive(300ms)); // its status is withheld
    ASSERT_TRUE(c.send(abortTask(0x900, itt, c.takeCmdSN(), sn)));
    auto tm = c.receive();
    ASSERT_TRUE(tm);
    EXPECT_EQ(tm->op(), 0xE2);
    EXPECT_EQ(tm->itt(), 0x900u);
    EXPECT_EQ(tm->h[36], 0);
    ASSERT_TRUE(c.send(abortTask(0x901, itt, c.takeCmdSN(), sn)));
    tm = c.receive();
    ASSERT_TRUE(tm);
    EXPECT_EQ(tm->h[36], 1); // gone now
}

TEST_F(FullFeature, AbortFromAnotherConnectionEndsAPendingWrite) {
    startTarget();
    Client a;
    loggedIn(a);
    Client b;
    ASSERT_TRUE(b.connect(target->port()));
    ASSERT_TRUE(b.login("quevi-target", 0x1234, a.tsid));
    std::uint32_t itt = a.nextItt();
    ASSERT_TRUE(a.send(scsiCommand(0xA0, 0, itt, 4096, a.takeCmdSN(), a.expStatSN(),
                                   {0x2A, 0, 0, 0, 0, 0, 0, 0, 8, 0})));
    auto r2t = a.receive();
    ASSERT_TRUE(r2t);
    ASSERT_TRUE(b.send(abortTask(0x77, itt, b.takeCmdSN(), 0)));
    auto tm = b.receive();
    ASSERT_TRUE(tm);
    EXPECT_EQ(tm->h[36], 0);
}

TEST_F(FullFeature, NopPingTextAndLogout) {
    startTarget();
    Client c;
    loggedIn(c);
    std::string ping = "hello";
    ASSERT_TRUE(c.send(nopOut(0x00, true, 0x31, 0xFFFFFFFF, c.takeCmdSN(), 5), bytes(ping)));
    auto nop = c.receive();
    ASSERT_TRUE(nop);
    EXPECT_EQ(nop->op(), 0xE0);
    EXPECT_EQ(nop->itt(), 0x31u);
    EXPECT_EQ(nop->u32(20), 0xFFFFFFFFu);
    EXPECT_EQ(nop->text(), ping);
    c.noteStatSN(nop->statSN());
    // An answer to a target ping gets no reply.
    ASSERT_TRUE(c.send(nopOut(0x40, false, 0xFFFFFFFF, 7, c.takeCmdSN(), 0)));
    std::string t = pairs({"MaxOutstandingR2T=?"});
    ASSERT_TRUE(c.sendText(0x80, 0x44, c.takeCmdSN(), c.expStatSN(), t));
    auto text = c.receive();
    ASSERT_TRUE(text);
    EXPECT_EQ(text->op(), 0xE4); // not a reply to the NOP-Out answer
    EXPECT_EQ(text->itt(), 0x44u);
    EXPECT_EQ(text->text(), pairs({"MaxOutstandingR2T=8"}));
    ASSERT_TRUE(c.send(logoutRequest(1, 0x45, c.takeCmdSN())));
    auto out = c.receive();
    ASSERT_TRUE(out);
    EXPECT_EQ(out->op(), 0xE6);
    EXPECT_EQ(out->itt(), 0x45u);
    EXPECT_EQ(out->h[36], 0);
    EXPECT_EQ(out->statSN(), text->statSN() + 1);
    EXPECT_TRUE(c.waitClosed());
    EXPECT_TRUE(target->waitForClosed(0, 5s));
    EXPECT_EQ(target->sessionCount(), 0u);
}

std::size_t residentKiB() {
    FILE* f = std::fopen("/proc/self/status", "r");
    char line[256];
    std::size_t kib = 0;
    while (f && std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "VmRSS: %zu kB", &kib) == 1)
            break;
    if (f)
        std::fclose(f);
    return kib;
}

TEST_F(FullFeature, OneGibFileLunNeverLandsInMemory) {
    char path[] = "/tmp/quevi-big-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, std::int64_t{1} << 30), 0); // sparse
    close(fd);
    config.luns = {path};
    config.record = false;
    startTarget();
    Client c;
    loggedIn(c);
    std::size_t before = residentKiB();
    std::vector<std::uint8_t> data(256 * 1024, 0x77);
    std::uint32_t lastBlocks = (1u << 30) / 512;
    for (std::uint32_t lba = 0; lba < lastBlocks; lba += lastBlocks / 16) {
        auto w = c.write(0, write10(lba, 512), data, 8192);
        ASSERT_EQ(w.status, 0);
        auto r = c.command(0, read10(lba, 512), 256 * 1024, true);
        ASSERT_EQ(r.status, 0);
        ASSERT_EQ(r.data, data);
    }
    auto cap = c.command(0, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, true);
    EXPECT_EQ(rd32(&cap.data[0]), lastBlocks - 1);
    // 4 MiB moved through the target; its I/O buffers are bounded per connection.
    EXPECT_LT(residentKiB() - std::min(before, residentKiB()), 48u * 1024);
    unlink(path);
}

} // namespace
} // namespace quevi::target::test
