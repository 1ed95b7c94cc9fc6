// `quevi login`: brings one session up against a target with the driver's engine on the platform
// stand-ins, prints what came of it as one JSON object, and takes the session down again.
#include "cli/commands.h"

#include "driver/engine/engine.h"
#include "driver/engine/text.h"
#include "driver/login/login.h"
#include "driver/runtime/runtime.h"
#include "platform/kernel/host.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>

#include <chrono>
#include <iostream>
#include <thread>

namespace quevi::cli {
namespace {

struct LoginOptions {
    std::string target;
    std::string login;
    unsigned connections = 1;
    std::vector<std::string> registry;
};

// "A.B.C.D[:PORT]" into a host-order address (first octet most significant) and a port.
bool parseTarget(const std::string& text, ULONG& address, USHORT& port, std::string& error) {
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
        port = static_cast<USHORT>(value);
    }
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1) {
        error = "--target needs an IPv4 address A.B.C.D[:PORT], got '" + text + "'";
        return false;
    }
    address = ntohl(a.s_addr);
    return true;
}

// NAME=VALUE into the driver's parameters key; VALUE is a number (decimal or 0x-hex).
bool applyRegistry(const std::string& item, std::string& error) {
    auto eq = item.find('=');
    if (eq == std::string::npos || eq == 0) {
        error = "--registry needs NAME=VALUE, got '" + item + "'";
        return false;
    }
    std::string value = item.substr(eq + 1);
    char* end = nullptr;
    unsigned long number = std::strtoul(value.c_str(), &end, 0);
    if (value.empty() || *end != '\0' || number > 0xFFFFFFFFul) {
        error = "--registry value of '" + item.substr(0, eq) + "' must be a number";
        return false;
    }
    qvk::registrySetDword("QueviSCSI\\Parameters", item.substr(0, eq),
                          static_cast<uint32_t>(number));
    return true;
}

int runLogin(const LoginOptions& options) {
    ULONG address = 0;
    USHORT port = 0;
    std::string error;
    if (!parseTarget(options.target, address, port, error)) {
        std::cerr << "quevi login: " << error << "\n";
        return kExitUsage;
    }
    if (options.login.empty()) {
        std::cerr << "quevi login: --login must hold key=value pairs\n";
        return kExitUsage;
    }
    if (options.connections < 1 || options.connections > 8) {
        std::cerr << "quevi login: --connections must be between 1 and 8\n";
        return kExitUsage;
    }
    for (const auto& item : options.registry) {
        if (!applyRegistry(item, error)) {
            std::cerr << "quevi login: " << error << "\n";
            return kExitUsage;
        }
    }

    iscsiOSreadTraceLevel();
    iscsiCoreInitData();
    std::vector<ISCSI_TARGET_ADDRESS> addresses(options.connections, {address, port});
    ULONG handle =
        iscsiCoreCreateSession(addresses.data(), options.connections, options.login.c_str(),
                               static_cast<ULONG>(options.login.size()), 0);
    if (handle == ISCSI_NO_SESSION) {
        std::cerr << "quevi login: the session could not be created\n";
        iscsiCoreCleanupData();
        return kExitFailure;
    }
    ISCSI_SESSION* session = getSessionStruct(handle);
    // A session without connections tries once more on its own at once; report after that.
    for (int i = 0; i < 6000 && (session->flags & SESSION_CONNECTING) != 0; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    // Login wrote the values on its own thread without a lock; it cleared SESSION_CONNECTING under
    // the session lock, so taking that lock once makes them visible here.
    USHORT params[ISCSI_NUM_OP_PARAMS];
    std::vector<ULONG> states;
    KIRQL old = iscsiLockSession(session);
    RtlCopyMemory(params, session->opParams, sizeof params);
    for (ULONG i = 0; i < options.connections; i++) {
        states.push_back(session->connections[i].state);
    }
    iscsiUnlockSession(session, old);

    nlohmann::ordered_json out;
    ISCSI_SESSION_QUERY query{};
    iscsiCoreQuerySession(handle, &query);
    out["handle"] = handle;
    out["isid"] = query.isid;
    out["tsid"] = query.tsid;
    out["active_connections"] = query.numActiveConnections;
    out["connections"] = nlohmann::json::array();
    for (ULONG state : states) {
        out["connections"].push_back({{"state", state}});
    }
    nlohmann::ordered_json named;
    for (int i = 0; i < ISCSI_NUM_OP_PARAMS; i++) {
        named[OperationalParamsNames[i]] = params[i];
    }
    out["params"] = named;
    std::cout << out.dump() << std::endl;

    int result = query.numActiveConnections >= 1 ? kExitOk : kExitFailure;
    iscsiCoreDeleteSession(handle);
    iscsiCoreCleanupData();
    qvk::waitSystemThreadsQuiet(std::chrono::seconds(10));
    return result;
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
