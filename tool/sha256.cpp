#include "tool/sha256.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace quevi::tool {

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr ||
        EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(context_), EVP_sha256(), nullptr) != 1) {
        std::abort(); // only when out of memory
    }
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(context_));
}

void Sha256::update(std::span<const uint8_t> data) {
    EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(context_), data.data(), data.size());
}

void Sha256::copyFrom(const Sha256& other) {
    if (EVP_MD_CTX_copy_ex(static_cast<EVP_MD_CTX*>(context_),
                           static_cast<const EVP_MD_CTX*>(other.context_)) != 1) {
        std::abort(); // only when out of memory
    }
}

std::string Sha256::finishHex() {
    std::array<uint8_t, 32> digest{};
    unsigned int length = 0;
    auto* context = static_cast<EVP_MD_CTX*>(context_);
    EVP_DigestFinal_ex(context, digest.data(), &length);
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    return toHex(digest);
}

std::array<uint8_t, 32> sha256(std::span<const uint8_t> data) {
    std::array<uint8_t, 32> digest{};
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return digest;
}

std::string toHex(std::span<const uint8_t> data) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(data.size() * 2);
    for (uint8_t b : data) {
        out.push_back(digits[b >> 4]);
        out.push_back(digits[b & 0xF]);
    }
    return out;
}

std::string sha256Hex(std::span<const uint8_t> data) {
    return toHex(sha256(data));
}

} // namespace quevi::tool
