// The adapter with sessions on the target: commands through the engine, flow control, direct and
// deferred completions, busy handling, a dropped request's time-out, aborts, the disk class
// driver's time-out and disks on top of the adapter.
#include "adapter_fixture.h"

#include "platform/classdisk/classdisk.h"
#include "tests/unit/scsiport/test_miniport.h"

#include <cstring>
#include <numeric>

using namespace systest;

namespace {

std::vector<UCHAR> rw10(UCHAR op, ULONG lba, USHORT blocks) {
    return {op,         0, UCHAR(lba >> 24),   UCHAR(lba >> 16), UCHAR(lba >> 8),
            UCHAR(lba), 0, UCHAR(blocks >> 8), UCHAR(blocks),    0};
}

} // namespace

TEST_F(AdapterTest, CommandsCompleteDirectlyAndNextLuRequestStopsAtMaximumConcurrency) {
    qvk::registrySetDword("QueviSCSI\\Parameters", "MaximumConcurrency", 2);
    load();
    activate(1);
    ASSERT_EQ(send(req(1, rw10(SCSIOP_WRITE, 4, 8), 4096)), SRB_STATUS_SUCCESS);
    ASSERT_EQ(send(req(1, rw10(SCSIOP_READ, 4, 8), 4096)), SRB_STATUS_SUCCESS);
    EXPECT_EQ(traced("iscsiOScompleteCommand: RequestComplete for PathId = 1"), 2u);
    EXPECT_EQ(traced("putting SRB into CommandsToComplete"), 0u);
    EXPECT_EQ(traced("Target 1 can no longer be dynamically removed"), 1u);

    QUERY_TARGET_IOCTL query{};
    query.BusNumber = 1;
    EXPECT_EQ(QueryTarget(&query), 0);
    EXPECT_EQ(query.ConnectionState, CONN_CONNECTED);
    query.BusNumber = 5;
    EXPECT_EQ(QueryTarget(&query), ISCSI_FAILURE);

    // Two at once, answered slowly: the first completion leaves one queued, which is below the
    // maximum, so it asks for the next request as every other completion does.
    tgt::Faults slow;
    slow.responseDelay = 100ms;
    target().setFaults(slow);
    Req& first = req(1, rw10(SCSIOP_READ, 0, 1), 512);
    Req& second = req(1, rw10(SCSIOP_READ, 0, 1), 512);
    submit(first);
    submit(second);
    EXPECT_TRUE(finished(first) && finished(second));
    EXPECT_EQ(traced("iscsiOScompleteCommand: NextLuRequest for PathId = 1"), 4u);

    // Commands the target never answers: the second reaches MaximumConcurrency and gets no
    // next-request indication, so the third waits in the port.
    tgt::Faults faults;
    faults.withholdStatus = true;
    target().setFaults(faults);
    uint64_t before = qvport::accounting(port_).handedToMiniport;
    for (int i = 0; i < 3; i++) {
        submit(req(1, rw10(SCSIOP_READ, 0, 1), 512));
    }
    EXPECT_TRUE(eventually([&] { return dev()->NumberOfCommandsQueued[1] == 2; }));
    EXPECT_FALSE(
        eventually([&] { return qvport::accounting(port_).handedToMiniport > before + 2; }, 300ms));
    EXPECT_EQ(traced("NumberOfCommandsQueued for target 1 = 1\n"), 4u);
    EXPECT_EQ(traced("NumberOfCommandsQueued for target 1 = 2\n"), 2u);
}

TEST_F(AdapterTest, DeferredCompletionsIndicateOneNextLuRequestPerUnitPerTimerPass) {
    load();
    ULONG handle = activate(1);
    tgt::Faults faults;
    faults.withholdStatus = true;
    target().setFaults(faults);
    for (int i = 0; i < 3; i++) {
        submit(req(1, rw10(SCSIOP_READ, 0, 1), 512));
    }
    ASSERT_TRUE(eventually([&] { return dev()->NumberOfCommandsQueued[1] == 3; }));
    // All three sent, so that the connection's end finds them all in the table.
    ASSERT_TRUE(eventually([&] { return getSessionStruct(handle)->pendCmdTable.count == 3; }));
    // The session's connections break; its commands come back BUSY from the receive thread and
    // wait for the timer, which is held until all three are there.
    qvk::dpcHold(true);
    KeFlushQueuedDpcs();
    EXPECT_EQ(iscsiCoreResetBus(handle, 0, 0), TM_RESULT_DONE);
    EXPECT_TRUE(eventually([&] { return traced("putting SRB into CommandsToComplete") == 3; }));
    EXPECT_TRUE(eventually([&] {
        qvk::dpcRunPending();
        return traced("HwScsiTimer: RequestComplete") == 3;
    }));
    EXPECT_EQ(traced("HwScsiTimer: NextLuRequest for PathId = 1, TargetId = 0, Lun = 0"), 1u);
    EXPECT_EQ(traced("HwScsiTimer: NOT indicating NextLuRequest for PathId = 1"), 2u);
    qvk::dpcHold(false);
}

TEST_F(AdapterTest, BusyAnswersAreCountedOnlyAtPassiveLevelAndEndAtTheLimit) {
    load();
    activate(2, false);
    // Device scans do not wait for a target.
    uint64_t before = qvport::accounting(port_).handedToMiniport;
    EXPECT_EQ(send(req(2, {SCSIOP_INQUIRY, 0, 0, 0, 36, 0}, 36)), SRB_STATUS_SELECTION_TIMEOUT);
    EXPECT_EQ(send(req(2, {SCSIOP_TEST_UNIT_READY})), SRB_STATUS_SELECTION_TIMEOUT);
    EXPECT_EQ(qvport::accounting(port_).handedToMiniport, before + 2);
    EXPECT_EQ(dev()->BusyCompletions[2], 0u);

    // The 2048th BUSY answer is still BUSY, the one after fails.
    dev()->BusyCompletions[2] = BUSY_COMPLETION_LIMIT - 2;
    EXPECT_EQ(send(req(2, rw10(SCSIOP_READ, 0, 1), 512)), SRB_STATUS_SELECTION_TIMEOUT);
    EXPECT_EQ(traced("BusyCompletions[2] = 7ff\n"), 1u);
    EXPECT_EQ(traced("BusyCompletions[2] = 800\n"), 1u);
    EXPECT_EQ(traced("Too many busy completions, failing this command"), 1u);

    // A command the engine refuses at once is answered BUSY in the port's context: not counted,
    // no timer; the port gives it back a bounded number of times.
    dev()->TargetActive[3] = 1;
    dev()->TargetInfo[3].SessionHandle = -1;
    before = qvport::accounting(port_).handedToMiniport;
    EXPECT_EQ(send(req(3, rw10(SCSIOP_READ, 0, 1), 512)), SRB_STATUS_BUSY);
    EXPECT_EQ(qvport::accounting(port_).handedToMiniport, before + 1 + qvport::kBusyRetries);
    EXPECT_EQ(dev()->BusyCompletions[3], 0u);
    EXPECT_EQ(dev()->BusyTimerState[3], 0u);
}

TEST_F(AdapterTest, TheBusyTimerExpiresAfter96SecondsAndFailsTheBus) {
    qvk::setTimeScale(0.01);
    load();
    activate(2, false);
    EXPECT_EQ(send(req(2, rw10(SCSIOP_READ, 0, 1), 512)), SRB_STATUS_BUSY);
    EXPECT_EQ(dev()->BusyTimerState[2], 1u);
    EXPECT_EQ(traced("BusyTimer: setting timer for 60 seconds"), 1u);
    EXPECT_TRUE(
        eventually([&] { return traced("Timer for target 2 has expired while active") == 1; }));
    EXPECT_EQ(dev()->BusyCompletions[2], BUSY_COMPLETION_LIMIT);
    uint64_t before = qvport::accounting(port_).handedToMiniport;
    EXPECT_EQ(send(req(2, rw10(SCSIOP_READ, 0, 1), 512)), SRB_STATUS_SELECTION_TIMEOUT);
    EXPECT_EQ(qvport::accounting(port_).handedToMiniport, before + 1);
}

TEST_F(AdapterTest, AGoodCompletionClearsARunningBusyTimerInRealTime) {
    load();
    activate(4, false);
    EXPECT_EQ(send(req(4, rw10(SCSIOP_READ, 0, 1), 512)), SRB_STATUS_BUSY);
    ASSERT_EQ(dev()->BusyTimerState[4], 1u);
    // At real time from here: once its short step has passed, the timer's steps take 2 seconds.
    qvk::setTimeScale(1.0);
    std::this_thread::sleep_for(300ms);
    // The target is reachable again (a session of its own on the bus).
    activate(4);
    EXPECT_EQ(send(req(4, rw10(SCSIOP_READ, 0, 1), 512)), SRB_STATUS_SUCCESS);
    EXPECT_EQ(traced("Target 4 appears to be working again after BUSY completions"), 1u);
    EXPECT_EQ(dev()->BusyCompletions[4], 0u);
    auto cleared = std::chrono::steady_clock::now();
    EXPECT_TRUE(eventually([&] { return traced("Timer for target 4 has been cleared") == 1; }, 5s));
    EXPECT_LT(std::chrono::steady_clock::now() - cleared, 500ms) << "at once, not at its next step";
}

TEST_F(AdapterTest, ADroppedRequestTimesOutAndTheResetEndsIt) {
    load();
    activate(1);
    Req& drop = ioctl(ISCSI_IOCTL_DROP_SRB);
    EXPECT_EQ(send(drop), SRB_STATUS_SUCCESS);
    Req& dropped = req(1, rw10(SCSIOP_READ, 0, 1), 512);
    dropped.srb().TimeOutValue = 2;
    submit(dropped);
    EXPECT_EQ(send(req(1, rw10(SCSIOP_READ, 0, 1), 512)), SRB_STATUS_SUCCESS);
    EXPECT_FALSE(finished(dropped, 50ms));
    EXPECT_EQ(dev()->NumberOfCommandsQueued[1], 1);
    EXPECT_TRUE(
        eventually([&] { return traced("queueing up reset request for PathId = 1") == 1; }));
    // The reset hands it back BUSY (here, unless the message handler was first), and the port
    // gives it again.
    EXPECT_LE(completeHeldRequests(1, SRB_STATUS_BUSY), 1u);
    EXPECT_TRUE(finished(dropped));
    EXPECT_EQ(dropped.srb().SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(traced("Target 1 appears to be working again after a reset"), 1u);
    EXPECT_EQ(dev()->ResetInProgress[1], 0);
}

TEST_F(AdapterTest, AnAbortReachesTheEngineUnlessItNamesTheActiveRequestByItsTag) {
    load();
    ULONG handle = activate(1);
    tgt::Faults faults;
    faults.withholdStatus = true;
    target().setFaults(faults);
    Req& victim = req(1, rw10(SCSIOP_READ, 0, 1), 512);
    Req& other = req(1, rw10(SCSIOP_READ, 0, 1), 512);
    submit(victim);
    submit(other);
    ASSERT_TRUE(eventually([&] { return dev()->NumberOfCommandsQueued[1] == 2; }));
    // Both sent: an abort that comes while the command queue thread carries its command from
    // the queue to the table finds it in neither and fails.
    ASSERT_TRUE(eventually([&] { return getSessionStruct(handle)->pendCmdTable.count == 2; }));
    Req& abort = req(1, {0}, 0, SRB_FUNCTION_ABORT_COMMAND);
    abort.srb().NextSrb = &victim.srb();
    abort.srb().QueueTag = SP_UNTAGGED;
    EXPECT_EQ(send(abort), SRB_STATUS_SUCCESS);
    EXPECT_TRUE(finished(victim));
    EXPECT_EQ(victim.srb().SrbStatus, SRB_STATUS_ABORTED);
    Req& byTag = req(1, {0}, 0, SRB_FUNCTION_ABORT_COMMAND);
    byTag.srb().NextSrb = &other.srb();
    byTag.srb().QueueTag = other.srb().QueueTag;
    EXPECT_EQ(send(byTag), SRB_STATUS_ABORT_FAILED);
    EXPECT_FALSE(finished(other, 50ms));
}

TEST_F(AdapterTest, ReadsAndWritesWithShortTimeOutsAdjustTheDiskClassDriver) {
    // A disk of another adapter is Harddisk0 before the driver loads, as the system disk was.
    qvk::registrySetDword("Disk", "TimeOutValue", 45);
    SCSI_PORT* boot = porttest::startMiniport();
    ASSERT_EQ(qvport::scanBus(boot), 1);
    qvdisk::DiskDriverEntry();
    ASSERT_EQ(qvdisk::claimDisks(boot), 1);
    auto* header = static_cast<CLASS_DISK_EXTENSION_HEADER*>(
        qvdisk::deviceObject(qvdisk::disk(0))->DeviceExtension);
    load();
    EXPECT_EQ(GlobalDiskDriverObject, qvdisk::driverObject());
    activate(1);
    struct Row {
        std::vector<UCHAR> cdb;
        ULONG timeOut, after;
    } rows[] = {{rw10(SCSIOP_READ, 0, 1), 10, 45},
                {rw10(SCSIOP_READ, 0, 1), 11, 10},
                {{SCSIOP_READ6, 0, 0, 0, 1, 0}, 5, 10},
                {rw10(SCSIOP_WRITE, 0, 1), 3, 45}};
    for (const Row& row : rows) {
        header->TimeOutValue = 10;
        Req& r = req(1, row.cdb, 512);
        r.srb().TimeOutValue = row.timeOut;
        EXPECT_EQ(send(r), SRB_STATUS_SUCCESS);
        EXPECT_EQ(header->TimeOutValue, row.after) << row.timeOut;
    }
    qvdisk::stopDisks();
    porttest::stopMiniport();
}

TEST_F(AdapterTest, TheDiskClassDriverClaimsTheTargetsDiskAndTransfersThroughTheAdapter) {
    load();
    activate(0);
    EXPECT_EQ(qvport::scanBus(port_), 2) << "the target's disk and the dummy device";
    qvdisk::DiskDriverEntry();
    ASSERT_EQ(qvdisk::claimDisks(port_), 1);
    CLASS_DISK* disk = qvdisk::disk(0);
    EXPECT_EQ(qvdisk::maximumTransferBytes(disk), 0x10000u);
    std::vector<UCHAR> out(1024 * 1024 + 512), in(out.size());
    std::iota(out.begin(), out.end(), UCHAR{9});
    ASSERT_EQ(qvdisk::readWrite(disk, true, 4096, out.data(), out.size()), STATUS_SUCCESS);
    ASSERT_EQ(qvdisk::readWrite(disk, false, 4096, in.data(), in.size()), STATUS_SUCCESS);
    EXPECT_EQ(in, out);
}
