// The SCSI command set: what each CDB plans and the data it generates.
#include "target/scsi.h"

#include <gtest/gtest.h>

#include <memory>

namespace quevi::target {
namespace {

using Cdb = std::array<std::uint8_t, 16>;

class TargetScsi : public ::testing::Test {
protected:
    void SetUp() override {
        lun0 = makeMemoryLun(1 << 20, nullptr);
        lun2 = makeMemoryLun(512 * 100, nullptr);
        luns = {lun0.get(), nullptr, lun2.get()};
    }
    ScsiPlan& plan(Cdb cdb, std::uint16_t lun = 0) {
        planScsi(cdb, lun, luns, p);
        return p;
    }
    std::unique_ptr<LunStore> lun0, lun2;
    std::vector<LunStore*> luns;
    ScsiPlan p;
};

TEST_F(TargetScsi, InquiryOfPresentAndMissingUnits) {
    auto& a = plan({0x12, 0, 0, 0, 36});
    EXPECT_EQ(a.kind, ScsiPlan::Kind::Data);
    EXPECT_EQ(a.dataLength, 36u);
    EXPECT_EQ(a.data[0], 0x00);
    EXPECT_EQ(a.data[4], 31);
    EXPECT_EQ(std::string(a.data.begin() + 8, a.data.begin() + 13), "QUEVI");
    auto& b = plan({0x12, 0, 0, 0, 36}, 1);
    EXPECT_EQ(b.kind, ScsiPlan::Kind::Data);
    EXPECT_EQ(b.data[0], 0x7F); // qualifier 3, type 0x1F
    auto& c = plan({0x12, 0, 0, 0, 5}, 7);
    EXPECT_EQ(c.dataLength, 5u); // cut to the allocation length
    EXPECT_EQ(c.data[0], 0x7F);
}

TEST_F(TargetScsi, InquiryVitalProductPages) {
    auto& a = plan({0x12, 1, 0x00, 0, 255});
    EXPECT_EQ(a.dataLength, 7u);
    EXPECT_EQ(a.data[5], 0x80);
    auto& b = plan({0x12, 1, 0x83, 0, 255});
    EXPECT_EQ(b.data[1], 0x83);
    EXPECT_GT(b.dataLength, 8u);
    auto& c = plan({0x12, 1, 0x42, 0, 255});
    EXPECT_EQ(c.status, kStatusCheckCondition);
}

TEST_F(TargetScsi, ReadCapacityTenAndSixteen) {
    auto& a = plan({0x25});
    ASSERT_EQ(a.dataLength, 8u);
    EXPECT_EQ(a.data[0] << 24 | a.data[1] << 16 | a.data[2] << 8 | a.data[3], 2047);
    EXPECT_EQ(a.data[6], 0x02); // 512
    auto& b = plan({0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32}, 2);
    ASSERT_EQ(b.dataLength, 32u);
    EXPECT_EQ(b.data[7], 99);
    EXPECT_EQ(b.data[10], 0x02);
}

TEST_F(TargetScsi, ReadsAndWritesPlanByteRangesAndCheckTheRange) {
    auto& a = plan({0x28, 0, 0, 0, 0, 10, 0, 0, 4});
    EXPECT_EQ(a.kind, ScsiPlan::Kind::Read);
    EXPECT_EQ(a.offset, 5120u);
    EXPECT_EQ(a.length, 2048u);
    auto& b = plan({0x0A, 0, 0, 1, 0}); // WRITE(6), 0 blocks means 256
    EXPECT_EQ(b.kind, ScsiPlan::Kind::Write);
    EXPECT_EQ(b.offset, 512u);
    EXPECT_EQ(b.length, 256u * 512);
    auto& c = plan({0x8A, 0, 0, 0, 0, 0, 0, 0, 0x07, 0xFF, 0, 0, 0, 1});
    EXPECT_EQ(c.kind, ScsiPlan::Kind::Write);
    EXPECT_EQ(c.offset, 2047u * 512);
    auto& d = plan({0x88, 0, 0, 0, 0, 0, 0, 0, 0x07, 0xFF, 0, 0, 0, 2});
    EXPECT_EQ(d.status, kStatusCheckCondition);
    EXPECT_EQ(d.sense.asc, kAscLbaOutOfRange);
}

TEST_F(TargetScsi, OtherCommandsAndMissingUnits) {
    EXPECT_EQ(plan({0x00}).status, kStatusGood);
    EXPECT_TRUE(plan({0x35}).flush);
    auto& m = plan({0x1A, 0, 0x3F, 0, 255});
    EXPECT_EQ(m.dataLength, 24u);
    EXPECT_EQ(m.data[0], 23);
    auto& m10 = plan({0x5A, 0, 0x08, 0, 0, 0, 0, 0, 255});
    EXPECT_EQ(m10.dataLength, 28u);
    auto& s = plan({0x03, 0, 0, 0, 18}, 1);
    EXPECT_EQ(s.dataLength, 18u);
    EXPECT_EQ(s.data[0], 0x70);
    auto& u = plan({0xC1});
    EXPECT_EQ(u.status, kStatusCheckCondition);
    EXPECT_EQ(u.sense.key, kSenseIllegalRequest);
    EXPECT_EQ(u.sense.asc, kAscInvalidOpcode);
    auto& n = plan({0x00}, 1);
    EXPECT_EQ(n.sense.asc, kAscLunNotSupported);
}

TEST_F(TargetScsi, ReportLunsListsPresentUnits) {
    auto& a = plan({0xA0, 0, 0, 0, 0, 0, 0, 0, 1, 0});
    ASSERT_EQ(a.dataLength, 24u);
    EXPECT_EQ(a.data[3], 16);
    EXPECT_EQ(a.data[9], 0);
    EXPECT_EQ(a.data[17], 2);
    planScsi(Cdb{0xA0, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0, {}, p); // discovery: none
    EXPECT_EQ(p.dataLength, 8u);
}

TEST(TargetSense, FixedFormat) {
    auto s = fixedSense({0x05, 0x24, 0x01, {}});
    EXPECT_EQ(s, (std::array<std::uint8_t, 18>{0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x24,
                                               0x01, 0, 0, 0, 0}));
    // A medium error's first bad LBA in the information field, VALID set; one past 32 bits
    // cannot be told there.
    EXPECT_EQ(fixedSense({0x03, 0x11, 0x00, 0x12345678}),
              (std::array<std::uint8_t, 18>{0xF0, 0, 0x03, 0x12, 0x34, 0x56, 0x78, 10, 0, 0, 0, 0,
                                            0x11, 0, 0, 0, 0, 0}));
    EXPECT_EQ(fixedSense({0x03, 0x11, 0x00, 1ull << 32})[0], 0x70);
}

// Reads touching a bad block fail with the first bad LBA and no data; reads beside them and
// writes over them succeed, and a written block reads again.
TEST_F(TargetScsi, BadBlocksFailReadsUntilWritten) {
    lun0->badBlocks().add(100, 100);
    lun0->badBlocks().add(200, 236);
    lun0->badBlocks().add(237, 240); // touching: one range
    EXPECT_EQ(lun0->badBlocks().count(), 1u + 41u);
    struct Case {
        std::uint32_t lba;
        std::uint16_t blocks;
        int firstBad; // -1: the read succeeds
    };
    for (Case c : std::vector<Case>{{0, 100, -1},
                                    {0, 101, 100},
                                    {100, 1, 100},
                                    {101, 99, -1},
                                    {150, 60, 200},
                                    {230, 2, 230},
                                    {240, 8, 240},
                                    {241, 8, -1}}) {
        auto& r =
            plan({0x28, 0, static_cast<std::uint8_t>(c.lba >> 24),
                  static_cast<std::uint8_t>(c.lba >> 16), static_cast<std::uint8_t>(c.lba >> 8),
                  static_cast<std::uint8_t>(c.lba), 0, static_cast<std::uint8_t>(c.blocks >> 8),
                  static_cast<std::uint8_t>(c.blocks)});
        if (c.firstBad < 0) {
            EXPECT_EQ(r.kind, ScsiPlan::Kind::Read) << c.lba << "+" << c.blocks;
            continue;
        }
        EXPECT_EQ(r.kind, ScsiPlan::Kind::Status) << c.lba << "+" << c.blocks;
        EXPECT_EQ(r.status, kStatusCheckCondition);
        auto sense = fixedSense(r.sense);
        EXPECT_EQ(sense[0], 0xF0);
        EXPECT_EQ(sense[2], kSenseMediumError);
        EXPECT_EQ(sense[3] << 24 | sense[4] << 16 | sense[5] << 8 | sense[6], c.firstBad);
        EXPECT_EQ(sense[12], 0x11);
        EXPECT_EQ(sense[13], 0x00);
    }
    EXPECT_EQ(plan({0x2A, 0, 0, 0, 0, 200, 0, 0, 4}).kind, ScsiPlan::Kind::Write);
    lun0->badBlocks().heal(202, 30); // blocks 202 to 231 written
    EXPECT_EQ(plan({0x28, 0, 0, 0, 0, 202, 0, 0, 30}).kind, ScsiPlan::Kind::Read);
    EXPECT_EQ(plan({0x28, 0, 0, 0, 0, 201, 0, 0, 2}).sense.information, 201u);
    EXPECT_EQ(plan({0x28, 0, 0, 0, 0, 210, 0, 0, 30}).sense.information, 232u);
    lun0->badBlocks().heal(0, 1000);
    EXPECT_EQ(lun0->badBlocks().count(), 0u);
    EXPECT_EQ(plan({0x28, 0, 0, 0, 0, 100, 0, 0, 1}).kind, ScsiPlan::Kind::Read);
}

} // namespace
} // namespace quevi::target
