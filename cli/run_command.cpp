// `quevi run`: loads the driver into the platform stand-ins, attaches one target through the
// configuration tool's add conversation, scans the buses, runs the steps in order on the target's
// bus and shuts the adapter down. One JSON object per line on stdout, trace lines on stderr.
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/steps.h"

#include "tool/interruption.h"
#include "tool/target_url.h"

#include <CLI/CLI.hpp>

#include <iostream>

namespace quevi::cli {
namespace {

struct RunOptions {
    std::string initiatorName;
    std::string target;
    std::string login;
    unsigned connections = 1;
    std::vector<std::string> registry;
    std::string security = "accept";
    unsigned timeout = 30;
    std::vector<std::string> steps;
};

int usage(const std::string& message) {
    std::cerr << "quevi run: " << message << "\n";
    return kExitUsage;
}

int runRun(RunOptions options) {
    uint32_t address = 0;
    uint16_t port = 0;
    uint8_t lun = 0;
    std::string error;
    tool::HostOptions hostOptions;
    if (!options.steps.empty() && tool::looksLikeUrl(options.steps[0])) {
        std::optional<tool::TargetUrl> url = tool::parseTargetUrl(options.steps[0], error);
        if (!url) {
            return usage(error);
        }
        if (!options.target.empty() || !options.login.empty()) {
            return usage("give the target either as a URL or with --target and --login");
        }
        if (!options.initiatorName.empty() &&
            !tool::checkIscsiName(options.initiatorName, "--initiator-name", error)) {
            return usage(error);
        }
        options.steps.erase(options.steps.begin());
        address = url->address;
        port = url->port;
        lun = url->lun;
        options.login =
            tool::loginFor(*url, options.initiatorName.empty() ? tool::defaultInitiatorName()
                                                               : options.initiatorName);
    } else if (options.target.empty() || options.login.empty()) {
        return usage("name the target: quevi://ADDR[:PORT]/TARGETNAME[/LUN] as the first "
                     "argument, or --target and --login");
    } else if (!parseTarget(options.target, address, port, error) ||
               !checkLoginValues(options.login, error)) {
        return usage(error);
    }
    if (!parseRegistry(options.registry, hostOptions.registry, error)) {
        return usage(error);
    }
    if (options.connections < 1 || options.connections > 8) {
        return usage("--connections must be between 1 and 8");
    }
    if (options.timeout < 1 || options.timeout > 3600) {
        return usage("--timeout must be between 1 and 3600 seconds");
    }
    std::vector<Step> steps;
    for (const std::string& word : options.steps) {
        std::optional<Step> step = parseStep(word, error, lun);
        if (!step) {
            return usage(error);
        }
        steps.push_back(*step);
    }
    hostOptions.wait = std::chrono::seconds(options.timeout);

    // Declared before the host: the deadline also bounds the host's stop.
    tool::Interruption interruption("quevi run");
    tool::Host host(hostOptions);
    if (!host.load(&error)) {
        std::cerr << "quevi run: " << error << "\n";
        return kExitFailure;
    }
    tool::Interruption::Watch watching(interruption, host);
    bool ran = true;
    size_t done = 0; // steps that ran to their end
    tool::AddConfig config{address, port, options.connections, options.login};
    tool::AddResult add = host.tool().addTarget(
        config, options.security == "reject" ? tool::rejectAll() : tool::acceptAll());
    if (interruption.requested()) {
        ran = false;
    } else if (!add.completed()) {
        std::cerr << "quevi run: the add did not complete within " << options.timeout << " s\n";
        ran = false;
    } else {
        auto bus = static_cast<uint8_t>(add.bus >= 0 ? add.bus : 0);
        std::cout << nlohmann::ordered_json{{"step", "add"},
                                            {"return_code", add.returnCode()},
                                            {"bus", bus}}
                         .dump()
                  << std::endl;
        host.scan();
        StepRunner runner(host, bus, address, &tool::Interruption::flag());
        for (size_t i = 0; i < steps.size() && ran && !interruption.requested(); i++) {
            if (!runner.run(steps[i])) {
                std::cerr << "quevi run: step '" << options.steps[i] << "' did not complete within "
                          << options.timeout << " s\n";
                ran = false;
            } else if (!interruption.requested()) {
                done++;
            }
        }
    }
    tool::HostReport report = host.stop();
    for (const std::string& problem : report.problems) {
        std::cerr << "quevi run: " << problem << "\n";
    }
    if (interruption.requested()) {
        // The step under way when the signal came is not reported: its outcome is the
        // interruption's (its requests may have been given up), not the target's.
        std::cerr << "quevi run: interrupted after " << done << " of " << steps.size()
                  << " steps\n";
        return kExitInterrupted;
    }
    return ran && report.clean() ? kExitOk : kExitFailure;
}

} // namespace

void addRunCommand(CLI::App& app, Runner& runner) {
    auto options = std::make_shared<RunOptions>();
    CLI::App* cmd = app.add_subcommand(
        "run", "Load the driver, add one target through the configuration tool, run the steps on "
               "its bus and shut down; one JSON object per line");
    cmd->add_option("--target", options->target,
                    "Target address A.B.C.D[:PORT] (port 3260), unless a URL comes first");
    cmd->add_option("--login", options->login,
                    "Login string: key=value pairs separated by ';' (InitiatorName, TargetName)");
    cmd->add_option("--initiator-name", options->initiatorName,
                    "InitiatorName with a URL (default: iqn.2001-04.org.quevi:HOSTNAME)");
    cmd->add_option("--connections", options->connections, "Connections of the session (1 to 8)");
    cmd->add_option("--registry", options->registry,
                    "Driver parameter NAME=VALUE under QueviSCSI\\Parameters (e.g. Debug=2)");
    cmd->add_option("--security", options->security, "Verdict of every security step")
        ->check(CLI::IsMember({"accept", "reject"}));
    cmd->add_option("--timeout", options->timeout, "Bound of every wait, in seconds (30)");
    cmd->add_option("steps", options->steps,
                    "[quevi://ADDR[:PORT]/TARGETNAME[/LUN]] then the steps (LUN: their default): "
                    "inquiry[:LUN] readcap[:LUN] tur[:LUN] read:LBA:COUNT[:LUN] "
                    "write:LBA:COUNT:SEED[:LUN] abort:LBA:COUNT:MS[:LUN] query text:K=V;K=V "
                    "reset remove sleep:MS events");
    cmd->callback([options, &runner] { runner = [options] { return runRun(*options); }; });
}

} // namespace quevi::cli
