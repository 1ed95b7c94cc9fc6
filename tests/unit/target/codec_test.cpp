// The target's PDU codec against byte tables written out by hand.
#include "target/pdu.h"

#include <gtest/gtest.h>

namespace quevi::target {
namespace {

Header bytes(std::initializer_list<std::pair<std::size_t, std::uint8_t>> set) {
    Header h{};
    for (auto [at, v] : set)
        h[at] = v;
    return h;
}

void expectBytes(const Header& h, std::initializer_list<std::pair<std::size_t, std::uint8_t>> set) {
    Header want = bytes(set);
    for (std::size_t i = 0; i < kHeaderSize; ++i)
        EXPECT_EQ(h[i], want[i]) << "byte " << i;
}

TEST(TargetCodec, ParsesLoginRequest) {
    Header h = bytes({{0, 0x03},
                      {2, 0x01},
                      {3, 0x02},
                      {5, 0x00},
                      {6, 0x01},
                      {7, 0x05},
                      {8, 0xBE},
                      {9, 0xEF},
                      {12, 0xAB},
                      {13, 0xCD},
                      {14, 0x00},
                      {15, 0x07},
                      {16, 0x11},
                      {17, 0x22},
                      {18, 0x33},
                      {19, 0x44},
                      {27, 0x01}});
    LoginRequest r = parseLogin(h);
    EXPECT_EQ(r.versionMin, 1);
    EXPECT_EQ(r.versionMax, 2);
    EXPECT_EQ(r.dataLength, 0x105u);
    EXPECT_EQ(r.cid, 0xBEEF);
    EXPECT_EQ(r.isid, 0xABCD);
    EXPECT_EQ(r.tsid, 7);
    EXPECT_EQ(r.itt, 0x11223344u);
    EXPECT_EQ(r.cmdSN, 1u);
}

TEST(TargetCodec, DataLengthIgnoresByteFour) {
    Header h = bytes({{4, 0xFF}, {6, 0x01}});
    EXPECT_EQ(dataSegmentLength(h), 256u);
}

TEST(TargetCodec, ParsesScsiCommand) {
    Header h = bytes({{0, 0x01},
                      {1, 0xA1},
                      {7, 0x06},
                      {9, 0x03},
                      {16, 0xDE},
                      {17, 0xAD},
                      {18, 0xBE},
                      {19, 0xEF},
                      {21, 0x01},
                      {22, 0x00},
                      {26, 0x00},
                      {27, 0x0A},
                      {31, 0x05},
                      {32, 0x2A},
                      {37, 0x10},
                      {39, 0x08}});
    ScsiCommand c = parseScsiCommand(h);
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
    Header d = bytes({{0, 0x05},
                      {1, 0x80},
                      {6, 0x20},
                      {19, 0x09},
                      {20, 0xAA},
                      {23, 0x02},
                      {39, 0x03},
                      {42, 0x40}});
    DataOut o = parseDataOut(d);
    EXPECT_TRUE(o.final);
    EXPECT_EQ(o.dataLength, 0x2000u);
    EXPECT_EQ(o.itt, 9u);
    EXPECT_EQ(o.ttt, 0xAA000002u);
    EXPECT_EQ(o.dataSN, 3u);
    EXPECT_EQ(o.bufferOffset, 0x4000u);

    Header t =
        bytes({{0, 0x02}, {1, 0x81}, {9, 0x02}, {19, 0x10}, {23, 0x20}, {27, 0x07}, {35, 0x06}});
    TaskManagementRequest m = parseTaskManagement(t);
    EXPECT_EQ(m.function, 1);
    EXPECT_TRUE(m.final);
    EXPECT_EQ(m.referencedItt, 0x20u);
    EXPECT_EQ(m.cmdSN, 7u);
    EXPECT_EQ(m.referencedCmdSN, 6u);

    Header n =
        bytes({{0, 0x40}, {7, 5}, {16, 0xFF}, {17, 0xFF}, {18, 0xFF}, {19, 0xFF}, {23, 0x07}});
    NopOut no = parseNopOut(n);
    EXPECT_TRUE(no.answer);
    EXPECT_FALSE(no.wantsAnswer);
    EXPECT_EQ(no.itt, kReservedTag);
    EXPECT_EQ(no.ttt, 7u);

    Header l = bytes({{0, 0x06}, {1, 0x80}, {8, 0x12}, {9, 0x34}, {11, 1}, {27, 9}});
    LogoutRequest lo = parseLogout(l);
    EXPECT_EQ(lo.cid, 0x1234);
    EXPECT_EQ(lo.reason, 1);
    EXPECT_EQ(lo.cmdSN, 9u);

    Header x = bytes({{0, 0x04}, {1, 0x8D}, {19, 0x77}, {27, 3}, {31, 2}, {40, 5}});
    TextRequest tr = parseText(x);
    EXPECT_EQ(tr.flags, 0x8D);
    EXPECT_EQ(tr.itt, 0x77u);
    EXPECT_EQ(tr.cmdSN, 3u);
    EXPECT_EQ(tr.expStatSN, 2u);
    EXPECT_EQ(tr.continuationTag, 0x05000000u);
}

TEST(TargetCodec, BuildsLoginResponse) {
    LoginResponse r;
    r.final = true;
    r.dataLength = 0x0102;
    r.isid = 0xABCD;
    r.tsid = 0x0003;
    r.itt = 0x01020304;
    r.status = 0x02;
    Header h = buildLoginResponse(r);
    stampSequence(h, 0x10, 0x20, 0x30);
    expectBytes(h, {{0, 0xE3},
                    {1, 0x80},
                    {2, 0x01},
                    {3, 0x02},
                    {6, 0x01},
                    {7, 0x02},
                    {12, 0xAB},
                    {13, 0xCD},
                    {15, 0x03},
                    {16, 0x01},
                    {17, 0x02},
                    {18, 0x03},
                    {19, 0x04},
                    {27, 0x10},
                    {31, 0x20},
                    {35, 0x30},
                    {36, 0x02}});
}

TEST(TargetCodec, BuildsTextResponse) {
    TextResponse r;
    r.final = true;
    r.dataLength = 7;
    r.itt = 0x77;
    expectBytes(
        buildTextResponse(r),
        {{0, 0xE4}, {1, 0x80}, {7, 7}, {19, 0x77}, {20, 0xFF}, {21, 0xFF}, {22, 0xFF}, {23, 0xFF}});
    r.final = false;
    r.more = true;
    r.continuationTag = 5;
    Header h = buildTextResponse(r);
    EXPECT_EQ(h[1], 0x40);
    EXPECT_EQ(h[40], 5);
}

TEST(TargetCodec, BuildsScsiResponseWithStatusAtTwoAndResponseAtThree) {
    ScsiResponse r;
    r.status = 0x02;
    r.response = 0x00;
    r.residualFlags = kFlagUnderflow;
    r.residual = 0x200;
    r.dataLength = 20;
    r.itt = 0xCAFEBABE;
    Header h = buildScsiResponse(r);
    stampSequence(h, 1, 2, 3);
    expectBytes(h, {{0, 0xE1},
                    {1, 0x82},
                    {2, 0x02},
                    {7, 20},
                    {16, 0xCA},
                    {17, 0xFE},
                    {18, 0xBA},
                    {19, 0xBE},
                    {22, 0x02},
                    {27, 1},
                    {31, 2},
                    {35, 3}});
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
    expectBytes(
        buildDataIn(d),
        {{0, 0xE5}, {1, 0x85}, {6, 0x10}, {9, 2}, {19, 0x55}, {23, 4}, {39, 3}, {42, 0x20}});
    d.hasStatus = false;
    d.final = false;
    d.status = 0x02;
    Header h = buildDataIn(d);
    EXPECT_EQ(h[1], 0x00);
    EXPECT_EQ(h[3], 0x00); // no status without the status flag
    EXPECT_EQ(h[23], 0x00);
}

TEST(TargetCodec, BuildsR2T) {
    R2T r;
    r.lun = lunBytes(1);
    r.itt = 0x10;
    r.ttt = 0x0A0B0C0D;
    r.r2tSN = 1;
    r.bufferOffset = 8192;
    r.desiredLength = 20000;
    Header h = buildR2T(r);
    stampSequence(h, 9, 10, 11);
    expectBytes(h, {{0, 0xF1},
                    {1, 0x80},
                    {9, 1},
                    {19, 0x10},
                    {20, 0x0A},
                    {21, 0x0B},
                    {22, 0x0C},
                    {23, 0x0D},
                    {27, 9},
                    {31, 10},
                    {35, 11},
                    {39, 1},
                    {42, 0x20},
                    {46, 0x4E},
                    {47, 0x20}});
}

TEST(TargetCodec, BuildsTaskManagementLogoutAndReject) {
    expectBytes(buildTaskManagementResponse(0x99, 1), {{0, 0xE2}, {1, 0x80}, {19, 0x99}, {36, 1}});
    expectBytes(buildLogoutResponse(0x42, 0), {{0, 0xE6}, {1, 0x80}, {19, 0x42}});
    expectBytes(buildReject(0x0F, 48), {{0, 0xFF},
                                        {1, 0x80},
                                        {7, 48},
                                        {16, 0xFF},
                                        {17, 0xFF},
                                        {18, 0xFF},
                                        {19, 0xFF},
                                        {40, 0x0F}});
}

TEST(TargetCodec, BuildsNopInAndAsyncMessage) {
    NopIn n;
    n.wantsAnswer = true;
    n.dataLength = 5;
    n.ttt = 7;
    expectBytes(
        buildNopIn(n),
        {{0, 0xE0}, {1, 0x80}, {7, 5}, {16, 0xFF}, {17, 0xFF}, {18, 0xFF}, {19, 0xFF}, {23, 7}});
    AsyncMessage m;
    m.event = 3;
    m.param1 = {0x12, 0x34};
    m.param2 = 5;
    m.param3 = 0x0102;
    expectBytes(buildAsyncMessage(m), {{0, 0xF2},
                                       {1, 0x80},
                                       {16, 0xFF},
                                       {17, 0xFF},
                                       {18, 0xFF},
                                       {19, 0xFF},
                                       {37, 3},
                                       {38, 0x12},
                                       {39, 0x34},
                                       {41, 5},
                                       {42, 0x01},
                                       {43, 0x02}});
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
