#include "tool/target_list.h"

#include <arpa/inet.h>

#include <algorithm>
#include <thread>

namespace quevi::tool {
namespace {

constexpr UCHAR kServiceActionIn16 = 0x9E;
constexpr UCHAR kReadCapacity16 = 0x10;
constexpr ULONG kCapacity10Bytes = 8;
constexpr ULONG kCapacity16Bytes = 32;
constexpr int kCapacityAttempts = 4;
constexpr auto kCapacityPause = std::chrono::milliseconds(100);

std::string printable(std::string text) {
    for (char& c : text) {
        if (c < 0x20 || c > 0x7E) {
            c = '?';
        }
    }
    return text;
}

// An INQUIRY identification field without the spaces (or NULs) around it.
std::string inquiryText(const UCHAR* field, size_t length) {
    std::string text(reinterpret_cast<const char*>(field), length);
    const char padding[] = {' ', '\0'};
    size_t first = text.find_first_not_of(padding, 0, sizeof padding);
    if (first == std::string::npos) {
        return "";
    }
    size_t last = text.find_last_not_of(padding, std::string::npos, sizeof padding);
    return printable(text.substr(first, last + 1 - first));
}

uint64_t be64(const std::vector<UCHAR>& data, size_t offset) {
    return uint64_t{be32(data, offset)} << 32 | be32(data, offset + 4);
}

// One capacity command, tried again while the unit reports itself busy or a unit attention (as
// after a login or a reconnection).
ScsiResult capacityCommand(Host& host, const ScsiCommand& command) {
    ScsiResult r;
    for (int attempt = 0; attempt < kCapacityAttempts; attempt++) {
        r = host.scsi().execute(command);
        bool attention = r.scsiStatus == SCSISTAT_CHECK_CONDITION && r.sense.size() > 2 &&
                         (r.sense[2] & 0x0F) == SCSI_SENSE_UNIT_ATTENTION;
        bool busy = SRB_STATUS(r.srbStatus) == SRB_STATUS_BUSY || r.scsiStatus == SCSISTAT_BUSY;
        if (!r.completed || !(attention || busy)) {
            break;
        }
        std::this_thread::sleep_for(kCapacityPause);
    }
    return r;
}

bool good(const ScsiResult& r, size_t bytes) {
    return r.completed && SRB_STATUS(r.srbStatus) == SRB_STATUS_SUCCESS &&
           r.scsiStatus == SCSISTAT_GOOD && r.data.size() >= bytes;
}

// Reads the unit's capacity into `info`; false when the command did not complete at all.
bool readCapacity(Host& host, UCHAR bus, LunInfo& info) {
    ScsiCommand command{bus, info.lun, readCapacityCdb(), kCapacity10Bytes, {}};
    ScsiResult r = capacityCommand(host, command);
    if (!good(r, kCapacity10Bytes)) {
        return r.completed;
    }
    uint64_t last = be32(r.data, 0);
    info.blockSize = be32(r.data, 4);
    if (last == 0xFFFFFFFF) {
        command.cdb = {kServiceActionIn16,
                       kReadCapacity16,
                       0,
                       0,
                       0,
                       0,
                       0,
                       0,
                       0,
                       0,
                       0,
                       0,
                       0,
                       kCapacity16Bytes,
                       0,
                       0};
        command.dataIn = kCapacity16Bytes;
        r = capacityCommand(host, command);
        if (!good(r, 12)) {
            return r.completed;
        }
        last = be64(r.data, 0);
        info.blockSize = be32(r.data, 8);
    }
    if (last == UINT64_MAX || info.blockSize == 0 ||
        last + 1 > UINT64_MAX / static_cast<uint64_t>(info.blockSize)) {
        return true; // a capacity no disk has: shown as unknown
    }
    info.blocks = last + 1;
    info.sized = true;
    return true;
}

} // namespace

std::vector<ListedTarget> parseSendTargets(const std::string& text) {
    std::vector<ListedTarget> targets;
    size_t current = SIZE_MAX;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = std::min(text.find('\0', start), text.size());
        std::string pair = text.substr(start, end - start);
        start = end + 1;
        size_t eq = pair.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        std::string key = pair.substr(0, eq);
        std::string value = printable(pair.substr(eq + 1));
        if (key == "TargetName") {
            auto same = std::find_if(targets.begin(), targets.end(),
                                     [&](const ListedTarget& t) { return t.name == value; });
            current = static_cast<size_t>(same - targets.begin());
            if (same == targets.end()) {
                targets.push_back({value, {}});
            }
        } else if (key == "TargetAddress" && current != SIZE_MAX) {
            targets[current].addresses.push_back(value);
        }
    }
    return targets;
}

std::string withoutGroupTag(const std::string& address) {
    return address.substr(0, address.find(','));
}

bool parsePortal(const std::string& address, uint32_t& ip, uint16_t& port) {
    std::string portal = withoutGroupTag(address);
    std::string host = portal.substr(0, portal.find(':'));
    port = 3260;
    if (host.size() != portal.size()) {
        std::string digits = portal.substr(host.size() + 1);
        if (digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        unsigned long value = std::stoul(digits);
        if (value == 0 || value > 65535) {
            return false;
        }
        port = static_cast<uint16_t>(value);
    }
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) != 1) {
        return false;
    }
    ip = ntohl(a.s_addr);
    return true;
}

std::vector<LunInfo> describeLuns(Host& host, UCHAR bus, std::string& error) {
    std::vector<LunInfo> luns;
    for (const SCSI_PORT_LU_INFO& unit : qvport::inquiryData(host.port())) {
        if (unit.PathId != bus) {
            continue;
        }
        LunInfo info;
        info.lun = unit.Lun;
        info.deviceType = unit.InquiryData[0] & 0x1F;
        info.vendor = inquiryText(unit.InquiryData + 8, 8);
        info.product = inquiryText(unit.InquiryData + 16, 16);
        info.revision = inquiryText(unit.InquiryData + 32, 4);
        luns.push_back(info);
    }
    std::sort(luns.begin(), luns.end(),
              [](const LunInfo& a, const LunInfo& b) { return a.lun < b.lun; });
    for (LunInfo& info : luns) {
        if (!readCapacity(host, bus, info)) {
            error = "LUN " + std::to_string(info.lun) + " did not answer READ CAPACITY within " +
                    std::to_string(host.submitter().waitLimit().count()) + " s";
            break;
        }
    }
    return luns;
}

} // namespace quevi::tool
