// The target's PDU codec against byte tables written out by hand: what the driver's system tests
// cannot see (fields it does not read, PDUs it never sends or only meets from scripts).
#include "target/pdu.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace quevi::target {
namespace {

// A header written out by hand as hex, four bytes a group; bytes not written are zero.
Header hex(std::string_view text) {
    Header h{};
    std::size_t at = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ' ')
            continue;
        EXPECT_LT(at, kHeaderSize) << text;
        h[at++] = static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
        ++i;
    }
    return h;
}

void expectBytes(const Header& h, std::string_view want) {
    Header w = hex(want);
    for (std::size_t i = 0; i < kHeaderSize; ++i)
        EXPECT_EQ(h[i], w[i]) << "byte " << i;
}

TEST(TargetCodec, ParsesLoginRequestAndDataLengthIgnoresByteFour) {
    LoginRequest r = parseLogin(hex("03000102 00000105 BEEF0000 ABCD0007"
                                    "11223344 00000000 00000001"));
    EXPECT_EQ(r.versionMin, 1);
    EXPECT_EQ(r.versionMax, 2);
    EXPECT_EQ(r.dataLength, 0x105u);
    EXPECT_EQ(r.cid, 0xBEEF);
    EXPECT_EQ(r.isid, 0xABCD);
    EXPECT_EQ(r.tsid, 7);
    EXPECT_EQ(r.itt, 0x11223344u);
    EXPECT_EQ(r.cmdSN, 1u);
    EXPECT_EQ(dataSegmentLength(hex("00000000 FF000100")), 256u);
}

TEST(TargetCodec, ParsesScsiCommand) {
    ScsiCommand c = parseScsiCommand(hex("01A10000 00000006 00030000 00000000"
                                         "DEADBEEF 00010000 0000000A 00000005"
                                         "2A000000 00100008"));
    EXPECT_TRUE(c.write);
    EXPECT_FALSE(c.read);
    EXPECT_EQ(c.taskAttributes, 1);
    EXPECT_EQ(c.dataLength, 6u);
    EXPECT_EQ(lunNumber(c.lun), 3);
    EXPECT_EQ(c.itt, 0xDEADBEEFu);
    EXPECT_EQ(c.expectedLength, 0x10000u);
    EXPECT_EQ(c.cmdSN, 10u);
    EXPECT_EQ(c.expStatSN, 5u);
    EXPECT_EQ(c.cdb[0], 0x2A);
    EXPECT_EQ(c.cdb[5], 0x10);
    EXPECT_EQ(c.cdb[7], 0x08);
}

TEST(TargetCodec, ParsesDataOutTaskManagementNopLogoutText) {
    DataOut o = parseDataOut(hex("05800000 00002000 00000000 00000000"
                                 "00000009 AA000002 00000000 00000000"
                                 "00000000 00000003 00004000"));
    EXPECT_TRUE(o.final);
    EXPECT_EQ(o.dataLength, 0x2000u);
    EXPECT_EQ(o.itt, 9u);
    EXPECT_EQ(o.ttt, 0xAA000002u);
    EXPECT_EQ(o.dataSN, 3u);
    EXPECT_EQ(o.bufferOffset, 0x4000u);

    TaskManagementRequest m = parseTaskManagement(hex("02810000 00000000 00020000 00000000"
                                                      "00000010 00000020 00000007 00000000"
                                                      "00000006"));
    EXPECT_EQ(m.function, 1);
    EXPECT_TRUE(m.final);
    EXPECT_EQ(m.referencedItt, 0x20u);
    EXPECT_EQ(m.cmdSN, 7u);
    EXPECT_EQ(m.referencedCmdSN, 6u);

    NopOut no = parseNopOut(hex("40000000 00000005 00000000 00000000 FFFFFFFF 00000007"));
    EXPECT_TRUE(no.answer);
    EXPECT_FALSE(no.wantsAnswer);
    EXPECT_EQ(no.itt, kReservedTag);
    EXPECT_EQ(no.ttt, 7u);

    LogoutRequest lo = parseLogout(hex("06800000 00000000 12340001 00000000"
                                       "00000000 00000000 00000009"));
    EXPECT_EQ(lo.cid, 0x1234);
    EXPECT_EQ(lo.reason, 1);
    EXPECT_EQ(lo.cmdSN, 9u);

    TextRequest tr = parseText(hex("048D0000 00000000 00000000 00000000"
                                   "00000077 00000000 00000003 00000002"
                                   "00000000 00000000 05"));
    EXPECT_EQ(tr.flags, 0x8D);
    EXPECT_EQ(tr.itt, 0x77u);
    EXPECT_EQ(tr.cmdSN, 3u);
    EXPECT_EQ(tr.expStatSN, 2u);
    EXPECT_EQ(tr.continuationTag, 0x05000000u);
}

TEST(TargetCodec, BuildsDataInWithStatusAtThree) {
    DataIn d;
    d.final = true;
    d.hasStatus = true;
    d.status = 0;
    d.residualFlags = kFlagOverflow;
    d.residual = 4;
    d.dataLength = 0x1000;
    d.lun = lunBytes(2);
    d.itt = 0x55;
    d.dataSN = 3;
    d.bufferOffset = 0x2000;
    expectBytes(buildDataIn(d), "E5850000 00001000 00020000 00000000"
                                "00000055 00000004 00000000 00000000"
                                "00000000 00000003 00002000");
    d.hasStatus = false;
    d.final = false;
    d.status = 0x02;
    Header h = buildDataIn(d);
    EXPECT_EQ(h[1], 0x00);
    EXPECT_EQ(h[3], 0x00); // no status without the status flag
    EXPECT_EQ(h[23], 0x00);
}

TEST(TargetCodec, BuildsTaskManagementLogoutRejectNopInAndAsyncMessage) {
    expectBytes(buildTaskManagementResponse(0x99, 1), "E2800000 00000000 00000000 00000000"
                                                      "00000099 00000000 00000000 00000000"
                                                      "00000000 01");
    expectBytes(buildLogoutResponse(0x42, 0), "E6800000 00000000 00000000 00000000 00000042");
    expectBytes(buildReject(0x0F, 48), "FF800000 00000030 00000000 00000000"
                                       "FFFFFFFF 00000000 00000000 00000000"
                                       "00000000 00000000 0F");
    NopIn n;
    n.wantsAnswer = true;
    n.dataLength = 5;
    n.ttt = 7;
    expectBytes(buildNopIn(n), "E0800000 00000005 00000000 00000000 FFFFFFFF 00000007");
    AsyncMessage m;
    m.event = 3;
    m.param1 = {0x12, 0x34};
    m.param2 = 5;
    m.param3 = 0x0102;
    expectBytes(buildAsyncMessage(m), "F2800000 00000000 00000000 00000000"
                                      "FFFFFFFF 00000000 00000000 00000000"
                                      "00000000 00031234 00050102");
}

TEST(TargetCodec, LunBytesUseByteOneAndFlatAddressingAbove255) {
    Lun8 l = lunBytes(5);
    EXPECT_EQ(l, (Lun8{0, 5, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(lunNumber(Lun8{0x40, 0x01, 0, 0, 0, 0, 0, 0}), 0x001);
    EXPECT_EQ(lunNumber(lunBytes(300)), 300);
}

TEST(TargetCodec, PaddingAndSerialComparison) {
    EXPECT_EQ(paddedLength(0), 0u);
    EXPECT_EQ(paddedLength(5), 8u);
    EXPECT_EQ(paddedLength(8), 8u);
    struct Case {
        std::uint32_t a, b;
        bool greater;
    } cases[] = {
        {2, 1, true},
        {1, 2, false},
        {5, 5, false},
        {0x00000005, 0xFFFFFFF0, true},
        {0xFFFFFFF0, 0x00000005, false},
        {0xF0000000, 0x00000001, false},
        {0x10000001, 0x0FFFFFFF, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(serialGreater(c.a, c.b), c.greater) << c.a << " vs " << c.b;
    EXPECT_EQ(nextCmdSN(0xFFFFFFFF), 1u);
}

} // namespace
} // namespace quevi::target
