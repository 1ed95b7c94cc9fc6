#include "tool/disk_copy.h"

#include "tool/sha256.h"

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

constexpr size_t kHolePiece = 4096;       // the granularity of holes in a sparse destination
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
};

// Runs at DISPATCH_LEVEL or on the submitting thread.
void chunkDone(DISK_IO* io) {
    auto* chunk = static_cast<Chunk*>(io->Context);
    chunk->finished.store(true, std::memory_order_release);
    KeSetEvent(chunk->wake, 0, FALSE);
}

std::string statusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    switch (status) {
    case STATUS_DEVICE_BUSY:
        return std::string("device busy (") + text + ")";
    case STATUS_NO_SUCH_DEVICE:
        return std::string("no such device (") + text + ")";
    case STATUS_IO_DEVICE_ERROR:
        return std::string("I/O error (") + text + ")";
    case STATUS_DEVICE_DATA_ERROR:
        return std::string("medium error (") + text + ")";
    default:
        return std::string("status ") + text;
    }
}

// Whole pieces that are not all zero are written; the rest stays a hole.
bool writeSparse(int fd, const uint8_t* data, uint32_t length, uint64_t at) {
    size_t start = 0;
    while (start < length) {
        size_t piece = std::min<size_t>(kHolePiece, length - start);
        if (allZero(data + start, piece)) {
            start += piece;
            continue;
        }
        size_t end = start + piece;
        while (end < length) {
            size_t next = std::min<size_t>(kHolePiece, length - end);
            if (allZero(data + end, next)) {
                break;
            }
            end += next;
        }
        for (size_t done = start; done < end;) {
            ssize_t n = pwrite(fd, data + done, end - done, static_cast<off_t>(at + done));
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                return false;
            }
            done += static_cast<size_t>(n);
        }
        start = end;
    }
    return true;
}

// Moves the whole length through `io` (pread or pwrite), resuming after short transfers and
// interruptions; false on an error or when the file ends early.
template <typename Buffer, typename Io>
bool wholeTransfer(Io io, int fd, Buffer* data, uint32_t length, uint64_t at) {
    for (size_t done = 0; done < length;) {
        ssize_t n = io(fd, data + done, length - done, static_cast<off_t>(at + done));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// A stream is written and read in the order of the chunks, which is the order the copier hands
// them over in, so the offsets are not needed.
bool writeAll(const CopyEnd& end, const uint8_t* data, uint32_t length, uint64_t at) {
    if (end.stream) {
        auto next = [](int fd, const uint8_t* p, size_t n, off_t) { return ::write(fd, p, n); };
        return wholeTransfer(next, end.fd, data, length, at);
    }
    return wholeTransfer(::pwrite, end.fd, data, length, at);
}

bool readAll(const CopyEnd& end, uint8_t* data, uint32_t length, uint64_t at) {
    if (end.stream) {
        auto next = [](int fd, uint8_t* p, size_t n, off_t) { return ::read(fd, p, n); };
        return wholeTransfer(next, end.fd, data, length, at);
    }
    return wholeTransfer(::pread, end.fd, data, length, at);
}

// Digests the chunks in the order they are handed over, on a thread of its own, beside the
// copying thread's writes and completions (which only read the buffers too). A chunk's buffer
// is reused only once digested() has passed its number. The digest as it stood after each of the
// last depth + 1 chunks is kept, so that a copy whose later chunks were read but never written
// still reports the digest of exactly what it copied.
class Hasher {
public:
    Hasher(size_t depth, KEVENT* wake)
        : pieces_(depth), after_(depth + 1), wake_(wake), thread_([this] { loop(); }) {}

    ~Hasher() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stop_ = true;
        }
        ready_.notify_one();
        thread_.join();
    }

    // The number the chunk is digested under.
    uint64_t hand(const uint8_t* data, uint32_t length) {
        std::lock_guard<std::mutex> guard(mutex_);
        pieces_[handed_ % pieces_.size()] = {data, length};
        ready_.notify_one();
        return handed_++;
    }

    uint64_t digested() const { return digested_.load(std::memory_order_acquire); }

    // The digest of the chunks up to and including number `last`, once it was digested and
    // while fewer than depth + 1 chunks were digested after it.
    std::string hexAfter(uint64_t last) { return after_[last % after_.size()].finishHex(); }

private:
    void loop() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            ready_.wait(lock, [this] { return stop_ || digested() < handed_; });
            if (digested() == handed_) {
                return;
            }
            auto [data, length] = pieces_[digested() % pieces_.size()];
            lock.unlock();
            hash_.update({data, length});
            after_[digested() % after_.size()].copyFrom(hash_);
            digested_.fetch_add(1, std::memory_order_release);
            KeSetEvent(wake_, 0, FALSE);
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<std::pair<const uint8_t*, uint32_t>> pieces_; // guarded by mutex_
    uint64_t handed_ = 0;                                     // guarded by mutex_
    bool stop_ = false;                                       // guarded by mutex_
    std::atomic<uint64_t> digested_{0};
    Sha256 hash_; // the hashing thread's
    // after_[n % size]: the digest after chunk n; written by the hashing thread before it counts
    // n as digested, read once it has.
    std::vector<Sha256> after_;
    KEVENT* wake_;
    std::thread thread_;
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
        }
    }

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
        c.io.Done = chunkDone;
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
