// SHA-256 (FIPS 180-4), for the digests of data written and read back.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace quevi::tool {

std::array<uint8_t, 32> sha256(std::span<const uint8_t> data);
std::string sha256Hex(std::span<const uint8_t> data);
std::string toHex(std::span<const uint8_t> data);

} // namespace quevi::tool
