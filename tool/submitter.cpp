#include "tool/submitter.h"

#include <algorithm>

namespace quevi::tool {
namespace {

void signalDone(SCSI_PORT_REQUEST* request) {
    KeSetEvent(&request->Done, 0, FALSE);
}

ULONG seconds(std::chrono::seconds s) {
    return static_cast<ULONG>(std::max<std::chrono::seconds::rep>(1, s.count()));
}

} // namespace

std::unique_ptr<PortRequest> makeRequest(UCHAR function, UCHAR path, UCHAR lun, size_t length) {
    auto r = std::make_unique<PortRequest>();
    r->data.assign(std::max<size_t>(length, 1), 0);
    SCSI_REQUEST_BLOCK& srb = r->srb();
    srb.Length = sizeof srb;
    srb.Function = function;
    srb.PathId = path;
    srb.Lun = lun;
    srb.DataBuffer = length != 0 ? r->data.data() : nullptr;
    srb.DataTransferLength = static_cast<ULONG>(length);
    srb.SenseInfoBuffer = r->sense;
    srb.SenseInfoBufferLength = SENSE_BUFFER_SIZE;
    return r;
}

Submitter::Submitter(SCSI_PORT* port, std::chrono::seconds wait) : port_(port), wait_(wait) {}

Submitter::~Submitter() {
    (void)close();
}

void Submitter::start(PortRequest& r) {
    KeInitializeEvent(&r.request.Done, NotificationEvent, FALSE);
    r.request.Completion = signalDone;
    if (r.srb().TimeOutValue == 0) {
        r.srb().TimeOutValue = seconds(wait_);
    }
    qvport::submit(port_, &r.request);
}

bool Submitter::finish(std::unique_ptr<PortRequest>& r) {
    if (qvport::waitFor(&r->request, seconds(wait_))) {
        return true;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    late_.push_back(std::move(r));
    return false;
}

size_t Submitter::close() {
    std::vector<std::unique_ptr<PortRequest>> late;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        late.swap(late_);
    }
    size_t held = 0;
    for (auto& r : late) {
        if (!qvport::waitFor(&r->request, seconds(wait_))) {
            (void)r.release(); // the port may still write into it
            held++;
        }
    }
    return held;
}

} // namespace quevi::tool
