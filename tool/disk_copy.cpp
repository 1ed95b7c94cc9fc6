#include "tool/disk_copy.h"

#include "tool/copy_parts.h"

#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace quevi::tool {
namespace {

constexpr LONGLONG kWaitSlice = -2000000; // 200 ms, in 100 ns units
constexpr auto kPauseSlice = std::chrono::milliseconds(20);

constexpr uint64_t kNotDigested = UINT64_MAX;
// Chunks beyond the reads in flight that a digesting copy may hold, read but not yet digested:
// the hashing thread is the copy's slowest part, and with this much ahead of it a moment's
// stall of the reads (a thread preempted on a busy machine) never leaves it waiting.
constexpr uint32_t kDigestAhead = 12;

enum class Phase { Free, Reading, Writing, Written };

struct Chunk {
    DISK_IO io{};
    uint8_t* buffer = nullptr;
    uint64_t at = 0; // bytes from the start of the copy
    uint32_t length = 0;
    Phase phase = Phase::Free;
    std::atomic<bool> finished{false};
    NTSTATUS status = STATUS_SUCCESS; // of a file transfer
    uint32_t attempts = 0;            // of the current transfer
    bool failed = false;              // not to be counted as copied
    uint64_t digest = 0; // the hasher's number for it; kNotDigested when not handed over
    KEVENT* wake = nullptr;
    CallbackGate* gate = nullptr;
};

class Copier {
public:
    Copier(const CopyEnd& from, const CopyEnd& to, const CopyOptions& options)
        : from_(from), to_(to), options_(options),
          chunks_(options.depth + (options.digest ? kDigestAhead : 0)),
          hasher_(chunks_.size(), &wake_) {
        KeInitializeEvent(&wake_, SynchronizationEvent, FALSE);
        size_t bytes = static_cast<size_t>(options.chunkBytes) * chunks_.size();
        memory_.reset(
            static_cast<uint8_t*>(std::aligned_alloc(4096, (bytes + 4095) / 4096 * 4096)));
        for (size_t i = 0; i < chunks_.size(); i++) {
            chunks_[i].buffer = memory_.get() + i * options.chunkBytes;
            chunks_[i].wake = &wake_;
            chunks_[i].gate = &gate_;
        }
    }

    // run() returns once every chunk is finished; their callbacks may not have left yet.
    ~Copier() { gate_.drain(); }
    Copier(const Copier&) = delete;
    Copier& operator=(const Copier&) = delete;

    CopyResult run() {
        auto start = std::chrono::steady_clock::now();
        const uint64_t total = options_.length;
        const uint64_t slots = chunks_.size();
        const uint64_t depth = options_.depth;
        // Sequence numbers of chunks: [head, hashed) are being digested or written, [hashed,
        // tail) read, at most depth of them.
        uint64_t head = 0;
        uint64_t hashed = 0;
        uint64_t tail = 0;
        uint64_t issued = 0;
        while (true) {
            bool progressed = false;
            bool stopping =
                !result_.error.empty() || (options_.stop != nullptr && options_.stop->load());
            while (!stopping && issued < total && tail - head < slots && tail - hashed < depth) {
                Chunk& c = chunks_[tail++ % slots];
                c.at = issued;
                c.length =
                    static_cast<uint32_t>(std::min<uint64_t>(options_.chunkBytes, total - issued));
                c.failed = false;
                c.digest = kNotDigested;
                issued += c.length;
                startRead(c);
                progressed = true;
            }
            if (head == tail) {
                break;
            }
            // Reads that finished, in order: hashed, then written.
            while (hashed < tail) {
                Chunk& c = chunks_[hashed % slots];
                if (!c.finished.load(std::memory_order_acquire)) {
                    break;
                }
                Outcome outcome = checked(c, from_, "read");
                if (outcome == Outcome::Retrying) {
                    break;
                }
                if (outcome == Outcome::Ok && result_.error.empty() && !cut_) {
                    if (options_.digest) {
                        c.digest = hasher_.hand(c.buffer, c.length);
                    }
                    startWrite(c);
                } else {
                    c.failed = true;
                    c.phase = Phase::Written;
                }
                hashed++;
                progressed = true;
            }
            // Writes that finished, in order: counted and freed.
            while (head < hashed) {
                Chunk& c = chunks_[head % slots];
                if (c.digest != kNotDigested && c.digest >= hasher_.digested()) {
                    break;
                }
                if (c.phase == Phase::Writing) {
                    if (!c.finished.load(std::memory_order_acquire)) {
                        break;
                    }
                    Outcome outcome = checked(c, to_, "write");
                    if (outcome == Outcome::Retrying) {
                        break;
                    }
                    c.failed = outcome == Outcome::Failed;
                }
                if (!c.failed && c.at == result_.copied) {
                    result_.copied += c.length;
                    lastCopied_ = c.digest;
                }
                c.phase = Phase::Free;
                head++;
                progressed = true;
                if (options_.progress) {
                    options_.progress(
                        {result_.copied, total, std::chrono::steady_clock::now() - start});
                }
            }
            if (!progressed) {
                LARGE_INTEGER slice;
                slice.QuadPart = kWaitSlice;
                (void)KeWaitForSingleObject(&wake_, Executive, KernelMode, FALSE, &slice);
            }
        }
        result_.interrupted = result_.copied < total && result_.error.empty();
        if (options_.digest) {
            // Of what was copied, without the chunks read and digested after it.
            result_.sha256 = result_.copied == 0 ? sha256Hex({}) : hasher_.hexAfter(lastCopied_);
        }
        result_.elapsed = std::chrono::steady_clock::now() - start;
        return result_;
    }

private:
    enum class Outcome { Ok, Retrying, Failed };

    void submit(Chunk& c, CLASS_DISK* disk, bool write, uint64_t offset) {
        c.finished.store(false, std::memory_order_relaxed);
        c.io.Write = write ? TRUE : FALSE;
        c.io.Offset = offset + c.at;
        c.io.Length = c.length;
        c.io.Buffer = c.buffer;
        c.io.Done = chunkDone<Chunk>;
        c.io.Context = &c;
        qvdisk::submitIo(disk, &c.io);
    }

    void startRead(Chunk& c) {
        c.phase = Phase::Reading;
        c.attempts = 0;
        if (from_.disk != nullptr) {
            submit(c, from_.disk, false, from_.offset);
            return;
        }
        c.status = readAll(from_, c.buffer, c.length, from_.offset + c.at) ? STATUS_SUCCESS
                                                                           : STATUS_UNSUCCESSFUL;
        c.finished.store(true, std::memory_order_release);
    }

    void startWrite(Chunk& c) {
        c.attempts = 0;
        if (to_.disk != nullptr) {
            c.phase = Phase::Writing;
            submit(c, to_.disk, true, to_.offset);
            return;
        }
        uint64_t at = to_.offset + c.at;
        bool ok = to_.sparse ? writeSparse(to_.fd, c.buffer, c.length, at)
                             : writeAll(to_, c.buffer, c.length, at);
        if (!ok) {
            fail("writing the file at byte " + std::to_string(at) + ": " + std::strerror(errno));
            c.failed = true;
        }
        c.phase = Phase::Written;
    }

    // A finished transfer of the chunk. A failed disk transfer is started again while attempts
    // remain; otherwise the copy fails.
    Outcome checked(Chunk& c, const CopyEnd& end, const char* what) {
        NTSTATUS status = end.disk != nullptr ? c.io.Status : c.status;
        if (NT_SUCCESS(status)) {
            return Outcome::Ok;
        }
        uint64_t at = end.offset + c.at;
        if (!result_.error.empty()) {
            return Outcome::Failed;
        }
        // Once the copy is interrupted, transfers in flight that fail were given up (or would
        // be): no retry, no error, and nothing after them is written.
        if (stopRequested()) {
            cut_ = true;
            return Outcome::Failed;
        }
        if (end.disk == nullptr) {
            fail(std::string(what) + " of the file at byte " + std::to_string(at) +
                 " failed or the file ended early");
            return Outcome::Failed;
        }
        if (status != STATUS_INVALID_PARAMETER && c.attempts < options_.retries) {
            c.attempts++;
            if (!pause(options_.retryPause)) {
                cut_ = true;
                return Outcome::Failed;
            }
            submit(c, end.disk, c.phase == Phase::Writing, end.offset);
            return Outcome::Retrying;
        }
        std::string where;
        if (status == STATUS_DEVICE_DATA_ERROR && c.io.ErrorLba != kNoErrorLba) {
            where = " at LBA " + std::to_string(c.io.ErrorLba);
        }
        fail(std::string(what) + " of " + std::to_string(c.length) + " bytes at byte " +
             std::to_string(at) + " failed: " + statusText(status) + where + " after " +
             std::to_string(c.attempts + 1) + " attempts");
        return Outcome::Failed;
    }

    bool stopRequested() const { return options_.stop != nullptr && options_.stop->load(); }

    // Waits before a retry; false when the copy was interrupted meanwhile.
    bool pause(std::chrono::milliseconds length) const {
        auto until = std::chrono::steady_clock::now() + length;
        while (!stopRequested()) {
            auto left = until - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) {
                return true;
            }
            std::this_thread::sleep_for(
                std::min<std::chrono::steady_clock::duration>(left, kPauseSlice));
        }
        return false;
    }

    void fail(const std::string& error) {
        if (result_.error.empty()) {
            result_.error = error;
        }
    }

    struct Free {
        void operator()(uint8_t* p) const { std::free(p); }
    };

    CopyEnd from_;
    CopyEnd to_;
    CopyOptions options_;
    KEVENT wake_;
    CallbackGate gate_; // callbacks still inside chunkDone
    std::unique_ptr<uint8_t, Free> memory_;
    std::vector<Chunk> chunks_;
    Hasher hasher_;
    CopyResult result_;
    bool cut_ = false;                   // a transfer was given up after the interruption
    uint64_t lastCopied_ = kNotDigested; // the digest number of the last chunk counted as copied
};

} // namespace

bool allZero(const uint8_t* data, size_t length) {
    return length == 0 || (data[0] == 0 && std::memcmp(data, data + 1, length - 1) == 0);
}

CopyResult copyData(const CopyEnd& from, const CopyEnd& to, const CopyOptions& options) {
    Copier copier(from, to, options);
    return copier.run();
}

} // namespace quevi::tool
