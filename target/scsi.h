// SCSI command set of the target's logical units: decides from a CDB what a command does
// (status only, generated data, a read or a write of a byte range) and builds the generated data
// and the fixed-format sense. Performs no I/O itself.
#pragma once

#include "target/lun.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace quevi::target {

inline constexpr std::uint8_t kStatusGood = 0x00;
inline constexpr std::uint8_t kStatusCheckCondition = 0x02;
inline constexpr std::uint8_t kStatusBusy = 0x08;

inline constexpr std::uint8_t kSenseIllegalRequest = 0x05;
inline constexpr std::uint8_t kSenseMediumError = 0x03;
inline constexpr std::uint8_t kSenseAbortedCommand = 0x0B;
inline constexpr std::uint8_t kAscInvalidOpcode = 0x20;
inline constexpr std::uint8_t kAscLbaOutOfRange = 0x21;
inline constexpr std::uint8_t kAscInvalidFieldInCdb = 0x24;
inline constexpr std::uint8_t kAscLunNotSupported = 0x25;

inline constexpr std::size_t kSenseLength = 18;
inline constexpr std::size_t kMaxLuns = 64;
inline constexpr std::size_t kMaxGeneratedData = 1024;

inline constexpr std::uint8_t kAscUnrecoveredReadError = 0x11;

struct Sense {
    std::uint8_t key = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    // The information field (a medium error's first bad LBA); sent with the VALID bit set when
    // present and within its 32 bits.
    std::optional<std::uint64_t> information;
};

// Fixed-format sense data (response code 0x70).
std::array<std::uint8_t, kSenseLength> fixedSense(const Sense& s);

struct ScsiPlan {
    enum class Kind { Status, Data, Read, Write };
    Kind kind = Kind::Status;
    std::uint8_t status = kStatusGood;
    bool hasSense = false;
    Sense sense;
    bool flush = false; // SYNCHRONIZE CACHE: flush the store, then report status
    // Kind::Data: generated data, already cut to the CDB's allocation length.
    std::array<std::uint8_t, kMaxGeneratedData> data{};
    std::uint32_t dataLength = 0;
    // Kind::Read / Kind::Write: byte range of the store.
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

// `luns[n]` is LUN n, or null where no unit exists. A discovery session passes an empty span:
// it sees no units.
void planScsi(std::span<const std::uint8_t, 16> cdb, std::uint16_t lun,
              std::span<LunStore* const> luns, ScsiPlan& plan);

} // namespace quevi::target
