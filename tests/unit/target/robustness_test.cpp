// A misbehaving initiator: malformed PDUs, garbage, abrupt ends, a stop under open connections.
#include "conversation.h"

#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace quevi::target::test {
namespace {

using Robustness = Conversation;

TEST_F(Robustness, MalformedPdusGetAReject) {
    startTarget();
    Client c;
    loggedIn(c);
    Bytes48 unknown{};
    unknown[0] = 0x1C;
    ASSERT_TRUE(c.send(unknown));
    auto r = c.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->op(), 0xFF);
    EXPECT_EQ(r->h[40], 0x05);
    EXPECT_EQ(r->data[0], 0x1C);

    std::string big(kMaxTextLength + 4, 'x');
    ASSERT_TRUE(c.sendText(0x80, 1, c.takeCmdSN(), c.expStatSN(), big));
    r = c.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->op(), 0xFF);

    // Immediate data on a read command: consumed, refused with CHECK CONDITION.
    std::vector<std::uint8_t> junk(100, 1);
    ASSERT_TRUE(c.send(scsiCommand(0xC0, 0, 0x60, 512, c.takeCmdSN(), c.expStatSN(),
                                   {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 100),
                       junk));
    r = c.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->op(), 0xE1);
    EXPECT_EQ(r->h[2], 2);
    // And the stream is still in step.
    EXPECT_TRUE(c.testUnitReady().ok);
    auto pdus = target->pdus(0);
    ASSERT_GE(pdus.size(), 5u);
    EXPECT_EQ(pdus[4].data.size(), 100u);
}

TEST_F(Robustness, GarbageAndHugeLengthsNeverCrashOrHang) {
    startTarget();
    {
        Client g;
        ASSERT_TRUE(g.connect(target->port()));
        std::vector<std::uint8_t> garbage(4096);
        for (std::size_t i = 0; i < garbage.size(); ++i)
            garbage[i] = static_cast<std::uint8_t>(i * 31 + 7);
        g.sendRaw(garbage);
        EXPECT_TRUE(g.waitClosed());
    }
    {
        Client h;
        loggedIn(h);
        // Claims 16 MiB of immediate data, sends a little, then goes away.
        Bytes48 cmd = scsiCommand(0xA0, 0, 1, 0xFFFFFF, h.takeCmdSN(), 0,
                                  {0x2A, 0, 0, 0, 0, 0, 0, 0, 8, 0}, 0xFFFFFF);
        std::vector<std::uint8_t> some(1000, 9);
        h.send(cmd, some);
    }
    {
        Client l;
        ASSERT_TRUE(l.connect(target->port()));
        l.send(loginRequest(1, 0, 1, 1, 1, 0xFFFFFF));
        auto r = l.receive();
        ASSERT_TRUE(r);
        EXPECT_EQ(r->op(), 0xFF);
        EXPECT_TRUE(l.waitClosed());
    }
    // The target still serves.
    Client ok;
    loggedIn(ok);
    EXPECT_TRUE(ok.command(0, read10(0, 1), 512, true).ok);
}

TEST_F(Robustness, StopClosesOpenConnections) {
    startTarget();
    Client a, b;
    loggedIn(a);
    ASSERT_TRUE(b.connect(target->port()));
    target->stop();
    EXPECT_TRUE(a.waitClosed());
    EXPECT_TRUE(b.waitClosed());
    target->stop(); // idempotent
}

// Reads of a file LUN leave from the page cache (sendfile, which has no MSG_NOSIGNAL): a
// connection shut down while its thread sends must end that connection only, never the process.
TEST_F(Robustness, AConnectionShutWhileItSendsAFileLeavesTheTargetServing) {
    std::string file = testing::TempDir() + "quevi-robust-" + std::to_string(getpid());
    std::ofstream(file, std::ios::binary | std::ios::trunc).put(1);
    std::filesystem::resize_file(file, 64 << 20);
    config.luns = {file};
    startTarget();
    Client c;
    loggedIn(c);
    std::vector<std::uint8_t> cdb = read10(0, 0xFFFF); // 32 MiB, far more than the socket holds
    Bytes48 h = scsiCommand(0xC0, 0, c.nextItt(), 0xFFFF * 512, c.takeCmdSN(), c.expStatSN(), {});
    std::copy(cdb.begin(), cdb.end(), h.begin() + 32);
    ASSERT_TRUE(c.send(h));
    ASSERT_TRUE(c.receive()) << "the data has begun";
    std::this_thread::sleep_for(100ms); // the target's thread waits for room
    ASSERT_TRUE(target->dropConnection(0));
    EXPECT_TRUE(c.waitClosed());
    Client after;
    loggedIn(after);
    EXPECT_TRUE(after.testUnitReady().ok);
    std::filesystem::remove(file);
}

} // namespace
} // namespace quevi::target::test
