// A miniport for the port and class-disk tests: bus 0 holds a RAM disk at LUN 0 (512-byte blocks),
// bus 1 answers nothing (SELECTION_TIMEOUT). Requests complete inside HwStartIo, or from a worker
// thread at PASSIVE_LEVEL under the port locks (deferred), with switches for the faults a port and
// a class driver must handle.
#pragma once

#include "platform/kernel/host.h"
#include "platform/scsiport/port.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace porttest {

constexpr ULONG kDiskBlocks = 8192; // 4 MiB
constexpr ULONG kMaxTransfer = 16384;

struct Control {
    std::atomic<bool> deferred{false};     // complete from the worker thread
    std::atomic<bool> withholdNext{false}; // no next-request indication after a start
    std::atomic<bool> hold{false};         // keep SCSI requests until a bus reset
    std::atomic<bool> completeTwice{false};
    std::atomic<int> busy{0};      // answer this many requests BUSY (-1: all)
    std::atomic<int> attention{0}; // answer this many with UNIT ATTENTION
    std::atomic<int> gone{0};      // answer this many SELECTION_TIMEOUT
    std::atomic<int> starts{0};
    std::atomic<int> resets{0};
    std::atomic<int> active{0};
    std::atomic<int> peakActive{0};
    std::atomic<ULONG> largestTransfer{0};
    std::mutex mutex; // guards the lists below
    std::vector<PSCSI_REQUEST_BLOCK> started;
    std::vector<UCHAR> inquiredPaths;
};

Control& control();
// Registers the miniport on a new driver object; returns its port.
SCSI_PORT* startMiniport();
void stopMiniport();
// Runs f at DISPATCH_LEVEL with both port locks held, then queues the port's DPC: how a
// miniport's own code (outside the port's callbacks) talks to the port.
template <class F>
void underPortLocks(SCSI_PORT* port, F f) {
    PDEVICE_OBJECT device = qvport::deviceObject(port);
    auto* locks = static_cast<SCSI_PORT_EXTENSION_HEADER*>(device->DeviceExtension);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    KeAcquireSpinLockAtDpcLevel(&locks->SpinLock);
    KeAcquireSpinLockAtDpcLevel(&locks->InterruptSpinLock);
    f();
    KeReleaseSpinLockFromDpcLevel(&locks->InterruptSpinLock);
    KeReleaseSpinLockFromDpcLevel(&locks->SpinLock);
    KeInsertQueueDpc(&device->Dpc, nullptr, nullptr);
    KeLowerIrql(old);
}
std::vector<uint8_t>& disk();
PVOID extension();

// A request with its own buffers.
struct Request {
    SCSI_PORT_REQUEST r{};
    UCHAR data[512] = {};
    UCHAR sense[SENSE_BUFFER_SIZE] = {};
    Request(UCHAR op, UCHAR path = 0, UCHAR lun = 0, UCHAR function = SRB_FUNCTION_EXECUTE_SCSI) {
        r.Srb.Function = function;
        r.Srb.PathId = path;
        r.Srb.Lun = lun;
        r.Srb.CdbLength = 10;
        r.Srb.Cdb[0] = op;
        r.Srb.Cdb[8] = op == SCSIOP_READ ? 1 : 0;
        r.Srb.DataBuffer = data;
        r.Srb.DataTransferLength = op == SCSIOP_READ ? 512 : 0;
        r.Srb.SrbFlags = op == SCSIOP_READ ? SRB_FLAGS_DATA_IN : 0;
        r.Srb.SenseInfoBuffer = sense;
        r.Srb.SenseInfoBufferLength = SENSE_BUFFER_SIZE;
    }
};

// The test miniport on a fresh port with time running 100 times as fast; at the end every
// request handed to the miniport must have completed exactly once.
class PortTest : public ::testing::Test {
protected:
    void SetUp() override {
        qvk::setTimeScale(0.01);
        port = startMiniport();
        ASSERT_NE(port, nullptr);
    }
    void TearDown() override {
        if (port != nullptr) {
            stopMiniport();
        }
        SCSI_PORT_ACCOUNTING a = qvport::totalAccounting();
        EXPECT_EQ(a.completedTwice, expectedTwice);
        EXPECT_EQ(a.neverCompleted, expectedNever);
        EXPECT_EQ(qvk::poolOutstanding(), 0u) << qvk::poolLeakReport();
    }
    UCHAR send(Request& request) {
        EXPECT_TRUE(qvport::execute(port, &request.r, 20));
        return request.r.Srb.SrbStatus;
    }
    SCSI_PORT* port = nullptr;
    uint64_t expectedTwice = 0;
    uint64_t expectedNever = 0;
};

} // namespace porttest
