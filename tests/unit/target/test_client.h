// A minimal initiator for the target's tests. It builds every request byte by byte at offsets of
// its own (the target's codec is not used), so the target is checked against an independent reading
// of the format; only the big-endian helpers come from the wire header.
#pragma once

#include "target/wire.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quevi::target::test {

using Bytes48 = std::array<std::uint8_t, 48>;
using namespace std::chrono_literals;

struct Pdu {
    Bytes48 h{};
    std::vector<std::uint8_t> data;
    std::uint8_t op() const { return h[0]; }
    std::uint8_t flags() const { return h[1]; }
    std::uint32_t length() const { return (std::uint32_t{h[5]} << 16) | (h[6] << 8) | h[7]; }
    std::uint32_t u32(std::size_t at) const { return getBe32(h, at); }
    std::uint16_t u16(std::size_t at) const { return getBe16(h, at); }
    std::uint32_t itt() const { return u32(16); }
    std::uint32_t statSN() const { return u32(24); }
    std::uint32_t expCmdSN() const { return u32(28); }
    std::uint32_t maxCmdSN() const { return u32(32); }
    std::string text() const { return std::string(data.begin(), data.end()); }
};

// "A=1", "B=2" → "A=1\0B=2\0"
std::string pairs(std::initializer_list<std::string_view> items);
std::span<const std::uint8_t> bytes(const std::string& s);

// Request headers.
Bytes48 loginRequest(std::uint16_t isid, std::uint16_t tsid, std::uint16_t cid, std::uint32_t itt,
                     std::uint32_t cmdSN, std::uint32_t length);
Bytes48 textRequest(std::uint8_t flags, std::uint32_t itt, std::uint32_t cmdSN,
                    std::uint32_t expStatSN, std::uint32_t length);
Bytes48 scsiCommand(std::uint8_t flags, std::uint8_t lun, std::uint32_t itt, std::uint32_t edtl,
                    std::uint32_t cmdSN, std::uint32_t expStatSN,
                    std::initializer_list<std::uint8_t> cdb, std::uint32_t immediate = 0);
Bytes48 dataOut(bool final, std::uint32_t itt, std::uint32_t ttt, std::uint32_t dataSN,
                std::uint32_t offset, std::uint32_t length);
Bytes48 nopOut(std::uint8_t opcode, bool wantAnswer, std::uint32_t itt, std::uint32_t ttt,
               std::uint32_t cmdSN, std::uint32_t length);

std::vector<std::uint8_t> read10(std::uint32_t lba, std::uint16_t blocks);
std::vector<std::uint8_t> write10(std::uint32_t lba, std::uint16_t blocks);

class Client {
public:
    Client() = default;
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connect(std::uint16_t port);
    void close();
    bool send(const Bytes48& h, std::span<const std::uint8_t> data = {});
    bool sendRaw(std::span<const std::uint8_t> bytes);
    // A Login request (TSID 0, CmdSN 1) or a Text request carrying `text`.
    bool sendLogin(std::uint16_t isid, std::uint16_t cid, std::uint32_t itt,
                   const std::string& text) {
        return send(loginRequest(isid, 0, cid, itt, 1, static_cast<std::uint32_t>(text.size())),
                    bytes(text));
    }
    bool sendText(std::uint8_t flags, std::uint32_t itt, std::uint32_t cmdSN,
                  std::uint32_t expStatSN, const std::string& text) {
        return send(
            textRequest(flags, itt, cmdSN, expStatSN, static_cast<std::uint32_t>(text.size())),
            bytes(text));
    }
    std::optional<Pdu> receive(std::chrono::milliseconds timeout = 5s);
    // True when the target closed the connection (EOF or reset) within the time.
    bool waitClosed(std::chrono::milliseconds timeout = 5s);

    // Whole login: Login request, one negotiation Text exchange with `offer`, closing exchange.
    // Returns false (and leaves the last PDU in `last`) when the target refuses.
    bool login(const std::string& target, std::uint16_t isid = 0x1234, std::uint16_t tsid = 0,
               const std::string& offer = "");

    // One command with data in; returns the data as placed by offset, and the status.
    struct Result {
        bool ok = false;
        std::uint8_t status = 0xFF;
        std::vector<std::uint8_t> data;
        std::vector<std::uint8_t> sense;
        std::vector<Pdu> pdus;
    };
    Result command(std::uint8_t lun, std::vector<std::uint8_t> cdb, std::uint32_t edtl, bool read);
    // One write: immediate data as the target's ImmediateData allows (first `immediate` bytes),
    // the rest in answer to R2Ts in Data-Outs of at most `pduSize` bytes.
    Result write(std::uint8_t lun, std::vector<std::uint8_t> cdb,
                 std::span<const std::uint8_t> data, std::uint32_t immediate,
                 std::uint32_t pduSize = 8192);
    // TEST UNIT READY on LUN 0.
    Result testUnitReady() { return command(0, {0x00, 0, 0, 0, 0, 0}, 0, false); }

    std::uint32_t nextItt() { return itt_++; }
    std::uint32_t takeCmdSN() { return cmdSN_++; }
    std::uint32_t expStatSN() const { return expStatSN_; }
    void noteStatSN(std::uint32_t s) { expStatSN_ = s + 1; }

    Pdu last;
    std::uint16_t tsid = 0;
    std::uint16_t cid = 1;
    std::string initiator = "iqn.test:client";

private:
    int fd_ = -1;
    std::uint32_t itt_ = 0x100;
    std::uint32_t cmdSN_ = 1;
    std::uint32_t expStatSN_ = 0;
};

} // namespace quevi::target::test
