// The host: loads the driver into the platform stand-ins as NT would at boot (registry values under
// QueviSCSI\Parameters, the driver's message table for the event log, the disk class driver, the
// driver object and DriverEntry, which registers the adapter with the port driver), gives the
// configuration tool and SCSI pass-through their port, scans the buses, and at the end shuts
// everything down in order and checks that every request handed to the driver completed exactly
// once and that the pool is back to empty.
//
// One host per process: the driver's globals are process-wide.
#pragma once

#include "tool/config_tool.h"
#include "tool/scsi.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace quevi::tool {

struct HostOptions {
    std::vector<std::pair<std::string, uint32_t>> registry; // values under QueviSCSI\Parameters
    std::chrono::seconds wait{30};                          // bounds every wait
};

struct HostReport {
    SCSI_PORT_ACCOUNTING accounting{};
    uint64_t poolOutstanding = 0;
    std::vector<std::string> problems; // empty when everything ended as it should
    bool clean() const { return problems.empty(); }
};

class Host {
public:
    explicit Host(HostOptions options = {});
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Loads the driver; false with a message when it could not be loaded.
    bool load(std::string* error);
    bool loaded() const { return port_ != nullptr; }

    SCSI_PORT* port() const { return port_; }
    Submitter& submitter() { return *submitter_; }
    ConfigTool& tool() { return *tool_; }
    Scsi& scsi() { return *scsi_; }

    // INQUIRY to every bus; the number of logical units found.
    int scan();
    // The disk class driver claims the direct-access units of the last scan; how many.
    int claimDisks();

    // Ends every request in flight now, whatever the targets do: the tool's shutdown request, then
    // a reset of every target bus through the port. Reset while shutting down, the adapter breaks
    // every session's connections, so the engine completes what it holds (SELECTION_TIMEOUT), and
    // refuses every request from then on (NO_DEVICE). Buffers stay with their requests until these
    // complete, as always. Any thread, also while others wait for requests; does nothing once
    // stop() has begun its teardown.
    void giveUp();
    bool givenUp() const { return givenUp_.load(); }

    // The orderly end: the tool's shutdown request, SRB_FUNCTION_SHUTDOWN to every target bus
    // (as the class drivers send it when the system stops), the login servers stop, the message
    // handler finishes, the engine's sessions are deleted, the threads end, the port stops.
    // Returns what the teardown found. Called by the destructor if not called before. With
    // QUEVI_ACCOUNTING set in the environment it also prints the port's counts as one line on
    // stderr: "quevi accounting: handed=N completed=N twice=N never=N busy_retries=N
    // timeouts=N pool=N" (pool: allocations still outstanding).
    HostReport stop();

private:
    HostOptions options_;
    PDRIVER_OBJECT driver_ = nullptr;
    SCSI_PORT* port_ = nullptr;
    std::unique_ptr<Submitter> submitter_;
    std::unique_ptr<ConfigTool> tool_;
    std::unique_ptr<Scsi> scsi_;
    std::mutex giveUpMutex_;   // giveUp() against the start of the teardown
    bool tearingDown_ = false; // guarded by giveUpMutex_
    std::atomic<bool> givenUp_{false};
};

} // namespace quevi::tool
