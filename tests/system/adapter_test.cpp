// The adapter through the port driver without sessions: entry and configuration, the order of
// HwScsiStartIo's checks, the dummy target, control requests, held requests, resets, shutdown.
#include "adapter_fixture.h"

#include "driver/api/messages.h"
#include "tests/unit/scsiport/test_miniport.h"

#include <cstring>

using namespace systest;

namespace {

constexpr ULONG kAddress = 0x0A000001;

} // namespace

TEST_F(AdapterTest, FindAdapterReadsItsParametersAndDeclaresNineBuses) {
    qvk::registrySetDword("QueviSCSI\\Parameters", "MaximumConcurrency", 3);
    load();
    const PORT_CONFIGURATION_INFORMATION& c = qvport::configuration(port_);
    EXPECT_EQ(c.MaximumTransferLength, 0x10000u);
    EXPECT_EQ(c.NumberOfPhysicalBreaks, 16u);
    EXPECT_EQ(c.NumberOfBuses, 9);
    EXPECT_EQ(c.MaximumNumberOfTargets, 1);
    EXPECT_EQ(dev()->MaximumConcurrency[7], 3);
    EXPECT_EQ(dev()->MaximumConcurrency[8], 8);
    EXPECT_EQ(dev()->TimeOutValue, 10u); // no "Disk" key
    EXPECT_EQ(GlobalDiskDriverObject, nullptr);
    EXPECT_EQ(traced("Could not obtain the disk.sys DeviceObject, status = c0000034"), 1u);
    EXPECT_EQ(dev()->PortDeviceObject, qvport::deviceObject(port_));
}

TEST_F(AdapterTest, WithoutTheParametersKeyTheTransferLengthIsThePortsAndConcurrencyEight) {
    qvk::registryClear();
    load();
    const PORT_CONFIGURATION_INFORMATION& c = qvport::configuration(port_);
    EXPECT_EQ(c.MaximumTransferLength, SP_UNINITIALIZED_VALUE);
    EXPECT_EQ(c.NumberOfPhysicalBreaks, 0xFFFFFu);
    for (int bus = 0; bus < ADAPTER_BUSES; bus++) {
        EXPECT_EQ(dev()->MaximumConcurrency[bus], 8) << bus;
    }
}

class EntryFailure : public AdapterTest, public ::testing::WithParamInterface<int> {};

TEST_P(EntryFailure, UndoesWhatItStartedAndWritesOneEvent) {
    const char* reason = GetParam() == 0 ? "The mesage handler thread could not be started."
                                         : "ScsiPort initialization failed.";
    if (GetParam() == 0) {
        qvk::threadFailNext(1);
    } else {
        qvk::poolFailTag(POOL_TAG("Scsi"));
    }
    UNICODE_STRING path{};
    NTSTATUS status = DriverEntry(driver_, &path);
    qvk::poolFailTag(0);
    EXPECT_EQ(status, GetParam() == 0 ? ISCSI_FAILURE : STATUS_INSUFFICIENT_RESOURCES);
    auto events = qvk::errorLogEntries();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].errorCode, QUEV_UNLOADED);
    EXPECT_EQ(events[0].strings, std::vector<std::u16string>{qvk::toU16(reason)});
    EXPECT_TRUE(qvk::waitSystemThreadsQuiet(5s));
    EXPECT_EQ(qvport::portOf(driver_), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Adapter, EntryFailure, ::testing::Values(0, 1));

TEST_F(AdapterTest, StartIoChecksComeInTheirOrder) {
    qvk::setTimeScale(1000); // the timer's tick comes every 10 s: no answer here waits for it
    load();
    struct Row {
        UCHAR reject, active, rejectedLogins, path, function, cdb0;
        ULONG length;
        UCHAR status;
        const char* trace;
    } rows[] = {
        {1, 1, 0, 8, SRB_FUNCTION_IO_CONTROL, 0, 28, SRB_STATUS_NO_DEVICE,
         "shutdown_reject_commands"},
        {1, 1, 0, 3, 0, CDB_ISCSI_IDENTIFY, 8, SRB_STATUS_NO_DEVICE, "shutdown_reject_commands"},
        {0, 0, 0, 3, SRB_FUNCTION_FLUSH, CDB_ISCSI_IDENTIFY, 8, SRB_STATUS_SUCCESS,
         "corresponds to the target at IpAddress = a000001\n"},
        {0, 0, 0, 3, 0, CDB_ISCSI_IDENTIFY, 7, SRB_STATUS_INVALID_REQUEST, "is incorrect"},
        {0, 0, 0, 3, 0, CDB_ISCSI_IDENTIFY, 9, SRB_STATUS_INVALID_REQUEST, "is incorrect"},
        {0, 0, 0, 8, 0, CDB_ISCSI_IDENTIFY, 8, SRB_STATUS_SUCCESS, "IpAddress = 0\n"},
        {0, 0, 0, 3, SRB_FUNCTION_IO_CONTROL, 0, 28, SRB_STATUS_SUCCESS, "undefined ControlCode 3"},
        {0, 0, 0, 8, 0, SCSIOP_INQUIRY, 36, SRB_STATUS_SUCCESS, "calling SrbStartIoDummyTarget"},
        {0, 0, 0, 3, 0, SCSIOP_TEST_UNIT_READY, 0, SRB_STATUS_NO_DEVICE, "Bus 3 is not active"},
        {0, 1, 2, 3, SRB_FUNCTION_FLUSH, 0, 0, SRB_STATUS_SELECTION_TIMEOUT, "too many times"},
        {0, 1, 1, 3, SRB_FUNCTION_FLUSH, 0, 0, SRB_STATUS_SUCCESS,
         "flush SRB received for PathId = 3"},
    };
    dev()->TargetInfo[3].IpAddress = kAddress;
    for (const Row& row : rows) {
        dev()->shutdown_reject_commands = row.reject;
        dev()->TargetActive[3] = row.active;
        dev()->RejectedLogins[3] = row.rejectedLogins;
        Req& r = row.function == SRB_FUNCTION_IO_CONTROL
                     ? ioctl(3, row.length)
                     : req(row.path, {row.cdb0}, row.length, row.function);
        r.srb().PathId = row.path;
        std::fill(r.data.begin() + (row.function == SRB_FUNCTION_IO_CONTROL ? 28 : 0), r.data.end(),
                  0x5A);
        submit(r);
        ASSERT_TRUE(finished(r, 2s)) << row.trace;
        EXPECT_EQ(r.srb().SrbStatus, row.status) << row.trace;
        EXPECT_EQ(traced(row.trace), 1u) << row.trace;
        log_.clear();
        if (row.cdb0 == CDB_ISCSI_IDENTIFY && row.status == SRB_STATUS_SUCCESS) {
            ULONG address = row.path == 3 ? kAddress : 0;
            std::vector<UCHAR> want(8, 0x5A);
            std::memcpy(want.data(), &address, 4);
            want[4] = row.path;
            want[5] = want[6] = 0;
            EXPECT_TRUE(std::equal(want.begin(), want.end(), r.data.begin()));
        } else if (row.cdb0 == CDB_ISCSI_IDENTIFY) {
            EXPECT_EQ(r.data[0], 0x5A) << "nothing written";
        }
    }
    qvk::setTimeScale(0.1);
}

TEST_F(AdapterTest, TheDummyTargetAnswersEveryCaseOfItsTable) {
    load();
    // Deferred completions need no memory of their own.
    qvk::poolFailTag(ISCSI_POOL_TAG);
    const std::vector<UCHAR> inquiry = {
        0x1F, 0,   4,   2,   0x1F, 0,   0,   0,   'Q', 'u', 'e', 'v', ' ', ' ', ' ', ' ', 'D', 'u',
        'm',  'm', 'y', ' ', 'D',  'e', 'v', 'i', 'c', 'e', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    struct Step {
        UCHAR lun, function;
        std::vector<UCHAR> cdb;
        ULONG length;
        bool noAutosense;
        UCHAR status, scsi;
        ULONG length2;
        int key, asc; // expected sense (in the sense buffer, or the data of REQUEST SENSE); -1 none
    } steps[] = {
        {0, 0, {0x12, 0, 0, 0, 5, 0}, 5, false, 0x01, 0, 5, -1, -1},
        {0, 0, {0x12, 0, 0, 0, 96, 0}, 96, false, 0x01, 0, 36, -1, -1},
        {0, 0, {0x12, 1, 0, 0, 36, 0}, 36, false, 0x80, 2, 36, 5, 0x24},
        {0, 0, {0x03, 0, 0, 0, 18, 0}, 18, false, 0x01, 0, 18, 0, 0},
        {0, 0, {0x12, 1, 0, 0, 36, 0}, 36, true, 0x01, 2, 36, -1, -1},
        {0, 0, {0x03, 0, 0, 0, 18, 0}, 18, false, 0x01, 0, 18, 5, 0x24},
        {0, 0, {0x03, 0, 0, 0, 18, 0}, 18, false, 0x01, 0, 18, 0, 0},
        {0, 0, {0x12, 0, 0x80, 0, 36, 0}, 36, false, 0x80, 2, 36, 5, 0x24},
        {0, 0, {0x12, 0, 0, 0, 36, 1}, 36, false, 0x80, 2, 36, 5, 0x24},
        {0, 0, {0x00, 0, 0, 0, 0, 0}, 0, false, 0x80, 2, 0, 4, 0},
        {1, 0, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 512, false, 0x80, 2, 512, 5, 0x25},
        {1, 0, {0x03, 0, 0, 0, 32, 0}, 32, false, 0x01, 0, 18, 5, 0x25},
        {0, SRB_FUNCTION_FLUSH, {0}, 0, false, SRB_STATUS_ERROR, 0, 0, -1, -1},
    };
    int n = 0;
    for (const Step& s : steps) {
        Req& r = req(DUMMY_TARGET_BUS, s.cdb, s.length, s.function, s.lun);
        r.srb().SrbFlags |= s.noAutosense ? SRB_FLAGS_DISABLE_AUTOSENSE : 0;
        EXPECT_EQ(send(r), s.status) << n;
        EXPECT_EQ(r.srb().ScsiStatus, s.scsi) << n;
        EXPECT_EQ(r.srb().DataTransferLength, s.length2) << n;
        const UCHAR* sense = s.cdb[0] == SCSIOP_REQUEST_SENSE ? r.data.data() : r.sense;
        if (s.key >= 0) {
            EXPECT_EQ(sense[0], 0x70) << n;
            EXPECT_EQ(sense[2], s.key) << n;
            EXPECT_EQ(sense[12], s.asc) << n;
        } else if (s.status == SRB_STATUS_SUCCESS && s.scsi == 0) {
            EXPECT_TRUE(std::equal(r.data.begin(), r.data.begin() + s.length2, inquiry.begin()))
                << n;
        }
        n++;
    }
    qvk::poolFailTag(0);
}

TEST_F(AdapterTest, ControlRequestsAreCheckedAndAnsweredByTheirCode) {
    load();
    TARGET_INFO& t = dev()->TargetInfo[2];
    std::strcpy(t.LoginParams, "CHAP_A=5");
    t.LoginParamsLength = 8;
    KeInitializeEvent(&t.SecurityCompleteEvent, SynchronizationEvent, FALSE);
    constexpr ULONG kUnset = 0xDEADBEEF;
    constexpr UCHAR OK = SRB_STATUS_SUCCESS, BAD = SRB_STATUS_INVALID_REQUEST;
    struct Row {
        ULONG code, length, statusBefore, at, value;
        UCHAR srbStatus;
        ULONG rc, statusAfter, valueAfter; // valueAfter: the word at `at` afterwards
        const char* trace;
        const char* signature = "iSCSI";
    } rows[] = {
        {1, 400, 0, 0x28, 5, BAD, kUnset, 0, 5, "Not our IOCTL, signature = iSCSX", "iSCSX"},
        {1, 400, 0, 0x28, 5, BAD, kUnset, 0, 5, "signature = iSCSI!", "iSCSI!"},
        {7, 20, 0, 0, 0, BAD, kUnset, 0, 0, "no room for the control header"},
        {2, 0x24, 0, 0, 0, BAD, kUnset, 0, 0, "shorter than its record"},
        {0, 28, 0, 0, 0, OK, 1, 0, 0, "undefined ControlCode 0..."},
        {10, 28, 0, 0, 0, OK, 1, 0, 0, "undefined ControlCode a..."},
        {15, 28, 0, 0, 0, OK, 1, 0, 0, "undefined ControlCode f..."},
        {12, 100, 0, 0x20, 0, OK, 1, 0, 0, "Target 2 is not active"},
        {14, 0x24, 1, 0x1C, 200, OK, 1, 1, 200, "Target c8 is not active"},
        {14, 0x24, 1, 0x20, 0, OK, 1, 1, 0, "does not have a pending security"},
        {12, 0x28, 1, 0x20, 0, OK, 1, 1, 9, "does not fit the request's buffer"},
        {12, 100, 1, 0x20, 0, OK, 0, 3, 8, "Status = 3\n"},
        {14, 0x24, 3, 0x20, 0, OK, 0, 5, 0, "negotiation operation was successful"},
        {12, 100, 5, 0x20, 0, OK, 0, 7, 8, "Status = 7\n"},
        {14, 0x24, 7, 0x20, 1, OK, 0, 0x11, 1, "security negotiation FAILED"},
        {13, 400, 8, 0, 0, OK, 1, 8, 0, "does not have a pending login"},
        {11, 100, 0, 0x20, 4, OK, 1, 0, ISCSI_TEXT_REFUSED, "because it is not active"},
        {11, 100, 8, 0x20, 65, OK, 1, 8, ISCSI_TEXT_REFUSED, "does not fit the request's buffer"},
        {1, 400, 0, 0x28, 2000, OK, 1, 0, 2000, "the login string does not fit"},
        {1, 400, 0, 0x28, 99, OK, 1, 0, 99, "the login string does not fit"}, // no room for NUL
        {7, 28, 0, 0, 0, OK, 0, 0, 0, "ISCSI_IOCTL_SHUTDOWN"},
        {8, 28, 0, 0, 0, OK, 0, 0, 0, "ISCSI_IOCTL_DROP_SRB"},
        // Handed to the message handler, which serves them: an add without a login event, the
        // completion of an add that made no session, a bus without a target.
        {1, 400, 0, 0x28, 5, OK, 10, 0, 5, "successfully sent"},
        {13, 400, 1, 0, 0, OK, 2, 1, 0, "succesfully sent"},
        {2, 0x28, 0, 0, 0, OK, 6, 0, 0, "IOCTL_QUERY_TARGET\n"},
        {9, 400, 0, 0, 0, OK, 1, 0, 0, "no target on bus 2\n"}, // and the bus stays free
        {11, 100, 8, 0x20, 4, OK, kUnset, 8, ISCSI_TEXT_REFUSED, "IOCTL_SEND_RECEIVE_TEXT\n"},
    };
    for (const Row& row : rows) {
        t.Status = row.statusBefore;
        Req& r = ioctl(row.code, row.length, row.signature);
        r.data[0x1C] = 2;  // BusNumber of the text and security records
        r.data[0x24] = 2;  // of the query record
        r.data[0x12C] = 2; // of the add and remove records
        std::memcpy(r.data.data() + row.at, &row.value, row.at != 0 ? 4 : 0);
        std::strcpy(reinterpret_cast<char*>(r.data.data()) + 0x12D, "TargetName=t;");
        EXPECT_EQ(send(r), row.srbStatus) << row.trace;
        EXPECT_EQ(r.record<SRB_IO_CONTROL>().ReturnCode, row.rc) << row.trace;
        EXPECT_EQ(t.Status, row.statusAfter) << row.trace;
        ULONG after = 0;
        std::memcpy(&after, r.data.data() + row.at, row.at != 0 ? 4 : 0);
        EXPECT_EQ(after, row.valueAfter) << row.trace;
        EXPECT_EQ(traced(row.trace), 1u) << row.trace;
        log_.clear();
        if (row.code == ISCSI_IOCTL_SECURITY_BEGIN && row.rc == 0) {
            EXPECT_STREQ(reinterpret_cast<char*>(r.data.data()) + 0x24, "CHAP_A=5");
        }
        if (row.code == ISCSI_IOCTL_SECURITY_COMPLETE) {
            // Signalled exactly when the security step was pending.
            LARGE_INTEGER poll{};
            EXPECT_EQ(KeWaitForSingleObject(&t.SecurityCompleteEvent, Executive, KernelMode, FALSE,
                                            &poll),
                      row.rc == 0 ? STATUS_SUCCESS : STATUS_TIMEOUT);
        }
    }
    EXPECT_EQ(dev()->shutdown_in_progress, 1);
    EXPECT_EQ(drop_srb, 1);
}

TEST_F(AdapterTest, ARequestTheMessageHandlerRefusesIsAnsweredWithAnInternalError) {
    load();
    killWinMsgHandler(&winMsgHandlerContext);
    ASSERT_TRUE(qvk::waitSystemThreadsQuiet(5s));
    dev()->TargetInfo[2].Status = TARGET_LOGIN_PENDING;
    dev()->TargetInfo[2].IpAddress = kAddress;
    for (ULONG code : {1u, 13u, 2u, 9u, 11u}) {
        Req& r = ioctl(code, 400);
        r.data[0x24] = r.data[0x12C] = 2;
        r.record<ADD_REMOVE_IOCTL>().IpAddress = kAddress; // the text record's bus is 0x1C
        r.data[0x1C] = code == ISCSI_IOCTL_SEND_RECEIVE_TEXT ? 2 : r.data[0x1C];
        EXPECT_EQ(send(r), SRB_STATUS_SUCCESS) << code;
        EXPECT_EQ(r.record<SRB_IO_CONTROL>().ReturnCode, ISCSI_RC_INTERNAL_ERROR) << code;
        if (code == ISCSI_IOCTL_SEND_RECEIVE_TEXT) {
            EXPECT_EQ(r.record<SEND_RECEIVE_TEXT_IOCTL>().BufferLength, ISCSI_TEXT_REFUSED);
        }
    }
    auto events = qvk::errorLogEntries();
    ASSERT_EQ(events.size(), 2u) << "one for each add request";
    for (const auto& e : events) {
        EXPECT_EQ(e.errorCode, QUEV_CONFIG_INTERNAL_ERROR);
        EXPECT_EQ(e.strings, std::vector<std::u16string>{u"10.0.0.1"});
    }
}

TEST_F(AdapterTest, PendingAndUnsupportedFunctionsAreKeptUntilAResetEndsThem) {
    load();
    dev()->TargetActive[3] = 1;
    for (UCHAR function : {SRB_FUNCTION_RECEIVE_EVENT, SRB_FUNCTION_RELEASE_RECOVERY,
                           SRB_FUNCTION_RESET_DEVICE, SRB_FUNCTION_TERMINATE_IO, UCHAR{0x15}}) {
        Req& r = req(3, {0}, 0, function);
        submit(r);
        EXPECT_FALSE(finished(r, 200ms)) << int(function);
        // What the bus reset will do: end the requests the adapter kept.
        EXPECT_EQ(completeHeldRequests(3, SRB_STATUS_BUS_RESET), 1u);
        EXPECT_TRUE(finished(r));
        EXPECT_EQ(r.srb().SrbStatus, SRB_STATUS_BUS_RESET);
    }
    EXPECT_EQ(traced("HwScsiStartIo: UNSUPPORTED SRB FUNCTION 15\n"), 1u);
}

TEST_F(AdapterTest, ResetsArePostedOncePerBusAndIgnoredForTheDummyAndInactiveBuses) {
    load();
    dev()->TargetActive[1] = dev()->TargetActive[2] = 1;
    struct Row {
        ULONG path;
        const char* trace;
    } rows[] = {{8, "bus reset on DUMMY target"},
                {5, "bus reset on inactive bus 5"},
                {1, "queueing up reset request for PathId = 1"},
                {1, "reset already in progress on active bus 1"}};
    for (const Row& row : rows) {
        porttest::underPortLocks(port_, [&] { EXPECT_TRUE(HwScsiResetBus(dev(), row.path)); });
        EXPECT_EQ(traced(row.trace), 1u) << row.trace;
    }
    EXPECT_EQ(traced("HwScsiResetBus: queueing up"), 1u);

    // A reset request completes before its reset is queued.
    Req& reset = req(2, {0}, 0, SRB_FUNCTION_RESET_BUS);
    EXPECT_EQ(send(reset), SRB_STATUS_SUCCESS);
    EXPECT_EQ(traced("queueing up reset request for PathId = 2"), 1u);
    size_t completed = log_.find("putting SRB into CommandsToComplete");
    EXPECT_LT(completed, log_.find("queueing up reset request for PathId = 2"));

    // During a shutdown a reset ends every request the adapter keeps and refuses all later ones.
    // (The two resets queued above are carried out first: they end what the buses keep.)
    ASSERT_TRUE(eventually([&] { return traced("the reset operation is complete") == 2; }));
    Req& kept = req(1, {0}, 0, SRB_FUNCTION_RECEIVE_EVENT);
    submit(kept);
    EXPECT_FALSE(finished(kept, 100ms));
    dev()->shutdown_in_progress = 1;
    porttest::underPortLocks(port_, [&] { HwScsiResetBus(dev(), 1); });
    EXPECT_TRUE(finished(kept));
    EXPECT_EQ(kept.srb().SrbStatus, SRB_STATUS_NO_DEVICE);
    EXPECT_EQ(dev()->shutdown_reject_commands, 1);
}

TEST_F(AdapterTest, AfterAShutdownRequestEveryRequestIsRefused) {
    load();
    dev()->TargetActive[1] = 1;
    EXPECT_EQ(send(req(1, {0}, 0, SRB_FUNCTION_SHUTDOWN)), SRB_STATUS_SUCCESS);
    EXPECT_EQ(traced("shutdown SRB received for PathId = 1, TargetId = 0, Lun = 0"), 1u);
    EXPECT_EQ(send(ioctl(ISCSI_IOCTL_DROP_SRB)), SRB_STATUS_NO_DEVICE);
    EXPECT_EQ(send(req(8, {SCSIOP_INQUIRY, 0, 0, 0, 36, 0}, 36)), SRB_STATUS_NO_DEVICE);
    EXPECT_EQ(send(req(1, {CDB_ISCSI_IDENTIFY}, 8)), SRB_STATUS_NO_DEVICE);
    EXPECT_EQ(send(req(1, {SCSIOP_TEST_UNIT_READY})), SRB_STATUS_NO_DEVICE);
    EXPECT_EQ(dev()->NumberOfCommandsQueued[1], 0);
}
