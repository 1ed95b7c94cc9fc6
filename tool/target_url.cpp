#include "tool/target_url.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <cctype>
#include <climits>

namespace quevi::tool {
namespace {

constexpr const char* kScheme = "quevi://";

bool iscsiChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == ':';
}

// A decimal number without sign or spaces, at most `most`.
std::optional<unsigned> decimal(const std::string& text, unsigned most) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > most) {
        return std::nullopt;
    }
    return value;
}

} // namespace

bool looksLikeUrl(const std::string& text) {
    return text.find("://") != std::string::npos;
}

bool checkIscsiName(const std::string& name, const std::string& what, std::string& error) {
    if (name.empty()) {
        error = what + " is empty";
        return false;
    }
    if (name.size() > 223) {
        error = what + " is longer than 223 characters";
        return false;
    }
    for (char c : name) {
        if (!iscsiChar(c)) {
            error = what + " '" + name +
                    "' has a character other than letters, digits, '.', '-' "
                    "and ':'";
            return false;
        }
    }
    return true;
}

std::optional<TargetUrl> parseTargetUrl(const std::string& text, std::string& error) {
    auto fail = [&](const std::string& why) -> std::optional<TargetUrl> {
        error = "'" + text + "': " + why;
        return std::nullopt;
    };
    size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string::npos) {
        return fail("not a URL; expected quevi://ADDR[:PORT]/TARGETNAME[/LUN]");
    }
    if (text.compare(0, schemeEnd + 3, kScheme) != 0) {
        return fail("unknown scheme '" + text.substr(0, schemeEnd) + "'; expected quevi://");
    }
    std::string rest = text.substr(schemeEnd + 3);
    size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    std::string path = slash == std::string::npos ? "" : rest.substr(slash + 1);
    if (authority.empty()) {
        return fail("missing address");
    }
    if (authority[0] == '[') {
        return fail("bad address '" + authority +
                    "' (IPv6 is not supported: an IPv4 address A.B.C.D)");
    }
    TargetUrl url;
    std::string host = authority;
    if (size_t colon = authority.find(':'); colon != std::string::npos) {
        host = authority.substr(0, colon);
        std::optional<unsigned> port = decimal(authority.substr(colon + 1), 65535);
        if (!port || *port == 0) {
            return fail("bad port '" + authority.substr(colon + 1) + "' (1 to 65535)");
        }
        url.port = static_cast<uint16_t>(*port);
    }
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1) {
        return fail("bad address '" + host + "' (an IPv4 address A.B.C.D)");
    }
    url.address = ntohl(a.s_addr);
    std::string name = path;
    if (size_t last = path.find('/'); last != std::string::npos) {
        name = path.substr(0, last);
        std::string lun = path.substr(last + 1);
        if (lun.find('/') != std::string::npos) {
            return fail("too many path parts; expected /TARGETNAME[/LUN]");
        }
        std::optional<unsigned> value = decimal(lun, UINT_MAX);
        if (!value) {
            return fail("LUN '" + lun + "' is not a number");
        }
        if (*value > kMaxLun) {
            return fail("LUN " + lun + " out of range (0 to " + std::to_string(kMaxLun) + ")");
        }
        url.lun = static_cast<uint8_t>(*value);
        url.lunGiven = true;
    }
    if (name.empty()) {
        return fail("missing target name");
    }
    std::string why;
    if (!checkIscsiName(name, "target name", why)) {
        return fail(why);
    }
    url.targetName = name;
    return url;
}

std::string defaultInitiatorName() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') {
        return "iqn.2001-04.org.quevi:localhost";
    }
    std::string name = "iqn.2001-04.org.quevi:";
    for (const char* p = host; *p != '\0'; p++) {
        char c = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
        name.push_back(iscsiChar(c) ? c : '-');
    }
    return name.substr(0, 223);
}

std::string loginFor(const TargetUrl& url, const std::string& initiatorName) {
    return "InitiatorName=" + initiatorName + ";TargetName=" + url.targetName +
           ";DataPDULength=" + std::to_string(kOfferedDataPduLength) + ";";
}

} // namespace quevi::tool
