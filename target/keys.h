// Login and text keys: the NUL-separated key=value codec, the table of the 18 operational keys
// the initiator negotiates, and the per-session negotiator that answers offered keys by a
// configurable policy and tracks the values both sides end up with.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quevi::target {

inline constexpr std::size_t kMaxTextLength = 8192; // largest text data segment accepted
inline constexpr std::size_t kMaxPairs = 128;
inline constexpr std::size_t kMaxKeyLength = 256;
inline constexpr std::size_t kMaxValueLength = 1024;

struct KeyValue {
    std::string key;
    std::string value;
    bool operator==(const KeyValue&) const = default;
};

// Splits wire text (pairs each ended by a NUL; empty strings between them are skipped) into
// pairs. Refuses (nullopt) a pair without "=", an empty key, an over-long key or value, or more
// than kMaxPairs pairs.
std::optional<std::vector<KeyValue>> parseTextPairs(std::span<const std::uint8_t> text);

// Appends key=value and its terminating NUL to wire text.
void appendPair(std::string& text, std::string_view key, std::string_view value);

// The operational keys, in the order the initiator numbers them.
enum KeyIndex : std::size_t {
    kMaxConnections = 0,
    kInitialR2T = 1,
    kImmediateData = 3,
    kDataPDULength = 4,
    kMaxOutstandingR2T = 8,
    kAuthMethod = 14,
    kKeyCount = 18,
};

enum class KeyType { Number, Boolean, Name };
enum class Combine { TakeAnswer, Smaller, Larger };

struct KeyInfo {
    std::string_view name;
    KeyType type;
    std::uint16_t defaultValue;
    Combine combine;
};

const std::array<KeyInfo, kKeyCount>& keyTable();
std::optional<std::size_t> findKey(std::string_view name);

// Reads a value the way the initiator does: decimal or 0x-hex numbers (first non-zero of a comma
// list), yes/no, or a name from the key's table. nullopt when it does not read.
std::optional<std::uint16_t> readValue(std::size_t key, std::string_view value);
std::string writeValue(std::size_t key, std::uint16_t value);

// How the target answers one key.
enum class KeyAction {
    Accept,        // answer the initiator's value as offered
    Value,         // answer a configured value
    Query,         // answer "?"
    Reject,        // answer "reject"
    NotUnderstood, // answer "NotUnderstood"
};

struct KeyPolicy {
    KeyAction action = KeyAction::Accept;
    std::string value; // for KeyAction::Value
    // The action applies to the first `times` offers of the key; later offers are accepted.
    // 0 means every offer.
    unsigned times = 0;
};

using NegotiationPolicy = std::map<std::string, KeyPolicy, std::less<>>;

// Negotiation state of one session. Not thread-safe: the session serialises logins.
class Negotiator {
public:
    Negotiator();

    struct Answer {
        std::string text;  // wire text (NUL-separated pairs)
        bool open = false; // the initiator will have to offer something again
    };

    // Answers the offered pairs. InitiatorName and TargetName are carried, never answered.
    // Keys outside the table are answered NotUnderstood. With `disagree` every key is answered
    // "?", so the initiator has to offer it again.
    Answer answer(const std::vector<KeyValue>& offered, const NegotiationPolicy& policy,
                  bool disagree);

    // The session's value of a key as both sides now hold it.
    std::uint16_t value(std::size_t key) const { return values_[key]; }

private:
    std::array<std::uint16_t, kKeyCount> values_{};
    std::array<unsigned, kKeyCount> offers_{};
};

} // namespace quevi::target
