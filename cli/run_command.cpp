// `quevi run`: loads the driver into the platform stand-ins, attaches a target (or several, each on
// its own bus) through the configuration tool's add conversation, scans the buses, runs the steps
// in order on their target's bus and shuts the adapter down. One JSON object per line on stdout,
// trace lines on stderr.
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/steps.h"

#include "driver/api/control.h"
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

// One target of the run and the steps that go to its bus.
struct RunTarget {
    uint32_t address = 0;
    uint16_t port = 0;
    uint8_t lun = 0; // the steps' default
    std::string login;
    std::vector<Step> steps;
    std::vector<std::string> words; // the steps as written, for messages
};

bool urlTarget(const std::string& word, const RunOptions& options, RunTarget& target,
               std::string& error) {
    std::optional<tool::TargetUrl> url = tool::parseTargetUrl(word, error);
    if (!url) {
        return false;
    }
    target.address = url->address;
    target.port = url->port;
    target.lun = url->lun;
    target.login = tool::loginFor(*url, options.initiatorName.empty() ? tool::defaultInitiatorName()
                                                                      : options.initiatorName);
    return true;
}

int runRun(RunOptions options) {
    std::string error;
    tool::HostOptions hostOptions;
    std::vector<RunTarget> targets(1);
    size_t first = 0;
    if (!options.steps.empty() && tool::looksLikeUrl(options.steps[0])) {
        if (!options.target.empty() || !options.login.empty()) {
            return usage("give the target either as a URL or with --target and --login");
        }
        if (!options.initiatorName.empty() &&
            !tool::checkIscsiName(options.initiatorName, "--initiator-name", error)) {
            return usage(error);
        }
        if (!urlTarget(options.steps[0], options, targets[0], error)) {
            return usage(error);
        }
        first = 1;
    } else if (options.target.empty() || options.login.empty()) {
        return usage("name the target: quevi://ADDR[:PORT]/TARGETNAME[/LUN] as the first "
                     "argument, or --target and --login");
    } else if (!parseTarget(options.target, targets[0].address, targets[0].port, error) ||
               !checkLoginValues(options.login, error)) {
        return usage(error);
    } else {
        targets[0].login = options.login;
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
    // A further URL among the steps attaches its target on a bus of its own; the steps after it
    // go to that bus.
    size_t stepCount = 0;
    for (size_t i = first; i < options.steps.size(); i++) {
        const std::string& word = options.steps[i];
        if (tool::looksLikeUrl(word)) {
            if (targets.size() == ADAPTER_TARGET_BUSES) {
                return usage("at most " + std::to_string(ADAPTER_TARGET_BUSES) + " targets");
            }
            if (!urlTarget(word, options, targets.emplace_back(), error)) {
                return usage(error);
            }
            continue;
        }
        std::optional<Step> step = parseStep(word, error, targets.back().lun);
        if (!step) {
            return usage(error);
        }
        targets.back().steps.push_back(*step);
        targets.back().words.push_back(word);
        stepCount++;
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
    std::vector<uint8_t> buses;
    for (size_t t = 0; t < targets.size() && ran; t++) {
        tool::AddConfig config{targets[t].address, targets[t].port, options.connections,
                               targets[t].login};
        tool::AddResult add = host.tool().addTarget(
            config, options.security == "reject" ? tool::rejectAll() : tool::acceptAll());
        if (interruption.requested()) {
            ran = false;
        } else if (!add.completed()) {
            std::cerr << "quevi run: the add did not complete within " << options.timeout << " s\n";
            ran = false;
        } else {
            buses.push_back(static_cast<uint8_t>(add.bus >= 0 ? add.bus : 0));
            std::cout << nlohmann::ordered_json{{"step", "add"},
                                                {"return_code", add.returnCode()},
                                                {"bus", buses.back()}}
                             .dump()
                      << std::endl;
        }
    }
    if (ran) {
        host.scan();
    }
    for (size_t t = 0; t < targets.size() && ran; t++) {
        StepRunner runner(host, buses[t], targets[t].address, &tool::Interruption::flag());
        for (size_t i = 0; i < targets[t].steps.size() && ran && !interruption.requested(); i++) {
            if (!runner.run(targets[t].steps[i])) {
                std::cerr << "quevi run: step '" << targets[t].words[i]
                          << "' did not complete within " << options.timeout << " s\n";
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
        std::cerr << "quevi run: interrupted after " << done << " of " << stepCount << " steps\n";
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
                    "[quevi://ADDR[:PORT]/TARGETNAME[/LUN]] then the steps (LUN: their default; a "
                    "further URL attaches its target on a bus of its own for the steps after it): "
                    "inquiry[:LUN] readcap[:LUN] tur[:LUN] read:LBA:COUNT[:LUN] "
                    "write:LBA:COUNT:SEED[:LUN] abort:LBA:COUNT:MS[:LUN] query text:K=V;K=V "
                    "reset remove sleep:MS events");
    cmd->callback([options, &runner] { runner = [options] { return runRun(*options); }; });
}

} // namespace quevi::cli
