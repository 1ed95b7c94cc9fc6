// Pieces the copies share: the file side's transfers (whole, or sparse with holes), the text of
// a transfer's status, and the hashing thread that digests chunks in order.
#pragma once

#include "tool/disk_copy.h"
#include "tool/sha256.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace quevi::tool {

inline constexpr size_t kHolePiece = 4096; // the granularity of holes in a sparse destination

std::string statusText(NTSTATUS status);

// Whole pieces that are not all zero are written; the rest stays a hole.
bool writeSparse(int fd, const uint8_t* data, uint32_t length, uint64_t at);

// The whole length at `at` (in order for a stream); false on an error or when the file ends early.
bool writeAll(const CopyEnd& end, const uint8_t* data, uint32_t length, uint64_t at);
bool readAll(const CopyEnd& end, uint8_t* data, uint32_t length, uint64_t at);

// The completion callbacks running at a moment. A callback counts itself in before it marks its
// chunk finished and out after its last touch of the copy's records (the wake event), so that a
// copy that has seen every chunk finished waits for the last callbacks to leave before its records
// go away: without it, a copy could return while a callback was still setting its event.
class CallbackGate {
public:
    void enter() { running_.fetch_add(1, std::memory_order_acq_rel); }
    void leave() { running_.fetch_sub(1, std::memory_order_release); }

    // A callback is a few instructions from leaving once its chunk is finished; the bound only
    // keeps a broken one from hanging the program.
    void drain() const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (running_.load(std::memory_order_acquire) != 0 &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
    }

private:
    std::atomic<uint32_t> running_{0};
};

// The completion of a chunk's transfer, for a chunk record with `finished`, `wake` and `gate`
// (its DISK_IO's Context): marks it finished and wakes the copy, inside the gate. Runs at
// DISPATCH_LEVEL or on the submitting thread.
template <typename Chunk>
void chunkDone(DISK_IO* io) {
    auto* chunk = static_cast<Chunk*>(io->Context);
    CallbackGate* gate = chunk->gate;
    KEVENT* wake = chunk->wake;
    gate->enter();
    chunk->finished.store(true, std::memory_order_release);
    KeSetEvent(wake, 0, FALSE);
    gate->leave();
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

} // namespace quevi::tool
