// Logical unit stores: a sparse memory store (64 KiB chunks allocated on their first non-zero
// write; unwritten regions cost nothing and read as zeros) and a file store read and written in
// place with pread/pwrite, whose reads a connection sends from the page cache (sendableFd).
// Block size 512.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quevi::target {

inline constexpr std::uint32_t kBlockSize = 512;

// Blocks that fail every read until a write covers them, as a failing disk's unreadable sectors
// do until the disk remaps them on a write. Safe to use from several threads at once; costs one
// atomic load per command while no block is bad.
class BadBlocks {
public:
    // Blocks first to last, inclusive; merged with those already bad.
    void add(std::uint64_t first, std::uint64_t last);
    // A weak block: fails its next `failures` reads, then reads.
    void addWeak(std::uint64_t lba, std::uint32_t failures);
    // The first bad block of [lba, lba + count), if any.
    std::optional<std::uint64_t> firstIn(std::uint64_t lba, std::uint64_t count) const;
    // A read of [lba, lba + count): the first block that fails it, if any; every weak block it
    // touches has one failure fewer.
    std::optional<std::uint64_t> read(std::uint64_t lba, std::uint64_t count);
    // Written blocks read again.
    void heal(std::uint64_t lba, std::uint64_t count);
    std::uint64_t count() const;

private:
    mutable std::mutex mutex_;
    std::map<std::uint64_t, std::uint64_t> ranges_; // first -> last, disjoint; guarded by mutex_
    std::map<std::uint64_t, std::uint32_t> weak_;   // block -> failures left; guarded by mutex_
    std::atomic<bool> any_{false};                  // ranges_ or weak_ is not empty
};

class LunStore {
public:
    virtual ~LunStore() = default;
    virtual std::uint64_t size() const = 0; // bytes, a multiple of kBlockSize
    // Ranges must lie inside the store; both are safe to call from several threads at once.
    virtual bool read(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
    virtual bool write(std::uint64_t offset, std::span<const std::uint8_t> in) = 0;
    virtual bool flush() = 0;
    virtual std::string describe() const = 0;
    // A descriptor whose bytes at the store's offsets a socket may send straight from the page
    // cache (sendfile), or -1 when the store must be read into memory first.
    virtual int sendableFd() const { return -1; }
    // Consulted by the SCSI layer: read() and write() above ignore them.
    BadBlocks& badBlocks() { return bad_; }

private:
    BadBlocks bad_;
};

// "64M", "1G", "512K", "1048576" (bytes; K/M/G/T are powers of 1024, an optional "iB" or "B"
// may follow). The size must be a whole, positive multiple of 512. On failure `error` says
// what is wrong with it.
std::optional<std::uint64_t> parseLunSize(std::string_view text, std::string* error = nullptr);

// Physical memory of this machine: no memory store, nor all of them together, may be larger.
std::uint64_t machineMemory();
// "16 TiB", "1.5 GiB", "512 bytes".
std::string describeBytes(std::uint64_t bytes);

// Refuses a store larger than machineMemory() (a file store serves such a disk).
std::unique_ptr<LunStore> makeMemoryLun(std::uint64_t bytes, std::string* error);
// Opens an existing file; its size is rounded down to whole blocks (at least one block).
std::unique_ptr<LunStore> openFileLun(const std::string& path, std::string* error);
// A backing that begins with a digit and holds no "/" is a size and makes a memory store;
// anything else names a file ("./1G" is a file named 1G).
bool isSizeBacking(std::string_view backing);
std::unique_ptr<LunStore> openLun(const std::string& backing, std::string* error);

} // namespace quevi::target
