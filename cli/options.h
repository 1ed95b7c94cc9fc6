// Option values shared by the subcommands that load the driver: the target's address and the
// driver's registry parameters.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace CLI {
class App;
}

namespace quevi::cli {

// What the subcommands that attach a target by URL share: the session and the driver's settings.
struct SessionOptions {
    std::string initiatorName;
    unsigned connections = 1;
    std::vector<std::string> registry;
    unsigned timeout = 30;
};

// --initiator-name, --connections, --registry and --timeout into `options`.
void addSessionOptions(CLI::App* cmd, SessionOptions* options);

// Settles how every subcommand of `app` reads its words, once all are registered: each option
// takes exactly one value per use, however often it may be repeated, so that the words after it
// stay positional (`--registry Debug=1 read:0:8` is one parameter and one step); and `--` ends
// the options of the subcommand it stands in, even once its positionals have their least count.
void oneValuePerUse(CLI::App& app);

// "A.B.C.D[:PORT]" into a host-order address (first octet most significant) and a port (3260 when
// none is given). False with a message when it does not read.
bool parseTarget(const std::string& text, uint32_t& address, uint16_t& port, std::string& error);

// "NAME=VALUE" items (VALUE a number, decimal or 0x-hex) into registry values.
bool parseRegistry(const std::vector<std::string>& items,
                   std::vector<std::pair<std::string, uint32_t>>& values, std::string& error);

// The --login string: every value fits what the driver keeps of one. False with a message naming
// the key of a value that is too long.
bool checkLoginValues(const std::string& login, std::string& error);

// A byte count: decimal, optionally with a binary suffix K, M, G or T (e.g. 64M). False with a
// message naming `what` when it does not read.
bool parseByteCount(const std::string& text, const std::string& what, uint64_t& value,
                    std::string& error);

// The address as "A.B.C.D".
std::string addressText(uint32_t address);

} // namespace quevi::cli
