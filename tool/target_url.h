// Target addresses as people type them: quevi://ADDR[:PORT]/TARGETNAME[/LUN], and the login
// string they stand for.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quevi::tool {

constexpr uint16_t kDefaultIscsiPort = 3260;
constexpr unsigned kMaxLun = 7; // LUNs a bus scan looks at

struct TargetUrl {
    uint32_t address = 0; // IPv4, first octet most significant
    uint16_t port = kDefaultIscsiPort;
    std::string targetName;
    uint8_t lun = 0;
    bool lunGiven = false; // the URL names a LUN (else `lun` is 0, the default)
};

// Whether `text` is meant as a URL (it names a scheme), as opposed to a file name.
bool looksLikeUrl(const std::string& text);

// Reads a URL; nullopt with a message saying what is wrong. ADDR is an IPv4 dotted quad (no name
// look-ups), PORT 1 to 65535, LUN 0 to 7; the target name keeps to the characters of iSCSI names
// (letters, digits, '.', '-', ':'), so it cannot carry further login keys.
std::optional<TargetUrl> parseTargetUrl(const std::string& text, std::string& error);

// Whether a name keeps to the characters of iSCSI names; a message when it does not.
bool checkIscsiName(const std::string& name, const std::string& what, std::string& error);

// A stable initiator name for this host: the quevi prefix and the host name in iSCSI characters.
std::string defaultInitiatorName();

// Data segments of up to 256 KiB (units of 512 bytes); the target may answer with less.
constexpr unsigned kOfferedDataPduLength = 512;

// The login string for the URL's target: the names and the data segment length offered.
std::string loginFor(const TargetUrl& url, const std::string& initiatorName);

} // namespace quevi::tool
