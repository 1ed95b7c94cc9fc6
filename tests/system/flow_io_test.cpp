// Reads, writes and commands without data through the engine against the target: the PDUs the
// initiator sends, byte for byte where it matters, and where the target's answers land.
#include "flow_fixture.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <unistd.h>

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
    Io& noData = tur();
    Io& wr = write10(8, 40, 7); // 20480 bytes: 8192 immediate, the rest by R2T
    Io& rd = read10(8, 40);
    ASSERT_EQ(run(noData, ISCSI_DIR_NONE), 0);
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
    uint32_t firstCmdSN = getBe32(cmds[0].header, 24);
    for (size_t i = 0; i < 3; i++) {
        const auto& h = cmds[i].header;
        EXPECT_EQ(h[1], want[i].flags) << i;
        EXPECT_EQ(cmds[i].dataLength, want[i].immediate) << i;
        EXPECT_EQ(getBe32(h, 20), want[i].expected) << i;
        EXPECT_EQ(getBe32(h, 24), firstCmdSN + i) << "CmdSN " << i;
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
        EXPECT_EQ(getBe32(h, 24), 0u) << "no CmdSN in a Data-Out";
        EXPECT_EQ(getBe32(h, 36), i);
        EXPECT_EQ(getBe32(h, 40), offsets[i]);
        EXPECT_TRUE(
            std::equal(outs[i].data.begin(), outs[i].data.end(), wr.buffer.begin() + offsets[i]));
    }
    EXPECT_EQ(getBe32(outs[0].header, 20), getBe32(outs[1].header, 20)) << "one transfer tag";
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
        {"a PDU of 0x012345 bytes", true, {0x12345}, false, 0},
    };
    // A file LUN's data leaves from the page cache, a memory LUN's from a buffer: both ways.
    std::string file = testing::TempDir() + "quevi-flow-lun-" + std::to_string(getpid());
    for (bool fromFile : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (fromFile ? ", file LUN" : ", memory LUN"));
            tgt::TargetConfig config;
            if (fromFile) {
                std::ofstream(file, std::ios::binary | std::ios::trunc).put(0);
                std::filesystem::resize_file(file, 1 << 20);
                config.luns = {file};
            }
            config.statusInDataIn = c.statusInDataIn;
            config.faults.dataInSizes = c.sizes;
            config.faults.dataInReversed = c.reversed;
            config.faults.dataInPastEnd = c.pastEnd;
            start(config);
            std::vector<uint8_t> bytes = pattern(81920, 9);
            ASSERT_TRUE(target().lun(0)->write(512, bytes));
            Io& rd = read10(1, 160);
            ASSERT_EQ(run(rd, ISCSI_DIR_READ), 0);
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), rd.buffer.begin()));
            EXPECT_TRUE(rd.guardIntact());
            EXPECT_EQ(run(tur(), ISCSI_DIR_NONE), 0) << "the stream stays in step";
        }
    }
    // A file shrunk under the target: what lies past its end reads as zeros, in step.
    std::filesystem::resize_file(file, 512 + 4096);
    Io& rd = read10(1, 160);
    ASSERT_EQ(run(rd, ISCSI_DIR_READ), 0);
    std::vector<uint8_t> bytes = pattern(81920, 9);
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 4096, rd.buffer.begin()));
    EXPECT_TRUE(std::all_of(rd.buffer.begin() + 4096, rd.buffer.begin() + 81920,
                            [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(run(tur(), ISCSI_DIR_NONE), 0) << "the stream stays in step";
    std::filesystem::remove(file);
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
    auto data = [](std::vector<uint8_t> d, uint32_t at) {
        return [=](tgt::ScriptedPdu& p) {
            Pdu(0xE5).tagOf(p).numbers(p, p.statSN).u8(1, 0x01).be32(40, at).data(d).answer(p);
        };
    };
    auto status = [](uint8_t st, uint8_t rsp, std::vector<uint8_t> seg, uint32_t ahead = 0) {
        return [=](tgt::ScriptedPdu& p) {
            Pdu(0xE1)
                .tagOf(p)
                .numbers(p, p.statSN + ahead)
                .u8(2, st)
                .u8(3, rsp)
                .data(seg)
                .answer(p);
            p.statSNUsed += ahead;
        };
    };
    // clang-format off
    std::vector<Answer> answers = {
        {"10 bytes for an 8-byte read", data({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 0), 8, false, 32, 0, 0,
         {1, 2, 3, 4, 5, 6, 7, 8}, 0, false},
        {"data at the buffer's end is dropped", data({9, 9, 9, 9}, 8), 8, false, 32, 0, 0,
         {0, 0, 0, 0, 0, 0, 0, 0}, 0, false},
        {"good status with a segment", status(0, 0, {1, 2, 3}), 8, false, 32, 0, 0, {}, 0, false},
        {"18 bytes of sense, 32-byte buffer", status(2, 0, sense18), 8, false, 32, 2, 0x80, {}, 18, false},
        {"18 bytes of sense, 14-byte buffer", status(2, 0, sense18), 8, false, 14, 2, 0x80, {}, 14, false},
        {"auto-sense disabled", status(2, 0, sense18), 8, true, 32, 2, 0x01, {}, 0, false},
        {"StatSN ahead by 5", status(0, 0, {}, 5), 8, false, 32, 0, 0, {}, 0, false},
        {"CHECK CONDITION with response 0x80", status(2, 0x80, {}), 8, false, 32, 2, 0, {}, 0, true},
    };
    // clang-format on
    for (Answer& a : answers) {
        SCOPED_TRACE(a.name);
        ULONG ended = endings();
        script({0x01}, a.script);
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
        if (a.connectionEnds) {
            // Its receive loop ends (the session may log the connection in again at once).
            ASSERT_TRUE(endedSince(ended));
        } else {
            EXPECT_EQ(run(tur(), ISCSI_DIR_NONE), 0) << "the stream stays in step";
        }
    }
}

// A last Data-In's status vouches for its data: a read whose data did not all arrive (its
// connection ended under it, as a bus reset from another connection does) or was never read (the
// PDU was out of order) ends as its connection's, to be tried again, not as a good read.
TEST_F(FlowTest, AReadWhoseLastDataInWasNotReadWholeIsNotGood) {
    start();
    for (uint32_t behind : {0u, 1u}) { // cut short by the connection's end; StatSN behind
        ULONG ended = endings();
        size_t live = target().connectionCount() - 1;
        script({0x01}, [&](tgt::ScriptedPdu& p) {
            Pdu d(0xE5);
            d.tagOf(p).numbers(p, p.statSN - behind).u8(1, 0x01).data(pattern(4096, 3));
            d.bytes.resize(behind ? d.bytes.size() : 48 + 1000);
            if (p.send(d.bytes) && !behind) {
                target().dropConnection(live);
            }
        });
        Io& rd = read10(0, 8);
        ASSERT_EQ(submit(rd, ISCSI_DIR_READ), 0);
        EXPECT_EQ(done(rd).kind, Completed::Reset) << behind;
        ASSERT_TRUE(endedSince(ended));
        target().setFaults({});
        ASSERT_TRUE(reconnectByWork());
    }
}

TEST_F(FlowTest, StatSNWindowAndPoolBoundWhatIsAccepted) {
    tgt::TargetConfig config;
    config.initialStatSN = 0xFFFFFFF8;
    start(config);
    for (int i = 0; i < 16; i++) {
        ASSERT_EQ(run(tur(), ISCSI_DIR_NONE), 0) << i;
    }
    tgt::Faults faults;
    faults.repeatStatSN = true;
    target().setFaults(faults);
    ULONG ended = endings();
    Io& stale = tur();
    ASSERT_EQ(submit(stale, ISCSI_DIR_NONE), 0);
    EXPECT_EQ(done(stale).kind, Completed::Reset) << "completed as its connection ended";
    EXPECT_TRUE(endedSince(ended));

    // A window of one command: the second, while the first waits, finds it closed.
    config = {};
    config.cmdWindow = 1;
    config.faults.withholdStatus = true;
    start(config);
    size_t first = ios_.size();
    ASSERT_EQ(submit(tur(), ISCSI_DIR_NONE), 0);
    ASSERT_TRUE(eventually([&] { return session_->pendCmdTable.count == 1u; }));
    EXPECT_EQ(run(tur(), ISCSI_DIR_NONE), 0x08) << "a closed window answers BUSY";

    // 64 commands in flight take every command record; the 65th is refused.
    KIRQL old = iscsiLockSession(session_);
    session_->maxCmdSN = session_->cmdSN + 200; // as if the target opened its window
    iscsiUnlockSession(session_, old);
    ASSERT_TRUE(eventually([] { return freeCmdQ.count == 63u; })) << "the BUSY one's record back";
    for (int i = 1; i < ISCSI_CMD_POOL_SIZE; i++) {
        ASSERT_EQ(submit(tur(), ISCSI_DIR_NONE), 0) << i;
    }
    ASSERT_TRUE(eventually([&] { return session_->pendCmdTable.count == 64u; }));
    EXPECT_EQ(submit(tur(), ISCSI_DIR_NONE), ISCSI_FAILURE);
    EXPECT_EQ(iscsiCoreResetBus(handle_, 0, 0), TM_RESULT_DONE);
    for (size_t i = first; i + 1 < ios_.size(); i++) {
        EXPECT_EQ(done(ios_[i]).kind, i == first + 1 ? Completed::Command : Completed::Reset);
    }
}

TEST_F(FlowTest, CommandsSpreadOverTwoConnectionsAndAnEndingOneTakesOnlyItsOwn) {
    tgt::TargetConfig config;
    config.faults.withholdStatus = true;
    start(config, 2);
    ASSERT_EQ(session_->numActiveConnections, 2u);
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(submit(tur(), ISCSI_DIR_NONE), 0);
    }
    ASSERT_TRUE(eventually([&] { return sentOf(0, 0x01).size() + sentOf(1, 0x01).size() == 4; }));
    auto onFirst = sentOf(0, 0x01), onSecond = sentOf(1, 0x01);
    ASSERT_EQ(onFirst.size(), 2u);
    ASSERT_EQ(onSecond.size(), 2u);
    // CmdSN n goes to activeConnections[n mod 2].
    EXPECT_EQ(getBe32(onFirst[0].header, 24) % 2, getBe32(onFirst[1].header, 24) % 2);
    EXPECT_NE(getBe32(onFirst[0].header, 24) % 2, getBe32(onSecond[0].header, 24) % 2);

    ASSERT_TRUE(target().dropConnection(0));
    ASSERT_TRUE(eventually([&] { return session_->pendCmdTable.count == 2u; }));
    // The dropped connection's two commands end; the other connection's two still wait.
    int reset = 0;
    for (auto& r : ios_) {
        auto c = completionOf(&r.srb, std::chrono::milliseconds(0));
        reset += c && c->kind == Completed::Reset;
    }
    EXPECT_EQ(reset, 2);
    EXPECT_EQ(session_->numActiveConnections, 1u);
}

TEST_F(FlowTest, EachR2TIsAnsweredByABurstCoveringItsRangeInsideTheBuffer) {
    start();
    struct R2T {
        uint32_t offset, length, ttt;
    };
    // The second asks for one byte past the end of the write.
    const R2T r2ts[] = {{0, 20000, 0xA1B2C3D4}, {16384, 3617, 0x01020304}, {20000, 100, 7}};
    int dataOuts = 0;
    script({0x01, 0x05}, [&](tgt::ScriptedPdu& p) {
        if (p.header[0] == 0x01) {
            for (const R2T& r : r2ts) {
                Pdu pdu(0xF1);
                pdu.tagOf(p).numbers(p, p.statSN).be32(40, r.offset).be32(44, r.length);
                std::memcpy(pdu.bytes.data() + 20, &r.ttt, 4); // the bytes as they stand
                pdu.answer(p, false);
            }
        } else if (++dataOuts == 4) {
            Pdu(0xE1).tagOf(p).numbers(p, p.statSN).answer(p);
        }
    });
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
        EXPECT_EQ(getBe32(h, 40), want[i].offset) << i;
        EXPECT_EQ(outs[i].dataLength, want[i].length) << i;
        EXPECT_EQ(getBe32(h, 36), want[i].dataSN) << i;
        EXPECT_EQ(h[1], want[i].flags) << i;
        uint32_t ttt;
        std::memcpy(&ttt, h.data() + 20, 4);
        EXPECT_EQ(ttt, want[i].ttt) << i;
        EXPECT_TRUE(std::equal(outs[i].data.begin(), outs[i].data.end(),
                               wr.buffer.begin() + want[i].offset))
            << i;
    }
}
