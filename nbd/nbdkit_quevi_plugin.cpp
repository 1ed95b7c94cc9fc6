// The quevi nbdkit plugin: LUNs exported over NBD. The plugin is the tool's host inside the
// nbdkit process: after nbdkit has forked (or not, in the foreground) it loads the driver into the
// platform stand-ins, attaches the target named by `url` through the configuration tool's add
// conversation and takes the class disks: the URL's LUN alone when it names one (served whatever
// export name a client asks for), else every LUN the bus scan finds, each the export named by its
// number ("0", "1", ...; the default export is LUN 0), all from the one session. nbdkit's worker
// threads (parallel thread model, across connections and exports) read and write the disks with
// class disk transfers straight into and out of nbdkit's buffers. Ranges that do not fall on whole
// blocks go through a small per-thread buffer, and their writes are read, changed and written under
// the LUN's mutex so that two of them in the same block cannot undo each other. Every failed
// transfer is reported to the client as an error (EIO), never as data. When nbdkit ends, cleanup
// shuts the adapter down in order. SIGINT or SIGTERM stops nbdkit within a bound whatever the
// target does (see tool/interruption.h).
//
// Parameters: url=quevi://ADDR[:PORT]/TARGETNAME[/LUN] (also as the first bare parameter),
// initiator=NAME, connections=N, timeout=SECONDS, registry=NAME=VALUE (repeatable).
#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>

#include "tool/disk_attach.h"
#include "tool/interruption.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

using quevi::tool::TargetUrl;

// One LUN as an export: set by after_fork, then only read (the mutex aside) until cleanup.
struct Export {
    CLASS_DISK* disk = nullptr; // null: no such LUN
    uint64_t size = 0;
    uint32_t block = 512;
    std::mutex partialWrites; // serialises read-change-write of partial blocks
};

// Written by nbdkit's configuration and start callbacks (one thread), then only read by the
// workers until cleanup, which runs after the last of them.
struct PluginState {
    std::optional<TargetUrl> url;
    std::string initiator;
    uint32_t connections = 1;
    unsigned timeout = 30;
    std::vector<std::pair<std::string, uint32_t>> registry;
    // From after_fork to cleanup: SIGINT and SIGTERM stop nbdkit (its handlers are chained) and,
    // after a short grace, give up the transfers in flight, so that nbdkit's wait for the
    // callbacks under way ends whatever the target does.
    std::unique_ptr<quevi::tool::Interruption> interruption;
    std::unique_ptr<quevi::tool::Host> host;
    std::optional<quevi::tool::Interruption::Watch> watching;
    std::array<Export, quevi::tool::kMaxLun + 1> exports; // by LUN number
};

PluginState& state() {
    static PluginState s;
    return s;
}

// Every LUN of the target, each under its number, rather than the URL's LUN alone.
bool allLuns() {
    return !state().url->lunGiven;
}

// "A.B.C.D:PORT/NAME", for messages.
std::string targetText() {
    std::string text = quevi::tool::urlText(*state().url);
    return text.erase(text.rfind('/'));
}

std::optional<unsigned long> number(const char* text, unsigned long most) {
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 0);
    if (*text == '\0' || *text == '-' || *end != '\0' || errno != 0 || value > most) {
        return std::nullopt;
    }
    return value;
}

int questConfig(const char* key, const char* value) {
    PluginState& s = state();
    std::string k = key;
    std::string error;
    if (k == "url") {
        s.url = quevi::tool::parseTargetUrl(value, error);
    } else if (k == "initiator") {
        s.initiator = value;
        (void)quevi::tool::checkIscsiName(value, "initiator", error);
    } else if (k == "connections" || k == "timeout") {
        std::optional<unsigned long> v = number(value, k == "timeout" ? 3600 : 8);
        if (!v || *v == 0) {
            error = k + " must be a number from 1 to " + (k == "timeout" ? "3600" : "8");
        } else if (k == "timeout") {
            s.timeout = static_cast<unsigned>(*v);
        } else {
            s.connections = static_cast<uint32_t>(*v);
        }
    } else if (k == "registry") {
        std::string item = value;
        size_t eq = item.find('=');
        std::optional<unsigned long> v =
            eq == std::string::npos ? std::nullopt : number(item.c_str() + eq + 1, 0xFFFFFFFFul);
        if (eq == 0 || !v) {
            error = "registry needs NAME=VALUE with a number, got '" + item + "'";
        } else {
            s.registry.emplace_back(item.substr(0, eq), static_cast<uint32_t>(*v));
        }
    } else {
        error = "unknown parameter '" + k + "'";
    }
    if (!error.empty()) {
        nbdkit_error("%s", error.c_str());
        return -1;
    }
    return 0;
}

int questConfigComplete() {
    if (!state().url) {
        nbdkit_error("url=quevi://ADDR[:PORT]/TARGETNAME[/LUN] is required");
        return -1;
    }
    return 0;
}

// The driver's threads start here, in the process that serves.
int questAfterFork() {
    PluginState& s = state();
    quevi::tool::HostOptions options;
    options.registry = s.registry;
    options.wait = std::chrono::seconds(s.timeout);
    quevi::tool::preferBulkTransfers(options);
    s.interruption = std::make_unique<quevi::tool::Interruption>("quevi nbd", true);
    s.host = std::make_unique<quevi::tool::Host>(options);
    std::string error;
    if (!s.host->load(&error)) {
        nbdkit_error("%s", error.c_str());
        s.host.reset();
        return -1;
    }
    s.watching.emplace(*s.interruption, *s.host);
    quevi::tool::AttachOptions attach{s.initiator, s.connections, quevi::tool::acceptAll()};
    std::vector<CLASS_DISK*> disks;
    if (allLuns()) {
        disks = quevi::tool::attachTargetDisks(*s.host, *s.url, attach, error);
    } else if (std::vector<CLASS_DISK*> one =
                   quevi::tool::attachDisks(*s.host, {*s.url}, attach, error);
               !one.empty()) {
        disks.assign(quevi::tool::kMaxLun + 1, nullptr);
        disks[s.url->lun] = one[0];
    }
    if (disks.empty()) {
        nbdkit_error("%s", error.c_str());
        return -1; // cleanup still runs and stops the host
    }
    for (size_t lun = 0; lun < disks.size(); lun++) {
        Export& e = s.exports[lun];
        if ((e.disk = disks[lun]) != nullptr) {
            e.block = qvdisk::blockSize(e.disk);
            e.size = qvdisk::blockCount(e.disk) * e.block;
            nbdkit_debug("quevi: LUN %zu attached, %llu bytes in %u-byte blocks", lun,
                         static_cast<unsigned long long>(e.size), e.block);
        }
    }
    return 0;
}

void questCleanup() {
    PluginState& s = state();
    s.watching.reset();
    if (s.host) {
        quevi::tool::HostReport report = s.host->stop();
        for (const std::string& problem : report.problems) {
            nbdkit_error("quevi: %s", problem.c_str());
        }
        for (Export& e : s.exports) {
            e.disk = nullptr;
        }
        s.host.reset();
    }
    s.interruption.reset(); // last: its deadline also bounds the host's stop
}

// A transfer that failed once nbdkit is stopping was given up: the client is told the server is
// shutting down, and nothing is reported as a failure of the disk.
bool stopping() {
    return quevi::tool::Interruption::flag().load();
}

// Export names of every LUN: their numbers, described with the target and the size. With a LUN in
// the URL, nbdkit's default: the one export "".
int questListExports(int, int, nbdkit_exports* exports) {
    PluginState& s = state();
    if (!allLuns()) {
        return nbdkit_use_default_export(exports);
    }
    std::string target = targetText();
    for (size_t lun = 0; lun < s.exports.size(); lun++) {
        if (s.exports[lun].disk != nullptr) {
            std::string description = "LUN " + std::to_string(lun) + " of " + target + ", " +
                                      std::to_string(s.exports[lun].size) + " bytes";
            if (nbdkit_add_export(exports, std::to_string(lun).c_str(), description.c_str()) != 0) {
                return -1;
            }
        }
    }
    return 0;
}

const char* questDefaultExport(int, int) {
    return allLuns() ? "0" : "";
}

// The export a client names: with a LUN in the URL that LUN, whatever the name; else the LUN whose
// number the name is, written as list_exports writes it.
void* questOpen(int) {
    PluginState& s = state();
    if (!allLuns()) {
        Export& e = s.exports[s.url->lun];
        if (e.disk == nullptr) {
            nbdkit_error("the LUN is not attached");
            return nullptr;
        }
        return &e;
    }
    const char* name = nbdkit_export_name();
    if (name == nullptr) {
        return nullptr;
    }
    std::string wanted = *name == '\0' ? "0" : name;
    std::string served;
    for (size_t lun = 0; lun < s.exports.size(); lun++) {
        if (s.exports[lun].disk == nullptr) {
            continue;
        }
        if (wanted == std::to_string(lun)) {
            return &s.exports[lun];
        }
        served += (served.empty() ? "" : ", ") + std::to_string(lun);
    }
    std::string target = targetText();
    nbdkit_error("quevi: no LUN '%.64s' on %s: its exports are %s", name, target.c_str(),
                 served.c_str());
    return nullptr;
}

Export& lunOf(void* handle) {
    return *static_cast<Export*>(handle);
}

int64_t questGetSize(void* handle) {
    return static_cast<int64_t>(lunOf(handle).size);
}

int questBlockSize(void* handle, uint32_t* minimum, uint32_t* preferred, uint32_t* maximum) {
    *minimum = 1;
    *preferred = std::max<uint32_t>(lunOf(handle).block, 4096);
    *maximum = 0xFFFFFFFF;
    return 0;
}

int questCanMultiConn(void*) {
    return 1; // every connection reads and writes the same disk, and flush covers them all
}

int questCanFlush(void*) {
    return 1;
}

int questCanFua(void*) {
    return NBDKIT_FUA_EMULATE;
}

int errnoOf(NTSTATUS status) {
    return status == STATUS_INVALID_PARAMETER ? EINVAL : EIO;
}

// Whole blocks, straight between the disk and the caller's buffer.
int wholeBlocks(Export& e, bool write, void* buffer, uint64_t length, uint64_t offset) {
    NTSTATUS status = qvdisk::readWrite(e.disk, write, offset, buffer, length);
    if (!NT_SUCCESS(status) && stopping()) {
        nbdkit_set_error(ESHUTDOWN);
        return -1;
    }
    if (!NT_SUCCESS(status)) {
        nbdkit_error("quevi: %s of %llu bytes at %llu failed (status 0x%08X)",
                     write ? "write" : "read", static_cast<unsigned long long>(length),
                     static_cast<unsigned long long>(offset), static_cast<unsigned>(status));
        nbdkit_set_error(errnoOf(status));
        return -1;
    }
    return 0;
}

// Part of one block, through the calling thread's block buffer.
int partialBlock(Export& e, bool write, uint8_t* data, uint32_t length, uint64_t offset) {
    thread_local std::vector<uint8_t> bounce;
    bounce.resize(e.block);
    uint64_t start = offset / e.block * e.block;
    auto within = static_cast<size_t>(offset - start);
    if (!write) {
        if (wholeBlocks(e, false, bounce.data(), e.block, start) != 0) {
            return -1;
        }
        std::memcpy(data, bounce.data() + within, length);
        return 0;
    }
    std::lock_guard<std::mutex> guard(e.partialWrites);
    if (wholeBlocks(e, false, bounce.data(), e.block, start) != 0) {
        return -1;
    }
    std::memcpy(bounce.data() + within, data, length);
    return wholeBlocks(e, true, bounce.data(), e.block, start);
}

int transfer(Export& e, bool write, uint8_t* data, uint32_t count, uint64_t offset) {
    if (offset > e.size || count > e.size - offset) {
        nbdkit_set_error(EINVAL);
        return -1;
    }
    while (count > 0) {
        uint64_t within = offset % e.block;
        if (within != 0 || count < e.block) {
            auto piece = static_cast<uint32_t>(std::min<uint64_t>(count, e.block - within));
            if (partialBlock(e, write, data, piece, offset) != 0) {
                return -1;
            }
            data += piece;
            offset += piece;
            count -= piece;
            continue;
        }
        uint32_t whole = count / e.block * e.block;
        if (wholeBlocks(e, write, data, whole, offset) != 0) {
            return -1;
        }
        data += whole;
        offset += whole;
        count -= whole;
    }
    return 0;
}

int questPread(void* handle, void* buffer, uint32_t count, uint64_t offset, uint32_t) {
    return transfer(lunOf(handle), false, static_cast<uint8_t*>(buffer), count, offset);
}

int questPwrite(void* handle, const void* buffer, uint32_t count, uint64_t offset, uint32_t) {
    // The class disk only reads a write's buffer.
    return transfer(lunOf(handle), true, static_cast<uint8_t*>(const_cast<void*>(buffer)), count,
                    offset);
}

int questFlush(void* handle, uint32_t) {
    if (!quevi::tool::flushDisk(*state().host, lunOf(handle).disk)) {
        if (stopping()) {
            nbdkit_set_error(ESHUTDOWN);
            return -1;
        }
        nbdkit_error("quevi: SYNCHRONIZE CACHE failed");
        nbdkit_set_error(EIO);
        return -1;
    }
    return 0;
}

#define THREAD_MODEL NBDKIT_THREAD_MODEL_PARALLEL

nbdkit_plugin makePlugin() {
    nbdkit_plugin p{};
    p.name = "quevi";
    p.longname = "quevi draft-iSCSI initiator";
    p.version = "1.0";
    p.description = "LUNs of a draft-iSCSI target, through the quevi driver stack";
    p.config = questConfig;
    p.config_complete = questConfigComplete;
    p.config_help = "url=quevi://ADDR[:PORT]/TARGETNAME[/LUN]  the LUN to export, or without LUN\n"
                    "                     every LUN as export \"0\", \"1\", ... (required)\n"
                    "initiator=NAME       InitiatorName (default iqn.2001-04.org.quevi:HOST)\n"
                    "connections=N        connections of the session (1 to 8)\n"
                    "timeout=SECONDS      bound of every wait of the tool (30)\n"
                    "registry=NAME=VALUE  driver parameter under QueviSCSI\\Parameters";
    p.magic_config_key = "url";
    p.after_fork = questAfterFork;
    p.cleanup = questCleanup;
    p.unload = questCleanup; // also when nbdkit ends before serving
    p.list_exports = questListExports;
    p.default_export = questDefaultExport;
    p.open = questOpen;
    p.get_size = questGetSize;
    p.block_size = questBlockSize;
    p.can_multi_conn = questCanMultiConn;
    p.can_flush = questCanFlush;
    p.can_fua = questCanFua;
    p.pread = questPread;
    p.pwrite = questPwrite;
    p.flush = questFlush;
    return p;
}

nbdkit_plugin plugin = makePlugin();

} // namespace

NBDKIT_REGISTER_PLUGIN(plugin)
