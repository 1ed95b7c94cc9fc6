// Measures the initiator's engine alone against the in-process target over loopback: requests go
// straight to iscsiCoreEnterCmdInQ and come back through a minimal completion routine that hands
// each one in again at once, so a fixed number stay in flight. No port driver, no class driver.
//
// For each case it prints MB/s (or IOPS) and the CPU time per command (engine and target
// together, all threads of the process) as min / median / max over the runs, and beside them the
// MB/s a plain loopback TCP stream carries in the same run.
//
//   engine_bench [--seconds S] [--runs N] [--pdu UNITS] [--only TEXT]
#include "driver/engine/engine.h"
#include "driver/runtime/runtime.h"
#include "platform/kernel/host.h"
#include "platform/scsiport/srb.h"
#include "target/target.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Slot {
    SCSI_REQUEST_BLOCK srb{};
    std::vector<UCHAR> buffer;
};

// What the completion routine needs; set up before a case starts and read by the engine's threads.
struct Run {
    ULONG handle = ISCSI_NO_SESSION;
    ULONG direction = ISCSI_DIR_READ;
    Clock::time_point deadline;
    std::vector<Slot> slots;
    std::atomic<uint64_t> completed{0};
    std::atomic<uint64_t> failed{0};
    std::atomic<int> inFlight{0};
};
Run* current = nullptr;

const UCHAR kLun[8] = {};

bool submit(Slot& slot) {
    return iscsiCoreEnterCmdInQ(&slot.srb, slot.srb.Cdb, slot.srb.CdbLength, current->handle, kLun,
                                slot.buffer.data(), slot.srb.DataTransferLength, 0,
                                current->direction, 0) == 0;
}

// Hands the request in again while the case runs; otherwise lets it rest.
void finished(PSCSI_REQUEST_BLOCK srb, bool good) {
    Run* run = current;
    (good ? run->completed : run->failed)++;
    auto* slot = static_cast<Slot*>(srb->OriginalRequest);
    if (!good || Clock::now() >= run->deadline || !submit(*slot)) {
        run->inFlight--;
    }
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Result {
    double perSecond; // MB/s, or IOPS for small transfers
    double cpuMicros; // per command
};

Result runCase(ULONG handle, bool write, ULONG bytes, int depth, double seconds, bool iops) {
    Run run;
    run.handle = handle;
    run.direction = write ? ISCSI_DIR_WRITE : ISCSI_DIR_READ;
    run.slots.resize(size_t(depth));
    ULONG blocks = bytes / 512;
    for (int i = 0; i < depth; i++) {
        Slot& s = run.slots[size_t(i)];
        s.buffer.assign(bytes, UCHAR(i));
        ULONG lba = ULONG(i) * blocks;
        UCHAR cdb[10] = {UCHAR(write ? 0x2A : 0x28),
                         0,
                         UCHAR(lba >> 24),
                         UCHAR(lba >> 16),
                         UCHAR(lba >> 8),
                         UCHAR(lba),
                         0,
                         UCHAR(blocks >> 8),
                         UCHAR(blocks),
                         0};
        std::memcpy(s.srb.Cdb, cdb, sizeof cdb);
        s.srb.CdbLength = sizeof cdb;
        s.srb.DataTransferLength = bytes;
        s.srb.OriginalRequest = &s;
    }
    current = &run;
    auto start = Clock::now();
    double cpu0 = cpuSeconds();
    run.deadline =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    run.inFlight = depth;
    for (Slot& s : run.slots) {
        if (!submit(s)) {
            run.inFlight--;
        }
    }
    while (run.inFlight.load() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    double cpu = cpuSeconds() - cpu0;
    current = nullptr;
    uint64_t n = run.completed.load();
    if (run.failed.load() != 0) {
        std::fprintf(stderr, "engine_bench: %llu requests failed\n",
                     static_cast<unsigned long long>(run.failed.load()));
    }
    double rate = iops ? double(n) / elapsed : double(n) * bytes / elapsed / 1e6;
    return {rate, n ? cpu / double(n) * 1e6 : 0};
}

// MB/s of one plain loopback TCP stream in 256 KiB writes.
double tcpStream(double seconds) {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    int out = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(out, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        return 0;
    }
    int in = accept(listener, nullptr, nullptr);
    std::atomic<uint64_t> received{0};
    std::thread reader([&] {
        std::vector<char> buf(256 * 1024);
        for (;;) {
            ssize_t n = read(in, buf.data(), buf.size());
            if (n <= 0) {
                break;
            }
            received += uint64_t(n);
        }
    });
    std::vector<char> chunk(256 * 1024, 1);
    auto start = Clock::now();
    auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        if (write(out, chunk.data(), chunk.size()) <= 0) {
            break;
        }
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    shutdown(out, SHUT_WR);
    reader.join();
    close(out);
    close(in);
    close(listener);
    return double(received.load()) / elapsed / 1e6;
}

struct Stats {
    double min, median, max;
};
Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v.front(), v[v.size() / 2], v.back()};
}

} // namespace

// The completions: a good SCSI status hands the request in again; anything else ends it.
void iscsiOScompleteCommand(PSCSI_REQUEST_BLOCK srb, UCHAR scsiStatus, ULONG) {
    finished(srb, scsiStatus == 0);
}
void iscsiOScompleteCommandNoConnection(PSCSI_REQUEST_BLOCK srb) {
    finished(srb, false);
}
void iscsiOScompleteCommandReset(PSCSI_REQUEST_BLOCK srb) {
    finished(srb, false);
}
void iscsiOScompleteCommandAbort(PSCSI_REQUEST_BLOCK srb) {
    finished(srb, false);
}
void iscsiOScompleteTaskMan(UCHAR, PSCSI_REQUEST_BLOCK, ULONG) {}
int iscsiOShandleSecurity(char*, ULONG, ULONG) {
    return 0;
}

int main(int argc, char** argv) {
    double seconds = 1;
    int runs = 5;
    int pduUnits = 512;
    std::string only;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--seconds") {
            seconds = std::atof(argv[i + 1]);
        } else if (flag == "--runs") {
            runs = std::max(1, std::atoi(argv[i + 1]));
        } else if (flag == "--pdu") {
            pduUnits = std::atoi(argv[i + 1]);
        } else if (flag == "--only") {
            only = argv[i + 1];
        } else {
            std::fprintf(
                stderr,
                "usage: engine_bench [--seconds S] [--runs N] [--pdu UNITS] [--only TEXT]\n");
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
        std::fprintf(stderr, "engine_bench: %s\n", error.c_str());
        return 1;
    }
    iscsiCoreInitData();
    std::string login = "InitiatorName=iqn.2001-04.org.quevi:bench;TargetName=quevi-target;"
                        "DataPDULength=" +
                        std::to_string(pduUnits) + ";";
    ULONG handles[2];
    for (ULONG c = 1; c <= 2; c++) {
        ISCSI_TARGET_ADDRESS addresses[2] = {{0x7F000001, target.port()},
                                             {0x7F000001, target.port()}};
        // A second session to the same target would bind to the first: another initiator name.
        std::string own = login;
        own.replace(own.find("bench"), 5, c == 1 ? "bench1" : "bench2");
        handles[c - 1] = iscsiCoreCreateSession(addresses, c, own.c_str(), ULONG(own.size()), 0);
        ISCSI_SESSION* s = getSessionStruct(handles[c - 1]);
        if (s == nullptr || s->numActiveConnections != c) {
            std::fprintf(stderr, "engine_bench: the session of %u connections did not come up\n",
                         c);
            return 1;
        }
    }

    struct Case {
        const char* name;
        bool write;
        ULONG bytes;
        int depth;
        int connections;
        bool iops;
    };
    const Case cases[] = {
        {"read  64 KiB  QD1 1 conn", false, 65536, 1, 1, false},
        {"read  64 KiB  QD8 1 conn", false, 65536, 8, 1, false},
        {"write 64 KiB  QD1 1 conn", true, 65536, 1, 1, false},
        {"write 64 KiB  QD8 1 conn", true, 65536, 8, 1, false},
        {"read  256 KiB QD1 1 conn", false, 262144, 1, 1, false},
        {"read  256 KiB QD8 1 conn", false, 262144, 8, 1, false},
        {"write 256 KiB QD1 1 conn", true, 262144, 1, 1, false},
        {"write 256 KiB QD8 1 conn", true, 262144, 8, 1, false},
        {"read  64 KiB  QD8 2 conn", false, 65536, 8, 2, false},
        {"write 64 KiB  QD8 2 conn", true, 65536, 8, 2, false},
        {"read  256 KiB QD8 2 conn", false, 262144, 8, 2, false},
        {"write 256 KiB QD8 2 conn", true, 262144, 8, 2, false},
        {"read  4 KiB   QD32 1 conn", false, 4096, 32, 1, true},
    };
    std::printf("engine against the in-process target, DataPDULength %d (%d KiB PDUs), %d runs of "
                "%.1f s; min / median / max\n",
                pduUnits, pduUnits / 2, runs, seconds);
    std::vector<double> stream;
    for (int r = 0; r < runs; r++) {
        stream.push_back(tcpStream(seconds / 2));
    }
    Stats tcp = stats(stream);
    std::printf("%-28s %8.0f / %8.0f / %8.0f MB/s\n", "loopback TCP stream", tcp.min, tcp.median,
                tcp.max);
    for (const Case& c : cases) {
        if (std::string(c.name).find(only) == std::string::npos) {
            continue;
        }
        std::vector<double> rate, cpu;
        for (int r = 0; r < runs; r++) {
            Result res =
                runCase(handles[c.connections - 1], c.write, c.bytes, c.depth, seconds, c.iops);
            rate.push_back(res.perSecond);
            cpu.push_back(res.cpuMicros);
        }
        Stats s = stats(rate), u = stats(cpu);
        std::printf("%-28s %8.0f / %8.0f / %8.0f %s   CPU %6.1f / %6.1f / %6.1f us/cmd\n", c.name,
                    s.min, s.median, s.max, c.iops ? "IOPS" : "MB/s", u.min, u.median, u.max);
    }
    iscsiCoreCleanupData();
    target.stop();
    return 0;
}
