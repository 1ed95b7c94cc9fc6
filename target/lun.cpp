#include "target/lun.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <shared_mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quevi::target {
namespace {

constexpr std::uint64_t kMaxLunSize = std::uint64_t{1} << 44; // 16 TiB

class MemoryLun final : public LunStore {
public:
    MemoryLun(std::uint8_t* base, std::uint64_t bytes) : base_(base), size_(bytes) {}
    ~MemoryLun() override { munmap(base_, size_); }
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t offset, std::span<std::uint8_t> out) override {
        std::shared_lock lock(mutex_);
        std::memcpy(out.data(), base_ + offset, out.size());
        return true;
    }
    bool write(std::uint64_t offset, std::span<const std::uint8_t> in) override {
        std::unique_lock lock(mutex_);
        std::memcpy(base_ + offset, in.data(), in.size());
        return true;
    }
    bool flush() override { return true; }
    std::string describe() const override { return "memory " + std::to_string(size_) + " bytes"; }

private:
    std::uint8_t* base_;
    std::uint64_t size_;
    // Readers share, writers exclude, so concurrent I/O from several connections to the same
    // blocks is defined; held only for the copy, never across network waits.
    std::shared_mutex mutex_;
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

private:
    int fd_;
    std::uint64_t size_;
    std::string path_;
};

} // namespace

std::optional<std::uint64_t> parseLunSize(std::string_view text) {
    std::uint64_t value = 0;
    std::size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (value > kMaxLunSize)
            return std::nullopt;
    }
    if (i == 0)
        return std::nullopt;
    std::string_view unit = text.substr(i);
    std::uint64_t scale = 1;
    if (!unit.empty()) {
        switch (unit[0]) {
        case 'k':
        case 'K':
            scale = std::uint64_t{1} << 10;
            break;
        case 'm':
        case 'M':
            scale = std::uint64_t{1} << 20;
            break;
        case 'g':
        case 'G':
            scale = std::uint64_t{1} << 30;
            break;
        case 't':
        case 'T':
            scale = std::uint64_t{1} << 40;
            break;
        default:
            return std::nullopt;
        }
        unit.remove_prefix(1);
        if (unit != "" && unit != "B" && unit != "iB")
            return std::nullopt;
    }
    if (value > kMaxLunSize / scale)
        return std::nullopt;
    value *= scale;
    if (value == 0 || value % kBlockSize != 0)
        return std::nullopt;
    return value;
}

std::unique_ptr<LunStore> makeMemoryLun(std::uint64_t bytes, std::string* error) {
    if (bytes == 0 || bytes % kBlockSize != 0 || bytes > kMaxLunSize) {
        if (error)
            *error = "memory LUN size must be a positive multiple of 512";
        return nullptr;
    }
    void* base = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (base == MAP_FAILED) {
        if (error)
            *error = std::string("cannot map memory LUN: ") + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<MemoryLun>(static_cast<std::uint8_t*>(base), bytes);
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

std::unique_ptr<LunStore> openLun(const std::string& backing, std::string* error) {
    if (auto size = parseLunSize(backing))
        return makeMemoryLun(*size, error);
    return openFileLun(backing, error);
}

} // namespace quevi::target
