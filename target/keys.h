// Login and text keys: the NUL-separated key=value codec, the table of the 18 operational keys
// the initiator negotiates, and the per-session negotiator that answers offered keys by a
// configurable policy and tracks the values both sides end up with.
//
// A text is taken or refused as a whole. A text that carries one key twice is refused, whatever
// the two values; both sides of the wire follow the same rule:
//   - login phase (the Login request's text and the Text requests before the closing exchange):
//     the login ends; the target answers a Login response with status 2 (initiator error), final
//     bit set, and closes the connection;
//   - full feature phase: a Text request carrying a key twice is answered with a Reject (reason
//     0x09, invalid field, the request's header as its data) and otherwise ignored; no key of it
//     is applied and no Text response follows.
// A malformed text (a pair without "=", an empty or over-long key or value, too many pairs) is
// refused the same way.
//
// Values. Every value is a 16-bit number on the initiator's side: numbers are 0 to 65535 (some
// keys have a least value, see KeyInfo), booleans yes/no, names an index into the key's table.
// An offered value that does not read, or reads outside the key's range, is answered "reject"
// and the key keeps its default, as the initiator does on "reject". Otherwise the answer is the
// value the target holds afterwards, written the way the initiator writes it ("0x10" is
// answered "16"). A configured answer (KeyAction::Value) goes out as configured, so that an
// initiator can be tried against any answer; the target then holds the value the key's rule
// gives when that answer reads, and keeps its previous value when it does not.
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

enum class TextFault { None, Malformed, DuplicateKey };

// Splits wire text (pairs each ended by a NUL; empty strings between them are skipped) into
// pairs. Refuses (nullopt, with the reason in `fault`) a pair without "=", an empty key, an
// over-long key or value, more than kMaxPairs pairs, or a key given twice.
std::optional<std::vector<KeyValue>> parseTextPairs(std::span<const std::uint8_t> text,
                                                    TextFault* fault = nullptr);

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
    std::uint16_t least = 0; // numbers: the smallest value that means something (a count of 0
                             // connections, PDU units or R2Ts does not)
};

const std::array<KeyInfo, kKeyCount>& keyTable();
std::optional<std::size_t> findKey(std::string_view name);

// Reads a value the way the initiator writes it: decimal or 0x-hex numbers (first non-zero of a
// comma list), yes/no, or a name from the key's table. nullopt when it does not read or lies
// outside the key's range.
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
