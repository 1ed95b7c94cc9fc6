#include "adapter_fixture.h"

#include "platform/classdisk/classdisk.h"

#include <algorithm>
#include <cstring>

namespace systest {

namespace {

void signalDone(SCSI_PORT_REQUEST* r) {
    KeSetEvent(&r->Done, 0, FALSE);
}

} // namespace

Req& AdapterTest::req(UCHAR path, std::vector<UCHAR> cdb, ULONG length, UCHAR function, UCHAR lun) {
    Req& q = reqs_.emplace_back();
    q.data.assign(std::max<ULONG>(length, 512), 0);
    SCSI_REQUEST_BLOCK& s = q.srb();
    s.Length = sizeof s;
    s.Function = function;
    s.PathId = path;
    s.Lun = lun;
    s.CdbLength = static_cast<UCHAR>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), s.Cdb);
    s.DataBuffer = q.data.data();
    s.DataTransferLength = length;
    s.SrbFlags =
        cdb[0] == SCSIOP_WRITE ? SRB_FLAGS_DATA_OUT : (length != 0 ? SRB_FLAGS_DATA_IN : 0);
    s.SenseInfoBuffer = q.sense;
    s.SenseInfoBufferLength = SENSE_BUFFER_SIZE;
    s.TimeOutValue = 30;
    return q;
}

Req& AdapterTest::ioctl(ULONG code, ULONG length, const char* signature) {
    Req& q = req(DUMMY_TARGET_BUS, {0}, length, SRB_FUNCTION_IO_CONTROL);
    auto& header = q.record<SRB_IO_CONTROL>();
    header.HeaderLength = sizeof(SRB_IO_CONTROL);
    std::memcpy(header.Signature, signature, std::min<size_t>(std::strlen(signature) + 1, 8));
    header.ControlCode = code;
    header.ReturnCode = 0xDEADBEEF;
    header.Length = length > sizeof header ? length - sizeof header : 0;
    return q;
}

void AdapterTest::submit(Req& r) {
    KeInitializeEvent(&r.r.Done, NotificationEvent, FALSE);
    r.r.Completion = signalDone;
    qvport::submit(port_, &r.r);
}

bool AdapterTest::finished(Req& r, std::chrono::milliseconds limit) {
    return eventually([&] { return KeReadStateEvent(&r.r.Done) != 0; }, limit);
}

ULONG AdapterTest::activate(UCHAR bus, bool live) {
    if (live && !target_) {
        startTarget();
    }
    // Unreachable targets get a name of their own, so their sessions never bind to another.
    std::string login = live ? kLogin
                             : "InitiatorName=iqn.2001-04.org.quevi:test;TargetName=nobody" +
                                   std::to_string(bus) + ";";
    ISCSI_TARGET_ADDRESS address{LOOPBACK, live ? target_->port() : closedPort()};
    ULONG handle =
        iscsiCoreCreateSession(&address, 1, login.c_str(), static_cast<ULONG>(login.size()), bus);
    EXPECT_NE(handle, ISCSI_NO_SESSION);
    TARGET_INFO& info = dev()->TargetInfo[bus];
    info.IpAddress = LOOPBACK;
    info.SessionHandle = static_cast<LONG>(handle);
    info.Status = TARGET_ADD_COMPLETE;
    dev()->TargetActive[bus] = 1;
    return handle;
}

size_t AdapterTest::traced(const std::string& text) {
    log_ += qvk::dbgCaptureTake();
    size_t count = 0;
    for (size_t at = log_.find(text); at != std::string::npos; at = log_.find(text, at + 1)) {
        count++;
    }
    return count;
}

void AdapterTest::TearDown() {
    if (loaded_) {
        // What the engine still holds comes back at once and fails; busy timers end.
        dev()->shutdown_in_progress = 1;
        for (int bus = 0; bus < ADAPTER_TARGET_BUSES; bus++) {
            dev()->TargetActive[bus] = 0;
            dev()->BusyTimerState[bus] = 0;
        }
        killWinMsgHandler(&winMsgHandlerContext);
        iscsiCoreCleanupData();
    }
    if (target_) {
        target_->stop();
    }
    EXPECT_TRUE(qvk::waitSystemThreadsQuiet(20s));
    for (Req& r : reqs_) {
        if (r.r.Port != nullptr) {
            EXPECT_TRUE(finished(r)) << "request " << &r.r.Srb << " never completed";
        }
    }
    qvport::stopAllPorts();
    qvdisk::stopDisks();
    qvk::deleteDriverObject(driver_);
    SCSI_PORT_ACCOUNTING a = qvport::totalAccounting();
    EXPECT_EQ(a.completedTwice, 0u);
    EXPECT_EQ(a.neverCompleted, 0u);
    EXPECT_EQ(qvk::poolOutstanding(), 0u) << qvk::poolLeakReport();
    qvk::dbgCaptureStop();
}

} // namespace systest
