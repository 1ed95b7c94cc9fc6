// The subcommands of the `quevi` program. Each lives in its own file and registers itself on the
// application; when it is chosen on the command line it leaves the work to do in `runner`,
// which main() runs after parsing. Exit codes: 0 success, 1 failure at run time, 2 bad options.
#pragma once

#include <functional>

namespace CLI {
class App;
}

namespace quevi::cli {

using Runner = std::function<int()>;

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInterrupted = 130; // stopped by SIGINT or SIGTERM (128 + SIGINT)

// `quevi target`: serves the draft-iSCSI target until SIGINT or SIGTERM.
void addTargetCommand(CLI::App& app, Runner& runner);

// `quevi login`: logs one session in to a target and prints its state as JSON.
void addLoginCommand(CLI::App& app, Runner& runner);

// `quevi run`: adds one target through the configuration tool and runs steps on its bus.
void addRunCommand(CLI::App& app, Runner& runner);

// `quevi copy`: copies between a LUN and a file (or two LUNs) with progress and a digest.
void addCopyCommand(CLI::App& app, Runner& runner);

// `quevi nbd`: exports one LUN over NBD through nbdkit and the quevi plugin.
void addNbdCommand(CLI::App& app, Runner& runner);

// `quevi ls`: lists every target at an address and every LUN of each.
void addLsCommand(CLI::App& app, Runner& runner);

// `quevi demo`: the whole system in one process, with a short report.
void addDemoCommand(CLI::App& app, Runner& runner);

} // namespace quevi::cli
