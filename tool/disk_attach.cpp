#include "tool/disk_attach.h"

#include <thread>

namespace quevi::tool {
namespace {

constexpr int kFlushAttempts = 5;
constexpr auto kFlushPause = std::chrono::milliseconds(500);

std::string addressText(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

std::string returnCodeText(ULONG code) {
    switch (code) {
    case 1:
        return "invalid state";
    case 3:
        return "not connected: the target did not answer or refused the connection";
    case 5:
        return "no free bus";
    case 7:
        return "login rejected (check the target name)";
    case 11:
        return "security step failed";
    default:
        return "return code " + std::to_string(code);
    }
}

bool sameTarget(const TargetUrl& a, const TargetUrl& b) {
    return a.address == b.address && a.port == b.port && a.targetName == b.targetName;
}

} // namespace

void preferBulkTransfers(HostOptions& options) {
    for (const auto& [name, value] : options.registry) {
        if (name == "MaximumTransferLength") {
            return;
        }
    }
    options.registry.emplace_back("MaximumTransferLength", kBulkTransferBytes);
}

bool distinctTargets(const std::vector<TargetUrl>& urls, std::string& error) {
    for (size_t i = 0; i < urls.size(); i++) {
        for (size_t j = 0; j < i; j++) {
            if (urls[i].address == urls[j].address && urls[i].targetName == urls[j].targetName &&
                urls[i].port != urls[j].port) {
                error = urlText(urls[j]) + " and " + urlText(urls[i]) +
                        " name one target on two ports: the initiator joins them in one session, "
                        "so both would reach the first; targets on one address need different "
                        "names";
                return false;
            }
        }
    }
    return true;
}

std::string urlText(const TargetUrl& url) {
    return addressText(url.address) + ":" + std::to_string(url.port) + "/" + url.targetName + "/" +
           std::to_string(url.lun);
}

namespace {

// The bus of the URL's target after its add conversation; -1 with a message when the add failed.
int addBus(Host& host, const TargetUrl& url, const std::string& initiator,
           const AttachOptions& options, std::string& error) {
    AddConfig config{url.address, url.port, options.connections, loginFor(url, initiator)};
    AddResult add = host.tool().addTarget(config, options.security);
    if (!add.completed()) {
        error = urlText(url) + ": the add did not complete within " +
                std::to_string(host.submitter().waitLimit().count()) + " s";
        return -1;
    }
    if (add.returnCode() != 0 || add.bus < 0) {
        error = urlText(url) + ": " + returnCodeText(add.returnCode());
        return -1;
    }
    return add.bus;
}

std::string initiatorOf(const AttachOptions& options) {
    return options.initiatorName.empty() ? defaultInitiatorName() : options.initiatorName;
}

} // namespace

std::vector<CLASS_DISK*> attachDisks(Host& host, const std::vector<TargetUrl>& urls,
                                     const AttachOptions& options, std::string& error) {
    if (!distinctTargets(urls, error)) {
        return {};
    }
    std::string initiator = initiatorOf(options);
    std::vector<int> buses(urls.size(), -1);
    for (size_t i = 0; i < urls.size(); i++) {
        for (size_t j = 0; j < i; j++) {
            if (sameTarget(urls[i], urls[j])) {
                buses[i] = buses[j];
            }
        }
        if (buses[i] < 0 && (buses[i] = addBus(host, urls[i], initiator, options, error)) < 0) {
            return {};
        }
    }
    host.scan();
    host.claimDisks();
    std::vector<CLASS_DISK*> disks;
    for (size_t i = 0; i < urls.size(); i++) {
        CLASS_DISK* found = nullptr;
        for (ULONG n = 0; n < qvdisk::diskCount() && found == nullptr; n++) {
            CLASS_DISK* d = qvdisk::disk(n);
            if (d != nullptr && qvdisk::pathId(d) == buses[i] && qvdisk::lun(d) == urls[i].lun) {
                found = d;
            }
        }
        if (found == nullptr) {
            error = urlText(urls[i]) + ": no disk at LUN " + std::to_string(urls[i].lun);
            return {};
        }
        disks.push_back(found);
    }
    return disks;
}

std::vector<CLASS_DISK*> attachTargetDisks(Host& host, const TargetUrl& url,
                                           const AttachOptions& options, std::string& error) {
    int bus = addBus(host, url, initiatorOf(options), options, error);
    if (bus < 0) {
        return {};
    }
    host.scan();
    host.claimDisks();
    std::vector<CLASS_DISK*> disks(kMaxLun + 1, nullptr);
    bool any = false;
    for (ULONG n = 0; n < qvdisk::diskCount(); n++) {
        CLASS_DISK* d = qvdisk::disk(n);
        if (d != nullptr && qvdisk::pathId(d) == bus && qvdisk::lun(d) <= kMaxLun) {
            disks[qvdisk::lun(d)] = d;
            any = true;
        }
    }
    if (!any) {
        error = urlText(url).substr(0, urlText(url).rfind('/')) + ": the target has no disk";
        return {};
    }
    return disks;
}

bool flushDisk(Host& host, CLASS_DISK* disk) {
    ScsiCommand command;
    command.path = qvdisk::pathId(disk);
    command.lun = qvdisk::lun(disk);
    command.cdb = {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}; // SYNCHRONIZE CACHE(10), the whole unit
    for (int attempt = 0; attempt < kFlushAttempts; attempt++) {
        ScsiResult r = host.scsi().execute(command);
        if (!r.completed) {
            return false;
        }
        if (SRB_STATUS(r.srbStatus) == SRB_STATUS_SUCCESS && r.scsiStatus == SCSISTAT_GOOD) {
            return true;
        }
        bool attention = r.scsiStatus == SCSISTAT_CHECK_CONDITION && r.sense.size() > 2 &&
                         (r.sense[2] & 0x0F) == SCSI_SENSE_UNIT_ATTENTION;
        bool busy = SRB_STATUS(r.srbStatus) == SRB_STATUS_BUSY || r.scsiStatus == SCSISTAT_BUSY;
        if (!attention && !busy) {
            return false;
        }
        std::this_thread::sleep_for(kFlushPause);
    }
    return false;
}

} // namespace quevi::tool
