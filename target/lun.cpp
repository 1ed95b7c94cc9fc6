#include "target/lun.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <shared_mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quevi::target {
namespace {

constexpr std::uint64_t kChunkSize = 64 * 1024;
constexpr std::uint64_t kMaxSizeText = std::uint64_t{1} << 62; // beyond any machine's memory

class MemoryLun final : public LunStore {
public:
    explicit MemoryLun(std::uint64_t bytes)
        : size_(bytes), chunks_((bytes + kChunkSize - 1) / kChunkSize) {}
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t offset, std::span<std::uint8_t> out) override {
        std::shared_lock lock(mutex_);
        for (std::size_t done = 0; done < out.size();) {
            auto [chunk, at, n] = piece(offset + done, out.size() - done);
            if (chunks_[chunk])
                std::memcpy(out.data() + done, chunks_[chunk].get() + at, n);
            else
                std::memset(out.data() + done, 0, n);
            done += n;
        }
        return true;
    }
    bool write(std::uint64_t offset, std::span<const std::uint8_t> in) override {
        std::unique_lock lock(mutex_);
        for (std::size_t done = 0; done < in.size();) {
            auto [chunk, at, n] = piece(offset + done, in.size() - done);
            const std::uint8_t* from = in.data() + done;
            if (!chunks_[chunk] && std::all_of(from, from + n, [](auto b) { return b == 0; })) {
                done += n; // zeros over an unwritten chunk: it reads as zeros already
                continue;
            }
            if (!chunks_[chunk]) {
                chunks_[chunk].reset(new (std::nothrow) std::uint8_t[kChunkSize]());
                if (!chunks_[chunk])
                    return false;
            }
            std::memcpy(chunks_[chunk].get() + at, from, n);
            done += n;
        }
        return true;
    }
    bool flush() override { return true; }
    std::string describe() const override { return "memory " + std::to_string(size_) + " bytes"; }

private:
    struct Piece {
        std::size_t chunk;
        std::size_t at;
        std::size_t n;
    };
    // The part of [offset, offset + n) that lies in one chunk.
    static Piece piece(std::uint64_t offset, std::size_t n) {
        std::size_t at = static_cast<std::size_t>(offset % kChunkSize);
        return {static_cast<std::size_t>(offset / kChunkSize), at,
                std::min<std::size_t>(n, kChunkSize - at)};
    }

    std::uint64_t size_;
    // Readers share, writers exclude, so concurrent I/O from several connections to the same
    // blocks is defined; held only for the copy, never across network waits.
    std::shared_mutex mutex_;
    // Guarded by mutex_: one entry per chunk, null until a write puts non-zero bytes into it.
    std::vector<std::unique_ptr<std::uint8_t[]>> chunks_;
};

class FileLun final : public LunStore {
public:
    FileLun(int fd, std::uint64_t bytes, std::string path)
        : fd_(fd), size_(bytes), path_(std::move(path)) {}
    ~FileLun() override { ::close(fd_); }
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t offset, std::span<std::uint8_t> out) override {
        std::size_t done = 0;
        while (done < out.size()) {
            ssize_t n = ::pread(fd_, out.data() + done, out.size() - done,
                                static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return false;
            if (n == 0) { // a file shrunk under us reads as zeros
                std::memset(out.data() + done, 0, out.size() - done);
                return true;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool write(std::uint64_t offset, std::span<const std::uint8_t> in) override {
        std::size_t done = 0;
        while (done < in.size()) {
            ssize_t n = ::pwrite(fd_, in.data() + done, in.size() - done,
                                 static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool flush() override { return ::fdatasync(fd_) == 0; }
    std::string describe() const override {
        return "file " + path_ + " " + std::to_string(size_) + " bytes";
    }
    int sendableFd() const override { return fd_; }

private:
    int fd_;
    std::uint64_t size_;
    std::string path_;
};

} // namespace

std::optional<std::uint64_t> parseLunSize(std::string_view text, std::string* error) {
    auto fail = [&](const std::string& why) -> std::optional<std::uint64_t> {
        if (error)
            *error = "LUN size '" + std::string(text) + "': " + why;
        return std::nullopt;
    };
    std::uint64_t value = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (value > kMaxSizeText)
            return fail("too large for a memory LUN; serve a disk this large from a file");
    }
    if (i == 0)
        return fail("not a number");
    std::string_view unit = text.substr(i);
    if (!unit.empty() && (unit[0] == '.' || unit[0] == ','))
        return fail("a whole number is needed (1536M, not 1.5G)");
    std::uint64_t scale = 1;
    if (!unit.empty()) {
        static constexpr std::string_view kUnits = "KMGT";
        auto power =
            kUnits.find(static_cast<char>(std::toupper(static_cast<unsigned char>(unit[0]))));
        if (power != std::string_view::npos) {
            scale = std::uint64_t{1} << (10 * (power + 1));
            unit.remove_prefix(1);
        }
        if (unit != "" && unit != "B" && (unit != "iB" || scale == 1))
            return fail("unknown unit '" + std::string(unit) +
                        "' (K, M, G or T, optionally followed by B or iB)");
    }
    if (value > kMaxSizeText / scale)
        return fail("too large for a memory LUN; serve a disk this large from a file");
    value *= scale;
    if (value < kBlockSize)
        return fail("must be at least 512 bytes");
    if (value % kBlockSize != 0)
        return fail("not a multiple of 512 bytes");
    return value;
}

std::uint64_t machineMemory() {
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

std::string describeBytes(std::uint64_t bytes) {
    static constexpr const char* kNames[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    std::size_t unit = 0;
    std::uint64_t whole = bytes;
    while (whole >= 1024 && unit + 1 < std::size(kNames)) {
        whole /= 1024;
        ++unit;
    }
    std::uint64_t scale = std::uint64_t{1} << (10 * unit);
    std::string text = std::to_string(whole);
    if (std::uint64_t tenths = (bytes - whole * scale) * 10 / scale; tenths != 0)
        text += "." + std::to_string(tenths);
    return text + " " + kNames[unit];
}

std::unique_ptr<LunStore> makeMemoryLun(std::uint64_t bytes, std::string* error) {
    if (bytes == 0 || bytes % kBlockSize != 0) {
        if (error)
            *error = "memory LUN size must be a positive multiple of 512";
        return nullptr;
    }
    if (bytes > machineMemory()) {
        if (error)
            *error = "memory LUN of " + describeBytes(bytes) +
                     " is larger than this machine's memory (" + describeBytes(machineMemory()) +
                     "); serve a disk this large from a file LUN";
        return nullptr;
    }
    return std::make_unique<MemoryLun>(bytes);
}

std::unique_ptr<LunStore> openFileLun(const std::string& path, std::string* error) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        if (error)
            *error = "cannot open LUN file " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::uint64_t>(st.st_size) < kBlockSize) {
        ::close(fd);
        if (error)
            *error = "LUN file " + path + " is not a regular file of at least 512 bytes";
        return nullptr;
    }
    std::uint64_t bytes = static_cast<std::uint64_t>(st.st_size) / kBlockSize * kBlockSize;
    return std::make_unique<FileLun>(fd, bytes, path);
}

bool isSizeBacking(std::string_view backing) {
    return !backing.empty() && backing[0] >= '0' && backing[0] <= '9' &&
           backing.find('/') == std::string_view::npos;
}

void BadBlocks::add(std::uint64_t first, std::uint64_t last) {
    std::lock_guard lock(mutex_);
    // Absorb every range that overlaps or touches [first, last].
    auto it = ranges_.upper_bound(first);
    if (it != ranges_.begin() && std::prev(it)->second + 1 >= first)
        --it;
    while (it != ranges_.end() && it->first <= last + 1) {
        first = std::min(first, it->first);
        last = std::max(last, it->second);
        it = ranges_.erase(it);
    }
    ranges_[first] = last;
    any_.store(true, std::memory_order_release);
}

std::optional<std::uint64_t> BadBlocks::firstIn(std::uint64_t lba, std::uint64_t count) const {
    if (count == 0 || !any_.load(std::memory_order_acquire))
        return std::nullopt;
    std::lock_guard lock(mutex_);
    auto it = ranges_.upper_bound(lba);
    if (it != ranges_.begin() && std::prev(it)->second >= lba)
        return lba;
    if (it != ranges_.end() && it->first - lba < count)
        return it->first;
    return std::nullopt;
}

void BadBlocks::addWeak(std::uint64_t lba, std::uint32_t failures) {
    std::lock_guard lock(mutex_);
    weak_[lba] = failures;
    any_.store(true, std::memory_order_release);
}

std::optional<std::uint64_t> BadBlocks::read(std::uint64_t lba, std::uint64_t count) {
    std::optional<std::uint64_t> first = firstIn(lba, count);
    if (!any_.load(std::memory_order_acquire))
        return first;
    std::lock_guard lock(mutex_);
    for (auto it = weak_.lower_bound(lba); it != weak_.end() && it->first - lba < count;) {
        first = first && *first < it->first ? first : it->first;
        it = --it->second == 0 ? weak_.erase(it) : std::next(it);
    }
    any_.store(!ranges_.empty() || !weak_.empty(), std::memory_order_release);
    return first;
}

void BadBlocks::heal(std::uint64_t lba, std::uint64_t count) {
    if (count == 0 || !any_.load(std::memory_order_acquire))
        return;
    std::lock_guard lock(mutex_);
    std::uint64_t end = lba + count; // past the last healed block
    auto it = ranges_.upper_bound(lba);
    if (it != ranges_.begin() && std::prev(it)->second >= lba)
        --it;
    while (it != ranges_.end() && it->first < end) {
        auto [first, last] = *it;
        it = ranges_.erase(it);
        if (first < lba)
            ranges_[first] = lba - 1;
        if (last >= end)
            it = ranges_.emplace(end, last).first;
    }
    weak_.erase(weak_.lower_bound(lba), weak_.lower_bound(end));
    any_.store(!ranges_.empty() || !weak_.empty(), std::memory_order_release);
}

std::uint64_t BadBlocks::count() const {
    std::lock_guard lock(mutex_);
    std::uint64_t n = 0;
    for (auto [first, last] : ranges_)
        n += last - first + 1;
    return n;
}

std::unique_ptr<LunStore> openLun(const std::string& backing, std::string* error) {
    if (!isSizeBacking(backing))
        return openFileLun(backing, error);
    auto size = parseLunSize(backing, error);
    return size ? makeMemoryLun(*size, error) : nullptr;
}

} // namespace quevi::target
