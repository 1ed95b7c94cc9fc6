// Requests the tool hands to the port driver: one heap record per request with its own data and
// sense buffers, submitted with a completion that signals an event, and waited for with a bound.
// A request that does not complete in time still belongs to the port, so it is never freed: the
// submitter keeps it, waits for it once more when it closes, and gives up (leaks) those that the
// port still holds after that.
#pragma once

#include "platform/scsiport/port.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

namespace quevi::tool {

struct PortRequest {
    SCSI_PORT_REQUEST request{};
    std::vector<UCHAR> data;
    UCHAR sense[SENSE_BUFFER_SIZE] = {};

    SCSI_REQUEST_BLOCK& srb() { return request.Srb; }
    template <class T>
    T& record() {
        return *reinterpret_cast<T*>(data.data());
    }
};

// A request of `length` data bytes (the buffer holds at least one byte) for one address.
std::unique_ptr<PortRequest> makeRequest(UCHAR function, UCHAR path, UCHAR lun, size_t length);

class Submitter {
public:
    // Every wait lasts at most `wait` (on the scaled clock of the kernel stand-in).
    Submitter(SCSI_PORT* port, std::chrono::seconds wait);
    ~Submitter();
    Submitter(const Submitter&) = delete;
    Submitter& operator=(const Submitter&) = delete;

    SCSI_PORT* port() const { return port_; }
    std::chrono::seconds waitLimit() const { return wait_; }

    // Hands the request to the port; its completion signals request.Done.
    void start(PortRequest& r);
    // Waits for a started request. False when it did not complete in time: the request then
    // passes to the submitter and `r` is left empty.
    bool finish(std::unique_ptr<PortRequest>& r);
    bool run(std::unique_ptr<PortRequest>& r) {
        start(*r);
        return finish(r);
    }
    // Waits once more for the requests that did not complete in time and frees those that have;
    // returns how many the port still holds (they are never freed).
    size_t close();

private:
    SCSI_PORT* port_;
    std::chrono::seconds wait_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<PortRequest>> late_; // guarded by mutex_
};

} // namespace quevi::tool
