#include "target/scsi.h"

#include "target/wire.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace quevi::target {
namespace {

constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint8_t kRead6 = 0x08;
constexpr std::uint8_t kWrite6 = 0x0A;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kModeSense6 = 0x1A;
constexpr std::uint8_t kReadCapacity10 = 0x25;
constexpr std::uint8_t kRead10 = 0x28;
constexpr std::uint8_t kWrite10 = 0x2A;
constexpr std::uint8_t kSyncCache10 = 0x35;
constexpr std::uint8_t kModeSense10 = 0x5A;
constexpr std::uint8_t kRead16 = 0x88;
constexpr std::uint8_t kWrite16 = 0x8A;
constexpr std::uint8_t kSyncCache16 = 0x91;
constexpr std::uint8_t kServiceActionIn16 = 0x9E;
constexpr std::uint8_t kReadCapacity16 = 0x10; // service action
constexpr std::uint8_t kReportLuns = 0xA0;

void check(ScsiPlan& plan, std::uint8_t key, std::uint8_t asc,
           std::optional<std::uint64_t> information = std::nullopt) {
    plan.kind = ScsiPlan::Kind::Status;
    plan.status = kStatusCheckCondition;
    plan.hasSense = true;
    plan.sense = {key, asc, 0, information};
}

void putText(std::uint8_t* at, std::string_view text, std::size_t width) {
    std::memset(at, ' ', width);
    std::memcpy(at, text.data(), std::min(text.size(), width));
}

// Finishes generated data: cut to the allocation length.
void setData(ScsiPlan& plan, std::size_t length, std::uint32_t allocation) {
    plan.kind = ScsiPlan::Kind::Data;
    plan.dataLength = static_cast<std::uint32_t>(std::min<std::size_t>(length, allocation));
}

void inquiry(std::span<const std::uint8_t, 16> cdb, std::uint16_t lun, bool present,
             ScsiPlan& plan) {
    std::uint32_t allocation = getBe16(cdb, 3);
    auto& d = plan.data;
    std::uint8_t peripheral = present ? 0x00 : 0x7F; // qualifier 3, type 0x1F: no unit here
    if (cdb[1] & 0x01) {                             // vital product data
        d[0] = peripheral;
        d[1] = cdb[2];
        switch (cdb[2]) {
        case 0x00:
            d[3] = 3;
            d[4] = 0x00;
            d[5] = 0x80;
            d[6] = 0x83;
            return setData(plan, 7, allocation);
        case 0x80: {
            std::string serial = "QUEVI" + std::to_string(1000 + lun);
            d[3] = static_cast<std::uint8_t>(serial.size());
            std::memcpy(&d[4], serial.data(), serial.size());
            return setData(plan, 4 + serial.size(), allocation);
        }
        case 0x83: {
            // One T10 vendor id designator: "QUEVI   " + unit name.
            std::string id = "QUEVI   quevi-lun-" + std::to_string(lun);
            d[4] = 0x02; // code set ASCII
            d[5] = 0x01; // association LUN, type T10 vendor id
            d[7] = static_cast<std::uint8_t>(id.size());
            std::memcpy(&d[8], id.data(), id.size());
            putBe16(d, 2, static_cast<std::uint16_t>(4 + id.size()));
            return setData(plan, 8 + id.size(), allocation);
        }
        default:
            return check(plan, kSenseIllegalRequest, kAscInvalidFieldInCdb);
        }
    }
    if (cdb[2] != 0)
        return check(plan, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    d[0] = peripheral;
    d[2] = 0x05; // SPC-3
    d[3] = 0x02; // response data format
    d[4] = 31;   // additional length
    d[7] = 0x02; // command queuing
    putText(&d[8], "QUEVI", 8);
    putText(&d[16], "quevi target", 16);
    putText(&d[32], "0001", 4);
    setData(plan, 36, allocation);
}

void modeSense(std::span<const std::uint8_t, 16> cdb, bool ten, ScsiPlan& plan) {
    std::uint8_t page = cdb[2] & 0x3F;
    std::uint32_t allocation = ten ? getBe16(cdb, 7) : cdb[4];
    std::size_t header = ten ? 8 : 4;
    auto& d = plan.data;
    std::size_t length = header;
    if (page == 0x08 || page == 0x3F) { // caching page: write cache off, read cache on
        d[length] = 0x08;
        d[length + 1] = 0x12;
        length += 20;
    } else if (page != 0x00) {
        return check(plan, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    }
    if (ten)
        putBe16(d, 0, static_cast<std::uint16_t>(length - 2));
    else
        d[0] = static_cast<std::uint8_t>(length - 1);
    setData(plan, length, allocation);
}

void reportLuns(std::span<const std::uint8_t, 16> cdb, std::span<LunStore* const> luns,
                ScsiPlan& plan) {
    std::uint32_t allocation = getBe32(cdb, 6);
    auto& d = plan.data;
    std::size_t count = 0;
    for (std::size_t n = 0; n < luns.size() && n < kMaxLuns; ++n) {
        if (!luns[n])
            continue;
        std::size_t at = 8 + 8 * count++;
        d[at + 1] = static_cast<std::uint8_t>(n);
    }
    putBe32(d, 0, static_cast<std::uint32_t>(8 * count));
    setData(plan, 8 + 8 * count, allocation);
}

void readCapacity(LunStore& store, bool sixteen, std::span<const std::uint8_t, 16> cdb,
                  ScsiPlan& plan) {
    std::uint64_t last = store.size() / kBlockSize - 1;
    auto& d = plan.data;
    if (!sixteen) {
        putBe32(d, 0, static_cast<std::uint32_t>(std::min<std::uint64_t>(last, 0xFFFFFFFF)));
        putBe32(d, 4, kBlockSize);
        return setData(plan, 8, 8);
    }
    putBe64(d, 0, last);
    putBe32(d, 8, kBlockSize);
    setData(plan, 32, getBe32(cdb, 10));
}

void transfer(LunStore& store, std::uint64_t lba, std::uint64_t blocks, bool write,
              ScsiPlan& plan) {
    std::uint64_t total = store.size() / kBlockSize;
    if (lba > total || blocks > total - lba)
        return check(plan, kSenseIllegalRequest, kAscLbaOutOfRange);
    // A read touching an unreadable block returns no data, only the first such block.
    if (!write)
        if (auto bad = store.badBlocks().read(lba, blocks))
            return check(plan, kSenseMediumError, kAscUnrecoveredReadError, *bad);
    plan.kind = write ? ScsiPlan::Kind::Write : ScsiPlan::Kind::Read;
    plan.offset = lba * kBlockSize;
    plan.length = blocks * kBlockSize;
}

} // namespace

std::array<std::uint8_t, kSenseLength> fixedSense(const Sense& s) {
    std::array<std::uint8_t, kSenseLength> b{};
    b[0] = 0x70;
    if (s.information && *s.information <= 0xFFFFFFFF) {
        b[0] |= 0x80; // VALID: the information field holds the LBA
        putBe32(b, 3, static_cast<std::uint32_t>(*s.information));
    }
    b[2] = s.key;
    b[7] = kSenseLength - 8;
    b[12] = s.asc;
    b[13] = s.ascq;
    return b;
}

void planScsi(std::span<const std::uint8_t, 16> cdb, std::uint16_t lun,
              std::span<LunStore* const> luns, ScsiPlan& plan) {
    plan.kind = ScsiPlan::Kind::Status;
    plan.status = kStatusGood;
    plan.hasSense = false;
    plan.flush = false;
    plan.dataLength = 0;
    plan.data.fill(0);
    LunStore* store = lun < luns.size() ? luns[lun] : nullptr;
    std::uint8_t op = cdb[0];
    if (op == kInquiry)
        return inquiry(cdb, lun, store != nullptr, plan);
    if (op == kReportLuns)
        return reportLuns(cdb, luns, plan);
    if (op == kRequestSense) { // sense goes with each response; nothing is pending here
        plan.data = {};
        auto sense = fixedSense({});
        std::copy(sense.begin(), sense.end(), plan.data.begin());
        return setData(plan, kSenseLength, cdb[4]);
    }
    if (!store)
        return check(plan, kSenseIllegalRequest, kAscLunNotSupported);
    switch (op) {
    case kTestUnitReady:
        return;
    case kReadCapacity10:
        return readCapacity(*store, false, cdb, plan);
    case kServiceActionIn16:
        if ((cdb[1] & 0x1F) == kReadCapacity16)
            return readCapacity(*store, true, cdb, plan);
        return check(plan, kSenseIllegalRequest, kAscInvalidFieldInCdb);
    case kModeSense6:
        return modeSense(cdb, false, plan);
    case kModeSense10:
        return modeSense(cdb, true, plan);
    case kSyncCache10:
    case kSyncCache16:
        plan.flush = true;
        return;
    case kRead6:
    case kWrite6: {
        std::uint64_t lba = getBe24(cdb, 1) & 0x1FFFFF;
        std::uint64_t blocks = cdb[4] == 0 ? 256 : cdb[4];
        return transfer(*store, lba, blocks, op == kWrite6, plan);
    }
    case kRead10:
    case kWrite10:
        return transfer(*store, getBe32(cdb, 2), getBe16(cdb, 7), op == kWrite10, plan);
    case kRead16:
    case kWrite16:
        return transfer(*store, getBe64(cdb, 2), getBe32(cdb, 10), op == kWrite16, plan);
    default:
        return check(plan, kSenseIllegalRequest, kAscInvalidOpcode);
    }
}

} // namespace quevi::target
