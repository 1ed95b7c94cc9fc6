// `quevi login`: loads the driver, attaches one target through the configuration tool's add
// conversation (every wait is on an event: the add completion answers once the session's logins
// have ended), prints the session as one JSON object read through the engine's query entry
// points, and shuts the adapter down, which takes the session's connections down.
#include "cli/commands.h"
#include "cli/options.h"

#include "driver/api/session.h"
#include "tool/host.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <iostream>
#include <optional>

namespace quevi::cli {
namespace {

struct LoginOptions {
    std::string target;
    std::string login;
    unsigned connections = 1;
    std::vector<std::string> registry;
};

// The session of the host's only target: the one handle the engine answers a query for.
std::optional<ULONG> onlySession(ISCSI_SESSION_QUERY& query) {
    for (ULONG handle = 0; handle < ISCSI_MAX_SESSIONS; handle++) {
        if (iscsiCoreQuerySession(handle, &query) == 0) {
            return handle;
        }
    }
    return std::nullopt;
}

int runLogin(const LoginOptions& options) {
    uint32_t address = 0;
    uint16_t port = 0;
    std::string error;
    tool::HostOptions hostOptions;
    if (!parseTarget(options.target, address, port, error) ||
        !parseRegistry(options.registry, hostOptions.registry, error)) {
        std::cerr << "quevi login: " << error << "\n";
        return kExitUsage;
    }
    if (options.login.empty()) {
        std::cerr << "quevi login: --login must hold key=value pairs\n";
        return kExitUsage;
    }
    if (!checkLoginValues(options.login, error)) {
        std::cerr << "quevi login: " << error << "\n";
        return kExitUsage;
    }
    if (options.connections < 1 || options.connections > 8) {
        std::cerr << "quevi login: --connections must be between 1 and 8\n";
        return kExitUsage;
    }

    tool::Host host(hostOptions);
    if (!host.load(&error)) {
        std::cerr << "quevi login: " << error << "\n";
        return kExitFailure;
    }
    tool::AddResult add =
        host.tool().addTarget({address, port, options.connections, options.login});
    ISCSI_SESSION_QUERY query{};
    std::optional<ULONG> handle = add.completed() ? onlySession(query) : std::nullopt;
    USHORT params[ISCSI_NUM_OP_PARAMS] = {};
    if (!handle || iscsiCoreQueryParams(*handle, params) != 0) {
        std::cerr << "quevi login: the session could not be created (add return code "
                  << add.returnCode() << ")\n";
        (void)host.stop();
        return kExitFailure;
    }

    nlohmann::ordered_json out;
    out["handle"] = *handle;
    out["isid"] = query.isid;
    out["tsid"] = query.tsid;
    out["active_connections"] = query.numActiveConnections;
    out["connections"] = nlohmann::json::array();
    for (ULONG i = 0; i < options.connections; i++) {
        ISCSI_CONNECTION_QUERY connection{};
        connection.index = i;
        ULONG state = iscsiCoreQueryConnection(*handle, &connection) == 0
                          ? connection.ConnectionState
                          : static_cast<ULONG>(CONN_IDLE);
        out["connections"].push_back({{"state", state}});
    }
    nlohmann::ordered_json named;
    for (int i = 0; i < ISCSI_NUM_OP_PARAMS; i++) {
        named[iscsiOpParamName(i)] = params[i];
    }
    out["params"] = named;
    std::cout << out.dump() << std::endl;

    tool::HostReport report = host.stop();
    for (const std::string& problem : report.problems) {
        std::cerr << "quevi login: " << problem << "\n";
    }
    if (!report.clean()) {
        return kExitFailure;
    }
    return query.numActiveConnections >= 1 ? kExitOk : kExitFailure;
}

} // namespace

void addLoginCommand(CLI::App& app, Runner& runner) {
    auto options = std::make_shared<LoginOptions>();
    CLI::App* cmd = app.add_subcommand(
        "login", "Log one session in to a target, print its state as JSON, and log out again");
    cmd->add_option("--target", options->target, "Target address A.B.C.D[:PORT] (port 3260)")
        ->required();
    cmd->add_option(
           "--login", options->login,
           "Login string: key=value pairs separated by ';' (InitiatorName, TargetName, ...)")
        ->required();
    cmd->add_option("--connections", options->connections, "Connections of the session (1 to 8)");
    cmd->add_option("--registry", options->registry,
                    "Driver parameter NAME=VALUE under QueviSCSI\\Parameters (e.g. Debug=2)");
    cmd->callback([options, &runner] { runner = [options] { return runLogin(*options); }; });
}

} // namespace quevi::cli
