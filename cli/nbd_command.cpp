// `quevi nbd URL`: exports the URL's LUN, or every LUN of its target when it names none, over
// NBD. The work is nbdkit's with the quevi plugin (which runs the driver inside the nbdkit
// process); this command checks its options and replaces itself with nbdkit in the foreground, so
// SIGINT and SIGTERM stop nbdkit, whose cleanup shuts the driver down in order. NBD itself has no
// authentication, so a TCP port reachable from other machines needs TLS with a pre-shared key, or
// the user's explicit --insecure.
#include "cli/commands.h"
#include "cli/options.h"

#include "tool/target_url.h"

#include <CLI/CLI.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <iostream>

namespace quevi::cli {
namespace {

constexpr const char* kPluginName = "nbdkit-quevi-plugin.so";

struct NbdOptions : SessionOptions {
    std::string url;
    std::string socket;
    unsigned port = 0;
    std::string listen = "127.0.0.1";
    unsigned threads = 16;
    bool readOnly = false;
    bool verbose = false;
    std::string run;
    std::string tlsPsk; // nbdkit's PSK file: lines of USERNAME:HEXKEY
    bool insecure = false;
};

int usage(const std::string& message) {
    std::cerr << "quevi nbd: " << message << "\n";
    return kExitUsage;
}

// The plugin: QUEVI_NBD_PLUGIN, else beside the quevi program.
std::string pluginPath() {
    if (const char* path = std::getenv("QUEVI_NBD_PLUGIN")) {
        return path;
    }
    char self[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(".");
    return dir.substr(0, dir.rfind('/') + 1) + kPluginName;
}

int runNbd(const NbdOptions& options) {
    std::string error;
    if (!tool::parseTargetUrl(options.url, error)) {
        return usage(error);
    }
    if (options.socket.empty() == (options.port == 0)) {
        return usage("give one of --socket PATH and --port N");
    }
    if (options.port > 65535) {
        return usage("--port must be between 1 and 65535");
    }
    uint32_t address = 0;
    uint16_t ignored = 0;
    if (!parseTarget(options.listen, address, ignored, error) ||
        options.listen.find(':') != std::string::npos) {
        return usage("--listen needs an IPv4 address, got '" + options.listen + "'");
    }
    bool loopback = (address >> 24) == 127;
    if (options.socket.empty() && !loopback && options.tlsPsk.empty() && !options.insecure) {
        return usage("--listen " + options.listen +
                     " lets other machines reach the disks, and NBD has no authentication: "
                     "give --tls-psk FILE (TLS with a pre-shared key, lines of "
                     "USERNAME:HEXKEY), or --insecure to serve it without");
    }
    if (!options.tlsPsk.empty()) {
        struct stat info {};
        if (stat(options.tlsPsk.c_str(), &info) != 0 || access(options.tlsPsk.c_str(), R_OK) != 0) {
            return usage("--tls-psk " + options.tlsPsk + ": " + std::strerror(errno));
        }
        if (!S_ISREG(info.st_mode)) {
            return usage("--tls-psk " + options.tlsPsk + ": not a file");
        }
    }
    std::vector<std::pair<std::string, uint32_t>> registry;
    if (!parseRegistry(options.registry, registry, error)) {
        return usage(error);
    }
    if (!options.initiatorName.empty() &&
        !tool::checkIscsiName(options.initiatorName, "--initiator-name", error)) {
        return usage(error);
    }
    if (options.connections < 1 || options.connections > 8 || options.timeout < 1 ||
        options.timeout > 3600 || options.threads < 1 || options.threads > 64) {
        return usage("--connections must be 1 to 8, --timeout 1 to 3600, --threads 1 to 64");
    }
    std::string plugin = pluginPath();
    if (access(plugin.c_str(), R_OK) != 0) {
        std::cerr << "quevi nbd: the plugin " << plugin << " is missing (build it, or set "
                  << "QUEVI_NBD_PLUGIN)\n";
        return kExitFailure;
    }
    std::vector<std::string> args = {"nbdkit", "--foreground", "--threads",
                                     std::to_string(options.threads)};
    if (!options.socket.empty()) {
        args.insert(args.end(), {"--unix", options.socket});
    } else {
        args.insert(args.end(),
                    {"--port", std::to_string(options.port), "--ipaddr", options.listen});
    }
    if (!options.tlsPsk.empty()) {
        args.insert(args.end(), {"--tls=require", "--tls-psk=" + options.tlsPsk});
    }
    if (options.readOnly) {
        args.push_back("--readonly");
    }
    if (options.verbose) {
        args.push_back("--verbose");
    }
    if (!options.run.empty()) {
        args.insert(args.end(), {"--run", options.run});
    }
    args.insert(args.end(),
                {plugin, "url=" + options.url, "connections=" + std::to_string(options.connections),
                 "timeout=" + std::to_string(options.timeout)});
    if (!options.initiatorName.empty()) {
        args.push_back("initiator=" + options.initiatorName);
    }
    for (const std::string& item : options.registry) {
        args.push_back("registry=" + item);
    }
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    execvp("nbdkit", argv.data());
    std::cerr << "quevi nbd: cannot run nbdkit: " << std::strerror(errno)
              << " (scripts/bootstrap installs it)\n";
    return kExitFailure;
}

} // namespace

void addNbdCommand(CLI::App& app, Runner& runner) {
    auto options = std::make_shared<NbdOptions>();
    CLI::App* cmd = app.add_subcommand(
        "nbd", "Export a LUN, or every LUN of a target, over NBD through nbdkit and the quevi "
               "plugin, in the foreground");
    cmd->add_option("url", options->url,
                    "quevi://ADDR[:PORT]/TARGETNAME[/LUN]; without LUN every LUN of the target, "
                    "each the export named by its number (the default export: LUN 0)")
        ->required();
    cmd->add_option("--socket", options->socket, "Serve on this Unix socket");
    cmd->add_option("--port", options->port, "Serve on this TCP port");
    cmd->add_option("--listen", options->listen,
                    "Address the TCP port listens on (127.0.0.1); other than loopback only "
                    "with --tls-psk or --insecure");
    cmd->add_option("--tls-psk", options->tlsPsk,
                    "Require TLS with the pre-shared keys of this file (USERNAME:HEXKEY lines)");
    cmd->add_flag("--insecure", options->insecure,
                  "Allow --listen on an address other than loopback without TLS");
    addSessionOptions(cmd, options.get());
    cmd->add_option("--threads", options->threads, "nbdkit worker threads per connection (16)");
    cmd->add_flag("--readonly,-r", options->readOnly, "Refuse writes");
    cmd->add_flag("--verbose,-v", options->verbose, "nbdkit's debug messages");
    cmd->add_option("--run", options->run,
                    "Run this shell command with $uri (and $unixsocket) set, then stop");
    cmd->callback([options, &runner] { runner = [options] { return runNbd(*options); }; });
}

} // namespace quevi::cli
