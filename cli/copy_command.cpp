// `quevi copy SRC DST`: copies between a LUN named by a URL and a file (or another LUN) through
// the whole stack: the driver loaded into the platform stand-ins, the add conversation, the bus
// scan, the class disk. Progress on stderr, one JSON object with the digest on stdout.
#include "cli/commands.h"
#include "cli/options.h"
#include "cli/progress.h"

#include "tool/disk_attach.h"
#include "tool/disk_copy.h"
#include "tool/interruption.h"
#include "tool/rescue_copy.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

namespace quevi::cli {
namespace {

constexpr uint32_t kChunkBytes = 1u << 20;
constexpr uint32_t kDepth = 4;

struct CopyOptions : SessionOptions {
    std::string source;
    std::string destination;
    std::string offset = "0";
    std::string length;
    bool quiet = false;
    bool noDigest = false;
    std::string rescue; // the map file of a rescue copy
    int retries = -1;   // of a read that fails with a medium error; -1: not given
};

constexpr int kExitUnreadable = 3; // a rescue copy finished with unreadable blocks
constexpr uint64_t kMaxMapFileBytes = 256u << 20;

int usage(const std::string& message) {
    std::cerr << "quevi copy: " << message << "\n";
    return kExitUsage;
}

int failure(const std::string& message) {
    std::cerr << "quevi copy: " << message << "\n";
    return kExitFailure;
}

// One side as given: a URL, a file name, or "-" for standard input or output.
struct Side {
    std::string text;
    std::optional<tool::TargetUrl> url;
    CLASS_DISK* disk = nullptr;
    int fd = -1;
    bool stream = false; // a pipe or socket, read or written in order
};

constexpr const char* kStandard = "-";

// Whether the descriptor can only be read or written in order (pread and pwrite fail on it).
bool isStream(int fd) {
    return lseek(fd, 0, SEEK_CUR) < 0 && errno == ESPIPE;
}

// Whether two descriptors name one file: the report then goes to stderr, not into the copy.
bool sameFile(int a, int b) {
    struct stat sa {};
    struct stat sb {};
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

bool readSide(const std::string& text, Side& side, std::string& error) {
    side.text = text;
    if (tool::looksLikeUrl(text)) {
        side.url = tool::parseTargetUrl(text, error);
        return side.url.has_value();
    }
    if (text.empty()) {
        error = "an empty file name";
        return false;
    }
    return true;
}

// The size of an open file or block device.
std::optional<uint64_t> fileSize(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return std::nullopt;
    }
    if (S_ISREG(st.st_mode)) {
        return static_cast<uint64_t>(st.st_size);
    }
    off_t end = lseek(fd, 0, SEEK_END);
    return end < 0 ? std::nullopt : std::optional<uint64_t>(static_cast<uint64_t>(end));
}

// Attached and sized: the copy itself, the destination's flush or truncation, the report.
int copyBetween(tool::Host& host, Side& from, Side& to, uint64_t offset, uint64_t length,
                const CopyOptions& options) {
    tool::CopyEnd a{from.disk, from.fd, from.disk != nullptr ? offset : 0, false, from.stream};
    tool::CopyEnd b{to.disk, to.fd, to.disk != nullptr ? offset : 0, false, to.stream};
    if (to.disk == nullptr) {
        struct stat st {};
        b.sparse = fstat(to.fd, &st) == 0 && S_ISREG(st.st_mode);
    }
    std::ostream& report =
        to.disk == nullptr && sameFile(to.fd, STDOUT_FILENO) ? std::cerr : std::cout;
    tool::CopyOptions copy;
    copy.length = length;
    copy.chunkBytes = kChunkBytes;
    copy.depth = kDepth;
    copy.stop = &tool::Interruption::flag();
    copy.digest = !options.noDigest;
    Progress progress(options.quiet, isatty(STDERR_FILENO) != 0);
    copy.progress = [&progress](const tool::CopyProgress& p) { progress.update(p); };
    tool::CopyResult result = tool::copyData(a, b, copy);
    progress.finish();

    std::string error = result.error;
    if (to.disk == nullptr && b.sparse &&
        ftruncate(to.fd, static_cast<off_t>(result.copied)) != 0) {
        error =
            error.empty() ? "setting the size of " + to.text + ": " + std::strerror(errno) : error;
    }
    // Once the requests were given up (an interruption the target did not answer in time), the
    // writes can no longer be confirmed; that is the interruption's doing, not a failure.
    bool unconfirmed = false;
    if (to.disk != nullptr && result.copied > 0 &&
        (host.givenUp() || !tool::flushDisk(host, to.disk))) {
        unconfirmed = host.givenUp();
        if (!unconfirmed && error.empty()) {
            error = "the target did not confirm the writes (SYNCHRONIZE CACHE failed)";
        }
    }
    double seconds = std::chrono::duration<double>(result.elapsed).count();
    double rate = seconds > 0 ? static_cast<double>(result.copied) / seconds / 1e6 : 0.0;
    report << nlohmann::ordered_json{{"source", from.text},
                                     {"destination", to.text},
                                     {"bytes", result.copied},
                                     {"complete", result.ok() && error.empty()},
                                     {"sha256", result.sha256.empty()
                                                    ? nlohmann::json()
                                                    : nlohmann::json(result.sha256)},
                                     {"seconds", std::round(seconds * 1000) / 1000},
                                     {"mb_per_s", std::round(rate * 10) / 10}}
                  .dump()
           << std::endl;
    if (!error.empty()) {
        return failure(error + "; " + std::to_string(result.copied) + " of " +
                       std::to_string(length) + " bytes copied before it");
    }
    if (result.interrupted) {
        std::cerr << "quevi copy: interrupted after " << result.copied << " of " << length
                  << " bytes (" << percentText(result.copied, length) << "); " << to.text
                  << " holds the first " << result.copied << " bytes copied"
                  << (unconfirmed ? " (the target did not confirm the writes in time)" : "")
                  << "\n";
        return kExitInterrupted;
    }
    return kExitOk;
}

int interruptedBeforeCopying() {
    std::cerr << "quevi copy: interrupted before copying; nothing was written\n";
    return kExitInterrupted;
}

// The map file's text; nothing when there is none yet. False when it cannot be read.
bool readMapFile(const std::string& path, std::optional<std::string>& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            return true;
        }
        error = "cannot read the map " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream all;
    std::vector<char> piece(1 << 16);
    uint64_t total = 0;
    while (in.read(piece.data(), static_cast<std::streamsize>(piece.size())) || in.gcount() > 0) {
        total += static_cast<uint64_t>(in.gcount());
        if (total > kMaxMapFileBytes) {
            error = "the map " + path + " is larger than any map of a disk could be";
            return false;
        }
        all.write(piece.data(), in.gcount());
    }
    text = all.str();
    return true;
}

// Data made durable on the destination: a file's data synced (a character device, such as
// /dev/null, keeps nothing to sync), a LUN's cache synchronized.
bool syncDestination(tool::Host& host, const Side& to, std::string& error) {
    if (to.disk != nullptr) {
        if (!tool::flushDisk(host, to.disk)) {
            error = "the target did not confirm the writes (SYNCHRONIZE CACHE failed)";
            return false;
        }
        return true;
    }
    struct stat st {};
    if (fstat(to.fd, &st) == 0 && S_ISCHR(st.st_mode)) {
        return true;
    }
    if (fdatasync(to.fd) != 0) {
        error = "syncing " + to.text + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// The map's first data line: where the copy stands, or finished.
void setCurrent(tool::RescueMap& map) {
    map.currentPass = 1;
    map.currentPos = 0;
    map.currentStatus = tool::kMapFinished;
    for (const tool::RescueMap::Range& r : map.ranges()) {
        if (r.status != tool::kMapFinished && r.status != tool::kMapBad) {
            map.currentPos = r.pos;
            map.currentStatus = tool::kMapNonTried;
            return;
        }
    }
}

bool saveMap(tool::RescueMap& map, const std::string& path, std::string& error) {
    setCurrent(map);
    return tool::saveMapFile(path, map.text("Mapfile. Created by quevi copy --rescue"), error);
}

// `quevi copy --rescue MAP LUN DST`, attached: the map read or begun (its size checked before
// anything is written), the copy, the destination's size and sync, the map, the report.
int rescueBetween(tool::Host& host, Side& from, Side& to, const CopyOptions& options) {
    if (tool::Interruption::flag().load()) {
        return interruptedBeforeCopying();
    }
    uint64_t block = qvdisk::blockSize(from.disk);
    uint64_t size = qvdisk::blockCount(from.disk) * block;
    std::string error;
    std::optional<std::string> text;
    if (!readMapFile(options.rescue, text, error)) {
        return failure(error);
    }
    std::optional<tool::RescueMap> map;
    if (text) {
        map = tool::RescueMap::parse(*text, error);
        if (!map) {
            return failure("the map " + options.rescue + " is not a ddrescue mapfile: " + error);
        }
        if (map->size() != size) {
            return failure("the map " + options.rescue + " covers " + std::to_string(map->size()) +
                           " bytes, " + from.text + " holds " + std::to_string(size) +
                           ": refused, nothing was written");
        }
        for (const tool::RescueMap::Range& r : map->ranges()) {
            if (r.pos % block != 0 || r.size % block != 0) {
                return failure("the map " + options.rescue + " has a block at byte " +
                               std::to_string(r.pos) + " that is not whole " +
                               std::to_string(block) + "-byte blocks of " + from.text);
            }
        }
    } else {
        map.emplace(size);
    }
    if (to.disk != nullptr) {
        if (qvdisk::blockCount(to.disk) * qvdisk::blockSize(to.disk) < size ||
            size % qvdisk::blockSize(to.disk) != 0) {
            return failure(to.text + " cannot hold the " + std::to_string(size) + " bytes of " +
                           from.text + ": refused, nothing was written");
        }
        if (to.disk == from.disk) {
            return usage("the source and the destination are the same LUN");
        }
    }
    // A new map is written before the destination is touched: a map that cannot be written
    // stops the copy before it starts.
    if (!text && !saveMap(*map, options.rescue, error)) {
        return failure(error);
    }
    if (to.disk == nullptr) {
        // A resumed copy keeps what the earlier runs wrote, and reads it back for the digest.
        int flags = O_RDWR | O_CREAT | O_CLOEXEC | (text ? 0 : O_TRUNC);
        to.fd = open(to.text.c_str(), flags, 0644);
        if (to.fd < 0) {
            return failure("cannot open " + to.text + ": " + std::strerror(errno));
        }
        if (isStream(to.fd)) {
            return usage("a rescue copy writes at the source's positions: " + to.text +
                         " is a pipe or socket");
        }
    }
    struct stat st {};
    bool regular = to.disk == nullptr && fstat(to.fd, &st) == 0 && S_ISREG(st.st_mode);
    tool::CopyEnd a{from.disk, -1, 0, false, false};
    tool::CopyEnd b{to.disk, to.fd, 0, regular, false};
    tool::RescueOptions rescue;
    rescue.chunkBytes = kChunkBytes;
    rescue.depth = kDepth;
    rescue.retries = options.retries < 0 ? 1 : static_cast<uint32_t>(options.retries);
    rescue.digest = !options.noDigest;
    rescue.stop = &tool::Interruption::flag();
    rescue.checkpoint = [&](const tool::RescueMap& now, std::string& why) {
        tool::RescueMap copy = now;
        return syncDestination(host, to, why) && saveMap(copy, options.rescue, why);
    };
    Progress progress(options.quiet, isatty(STDERR_FILENO) != 0);
    rescue.progress = [&progress](const tool::CopyProgress& p) { progress.update(p); };
    tool::RescueResult result = tool::rescueData(a, b, *map, rescue);
    progress.finish();

    error = result.error;
    if (regular && ftruncate(to.fd, static_cast<off_t>(size)) != 0 && error.empty()) {
        error = "setting the size of " + to.text + ": " + std::strerror(errno);
    }
    // Every block the map marks rescued was acknowledged by the destination (a pwrite returned,
    // the LUN answered the write); synced first, so that it lasts, unless the host gave the
    // target up after an interruption.
    std::string why;
    if (!host.givenUp() && !syncDestination(host, to, why) && error.empty()) {
        error = why;
    }
    if (!saveMap(*map, options.rescue, why)) {
        error = error.empty() ? why : error;
    }
    double seconds = std::chrono::duration<double>(result.elapsed).count();
    double rate = seconds > 0 ? static_cast<double>(result.read) / seconds / 1e6 : 0.0;
    nlohmann::ordered_json ranges = nlohmann::ordered_json::array();
    for (const tool::RescueMap::Range& r : map->ranges()) {
        if (r.status == tool::kMapBad) {
            ranges.push_back({{"offset", r.pos}, {"bytes", r.size}});
        }
    }
    uint64_t bad = map->bytes(tool::kMapBad);
    uint64_t rescued = map->bytes(tool::kMapFinished);
    std::cout << nlohmann::ordered_json{{"source", from.text},
                                        {"destination", to.text},
                                        {"bytes", rescued},
                                        {"complete", rescued == size},
                                        {"sha256", result.sha256.empty()
                                                       ? nlohmann::json()
                                                       : nlohmann::json(result.sha256)},
                                        {"seconds", std::round(seconds * 1000) / 1000},
                                        {"mb_per_s", std::round(rate * 10) / 10},
                                        {"bad_bytes", bad},
                                        {"bad_ranges", ranges}}
                     .dump()
              << std::endl;
    std::string held = "; " + options.rescue + " holds what was rescued: the same command resumes";
    if (!error.empty()) {
        return failure(error + held);
    }
    if (result.interrupted) {
        std::cerr << "quevi copy: interrupted with " << rescued << " of " << size
                  << " bytes rescued (" << percentText(rescued, size) << ")" << held << "\n";
        return kExitInterrupted;
    }
    if (bad > 0) {
        std::cerr << "quevi copy: " << bad << " bytes (" << bad / block << " blocks in "
                  << ranges.size() << " ranges) could not be read and are left as zeros; "
                  << options.rescue << " lists them, and the same command tries them again\n";
        return kExitUnreadable;
    }
    return kExitOk;
}

// Sizes are checked before anything is written; then the destination file is opened.
int checkAndCopy(tool::Host& host, Side& from, Side& to, uint64_t offset, bool lengthGiven,
                 uint64_t length, const CopyOptions& options) {
    if (!options.rescue.empty()) {
        return rescueBetween(host, from, to, options);
    }
    if (tool::Interruption::flag().load()) {
        return interruptedBeforeCopying();
    }
    auto diskBytes = [](CLASS_DISK* d) { return qvdisk::blockCount(d) * qvdisk::blockSize(d); };
    uint64_t available = 0; // what the source holds from where the copy starts
    if (from.disk != nullptr) {
        if (offset > diskBytes(from.disk)) {
            return usage("--offset " + std::to_string(offset) + " is past the end of " + from.text +
                         " (" + std::to_string(diskBytes(from.disk)) + " bytes)");
        }
        available = diskBytes(from.disk) - offset;
    } else if (from.stream) {
        available = length; // a stream that ends early fails the copy
    } else {
        std::optional<uint64_t> size = fileSize(from.fd);
        if (!size) {
            return failure("cannot tell the size of " + from.text);
        }
        available = *size;
    }
    if (!lengthGiven) {
        length = available;
    } else if (length > available) {
        return usage("--length " + std::to_string(length) + " is more than " + from.text +
                     " holds from there (" + std::to_string(available) + " bytes)");
    }
    for (Side* side : {&from, &to}) {
        uint64_t block = side->disk != nullptr ? qvdisk::blockSize(side->disk) : 1;
        if (offset % block != 0 || length % block != 0) {
            return usage("the offset (" + std::to_string(offset) + ") and the length (" +
                         std::to_string(length) + " bytes) must be whole " + std::to_string(block) +
                         "-byte blocks of " + side->text);
        }
    }
    if (to.disk != nullptr) {
        uint64_t size = diskBytes(to.disk);
        if (offset > size || length > size - offset) {
            return failure(to.text + " holds " + std::to_string(size > offset ? size - offset : 0) +
                           " bytes from offset " + std::to_string(offset) + ", the source " +
                           std::to_string(length) + ": refused, nothing was written");
        }
        if (to.disk == from.disk) {
            return usage("the source and the destination are the same LUN");
        }
    } else {
        to.fd = to.text == kStandard
                    ? fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0)
                    : open(to.text.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (to.fd < 0) {
            return failure("cannot open " + to.text + ": " + std::strerror(errno));
        }
        to.stream = isStream(to.fd);
    }
    return copyBetween(host, from, to, offset, length, options);
}

int runCopy(const CopyOptions& options) {
    std::string error;
    Side from, to;
    if (!readSide(options.source, from, error) || !readSide(options.destination, to, error)) {
        return usage(error);
    }
    if (!from.url && !to.url) {
        return usage("one side must be a LUN: quevi://ADDR[:PORT]/TARGETNAME[/LUN]");
    }
    if (!options.rescue.empty()) {
        if (!from.url) {
            return usage("--rescue copies from a LUN: the source must be a quevi:// URL");
        }
        if (to.text == kStandard) {
            return usage("--rescue writes at the source's positions: not to standard output");
        }
        if (options.offset != "0" || !options.length.empty()) {
            return usage("--rescue copies the whole LUN: no --offset or --length");
        }
        if (options.retries > 1000) {
            return usage("--retries must be between 0 and 1000");
        }
    } else if (options.retries >= 0) {
        return usage("--retries goes with --rescue");
    }
    uint64_t offset = 0;
    uint64_t length = 0;
    bool lengthGiven = !options.length.empty();
    if (!parseByteCount(options.offset, "--offset", offset, error) ||
        (lengthGiven && !parseByteCount(options.length, "--length", length, error))) {
        return usage(error);
    }
    tool::HostOptions hostOptions;
    if (!parseRegistry(options.registry, hostOptions.registry, error)) {
        return usage(error);
    }
    if (!options.initiatorName.empty() &&
        !tool::checkIscsiName(options.initiatorName, "--initiator-name", error)) {
        return usage(error);
    }
    if (options.connections < 1 || options.connections > 8) {
        return usage("--connections must be between 1 and 8");
    }
    if (options.timeout < 1 || options.timeout > 3600) {
        return usage("--timeout must be between 1 and 3600 seconds");
    }
    hostOptions.wait = std::chrono::seconds(options.timeout);
    tool::preferBulkTransfers(hostOptions);
    if (!from.url) {
        from.fd = from.text == kStandard ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                                         : open(from.text.c_str(), O_RDONLY | O_CLOEXEC);
        if (from.fd < 0) {
            return failure("cannot open " + from.text + ": " + std::strerror(errno));
        }
        from.stream = isStream(from.fd);
        if (from.stream && !lengthGiven) {
            close(from.fd);
            return usage("the size of " + from.text + " cannot be known in advance: give --length");
        }
    }
    // Declared before the host: the deadline also bounds the host's stop.
    tool::Interruption interruption("quevi copy");
    tool::Host host(hostOptions);
    if (!host.load(&error)) {
        return failure(error);
    }
    tool::Interruption::Watch watching(interruption, host);
    std::vector<tool::TargetUrl> urls;
    for (Side* side : {&from, &to}) {
        if (side->url) {
            urls.push_back(*side->url);
        }
    }
    tool::AttachOptions attach{options.initiatorName, options.connections, tool::acceptAll()};
    std::vector<CLASS_DISK*> disks = tool::attachDisks(host, urls, attach, error);
    int code = kExitOk;
    if (disks.empty()) {
        // An attach cut short by the interruption (its requests given up) is not a failure.
        code = tool::Interruption::flag().load() ? interruptedBeforeCopying() : failure(error);
    } else {
        size_t next = 0;
        for (Side* side : {&from, &to}) {
            if (side->url) {
                side->disk = disks[next++];
            }
        }
        code = checkAndCopy(host, from, to, offset, lengthGiven, length, options);
    }
    tool::HostReport report = host.stop();
    for (const std::string& problem : report.problems) {
        std::cerr << "quevi copy: " << problem << "\n";
    }
    if (from.fd >= 0) {
        close(from.fd);
    }
    if (to.fd >= 0 && close(to.fd) != 0 && code == kExitOk) {
        code = failure("closing " + to.text + ": " + std::strerror(errno));
    }
    return code == kExitOk && !report.clean() ? kExitFailure : code;
}

} // namespace

void addCopyCommand(CLI::App& app, Runner& runner) {
    auto options = std::make_shared<CopyOptions>();
    CLI::App* cmd = app.add_subcommand(
        "copy", "Copy a LUN to a file, a file to a LUN or a LUN to a LUN through the driver; "
                "prints the sha256 of what was copied");
    cmd->add_option("source", options->source,
                    "quevi://ADDR[:PORT]/TARGETNAME[/LUN], a file, or - for standard input (a "
                    "pipe needs --length)")
        ->required();
    cmd->add_option("destination", options->destination,
                    "quevi://ADDR[:PORT]/TARGETNAME[/LUN], a file (created or truncated; zero "
                    "blocks are left as holes), or - for standard output (the report then goes "
                    "to stderr)")
        ->required();
    cmd->add_option("--offset", options->offset,
                    "Where on the LUN the copy starts, in bytes (suffix K, M, G; whole blocks)");
    cmd->add_option("--length", options->length,
                    "Bytes to copy (default: the rest of the source LUN, or the source file)");
    addSessionOptions(cmd, options.get());
    cmd->add_option("--rescue", options->rescue,
                    "MAPFILE: copy a failing LUN whole, past unreadable blocks (left as zeros), "
                    "recording what was read in a GNU ddrescue mapfile; with an existing map, "
                    "copy only what it does not hold as rescued");
    cmd->add_option("--retries", options->retries,
                    "With --rescue: passes that read the blocks found unreadable again, alone "
                    "(default 1)");
    cmd->add_flag("--quiet,-q", options->quiet, "No progress output");
    cmd->add_flag(
        "--no-digest", options->noDigest,
        "No sha256 (\"sha256\":null): the digest costs about as much CPU as the transfer");
    cmd->callback([options, &runner] { runner = [options] { return runCopy(*options); }; });
}

} // namespace quevi::cli
