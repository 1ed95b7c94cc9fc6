// The engine's command flow against the target: requests with guard bytes behind their buffers,
// a recording double of the completions, and a builder of the target-side PDUs a test's script
// sends where exact bytes matter.
#pragma once

#include "completion_double.h"
#include "system_fixture.h"

#include "driver/engine/receive.h"

#include <algorithm>
#include <deque>
#include <functional>

namespace systest {

constexpr UCHAR kGuard = 0xEE;
constexpr ULONG kGuardBytes = 64;

struct Io {
    SCSI_REQUEST_BLOCK srb{};
    std::vector<UCHAR> buffer; // length bytes, then kGuardBytes of kGuard
    std::vector<UCHAR> sense = std::vector<UCHAR>(32, 0);
    ULONG length = 0;
    bool guardIntact() const {
        return std::all_of(buffer.begin() + length, buffer.end(),
                           [](UCHAR b) { return b == kGuard; });
    }
};

// A PDU as a target sends it, written byte by byte.
struct Pdu {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(48, 0);
    explicit Pdu(uint8_t opcode) { bytes[0] = opcode; }
    Pdu& u8(int at, uint8_t v) {
        bytes[at] = v;
        return *this;
    }
    Pdu& be16(int at, uint16_t v) { return u8(at, uint8_t(v >> 8)).u8(at + 1, uint8_t(v)); }
    Pdu& be32(int at, uint32_t v) { return be16(at, uint16_t(v >> 16)).be16(at + 2, uint16_t(v)); }
    // The numbering of a response: StatSN, ExpCmdSN, MaxCmdSN.
    Pdu& numbers(const tgt::ScriptedPdu& p, uint32_t statSN) {
        return be32(24, statSN).be32(28, p.expCmdSN).be32(32, p.maxCmdSN);
    }
    // The initiator task tag of the request answered, as it came.
    Pdu& tagOf(const tgt::ScriptedPdu& p) {
        std::copy(p.header.begin() + 16, p.header.begin() + 20, bytes.begin() + 16);
        return *this;
    }
    // Sends the PDU as the answer of p, taking the next StatSN when it carries one.
    void answer(tgt::ScriptedPdu& p, bool takesStatSN = true) {
        p.send(bytes);
        p.statSNUsed += takesStatSN ? 1 : 0;
    }
    // A data segment: its length, then the bytes and zero padding.
    Pdu& data(const std::vector<uint8_t>& d) {
        be32(4, uint32_t(d.size()) & 0xFFFFFF);
        bytes.insert(bytes.end(), d.begin(), d.end());
        bytes.resize(bytes.size() + ((4 - d.size() % 4) % 4), 0);
        return *this;
    }
};

class FlowTest : public SystemTest {
protected:
    void TearDown() override {
        SystemTest::TearDown();
        checkEveryRequestCompletedOnce();
    }

    // Starts the target and a session of n connections on it (ending those of a former start).
    ISCSI_SESSION* start(tgt::TargetConfig config = {}, ULONG connections = 1) {
        if (target_) {
            (void)iscsiCoreDeleteSession(handle_);
            target_->stop();
        }
        config.cmdWindow = config.cmdWindow == 32 ? 128 : config.cmdWindow;
        startTarget(config);
        handle_ = createSession(connections);
        session_ = getSessionStruct(handle_);
        EXPECT_NE(session_, nullptr);
        return session_;
    }

    // The target hands the PDUs of these opcodes to the script from now on.
    void script(std::vector<uint8_t> opcodes, std::function<void(tgt::ScriptedPdu&)> fn,
                bool withholdStatus = false) {
        tgt::Faults faults;
        faults.script = std::move(fn);
        faults.scriptOpcodes = std::move(opcodes);
        faults.withholdStatus = withholdStatus;
        target().setFaults(faults);
    }

    // A request of `length` data bytes with the CDB given.
    Io& io(ULONG length, std::vector<UCHAR> cdb) {
        Io& r = ios_.emplace_back();
        r.length = length;
        r.buffer.assign(length + kGuardBytes, kGuard);
        std::fill(r.buffer.begin(), r.buffer.begin() + length, 0);
        std::copy(cdb.begin(), cdb.end(), r.srb.Cdb);
        r.srb.CdbLength = UCHAR(cdb.size());
        r.srb.DataBuffer = r.buffer.data();
        r.srb.DataTransferLength = length;
        r.srb.SenseInfoBuffer = r.sense.data();
        r.srb.SenseInfoBufferLength = UCHAR(r.sense.size());
        return r;
    }
    Io& tur() { return io(0, {0x00, 0, 0, 0, 0, 0}); }
    static std::vector<UCHAR> rw10(UCHAR op, ULONG lba, USHORT blocks) {
        return {op,         0, UCHAR(lba >> 24),   UCHAR(lba >> 16), UCHAR(lba >> 8),
                UCHAR(lba), 0, UCHAR(blocks >> 8), UCHAR(blocks),    0};
    }
    Io& read10(ULONG lba, USHORT blocks) { return io(blocks * 512u, rw10(0x28, lba, blocks)); }
    // Bytes that differ between any two offsets a short shift apart.
    static std::vector<UCHAR> pattern(ULONG n, UCHAR seed) {
        std::vector<UCHAR> p(n);
        for (ULONG i = 0; i < n; i++) {
            p[i] = UCHAR(seed + i + (i >> 9));
        }
        return p;
    }
    Io& write10(ULONG lba, USHORT blocks, UCHAR seed) {
        Io& r = io(blocks * 512u, rw10(0x2A, lba, blocks));
        std::vector<UCHAR> p = pattern(r.length, seed);
        std::copy(p.begin(), p.end(), r.buffer.begin());
        return r;
    }

    // Hands the request to the engine; the engine's answer (0 queued, -1 refused).
    int submit(Io& r, ULONG direction) {
        static const UCHAR lun0[8] = {};
        expectCompletion(&r.srb);
        int rc = iscsiCoreEnterCmdInQ(&r.srb, r.srb.Cdb, r.srb.CdbLength, handle_, lun0,
                                      r.buffer.data(), r.length, 0, direction, 0);
        if (rc != 0) {
            forgetRequest(&r.srb); // a refused request is the caller's to complete
        }
        return rc;
    }
    Completed done(Io& r) {
        auto c = completionOf(&r.srb);
        EXPECT_TRUE(c.has_value()) << "request did not complete";
        return c.value_or(Completed{Completed::TaskMan, 0xFF, 0, 0});
    }
    // Submits and waits: the SCSI status, or 0xFF for another kind of completion.
    UCHAR run(Io& r, ULONG direction) {
        EXPECT_EQ(submit(r, direction), 0);
        Completed c = done(r);
        return c.kind == Completed::Command ? c.scsiStatus : 0xFF;
    }

    // A session without connection comes back once new work arrives: commands until one of them
    // completes with a status (the first ones find no connection yet).
    // How often connection n's receive loop has ended so far. A connection ended since a count was
    // taken once the count has moved, whether or not the session has logged it in again since (it
    // may at once: the command thread reconnects on its next pass).
    ULONG endings(size_t n = 0) {
        KIRQL old = iscsiLockSession(session_);
        ULONG count = session_->connections[n].generation;
        iscsiUnlockSession(session_, old);
        return count;
    }
    bool endedSince(ULONG count, size_t n = 0) {
        return eventually([&] { return endings(n) != count; });
    }

    bool reconnectByWork() {
        return eventually([&] {
            Io& r = tur();
            return submit(r, ISCSI_DIR_NONE) == 0 && done(r).kind == Completed::Command;
        });
    }

    // The PDUs of one opcode the initiator sent on connection n.
    std::vector<tgt::RecordedPdu> sentOf(size_t n, uint8_t opcode) {
        std::vector<tgt::RecordedPdu> all = sent(n), out;
        std::copy_if(all.begin(), all.end(), std::back_inserter(out),
                     [&](const auto& p) { return p.opcode() == opcode; });
        return out;
    }

    ULONG handle_ = ISCSI_NO_SESSION;
    ISCSI_SESSION* session_ = nullptr;
    std::deque<Io> ios_;
};

} // namespace systest
