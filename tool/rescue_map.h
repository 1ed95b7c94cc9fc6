// The map of a rescue copy, in GNU ddrescue's mapfile format, so that ddrescue's own tools
// (ddrescuelog) read what `quevi copy --rescue` wrote and the reverse:
//
//   # comment lines
//   # current_pos  current_status  current_pass
//   0x00000000     ?               1
//   #      pos        size  status
//   0x00000000  0x00100000  +
//   0x00100000  0x00000200  -
//
// The blocks cover [0, size) in order without gaps; each has a status: '+' finished (read and
// written), '-' bad (unreadable), '?' not tried, '*' not trimmed and '/' not scraped (ddrescue's
// own steps; a rescue copy tries them again like '?'). A map is user input: the parser accepts
// exactly that grammar and says on which line anything else stands.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quevi::tool {

inline constexpr char kMapNonTried = '?';
inline constexpr char kMapNonTrimmed = '*';
inline constexpr char kMapNonScraped = '/';
inline constexpr char kMapBad = '-';
inline constexpr char kMapFinished = '+';

// The largest position ddrescue handles (a signed 64-bit byte count).
inline constexpr uint64_t kMapMaxBytes = (uint64_t{1} << 63) - 1;

class RescueMap {
public:
    struct Range {
        uint64_t pos = 0;
        uint64_t size = 0;
        char status = kMapNonTried;
        bool operator==(const Range&) const = default;
    };

    // One block of `size` bytes, not tried.
    explicit RescueMap(uint64_t size);

    // Nothing (and `error` naming the line and the fault) when the text is not a mapfile.
    static std::optional<RescueMap> parse(std::string_view text, std::string& error);

    uint64_t size() const { return size_; }
    // Gives [pos, pos + length) the status; neighbours of one status become one block.
    void mark(uint64_t pos, uint64_t length, char status);
    std::vector<Range> ranges() const;
    // Bytes with the status.
    uint64_t bytes(char status) const;

    // The current position and status ddrescue writes on its first data line.
    uint64_t currentPos = 0;
    char currentStatus = kMapNonTried;
    unsigned currentPass = 1;

    // The mapfile text, `comment` (one line, without '#') first.
    std::string text(std::string_view comment) const;

private:
    uint64_t size_;
    // Block starts and their statuses; a block runs to the next start, the last to size_.
    std::map<uint64_t, char> starts_;
    uint64_t counts_[5] = {}; // bytes by status, in the order of kStatuses
};

// Writes the text to `path` so that a crash at any moment leaves the old file or the new one,
// whole: a temporary file beside it, synced, renamed over it, and the folder synced.
bool saveMapFile(const std::string& path, const std::string& text, std::string& error);

} // namespace quevi::tool
