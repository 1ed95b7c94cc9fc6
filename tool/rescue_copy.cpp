#include "tool/rescue_copy.h"

#include "tool/copy_parts.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace quevi::tool {
namespace {

constexpr LONGLONG kWaitSlice = -2000000; // 200 ms, in 100 ns units
constexpr auto kPauseSlice = std::chrono::milliseconds(20);
constexpr uint64_t kNotDigested = UINT64_MAX;
// Chunks beyond the reads in flight: read ahead of the hash (the slowest part), and of a read
// being searched.
constexpr uint32_t kDigestAhead = 12;
constexpr size_t kBadPerChunk = 16; // bad pieces a chunk holds without allocating

enum class Phase { Free, Reading, Writing, Written };

// A piece of the image in flight. A copied chunk is read from the source and written to the
// destination; a checked one (finished by an earlier run) is only read back from the
// destination for the digest.
struct Chunk {
    DISK_IO io{};
    uint8_t* buffer = nullptr;
    uint64_t at = 0; // image position
    uint32_t length = 0;
    bool copied = true;
    bool retry = false; // one block found unreadable, read again alone in a retry pass
    Phase phase = Phase::Free;
    std::atomic<bool> finished{false};
    NTSTATUS status = STATUS_SUCCESS; // of a file transfer
    uint32_t attempts = 0;            // link retries of the current transfer
    bool failed = false;              // nothing of it may be marked
    uint64_t digest = kNotDigested;
    std::vector<std::pair<uint32_t, uint32_t>> bad; // unreadable pieces: offset, length
    KEVENT* wake = nullptr;
    CallbackGate* gate = nullptr;
};

class Rescuer {
public:
    Rescuer(const CopyEnd& from, const CopyEnd& to, RescueMap& map, const RescueOptions& options)
        : from_(from), to_(to), map_(map), options_(options), plan_(map.ranges()),
          chunks_(options.depth + kDigestAhead), hasher_(chunks_.size(), &wake_),
          digesting_(options.digest) {
        KeInitializeEvent(&wake_, SynchronizationEvent, FALSE);
        size_t bytes = static_cast<size_t>(options.chunkBytes) * chunks_.size();
        memory_.reset(
            static_cast<uint8_t*>(std::aligned_alloc(4096, (bytes + 4095) / 4096 * 4096)));
        for (size_t i = 0; i < chunks_.size(); i++) {
            chunks_[i].buffer = memory_.get() + i * options.chunkBytes;
            chunks_[i].wake = &wake_;
            chunks_[i].gate = &gate_;
            chunks_[i].bad.reserve(kBadPerChunk);
        }
        block_ = qvdisk::blockSize(from.disk);
        for (const RescueMap::Range& r : plan_) {
            total_ += r.status == kMapFinished ? 0 : r.size;
        }
    }

    // run() returns once every chunk is finished; their callbacks may not have left yet.
    ~Rescuer() { gate_.drain(); }
    Rescuer(const Rescuer&) = delete;
    Rescuer& operator=(const Rescuer&) = delete;

    RescueResult run() {
        start_ = std::chrono::steady_clock::now();
        auto saved = start_;
        const uint64_t slots = chunks_.size();
        // Chunk numbers: [head, hashed) digested or being written, [hashed, tail) being read.
        uint64_t head = 0, hashed = 0, tail = 0;
        while (true) {
            bool progressed = false;
            // Reads in flight are bounded, not reads waiting behind one being searched, so that
            // the copy reads on while a failed read's answer is still on its way.
            uint64_t depth = retryPass_ > 0 ? slots : options_.depth; // retries: one block each
            while (!ending() && tail - head < slots && reading(hashed, tail) < depth &&
                   nextChunk(chunks_[tail % slots])) {
                startRead(chunks_[tail++ % slots]);
                progressed = true;
            }
            if (head == tail) {
                if (ending() || !nextRetryPass()) {
                    break;
                }
                continue;
            }
            while (hashed < tail && chunks_[hashed % slots].finished.load()) {
                Chunk& c = chunks_[hashed % slots];
                if (!readFinished(c)) {
                    break; // read again
                }
                hashed++;
                progressed = true;
            }
            while (head < hashed) {
                Chunk& c = chunks_[head % slots];
                if ((c.digest != kNotDigested && c.digest >= hasher_.digested()) ||
                    !writeFinished(c)) {
                    break;
                }
                c.phase = Phase::Free;
                head++;
                progressed = true;
                report();
            }
            if (options_.checkpoint &&
                std::chrono::steady_clock::now() - saved >= options_.checkpointEvery) {
                checkpoint();
                saved = std::chrono::steady_clock::now();
            }
            if (!progressed) {
                LARGE_INTEGER slice;
                slice.QuadPart = kWaitSlice;
                (void)KeWaitForSingleObject(&wake_, Executive, KernelMode, FALSE, &slice);
            }
        }
        // Cut short: in the pass, or before the retries due were done.
        bool retriesLeft =
            retryNext_ < retrying_.size() || (!found_.empty() && retryPass_ < options_.retries);
        result_.interrupted =
            result_.error.empty() && (next_ < map_.size() || incomplete_ || (cut_ && retriesLeft) ||
                                      (stopRequested() && retriesLeft));
        if (digesting_ && !recovered_ && result_.error.empty() && !result_.interrupted) {
            result_.sha256 = handed_ == 0 ? sha256Hex({}) : hasher_.hexAfter(handed_ - 1);
        }
        result_.elapsed = std::chrono::steady_clock::now() - start_;
        return result_;
    }

private:
    enum class Read { Ok, Medium, Failed, Cut };

    uint64_t reading(uint64_t from, uint64_t to) const {
        uint64_t n = 0;
        for (uint64_t i = from; i < to; i++) {
            n += chunks_[i % chunks_.size()].finished.load(std::memory_order_relaxed) ? 0 : 1;
        }
        return n;
    }

    bool stopRequested() const { return options_.stop != nullptr && options_.stop->load(); }
    bool ending() const { return !result_.error.empty() || stopRequested() || cut_; }

    void fail(const std::string& error) {
        if (result_.error.empty()) {
            result_.error = error;
        }
    }

    // After the pass over the image: the blocks it found unreadable, read again alone, all at
    // once, `retries` times (a failed read costs a deferred completion; many in flight share
    // one). False when no pass is due.
    bool nextRetryPass() {
        if (retryPass_ >= options_.retries || found_.empty()) {
            return false;
        }
        retryPass_++;
        retrying_.swap(found_);
        found_.clear();
        retryNext_ = 0;
        return true;
    }

    // The next piece of the plan: a copied chunk of what is not finished, or a checked chunk of
    // what is (only when digesting); in a retry pass, the next block to try again. False when
    // there is none.
    bool nextChunk(Chunk& c) {
        c.failed = false;
        c.digest = kNotDigested;
        c.bad.clear();
        c.retry = retryPass_ > 0;
        if (c.retry) {
            if (retryNext_ == retrying_.size()) {
                return false;
            }
            c.at = retrying_[retryNext_++];
            c.length = block_;
            c.copied = true;
            return true;
        }
        while (next_ < map_.size()) {
            while (plan_[range_].pos + plan_[range_].size <= next_) {
                range_++;
            }
            const RescueMap::Range& r = plan_[range_];
            bool copied = r.status != kMapFinished;
            uint64_t length = std::min<uint64_t>(options_.chunkBytes, r.pos + r.size - next_);
            if (!copied && !digesting_) {
                next_ = r.pos + r.size;
                continue;
            }
            c.at = next_;
            c.length = static_cast<uint32_t>(length);
            c.copied = copied;
            next_ += length;
            return true;
        }
        return false;
    }

    const CopyEnd& readEnd(const Chunk& c) const { return c.copied ? from_ : to_; }

    void submit(Chunk& c, CLASS_DISK* disk, bool write) {
        c.finished.store(false, std::memory_order_relaxed);
        c.io.Write = write ? TRUE : FALSE;
        c.io.Offset = c.at;
        c.io.Length = c.length;
        c.io.Buffer = c.buffer;
        c.io.Done = chunkDone<Chunk>;
        c.io.Context = &c;
        qvdisk::submitIo(disk, &c.io);
    }

    void startRead(Chunk& c) {
        c.phase = Phase::Reading;
        c.attempts = 0;
        const CopyEnd& end = readEnd(c);
        if (end.disk != nullptr) {
            submit(c, end.disk, false);
            return;
        }
        c.status = readAll(end, c.buffer, c.length, c.at) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        c.finished.store(true, std::memory_order_release);
    }

    // A finished read: searched when it met unreadable blocks, then digested and written.
    // False when it was started again.
    bool readFinished(Chunk& c) {
        const CopyEnd& end = readEnd(c);
        NTSTATUS status = end.disk != nullptr ? c.io.Status : c.status;
        if (!NT_SUCCESS(status)) {
            if (!c.copied) {
                // The destination does not read back what an earlier run wrote: no digest.
                digesting_ = false;
            } else if (ending()) {
                cut_ = cut_ || stopRequested();
                c.failed = true;
            } else if (status == STATUS_DEVICE_DATA_ERROR && c.retry) {
                found_.push_back(c.at); // still unreadable: the map keeps it bad
                c.failed = true;
            } else if (status == STATUS_DEVICE_DATA_ERROR) {
                Read r = search(c, 0, c.length, c.io.ErrorLba);
                c.failed = r == Read::Failed || r == Read::Cut;
                cut_ = cut_ || r == Read::Cut;
            } else if (retryLater(c, status, "read", c.at)) {
                submit(c, end.disk, false);
                return false;
            } else {
                c.failed = true;
            }
        }
        if (c.failed || (!c.copied && !digesting_)) {
            c.phase = Phase::Written;
            return true;
        }
        if (digesting_ && !c.retry) {
            c.digest = hasher_.hand(c.buffer, c.length);
            handed_++;
        }
        if (!c.copied) {
            c.phase = Phase::Written;
            return true;
        }
        c.attempts = 0;
        if (to_.disk != nullptr) {
            c.phase = Phase::Writing;
            submit(c, to_.disk, true);
            return true;
        }
        bool ok = to_.sparse ? writeSparse(to_.fd, c.buffer, c.length, c.at)
                             : writeAll(to_, c.buffer, c.length, c.at);
        if (!ok) {
            fail("writing the file at byte " + std::to_string(c.at) + ": " + std::strerror(errno));
            c.failed = true;
        }
        c.phase = Phase::Written;
        return true;
    }

    // A finished write (or a chunk with nothing to write): its blocks marked in the map. False
    // while it is still being written.
    bool writeFinished(Chunk& c) {
        if (c.phase == Phase::Writing) {
            if (!c.finished.load(std::memory_order_acquire)) {
                return false;
            }
            if (!NT_SUCCESS(c.io.Status)) {
                if (!ending() && retryLater(c, c.io.Status, "write", c.at)) {
                    submit(c, to_.disk, true);
                    return false;
                }
                cut_ = cut_ || stopRequested();
                c.failed = true;
            }
            c.phase = Phase::Written;
        }
        incomplete_ = incomplete_ || (c.copied && c.failed && !c.retry);
        if (c.retry && !c.failed) {
            // Read on a retry: the image's digest, taken with zeros there, no longer holds.
            map_.mark(c.at, c.length, kMapFinished);
            result_.read += c.length;
            result_.badFound -= c.length;
            recovered_ = true;
        } else if (c.copied && !c.failed) {
            map_.mark(c.at, c.length, kMapFinished);
            uint64_t bad = 0;
            for (auto [offset, length] : c.bad) {
                map_.mark(c.at + offset, length, kMapBad);
                bad += length;
                for (uint32_t b = 0; b < length; b += block_) {
                    found_.push_back(c.at + offset + b);
                }
            }
            result_.read += c.length - bad;
            result_.badFound += bad;
            done_ += c.length;
        }
        return true;
    }

    // Whether a transfer that failed otherwise than with a medium error is tried again (after
    // the pause); fails the copy when not.
    bool retryLater(Chunk& c, NTSTATUS status, const char* what, uint64_t at) {
        if (status != STATUS_INVALID_PARAMETER && c.attempts < options_.linkRetries) {
            c.attempts++;
            if (pause()) {
                return true;
            }
            cut_ = true;
            return false;
        }
        fail(std::string(what) + " of " + std::to_string(c.length) + " bytes at byte " +
             std::to_string(at) + " failed: " + statusText(status) + " after " +
             std::to_string(c.attempts + 1) + " attempts");
        return false;
    }

    bool pause() const {
        auto until = std::chrono::steady_clock::now() + options_.retryPause;
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

    // One read of [offset, offset + length) of the chunk's source into its buffer; a failure
    // other than a medium error is tried again after a pause, a few times.
    Read readOnce(Chunk& c, uint32_t offset, uint32_t length, ULONGLONG& errorLba) {
        for (uint32_t attempts = 1;; attempts++) {
            if (stopRequested()) {
                return Read::Cut;
            }
            NTSTATUS status = qvdisk::readWrite(from_.disk, false, c.at + offset, c.buffer + offset,
                                                length, &errorLba);
            if (NT_SUCCESS(status)) {
                return Read::Ok;
            }
            if (stopRequested()) {
                return Read::Cut;
            }
            if (status == STATUS_DEVICE_DATA_ERROR) {
                return Read::Medium;
            }
            if (status == STATUS_INVALID_PARAMETER || attempts > options_.linkRetries) {
                fail("read of " + std::to_string(length) + " bytes at byte " +
                     std::to_string(c.at + offset) + " failed: " + statusText(status) + " after " +
                     std::to_string(attempts) + " attempts");
                return Read::Failed;
            }
            if (!pause()) {
                return Read::Cut;
            }
        }
    }

    // A block that failed: zeroed in the buffer and noted, to be tried alone again later.
    void noteBad(Chunk& c, uint32_t offset) {
        std::memset(c.buffer + offset, 0, block_);
        if (!c.bad.empty() && c.bad.back().first + c.bad.back().second == offset) {
            c.bad.back().second += block_;
        } else {
            c.bad.emplace_back(offset, block_);
        }
    }

    // [offset, offset + length) of the chunk failed with a medium error naming `lba` (the
    // first block that failed, or kNoErrorLba). Its unreadable blocks are found: where the unit
    // names a block inside the piece, the piece is split there (what comes before it read, the
    // block noted, the rest read); otherwise the piece is halved, down to single blocks. A
    // failing read costs the driver's deferred completion (up to 10 ms) while the copy's
    // digest waits in order for this chunk, so a lone bad block costs one failing read here;
    // its reads alone come in the retry passes, all blocks at once.
    Read search(Chunk& c, uint32_t offset, uint32_t length, ULONGLONG lba) {
        while (length > 0) {
            uint64_t first = (c.at + offset) / block_;
            uint64_t blocks = length / block_;
            if (lba == kNoErrorLba || lba < first || lba - first >= blocks) {
                return halve(c, offset, length);
            }
            auto before = static_cast<uint32_t>((lba - first) * block_);
            Read r = before > 0 ? piece(c, offset, before) : Read::Ok;
            if (r != Read::Ok) {
                return r;
            }
            noteBad(c, offset + before);
            offset += before + block_;
            length -= before + block_;
            if (length > 0) {
                r = readOnce(c, offset, length, lba);
                if (r != Read::Medium) {
                    return r;
                }
            }
        }
        return Read::Ok;
    }

    Read halve(Chunk& c, uint32_t offset, uint32_t length) {
        if (length <= block_) {
            noteBad(c, offset);
            return Read::Ok;
        }
        uint32_t half = length / block_ / 2 * block_;
        for (auto [at, size] : {std::pair{offset, half}, std::pair{offset + half, length - half}}) {
            Read r = piece(c, at, size);
            if (r != Read::Ok) {
                return r;
            }
        }
        return Read::Ok;
    }

    // Reads a piece, searching it when it fails with a medium error.
    Read piece(Chunk& c, uint32_t offset, uint32_t length) {
        ULONGLONG lba = kNoErrorLba;
        Read r = readOnce(c, offset, length, lba);
        return r == Read::Medium ? search(c, offset, length, lba) : r;
    }

    void checkpoint() {
        std::string error;
        if (!options_.checkpoint(map_, error)) {
            fail(error);
        }
    }

    void report() {
        if (options_.progress) {
            CopyProgress p;
            p.done = done_;
            p.total = total_;
            p.elapsed = std::chrono::steady_clock::now() - start_;
            p.rescue = true;
            p.rescued = map_.bytes(kMapFinished);
            p.bad = map_.bytes(kMapBad);
            options_.progress(p);
        }
    }

    struct Free {
        void operator()(uint8_t* p) const { std::free(p); }
    };

    CopyEnd from_;
    CopyEnd to_;
    RescueMap& map_;
    RescueOptions options_;
    const std::vector<RescueMap::Range> plan_; // the map as it was at the start
    size_t range_ = 0;                         // the plan's range holding next_
    uint64_t next_ = 0;                        // where the next chunk starts
    uint32_t block_ = 512;
    uint64_t total_ = 0; // bytes to copy in this run
    uint64_t done_ = 0;  // of them, marked
    KEVENT wake_;
    CallbackGate gate_; // callbacks still inside chunkDone
    std::unique_ptr<uint8_t, Free> memory_;
    std::vector<Chunk> chunks_;
    Hasher hasher_;
    uint64_t handed_ = 0; // chunks handed to the hasher
    bool digesting_;
    std::vector<uint64_t> found_;    // blocks found unreadable in this pass, to try again
    std::vector<uint64_t> retrying_; // the blocks of the retry pass under way
    size_t retryNext_ = 0;
    uint32_t retryPass_ = 0;
    bool recovered_ = false;  // a block was read on a retry
    bool cut_ = false;        // ended early by the interruption
    bool incomplete_ = false; // a chunk to copy was not copied
    std::chrono::steady_clock::time_point start_;
    RescueResult result_;
};

} // namespace

RescueResult rescueData(const CopyEnd& from, const CopyEnd& to, RescueMap& map,
                        const RescueOptions& options) {
    Rescuer rescuer(from, to, map, options);
    return rescuer.run();
}

} // namespace quevi::tool
