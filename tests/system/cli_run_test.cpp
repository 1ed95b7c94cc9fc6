// The `quevi run` program against an in-process target: the JSON line of every step, exit codes.
#include "loopback.h"
#include "platform/scsiport/srb.h"
#include "system_fixture.h"
#include "tool/sha256.h"

#include <nlohmann/json.hpp>

#include <sstream>

using namespace systest;
using nlohmann::json;
using testsupport::ProgramRun;
using testsupport::runProgram;

namespace {

std::vector<json> lines(const std::string& out) {
    std::vector<json> parsed;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        parsed.push_back(json::parse(line));
    }
    return parsed;
}

std::string runArgs(USHORT port, const std::string& more) {
    return "run --target 127.0.0.1:" + std::to_string(port) + " --login '" + kLogin + "' " + more;
}

} // namespace

class CliRunTest : public SystemTest {};

TEST_F(CliRunTest, EveryStepPrintsItsLine) {
    startTarget();
    ProgramRun r =
        runProgram(QUEVI_BINARY,
                   runArgs(target().port(),
                           "--connections 2 --registry Debug=1 --timeout 20 inquiry readcap tur "
                           "write:8:16:7 read:8:16 abort:0:2048:0 query text:SendTargets=All reset "
                           "read:8:16:0 sleep:10 remove read:131072:1 events"));
    ASSERT_EQ(r.exitCode, 0) << r.out;
    std::vector<json> l = lines(r.out);
    ASSERT_GE(l.size(), 15u) << r.out;
    EXPECT_EQ(l[0], json::parse(R"({"step":"add","return_code":0,"bus":0})"));
    for (int i : {1, 2, 3, 4, 5, 10}) {
        EXPECT_EQ(l[i]["lun"], 0) << l[i];
        EXPECT_EQ(l[i]["srb_status"], SRB_STATUS_SUCCESS) << l[i];
        EXPECT_EQ(l[i]["scsi_status"], SCSISTAT_GOOD) << l[i];
        EXPECT_FALSE(l[i].contains("sense")) << l[i];
    }
    EXPECT_EQ(l[1]["step"], "inquiry");
    EXPECT_EQ(l[1]["data"].get<std::string>().substr(0, 2), "00") << "a direct-access device";
    EXPECT_EQ(l[1]["data"].get<std::string>().size(), 72u);
    EXPECT_EQ(l[2]["step"], "readcap");
    EXPECT_EQ(l[2]["blocks"], 131072);
    EXPECT_EQ(l[2]["block_size"], 512);
    EXPECT_EQ(l[3]["step"], "tur");

    std::vector<uint8_t> written(16 * 512);
    for (size_t i = 0; i < written.size(); i++) {
        written[i] = static_cast<uint8_t>((7 + i + (i >> 9)) & 0xFF);
    }
    EXPECT_EQ(l[4]["step"], "write");
    EXPECT_EQ(l[4]["bytes"], written.size());
    EXPECT_EQ(l[4]["sha256"], quevi::tool::sha256Hex(written));
    EXPECT_EQ(l[5]["step"], "read");
    EXPECT_EQ(l[5]["sha256"], l[4]["sha256"]) << "the blocks read are the blocks written";

    EXPECT_EQ(l[6]["step"], "abort");
    EXPECT_TRUE(l[6]["srb_status"].is_number() && l[6]["abort_srb_status"].is_number()) << l[6];
    EXPECT_EQ(l[7], json::parse(R"({"step":"query","return_code":0,"connection_state":2})"));
    std::string address = "127.0.0.1:" + std::to_string(target().port());
    EXPECT_EQ(l[8]["step"], "text");
    EXPECT_EQ(l[8]["text"], "TargetName=" + kTargetName + ";TargetAddress=" + address + ",1;");
    EXPECT_EQ(l[8]["buffer_length"], l[8]["text"].get<std::string>().size());
    EXPECT_EQ(l[9], json::parse(R"({"step":"reset","srb_status":1})"));
    EXPECT_EQ(l[10]["sha256"], l[4]["sha256"]) << "returned BUSY, sent again after reconnecting";
    EXPECT_EQ(l[11], json::parse(R"({"step":"sleep","ms":10})"));
    EXPECT_EQ(l[12], json::parse(R"({"step":"remove","return_code":8})"))
        << "in use since the scan";
    EXPECT_EQ(l[13]["scsi_status"], SCSISTAT_CHECK_CONDITION) << "the block past the end";
    EXPECT_EQ(l[13]["bytes"], 0) << "nothing read";
    bool reset = false;
    for (size_t i = 14; i < l.size(); i++) {
        EXPECT_EQ(l[i]["step"], "event");
        if (l[i]["id"] == "0x804F0007") {
            reset = true;
            EXPECT_EQ(l[i]["strings"], json::parse(R"(["0","127.0.0.1"])"));
            EXPECT_EQ(l[i]["text"].get<std::string>().rfind(
                          "A bus reset has been issued for iSCSI bus 0, connected to iSCSI target "
                          "127.0.0.1.\r\n",
                          0),
                      0u);
        }
    }
    EXPECT_TRUE(reset) << r.out;
}

// A further URL among the steps attaches its target on a bus of its own; the steps after it go
// there, with its LUN as their default.
TEST_F(CliRunTest, AFurtherUrlAttachesItsTargetOnItsOwnBusForTheStepsAfterIt) {
    startTarget();
    tgt::TargetConfig config;
    config.name = "second-target";
    config.luns = {"1M", "1M"};
    tgt::Target second(config);
    std::string error;
    ASSERT_TRUE(second.start(&error)) << error;
    std::string first = "quevi://127.0.0.1:" + std::to_string(target().port()) + "/" + kTargetName;
    std::string other = "quevi://127.0.0.1:" + std::to_string(second.port()) + "/second-target/1";
    ProgramRun r = runProgram(QUEVI_BINARY, "run " + first + " write:0:1:3 " + other +
                                                " write:0:1:9 read:0:1 " + first + "/0 read:0:1");
    second.stop();
    ASSERT_EQ(r.exitCode, 0) << r.out;
    std::vector<json> l = lines(r.out);
    ASSERT_EQ(l.size(), 7u) << r.out;
    for (int bus = 0; bus < 3; bus++) {
        EXPECT_EQ(l[bus], json({{"step", "add"}, {"return_code", 0}, {"bus", bus}})) << r.out;
    }
    EXPECT_EQ(l[4]["lun"], 1);
    EXPECT_EQ(l[5]["lun"], 1);
    EXPECT_EQ(l[5]["sha256"], l[4]["sha256"]) << "read back from the second target's LUN 1";
    EXPECT_EQ(l[6]["sha256"], l[3]["sha256"]) << "the first target's block, seen on a third bus";
    std::vector<uint8_t> block(512);
    ASSERT_TRUE(second.lun(1)->read(0, block));
    EXPECT_EQ(quevi::tool::sha256Hex(block), l[4]["sha256"]);
}

TEST_F(CliRunTest, AStepThatNeverCompletesEndsTheRunWithOne) {
    tgt::Faults withheld;
    withheld.withholdStatus = true;
    startTarget().setFaults(withheld);
    // With the most connections a run takes.
    ProgramRun r = runProgram(QUEVI_BINARY,
                              runArgs(target().port(), "--connections 8 --timeout 2 read:0:1 tur"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(lines(r.out).size(), 1u) << "only the add: " << r.out;
}

TEST_F(CliRunTest, UsageErrorsExitTwoAndPrintNothing) {
    for (const char* more : {"bogus", "read:1", "read:0:0", "read:0:65536", "write:0:1", "tur:8",
                             "inquiry:0:1", "sleep", "text:", "query:1", "--security maybe",
                             "--connections 9", "--timeout 0", "--registry Debug"}) {
        ProgramRun r = runProgram(QUEVI_BINARY, runArgs(3260, more));
        EXPECT_EQ(r.exitCode, 2) << more;
        EXPECT_EQ(r.out, "") << more;
    }
}
