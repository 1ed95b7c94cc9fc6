#include "target/keys.h"

#include <algorithm>

namespace quevi::target {
namespace {

constexpr std::array<std::string_view, 6> kAuthMethods{"KRB5", "SPKM-1", "SPKM-2",
                                                       "SRP",  "CHAP",   "none"};
constexpr std::array<std::string_view, 2> kDigests{"none", "crc-32C"};

constexpr std::array<KeyInfo, kKeyCount> kKeys{{
    {"MaxConnections", KeyType::Number, 8, Combine::Smaller, 1},
    {"InitialR2T", KeyType::Boolean, 1, Combine::TakeAnswer},
    {"BidiInitialR2T", KeyType::Boolean, 1, Combine::TakeAnswer},
    {"ImmediateData", KeyType::Boolean, 1, Combine::TakeAnswer},
    {"DataPDULength", KeyType::Number, 16, Combine::Smaller, 1},
    {"FirstBurstSize", KeyType::Number, 128, Combine::Smaller},
    {"LogoutLoginMinTime", KeyType::Number, 1, Combine::Smaller},
    {"LogoutLoginMaxTime", KeyType::Number, 3, Combine::Larger},
    {"MaxOutstandingR2T", KeyType::Number, 8, Combine::Smaller, 1},
    {"EnableACA", KeyType::Boolean, 1, Combine::TakeAnswer},
    {"DataOrder", KeyType::Boolean, 1, Combine::TakeAnswer},
    {"CommandReplay", KeyType::Boolean, 0, Combine::TakeAnswer},
    {"BootSession", KeyType::Boolean, 0, Combine::TakeAnswer},
    {"CopyManagerSession", KeyType::Boolean, 0, Combine::TakeAnswer},
    {"AuthMethod", KeyType::Name, 5, Combine::TakeAnswer},
    {"DataDigest", KeyType::Name, 1, Combine::TakeAnswer},
    {"HeaderDigest", KeyType::Name, 1, Combine::TakeAnswer},
    {"SecurityContextComplete", KeyType::Boolean, 0, Combine::TakeAnswer},
}};

std::span<const std::string_view> namesOf(std::size_t key) {
    if (key == kAuthMethod)
        return kAuthMethods;
    return kDigests;
}

std::string_view trimLeft(std::string_view s) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    return s;
}

std::optional<std::uint16_t> readNumber(std::string_view v) {
    v = trimLeft(v);
    int base = 10;
    if (v.size() >= 2 && v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
        base = 16;
        v.remove_prefix(2);
    }
    std::uint32_t number = 0;
    bool any = false;
    for (char c : v) {
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c == ' ')
            continue;
        else if (c == ',') {
            if (number != 0)
                break;
            continue;
        } else
            return std::nullopt;
        any = true;
        number = number * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(digit);
        if (number > 0xFFFF)
            return std::nullopt; // wider than the initiator's 16 bits
    }
    if (!any)
        return std::nullopt;
    return static_cast<std::uint16_t>(number);
}

} // namespace

std::optional<std::vector<KeyValue>> parseTextPairs(std::span<const std::uint8_t> text,
                                                    TextFault* fault) {
    auto refuse = [&](TextFault why) {
        if (fault)
            *fault = why;
        return std::nullopt;
    };
    if (fault)
        *fault = TextFault::None;
    std::vector<KeyValue> pairs;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = pos;
        while (end < text.size() && text[end] != 0)
            ++end;
        if (end > pos) {
            std::string_view pair(reinterpret_cast<const char*>(text.data()) + pos, end - pos);
            std::size_t eq = pair.find('=');
            if (eq == std::string_view::npos || eq == 0 || eq > kMaxKeyLength ||
                pair.size() - eq - 1 > kMaxValueLength || pairs.size() == kMaxPairs)
                return refuse(TextFault::Malformed);
            std::string_view key = pair.substr(0, eq);
            if (std::any_of(pairs.begin(), pairs.end(),
                            [&](const auto& p) { return p.key == key; }))
                return refuse(TextFault::DuplicateKey);
            pairs.push_back({std::string(key), std::string(pair.substr(eq + 1))});
        }
        pos = end + 1;
    }
    return pairs;
}

void appendPair(std::string& text, std::string_view key, std::string_view value) {
    text.append(key);
    text.push_back('=');
    text.append(value);
    text.push_back('\0');
}

const std::array<KeyInfo, kKeyCount>& keyTable() {
    return kKeys;
}

std::optional<std::size_t> findKey(std::string_view name) {
    for (std::size_t i = 0; i < kKeys.size(); ++i)
        if (kKeys[i].name == name)
            return i;
    return std::nullopt;
}

std::optional<std::uint16_t> readValue(std::size_t key, std::string_view value) {
    value = trimLeft(value);
    switch (kKeys[key].type) {
    case KeyType::Number: {
        auto number = readNumber(value);
        if (!number || *number < kKeys[key].least)
            return std::nullopt;
        return number;
    }
    case KeyType::Boolean:
        if (value.starts_with("yes"))
            return 1;
        if (value.starts_with("no") && !value.starts_with("none"))
            return 0;
        return std::nullopt;
    case KeyType::Name: {
        auto names = namesOf(key);
        for (std::size_t i = 0; i < names.size(); ++i)
            if (value.starts_with(names[i]))
                return static_cast<std::uint16_t>(i);
        return std::nullopt;
    }
    }
    return std::nullopt;
}

std::string writeValue(std::size_t key, std::uint16_t value) {
    switch (kKeys[key].type) {
    case KeyType::Number:
        return std::to_string(value);
    case KeyType::Boolean:
        return value ? "yes" : "no";
    case KeyType::Name: {
        auto names = namesOf(key);
        return value < names.size() ? std::string(names[value]) : std::string("none");
    }
    }
    return {};
}

Negotiator::Negotiator() {
    for (std::size_t i = 0; i < kKeys.size(); ++i)
        values_[i] = kKeys[i].defaultValue;
}

Negotiator::Answer Negotiator::answer(const std::vector<KeyValue>& offered,
                                      const NegotiationPolicy& policy, bool disagree) {
    Answer out;
    for (const KeyValue& kv : offered) {
        if (kv.key == "InitiatorName" || kv.key == "TargetName")
            continue;
        auto index = findKey(kv.key);
        if (!index) {
            appendPair(out.text, kv.key, "NotUnderstood");
            continue;
        }
        std::size_t k = *index;
        const KeyInfo& info = kKeys[k];
        unsigned offer = ++offers_[k];
        std::optional<std::uint16_t> mine = readValue(k, kv.value);
        if (kv.value.find('?') != std::string::npos) {
            // The initiator asks for our value: state the one we hold.
            appendPair(out.text, kv.key, writeValue(k, values_[k]));
            continue;
        }
        if (disagree) {
            appendPair(out.text, kv.key, "?");
            out.open = true;
            continue;
        }
        KeyPolicy rule;
        if (auto it = policy.find(kv.key); it != policy.end())
            rule = it->second;
        if (rule.times != 0 && offer > rule.times)
            rule.action = KeyAction::Accept;
        if (!mine && rule.action != KeyAction::NotUnderstood)
            rule.action = KeyAction::Reject; // an offer outside the key's range is never taken
        switch (rule.action) {
        case KeyAction::Accept:
            values_[k] = *mine;
            appendPair(out.text, kv.key, writeValue(k, values_[k]));
            break;
        case KeyAction::Query:
            appendPair(out.text, kv.key, "?");
            out.open = true;
            break;
        case KeyAction::Reject:
            appendPair(out.text, kv.key, "reject");
            values_[k] = info.defaultValue;
            out.open = true;
            break;
        case KeyAction::NotUnderstood:
            appendPair(out.text, kv.key, "NotUnderstood");
            values_[k] = info.defaultValue;
            out.open = true;
            break;
        case KeyAction::Value: {
            appendPair(out.text, kv.key, rule.value);
            std::optional<std::uint16_t> theirs = readValue(k, rule.value);
            if (!theirs) {
                out.open = true;
                break;
            }
            std::uint16_t combined = *theirs;
            if (info.combine == Combine::Smaller)
                combined = std::min(*mine, *theirs);
            else if (info.combine == Combine::Larger)
                combined = std::max(*mine, *theirs);
            values_[k] = combined;
            // The initiator offers the key again when its combined value differs from ours.
            if (combined != *theirs)
                out.open = true;
            break;
        }
        }
    }
    return out;
}

} // namespace quevi::target
