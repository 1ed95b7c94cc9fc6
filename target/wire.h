// Wire format of the draft-iSCSI PDUs as the target reads and writes them: the 48-byte header,
// big-endian get/put helpers, opcode numbers, field offsets and the serial-number comparison.
// Every header field is read and written through these helpers; no struct overlays, no casts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace quevi::target {

inline constexpr std::size_t kHeaderSize = 48;
using Header = std::array<std::uint8_t, kHeaderSize>;

// Opcodes the initiator sends.
inline constexpr std::uint8_t kOpNopOut = 0x00;
inline constexpr std::uint8_t kOpNopOutAnswer = 0x40; // a NOP-Out that answers our NOP-In
inline constexpr std::uint8_t kOpScsiCommand = 0x01;
inline constexpr std::uint8_t kOpTaskManagement = 0x02;
inline constexpr std::uint8_t kOpLogin = 0x03;
inline constexpr std::uint8_t kOpText = 0x04;
inline constexpr std::uint8_t kOpDataOut = 0x05;
inline constexpr std::uint8_t kOpLogout = 0x06;

// Opcodes the target sends.
inline constexpr std::uint8_t kOpNopIn = 0xE0;
inline constexpr std::uint8_t kOpScsiResponse = 0xE1;
inline constexpr std::uint8_t kOpTaskManagementResponse = 0xE2;
inline constexpr std::uint8_t kOpLoginResponse = 0xE3;
inline constexpr std::uint8_t kOpTextResponse = 0xE4;
inline constexpr std::uint8_t kOpDataIn = 0xE5;
inline constexpr std::uint8_t kOpLogoutResponse = 0xE6;
inline constexpr std::uint8_t kOpR2T = 0xF1;
inline constexpr std::uint8_t kOpAsyncMessage = 0xF2;
inline constexpr std::uint8_t kOpReject = 0xFF;

// Common field offsets.
inline constexpr std::size_t kOffOpcode = 0;
inline constexpr std::size_t kOffFlags = 1;
inline constexpr std::size_t kOffDataLength = 5; // 24 bits at 5..7; byte 4 is not part of it
inline constexpr std::size_t kOffLun = 8;        // 8 bytes, copied as bytes
inline constexpr std::size_t kOffItt = 16;
inline constexpr std::size_t kOffWord20 = 20; // EDTL, TTT, referenced task tag, residual
inline constexpr std::size_t kOffCmdSN = 24;  // requests; StatSN in responses
inline constexpr std::size_t kOffStatSN = 24;
inline constexpr std::size_t kOffExpStatSN = 28; // requests; ExpCmdSN in responses
inline constexpr std::size_t kOffExpCmdSN = 28;
inline constexpr std::size_t kOffMaxCmdSN = 32; // responses; CDB starts here in a SCSI Command
inline constexpr std::size_t kOffCdb = 32;
inline constexpr std::size_t kCdbSize = 16;
inline constexpr std::size_t kOffWord36 = 36; // DataSN, response/status byte of several PDUs
inline constexpr std::size_t kOffBufferOffset = 40;
inline constexpr std::size_t kOffDesiredLength = 44; // R2T

// Login-specific offsets.
inline constexpr std::size_t kOffVersionMin = 2;
inline constexpr std::size_t kOffVersionMax = 3;
inline constexpr std::size_t kOffCid = 8;
inline constexpr std::size_t kOffIsid = 12;
inline constexpr std::size_t kOffTsid = 14;
inline constexpr std::size_t kOffLoginStatus = 36;

inline constexpr std::uint32_t kReservedTag = 0xFFFFFFFF;
inline constexpr std::uint32_t kMaxDataSegment = 0xFFFFFF; // largest 24-bit length

inline std::uint16_t getBe16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>((b[at] << 8) | b[at + 1]);
}
inline std::uint32_t getBe24(std::span<const std::uint8_t> b, std::size_t at) {
    return (std::uint32_t{b[at]} << 16) | (std::uint32_t{b[at + 1]} << 8) | b[at + 2];
}
inline std::uint32_t getBe32(std::span<const std::uint8_t> b, std::size_t at) {
    return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
           (std::uint32_t{b[at + 2]} << 8) | b[at + 3];
}
inline std::uint64_t getBe64(std::span<const std::uint8_t> b, std::size_t at) {
    return (std::uint64_t{getBe32(b, at)} << 32) | getBe32(b, at + 4);
}
inline void putBe16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 8);
    b[at + 1] = static_cast<std::uint8_t>(v);
}
inline void putBe24(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 16);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    b[at + 2] = static_cast<std::uint8_t>(v);
}
inline void putBe32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v >> 24);
    b[at + 1] = static_cast<std::uint8_t>(v >> 16);
    b[at + 2] = static_cast<std::uint8_t>(v >> 8);
    b[at + 3] = static_cast<std::uint8_t>(v);
}
inline void putBe64(std::span<std::uint8_t> b, std::size_t at, std::uint64_t v) {
    putBe32(b, at, static_cast<std::uint32_t>(v >> 32));
    putBe32(b, at + 4, static_cast<std::uint32_t>(v));
}

inline std::uint32_t dataSegmentLength(const Header& h) {
    return getBe24(h, kOffDataLength);
}

// Bytes a data segment of n bytes occupies on the wire (padded to a multiple of 4).
inline constexpr std::uint64_t paddedLength(std::uint64_t n) {
    return (n + 3) & ~std::uint64_t{3};
}

// Wrap-aware "a is ahead of b" for 32-bit sequence numbers, the same rule the initiator applies.
inline constexpr bool serialGreater(std::uint32_t a, std::uint32_t b) {
    return (a > b && (a < 0xEFFFFFFFu || b > 0x10000000u)) || (a < 0x10000000u && b > 0xEFFFFFFFu);
}

// Next CmdSN after n; 0 is never used as a CmdSN.
inline constexpr std::uint32_t nextCmdSN(std::uint32_t n) {
    return n + 1 == 0 ? 1 : n + 1;
}

} // namespace quevi::target
