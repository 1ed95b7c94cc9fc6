#include "tool/rescue_map.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quevi::tool {
namespace {

constexpr std::string_view kStatuses = "?*/-+";
constexpr std::string_view kCurrentStatuses = "?*/-FG+"; // ddrescue's phases, filling included

bool knownStatus(char status) {
    return kStatuses.find(status) != std::string_view::npos;
}

// Of a known status.
size_t statusIndex(char status) {
    return std::min(kStatuses.find(status), kStatuses.size() - 1);
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    size_t at = 0;
    while (true) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string_view::npos) {
            return out;
        }
        size_t end = line.find_first_of(" \t", at);
        out.push_back(line.substr(at, end == std::string_view::npos ? end : end - at));
        at = end;
    }
}

// "0x" and hex digits, or decimal digits; at most kMapMaxBytes.
bool number(std::string_view word, uint64_t& value) {
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        word.remove_prefix(2);
    }
    if (word.empty() || word.size() > 19) {
        return false;
    }
    value = 0;
    for (char c : word) {
        int digit = c >= '0' && c <= '9'                 ? c - '0'
                    : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                         : -1;
        if (digit < 0 || value > (kMapMaxBytes - static_cast<uint64_t>(digit)) / base) {
            return false;
        }
        value = value * base + static_cast<uint64_t>(digit);
    }
    return true;
}

bool oneChar(std::string_view word, std::string_view allowed, char& out) {
    if (word.size() != 1 || allowed.find(word[0]) == std::string_view::npos) {
        return false;
    }
    out = word[0];
    return true;
}

} // namespace

RescueMap::RescueMap(uint64_t size) : size_(size) {
    if (size > 0) {
        starts_[0] = kMapNonTried;
        counts_[statusIndex(kMapNonTried)] = size;
    }
}

std::optional<RescueMap> RescueMap::parse(std::string_view text, std::string& error) {
    RescueMap map(0);
    bool haveCurrent = false;
    size_t lineNumber = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        lineNumber++;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        auto fault = [&](const std::string& what) {
            error = "line " + std::to_string(lineNumber) + ": " + what;
            return std::nullopt;
        };
        if (line.find('\0') != std::string_view::npos) {
            return fault("a NUL byte");
        }
        std::vector<std::string_view> w = words(line);
        if (w.empty() || w[0][0] == '#') {
            continue;
        }
        if (!haveCurrent) {
            uint64_t pass = 1;
            if (w.size() < 2 || w.size() > 3 || !number(w[0], map.currentPos) ||
                !oneChar(w[1], kCurrentStatuses, map.currentStatus) ||
                (w.size() == 3 && (!number(w[2], pass) || pass == 0 || pass > 1000000))) {
                return fault("expected 'current_pos current_status [current_pass]'");
            }
            map.currentPass = static_cast<unsigned>(pass);
            haveCurrent = true;
            continue;
        }
        uint64_t pos = 0;
        uint64_t size = 0;
        char status = 0;
        if (w.size() != 3 || !number(w[0], pos) || !number(w[1], size) ||
            !oneChar(w[2], kStatuses, status)) {
            return fault("expected 'pos size status' (status one of " + std::string(kStatuses) +
                         ")");
        }
        if (pos != map.size_) {
            return fault("the block starts at " + std::to_string(pos) + ", not where the one " +
                         "before it ends (" + std::to_string(map.size_) + ")");
        }
        if (size == 0 || size > kMapMaxBytes - pos) {
            return fault(size == 0 ? "an empty block" : "a block past the largest position");
        }
        auto last = map.starts_.empty() ? map.starts_.end() : std::prev(map.starts_.end());
        if (last == map.starts_.end() || last->second != status) {
            map.starts_[pos] = status;
        }
        map.size_ = pos + size;
        map.counts_[statusIndex(status)] += size;
    }
    if (!haveCurrent || map.starts_.empty()) {
        error = haveCurrent ? "no blocks" : "empty: no current position line";
        return std::nullopt;
    }
    return map;
}

void RescueMap::mark(uint64_t pos, uint64_t length, char status) {
    if (length == 0 || pos >= size_ || !knownStatus(status)) {
        return;
    }
    uint64_t end = std::min(size_, pos + length);
    // Split at both ends, so that [pos, end) is whole blocks.
    for (uint64_t cut : {pos, end}) {
        if (cut < size_) {
            auto it = starts_.upper_bound(cut);
            char before = std::prev(it)->second;
            starts_.emplace(cut, before);
        }
    }
    auto it = starts_.find(pos);
    while (it != starts_.end() && it->first < end) {
        auto next = std::next(it);
        uint64_t blockEnd = next == starts_.end() ? size_ : next->first;
        counts_[statusIndex(it->second)] -= blockEnd - it->first;
        it = starts_.erase(it);
    }
    counts_[statusIndex(status)] += end - pos;
    it = starts_.emplace(pos, status).first;
    // Join with the neighbours of the same status.
    auto after = std::next(it);
    if (after != starts_.end() && after->second == status) {
        starts_.erase(after);
    }
    if (it != starts_.begin() && std::prev(it)->second == status) {
        starts_.erase(it);
    }
}

std::vector<RescueMap::Range> RescueMap::ranges() const {
    std::vector<Range> out;
    for (auto it = starts_.begin(); it != starts_.end(); ++it) {
        auto next = std::next(it);
        out.push_back(
            {it->first, (next == starts_.end() ? size_ : next->first) - it->first, it->second});
    }
    return out;
}

uint64_t RescueMap::bytes(char status) const {
    return knownStatus(status) ? counts_[statusIndex(status)] : 0;
}

std::string RescueMap::text(std::string_view comment) const {
    std::string out = "# " + std::string(comment) + "\n";
    out += "# current_pos  current_status  current_pass\n";
    char line[96];
    std::snprintf(line, sizeof line, "0x%08llX     %c               %u\n",
                  static_cast<unsigned long long>(currentPos), currentStatus, currentPass);
    out += line;
    out += "#      pos        size  status\n";
    for (const Range& r : ranges()) {
        std::snprintf(line, sizeof line, "0x%08llX  0x%08llX  %c\n",
                      static_cast<unsigned long long>(r.pos),
                      static_cast<unsigned long long>(r.size), r.status);
        out += line;
    }
    return out;
}

bool saveMapFile(const std::string& path, const std::string& text, std::string& error) {
    std::string temporary = path + ".tmp";
    auto failed = [&](const std::string& what) {
        error = what + " " + temporary + ": " + std::strerror(errno);
        return false;
    };
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return failed("cannot create");
    }
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            close(fd);
            return failed("cannot write");
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0) {
        close(fd);
        return failed("cannot sync");
    }
    if (close(fd) != 0) {
        return failed("cannot close");
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        return failed("cannot rename");
    }
    // The rename itself lasts once the folder is synced.
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : path.substr(0, slash);
    int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)fsync(dir);
        close(dir);
    }
    return true;
}

} // namespace quevi::tool
