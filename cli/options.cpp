#include "cli/options.h"

#include "driver/api/session.h"

#include <CLI/CLI.hpp>

#include <arpa/inet.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>

namespace quevi::cli {

bool parseTarget(const std::string& text, uint32_t& address, uint16_t& port, std::string& error) {
    std::string host = text;
    port = 3260;
    auto colon = text.find(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        std::string portText = text.substr(colon + 1);
        char* end = nullptr;
        unsigned long value = std::strtoul(portText.c_str(), &end, 10);
        if (portText.empty() || *end != '\0' || value == 0 || value > 65535) {
            error = "bad port in --target '" + text + "'";
            return false;
        }
        port = static_cast<uint16_t>(value);
    }
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1) {
        error = "--target needs an IPv4 address A.B.C.D[:PORT], got '" + text + "'";
        return false;
    }
    address = ntohl(a.s_addr);
    return true;
}

bool parseRegistry(const std::vector<std::string>& items,
                   std::vector<std::pair<std::string, uint32_t>>& values, std::string& error) {
    for (const std::string& item : items) {
        auto eq = item.find('=');
        if (eq == std::string::npos || eq == 0) {
            error = "--registry needs NAME=VALUE, got '" + item + "'";
            return false;
        }
        std::string value = item.substr(eq + 1);
        char* end = nullptr;
        unsigned long long number = std::strtoull(value.c_str(), &end, 0);
        if (value.empty() || value[0] == '-' || *end != '\0' || number > 0xFFFFFFFFull) {
            error = "--registry value of '" + item.substr(0, eq) + "' must be a number";
            return false;
        }
        values.emplace_back(item.substr(0, eq), static_cast<uint32_t>(number));
    }
    return true;
}

bool checkLoginValues(const std::string& login, std::string& error) {
    size_t start = 0;
    while (start < login.size()) {
        size_t end = login.find(';', start);
        std::string pair = login.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? login.size() : end + 1;
        size_t eq = pair.find('=');
        if (eq != std::string::npos && pair.size() - eq - 1 > MAX_VALUE_LENGTH) {
            error = "--login: the value of " + pair.substr(0, eq) + " is too long (" +
                    std::to_string(pair.size() - eq - 1) + " characters, at most " +
                    std::to_string(MAX_VALUE_LENGTH) + ")";
            return false;
        }
    }
    return true;
}

bool parseByteCount(const std::string& text, const std::string& what, uint64_t& value,
                    std::string& error) {
    error = what + " must be a byte count such as 4096 or 64M, got '" + text + "'";
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        digits++;
    }
    if (digits == 0 || digits > 15) {
        return false;
    }
    std::string suffix = text.substr(digits);
    const std::string units = "KMGT";
    int shift = 0;
    if (!suffix.empty()) {
        size_t unit = units.find(static_cast<char>(std::toupper(suffix[0])));
        if (unit == std::string::npos || !(suffix.size() == 1 || suffix.substr(1) == "iB")) {
            return false;
        }
        shift = 10 * static_cast<int>(unit + 1);
    }
    uint64_t number = std::stoull(text.substr(0, digits));
    if (shift > 0 && number > (UINT64_MAX >> shift)) {
        return false;
    }
    value = number << shift;
    error.clear();
    return true;
}

std::string addressText(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

void addSessionOptions(CLI::App* cmd, SessionOptions* options) {
    cmd->add_option("--initiator-name", options->initiatorName,
                    "InitiatorName (default: iqn.2001-04.org.quevi:HOSTNAME)");
    cmd->add_option("--connections", options->connections, "Connections of the session (1 to 8)");
    cmd->add_option("--registry", options->registry,
                    "Driver parameter NAME=VALUE under QueviSCSI\\Parameters (e.g. Debug=1)");
    cmd->add_option("--timeout", options->timeout, "Bound of every wait, in seconds (30)");
}

void oneValuePerUse(CLI::App& app) {
    for (CLI::App* cmd : app.get_subcommands([](CLI::App*) { return true; })) {
        for (CLI::Option* option : cmd->get_options()) {
            if (!option->get_positional()) {
                // A repeatable option (a list) otherwise goes on taking the words that follow.
                option->allow_extra_args(false);
            } else if (option->get_expected_max() >= CLI::detail::expected_max_vector_size) {
                // The parser hands a `--` back to the top level, where the words after it are
                // unexpected, once every positional has its least count; a positional that takes
                // any number of words keeps it here by never reaching its least count. All its
                // words are kept whatever their number (TakeAll), so no count is refused.
                constexpr int kAny = CLI::detail::expected_max_vector_size;
                option->expected(kAny, kAny)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
            }
        }
    }
}

} // namespace quevi::cli
