// `quevi ls quevi://ADDR[:PORT]/TARGETNAME`: what an address serves. Logs in to the named target,
// asks it for every target (SendTargets=All), logs in to each one listed at the same address on a
// bus of its own, scans the buses and lists every LUN found with its capacity and INQUIRY
// identification: a table, or one JSON document with --json. Targets listed at another address
// are shown with it, not logged in to. One host for the whole listing; the logins run at once.
#include "cli/commands.h"
#include "cli/options.h"

#include "driver/api/control.h"
#include "tool/interruption.h"
#include "tool/target_list.h"
#include "tool/target_url.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>

namespace quevi::cli {
namespace {

struct LsOptions : SessionOptions {
    std::string url;
    bool json = false;
};

int usage(const std::string& message) {
    std::cerr << "quevi ls: " << message << "\n";
    return kExitUsage;
}

// One target of the listing.
struct Entry {
    std::string name;
    std::string address; // A.B.C.D:PORT, or the TargetAddress as given when it is elsewhere
    bool here = true;    // at the URL's address, so logged in to
    int bus = -1;
    std::string error; // empty when logged in and listed
    std::vector<tool::LunInfo> luns;
};

// Why an add failed; the named target's name is the likeliest cause of a refusal.
std::string addFailure(const tool::AddResult& add, const std::string& address, unsigned timeout,
                       bool named) {
    if (!add.completed()) {
        return "the login did not end within " + std::to_string(timeout) + " s";
    }
    switch (add.returnCode()) {
    case ISCSI_RC_NOT_CONNECTED:
        return "could not connect: nothing answered at " + address;
    case ISCSI_RC_LOGIN_REJECTED:
        return "the target refused the login (or did not answer it in time)" +
               std::string(named ? "; is that name served there?" : "");
    case ISCSI_RC_SECURITY_FAILED:
        return "the security step failed";
    case ISCSI_RC_NO_FREE_BUS:
        return "no free bus";
    default:
        return "the login failed (return code " + std::to_string(add.returnCode()) + ")";
    }
}

tool::AddConfig addConfig(const tool::TargetUrl& url, const std::string& name,
                          const std::string& initiator) {
    tool::TargetUrl target = url;
    target.targetName = name;
    return {url.address, url.port, 1, tool::loginFor(target, initiator)};
}

// The targets the named one lists (it first when it does not list itself), each marked at this
// address or elsewhere. Without an answer, the named target alone.
std::vector<Entry> discover(tool::Host& host, const Entry& named, const tool::TargetUrl& url) {
    tool::TextResult answer =
        host.tool().sendText(static_cast<UCHAR>(named.bus), "SendTargets=All");
    if (answer.bufferLength < 0) {
        std::cerr << "quevi ls: " << named.name
                  << " gave no usable answer to SendTargets=All; only it is listed\n";
        return {named};
    }
    std::vector<Entry> entries;
    for (const tool::ListedTarget& listed : tool::parseSendTargets(answer.text)) {
        if (listed.name == named.name) {
            entries.push_back(named);
            continue;
        }
        Entry entry{listed.name, named.address, true, -1, {}, {}};
        if (!listed.addresses.empty()) {
            // Any of its addresses may be this one; otherwise it is shown with its first.
            auto here = std::find_if(
                listed.addresses.begin(), listed.addresses.end(), [&](const std::string& a) {
                    uint32_t ip = 0;
                    uint16_t port = 0;
                    return tool::parsePortal(a, ip, port) && ip == url.address && port == url.port;
                });
            entry.here = here != listed.addresses.end();
            if (!entry.here) {
                entry.address = tool::withoutGroupTag(listed.addresses.front());
                entry.error = "at another address: not logged in (list it with quevi ls "
                              "quevi://" +
                              entry.address + "/" + entry.name + ")";
            }
        }
        entries.push_back(std::move(entry));
    }
    if (std::none_of(entries.begin(), entries.end(),
                     [&](const Entry& e) { return e.name == named.name; })) {
        entries.insert(entries.begin(), named);
    }
    return entries;
}

// Logs in to every target of this address not yet logged in, all at once: each add begins, then
// each is waited for. A refused one's bus is removed again: the listing has no use for it.
void logInToOthers(tool::Host& host, std::vector<Entry>& entries, const tool::TargetUrl& url,
                   const std::string& initiator, unsigned timeout) {
    std::vector<std::pair<Entry*, tool::AddResult>> begun;
    int buses = 1; // the named target's
    for (Entry& entry : entries) {
        if (!entry.here || entry.bus >= 0 || !entry.error.empty()) {
            continue;
        }
        std::string why;
        if (!tool::checkIscsiName(entry.name, "the name", why)) {
            entry.error = "not logged in: " + why;
        } else if (buses == ADAPTER_TARGET_BUSES) {
            entry.error = "not logged in: all " + std::to_string(ADAPTER_TARGET_BUSES) +
                          " buses are in use (list it with quevi ls quevi://" + entry.address +
                          "/" + entry.name + ")";
        } else {
            buses++;
            begun.emplace_back(&entry, host.tool().beginAdd(addConfig(url, entry.name, initiator),
                                                            tool::acceptAll()));
        }
    }
    for (auto& [entry, add] : begun) {
        if (add.bus >= 0) {
            add.complete = host.tool().completeAdd(static_cast<UCHAR>(add.bus));
        }
        if (add.completed() && add.returnCode() == ISCSI_RC_SUCCESS && add.bus >= 0) {
            entry->bus = add.bus;
            continue;
        }
        entry->error = addFailure(add, entry->address, timeout, false);
        if (add.bus >= 0 && add.complete.completed) { // else the removal would wait behind it
            (void)host.tool().removeTarget(static_cast<UCHAR>(add.bus));
        }
    }
}

std::string sizeText(uint64_t bytes) {
    static constexpr const char* kUnits = "KMGT";
    if (bytes < 1024) {
        return std::to_string(bytes);
    }
    int unit = 0;
    double value = static_cast<double>(bytes) / 1024;
    while (std::round(value * 10) / 10 >= 1024 && unit < 3) {
        value /= 1024;
        unit++;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    std::string shown = text;
    if (shown.size() > 2 && shown.compare(shown.size() - 2, 2, ".0") == 0) {
        shown.resize(shown.size() - 2);
    }
    return shown + kUnits[unit];
}

nlohmann::ordered_json document(const std::string& address, const std::vector<Entry>& entries) {
    nlohmann::ordered_json targets = nlohmann::ordered_json::array();
    for (const Entry& entry : entries) {
        nlohmann::ordered_json luns = nlohmann::ordered_json::array();
        for (const tool::LunInfo& lun : entry.luns) {
            auto known = [&](uint64_t n) {
                return lun.sized ? nlohmann::ordered_json(n) : nlohmann::ordered_json();
            };
            luns.push_back({{"lun", lun.lun},
                            {"bytes", known(lun.blocks * lun.blockSize)},
                            {"blocks", known(lun.blocks)},
                            {"block_size", known(lun.blockSize)},
                            {"vendor", lun.vendor},
                            {"product", lun.product},
                            {"revision", lun.revision}});
        }
        targets.push_back({{"name", entry.name},
                           {"address", entry.address},
                           {"luns", luns},
                           {"error", entry.error.empty() ? nlohmann::ordered_json()
                                                         : nlohmann::ordered_json(entry.error)}});
    }
    return {{"address", address}, {"targets", targets}};
}

// One line per LUN, one per target without any (its error, or that it has none); the columns
// padded to their widest cell, numbers to the right.
void printTable(const std::vector<Entry>& entries) {
    using Row = std::vector<std::string>;
    std::vector<Row> rows{
        {"TARGET", "ADDRESS", "LUN", "SIZE", "BLOCKS", "BLOCK", "VENDOR", "PRODUCT", "REVISION"}};
    std::vector<std::string> notes(1); // what follows a row that stops after its LUN column
    for (const Entry& entry : entries) {
        if (entry.luns.empty() || !entry.error.empty()) {
            rows.push_back({entry.name, entry.address, "-"});
            notes.push_back(entry.error.empty() ? "no LUNs" : entry.error);
        }
        for (const tool::LunInfo& lun : entry.luns) {
            bool sized = lun.sized;
            rows.push_back({entry.name, entry.address, std::to_string(lun.lun),
                            sized ? sizeText(lun.blocks * lun.blockSize) : "?",
                            sized ? std::to_string(lun.blocks) : "?",
                            sized ? std::to_string(lun.blockSize) : "?", lun.vendor, lun.product,
                            lun.revision});
            notes.emplace_back();
        }
    }
    std::vector<size_t> width(rows[0].size(), 0);
    for (const Row& row : rows) {
        for (size_t c = 0; c < row.size(); c++) {
            width[c] = std::max(width[c], row[c].size());
        }
    }
    auto numeric = [](size_t c) { return c >= 2 && c <= 5; };
    for (size_t r = 0; r < rows.size(); r++) {
        std::string line;
        for (size_t c = 0; c < rows[r].size(); c++) {
            std::string pad(width[c] - rows[r][c].size(), ' ');
            line += (c == 0 ? "" : "  ") + (numeric(c) ? pad + rows[r][c] : rows[r][c] + pad);
        }
        if (!notes[r].empty()) {
            line += "  " + notes[r];
        }
        line.erase(line.find_last_not_of(' ') + 1);
        std::cout << line << "\n";
    }
    std::cout << std::flush;
}

int runLs(const LsOptions& options) {
    std::string error;
    std::optional<tool::TargetUrl> url = tool::parseTargetUrl(options.url, error);
    if (!url) {
        return usage(error);
    }
    // quevi://ADDR/NAME/LUN: a listing is of every LUN, so a LUN in the URL is refused rather
    // than ignored.
    std::string path = options.url.substr(options.url.find("://") + 3);
    if (std::count(path.begin(), path.end(), '/') > 1) {
        return usage("'" + options.url +
                     "' names a LUN; quevi ls lists every LUN of the target: give "
                     "quevi://ADDR[:PORT]/TARGETNAME");
    }
    tool::HostOptions hostOptions;
    if (!parseRegistry(options.registry, hostOptions.registry, error)) {
        return usage(error);
    }
    if (!options.initiatorName.empty() &&
        !tool::checkIscsiName(options.initiatorName, "--initiator-name", error)) {
        return usage(error);
    }
    if (options.timeout < 1 || options.timeout > 3600) {
        return usage("--timeout must be between 1 and 3600 seconds");
    }
    hostOptions.wait = std::chrono::seconds(options.timeout);
    std::string initiator =
        options.initiatorName.empty() ? tool::defaultInitiatorName() : options.initiatorName;
    std::string address = addressText(url->address) + ":" + std::to_string(url->port);

    // Declared before the host: the deadline also bounds the host's stop.
    tool::Interruption interruption("quevi ls");
    tool::Host host(hostOptions);
    if (!host.load(&error)) {
        std::cerr << "quevi ls: " << error << "\n";
        return kExitFailure;
    }
    tool::Interruption::Watch watching(interruption, host);
    Entry named{url->targetName, address, true, -1, {}, {}};
    tool::AddResult add =
        host.tool().addTarget(addConfig(*url, named.name, initiator), tool::acceptAll());
    std::vector<Entry> entries;
    if (add.completed() && add.returnCode() == ISCSI_RC_SUCCESS && add.bus >= 0) {
        named.bus = add.bus;
        entries = discover(host, named, *url);
        if (!interruption.requested()) {
            logInToOthers(host, entries, *url, initiator, options.timeout);
        }
        if (!interruption.requested()) {
            host.scan();
        }
        for (Entry& entry : entries) {
            if (entry.bus >= 0 && !interruption.requested()) {
                entry.luns = tool::describeLuns(host, static_cast<UCHAR>(entry.bus), entry.error);
            }
        }
    } else {
        named.error = addFailure(add, address, options.timeout, true);
        entries.push_back(named);
    }
    tool::HostReport report = host.stop();
    for (const std::string& problem : report.problems) {
        std::cerr << "quevi ls: " << problem << "\n";
    }
    if (interruption.requested()) {
        std::cerr << "quevi ls: interrupted; nothing listed\n";
        return kExitInterrupted;
    }
    bool answered = named.bus >= 0;
    if (!answered) {
        std::cerr << "quevi ls: " << address << "/" << named.name << ": " << named.error << "\n";
    }
    if (options.json) {
        std::cout << document(address, entries)
                         .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                  << std::endl;
    } else if (answered) {
        printTable(entries);
    }
    return answered && report.clean() ? kExitOk : kExitFailure;
}

} // namespace

void addLsCommand(CLI::App& app, Runner& runner) {
    auto options = std::make_shared<LsOptions>();
    CLI::App* cmd = app.add_subcommand(
        "ls", "List every target at the named target's address and every LUN of each: size, "
              "blocks, INQUIRY vendor, product and revision");
    cmd->add_option("url", options->url,
                    "quevi://ADDR[:PORT]/TARGETNAME: a target to log in to first and ask for the "
                    "others (SendTargets=All)")
        ->required();
    addSessionOptions(cmd, options.get());
    cmd->remove_option(cmd->get_option("--connections")); // a listing needs one per target
    cmd->add_flag("--json", options->json, "One JSON document instead of the table");
    cmd->callback([options, &runner] { runner = [options] { return runLs(*options); }; });
}

} // namespace quevi::cli
