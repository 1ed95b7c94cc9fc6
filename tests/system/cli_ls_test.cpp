// `quevi ls` against an in-process target serving several targets: every target and LUN of the
// address, a refused login, targets listed elsewhere, exit codes.
#include "loopback.h"
#include "system_fixture.h"
#include "target/pdu.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace systest;
using nlohmann::json;
using testsupport::ProgramRun;
using testsupport::runProgram;
using namespace std::string_literals;

namespace {

json lun(int number, uint64_t blocks) {
    return {{"lun", number},     {"bytes", blocks * 512}, {"blocks", blocks},
            {"block_size", 512}, {"vendor", "QUEVI"},     {"product", "quevi target"},
            {"revision", "0001"}};
}

// A Text answer of the script's own to every Text request.
void answerText(tgt::Faults& faults, const std::string& answer) {
    faults.scriptOpcodes = {tgt::kOpText, tgt::kOpText | 0x40};
    faults.script = [answer](tgt::ScriptedPdu& p) {
        tgt::TextResponse r;
        r.final = true;
        r.dataLength = static_cast<uint32_t>(answer.size());
        r.itt = tgt::parseText(p.header).itt;
        tgt::Header h = tgt::buildTextResponse(r);
        tgt::stampSequence(h, p.statSN, p.expCmdSN, p.maxCmdSN);
        std::vector<uint8_t> bytes((h.size() + answer.size() + 3) & ~size_t{3}, 0);
        std::copy(h.begin(), h.end(), bytes.begin());
        std::copy(answer.begin(), answer.end(), bytes.begin() + h.size());
        p.send(bytes);
        p.statSNUsed = 1;
    };
}

} // namespace

class CliLsTest : public SystemTest {
protected:
    void SetUp() override {
        SystemTest::SetUp();
        file_ = std::filesystem::temp_directory_path() /
                ("quevi-ls-" + std::to_string(getpid()) + ".img");
        std::ofstream(file_).close();
        std::filesystem::resize_file(file_, 3 << 20);
    }

    void TearDown() override {
        SystemTest::TearDown();
        std::filesystem::remove(file_);
    }

    // disk-a: two memory LUNs of different sizes; disk-b: one LUN from a file.
    void serve(tgt::Faults faults = {}) {
        tgt::TargetConfig config;
        config.targets = {{"disk-a", {"8M", "1M"}}, {"disk-b", {file_.string()}}};
        config.faults = std::move(faults);
        startTarget(config);
    }

    std::string address() const { return "127.0.0.1:" + std::to_string(target_->port()); }

    ProgramRun ls(const std::string& name, const std::string& more = "--json") const {
        return runProgram(QUEVI_BINARY, "ls quevi://" + address() + "/" + name + " " + more +
                                            " --initiator-name iqn.2001-04.org.quevi:test");
    }

    std::filesystem::path file_;
};

TEST_F(CliLsTest, ListsEveryTargetOfTheAddressWithExactlyItsLuns) {
    serve();
    ProgramRun r = ls("disk-b");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    json expected = {{"address", address()},
                     {"targets",
                      {{{"name", "disk-a"},
                        {"address", address()},
                        {"luns", {lun(0, 16384), lun(1, 2048)}},
                        {"error", nullptr}},
                       {{"name", "disk-b"},
                        {"address", address()},
                        {"luns", {lun(0, 6144)}},
                        {"error", nullptr}}}}};
    EXPECT_EQ(json::parse(r.out), expected);

    r = ls("disk-a", "");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    std::istringstream table(r.out);
    std::vector<std::string> lines;
    for (std::string line; std::getline(table, line);) {
        std::istringstream words(line);
        lines.emplace_back();
        for (std::string word; words >> word;) {
            lines.back() += (lines.back().empty() ? "" : " ") + word;
        }
    }
    std::string rest = " 512 QUEVI quevi target 0001";
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "TARGET ADDRESS LUN SIZE BLOCKS BLOCK VENDOR PRODUCT REVISION",
                         "disk-a " + address() + " 0 8M 16384" + rest,
                         "disk-a " + address() + " 1 1M 2048" + rest,
                         "disk-b " + address() + " 0 3M 6144" + rest}))
        << r.out;
}

// Only the named target decides the exit code: a refused other one is listed with its error.
TEST_F(CliLsTest, ARefusedLoginIsListedWithItsErrorAndFailsTheListingOnlyWhenNamed) {
    tgt::Faults faults;
    faults.refuseLoginsAfter = 1; // every login after the first
    serve(faults);
    ProgramRun r = ls("disk-b");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    json j = json::parse(r.out);
    ASSERT_EQ(j["targets"].size(), 2u) << r.out;
    EXPECT_EQ(j["targets"][0]["name"], "disk-a");
    EXPECT_EQ(j["targets"][0]["luns"], json::array());
    EXPECT_NE(j["targets"][0]["error"].get<std::string>().find("refused the login"),
              std::string::npos);
    EXPECT_EQ(j["targets"][1]["luns"], json::array({lun(0, 6144)}));

    r = ls("disk-a");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(json::parse(r.out)["targets"][0]["luns"], json::array()) << r.out;
    std::string closed = "127.0.0.1:" + std::to_string(closedPort());
    r = runProgram(QUEVI_BINARY, "ls --json quevi://" + closed + "/disk-a");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(json::parse(r.out)["targets"][0]["error"],
              "could not connect: nothing answered at " + closed);
    for (const char* bad : {"disk-a/0", "", "disk_a"}) {
        EXPECT_EQ(ls(bad).exitCode, 2) << bad;
    }
}

// Targets listed at another address, or under names no login could carry, are not logged in to.
TEST_F(CliLsTest, TargetsElsewhereOrWithUnusableNamesAreShownNotLoggedIn) {
    tgt::Faults faults;
    answerText(faults, "TargetName=disk-a\0TargetAddress=127.0.0.2:3260,1\0"
                       "TargetName=x;InitiatorName=y\0TargetName=disk-b\0"s);
    serve(faults);
    ProgramRun r = ls("disk-b");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    json j = json::parse(r.out);
    ASSERT_EQ(j["targets"].size(), 3u) << r.out;
    EXPECT_EQ(j["targets"][0]["address"], "127.0.0.2:3260");
    EXPECT_NE(j["targets"][0]["error"].get<std::string>().find("at another address"),
              std::string::npos);
    EXPECT_NE(j["targets"][1]["error"].get<std::string>().find("not logged in"), std::string::npos);
    EXPECT_EQ(j["targets"][2]["luns"], json::array({lun(0, 6144)}));
    EXPECT_EQ(target_->connectionCount(), 1u) << "only the named target was logged in to";
}
