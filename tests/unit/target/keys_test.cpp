// The key=value codec; the negotiator's answers are met through the driver's negotiation tests.
#include "target/keys.h"

#include <gtest/gtest.h>

namespace quevi::target {
namespace {

std::vector<std::uint8_t> wire(std::string_view s) {
    return {s.begin(), s.end()};
}

TEST(TargetKeys, ParsesNulSeparatedPairsSkippingEmptyOnesAndPadding) {
    auto p = parseTextPairs(wire(std::string_view("A=1\0B= x\0\0\0", 11)));
    ASSERT_TRUE(p);
    ASSERT_EQ(p->size(), 2u);
    EXPECT_EQ((*p)[0], (KeyValue{"A", "1"}));
    EXPECT_EQ((*p)[1], (KeyValue{"B", " x"}));
    auto unterminated = parseTextPairs(wire("C=3"));
    ASSERT_TRUE(unterminated);
    EXPECT_EQ((*unterminated)[0], (KeyValue{"C", "3"}));
}

TEST(TargetKeys, RefusesMalformedText) {
    EXPECT_FALSE(parseTextPairs(wire(std::string_view("A=1\0novalue\0", 12))));
    EXPECT_FALSE(parseTextPairs(wire("=5")));
    EXPECT_FALSE(parseTextPairs(wire("K=" + std::string(kMaxValueLength + 1, 'v'))));
    EXPECT_TRUE(parseTextPairs(wire("K=" + std::string(kMaxValueLength, 'v'))));
    std::string many;
    for (std::size_t i = 0; i <= kMaxPairs; ++i)
        many += "K=1" + std::string(1, '\0');
    EXPECT_FALSE(parseTextPairs(wire(many)));
    TextFault fault;
    EXPECT_FALSE(parseTextPairs(wire(std::string_view("A=1\0B=2\0A=1\0", 12)), &fault));
    EXPECT_EQ(fault, TextFault::DuplicateKey);
}

TEST(TargetKeys, ReadsValuesAsTheInitiatorWritesThem) {
    EXPECT_EQ(readValue(kDataPDULength, "16"), 16);
    EXPECT_EQ(readValue(kDataPDULength, "0x1F"), 31);
    EXPECT_EQ(readValue(kDataPDULength, "0,5"), 5);
    EXPECT_EQ(readValue(kDataPDULength, "8,16"), 8);
    EXPECT_FALSE(readValue(kDataPDULength, "1f"));
    EXPECT_EQ(readValue(kDataPDULength, "65535"), 65535);
    for (auto outside : {"65536", "0", "0x10000", "-5", "99999999999"})
        EXPECT_FALSE(readValue(kDataPDULength, outside)) << outside;
    EXPECT_EQ(readValue(5, "0"), 0); // FirstBurstSize may be 0
    EXPECT_EQ(readValue(kImmediateData, "yes"), 1);
    EXPECT_EQ(readValue(kImmediateData, "no"), 0);
    EXPECT_FALSE(readValue(kImmediateData, "none"));
    EXPECT_EQ(readValue(kAuthMethod, "CHAP,none"), 4);
    EXPECT_EQ(readValue(16, "none"), 0);
    EXPECT_EQ(writeValue(kImmediateData, 0), "no");
    EXPECT_EQ(writeValue(16, 1), "crc-32C");
}

} // namespace
} // namespace quevi::target
