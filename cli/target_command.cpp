// `quevi target`: runs the draft-iSCSI target in the foreground until SIGINT or SIGTERM.
#include "cli/commands.h"

#include "target/scsi.h"
#include "target/target.h"
#include "tool/target_url.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <csignal>
#include <iostream>
#include <memory>
#include <pthread.h>
#include <sstream>

namespace quevi::cli {
namespace {

struct TargetOptions {
    std::string listen = "127.0.0.1:3260";
    std::vector<std::string> luns;
    std::string name = "quevi-target";
    std::vector<std::string> targets;   // NAME=SPEC[,SPEC...]
    std::vector<std::string> badBlocks; // [NAME/][LUN:]LBA[-LBA][,...]
    bool statusSeparate = false;
    std::uint32_t cmdWindow = 32;
    std::vector<std::string> keys;
    bool record = false;
    std::uint32_t recordBudgetMiB = 64;
    std::uint32_t idleSeconds = 30;
    std::uint32_t maxConnections = 256;
    std::uint32_t maxSessions = 64;

    std::uint32_t delayMs = 0;
    bool withholdStatus = false;
    std::uint32_t dropAfterPdus = 0;
    std::uint32_t dropAfterCommands = 0;
    unsigned loginStatus = 0;
    unsigned loginOpcode = 0xE3;
    unsigned loginVersion = 2;
    unsigned closingOpcode = 0xE3;
    unsigned closingStatus = 0;
    std::uint32_t initialStatSN = 1;
    bool disagree = false;
    bool neverFinal = false;
    std::uint32_t closingNotFinal = 0;
    std::vector<std::uint32_t> dataInSizes;
    bool dataInReversed = false;
    std::uint32_t dataInPastEnd = 0;
    bool repeatStatSN = false;
    bool unknownTaskTag = false;
    bool closeWindow = false;
    int tmResponse = -1;
    std::uint32_t refuseLoginsAfter = 0;
    std::uint32_t refuseLogins = 0;
    unsigned refuseLoginStatus = 0x04;
    std::string async;
    std::uint32_t asyncAfter = 0;
    int rejectReason = -1;
    std::uint32_t rejectAfter = 0;
    bool oversize = false;
    std::uint32_t oversizeAfter = 0;
    std::uint32_t nopIntervalMs = 0;
    std::string nopData;
    bool nopNoAnswer = false;
};

// "ADDR:PORT" → address and port.
bool splitListen(const std::string& text, std::string& address, std::uint16_t& port) {
    auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    address = text.substr(0, colon);
    std::string p = text.substr(colon + 1);
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long v = std::stoul(p);
    if (v > 65535)
        return false;
    port = static_cast<std::uint16_t>(v);
    return true;
}

// "KEY=accept|?|reject|NotUnderstood|VALUE" with an optional "@N": the answer for the first N
// offers of the key.
bool parseKeyPolicy(const std::string& text, target::NegotiationPolicy& policy) {
    auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0)
        return false;
    std::string key = text.substr(0, eq);
    std::string value = text.substr(eq + 1);
    target::KeyPolicy rule;
    if (auto at = value.rfind('@'); at != std::string::npos) {
        std::string times = value.substr(at + 1);
        if (times.empty() || times.find_first_not_of("0123456789") != std::string::npos ||
            times.size() > 6)
            return false;
        rule.times = static_cast<unsigned>(std::stoul(times));
        value = value.substr(0, at);
    }
    if (value == "accept")
        rule.action = target::KeyAction::Accept;
    else if (value == "?")
        rule.action = target::KeyAction::Query;
    else if (value == "reject")
        rule.action = target::KeyAction::Reject;
    else if (value == "NotUnderstood")
        rule.action = target::KeyAction::NotUnderstood;
    else if (!value.empty()) {
        rule.action = target::KeyAction::Value;
        rule.value = value;
    } else
        return false;
    policy[key] = rule;
    return true;
}

// "EVENT[,CID,WAIT,PARAM3]"
bool parseAsync(const std::string& text, target::AsyncEvent& event) {
    std::vector<unsigned long> parts;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        if (item.empty() || item.size() > 5 ||
            item.find_first_not_of("0123456789") != std::string::npos)
            return false;
        parts.push_back(std::stoul(item));
    }
    if (parts.empty() || parts.size() > 4 || parts[0] > 255)
        return false;
    for (std::size_t i = 1; i < parts.size(); ++i)
        if (parts[i] > 65535)
            return false;
    event.event = static_cast<std::uint8_t>(parts[0]);
    if (parts.size() > 1)
        event.connectionId = static_cast<std::uint16_t>(parts[1]);
    if (parts.size() > 2)
        event.waitSeconds = static_cast<std::uint16_t>(parts[2]);
    if (parts.size() > 3)
        event.param3 = static_cast<std::uint16_t>(parts[3]);
    return true;
}

int usage(const std::string& message) {
    std::cerr << "quevi target: " << message << "\n";
    return kExitUsage;
}

// "NAME=SPEC[,SPEC...]": a target name and the backings of its LUNs 0, 1, ... in order. False
// with a message when it does not read.
bool parseNamedTarget(const std::string& text, target::NamedTarget& out, std::string& error) {
    auto eq = text.find('=');
    if (eq == std::string::npos) {
        error = "--target wants NAME=SPEC[,SPEC...], got '" + text + "'";
        return false;
    }
    out.name = text.substr(0, eq);
    if (!tool::checkIscsiName(out.name, "--target name", error))
        return false;
    std::stringstream in(text.substr(eq + 1));
    std::string spec;
    out.luns.clear();
    while (std::getline(in, spec, ','))
        out.luns.push_back(spec);
    if (out.luns.empty() || text.back() == ',' ||
        std::find(out.luns.begin(), out.luns.end(), "") != out.luns.end()) {
        error = "--target " + out.name + " wants LUNs (sizes or files) separated by commas, got '" +
                text.substr(eq + 1) + "'";
        return false;
    }
    return true;
}

// "[NAME/][LUN:]LBA[-LBA][,LBA[-LBA]...]": unreadable blocks of one LUN (of the target NAME, by
// default the first; LUN 0 by default), applied to the started target. False with a message.
bool applyBadBlocks(target::Target& t, const std::string& text, std::string& error) {
    error = "--bad-blocks wants [NAME/][LUN:]LBA[-LBA][,...], got '" + text + "'";
    std::string rest = text;
    std::string name;
    if (auto slash = rest.find('/'); slash != std::string::npos) {
        name = rest.substr(0, slash);
        rest = rest.substr(slash + 1);
    }
    auto number = [](const std::string& digits, std::uint64_t& value) {
        if (digits.empty() || digits.size() > 15 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        value = std::stoull(digits);
        return true;
    };
    std::uint64_t lun = 0;
    if (auto colon = rest.find(':'); colon != std::string::npos) {
        if (!number(rest.substr(0, colon), lun))
            return false;
        rest = rest.substr(colon + 1);
    }
    target::LunStore* store = lun >= target::kMaxLuns ? nullptr
                              : name.empty()          ? t.lun(static_cast<std::size_t>(lun))
                                                      : t.lun(name, static_cast<std::size_t>(lun));
    if (!store) {
        error = "--bad-blocks " + text + ": no LUN " + std::to_string(lun) +
                (name.empty() ? "" : " in target " + name);
        return false;
    }
    std::uint64_t blocks = store->size() / target::kBlockSize;
    std::stringstream in(rest);
    std::string item;
    bool any = false;
    while (std::getline(in, item, ',')) {
        std::uint64_t first = 0, last = 0, failures = 0;
        if (auto x = item.find('x'); x != std::string::npos) { // a weak block: LBAxREADS
            if (!number(item.substr(0, x), first) || !number(item.substr(x + 1), failures) ||
                failures == 0 || failures > 1000000 || first >= blocks)
                return false;
            store->badBlocks().addWeak(first, static_cast<std::uint32_t>(failures));
            any = true;
            continue;
        }
        auto dash = item.find('-');
        if (!number(item.substr(0, dash), first) ||
            !number(dash == std::string::npos ? item : item.substr(dash + 1), last) || last < first)
            return false;
        if (last >= blocks) {
            error = "--bad-blocks " + text + ": block " + std::to_string(last) +
                    " is past the LUN's last block " + std::to_string(blocks - 1);
            return false;
        }
        store->badBlocks().add(first, last);
        any = true;
    }
    return any && rest.back() != ',';
}

int runTarget(const TargetOptions& o) {
    target::TargetConfig config;
    if (!splitListen(o.listen, config.address, config.port))
        return usage("--listen wants ADDR:PORT, got '" + o.listen + "'");
    config.luns = o.luns.empty() ? std::vector<std::string>{"64M"} : o.luns;
    config.name = o.name;
    for (const std::string& text : o.targets) {
        target::NamedTarget t;
        std::string error;
        if (!parseNamedTarget(text, t, error))
            return usage(error);
        config.targets.push_back(std::move(t));
    }
    config.statusInDataIn = !o.statusSeparate;
    config.cmdWindow = o.cmdWindow;
    config.initialStatSN = o.initialStatSN;
    config.record = o.record;
    config.recordBudget = std::size_t{o.recordBudgetMiB} << 20;
    config.idleTimeout = config.pingTimeout = std::chrono::seconds(o.idleSeconds);
    config.maxConnections = o.maxConnections;
    config.maxSessions = o.maxSessions;
    for (const std::string& k : o.keys)
        if (!parseKeyPolicy(k, config.negotiation))
            return usage("--key wants KEY=VALUE|accept|?|reject|NotUnderstood[@N], got '" + k +
                         "'");
    target::Faults& f = config.faults;
    f.responseDelay = std::chrono::milliseconds(o.delayMs);
    f.withholdStatus = o.withholdStatus;
    f.dropAfterPdus = o.dropAfterPdus;
    f.dropAfterCommands = o.dropAfterCommands;
    f.loginStatus = static_cast<std::uint8_t>(o.loginStatus);
    f.loginOpcode = static_cast<std::uint8_t>(o.loginOpcode);
    f.loginVersion = static_cast<std::uint8_t>(o.loginVersion);
    f.closingOpcode = static_cast<std::uint8_t>(o.closingOpcode);
    f.closingStatus = static_cast<std::uint8_t>(o.closingStatus);
    f.disagree = o.disagree;
    f.neverFinal = o.neverFinal;
    f.closingNotFinal = o.closingNotFinal;
    f.dataInSizes = o.dataInSizes;
    f.dataInReversed = o.dataInReversed;
    f.dataInPastEnd = o.dataInPastEnd;
    f.repeatStatSN = o.repeatStatSN;
    f.unknownTaskTag = o.unknownTaskTag;
    f.closeWindow = o.closeWindow;
    f.taskManagementResponse = o.tmResponse;
    f.refuseLoginsAfter = o.refuseLoginsAfter;
    f.refuseLogins = o.refuseLogins;
    f.refuseLoginStatus = static_cast<std::uint8_t>(o.refuseLoginStatus);
    if (!o.async.empty()) {
        target::AsyncEvent event;
        if (!parseAsync(o.async, event))
            return usage("--async wants EVENT[,CID,WAIT,PARAM3], got '" + o.async + "'");
        f.asyncMessage = event;
        f.asyncAfterCommands = o.asyncAfter;
    }
    if (o.rejectReason >= 0) {
        f.rejectReason = static_cast<std::uint8_t>(o.rejectReason);
        f.rejectAfterCommands = o.rejectAfter;
    }
    f.oversizeSegment = o.oversize;
    f.oversizeAfterCommands = o.oversizeAfter;
    f.nopInterval = std::chrono::milliseconds(o.nopIntervalMs);
    f.nopData = o.nopData;
    f.nopWantAnswer = !o.nopNoAnswer;

    // Signals are taken by sigwait below; block them before any thread starts.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    target::Target t(config);
    std::string error;
    if (!t.start(&error)) {
        std::cerr << "quevi target: " << error << "\n";
        bool optionFault = error.find("listen") == std::string::npos;
        return optionFault ? kExitUsage : kExitFailure;
    }
    for (const std::string& text : o.badBlocks) {
        if (!applyBadBlocks(t, text, error)) {
            t.stop();
            return usage(error);
        }
    }
    std::cout << "listening " << t.address() << ":" << t.port() << std::endl;
    if (config.targets.empty()) {
        for (std::size_t n = 0; t.lun(n); ++n)
            std::cerr << "quevi target: LUN " << n << ": " << t.lun(n)->describe() << "\n";
    }
    for (const target::NamedTarget& named : config.targets)
        for (std::size_t n = 0; t.lun(named.name, n); ++n)
            std::cerr << "quevi target: " << named.name << " LUN " << n << ": "
                      << t.lun(named.name, n)->describe() << "\n";
    int sig = 0;
    sigwait(&signals, &sig);
    t.stop();
    return kExitOk;
}

} // namespace

void addTargetCommand(CLI::App& app, Runner& runner) {
    auto o = std::make_shared<TargetOptions>();
    CLI::App* sub = app.add_subcommand("target", "Serve a draft-iSCSI target until SIGINT/SIGTERM");
    sub->add_option("--listen", o->listen, "ADDR:PORT to listen on (port 0: any free port)")
        ->capture_default_str();
    auto* lun =
        sub->add_option("--lun", o->luns,
                        "LUN backing: a size (64M, 1G: sparse memory, at most the machine's) or a "
                        "file (./NAME for a name that starts with a digit); repeat");
    auto* name = sub->add_option("--name", o->name, "target name initiators must log in to")
                     ->capture_default_str();
    sub->add_option("--target", o->targets,
                    "NAME=SPEC[,SPEC...]: a target on this address with its LUNs 0, 1, ..., "
                    "each a size or a file as for --lun; repeat (instead of --name and --lun)")
        ->allow_extra_args(false)
        ->excludes(name)
        ->excludes(lun);
    sub->add_option("--bad-blocks", o->badBlocks,
                    "[NAME/][LUN:]LBA[-LBA][,...]: blocks whose reads fail with a medium error "
                    "until written (LUN 0 of the first target by default); LBAxN: a weak block, "
                    "whose first N reads fail; repeat")
        ->allow_extra_args(false);
    sub->add_flag("--status-separate", o->statusSeparate,
                  "send read status in a SCSI Response, not in the last Data-In");
    sub->add_option("--cmd-window", o->cmdWindow, "CmdSN window (MaxCmdSN - ExpCmdSN + 1)")
        ->check(CLI::Range(1u, 1u << 20));
    sub->add_option("--key", o->keys,
                    "negotiation answer KEY=VALUE|accept|?|reject|NotUnderstood[@N]; repeat");
    sub->add_option("--initial-statsn", o->initialStatSN, "first StatSN of each connection");
    sub->add_flag("--record", o->record, "record received PDUs (for debugging)");
    sub->add_option("--record-budget", o->recordBudgetMiB,
                    "MiB all records may take together; the oldest go first")
        ->capture_default_str()
        ->check(CLI::Range(1u, 1u << 20));
    sub->add_option("--idle-timeout", o->idleSeconds,
                    "ping a logged-in connection idle for S seconds and drop it when S more pass "
                    "without a PDU (0: never)")
        ->capture_default_str();
    sub->add_option("--max-connections", o->maxConnections, "connections open at once")
        ->capture_default_str()
        ->check(CLI::Range(1u, 65535u));
    sub->add_option("--max-sessions", o->maxSessions, "sessions at once")
        ->capture_default_str()
        ->check(CLI::Range(1u, 65535u));

    auto faults = "Fault injection";
    sub->add_option("--delay", o->delayMs, "delay every response by MS milliseconds")
        ->group(faults);
    sub->add_flag("--withhold-status", o->withholdStatus, "never send command status")
        ->group(faults);
    sub->add_option("--drop-after-pdus", o->dropAfterPdus, "close after N received PDUs")
        ->group(faults);
    sub->add_option("--drop-after-commands", o->dropAfterCommands, "close after N commands")
        ->group(faults);
    sub->add_option("--login-status", o->loginStatus, "refuse logins with this status")
        ->check(CLI::Range(0u, 255u))
        ->group(faults);
    sub->add_option("--login-opcode", o->loginOpcode, "opcode of the Login response")
        ->check(CLI::Range(0u, 255u))
        ->group(faults);
    sub->add_option("--login-version", o->loginVersion, "version byte of Login responses")
        ->check(CLI::Range(0u, 255u))
        ->group(faults);
    sub->add_option("--closing-opcode", o->closingOpcode, "opcode of the closing answers")
        ->check(CLI::Range(0u, 255u))
        ->group(faults);
    sub->add_option("--closing-status", o->closingStatus, "status of the final closing answer")
        ->check(CLI::Range(0u, 255u))
        ->group(faults);
    sub->add_flag("--disagree", o->disagree, "answer every negotiated key with ?")->group(faults);
    sub->add_flag("--never-final", o->neverFinal, "never mark a login Text answer final")
        ->group(faults);
    sub->add_option("--closing-not-final", o->closingNotFinal,
                    "closing answers without the final bit first")
        ->group(faults);
    sub->add_option("--data-in-sizes", o->dataInSizes, "Data-In sizes in turn, e.g. 512,4096")
        ->delimiter(',')
        ->check(CLI::Range(1u, 256u * 1024u))
        ->group(faults);
    sub->add_flag("--data-in-reversed", o->dataInReversed, "Data-In in descending offsets")
        ->group(faults);
    sub->add_option("--data-in-past-end", o->dataInPastEnd, "extra Data-In bytes past the buffer")
        ->group(faults);
    sub->add_flag("--repeat-statsn", o->repeatStatSN, "responses repeat the previous StatSN")
        ->group(faults);
    sub->add_flag("--unknown-task-tag", o->unknownTaskTag, "answer commands with a wrong tag")
        ->group(faults);
    sub->add_flag("--close-window", o->closeWindow, "MaxCmdSN one below ExpCmdSN")->group(faults);
    sub->add_option("--tm-response", o->tmResponse, "answer task management with this response")
        ->check(CLI::Range(0, 255))
        ->group(faults);
    sub->add_option("--refuse-logins-after", o->refuseLoginsAfter,
                    "refuse every login after the first N (0: none), e.g. reconnections")
        ->group(faults);
    sub->add_option("--refuse-logins", o->refuseLogins,
                    "... only this many of them, then accept again (default 0: all)")
        ->group(faults);
    sub->add_option("--refuse-login-status", o->refuseLoginStatus,
                    "... with this Login status (default 4, out of resources)")
        ->check(CLI::Range(1u, 255u))
        ->group(faults);
    sub->add_option("--async", o->async, "send an Asynchronous Message EVENT[,CID,WAIT,PARAM3]")
        ->group(faults);
    sub->add_option("--async-after", o->asyncAfter, "... after N commands (default 0)")
        ->group(faults);
    sub->add_option("--reject", o->rejectReason, "send a Reject with this reason (e.g. 15)")
        ->check(CLI::Range(0, 255))
        ->group(faults);
    sub->add_option("--reject-after", o->rejectAfter, "... after N commands (default 0)")
        ->group(faults);
    sub->add_flag("--oversize-segment", o->oversize,
                  "send a PDU claiming a 16 MiB data segment, then close")
        ->group(faults);
    sub->add_option("--oversize-after", o->oversizeAfter, "... after N commands (default 0)")
        ->group(faults);
    sub->add_option("--nop-interval", o->nopIntervalMs, "ping with NOP-In every MS milliseconds")
        ->group(faults);
    sub->add_option("--nop-data", o->nopData, "data carried by the pings")->group(faults);
    sub->add_flag("--nop-no-answer", o->nopNoAnswer, "pings do not ask for an answer")
        ->group(faults);

    sub->callback([o, &runner] { runner = [o] { return runTarget(*o); }; });
}

} // namespace quevi::cli
