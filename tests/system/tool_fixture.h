// The whole system in one process: the driver loaded by the tool's host on the port driver and
// class disk stand-ins, the configuration tool, and targets over loopback. Every test ends with the
// host's orderly stop, which must find every request completed exactly once and the pool empty.
#pragma once

#include "system_fixture.h"
#include "tool/host.h"

#include <condition_variable>
#include <mutex>

namespace systest {

namespace qt = quevi::tool;

// A security policy that blocks until released, so a test can act while a login waits for it.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;

    qt::SecurityPolicy policy() {
        return [this](UCHAR, const std::string&) {
            std::unique_lock<std::mutex> lock(mutex);
            entered = true;
            changed.notify_all();
            changed.wait_for(lock, 20s, [this] { return released; });
            return true;
        };
    }
    bool waitEntered() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [this] { return entered; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }
};

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ULONG level = 2;
        if (const char* trace = std::getenv("QUEVI_TRACE")) {
            level = static_cast<ULONG>(std::atoi(trace));
        } else {
            qvk::dbgCaptureStart();
        }
        qvk::setTimeScale(0.1);
        host_ = std::make_unique<qt::Host>(qt::HostOptions{{{"Debug", level}}, 60s});
        std::string error;
        ASSERT_TRUE(host_->load(&error)) << error;
    }

    void TearDown() override {
        qt::HostReport report = host_->stop();
        for (const std::string& problem : report.problems) {
            ADD_FAILURE() << problem;
        }
        for (auto& t : targets_) {
            t->stop();
        }
        for (auto& r : requests_) {
            if (r->request.State != SCSI_REQUEST_IDLE) {
                (void)r.release(); // the port never gave it back
            }
        }
        qvk::dbgCaptureStop();
    }

    tgt::Target& startTarget(tgt::TargetConfig config = {}) {
        config.name = kTargetName;
        auto& t = targets_.emplace_back(std::make_unique<tgt::Target>(config));
        std::string error;
        EXPECT_TRUE(t->start(&error)) << error;
        return *t;
    }

    // The add request for a target (a closed port when null); `initiator` tells sessions apart.
    static qt::AddConfig config(tgt::Target* t, ULONG connections = 1,
                                const std::string& initiator = "test") {
        return {LOOPBACK, t != nullptr ? t->port() : closedPort(), connections,
                "InitiatorName=iqn.2001-04.org.quevi:" + initiator + ";TargetName=" + kTargetName +
                    ";"};
    }

    qt::ConfigTool& tool() { return host_->tool(); }
    qt::Scsi& scsi() { return host_->scsi(); }

    // A READ(10) of one block started on the bus (timed by the port after `timeOut` seconds; 0:
    // the host's wait); finish() waits for it. The fixture owns it, so it outlives the test body
    // even when the port still holds it then.
    qt::PortRequest& startRead(UCHAR bus, ULONG timeOut = 0) {
        auto& r = requests_.emplace_back(qt::makeRequest(SRB_FUNCTION_EXECUTE_SCSI, bus, 0, 512));
        r->srb().TimeOutValue = timeOut;
        std::vector<UCHAR> cdb = qt::read10Cdb(0, 1);
        std::copy(cdb.begin(), cdb.end(), r->srb().Cdb);
        r->srb().CdbLength = 10;
        r->srb().SrbFlags = SRB_FLAGS_DATA_IN;
        host_->submitter().start(*r);
        return *r;
    }
    UCHAR finish(qt::PortRequest& r) {
        bool done = qvport::waitFor(&r.request, 60);
        EXPECT_TRUE(done) << "the request did not complete";
        return done ? SRB_STATUS(r.srb().SrbStatus) : SRB_STATUS_PENDING;
    }
    UCHAR read(UCHAR bus) { return finish(startRead(bus)); }

    // Target faults: SCSI commands that never get their status, Text requests that are never
    // answered.
    static tgt::Faults withheld() {
        tgt::Faults f;
        f.withholdStatus = true;
        return f;
    }
    static tgt::Faults textUnanswered() {
        tgt::Faults f;
        f.script = [](tgt::ScriptedPdu&) {};
        f.scriptOpcodes = {tgt::kOpText};
        return f;
    }

    // The entries of the event log with this id.
    static std::vector<qvk::ErrorLogEntry> events(uint32_t id) {
        std::vector<qvk::ErrorLogEntry> found;
        for (auto& e : qvk::errorLogEntries()) {
            if (e.errorCode == id) {
                found.push_back(e);
            }
        }
        return found;
    }

    std::unique_ptr<qt::Host> host_;
    std::vector<std::unique_ptr<tgt::Target>> targets_;
    std::vector<std::unique_ptr<qt::PortRequest>> requests_;
};

} // namespace systest
