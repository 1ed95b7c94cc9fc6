// Reads, writes and commands without data through the engine against the target: the PDUs the
// initiator sends, byte for byte where it matters, and where the target's answers land.
#include "flow_fixture.h"

#include <cstring>
#include <functional>

using namespace systest;

namespace {

uint32_t rawTag(const tgt::Header& h) {
    uint32_t t;
    std::memcpy(&t, h.data() + 16, 4);
    return t;
}

} // namespace

TEST_F(FlowTest, CommandsDataOutAndDataInCarryTheirFieldsAndTheBytesRoundTrip) {
    start();
    Io& tur = io(0, {0x00, 0, 0, 0, 0, 0});
    Io& wr = write10(8, 40, 7); // 20480 bytes: 8192 immediate, the rest by R2T
    Io& rd = read10(8, 40);
    ASSERT_EQ(run(tur, ISCSI_DIR_NONE), 0);
    ASSERT_EQ(run(wr, ISCSI_DIR_WRITE), 0);
    ASSERT_EQ(run(rd, ISCSI_DIR_READ), 0);
    EXPECT_TRUE(std::equal(wr.buffer.begin(), wr.buffer.begin() + wr.length, rd.buffer.begin()));
    EXPECT_TRUE(rd.guardIntact());

    auto cmds = sentOf(0, 0x01);
    ASSERT_EQ(cmds.size(), 3u);
    struct Want {
        uint8_t flags;
        uint32_t immediate, expected;
    } want[] = {{0x80, 0, 0}, {0xA0, 8192, 20480}, {0xC0, 0, 20480}};
    uint32_t firstCmdSN = be32(cmds[0].header, 24);
    for (size_t i = 0; i < 3; i++) {
        const auto& h = cmds[i].header;
        EXPECT_EQ(h[1], want[i].flags) << i;
        EXPECT_EQ(cmds[i].dataLength, want[i].immediate) << i;
        EXPECT_EQ(be32(h, 20), want[i].expected) << i;
        EXPECT_EQ(be32(h, 24), firstCmdSN + i) << "CmdSN " << i;
        EXPECT_EQ(h[9], 0) << "LUN 0 in byte 1";
        EXPECT_TRUE(
            std::equal(h.begin() + 32, h.begin() + 32 + ios_[i].srb.CdbLength, ios_[i].srb.Cdb));
        EXPECT_TRUE(std::all_of(h.begin() + 32 + ios_[i].srb.CdbLength, h.end(),
                                [](uint8_t b) { return b == 0; }));
    }
    EXPECT_TRUE(std::equal(cmds[1].data.begin(), cmds[1].data.end(), wr.buffer.begin()));

    // The rest of the write: Data-Outs of at most 8192 bytes, DataSN from 0, the last final.
    auto outs = sentOf(0, 0x05);
    ASSERT_EQ(outs.size(), 2u);
    uint32_t offsets[] = {8192, 16384}, lengths[] = {8192, 4096};
    for (size_t i = 0; i < 2; i++) {
        const auto& h = outs[i].header;
        EXPECT_EQ(h[1], i == 1 ? 0x80 : 0x00);
        EXPECT_EQ(outs[i].dataLength, lengths[i]);
        EXPECT_EQ(rawTag(h), rawTag(cmds[1].header));
        EXPECT_EQ(be32(h, 24), 0u) << "no CmdSN in a Data-Out";
        EXPECT_EQ(be32(h, 36), i);
        EXPECT_EQ(be32(h, 40), offsets[i]);
        EXPECT_TRUE(
            std::equal(outs[i].data.begin(), outs[i].data.end(), wr.buffer.begin() + offsets[i]));
    }
    EXPECT_EQ(be32(outs[0].header, 20), be32(outs[1].header, 20)) << "one transfer tag";
    std::vector<uint8_t> stored(wr.length);
    ASSERT_TRUE(target().lun(0)->read(8 * 512, stored));
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), wr.buffer.begin()));
}

TEST_F(FlowTest, DataInLandsAtItsOffsetsWhateverItsOrderSizeOrExcess) {
    struct Case {
        const char* name;
        bool statusInDataIn;
        std::vector<uint32_t> sizes;
        bool reversed;
        uint32_t pastEnd;
    } cases[] = {
        {"in order, status separate", false, {}, false, 0},
        {"reversed 4 KiB pieces", true, {4096}, true, 0},
        {"odd sizes with padding", true, {1001, 3, 517}, false, 0},
        {"a PDU past the buffer", true, {4096}, false, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tgt::TargetConfig config;
        config.statusInDataIn = c.statusInDataIn;
        config.faults.dataInSizes = c.sizes;
        config.faults.dataInReversed = c.reversed;
        config.faults.dataInPastEnd = c.pastEnd;
        if (target_) {
            (void)iscsiCoreDeleteSession(handle_);
            target_->stop();
        }
        start(config);
        std::vector<uint8_t> pattern(16384);
        for (size_t i = 0; i < pattern.size(); i++) {
            pattern[i] = uint8_t(i * 7 + i / 512);
        }
        ASSERT_TRUE(target().lun(0)->write(512, pattern));
        Io& rd = read10(1, 32);
        ASSERT_EQ(run(rd, ISCSI_DIR_READ), 0);
        EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), rd.buffer.begin()));
        EXPECT_TRUE(rd.guardIntact());
        Io& next = io(0, {0x00, 0, 0, 0, 0, 0});
        EXPECT_EQ(run(next, ISCSI_DIR_NONE), 0) << "the stream stays in step";
    }
}

// Answers scripted byte by byte: segments that do not fit, sense rules, the response that ends
// the loop, StatSN acceptance.
TEST_F(FlowTest, ScriptedAnswersArePlacedConsumedAndCheckedByTheRules) {
    start();
    struct Answer {
        const char* name;
        std::function<void(tgt::ScriptedPdu&)> script;
        ULONG length;   // bytes the read asks for
        bool noSense;   // SRB flag: auto-sense disabled
        UCHAR senseCap; // sense buffer length
        UCHAR scsiStatus, srbStatus;
        std::vector<uint8_t> placed; // expected start of the buffer
        size_t senseCopied;
        bool connectionEnds;
    };
    std::vector<uint8_t> sense18(20, 0);
    sense18[1] = 18;
    for (int i = 2; i < 20; i++) {
        sense18[i] = uint8_t(0x70 + i);
    }
    auto dataIn = [](tgt::ScriptedPdu& p, std::vector<uint8_t> d, uint32_t offset) {
        Pdu r(0xE5);
        r.tagOf(p).numbers(p, p.statSN).u8(1, 0x01).be32(40, offset).data(d);
        p.send(r.bytes);
        p.statSNUsed = 1;
    };
    auto response = [](tgt::ScriptedPdu& p, uint8_t status, uint8_t rsp, std::vector<uint8_t> seg,
                       uint32_t statSN) {
        Pdu r(0xE1);
        r.tagOf(p).numbers(p, statSN).u8(2, status).u8(3, rsp).data(seg);
        p.send(r.bytes);
        p.statSNUsed = 1;
    };
    std::vector<Answer> answers = {
        {"10 bytes for an 8-byte read",
         [&](auto& p) {
             dataIn(p, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0);
         },
         8,
         false,
         32,
         0,
         0,
         {1, 2, 3, 4, 5, 6, 7, 8},
         0,
         false},
        {"data at the buffer's end is dropped",
         [&](auto& p) {
             dataIn(p, {9, 9, 9, 9}, 8);
         },
         8,
         false,
         32,
         0,
         0,
         {0, 0, 0, 0, 0, 0, 0, 0},
         0,
         false},
        {"good status with a segment",
         [&](auto& p) {
             response(p, 0, 0, {1, 2, 3}, p.statSN);
         },
         8,
         false,
         32,
         0,
         0,
         {},
         0,
         false},
        {"18 bytes of sense, 32-byte buffer",
         [&](auto& p) { response(p, 2, 0, sense18, p.statSN); },
         8,
         false,
         32,
         2,
         0x80,
         {},
         18,
         false},
        {"18 bytes of sense, 14-byte buffer",
         [&](auto& p) { response(p, 2, 0, sense18, p.statSN); },
         8,
         false,
         14,
         2,
         0x80,
         {},
         14,
         false},
        {"auto-sense disabled",
         [&](auto& p) { response(p, 2, 0, sense18, p.statSN); },
         8,
         true,
         32,
         2,
         0x01,
         {},
         0,
         false},
        {"StatSN ahead by 5",
         [&](auto& p) {
             response(p, 0, 0, {}, p.statSN + 5);
             p.statSNUsed = 6;
         },
         8,
         false,
         32,
         0,
         0,
         {},
         0,
         false},
        {"CHECK CONDITION with response 0x80",
         [&](auto& p) { response(p, 2, 0x80, {}, p.statSN); },
         8,
         false,
         32,
         2,
         0,
         {},
         0,
         true},
    };
    for (Answer& a : answers) {
        SCOPED_TRACE(a.name);
        tgt::Faults faults;
        faults.script = a.script;
        target().setFaults(faults);
        Io& rd = io(a.length, rw10(0x28, 0, 1));
        rd.srb.SrbFlags = a.noSense ? SRB_FLAGS_DISABLE_AUTOSENSE : 0;
        rd.srb.SenseInfoBufferLength = a.senseCap;
        ASSERT_EQ(submit(rd, ISCSI_DIR_READ), 0);
        Completed c = done(rd);
        EXPECT_EQ(c.kind, Completed::Command);
        EXPECT_EQ(c.scsiStatus, a.scsiStatus);
        EXPECT_EQ(rd.srb.SrbStatus, a.srbStatus);
        EXPECT_TRUE(std::equal(a.placed.begin(), a.placed.end(), rd.buffer.begin()));
        EXPECT_TRUE(rd.guardIntact());
        EXPECT_TRUE(
            std::equal(rd.sense.begin(), rd.sense.begin() + a.senseCopied, sense18.begin() + 2));
        EXPECT_TRUE(std::all_of(rd.sense.begin() + a.senseCopied, rd.sense.end(),
                                [](UCHAR b) { return b == 0; }));
        target().setFaults({});
        Io& next = io(0, {0x00, 0, 0, 0, 0, 0});
        if (a.connectionEnds) {
            ASSERT_TRUE(eventually([&] { return session_->numActiveConnections == 0; }));
        } else {
            EXPECT_EQ(run(next, ISCSI_DIR_NONE), 0) << "the stream stays in step";
        }
    }
}

TEST_F(FlowTest, StatSNIsAcceptedAcrossTheWrapAndAStaleOneDropsTheConnection) {
    tgt::TargetConfig config;
    config.initialStatSN = 0xFFFFFFF8;
    start(config);
    for (int i = 0; i < 16; i++) {
        Io& r = io(0, {0x00, 0, 0, 0, 0, 0});
        ASSERT_EQ(run(r, ISCSI_DIR_NONE), 0) << i;
    }
    tgt::Faults faults;
    faults.repeatStatSN = true;
    target().setFaults(faults);
    Io& stale = io(0, {0x00, 0, 0, 0, 0, 0});
    ASSERT_EQ(submit(stale, ISCSI_DIR_NONE), 0);
    EXPECT_EQ(done(stale).kind, Completed::Reset) << "completed as its connection ended";
    EXPECT_TRUE(eventually([&] { return session_->numActiveConnections == 0; }));
}

TEST_F(FlowTest, TheWindowAndThePoolBoundWhatIsAccepted) {
    // A window of one command: the second, while the first waits, finds it closed.
    tgt::TargetConfig config;
    config.cmdWindow = 1;
    config.faults.withholdStatus = true;
    start(config);
    ASSERT_EQ(submit(io(0, {0x00, 0, 0, 0, 0, 0}), ISCSI_DIR_NONE), 0);
    ASSERT_TRUE(eventually([&] { return session_->pendCmdTable.count == 1u; }));
    Io& busy = io(0, {0x00, 0, 0, 0, 0, 0});
    EXPECT_EQ(run(busy, ISCSI_DIR_NONE), 0x08) << "a closed window answers BUSY";

    // 64 commands in flight take every command record; the 65th is refused.
    KIRQL old = iscsiLockSession(session_);
    session_->maxCmdSN = session_->cmdSN + 200; // as if the target opened its window
    iscsiUnlockSession(session_, old);
    ASSERT_TRUE(eventually([] { return freeCmdQ.count == 63u; })) << "the BUSY one's record back";
    for (int i = 1; i < ISCSI_CMD_POOL_SIZE; i++) {
        ASSERT_EQ(submit(io(0, {0x00, 0, 0, 0, 0, 0}), ISCSI_DIR_NONE), 0) << i;
    }
    ASSERT_TRUE(eventually([&] { return session_->pendCmdTable.count == 64u; }));
    EXPECT_EQ(submit(io(0, {0x00, 0, 0, 0, 0, 0}), ISCSI_DIR_NONE), ISCSI_FAILURE);
    EXPECT_EQ(iscsiCoreResetBus(handle_, 0, 0), TM_RESULT_DONE);
    for (size_t i = 0; i + 1 < ios_.size(); i++) {
        if (i != 1) {
            EXPECT_EQ(done(ios_[i]).kind, Completed::Reset) << i;
        }
    }
}

TEST_F(FlowTest, CommandsSpreadOverTwoConnectionsAndAnEndingOneTakesOnlyItsOwn) {
    tgt::TargetConfig config;
    config.faults.withholdStatus = true;
    start(config, 2);
    ASSERT_EQ(session_->numActiveConnections, 2u);
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(submit(io(0, {0x00, 0, 0, 0, 0, 0}), ISCSI_DIR_NONE), 0);
    }
    ASSERT_TRUE(eventually([&] { return session_->pendCmdTable.count == 4u; }));
    auto onFirst = sentOf(0, 0x01), onSecond = sentOf(1, 0x01);
    ASSERT_EQ(onFirst.size(), 2u);
    ASSERT_EQ(onSecond.size(), 2u);
    // CmdSN n goes to activeConnections[n mod 2].
    EXPECT_EQ(be32(onFirst[0].header, 24) % 2, be32(onFirst[1].header, 24) % 2);
    EXPECT_NE(be32(onFirst[0].header, 24) % 2, be32(onSecond[0].header, 24) % 2);

    ASSERT_TRUE(target().dropConnection(0));
    ASSERT_TRUE(eventually([&] { return session_->pendCmdTable.count == 2u; }));
    int reset = 0, pending = 0;
    for (auto& r : ios_) {
        auto c = completionOf(&r.srb, std::chrono::milliseconds(0));
        if (!c) {
            pending++;
            continue;
        }
        EXPECT_EQ(c->kind, Completed::Reset);
        reset++;
    }
    EXPECT_EQ(reset, 2) << "the dropped connection's two commands";
    EXPECT_EQ(pending, 2) << "the other connection's two commands still wait";
    EXPECT_EQ(session_->numActiveConnections, 1u);
}

TEST_F(FlowTest, EachR2TIsAnsweredByABurstCoveringItsRangeInsideTheBuffer) {
    start();
    struct R2T {
        uint32_t offset, length, ttt;
    };
    const R2T r2ts[] = {{0, 20000, 0xA1B2C3D4}, {16384, 8192, 0x01020304}, {20000, 100, 7}};
    int dataOuts = 0;
    tgt::Faults faults;
    faults.scriptOpcodes = {0x01, 0x05};
    faults.script = [&](tgt::ScriptedPdu& p) {
        if (p.header[0] == 0x01) {
            for (const R2T& r : r2ts) {
                Pdu pdu(0xF1);
                pdu.tagOf(p).numbers(p, p.statSN).be32(40, r.offset).be32(44, r.length);
                std::memcpy(pdu.bytes.data() + 20, &r.ttt, 4); // the bytes as they stand
                p.send(pdu.bytes);
            }
        } else if (++dataOuts == 4) {
            Pdu rsp(0xE1);
            rsp.tagOf(p).numbers(p, p.statSN);
            p.send(rsp.bytes);
            p.statSNUsed = 1;
        }
    };
    target().setFaults(faults);
    Io& wr = write10(0, 40, 3);
    wr.length = 20000;
    wr.srb.DataTransferLength = 20000;
    ASSERT_EQ(run(wr, ISCSI_DIR_WRITE), 0);
    auto outs = sentOf(0, 0x05);
    ASSERT_EQ(outs.size(), 4u) << "the R2T at the buffer's end gets nothing";
    struct Want {
        uint32_t offset, length, dataSN;
        uint8_t flags;
        uint32_t ttt;
    } want[] = {{0, 8192, 0, 0, 0xA1B2C3D4},
                {8192, 8192, 1, 0, 0xA1B2C3D4},
                {16384, 3616, 2, 0x80, 0xA1B2C3D4},
                {16384, 3616, 0, 0x80, 0x01020304}};
    for (int i = 0; i < 4; i++) {
        const auto& h = outs[i].header;
        EXPECT_EQ(be32(h, 40), want[i].offset) << i;
        EXPECT_EQ(outs[i].dataLength, want[i].length) << i;
        EXPECT_EQ(be32(h, 36), want[i].dataSN) << i;
        EXPECT_EQ(h[1], want[i].flags) << i;
        uint32_t ttt;
        std::memcpy(&ttt, h.data() + 20, 4);
        EXPECT_EQ(ttt, want[i].ttt) << i;
        EXPECT_TRUE(std::equal(outs[i].data.begin(), outs[i].data.end(),
                               wr.buffer.begin() + want[i].offset))
            << i;
    }
}
