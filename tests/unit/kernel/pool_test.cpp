// Pool accounting per tag and failure injection, which the driver's unwinding tests rely on.
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

constexpr ULONG kDdk = POOL_TAG("Ddk ");
constexpr ULONG kTest = POOL_TAG("Tst1");

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

} // namespace
