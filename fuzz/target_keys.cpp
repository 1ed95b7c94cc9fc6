// The target's key=value codec and negotiator, and the LUN size reader: the input's first byte
// picks a negotiation policy, the rest is a text as an initiator sends it (NUL-separated
// pairs), and also a LUN size as a user types it. Checks what the target promises: a text is
// taken or refused as a whole, its answers read back as wire text, every answer is "reject",
// "NotUnderstood", "?" or the value the target then holds, and held values stay in range.
#include "check.h"
#include "target/keys.h"
#include "target/lun.h"

#include <array>
#include <cstdint>
#include <set>
#include <string_view>

namespace {

using namespace quevi::target;

NegotiationPolicy policyFor(std::uint8_t choice) {
    NegotiationPolicy p;
    switch (choice % 4) {
    case 1:
        p["DataPDULength"] = {KeyAction::Value, "8"};
        p["MaxConnections"] = {KeyAction::Query, "", 1};
        p["LogoutLoginMaxTime"] = {KeyAction::Value, "2"};
        break;
    case 2:
        p["HeaderDigest"] = {KeyAction::Reject, ""};
        p["DataDigest"] = {KeyAction::NotUnderstood, ""};
        p["InitialR2T"] = {KeyAction::Value, "no"};
        break;
    case 3:
        p["DataPDULength"] = {KeyAction::Value, "0x10000"}; // an answer out of range, on purpose
        p["ImmediateData"] = {KeyAction::Value, "maybe"};
        break;
    default:
        break;
    }
    return p;
}

bool configured(const NegotiationPolicy& policy, std::string_view key) {
    return policy.find(key) != policy.end();
}

void checkAnswer(const Negotiator& n, const Negotiator::Answer& answer,
                 const NegotiationPolicy& policy) {
    std::span<const std::uint8_t> wire(reinterpret_cast<const std::uint8_t*>(answer.text.data()),
                                       answer.text.size());
    FUZZ_CHECK(answer.text.empty() || answer.text.back() == '\0');
    auto pairs = parseTextPairs(wire);
    FUZZ_CHECK(pairs);
    for (const KeyValue& kv : *pairs) {
        auto key = findKey(kv.key);
        if (!key)
            continue;
        if (kv.value == "reject") {
            FUZZ_CHECK(answer.open);
            continue;
        }
        if (kv.value == "NotUnderstood" || kv.value == "?" || configured(policy, kv.key))
            continue;
        auto held = readValue(*key, kv.value);
        FUZZ_CHECK(held && *held == n.value(*key)); // the answer is the value held
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    std::span<const std::uint8_t> text(data + 1, size - 1);
    std::string_view typed(reinterpret_cast<const char*>(text.data()), text.size());
    std::string why;
    if (auto bytes = parseLunSize(typed, &why))
        FUZZ_CHECK(*bytes >= kBlockSize && *bytes % kBlockSize == 0);
    else
        FUZZ_CHECK(!why.empty());

    TextFault fault;
    auto pairs = parseTextPairs(text, &fault);
    if (!pairs) {
        FUZZ_CHECK(fault != TextFault::None);
        return 0;
    }
    FUZZ_CHECK(pairs->size() <= kMaxPairs);
    std::set<std::string_view> keys;
    for (const KeyValue& kv : *pairs)
        FUZZ_CHECK(keys.insert(kv.key).second); // no key twice
    NegotiationPolicy policy = policyFor(data[0]);
    bool disagree = (data[0] & 4) != 0;
    Negotiator n;
    for (int round = 0; round < 2; ++round) { // a second offer meets the policy's `times`
        auto answer = n.answer(*pairs, policy, disagree);
        checkAnswer(n, answer, policy);
        for (std::size_t k = 0; k < kKeyCount; ++k) {
            std::uint16_t v = n.value(k);
            FUZZ_CHECK(v >= keyTable()[k].least);
            FUZZ_CHECK(readValue(k, writeValue(k, v)) == v);
        }
    }
    return 0;
}
