// `quevi target` as a process: prints where it listens, serves what its options say, stops cleanly
// on a signal and refuses bad options.
#include "loopback.h"
#include "test_client.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace quevi::target::test {
namespace {

using testsupport::Child;
using testsupport::reap;
using testsupport::spawn;

// The port from the target's first line, "listening 127.0.0.1:<port>"; 0 if it is not there.
int listeningPort(const Child& c) {
    char line[256] = {};
    std::string prefix = "listening 127.0.0.1:";
    if (c.pid <= 0 || !fgets(line, sizeof line, c.out) || std::string(line).rfind(prefix, 0) != 0)
        return 0;
    return std::stoi(std::string(line).substr(prefix.size()));
}

// The options reach the target, and a signal stops it with open connections, which it closes.
TEST(TargetProcess, OptionsReachTheTargetAndASignalStopsIt) {
    Child c = spawn({QUEVI_BINARY, "target", "--listen", "127.0.0.1:0", "--lun", "1M", "--name",
                     "disk-one", "--data-in-sizes", "1000,3000", "--status-separate"});
    int port = listeningPort(c);
    ASSERT_GT(port, 0);
    Client cl;
    ASSERT_TRUE(cl.connect(static_cast<std::uint16_t>(port)));
    ASSERT_TRUE(cl.login("disk-one"));
    auto r = cl.command(0, read10(0, 16), 8192, true);
    ASSERT_TRUE(r.ok);
    std::vector<std::uint32_t> sizes;
    for (const auto& p : r.pdus)
        sizes.push_back(p.op() == 0xE5 ? p.length() : 0);
    EXPECT_EQ(sizes, (std::vector<std::uint32_t>{1000, 3000, 3000, 1192, 0}));
    EXPECT_EQ(r.pdus.back().op(), 0xE1);
    kill(c.pid, SIGTERM);
    EXPECT_TRUE(cl.waitClosed(10s));
    EXPECT_EQ(reap(c.pid, 20), 0);
    fclose(c.out);
}

TEST(TargetProcess, BadOptionsExitWithTwo) {
    for (auto args : std::vector<std::vector<std::string>>{
             {QUEVI_BINARY, "target", "--listen", "nowhere"},
             {QUEVI_BINARY, "target", "--lun", "12X"},
             {QUEVI_BINARY, "target", "--no-such-option"},
             {QUEVI_BINARY, "target", "--key", "DataPDULength"},
             {QUEVI_BINARY, "target", "--target", "disk-a"},
             {QUEVI_BINARY, "target", "--target", "disk-a=1M,"},
             {QUEVI_BINARY, "target", "--target", "disk-a=1M,12X"},
             {QUEVI_BINARY, "target", "--target", "disk-a=1M", "--target", "disk-a=2M"},
             {QUEVI_BINARY, "target", "--target", "disk-a=1M", "--lun", "1M"}}) {
        Child c = spawn(args);
        ASSERT_GT(c.pid, 0);
        EXPECT_EQ(reap(c.pid, 20), 2) << args.back();
        fclose(c.out);
    }
}

} // namespace
} // namespace quevi::target::test
