// Copying between LUNs (through their class disks) and files, with several transfers in flight.
// The data moves in chunks through a fixed ring of buffers allocated once: each chunk is read
// (a DISK_IO on the source disk, or a pread), hashed in order, then written (a DISK_IO on the
// destination disk, or a pwrite that skips zero pieces of a sparse file). Every transfer's status
// is checked; a failed one is tried again a few times (reads and writes of whole blocks can be
// repeated) and then fails the copy, so no wrong byte is ever passed on.
#pragma once

#include "platform/classdisk/classdisk.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace quevi::tool {

// One side of a copy: a disk when `disk` is set, else the file descriptor `fd`.
struct CopyEnd {
    CLASS_DISK* disk = nullptr;
    int fd = -1;
    uint64_t offset = 0; // where the copy starts on this side, in bytes
    bool sparse = false; // a file destination that reads as zeros where nothing is written
    bool stream = false; // a pipe or socket: read or written in order, without offsets
};

struct CopyProgress {
    uint64_t done = 0; // bytes copied from the start, in order (a rescue: of this run's part)
    uint64_t total = 0;
    std::chrono::steady_clock::duration elapsed{};
    // A rescue copy's image as its map holds it: bytes read and written, bytes unreadable.
    bool rescue = false;
    uint64_t rescued = 0;
    uint64_t bad = 0;
};

struct CopyOptions {
    uint64_t length = 0;
    uint32_t chunkBytes = 1u << 20; // a multiple of every disk's block size
    uint32_t depth = 4;             // chunks in flight
    uint32_t retries = 3;           // further attempts of a failed disk transfer
    bool digest = true;             // the SHA-256 of the bytes copied
    std::chrono::milliseconds retryPause{1000};
    // Called on the copying thread after each chunk.
    std::function<void(const CopyProgress&)> progress;
    // Once true, no further chunk starts and nothing is retried; the chunks in flight finish
    // and are counted, or fail (given up, see Host::giveUp) and end the copy there, without an
    // error: the copy is then interrupted, and nothing after them is written.
    const std::atomic<bool>* stop = nullptr;
};

struct CopyResult {
    uint64_t copied = 0; // bytes written in order from the start
    bool interrupted = false;
    std::string error; // empty when nothing failed
    // Of the bytes copied; empty without a digest, or when a write failed after its chunk was
    // digested (the digest would cover more than was copied).
    std::string sha256;
    std::chrono::steady_clock::duration elapsed{};
    bool ok() const { return error.empty() && !interrupted; }
};

CopyResult copyData(const CopyEnd& from, const CopyEnd& to, const CopyOptions& options);

// Whether the bytes are all zero.
bool allZero(const uint8_t* data, size_t length);

} // namespace quevi::tool
