// SHA-256 against the standard's test vectors, and the step syntax of `quevi run`.
#include "cli/steps.h"
#include "tool/sha256.h"

#include <gtest/gtest.h>

using quevi::cli::parseStep;
using quevi::cli::StepKind;

TEST(Sha256, MatchesTheStandardVectorsAcrossBlockBoundaries) {
    auto hex = [](const std::string& text) {
        return quevi::tool::sha256Hex({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
    };
    EXPECT_EQ(hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Steps, ReadTheirValuesAndRefuseWhatDoesNotFit) {
    struct Row {
        const char* word;
        bool ok;
        StepKind kind;
        uint8_t lun;
        uint32_t lba, count, seedOrMs;
    } rows[] = {
        {"inquiry", true, StepKind::Inquiry, 0, 0, 0, 0},
        {"readcap:7", true, StepKind::ReadCap, 7, 0, 0, 0},
        {"tur:8", false, StepKind::Tur, 0, 0, 0, 0},
        {"read:4294967295:65535:2", true, StepKind::Read, 2, 4294967295u, 65535, 0},
        {"read:0:65536", false, StepKind::Read, 0, 0, 0, 0},
        {"read:0:0", false, StepKind::Read, 0, 0, 0, 0},
        {"write:5:2:300", true, StepKind::Write, 0, 5, 2, 300},
        {"write:5:2", false, StepKind::Write, 0, 0, 0, 0},
        {"abort:1:8:250:3", true, StepKind::Abort, 3, 1, 8, 250},
        {"sleep:10", true, StepKind::Sleep, 0, 0, 0, 10},
        {"sleep:-1", false, StepKind::Sleep, 0, 0, 0, 0},
        {"read:1:+2", false, StepKind::Read, 0, 0, 0, 0},
        {"query:0", false, StepKind::Query, 0, 0, 0, 0},
        {"events", true, StepKind::Events, 0, 0, 0, 0},
        {"Inquiry", false, StepKind::Inquiry, 0, 0, 0, 0},
        {"text:", false, StepKind::Text, 0, 0, 0, 0},
    };
    for (const Row& row : rows) {
        std::string error;
        auto step = parseStep(row.word, error);
        ASSERT_EQ(step.has_value(), row.ok) << row.word;
        if (!row.ok) {
            EXPECT_NE(error, "") << row.word;
            continue;
        }
        EXPECT_EQ(step->kind, row.kind) << row.word;
        EXPECT_EQ(step->lun, row.lun) << row.word;
        EXPECT_EQ(step->lba, row.lba) << row.word;
        EXPECT_EQ(step->count, row.count) << row.word;
        EXPECT_EQ(row.kind == StepKind::Write ? step->seed : step->ms, row.seedOrMs) << row.word;
    }
    std::string error;
    EXPECT_EQ(parseStep("text:A=1;B=x:y", error)->text, "A=1;B=x:y") << "text keeps every byte";
}
