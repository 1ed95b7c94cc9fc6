// Key=value codec and the negotiator's answers.
#include "target/keys.h"

#include <gtest/gtest.h>

namespace quevi::target {
namespace {

std::vector<std::uint8_t> wire(std::string_view s) {
    return {s.begin(), s.end()};
}

std::string text(std::initializer_list<std::string_view> items) {
    std::string s;
    for (auto i : items) {
        s.append(i);
        s.push_back('\0');
    }
    return s;
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

TEST(TargetKeys, AcceptsByDefaultAndSkipsNames) {
    Negotiator n;
    auto a = n.answer({{"InitiatorName", "i"},
                       {"TargetName", "t"},
                       {"DataPDULength", "32"},
                       {"ImmediateData", "no"}},
                      {}, false);
    EXPECT_EQ(a.text, text({"DataPDULength=32", "ImmediateData=no"}));
    EXPECT_FALSE(a.open);
    EXPECT_EQ(n.value(kDataPDULength), 32);
    EXPECT_EQ(n.value(kImmediateData), 0);
}

TEST(TargetKeys, ConfiguredValueCombinesByTheKeysRule) {
    Negotiator n;
    NegotiationPolicy p;
    p["DataPDULength"] = {KeyAction::Value, "8"};
    p["LogoutLoginMaxTime"] = {KeyAction::Value, "2"};
    p["InitialR2T"] = {KeyAction::Value, "no"};
    auto a = n.answer({{"DataPDULength", "16"}, {"InitialR2T", "yes"}}, p, false);
    EXPECT_EQ(a.text, text({"DataPDULength=8", "InitialR2T=no"}));
    EXPECT_FALSE(a.open); // smaller of 16 and 8 is 8: both agree
    EXPECT_EQ(n.value(kDataPDULength), 8);

    // Larger than the initiator's: it keeps its own and offers it again.
    p["DataPDULength"] = {KeyAction::Value, "64"};
    a = n.answer({{"DataPDULength", "16"}}, p, false);
    EXPECT_TRUE(a.open);
    EXPECT_EQ(n.value(kDataPDULength), 16);
    a = n.answer({{"LogoutLoginMaxTime", "3"}}, p, false);
    EXPECT_TRUE(a.open); // larger of 3 and 2 is 3, not our 2
}

TEST(TargetKeys, QueryRejectNotUnderstoodAndTimes) {
    Negotiator n;
    NegotiationPolicy p;
    p["MaxConnections"] = {KeyAction::Query, "", 1};
    p["HeaderDigest"] = {KeyAction::Reject, ""};
    p["DataDigest"] = {KeyAction::NotUnderstood, ""};
    auto a = n.answer(
        {{"MaxConnections", "4"}, {"HeaderDigest", "none"}, {"DataDigest", "none"}, {"Bogus", "1"}},
        p, false);
    EXPECT_EQ(a.text, text({"MaxConnections=?", "HeaderDigest=reject", "DataDigest=NotUnderstood",
                            "Bogus=NotUnderstood"}));
    EXPECT_TRUE(a.open);
    EXPECT_EQ(n.value(16), 1); // back to the default crc-32C
    // The query applied once; the second offer is accepted.
    a = n.answer({{"MaxConnections", "4"}}, p, false);
    EXPECT_EQ(a.text, text({"MaxConnections=4"}));
    EXPECT_FALSE(a.open);
}

TEST(TargetKeys, DisagreeAnswersEveryKeyWithAQuestionAndAQuestionGetsOurValue) {
    Negotiator n;
    auto a = n.answer({{"DataPDULength", "16"}, {"ImmediateData", "yes"}}, {}, true);
    EXPECT_EQ(a.text, text({"DataPDULength=?", "ImmediateData=?"}));
    EXPECT_TRUE(a.open);
    a = n.answer({{"MaxOutstandingR2T", "?"}}, {}, false);
    EXPECT_EQ(a.text, text({"MaxOutstandingR2T=8"}));
}

} // namespace
} // namespace quevi::target
