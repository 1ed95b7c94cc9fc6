// Measures the whole stack against the in-process target over loopback: transfers of the disk
// class driver stand-in, through the port driver stand-in and the adapter, into the engine. Run
// beside engine_bench (the engine alone, same target, same PDU size) to see what the layers above
// the engine cost.
//
//   classdisk_bench [--seconds S] [--runs N] [--pdu UNITS] [--max-transfer BYTES]
#include "driver/adapter/adapter.h"
#include "driver/control/control.h"
#include "platform/classdisk/classdisk.h"
#include "platform/kernel/host.h"
#include "target/target.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
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

// MB/s of `depth` transfers of `bytes` each kept in flight for `seconds`.
double run(CLASS_DISK* disk, bool write, ULONG bytes, int depth, double seconds) {
    Stream s;
    s.disk = disk;
    s.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(seconds));
    std::vector<Io> ios(static_cast<size_t>(depth));
    auto start = Clock::now();
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
    if (s.failed.load() != 0) {
        std::fprintf(stderr, "classdisk_bench: %llu transfers failed\n",
                     static_cast<unsigned long long>(s.failed.load()));
    }
    return double(s.bytes.load()) / elapsed / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 1;
    int runs = 5;
    int pduUnits = 512;
    ULONG maxTransfer = 0x10000;
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
        } else {
            std::fprintf(stderr, "usage: classdisk_bench [--seconds S] [--runs N] [--pdu UNITS] "
                                 "[--max-transfer BYTES]\n");
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
    qvk::registrySetDword("QueviSCSI\\Parameters", "MaximumTransferLength", maxTransfer);
    PDRIVER_OBJECT driver = qvk::createDriverObject("QueviSCSI");
    UNICODE_STRING path{};
    if (!NT_SUCCESS(DriverEntry(driver, &path))) {
        std::fprintf(stderr, "classdisk_bench: the driver did not load\n");
        return 1;
    }
    // The target on bus 0, as adding it through the configuration tool leaves it.
    std::string login = "InitiatorName=iqn.2001-04.org.quevi:bench;TargetName=quevi-target;"
                        "DataPDULength=" +
                        std::to_string(pduUnits) + ";";
    ISCSI_TARGET_ADDRESS address{0x7F000001, target.port()};
    ULONG handle = iscsiCoreCreateSession(&address, 1, login.c_str(), ULONG(login.size()), 0);
    pMyDevExt->TargetInfo[0].SessionHandle = LONG(handle);
    pMyDevExt->TargetActive[0] = 1;
    SCSI_PORT* port = qvport::portOf(driver);
    qvport::scanBus(port);
    qvdisk::DiskDriverEntry();
    if (handle == ISCSI_NO_SESSION || qvdisk::claimDisks(port) != 1) {
        std::fprintf(stderr, "classdisk_bench: no disk on the target's bus\n");
        return 1;
    }
    CLASS_DISK* disk = qvdisk::disk(0);

    struct Case {
        const char* name;
        bool write;
        ULONG bytes;
        int depth;
    } cases[] = {
        {"read  64 KiB  QD8", false, 65536, 8},   {"write 64 KiB  QD8", true, 65536, 8},
        {"read  1 MiB   QD1", false, 1 << 20, 1}, {"write 1 MiB   QD1", true, 1 << 20, 1},
        {"read  1 MiB   QD4", false, 1 << 20, 4}, {"write 1 MiB   QD4", true, 1 << 20, 4},
    };
    std::printf("class disk over the adapter, DataPDULength %d, MaximumTransferLength %u, %d runs "
                "of %.1f s; min / median / max MB/s\n",
                pduUnits, maxTransfer, runs, seconds);
    for (const Case& c : cases) {
        std::vector<double> rates;
        for (int r = 0; r < runs; r++) {
            rates.push_back(run(disk, c.write, c.bytes, c.depth, seconds));
        }
        std::sort(rates.begin(), rates.end());
        std::printf("%-20s %8.0f / %8.0f / %8.0f\n", c.name, rates.front(), rates[rates.size() / 2],
                    rates.back());
    }
    pMyDevExt->shutdown_in_progress = 1;
    pMyDevExt->TargetActive[0] = 0;
    killWinMsgHandler(&winMsgHandlerContext);
    iscsiCoreCleanupData();
    target.stop();
    qvk::waitSystemThreadsQuiet(std::chrono::seconds(20));
    qvport::stopAllPorts();
    qvdisk::stopDisks();
    return 0;
}
