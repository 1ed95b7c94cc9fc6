// `quevi demo`: the whole system on one machine in one process. A draft-iSCSI target with a 64 MiB
// memory LUN listens on a free loopback port; the driver is loaded into the platform stand-ins;
// the configuration tool attaches the target (security step included); the bus is scanned and
// the disk class driver claims the disk; a few MiB are written and read back through it and
// compared; a query and a text exchange are shown; everything is shut down; a short report says
// what happened.
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/steps.h"

#include "platform/classdisk/classdisk.h"
#include "platform/kernel/host.h"
#include "target/target.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>

namespace quevi::cli {
namespace {

constexpr uint32_t kLoopback = 0x7F000001;
const std::string kInitiator = "iqn.2001-04.org.quevi:demo";

struct DemoOptions {
    unsigned connections = 2;
    unsigned mib = 8;
    std::vector<std::string> registry;
};

void line(const std::string& what, const std::string& text) {
    std::printf("  %-10s %s\n", what.c_str(), text.c_str());
    std::fflush(stdout);
}

std::string fixed(double value, int digits) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string inquiryText(const UCHAR* data, int from, int length) {
    std::string text(reinterpret_cast<const char*>(data) + from, static_cast<size_t>(length));
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) {
        text.pop_back();
    }
    return text;
}

// Writes `bytes` at `offset` and reads them back; false when a transfer failed or differed.
bool transfer(CLASS_DISK* disk, uint64_t offset, size_t bytes) {
    std::vector<UCHAR> out(bytes), in(bytes);
    for (size_t i = 0; i < bytes; i++) {
        out[i] = patternByte(0x5A, i);
    }
    using Clock = std::chrono::steady_clock;
    auto mbs = [bytes](Clock::duration d) {
        double s = std::chrono::duration<double>(d).count();
        return fixed(s, 3) + " s: " + fixed(static_cast<double>(bytes) / s / 1e6, 1) + " MB/s";
    };
    std::string size = std::to_string(bytes >> 20) + " MiB";
    auto start = Clock::now();
    NTSTATUS status = qvdisk::readWrite(disk, true, offset, out.data(), bytes);
    auto wrote = Clock::now();
    if (status != STATUS_SUCCESS) {
        line("write", "failed with status " + std::to_string(static_cast<ULONG>(status)));
        return false;
    }
    line("write",
         size + " at offset " + std::to_string(offset >> 20) + " MiB in " + mbs(wrote - start));
    start = Clock::now();
    status = qvdisk::readWrite(disk, false, offset, in.data(), bytes);
    auto read = Clock::now();
    if (status != STATUS_SUCCESS) {
        line("read", "failed with status " + std::to_string(static_cast<ULONG>(status)));
        return false;
    }
    bool same = in == out;
    line("read",
         size + " back in " + mbs(read - start) +
             (same ? ", identical to what was written" : ", DIFFERENT from what was written"));
    return same;
}

int runDemo(const DemoOptions& options) {
    tool::HostOptions hostOptions;
    std::string error;
    if (!parseRegistry(options.registry, hostOptions.registry, error)) {
        std::cerr << "quevi demo: " << error << "\n";
        return kExitUsage;
    }
    if (options.connections < 1 || options.connections > 8 || options.mib < 1 || options.mib > 32) {
        std::cerr << "quevi demo: --connections must be 1 to 8 and --mib 1 to 32\n";
        return kExitUsage;
    }
    hostOptions.wait = std::chrono::seconds(30);

    std::printf("quevi demo: a draft-iSCSI target and the initiator driver in one process\n\n");
    target::TargetConfig targetConfig;
    targetConfig.luns = {"64M"};
    targetConfig.record = false;
    target::Target target(targetConfig);
    if (!target.start(&error)) {
        std::cerr << "quevi demo: the target did not start: " << error << "\n";
        return kExitFailure;
    }
    std::string where = target.address() + ":" + std::to_string(target.port());
    line("target", targetConfig.name + " listening on " + where + ", LUN 0: 64 MiB in memory");

    tool::Host host(hostOptions);
    if (!host.load(&error)) {
        std::cerr << "quevi demo: " << error << "\n";
        return kExitFailure;
    }
    line("driver", "loaded on the port driver stand-in: buses 0-7 for targets, 8 the dummy device");

    bool ok = false;
    tool::AddConfig config{kLoopback, target.port(), options.connections,
                           "InitiatorName=" + kInitiator + ";TargetName=" + targetConfig.name +
                               ";"};
    tool::AddResult add = host.tool().addTarget(config);
    uint8_t bus = static_cast<uint8_t>(add.bus >= 0 ? add.bus : 0);
    tool::SecurityCounts security = host.tool().securityCounts(bus);
    size_t loggedIn = 0;
    for (size_t i = 0; i < target.connectionCount(); i++) {
        loggedIn += target.connection(i)->loggedIn ? 1 : 0;
    }
    line("add", "bus " + std::to_string(bus) + " for " + where + ": return code " +
                    std::to_string(add.returnCode()) +
                    (add.returnCode() == 0 ? " (connected), " : ", ") + std::to_string(loggedIn) +
                    " of " + std::to_string(options.connections) + " connections logged in");
    line("security", std::to_string(security.served) +
                         " security steps answered through the login "
                         "event, " +
                         std::to_string(security.accepted) + " accepted");
    if (add.completed() && add.returnCode() == 0) {
        int found = host.scan();
        std::string units;
        for (const SCSI_PORT_LU_INFO& lu : qvport::inquiryData(host.port())) {
            units += (units.empty() ? "" : ", ") + std::string("bus ") + std::to_string(lu.PathId) +
                     " LUN " + std::to_string(lu.Lun) + " \"" + inquiryText(lu.InquiryData, 8, 8) +
                     " " + inquiryText(lu.InquiryData, 16, 16) + "\"";
        }
        line("scan", std::to_string(found) + " logical units: " + units);
        CLASS_DISK* disk = host.claimDisks() > 0 ? qvdisk::disk(0) : nullptr;
        if (disk == nullptr) {
            line("disk", "no disk was claimed");
        } else {
            line("disk", "Harddisk0: " + std::to_string(qvdisk::blockCount(disk)) + " blocks of " +
                             std::to_string(qvdisk::blockSize(disk)) +
                             " bytes, requests of up to " +
                             std::to_string(qvdisk::maximumTransferBytes(disk) >> 10) + " KiB");
            ok = transfer(disk, 1 << 20, static_cast<size_t>(options.mib) << 20);
        }
        tool::QueryResult q = host.tool().query(bus, kLoopback);
        line("query", "return code " + std::to_string(q.control.returnCode) +
                          ", connection 0 in state " + std::to_string(q.connectionState) +
                          (q.connectionState == 2 ? " (connected)" : ""));
        tool::TextResult t = host.tool().sendText(bus, "SendTargets=All");
        std::string shown = t.text;
        for (char& c : shown) {
            c = c == '\0' ? ';' : c;
        }
        line("text", "SendTargets=All -> " + (t.bufferLength < 0 ? std::string("refused") : shown));
    }

    tool::HostReport report = host.stop();
    target.stop();
    line("shutdown",
         report.clean() ? "every one of the " + std::to_string(report.accounting.handedToMiniport) +
                              " requests handed to the driver completed exactly once; the pool "
                              "is empty"
                        : "problems:");
    for (const std::string& problem : report.problems) {
        std::printf("             %s\n", problem.c_str());
    }
    std::vector<qvk::ErrorLogEntry> events = qvk::errorLogEntries();
    line("event log", events.empty() ? "no entries" : std::to_string(events.size()) + " entries:");
    for (const qvk::ErrorLogEntry& e : events) {
        char id[16];
        std::snprintf(id, sizeof id, "0x%08X", e.errorCode);
        std::string text = e.text.substr(0, e.text.find('\r'));
        std::printf("             %s %s\n", id, text.c_str());
    }
    ok = ok && report.clean();
    std::printf("\n%s\n", ok ? "demo passed" : "demo FAILED");
    return ok ? kExitOk : kExitFailure;
}

} // namespace

void addDemoCommand(CLI::App& app, Runner& runner) {
    auto options = std::make_shared<DemoOptions>();
    CLI::App* cmd = app.add_subcommand(
        "demo", "Attach an in-process target through the whole add conversation, write and read "
                "back through the disk class driver, and report");
    cmd->add_option("--connections", options->connections, "Connections of the session (2)");
    cmd->add_option("--mib", options->mib, "MiB written and read back (8)");
    cmd->add_option("--registry", options->registry,
                    "Driver parameter NAME=VALUE under QueviSCSI\\Parameters (e.g. Debug=2)");
    cmd->callback([options, &runner] { runner = [options] { return runDemo(*options); }; });
}

} // namespace quevi::cli
