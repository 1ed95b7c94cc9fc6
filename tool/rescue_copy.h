// A rescue copy: a LUN with unreadable blocks copied at full speed to a file or another LUN,
// guided by and recording into a map (tool/rescue_map.h). Only what the map does not hold as
// finished is read. A read that fails with a medium error is split at the block the unit names
// (or halved again and again when it names none) down to single blocks; the good data around them
// is written, the blocks that failed are left as zeros (holes in a sparse file) and, after the
// pass, read again alone (`retries` passes), so that exactly the unreadable blocks are found. Other
// failures (a dropped connection, a busy unit) are tried again like a plain copy's and then fail
// the copy.
//
// The map marks a block finished only once the write of its bytes completed (a pwrite returned,
// or the destination LUN answered the write), and the checkpoint that saves the map first makes
// the destination durable, so a saved map never claims more than a resume can trust, whenever
// the copy is cut short.
#pragma once

#include "tool/disk_copy.h"
#include "tool/rescue_map.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace quevi::tool {

struct RescueOptions {
    uint32_t chunkBytes = 1u << 20; // a multiple of every disk's block size
    uint32_t depth = 4;             // chunks in flight
    // Passes after the first that read each block found unreadable again, alone.
    uint32_t retries = 1;
    uint32_t linkRetries = 3; // further attempts of a transfer that failed otherwise
    std::chrono::milliseconds retryPause{1000}; // before a link retry, not a medium-error one
    // The SHA-256 of the whole image in order: what this run read (zeros for unreadable blocks)
    // and, for what an earlier run finished, the destination's bytes read back.
    bool digest = true;
    std::chrono::milliseconds checkpointEvery{5000};
    // Makes the destination durable, then saves the map; false (with a message) fails the copy.
    std::function<bool(const RescueMap&, std::string& error)> checkpoint;
    std::function<void(const CopyProgress&)> progress;
    // As for a plain copy: once true, nothing new starts; the chunks in flight end as they may.
    const std::atomic<bool>* stop = nullptr;
};

struct RescueResult {
    uint64_t read = 0;     // bytes this run read and wrote
    uint64_t badFound = 0; // bytes this run could not read
    bool interrupted = false;
    std::string error; // empty when nothing failed
    // Of the whole image; empty without a digest, when the run ended early, or when a block read
    // only on a retry (the digest had taken zeros for it; a rerun reads the image back for it).
    std::string sha256;
    std::chrono::steady_clock::duration elapsed{};
};

// `from` must be a disk. The map covers the source from byte 0 (from.offset and to.offset are
// not used: the image lies at the source's own positions); it is updated in place.
RescueResult rescueData(const CopyEnd& from, const CopyEnd& to, RescueMap& map,
                        const RescueOptions& options);

} // namespace quevi::tool
