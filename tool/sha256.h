// SHA-256 (FIPS 180-4), for the digests of data written and read back, on OpenSSL's
// implementation (which uses the processor's SHA instructions where there are some).
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace quevi::tool {

std::array<uint8_t, 32> sha256(std::span<const uint8_t> data);
std::string sha256Hex(std::span<const uint8_t> data);
std::string toHex(std::span<const uint8_t> data);

// A digest over data given in pieces.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::span<const uint8_t> data);
    // Becomes a copy of `other`, as far as it has got.
    void copyFrom(const Sha256& other);
    // The digest of everything given so far, in hex; the object starts over afterwards.
    std::string finishHex();

private:
    void* context_; // EVP_MD_CTX
};

} // namespace quevi::tool
