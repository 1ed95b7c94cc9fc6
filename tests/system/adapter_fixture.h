// The driver loaded as a miniport on the port driver stand-in: requests go in through the port,
// buses get sessions on the in-process target by setting TargetActive and SessionHandle (adding
// targets through control requests comes with the message handler's cases). At the end every
// request handed to the miniport must have completed exactly once.
#pragma once

#include "driver/adapter/adapter.h"
#include "driver/control/control.h"
#include "platform/scsiport/port.h"
#include "system_fixture.h"

#include <deque>

namespace systest {

struct Req {
    SCSI_PORT_REQUEST r{};
    std::vector<UCHAR> data;
    UCHAR sense[SENSE_BUFFER_SIZE] = {};
    SCSI_REQUEST_BLOCK& srb() { return r.Srb; }
    template <class T>
    T& record() {
        return *reinterpret_cast<T*>(data.data());
    }
};

class AdapterTest : public SystemTest {
protected:
    void SetUp() override {
        qvk::dbgCaptureStart();
        qvk::setTimeScale(0.1);
        qvk::registrySetDword("QueviSCSI\\Parameters", "Debug", 3);
        driver_ = qvk::createDriverObject("QueviSCSI");
    }
    void TearDown() override;

    // Loads the driver; the port it registered.
    void load() {
        UNICODE_STRING path;
        RtlInitUnicodeString(
            &path, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QueviSCSI");
        ASSERT_EQ(DriverEntry(driver_, &path), STATUS_SUCCESS);
        loaded_ = true;
        port_ = qvport::portOf(driver_);
        ASSERT_NE(port_, nullptr);
    }
    HW_DEVICE_EXTENSION* dev() { return pMyDevExt; }

    // A request for the port; the first CDB byte decides the data direction of a READ/WRITE.
    Req& req(UCHAR path, std::vector<UCHAR> cdb, ULONG length = 0,
             UCHAR function = SRB_FUNCTION_EXECUTE_SCSI, UCHAR lun = 0);
    // A control request (path 8) carrying a record of `length` bytes.
    Req& ioctl(ULONG code, ULONG length = sizeof(SRB_IO_CONTROL), const char* signature = "iSCSI");
    void submit(Req& r);
    bool finished(Req& r, std::chrono::milliseconds limit = 10s);
    UCHAR send(Req& r) {
        submit(r);
        EXPECT_TRUE(finished(r)) << "request did not complete";
        return r.srb().SrbStatus;
    }

    // Makes a bus active on a session: of the target (started on first use), or of a target
    // that cannot be reached when `live` is false. Returns the session handle.
    ULONG activate(UCHAR bus, bool live = true);
    // How often a trace line (or part of one) has been printed so far.
    size_t traced(const std::string& text);

    SCSI_PORT* port_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    bool loaded_ = false;
    std::deque<Req> reqs_;
    std::string log_;
};

} // namespace systest
