// The target's SCSI command set: the input is a CDB (its first 16 bytes), a LUN number (byte
// 16) and data for a write (the rest). planScsi decides over two small memory LUNs and a gap;
// its ranges must lie inside the store and its generated data inside the plan, and the read or
// write it asks for is then carried out on the store.
#include "check.h"
#include "target/lun.h"
#include "target/scsi.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace {

using namespace quevi::target;

std::array<LunStore*, 3>& luns() {
    static std::array<LunStore*, 3> units = [] {
        static auto a = makeMemoryLun(256 * 1024, nullptr);
        static auto b = makeMemoryLun(4096, nullptr);
        return std::array<LunStore*, 3>{a.get(), nullptr, b.get()};
    }();
    return units;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::array<std::uint8_t, 16> cdb{};
    std::copy_n(data, std::min<std::size_t>(size, cdb.size()), cdb.begin());
    std::uint16_t lun = size > 16 ? data[16] % 4 : 0;
    std::span<const std::uint8_t> payload;
    if (size > 17)
        payload = {data + 17, size - 17};
    static ScsiPlan plan; // as the connection keeps it: reused from command to command
    bool discovery = size > 16 && (data[16] & 0x80);
    std::span<LunStore* const> units = discovery ? std::span<LunStore* const>{} : luns();
    planScsi(cdb, lun, units, plan);
    LunStore* store = lun < units.size() ? units[lun] : nullptr;
    switch (plan.kind) {
    case ScsiPlan::Kind::Status:
        FUZZ_CHECK(plan.status != kStatusGood || !plan.hasSense);
        break;
    case ScsiPlan::Kind::Data:
        FUZZ_CHECK(plan.dataLength <= plan.data.size());
        break;
    case ScsiPlan::Kind::Read:
    case ScsiPlan::Kind::Write: {
        FUZZ_CHECK(store);
        FUZZ_CHECK(plan.offset % kBlockSize == 0 && plan.length % kBlockSize == 0);
        FUZZ_CHECK(plan.offset <= store->size() && plan.length <= store->size() - plan.offset);
        static std::vector<std::uint8_t> buffer(64 * 1024);
        for (std::uint64_t done = 0; done < plan.length; done += buffer.size()) {
            std::size_t n = static_cast<std::size_t>(
                std::min<std::uint64_t>(buffer.size(), plan.length - done));
            std::span<std::uint8_t> part(buffer.data(), n);
            if (plan.kind == ScsiPlan::Kind::Write) {
                std::fill(part.begin(), part.end(), 0);
                std::copy_n(payload.begin(), std::min(payload.size(), n), part.begin());
                FUZZ_CHECK(store->write(plan.offset + done, part));
            } else {
                FUZZ_CHECK(store->read(plan.offset + done, part));
            }
        }
        break;
    }
    }
    return 0;
}
