#include "tool/host.h"

#include "driver/api/control.h"
#include "driver/api/driver.h"
#include "driver/api/messages.h"
#include "platform/classdisk/classdisk.h"
#include "platform/kernel/host.h"

#include <cstdio>
#include <cstdlib>

namespace quevi::tool {
namespace {

constexpr const char* kParameters = "QueviSCSI\\Parameters";

// One line on stderr with the counts the end checked, for scripts that check every run (such as
// scripts/soak), also the runs where nothing went wrong: a missing line means the end never came.
void printAccounting(const HostReport& report) {
    const SCSI_PORT_ACCOUNTING& a = report.accounting;
    std::fprintf(stderr,
                 "quevi accounting: handed=%llu completed=%llu twice=%llu never=%llu "
                 "busy_retries=%llu timeouts=%llu pool=%llu\n",
                 static_cast<unsigned long long>(a.handedToMiniport),
                 static_cast<unsigned long long>(a.completedByMiniport),
                 static_cast<unsigned long long>(a.completedTwice),
                 static_cast<unsigned long long>(a.neverCompleted),
                 static_cast<unsigned long long>(a.busyRetries),
                 static_cast<unsigned long long>(a.timeouts),
                 static_cast<unsigned long long>(report.poolOutstanding));
}

} // namespace

Host::Host(HostOptions options) : options_(std::move(options)) {}

Host::~Host() {
    if (loaded()) {
        (void)stop();
    }
}

bool Host::load(std::string* error) {
    qvk::registryCreateKey(kParameters);
    for (const auto& [name, value] : options_.registry) {
        qvk::registrySetDword(kParameters, name, value);
    }
    // The event log renders the driver's entries from its message table, as the system's event
    // viewer reads the table from the driver's resources.
    qvk::errorLogSetMessageTable([](uint32_t id) -> const char* {
        const QUEV_MESSAGE* message = quevFindMessage(id);
        return message != nullptr ? message->text : nullptr;
    });
    qvdisk::DiskDriverEntry();
    driver_ = qvk::createDriverObject("QueviSCSI");
    UNICODE_STRING path;
    RtlInitUnicodeString(&path,
                         u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\QueviSCSI");
    NTSTATUS status = DriverEntry(driver_, &path);
    port_ = NT_SUCCESS(status) ? qvport::portOf(driver_) : nullptr;
    if (port_ == nullptr) {
        if (error != nullptr) {
            char text[64];
            std::snprintf(text, sizeof text, "the driver did not load (DriverEntry status 0x%08x)",
                          static_cast<unsigned>(status));
            *error = text;
        }
        qvk::waitSystemThreadsQuiet(options_.wait);
        qvdisk::stopDisks();
        qvk::deleteDriverObject(driver_);
        driver_ = nullptr;
        return false;
    }
    submitter_ = std::make_unique<Submitter>(port_, options_.wait);
    tool_ = std::make_unique<ConfigTool>(*submitter_);
    scsi_ = std::make_unique<Scsi>(*submitter_);
    return true;
}

int Host::scan() {
    return qvport::scanBus(port_);
}

int Host::claimDisks() {
    return qvdisk::claimDisks(port_);
}

void Host::giveUp() {
    std::lock_guard<std::mutex> guard(giveUpMutex_);
    if (tearingDown_ || port_ == nullptr) {
        return;
    }
    givenUp_ = true;
    (void)tool_->shutdown(); // a control request: answered at once
    for (UCHAR bus = 0; bus < ADAPTER_TARGET_BUSES; bus++) {
        qvport::resetBus(port_, bus);
    }
}

HostReport Host::stop() {
    HostReport report;
    if (!loaded()) {
        return report;
    }
    auto problem = [&report](std::string text) { report.problems.push_back(std::move(text)); };
    // Refused (NO_DEVICE) when the adapter was shut down already; either way it must complete.
    if (!tool_->shutdown().completed) {
        problem("the shutdown request did not complete");
    }
    for (UCHAR bus = 0; bus < ADAPTER_TARGET_BUSES; bus++) {
        if (!scsi_->shutdown(bus).completed) {
            problem("the shutdown of bus " + std::to_string(bus) + " did not complete");
        }
    }
    {
        std::lock_guard<std::mutex> guard(giveUpMutex_);
        tearingDown_ = true;
    }
    tool_->stopServing();

    // The driver has no unload path; the host ends it as a power-off would. The message handler
    // carries out what was posted before it finishes.
    quevStopDriver();
    auto bound = std::chrono::duration_cast<std::chrono::milliseconds>(options_.wait);
    if (quevWaitDriverStopped(static_cast<ULONG>(bound.count())) == FALSE) {
        problem("the message handler did not finish");
    }
    quevEndDriver();
    if (size_t held = submitter_->close(); held != 0) {
        problem(std::to_string(held) + " requests of the tool never completed");
    }
    if (!qvk::waitSystemThreadsQuiet(options_.wait)) {
        problem(std::to_string(qvk::liveSystemThreads()) + " driver threads did not end");
    }
    qvport::stopPort(port_);
    port_ = nullptr;
    qvdisk::stopDisks();
    qvk::deleteDriverObject(driver_);
    driver_ = nullptr;
    qvk::namedEventsClear();

    report.accounting = qvport::totalAccounting();
    if (report.accounting.completedTwice != 0) {
        problem(std::to_string(report.accounting.completedTwice) + " requests completed twice");
    }
    if (report.accounting.neverCompleted != 0) {
        problem(std::to_string(report.accounting.neverCompleted) + " requests never completed");
    }
    report.poolOutstanding = qvk::poolOutstanding();
    if (report.poolOutstanding != 0) {
        problem("pool allocations outstanding:\n" + qvk::poolLeakReport());
    }
    if (std::getenv("QUEVI_ACCOUNTING") != nullptr) {
        printAccounting(report);
    }
    return report;
}

} // namespace quevi::tool
