// Pool accounting, the leak report, failure injection and the checks on free.
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr ULONG kDdk = POOL_TAG("Ddk ");
constexpr ULONG kTest = POOL_TAG("Tst1");

TEST(Pool, TagIsItsFourCharactersInMemoryOrder) {
    EXPECT_EQ(kDdk, 0x206b6444u); // 'D' 'd' 'k' ' ' from the low byte up
}

TEST(Pool, OutstandingBlocksAreCountedPerTagZeroBytesIncluded) {
    uint64_t before = qvk::poolOutstanding();
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 100, kDdk);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 28, kDdk);
    PVOID c = ExAllocatePoolWithTag(NonPagedPool, 7, kTest);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
    std::memset(a, 0xAB, 100); // the whole block is usable
    EXPECT_EQ(qvk::poolOutstanding(kDdk), 2u);
    EXPECT_EQ(qvk::poolOutstanding(kTest), 1u);
    EXPECT_EQ(qvk::poolOutstanding(), before + 3);
    bool seen = false;
    for (const auto& u : qvk::poolUsage()) {
        if (u.tag == kDdk) {
            seen = true;
            EXPECT_EQ(u.allocations, 2u);
            EXPECT_EQ(u.bytes, 128u);
        }
    }
    EXPECT_TRUE(seen);

    ExFreePool(a);
    ExFreePoolWithTag(b, kDdk);
    EXPECT_EQ(qvk::poolOutstanding(kDdk), 0u);
    ExFreePool(c);
    EXPECT_EQ(qvk::poolOutstanding(), before);
    // A zero-byte allocation is a valid block.
    PVOID z = ExAllocatePoolWithTag(NonPagedPool, 0, kTest);
    ASSERT_NE(z, nullptr);
    EXPECT_EQ(qvk::poolOutstanding(kTest), 1u);
    ExFreePool(z);
    EXPECT_EQ(qvk::poolOutstanding(kTest), 0u);
}

TEST(Pool, LeakReportListsOutstandingTags) {
    EXPECT_EQ(qvk::poolLeakReport(), "");
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 40, kDdk);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 8, kDdk);
    EXPECT_EQ(qvk::poolLeakReport(), "pool leak: tag 'Ddk ': 2 allocations, 48 bytes\n");
    ExFreePool(a);
    ExFreePool(b);
    EXPECT_EQ(qvk::poolLeakReport(), "");
}

TEST(Pool, FailNthFailsExactlyThatAllocation) {
    uint64_t count = qvk::poolAllocationCount();
    qvk::poolFailNth(3);
    PVOID p1 = ExAllocatePoolWithTag(NonPagedPool, 8, kDdk);
    PVOID p2 = ExAllocatePoolWithTag(NonPagedPool, 8, kDdk);
    PVOID p3 = ExAllocatePoolWithTag(NonPagedPool, 8, kDdk);
    PVOID p4 = ExAllocatePoolWithTag(NonPagedPool, 8, kDdk);
    EXPECT_NE(p1, nullptr);
    EXPECT_NE(p2, nullptr);
    EXPECT_EQ(p3, nullptr);
    EXPECT_NE(p4, nullptr);
    EXPECT_EQ(qvk::poolAllocationCount(), count + 4); // the failed one counts
    EXPECT_EQ(qvk::poolOutstanding(kDdk), 3u);
    ExFreePool(p1);
    ExFreePool(p2);
    ExFreePool(p4);

    qvk::poolFailNth(1);
    qvk::poolFailNth(0); // cancelled
    PVOID p5 = ExAllocatePoolWithTag(NonPagedPool, 8, kDdk);
    EXPECT_NE(p5, nullptr);
    ExFreePool(p5);
}

TEST(Pool, FailTagFailsOnlyThatTagUntilCleared) {
    qvk::poolFailTag(kTest);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTest), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTest), nullptr);
    PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, kDdk);
    EXPECT_NE(other, nullptr);
    qvk::poolFailTag(0);
    PVOID again = ExAllocatePoolWithTag(NonPagedPool, 8, kTest);
    EXPECT_NE(again, nullptr);
    EXPECT_EQ(qvk::poolOutstanding(kTest), 1u);
    ExFreePool(other);
    ExFreePool(again);
}

TEST(Pool, RtlMemoryHelpers) {
    unsigned char buf[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    RtlMoveMemory(buf + 2, buf, 4); // overlapping
    const unsigned char moved[8] = {1, 2, 1, 2, 3, 4, 7, 8};
    EXPECT_EQ(std::memcmp(buf, moved, 8), 0);
    RtlZeroMemory(buf, 3);
    EXPECT_EQ(buf[0] | buf[1] | buf[2], 0);
    unsigned char copy[8] = {};
    RtlCopyMemory(copy, buf, 8);
    EXPECT_EQ(std::memcmp(copy, buf, 8), 0);
}

TEST(Pool, ConcurrentAllocationAndFreeKeepTheBooks) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([] {
            std::vector<PVOID> blocks;
            for (int i = 0; i < 2000; i++) {
                blocks.push_back(ExAllocatePoolWithTag(NonPagedPool, 24, kDdk));
                if (blocks.size() > 16) {
                    ExFreePool(blocks.front());
                    blocks.erase(blocks.begin());
                }
            }
            for (PVOID p : blocks) {
                ExFreePoolWithTag(p, kDdk);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(qvk::poolOutstanding(kDdk), 0u);
}

class PoolDeath : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(PoolDeath, DoubleFreeAborts) {
    EXPECT_DEATH(
        {
            PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, kDdk);
            ExFreePool(p);
            ExFreePool(p);
        },
        "ExFreePool of 0x[0-9a-f]+, which is not an outstanding pool block \\(double free");
}

TEST_F(PoolDeath, PointerIntoBlockOrForeignPointerAborts) {
    EXPECT_DEATH(
        {
            auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 64, kDdk));
            ExFreePool(p + 16);
        },
        "not an outstanding pool block");
    EXPECT_DEATH(
        {
            static char notPool[64];
            ExFreePool(notPool + 32);
        },
        "not an outstanding pool block");
    EXPECT_DEATH(ExFreePool(nullptr), "ExFreePool of a null pointer");
}

TEST_F(PoolDeath, FreeWithWrongTagAborts) {
    EXPECT_DEATH(
        {
            PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, kDdk);
            ExFreePoolWithTag(p, kTest);
        },
        "ExFreePoolWithTag of 0x[0-9a-f]+ with tag 'Tst1', allocated with tag 'Ddk '");
}

} // namespace
