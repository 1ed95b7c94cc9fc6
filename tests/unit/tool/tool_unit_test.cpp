// SHA-256 against the standard's test vectors, the copy's digest of what it copied, the step
// syntax of `quevi run`, READ(10) and WRITE(10) CDBs, target URLs, byte counts and what a target
// answers to SendTargets.
#include "cli/options.h"
#include "cli/steps.h"
#include "tool/disk_attach.h"
#include "tool/disk_copy.h"
#include "tool/scsi.h"
#include "tool/sha256.h"
#include "tool/target_list.h"
#include "tool/target_url.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <thread>
#include <unistd.h>
#include <vector>

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

// A copy into a pipe whose reader leaves after the first chunk: a chunk was read and digested
// before its write failed, and the report's digest is still that of exactly the bytes copied.
TEST(Copy, TheDigestIsOfWhatWasCopiedWhenALaterWriteFails) {
    constexpr uint32_t kChunk = 64 * 1024;
    std::vector<uint8_t> data(4 * kChunk);
    for (size_t i = 0; i < data.size(); i++) {
        data[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
    }
    FILE* source = std::tmpfile();
    ASSERT_NE(source, nullptr);
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), source), data.size());
    std::fflush(source);
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    std::signal(SIGPIPE, SIG_IGN);
    std::thread reader([fd = pipeFds[0]] {
        std::vector<uint8_t> chunk(kChunk);
        for (size_t got = 0; got < kChunk;) {
            ssize_t n = ::read(fd, chunk.data() + got, kChunk - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        ::close(fd);
    });
    quevi::tool::CopyOptions options;
    options.length = data.size();
    options.chunkBytes = kChunk;
    quevi::tool::CopyEnd from{nullptr, fileno(source)};
    quevi::tool::CopyEnd to{nullptr, pipeFds[1], 0, false, true};
    quevi::tool::CopyResult result = quevi::tool::copyData(from, to, options);
    reader.join();
    ::close(pipeFds[1]);
    std::fclose(source);
    EXPECT_FALSE(result.error.empty());
    ASSERT_LT(result.copied, data.size()); // the pipe may have taken a second chunk
    EXPECT_EQ(result.sha256, quevi::tool::sha256Hex({data.data(), result.copied}));
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

TEST(Cdbs, Read10AndWrite10CarryTheBlockAddressAndCountBigEndian) {
    using Bytes = std::vector<UCHAR>;
    EXPECT_EQ(quevi::tool::read10Cdb(0x01020304, 0x0506),
              (Bytes{0x28, 0, 0x01, 0x02, 0x03, 0x04, 0, 0x05, 0x06, 0}));
    EXPECT_EQ(quevi::tool::write10Cdb(0xFFFFFFFE, 1),
              (Bytes{0x2A, 0, 0xFF, 0xFF, 0xFF, 0xFE, 0, 0, 1, 0}));
}

TEST(TargetUrl, ReadsWhatPeopleTypeAndSaysWhatIsWrong) {
    struct Row {
        const char* text;
        const char* error; // a part of the message, null when the URL reads
        uint32_t address;
        uint16_t port;
        const char* name;
        uint8_t lun;
    } rows[] = {
        {"quevi://127.0.0.1/quevi-target", nullptr, 0x7F000001, 3260, "quevi-target", 0},
        {"quevi://10.1.2.3:3261/iqn.2001-04.org.x:disk.1/7", nullptr, 0x0A010203, 3261,
         "iqn.2001-04.org.x:disk.1", 7},
        {"quevi://127.0.0.1:65535/t/0", nullptr, 0x7F000001, 65535, "t", 0},
        {"quevi://127.0.0.1/t/", "LUN '' is not a number", 0, 0, "", 0},
        {"quevi://127.0.0.1/t/+1", "LUN '+1' is not a number", 0, 0, "", 0},
        {"quevi://127.0.0.1/t/8", "out of range", 0, 0, "", 0},
        {"quevi://127.0.0.1/t/99999999", "not a number", 0, 0, "", 0},
        {"quevi://127.0.0.1", "missing target name", 0, 0, "", 0},
        {"quevi://127.0.0.1//0", "missing target name", 0, 0, "", 0},
        {"quevi:///t", "missing address", 0, 0, "", 0},
        {"quevi://127.0.0.1:/t", "bad port ''", 0, 0, "", 0},
        {"quevi://127.0.0.1:65536/t", "bad port", 0, 0, "", 0},
        {"quevi://127.0.0.1:0/t", "bad port", 0, 0, "", 0},
        {"quevi://target.example/t", "bad address", 0, 0, "", 0},
        {"quevi://127.1/t", "bad address", 0, 0, "", 0},
        {"quevi://[::1]/t", "bad address", 0, 0, "", 0},
        {"iscsi://127.0.0.1/t", "unknown scheme 'iscsi'", 0, 0, "", 0},
        {"QUEVI://127.0.0.1/t", "unknown scheme", 0, 0, "", 0},
        {"127.0.0.1/t", "not a URL", 0, 0, "", 0},
        {"quevi://127.0.0.1/a/b/c", "too many path parts", 0, 0, "", 0},
        {"quevi://127.0.0.1/t;InitialR2T=No", "has a character", 0, 0, "", 0},
        {"quevi://127.0.0.1/t%3B", "has a character", 0, 0, "", 0},
    };
    for (const Row& row : rows) {
        std::string error;
        auto url = quevi::tool::parseTargetUrl(row.text, error);
        ASSERT_EQ(url.has_value(), row.error == nullptr) << row.text << ": " << error;
        if (row.error != nullptr) {
            EXPECT_NE(error.find(row.error), std::string::npos) << row.text << ": " << error;
            continue;
        }
        EXPECT_EQ(url->address, row.address) << row.text;
        EXPECT_EQ(url->port, row.port) << row.text;
        EXPECT_EQ(url->targetName, row.name) << row.text;
        EXPECT_EQ(url->lun, row.lun) << row.text;
    }
    std::string name = quevi::tool::defaultInitiatorName();
    std::string error;
    EXPECT_TRUE(quevi::tool::checkIscsiName(name, "name", error)) << name << ": " << error;
    EXPECT_EQ(name, quevi::tool::defaultInitiatorName()) << "stable";

    // One name at one address on two ports would be joined into one session: refused.
    auto urls = [](std::vector<std::string> texts) {
        std::vector<quevi::tool::TargetUrl> out;
        std::string ignored;
        for (const std::string& text : texts) {
            out.push_back(*quevi::tool::parseTargetUrl(text, ignored));
        }
        return out;
    };
    EXPECT_TRUE(quevi::tool::distinctTargets(
        urls({"quevi://127.0.0.1:3260/a/0", "quevi://127.0.0.1:3260/a/1",
              "quevi://127.0.0.1:3261/b", "quevi://127.0.0.2:3261/a"}),
        error));
    EXPECT_FALSE(quevi::tool::distinctTargets(
        urls({"quevi://127.0.0.1:3260/a/0", "quevi://127.0.0.1:3261/a/0"}), error));
    EXPECT_NE(error.find("127.0.0.1:3260/a/0 and 127.0.0.1:3261/a/0 name one target"),
              std::string::npos)
        << error;
}

TEST(ByteCounts, TakeBinarySuffixesAndRefuseTheRest) {
    struct Row {
        const char* text;
        bool ok;
        uint64_t value;
    } rows[] = {{"0", true, 0},
                {"4096", true, 4096},
                {"4K", true, 4096},
                {"64M", true, 64ull << 20},
                {"1GiB", true, 1ull << 30},
                {"2t", true, 2ull << 40},
                {"", false, 0},
                {"-1", false, 0},
                {"1Q", false, 0},
                {"1 M", false, 0},
                {"1MB", false, 0},
                {"99999999999999T", false, 0}};
    for (const Row& row : rows) {
        uint64_t value = 0;
        std::string error;
        EXPECT_EQ(quevi::cli::parseByteCount(row.text, "--length", value, error), row.ok)
            << row.text;
        if (row.ok) {
            EXPECT_EQ(value, row.value) << row.text;
        } else {
            EXPECT_NE(error.find("--length"), std::string::npos) << row.text;
        }
    }
}

// What a target lists is read as it comes, whatever its order; only IPv4 portals are this address.
TEST(SendTargets, ListsEachNameOnceWithItsAddressesAndReadsOnlyIPv4Portals) {
    using namespace std::string_literals;
    auto listed = quevi::tool::parseSendTargets(
        "TargetAddress=1.1.1.1\0TargetName=a\0TargetAddress=10.0.0.1:3261,1\0X=1\0"
        "TargetName=b\x1b[2J\0TargetName=a\0TargetAddress=10.0.0.2\0junk"s);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].name, "a");
    EXPECT_EQ(listed[0].addresses, (std::vector<std::string>{"10.0.0.1:3261,1", "10.0.0.2"}));
    EXPECT_EQ(listed[1].name, "b?[2J") << "shown as it is, without its control bytes";
    EXPECT_TRUE(listed[1].addresses.empty());

    uint32_t ip = 0;
    uint16_t port = 0;
    ASSERT_TRUE(quevi::tool::parsePortal("10.0.0.1:3261,1", ip, port));
    EXPECT_EQ(ip, 0x0A000001u);
    EXPECT_EQ(port, 3261);
    ASSERT_TRUE(quevi::tool::parsePortal("10.0.0.2,7", ip, port));
    EXPECT_EQ(port, 3260);
    for (const char* other : {"host:3260,1", "[::1]:3260,1", "10.0.0.1:0", "10.0.0.1:65536", "",
                              "10.0.0.1:", "10.0.0.1:+5"}) {
        EXPECT_FALSE(quevi::tool::parsePortal(other, ip, port)) << other;
    }
    EXPECT_EQ(quevi::tool::withoutGroupTag("10.0.0.1:3261,1"), "10.0.0.1:3261");
}
