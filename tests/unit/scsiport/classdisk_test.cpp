// The disk class driver over the test miniport: claiming, transfers in pieces with several
// requests outstanding, retries and failures, and the time-out field others adjust.
#include "platform/classdisk/classdisk.h"
#include "test_miniport.h"

#include <numeric>

namespace porttest {
namespace {

class DiskTest : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        qvk::registrySetDword("Disk", "TimeOutValue", 20);
        ASSERT_EQ(qvport::scanBus(port), 1);
        qvdisk::DiskDriverEntry();
        ASSERT_EQ(qvdisk::claimDisks(port), 1);
        disk = qvdisk::disk(0);
    }
    void TearDown() override {
        qvdisk::stopDisks();
        qvk::registryClear();
        PortTest::TearDown();
    }
    CLASS_DISK* disk = nullptr;
};

TEST_F(DiskTest, ClaimsTheDiskOnceAsHarddisk0WithItsCapacityAndTimeOut) {
    EXPECT_EQ(qvdisk::claimDisks(port), 0);
    PDEVICE_OBJECT device = qvdisk::deviceObject(disk);
    EXPECT_EQ(qvk::fromU16(device->Name.Buffer), "\\Device\\Harddisk0\\Partition0");
    auto* header = static_cast<CLASS_DISK_EXTENSION_HEADER*>(device->DeviceExtension);
    EXPECT_EQ(header->DeviceObject, device);
    EXPECT_EQ(header->PortDeviceObject, qvport::deviceObject(port));
    EXPECT_EQ(device->DriverObject, qvdisk::driverObject());
    EXPECT_EQ(qvdisk::timeOutValue(disk), 20u);
    EXPECT_EQ(qvdisk::blockCount(disk), kDiskBlocks);
    EXPECT_EQ(qvdisk::blockSize(disk), 512u);
    EXPECT_EQ(qvdisk::maximumTransferBytes(disk), kMaxTransfer);
}

TEST_F(DiskTest, TransfersOfAnyLengthGoInPiecesWithSeveralOutstanding) {
    control().deferred = true;
    std::vector<uint8_t> out(1024 * 1024 + 3 * 512), in(out.size());
    std::iota(out.begin(), out.end(), uint8_t{7});
    ASSERT_EQ(qvdisk::readWrite(disk, true, 7 * 512, out.data(), out.size()), STATUS_SUCCESS);
    ASSERT_EQ(qvdisk::readWrite(disk, false, 7 * 512, in.data(), in.size()), STATUS_SUCCESS);
    EXPECT_EQ(in, out);
    EXPECT_EQ(control().largestTransfer, kMaxTransfer);
    EXPECT_GT(control().peakActive, 1);
    EXPECT_LE(control().peakActive, static_cast<int>(qvdisk::kSlots));
}

TEST_F(DiskTest, RetriesBusyAndUnitAttentionAndFailsOnWhatCannotSucceed) {
    struct Case {
        int busy, attention, gone;
        ULONGLONG offset, length;
        NTSTATUS status;
    } cases[] = {
        {3, 0, 0, 0, 4096, STATUS_SUCCESS},
        {0, 2, 0, 0, 4096, STATUS_SUCCESS},
        {-1, 0, 0, 0, 4096, STATUS_DEVICE_BUSY},
        {0, 0, 1, 0, 4096, STATUS_NO_SUCH_DEVICE},
        {0, 0, 0, 100, 512, STATUS_INVALID_PARAMETER},
        {0, 0, 0, kDiskBlocks * 512ull - 512, 1024, STATUS_INVALID_PARAMETER},
    };
    std::vector<uint8_t> buffer(4096);
    for (const Case& c : cases) {
        control().busy = c.busy;
        control().attention = c.attention;
        control().gone = c.gone;
        EXPECT_EQ(qvdisk::readWrite(disk, false, c.offset, buffer.data(), c.length), c.status)
            << c.busy << " " << c.attention << " " << c.gone << " " << c.offset;
    }
}

TEST_F(DiskTest, RequestsCarryTheTimeOutLastSetInTheExtension) {
    reinterpret_cast<CLASS_DISK_EXTENSION_HEADER*>(qvdisk::deviceObject(disk)->DeviceExtension)
        ->TimeOutValue = 33;
    std::vector<uint8_t> buffer(512);
    ASSERT_EQ(qvdisk::readWrite(disk, false, 0, buffer.data(), buffer.size()), STATUS_SUCCESS);
    std::lock_guard<std::mutex> guard(control().mutex);
    EXPECT_EQ(control().started.back()->TimeOutValue, 33u);
}

} // namespace
} // namespace porttest
