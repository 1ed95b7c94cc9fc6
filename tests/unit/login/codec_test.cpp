// The key lookups and the key=value codec, from texts written out by hand.
#include "driver/login/login.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

// The pairs a walk visits, as strings.
std::vector<std::string> walk(std::string text, ULONG length) {
    std::vector<std::string> pairs;
    text.push_back('\0');
    auto remaining = static_cast<LONG>(length);
    for (char* pair = text.data(); pair != nullptr; pair = FindNextParam(pair, &remaining)) {
        pairs.emplace_back(pair);
    }
    return pairs;
}

} // namespace

TEST(KeyLookup, KeyMustStandAtTheStartAndNamedValuesMatchByPrefix) {
    EXPECT_EQ(lookupOpParams("MaxConnections=8"), OP_MAX_CONNECTIONS);
    EXPECT_EQ(lookupOpParams(" MaxConnections=8"), -1);
    EXPECT_EQ(lookupOpParams("MaxConnectionsX=8"), OP_MAX_CONNECTIONS);
    EXPECT_EQ(lookupOpParams("maxconnections=8"), -1);
    EXPECT_EQ(lookupOpParams("InitialR2T=yes"), OP_INITIAL_R2T);
    EXPECT_EQ(lookupOpParams("BidiInitialR2T=no"), OP_BIDI_INITIAL_R2T);
    EXPECT_EQ(lookupOpParams("SecurityContextComplete=no"), OP_SECURITY_CONTEXT_COMPLETE);
    EXPECT_EQ(lookupOpParams("MaxConnection=8"), -1);
    EXPECT_EQ(lookupOpParams("TargetName=t"), -1);
    EXPECT_EQ(lookupOpParams(""), -1);
    // Named values match by prefix, in table order.
    EXPECT_EQ(lookUpAuthMethodIndex("CHAP,none"), 4);
    EXPECT_EQ(lookUpAuthMethodIndex("none"), 5);
    EXPECT_EQ(lookUpAuthMethodIndex("SRP"), 3);
    EXPECT_EQ(lookUpAuthMethodIndex("SPKM-2"), 2);
    EXPECT_EQ(lookUpAuthMethodIndex("KRB5x"), 0);
    EXPECT_EQ(lookUpAuthMethodIndex("srp"), -1);
    EXPECT_EQ(lookUpAuthMethodIndex(" none"), -1);
    EXPECT_EQ(lookUpAuthMethodIndex("SPKM"), -1);
    EXPECT_EQ(lookUpDigestIndex("crc-32C"), 1);
    EXPECT_EQ(lookUpDigestIndex("none"), 0);
    EXPECT_EQ(lookUpDigestIndex("crc-32c"), -1);
    EXPECT_EQ(lookUpDigestIndex("CRC-32C"), -1);
}

TEST(ValueReaders, PastEqualsSkipsSpacesAfterTheFirstEquals) {
    char spaced[] = "DataPDULength=   64";
    EXPECT_STREQ(pastEquals(spaced), "64");
    EXPECT_EQ(pastEquals(spaced), spaced + 17);
    char twice[] = "A=B=C";
    EXPECT_STREQ(pastEquals(twice), "B=C");
    char empty[] = "A=";
    EXPECT_STREQ(pastEquals(empty), "");
    char none[] = "DataPDULength 64";
    EXPECT_EQ(pastEquals(none), nullptr);
    // An "=" behind the pair's NUL belongs to the next pair.
    std::string pairs = "A\0B=1\0"s;
    EXPECT_EQ(pastEquals(pairs.data()), nullptr);
}

TEST(ValueReaders, NumericLooksAtTheFirstCharacterThatIsNotASpace) {
    EXPECT_TRUE(numeric("5"));
    EXPECT_TRUE(numeric("   0x1f"));
    EXPECT_FALSE(numeric(",,5"));
    EXPECT_FALSE(numeric("-1"));
    EXPECT_FALSE(numeric("x5"));
    EXPECT_FALSE(numeric("  "));
    EXPECT_FALSE(numeric(""));
}

// CharToInteger and HexCharToInteger answer FALSE when they read a number, TRUE when they refuse.
struct NumberCase {
    const char* text;
    ULONG number; // read, when not refused
    bool refused;
};

TEST(ValueReaders, DecimalReaderSkipsSpacesTakesTheFirstNonZeroOfAListAndRefusesAnyOther) {
    const NumberCase cases[] = {
        {"5 6", 56, false},      {"8,16", 8, false}, {"0,5", 5, false}, {",,5", 5, false},
        {"0,0", 0, false},       {"12;", 12, false}, {"1;2", 1, false}, {"0;7", 7, false},
        {"65535", 65535, false}, {"", 0, false},     {"1f", 0, true},   {"12a", 0, true},
        {"0x10", 0, true},       {"5.0", 0, true},   {"-3", 0, true},   {"7\t", 0, true}};
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.text);
        ULONG number = 99;
        EXPECT_EQ(CharToInteger(c.text, &number), c.refused ? TRUE : FALSE);
        if (!c.refused) {
            EXPECT_EQ(number, c.number);
        }
    }
}

TEST(ValueReaders, HexReaderTakesEitherPrefixCaseAndSpacesAndRefusesSemicolonAndASecondPrefix) {
    const NumberCase cases[] = {
        {"0x1F", 31, false},      {"0X1f", 31, false},    {" 0x1f", 31, false},
        {"0x1 f", 31, false},     {"0x10,20", 16, false}, {"0x0,20", 32, false},
        {"0xffff", 65535, false}, {"1f", 31, false},      {"0x1f;", 0, true},
        {"0x1g", 0, true},        {"0x0,0x5", 0, true},   {"0x-1", 0, true}};
    for (const NumberCase& c : cases) {
        SCOPED_TRACE(c.text);
        std::string value = c.text;
        ULONG number = 99;
        EXPECT_EQ(HexCharToInteger(value.data(), &number), c.refused ? TRUE : FALSE);
        if (!c.refused) {
            EXPECT_EQ(number, c.number);
        }
    }
}

TEST(ValueReaders, HexReaderLowerCasesTheValueInPlaceEvenWhenItRefusesIt) {
    char value[] = "0X1F";
    ULONG number = 0;
    EXPECT_EQ(HexCharToInteger(value, &number), FALSE);
    EXPECT_STREQ(value, "0x1f");
    char refused[] = "0XZZ";
    EXPECT_EQ(HexCharToInteger(refused, &number), TRUE);
    EXPECT_STREQ(refused, "0xzz");
}

TEST(ValueWriters, ReplaceSemiColonsOnlyWithinTheLength) {
    char text[] = "A=1;B=2;C=3;";
    replaceSemiColons(text, 8);
    EXPECT_EQ(std::string(text, 12), "A=1\0B=2\0C=3;"s);
    char untouched[] = "A=1;";
    replaceSemiColons(untouched, 0);
    EXPECT_STREQ(untouched, "A=1;");
    replaceSemiColons(nullptr, 4);
}

TEST(Walk, VisitsEveryPairUpToTheLengthAndEndsAtAnEmptyPair) {
    struct Case {
        std::string text;
        ULONG length;
        std::vector<std::string> pairs;
    } cases[] = {
        {"A=1\0B=2\0C=3\0"s, 12, {"A=1", "B=2", "C=3"}},
        {"A=1\0B=2"s, 7, {"A=1", "B=2"}}, // last NUL just past the length, as in a login copy
        {"A=1\0B=2\0"s, 4, {"A=1"}},      // bytes beyond the length are not visited
        {"A=1\0B=2\0"s, 5, {"A=1", "B=2"}},
        {"A=1\0\0B=2\0"s, 9, {"A=1"}}, // an empty pair ends the walk though bytes remain
        {"A=1\0B=2\0\0\0\0\0"s, 12, {"A=1", "B=2"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(walk(c.text, c.length), c.pairs)
            << c.text.size() << " bytes, length " << c.length;
    }
}

TEST(Walk, FindNextParamSubtractsEachPairAndItsNul) {
    std::string text = "Key=val\0X=1\0"s;
    LONG remaining = 12;
    char* next = FindNextParam(text.data(), &remaining);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next, text.data() + 8);
    EXPECT_EQ(remaining, 4);
    EXPECT_EQ(FindNextParam(next, &remaining), nullptr);
    EXPECT_EQ(remaining, 0);
}

TEST(Walk, PairWithoutNulInsideTheTextIsNotReadPastIt) {
    // Exactly three bytes, no NUL: the walk must stop without looking behind them.
    std::vector<char> bytes = {'A', '=', '1'};
    LONG remaining = 3;
    EXPECT_EQ(FindNextParam(bytes.data(), &remaining), nullptr);
    remaining = 0;
    EXPECT_EQ(FindNextParam(bytes.data(), &remaining), nullptr);
}

TEST(BuildString, AppendsThePairWithItsSeparatorAndNoNul) {
    const char* login = "InitiatorName=iqn.i;TargetName=iqn.t;AuthMethod=none;";
    char destination[64];
    memset(destination, '#', sizeof(destination));
    ULONG length = 0;
    EXPECT_EQ(buildString(destination, sizeof(destination), login, "TargetName", ";", &length), 0);
    EXPECT_EQ(length, 17U);
    EXPECT_EQ(std::string(destination, 18), "TargetName=iqn.t;#");
    EXPECT_EQ(buildString(destination, sizeof(destination), login, "AuthMethod", ";", &length), 0);
    EXPECT_EQ(std::string(destination, length), "TargetName=iqn.t;AuthMethod=none;");
}

TEST(BuildString, MissingKeyOrSeparatorChangesNothing) {
    char destination[32];
    memset(destination, '#', sizeof(destination));
    ULONG length = 3;
    EXPECT_EQ(buildString(destination, sizeof(destination), "InitiatorName=i;", "TargetName", ";",
                          &length),
              0);
    EXPECT_EQ(buildString(destination, sizeof(destination), "InitiatorName=i;TargetName=t",
                          "TargetName", ";", &length),
              0);
    EXPECT_EQ(length, 3U);
    EXPECT_EQ(std::string(destination, 32), std::string(32, '#'));
}

TEST(BuildString, FindsTheKeyInsideAnyPair) {
    char destination[64];
    ULONG length = 0;
    ASSERT_EQ(buildString(destination, sizeof(destination),
                          "InitiatorName=iqn.TargetName.x;TargetName=t;", "TargetName", ";",
                          &length),
              0);
    EXPECT_EQ(std::string(destination, length), "TargetName.x;");
}

TEST(BuildString, PairThatDoesNotFitIsRefusedWholeAndNothingIsWritten) {
    const char* login = "TargetName=0123456789;";
    std::vector<char> destination(30, '#');
    ULONG length = 9;
    // 22 bytes into 30 at offset 9: does not fit.
    EXPECT_EQ(buildString(destination.data(), 30, login, "TargetName", ";", &length), -1);
    EXPECT_EQ(length, 9U);
    EXPECT_EQ(std::string(destination.begin(), destination.end()), std::string(30, '#'));
    // Exactly filling the destination is fine.
    length = 8;
    EXPECT_EQ(buildString(destination.data(), 30, login, "TargetName", ";", &length), 0);
    EXPECT_EQ(length, 30U);
    EXPECT_EQ(std::string(destination.begin() + 8, destination.end()), login);
    // A destination already full takes nothing more, not even an empty pair.
    EXPECT_EQ(buildString(destination.data(), 30, "A=;", "A", ";", &length), -1);
    length = 31;
    EXPECT_EQ(buildString(destination.data(), 30, "A=;", "A", ";", &length), -1);
}

TEST(DiscardSubstr, RemovesThePairOrChangesNothing) {
    struct Case {
        const char* buffer;
        const char* key;
        ULONG length;
        const char* after;
        ULONG lengthAfter;
    } cases[] = {
        {"A=1;TargetName=t;B=2;", "TargetName", 21, "A=1;B=2;", 8},
        {"A=1;B=2;", "TargetName", 8, "A=1;B=2;", 8},                   // missing key
        {"A=1;TargetName=t", "TargetName", 16, "A=1;TargetName=t", 16}, // no later separator
        {"A=1;B=2;", "B", 4, "A=1;B=2;", 4},                            // pair ends past the length
        // A key inside another pair cuts from there.
        {"InitiatorName=TargetNameX;TargetName=t;", "TargetName", 39, "InitiatorName=TargetName=t;",
         27},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.buffer);
        std::string buffer = c.buffer;
        ULONG length = c.length;
        discard_substr(buffer.data(), c.key, ";", &length);
        EXPECT_STREQ(buffer.c_str(), c.after);
        EXPECT_EQ(length, c.lengthAfter);
    }
}

TEST(DiscardSecurityInfo, RemovesTheFiveLoginRequestPairsSkippingAbsentOnes) {
    char buffer[] = "InitiatorName=iqn.i;TargetName=iqn.t;MaxConnections=2;AuthMethod=none;"
                    "HeaderDigest=none;DataDigest=crc-32C;InitialR2T=no;";
    auto length = static_cast<ULONG>(strlen(buffer));
    discardSecurityInfo(buffer, &length);
    EXPECT_STREQ(buffer, "MaxConnections=2;InitialR2T=no;");
    EXPECT_EQ(length, 31U);
    char fewer[] = "DataPDULength=8;TargetName=t;";
    length = 29;
    discardSecurityInfo(fewer, &length);
    EXPECT_STREQ(fewer, "DataPDULength=8;");
    EXPECT_EQ(length, 16U);
}
