// Progress of a long transfer on stderr: a bar redrawn in place on a terminal (bytes, MB/s, time
// left), a plain line every few seconds otherwise, nothing when quiet.
#pragma once

#include "tool/disk_copy.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace quevi::cli {

// "42%" of done over total (100% for an empty total).
std::string percentText(uint64_t done, uint64_t total);

class Progress {
public:
    Progress(bool quiet, bool terminal) : quiet_(quiet), terminal_(terminal) {}

    void update(const tool::CopyProgress& p);
    // Draws the last state and ends the bar's line.
    void finish();

    // One progress text: "12.0 MiB of 64.0 MiB (18%), 350.2 MB/s, 0:04 left".
    static std::string text(const tool::CopyProgress& p);

private:
    void draw(const tool::CopyProgress& p);

    bool quiet_;
    bool terminal_;
    tool::CopyProgress last_{};
    std::chrono::steady_clock::time_point shown_{};
    bool lastShown_ = false; // the last update is what the screen or the last line shows
};

} // namespace quevi::cli
