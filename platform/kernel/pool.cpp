// Non-paged pool: every block carries a header (magic, tag, size) in front of the caller's bytes,
// is counted against its tag while outstanding, and is checked when freed: a pointer that is not
// an outstanding block (double free, pointer into the middle, wrong tag) aborts. Allocation can
// be made to fail for tests: the n-th from now, or every one with a given tag.
#include "platform/kernel/host.h"
#include "platform/kernel/kernel_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_set>

namespace {

constexpr uint32_t kLiveMagic = 0x4c4f4f50;  // "POOL"
constexpr uint32_t kFreedMagic = 0x44454544; // "DEED"

struct alignas(16) PoolHeader {
    uint32_t magic;
    uint32_t tag;
    uint64_t size;
};
static_assert(sizeof(PoolHeader) == 16, "pool blocks stay 16-byte aligned");

struct TagUsage {
    uint64_t allocations = 0;
    uint64_t bytes = 0;
};

// Guarded by poolMutex: all of it.
struct PoolState {
    std::mutex poolMutex;
    std::unordered_set<const PoolHeader*> live;
    std::map<uint32_t, TagUsage> usage; // tags with outstanding blocks only
    uint64_t allocationCount = 0;       // attempts, failed ones included
    uint64_t failAt = 0;                // allocation number to fail, 0 = none
    uint32_t failTag = 0;               // tag whose allocations fail, 0 = none
};

PoolState& pool() {
    // Never destroyed: detached threads may still use it while the process exits.
    static PoolState* state = new PoolState;
    return *state;
}

std::string tagText(uint32_t tag) {
    std::string text;
    for (int i = 0; i < 4; i++) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

void freeBlock(PVOID p, bool checkTag, ULONG tag) {
    if (p == nullptr) {
        qvk::detail::fatal("ExFreePool of a null pointer");
    }
    PoolHeader* header = static_cast<PoolHeader*>(p) - 1;
    PoolState& s = pool();
    {
        std::lock_guard<std::mutex> guard(s.poolMutex);
        if (s.live.erase(header) == 0) {
            qvk::detail::fatal("ExFreePool of %p, which is not an outstanding pool block "
                               "(double free or bad pointer)",
                               p);
        }
        if (header->magic != kLiveMagic) {
            qvk::detail::fatal("ExFreePool of %p: the block's header is overwritten", p);
        }
        if (checkTag && header->tag != tag) {
            qvk::detail::fatal("ExFreePoolWithTag of %p with tag '%s', allocated with tag '%s'", p,
                               tagText(tag).c_str(), tagText(header->tag).c_str());
        }
        auto it = s.usage.find(header->tag);
        it->second.allocations--;
        it->second.bytes -= header->size;
        if (it->second.allocations == 0) {
            s.usage.erase(it);
        }
        header->magic = kFreedMagic;
    }
    std::free(header);
}

} // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T NumberOfBytes, ULONG Tag) {
    PoolState& s = pool();
    {
        std::lock_guard<std::mutex> guard(s.poolMutex);
        s.allocationCount++;
        if (s.failAt != 0 && s.allocationCount == s.failAt) {
            s.failAt = 0;
            return nullptr;
        }
        if (s.failTag != 0 && s.failTag == Tag) {
            return nullptr;
        }
    }
    if (NumberOfBytes > (SIZE_T(1) << 40)) {
        return nullptr;
    }
    auto* header = static_cast<PoolHeader*>(std::malloc(sizeof(PoolHeader) + NumberOfBytes));
    if (header == nullptr) {
        return nullptr;
    }
    header->magic = kLiveMagic;
    header->tag = Tag;
    header->size = NumberOfBytes;
    {
        std::lock_guard<std::mutex> guard(s.poolMutex);
        s.live.insert(header);
        TagUsage& u = s.usage[Tag];
        u.allocations++;
        u.bytes += NumberOfBytes;
    }
    return header + 1;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, POOL_TAG("None"));
}

void ExFreePool(PVOID P) {
    freeBlock(P, false, 0);
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) {
    freeBlock(P, true, Tag);
}

void RtlZeroMemory(PVOID Destination, SIZE_T Length) {
    if (Length != 0) {
        std::memset(Destination, 0, Length);
    }
}

void RtlCopyMemory(PVOID Destination, const void* Source, SIZE_T Length) {
    if (Length != 0) {
        std::memcpy(Destination, Source, Length);
    }
}

void RtlMoveMemory(PVOID Destination, const void* Source, SIZE_T Length) {
    if (Length != 0) {
        std::memmove(Destination, Source, Length);
    }
}

namespace qvk {

std::vector<PoolTagUsage> poolUsage() {
    PoolState& s = pool();
    std::lock_guard<std::mutex> guard(s.poolMutex);
    std::vector<PoolTagUsage> result;
    for (const auto& [tag, u] : s.usage) {
        result.push_back(PoolTagUsage{tag, u.allocations, u.bytes});
    }
    return result;
}

uint64_t poolOutstanding() {
    PoolState& s = pool();
    std::lock_guard<std::mutex> guard(s.poolMutex);
    return s.live.size();
}

uint64_t poolOutstanding(uint32_t tag) {
    PoolState& s = pool();
    std::lock_guard<std::mutex> guard(s.poolMutex);
    auto it = s.usage.find(tag);
    return it == s.usage.end() ? 0 : it->second.allocations;
}

std::string poolLeakReport() {
    std::string report;
    for (const PoolTagUsage& u : poolUsage()) {
        char line[128];
        std::snprintf(line, sizeof line, "pool leak: tag '%s': %llu allocations, %llu bytes\n",
                      tagText(u.tag).c_str(), static_cast<unsigned long long>(u.allocations),
                      static_cast<unsigned long long>(u.bytes));
        report += line;
    }
    return report;
}

void poolFailNth(uint64_t n) {
    PoolState& s = pool();
    std::lock_guard<std::mutex> guard(s.poolMutex);
    s.failAt = n == 0 ? 0 : s.allocationCount + n;
}

void poolFailTag(uint32_t tag) {
    PoolState& s = pool();
    std::lock_guard<std::mutex> guard(s.poolMutex);
    s.failTag = tag;
}

uint64_t poolAllocationCount() {
    PoolState& s = pool();
    std::lock_guard<std::mutex> guard(s.poolMutex);
    return s.allocationCount;
}

} // namespace qvk
