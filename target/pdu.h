// The target's PDU codec: decoded views of the requests an initiator sends and builders for the
// responses the target sends. Sequence numbers of responses (StatSN, ExpCmdSN, MaxCmdSN) are
// stamped separately at send time (stampSequence), since only the sender knows them then.
#pragma once

#include "target/wire.h"

#include <array>
#include <cstdint>

namespace quevi::target {

using Lun8 = std::array<std::uint8_t, 8>;

// Flag bits.
inline constexpr std::uint8_t kFlagFinal = 0x80;
inline constexpr std::uint8_t kFlagRead = 0x40;     // SCSI Command
inline constexpr std::uint8_t kFlagWrite = 0x20;    // SCSI Command
inline constexpr std::uint8_t kFlagContinue = 0x40; // Text response: more to come
inline constexpr std::uint8_t kFlagStatus = 0x01;   // Data-In carries status
inline constexpr std::uint8_t kFlagOverflow = 0x04; // residual bits of Data-In / SCSI Response
inline constexpr std::uint8_t kFlagUnderflow = 0x02;
inline constexpr std::uint8_t kFlagWantAnswer = 0x80; // NOP-In / NOP-Out

// Text request flags during login: negotiation (0x05) and the closing exchange (0x8D).
inline constexpr std::uint8_t kTextLoginNegotiate = 0x05;
inline constexpr std::uint8_t kTextLoginClose = 0x8D;
inline constexpr std::uint8_t kStageMask = 0x0F;

// Task management.
inline constexpr std::uint8_t kTmAbortTask = 0x01;
inline constexpr std::uint8_t kTmResponseDone = 0;
inline constexpr std::uint8_t kTmResponseNoTask = 1;
inline constexpr std::uint8_t kTmResponseNotSupported = 5;

// Reject reasons the target uses on its own (0x0F makes the initiator drop the connection and is
// only sent by fault injection).
inline constexpr std::uint8_t kRejectProtocolError = 0x04;
inline constexpr std::uint8_t kRejectNotSupported = 0x05;
inline constexpr std::uint8_t kRejectInvalidField = 0x09;
inline constexpr std::uint8_t kRejectDropConnection = 0x0F;

struct LoginRequest {
    std::uint8_t flags = 0;
    std::uint8_t versionMin = 0;
    std::uint8_t versionMax = 0;
    std::uint32_t dataLength = 0;
    std::uint16_t cid = 0;
    std::uint16_t isid = 0;
    std::uint16_t tsid = 0;
    std::uint32_t itt = 0;
    std::uint32_t cmdSN = 0;
};

struct TextRequest {
    std::uint8_t flags = 0;
    std::uint32_t dataLength = 0;
    std::uint32_t itt = 0;
    std::uint32_t cmdSN = 0;
    std::uint32_t expStatSN = 0;
    std::uint32_t continuationTag = 0; // bytes 40..43
};

struct ScsiCommand {
    std::uint8_t flags = 0;
    bool read = false;
    bool write = false;
    std::uint8_t taskAttributes = 0;
    std::uint32_t dataLength = 0; // immediate data
    Lun8 lun{};
    std::uint32_t itt = 0;
    std::uint32_t expectedLength = 0;
    std::uint32_t cmdSN = 0;
    std::uint32_t expStatSN = 0;
    std::array<std::uint8_t, kCdbSize> cdb{};
};

struct DataOut {
    bool final = false;
    std::uint32_t dataLength = 0;
    std::uint32_t itt = 0;
    std::uint32_t ttt = 0;
    std::uint32_t expStatSN = 0;
    std::uint32_t dataSN = 0;
    std::uint32_t bufferOffset = 0;
};

struct TaskManagementRequest {
    std::uint8_t function = 0; // without the final bit
    bool final = false;
    Lun8 lun{};
    std::uint32_t itt = 0;
    std::uint32_t referencedItt = 0;
    std::uint32_t cmdSN = 0;
    std::uint32_t expStatSN = 0;
    std::uint32_t referencedCmdSN = 0;
};

struct NopOut {
    bool answer = false; // opcode 0x40: answers a NOP-In of ours
    bool wantsAnswer = false;
    std::uint32_t dataLength = 0;
    Lun8 lun{};
    std::uint32_t itt = 0;
    std::uint32_t ttt = 0;
    std::uint32_t cmdSN = 0;
    std::uint32_t expStatSN = 0;
};

struct LogoutRequest {
    std::uint16_t cid = 0;
    std::uint8_t reason = 0;
    std::uint32_t itt = 0;
    std::uint32_t cmdSN = 0;
    std::uint32_t expStatSN = 0;
};

LoginRequest parseLogin(const Header& h);
TextRequest parseText(const Header& h);
ScsiCommand parseScsiCommand(const Header& h);
DataOut parseDataOut(const Header& h);
TaskManagementRequest parseTaskManagement(const Header& h);
NopOut parseNopOut(const Header& h);
LogoutRequest parseLogout(const Header& h);

// Lun decoded from its 8 bytes: the initiator puts the unit number in byte 1 (and, with flat
// addressing, high bits in byte 0).
std::uint16_t lunNumber(const Lun8& lun);
Lun8 lunBytes(std::uint16_t number);

struct LoginResponse {
    std::uint8_t opcode = kOpLoginResponse; // faults may change it
    bool final = false;
    std::uint8_t versionMin = 1;
    std::uint8_t versionMax = 2;
    std::uint32_t dataLength = 0;
    std::uint16_t isid = 0;
    std::uint16_t tsid = 0;
    std::uint32_t itt = 0;
    std::uint8_t status = 0;
};

struct TextResponse {
    bool final = false;
    bool more = false;
    std::uint32_t dataLength = 0;
    std::uint32_t itt = 0;
    std::uint8_t continuationTag = 0;
};

struct ScsiResponse {
    std::uint8_t status = 0;
    std::uint8_t response = 0;
    std::uint8_t residualFlags = 0;
    std::uint32_t residual = 0;
    std::uint32_t dataLength = 0;
    std::uint32_t itt = 0;
};

struct DataIn {
    bool final = false;
    bool hasStatus = false;
    std::uint8_t status = 0;
    std::uint8_t residualFlags = 0;
    std::uint32_t residual = 0;
    std::uint32_t dataLength = 0;
    Lun8 lun{};
    std::uint32_t itt = 0;
    std::uint32_t dataSN = 0;
    std::uint32_t bufferOffset = 0;
};

struct R2T {
    Lun8 lun{};
    std::uint32_t itt = 0;
    std::uint32_t ttt = 0;
    std::uint32_t r2tSN = 0;
    std::uint32_t bufferOffset = 0;
    std::uint32_t desiredLength = 0;
};

struct NopIn {
    bool wantsAnswer = false;
    std::uint32_t dataLength = 0;
    Lun8 lun{};
    std::uint32_t itt = kReservedTag;
    std::uint32_t ttt = kReservedTag;
};

struct AsyncMessage {
    std::uint8_t event = 0;
    std::array<std::uint8_t, 2> param1{}; // connection id as raw bytes
    std::uint16_t param2 = 0;
    std::uint16_t param3 = 0;
};

Header buildLoginResponse(const LoginResponse& r);
Header buildTextResponse(const TextResponse& r);
Header buildScsiResponse(const ScsiResponse& r);
Header buildDataIn(const DataIn& r);
Header buildR2T(const R2T& r);
Header buildTaskManagementResponse(std::uint32_t itt, std::uint8_t response);
Header buildNopIn(const NopIn& r);
Header buildAsyncMessage(const AsyncMessage& r);
Header buildLogoutResponse(std::uint32_t itt, std::uint8_t response);
Header buildReject(std::uint8_t reason, std::uint32_t dataLength);

// Writes StatSN, ExpCmdSN and MaxCmdSN into a response header.
void stampSequence(Header& h, std::uint32_t statSN, std::uint32_t expCmdSN, std::uint32_t maxCmdSN);

} // namespace quevi::target
