// Measures the whole stack against the in-process target over loopback: transfers of the disk
// class driver stand-in, through the port driver stand-in and the adapter, into the engine. Run
// beside engine_bench (the engine alone, same target, same PDU size) to see what the layers above
// the engine cost: the rows it shares with engine_bench carry the same names, units and columns
// (MB/s, or IOPS for 4 KiB, and the CPU time per transfer, min / median / max over the runs).
//
//   classdisk_bench [--seconds S] [--runs N] [--pdu UNITS] [--max-transfer BYTES] [--only TEXT]

#include "bench/disk_stack.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Stream {
    CLASS_DISK* disk;
    Clock::time_point deadline;
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> failed{0};
    std::atomic<int> inFlight{0};
};

struct Io {
    DISK_IO io{};
    Stream* stream;
    std::vector<UCHAR> buffer;
};

void again(DISK_IO* io) {
    auto* slot = static_cast<Io*>(io->Context);
    Stream* s = slot->stream;
    if (!NT_SUCCESS(io->Status)) {
        s->failed++;
    } else {
        s->bytes += io->Length;
    }
    if (!NT_SUCCESS(io->Status) || Clock::now() >= s->deadline) {
        s->inFlight--;
        return;
    }
    qvdisk::submitIo(s->disk, io);
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Result {
    double perSecond; // MB/s, or IOPS for small transfers
    double cpuMicros; // per transfer
};

// `depth` transfers of `bytes` each kept in flight for `seconds`.
Result run(CLASS_DISK* disk, bool write, ULONG bytes, int depth, double seconds, bool iops) {
    Stream s;
    s.disk = disk;
    s.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(seconds));
    std::vector<Io> ios(static_cast<size_t>(depth));
    auto start = Clock::now();
    double cpu0 = cpuSeconds();
    s.inFlight = depth;
    for (int i = 0; i < depth; i++) {
        Io& slot = ios[static_cast<size_t>(i)];
        slot.stream = &s;
        slot.buffer.assign(bytes, UCHAR(i));
        slot.io.Write = write ? TRUE : FALSE;
        slot.io.Offset = ULONGLONG(i) * bytes;
        slot.io.Length = bytes;
        slot.io.Buffer = slot.buffer.data();
        slot.io.Done = again;
        slot.io.Context = &slot;
        qvdisk::submitIo(disk, &slot.io);
    }
    while (s.inFlight.load() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    double cpu = cpuSeconds() - cpu0;
    if (s.failed.load() != 0) {
        std::fprintf(stderr, "classdisk_bench: %llu transfers failed\n",
                     static_cast<unsigned long long>(s.failed.load()));
    }
    double n = double(s.bytes.load()) / bytes;
    return {iops ? n / elapsed : double(s.bytes.load()) / elapsed / 1e6, n > 0 ? cpu / n * 1e6 : 0};
}

struct Stats {
    double min, median, max;
};
Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v.front(), v[v.size() / 2], v.back()};
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 1;
    int runs = 5;
    int pduUnits = 512;
    ULONG maxTransfer = 0x10000;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (flag == "--runs") {
            runs = std::max(1, std::atoi(argv[i + 1]));
        } else if (flag == "--pdu") {
            pduUnits = std::atoi(argv[i + 1]);
        } else if (flag == "--max-transfer") {
            maxTransfer = ULONG(std::strtoul(argv[i + 1], nullptr, 0));
        } else if (flag == "--only") {
            only = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: classdisk_bench [--seconds S] [--runs N] [--pdu UNITS] "
                                 "[--max-transfer BYTES] [--only TEXT]\n");
            return 2;
        }
    }
    quevi::target::TargetConfig config;
    config.luns = {"64M"};
    config.record = false;
    config.cmdWindow = 128;
    quevi::target::Target target(config);
    std::string error;
    if (!target.start(&error)) {
        std::fprintf(stderr, "classdisk_bench: %s\n", error.c_str());
        return 1;
    }
    // The adapter's own limit on a bus's requests in flight (8 unless set) would hold the 4 KiB
    // row at depth 8; at 32 every row runs at its own depth, as engine_bench's do.
    CLASS_DISK* disk = bench::attachDisk("classdisk_bench", target, maxTransfer, 32, pduUnits);
    if (disk == nullptr) {
        return 1;
    }

    // One session of one connection: the rows engine_bench also has keep its names.
    struct Case {
        const char* name;
        bool write;
        ULONG bytes;
        int depth;
        bool iops;
    } cases[] = {
        {"read  64 KiB  QD8 1 conn", false, 65536, 8, false},
        {"write 64 KiB  QD8 1 conn", true, 65536, 8, false},
        {"read  1 MiB   QD1 1 conn", false, 1 << 20, 1, false},
        {"write 1 MiB   QD1 1 conn", true, 1 << 20, 1, false},
        {"read  1 MiB   QD4 1 conn", false, 1 << 20, 4, false},
        {"write 1 MiB   QD4 1 conn", true, 1 << 20, 4, false},
        {"read  4 KiB   QD32 1 conn", false, 4096, 32, true},
    };
    std::printf("class disk over the adapter, DataPDULength %d, MaximumTransferLength %u, %d runs "
                "of %.1f s; min / median / max\n",
                pduUnits, maxTransfer, runs, seconds);
    for (const Case& c : cases) {
        if (std::string(c.name).find(only) == std::string::npos) {
            continue;
        }
        std::vector<double> rate, cpu;
        for (int r = 0; r < runs; r++) {
            Result res = run(disk, c.write, c.bytes, c.depth, seconds, c.iops);
            rate.push_back(res.perSecond);
            cpu.push_back(res.cpuMicros);
        }
        Stats s = stats(rate), u = stats(cpu);
        std::printf("%-28s %8.0f / %8.0f / %8.0f %s   CPU %6.1f / %6.1f / %6.1f us/cmd\n", c.name,
                    s.min, s.median, s.max, c.iops ? "IOPS" : "MB/s", u.min, u.median, u.max);
    }
    bench::detachDisk(target);
    return 0;
}
