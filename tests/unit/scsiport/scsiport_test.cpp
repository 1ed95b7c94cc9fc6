// The port driver stand-in with the test miniport: scan, start rules, tags, BUSY, time-outs and
// the exactly-once accounting.
#include "test_miniport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace porttest {
namespace {

TEST_F(PortTest, ScanFindsTheDiskAndSkipsTheUnitsOfABusThatDoesNotAnswer) {
    EXPECT_EQ(qvport::scanBus(port), 1);
    auto found = qvport::inquiryData(port);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].PathId, 0);
    EXPECT_EQ(found[0].Lun, 0);
    auto& paths = control().inquiredPaths;
    EXPECT_EQ(std::count(paths.begin(), paths.end(), 0), 8);
    EXPECT_EQ(std::count(paths.begin(), paths.end(), 1), 1);
}

TEST_F(PortTest, NothingStartsBeforeTheNextRequestIndicationExceptControlRequests) {
    control().withholdNext = true;
    control().hold = true;
    Request a(SCSIOP_READ), b(SCSIOP_READ), c(SCSIOP_TEST_UNIT_READY);
    Request ioctl(0, 1, 0, SRB_FUNCTION_IO_CONTROL);
    for (Request* r : {&a, &b, &c, &ioctl}) {
        KeInitializeEvent(&r->r.Done, NotificationEvent, FALSE);
        r->r.Completion = [](SCSI_PORT_REQUEST* q) { KeSetEvent(&q->Done, 0, FALSE); };
        qvport::submit(port, &r->r);
    }
    EXPECT_EQ(control().starts, 2); // a, and the control request without waiting
    EXPECT_TRUE(qvport::waitFor(&ioctl.r, 5));
    underPortLocks(port, [] { ScsiPortNotification(NextRequest, extension()); });
    EXPECT_EQ(control().starts, 3);

    // Both held SCSI requests carry tags of their own; the untagged name finds none.
    auto* locks =
        static_cast<SCSI_PORT_EXTENSION_HEADER*>(qvport::deviceObject(port)->DeviceExtension);
    KIRQL old = KfAcquireSpinLock(&locks->SpinLock);
    UCHAR ta = a.r.Srb.QueueTag, tb = b.r.Srb.QueueTag;
    EXPECT_NE(ta, tb);
    EXPECT_NE(ta, SP_UNTAGGED);
    EXPECT_EQ(ScsiPortGetSrb(extension(), 0, 0, 0, ta), &a.r.Srb);
    EXPECT_EQ(ScsiPortGetSrb(extension(), 0, 0, 0, tb), &b.r.Srb);
    EXPECT_EQ(ScsiPortGetSrb(extension(), 0, 0, 0, SP_UNTAGGED), nullptr);
    EXPECT_EQ(ScsiPortGetSrb(extension(), 0, 0, 1, ta), nullptr) << "tags belong to their unit";
    KfReleaseSpinLock(&locks->SpinLock, old);

    // A completion by wildcard ends both held requests and lets the third start.
    control().hold = false;
    control().withholdNext = false;
    underPortLocks(
        port, [] { ScsiPortCompleteRequest(extension(), 0xFF, 0xFF, 0xFF, SRB_STATUS_ABORTED); });
    for (Request* r : {&a, &b, &c}) {
        EXPECT_TRUE(qvport::waitFor(&r->r, 5));
    }
    EXPECT_EQ(a.r.Srb.SrbStatus, SRB_STATUS_ABORTED);
    EXPECT_EQ(b.r.Srb.SrbStatus, SRB_STATUS_ABORTED);
    EXPECT_EQ(c.r.Srb.SrbStatus, SRB_STATUS_SUCCESS);
}

// NextLuRequest lets its unit's next request go first, however many units indicated it at once
// (the port names up to eight of them and looks at every unit beyond that).
TEST_F(PortTest, ANextLuRequestUnitGoesFirstAmongManyIndications) {
    control().withholdNext = true;
    control().hold = true;
    std::vector<std::unique_ptr<Request>> requests;
    auto submit = [&](UCHAR path, UCHAR lun) {
        requests.push_back(std::make_unique<Request>(SCSIOP_TEST_UNIT_READY, path, lun));
        SCSI_PORT_REQUEST& r = requests.back()->r;
        KeInitializeEvent(&r.Done, NotificationEvent, FALSE);
        r.Completion = [](SCSI_PORT_REQUEST* q) { KeSetEvent(&q->Done, 0, FALSE); };
        qvport::submit(port, &r);
    };
    submit(0, 0); // started at once; the rest wait for an indication
    for (UCHAR lun = 1; lun < 8; lun++) {
        submit(0, lun);
    }
    submit(1, 0);
    ASSERT_EQ(control().starts, 1);
    underPortLocks(port, [] {
        // Eight units with nothing waiting, then bus 1 LUN 0, which has a request waiting.
        ScsiPortNotification(NextLuRequest, extension(), 0, 0, 0);
        for (int lun = 1; lun < 8; lun++) {
            ScsiPortNotification(NextLuRequest, extension(), 1, 0, lun);
        }
        ScsiPortNotification(NextLuRequest, extension(), 1, 0, 0);
    });
    ASSERT_EQ(control().starts, 2);
    {
        std::lock_guard<std::mutex> guard(control().mutex);
        EXPECT_EQ(control().started[1]->PathId, 1);
        EXPECT_EQ(control().started[1]->Lun, 0);
    }
    control().hold = false;
    control().withholdNext = false;
    underPortLocks(
        port, [] { ScsiPortCompleteRequest(extension(), 0xFF, 0xFF, 0xFF, SRB_STATUS_ABORTED); });
    for (auto& r : requests) {
        EXPECT_TRUE(qvport::waitFor(&r->r, 5));
    }
}

TEST_F(PortTest, BusyIsGivenBackToTheMiniportABoundedNumberOfTimes) {
    control().busy = 2;
    Request once(SCSIOP_READ);
    EXPECT_EQ(send(once), SRB_STATUS_SUCCESS);
    EXPECT_EQ(control().starts, 3);
    control().busy = -1;
    Request always(SCSIOP_READ);
    EXPECT_EQ(send(always), SRB_STATUS_BUSY);
    EXPECT_EQ(control().starts, 3 + 1 + static_cast<int>(qvport::kBusyRetries));
    EXPECT_EQ(qvport::accounting(port).busyRetries, 2 + qvport::kBusyRetries);
}

TEST_F(PortTest, ATimedOutRequestResetsItsBus) {
    control().hold = true;
    Request stuck(SCSIOP_READ);
    stuck.r.Srb.TimeOutValue = 2;
    EXPECT_EQ(send(stuck), SRB_STATUS_BUS_RESET);
    EXPECT_EQ(control().resets, 1);
    EXPECT_EQ(qvport::accounting(port).timeouts, 1u);
}

TEST_F(PortTest, AddressesOutsideTheAdapterNeverReachTheMiniport) {
    struct Case {
        UCHAR path, target, lun, status;
    } cases[] = {{2, 0, 0, SRB_STATUS_INVALID_PATH},
                 {0, 1, 0, SRB_STATUS_INVALID_TARGET_ID},
                 {0, 0, 8, SRB_STATUS_INVALID_LUN}};
    for (const Case& c : cases) {
        Request r(SCSIOP_TEST_UNIT_READY, c.path, c.lun);
        r.r.Srb.TargetId = c.target;
        EXPECT_EQ(send(r), c.status);
    }
    EXPECT_EQ(control().starts, 0);
}

TEST_F(PortTest, CompletionsTwiceAndNeverAreCounted) {
    control().completeTwice = true;
    Request twice(SCSIOP_TEST_UNIT_READY);
    EXPECT_EQ(send(twice), SRB_STATUS_SUCCESS);
    EXPECT_EQ(qvport::accounting(port).completedTwice, 1u);
    control().completeTwice = false;
    control().hold = true;
    // Still held by the miniport when the port stops; the record must outlive the port.
    static Request never(SCSIOP_READ);
    never.r.Completion = [](SCSI_PORT_REQUEST*) {};
    qvport::submit(port, &never.r);
    stopMiniport();
    port = nullptr;
    expectedTwice = 1;
    expectedNever = 1;
}

std::atomic<int> gTimerCalls{0};

void rearmingTimer(PVOID ext) {
    gTimerCalls++;
    ScsiPortNotification(RequestTimerCall, ext, rearmingTimer, ULONG{1});
}

// A timer routine that asks for the timer again at once, as the adapter's does: stopping the port
// while it runs must never leave the timer set inside the freed port (the port aborts if it does).
TEST_F(PortTest, AStopNeverLeavesARearmingMiniportTimerSet) {
    for (int round = 0; round < 200; round++) {
        if (port == nullptr) {
            port = startMiniport();
            ASSERT_NE(port, nullptr);
        }
        int before = gTimerCalls.load();
        underPortLocks(port, [] {
            ScsiPortNotification(RequestTimerCall, extension(), rearmingTimer, ULONG{1});
        });
        for (int i = 0; i < 1000 && gTimerCalls.load() < before + 3; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        stopMiniport();
        port = nullptr;
    }
}

TEST_F(PortTest, NotificationsWithoutThePortLocksAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(ScsiPortNotification(NextRequest, extension()),
                 "ScsiPortNotification called without the port's InterruptSpinLock held");
}

} // namespace
} // namespace porttest
