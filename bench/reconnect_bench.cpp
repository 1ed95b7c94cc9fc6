// Measures what a dropped connection costs the whole stack: reads through the disk class driver,
// the port driver and the adapter from the in-process target, in rounds that alternate between
// the target as it is and the target closing each connection after a number of commands.
//
//   reconnect_bench [--runs N] [--megabytes M] [--drop-after COMMANDS] [--depth D] [--bytes B]
//
// For each drop it reports the time from the drop to the next completed request: the gap between
// the completion of the connection's last command (the target closes right after answering it)
// and the next completion, which needs the reconnection and the login. Each round reads M MiB
// with and without drops; the extra wall time per drop is (with - without) / drops of the round.
// Both are printed as min / median / max over all drops and rounds.

#include "bench/disk_stack.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Stream {
    CLASS_DISK* disk;
    ULONGLONG end;  // bytes to read
    ULONGLONG next; // offset of the next transfer
    ULONG bytes;
    std::mutex lock; // guards next and done
    std::vector<Clock::time_point> done;
    std::atomic<uint64_t> failed{0};
    std::atomic<int> inFlight{0};
};

struct Io {
    DISK_IO io{};
    Stream* stream;
    std::vector<UCHAR> buffer;
};

// Starts the next transfer of the stream on the slot; false when all have been started.
bool startNext(Io* slot) {
    Stream* s = slot->stream;
    {
        std::lock_guard<std::mutex> guard(s->lock);
        if (s->next >= s->end) {
            return false;
        }
        slot->io.Offset = s->next;
        s->next += s->bytes;
    }
    qvdisk::submitIo(s->disk, &slot->io);
    return true;
}

void again(DISK_IO* io) {
    auto* slot = static_cast<Io*>(io->Context);
    Stream* s = slot->stream;
    if (NT_SUCCESS(io->Status)) {
        std::lock_guard<std::mutex> guard(s->lock);
        s->done.push_back(Clock::now());
    } else {
        s->failed++;
    }
    if (!NT_SUCCESS(io->Status) || !startNext(slot)) {
        s->inFlight--;
    }
}

struct Round {
    double seconds;
    std::vector<double> gaps; // completion gaps, longest first
};

Round readAll(CLASS_DISK* disk, ULONGLONG total, ULONG bytes, int depth) {
    Stream s;
    s.disk = disk;
    s.end = total;
    s.next = 0;
    s.bytes = bytes;
    s.done.reserve(static_cast<size_t>(total / bytes) + 1);
    std::vector<Io> ios(static_cast<size_t>(depth));
    auto start = Clock::now();
    s.inFlight = depth;
    for (Io& slot : ios) {
        slot.stream = &s;
        slot.buffer.assign(bytes, 0);
        slot.io.Write = FALSE;
        slot.io.Length = bytes;
        slot.io.Buffer = slot.buffer.data();
        slot.io.Done = again;
        slot.io.Context = &slot;
        if (!startNext(&slot)) {
            s.inFlight--;
        }
    }
    while (s.inFlight.load() > 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    Round r;
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (s.failed.load() != 0) {
        std::fprintf(stderr, "reconnect_bench: %llu transfers failed\n",
                     static_cast<unsigned long long>(s.failed.load()));
    }
    for (size_t i = 1; i < s.done.size(); i++) {
        r.gaps.push_back(std::chrono::duration<double>(s.done[i] - s.done[i - 1]).count());
    }
    std::sort(r.gaps.begin(), r.gaps.end(), std::greater<>());
    return r;
}

void summary(const char* name, std::vector<double> values) {
    if (values.empty()) {
        std::printf("%-44s none\n", name);
        return;
    }
    std::sort(values.begin(), values.end());
    std::printf("%-44s %8.1f / %8.1f / %8.1f ms (%zu)\n", name, values.front() * 1e3,
                values[values.size() / 2] * 1e3, values.back() * 1e3, values.size());
}

} // namespace

int main(int argc, char** argv) {
    int runs = 5;
    ULONGLONG megabytes = 512;
    std::uint32_t dropAfter = 400;
    int depth = 8;
    ULONG bytes = 256 * 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--runs") {
            runs = std::max(1, std::atoi(argv[i + 1]));
        } else if (flag == "--megabytes") {
            megabytes = std::max<ULONGLONG>(1, std::strtoull(argv[i + 1], nullptr, 0));
        } else if (flag == "--drop-after") {
            dropAfter = static_cast<std::uint32_t>(std::max(1, std::atoi(argv[i + 1])));
        } else if (flag == "--depth") {
            depth = std::clamp(std::atoi(argv[i + 1]), 1, 8);
        } else if (flag == "--bytes") {
            bytes = std::max<ULONG>(512, ULONG(std::strtoul(argv[i + 1], nullptr, 0)) & ~511u);
        } else {
            std::fprintf(stderr, "usage: reconnect_bench [--runs N] [--megabytes M] "
                                 "[--drop-after COMMANDS] [--depth D] [--bytes B]\n");
            return 2;
        }
    }
    ULONGLONG total = megabytes << 20;
    quevi::target::TargetConfig config;
    config.luns = {std::to_string(megabytes) + "M"};
    config.record = false;
    config.cmdWindow = 128;
    quevi::target::Target target(config);
    std::string error;
    if (!target.start(&error)) {
        std::fprintf(stderr, "reconnect_bench: %s\n", error.c_str());
        return 1;
    }
    CLASS_DISK* disk = bench::attachDisk("reconnect_bench", target, bytes, 8, 512);
    if (disk == nullptr) {
        return 1;
    }
    readAll(disk, total, bytes, depth); // the target touches its memory once, untimed

    std::printf("reads of %llu MiB through the class disk, %u KiB at depth %d, the target closing "
                "each connection after %u commands; %d rounds; min / median / max\n",
                static_cast<unsigned long long>(megabytes), bytes / 1024, depth, dropAfter, runs);
    std::vector<double> gaps, extra, plainSeconds, dropSeconds;
    for (int r = 0; r < runs; r++) {
        quevi::target::Faults faults;
        target.setFaults(faults);
        Round plain = readAll(disk, total, bytes, depth);
        size_t before = target.connectionCount();
        faults.dropAfterCommands = dropAfter;
        target.setFaults(faults);
        Round dropping = readAll(disk, total, bytes, depth);
        // The connection open at the end of the round was made in it or before it; every other
        // one made before the round's end was closed by the fault during it.
        size_t drops = target.connectionCount() - before;
        target.setFaults({});
        for (size_t i = 0; i < drops && i < dropping.gaps.size(); i++) {
            gaps.push_back(dropping.gaps[i]);
        }
        if (drops != 0) {
            extra.push_back((dropping.seconds - plain.seconds) / double(drops));
        }
        plainSeconds.push_back(plain.seconds);
        dropSeconds.push_back(dropping.seconds);
    }
    summary("time from a drop to the next completion", gaps);
    summary("extra wall time per drop", extra);
    summary("round without drops", plainSeconds);
    summary("round with drops", dropSeconds);

    bench::detachDisk(target);
    return 0;
}
