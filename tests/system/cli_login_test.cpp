// The `quevi login` program against an in-process target: its JSON, its exit codes, its errors.
#include "loopback.h"
#include "system_fixture.h"

#include <nlohmann/json.hpp>

using namespace systest;
using testsupport::ProgramRun;
using testsupport::runProgram;

class CliLoginTest : public SystemTest {};

TEST_F(CliLoginTest, PrintsTheSessionAsJsonAndSucceeds) {
    startTarget();
    ProgramRun r =
        runProgram(QUEVI_BINARY, "login --target 127.0.0.1:" + std::to_string(target().port()) +
                                     " --connections 2 --registry Debug=2 --login '" + kLogin +
                                     "DataPDULength=8'");
    ASSERT_EQ(r.exitCode, 0) << r.out;
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["handle"], 0);
    EXPECT_EQ(j["isid"], 0xabcd);
    EXPECT_NE(j["tsid"], 0);
    EXPECT_EQ(j["active_connections"], 2);
    ASSERT_EQ(j["connections"].size(), 2u);
    EXPECT_EQ(j["connections"][0]["state"], CONN_CONNECTED);
    ASSERT_EQ(j["params"].size(), 18u) << "every key under its own name";
    EXPECT_EQ(j["params"]["DataPDULength"], 8);
    EXPECT_EQ(j["params"]["AuthMethod"], 5);
    EXPECT_TRUE(j["params"].contains("SecurityContextComplete"));
    EXPECT_TRUE(target().waitForClosed(0, 5s)) << "the session is taken down before exiting";
}

TEST_F(CliLoginTest, NoConnectionLoggedInExitsOne) {
    startTarget();
    ProgramRun r =
        runProgram(QUEVI_BINARY, "login --target 127.0.0.1:" + std::to_string(target().port()) +
                                     " --login 'InitiatorName=iqn.x;TargetName=somebody-else;'");
    EXPECT_EQ(r.exitCode, 1);
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["active_connections"], 0);
    ASSERT_EQ(j["connections"].size(), 1u);
    // The state is a snapshot: a session that could not log in tries once more on its own.
    EXPECT_NE(j["connections"][0]["state"], CONN_IDLE);
    for (size_t i = 0; i < target().connectionCount(); i++) {
        EXPECT_FALSE(target().connection(i)->loggedIn) << i;
    }
}

TEST_F(CliLoginTest, UsageErrorsExitTwoAndPrintNothing) {
    for (const char* args :
         {"login --target 300.1.1.1 --login A=1", "login --target 127.0.0.1:0 --login A=1",
          "login --target 127.0.0.1:99999 --login A=1", "login --target 127.0.0.1",
          "login --login A=1", "login --target 127.0.0.1 --login A=1 --registry Debug",
          "login --target 127.0.0.1 --login A=1 --registry Debug=two",
          "login --target 127.0.0.1 --login A=1 --connections 0",
          "login --target 127.0.0.1 --login A=1 --connections 9"}) {
        ProgramRun r = runProgram(QUEVI_BINARY, args);
        EXPECT_EQ(r.exitCode, 2) << args;
        EXPECT_EQ(r.out, "") << args;
    }
}

TEST_F(CliLoginTest, AValueTooLongIsRefusedNamingItsKey) {
    // The message goes to stderr, which the shell turns into the output read here.
    for (const char* command : {"login", "run tur"}) {
        ProgramRun r = runProgram(
            QUEVI_BINARY, std::string(command) + " --target 127.0.0.1 --login '" + kLogin +
                              "DataPDULength=" + std::string(259, '0') + "016' 2>&1 || exit $?");
        EXPECT_EQ(r.exitCode, 2) << command;
        EXPECT_NE(r.out.find("the value of DataPDULength is too long"), std::string::npos) << r.out;
    }
}
