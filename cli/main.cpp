// The `quevi` program: parses the command line and runs the chosen subcommand.
#include "cli/commands.h"
#include "cli/options.h"

#include <CLI/CLI.hpp>

#include <iostream>

int main(int argc, char** argv) {
    CLI::App app{"quevi: draft-iSCSI initiator, target and tools"};
    app.require_subcommand(1);
    app.set_version_flag("--version", QUEVI_VERSION);
    quevi::cli::Runner runner;
    quevi::cli::addTargetCommand(app, runner);
    quevi::cli::addLoginCommand(app, runner);
    quevi::cli::addRunCommand(app, runner);
    quevi::cli::addCopyCommand(app, runner);
    quevi::cli::addNbdCommand(app, runner);
    quevi::cli::addDemoCommand(app, runner);
    quevi::cli::addLsCommand(app, runner);
    quevi::cli::oneValuePerUse(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return quevi::cli::kExitUsage;
    }
    if (!runner) {
        std::cerr << "quevi: no command given\n";
        return quevi::cli::kExitUsage;
    }
    return runner();
}
