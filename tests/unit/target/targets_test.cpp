// Several targets on one address: each login reaches its own target's LUNs, SendTargets=All lists
// every target, and a name the address does not serve is refused.
#include "conversation.h"

namespace quevi::target::test {
namespace {

class Targets : public Conversation {
protected:
    void SetUp() override {
        config.targets = {{"disk-a", {"1M", "2M"}}, {"disk-b", {"512K"}}};
        startTarget();
    }
    // The text of the answer to one Text request in the full feature phase.
    std::string ask(Client& c, const std::string& text) {
        EXPECT_TRUE(c.sendText(0x80, c.nextItt(), c.takeCmdSN(), c.expStatSN(), text));
        auto r = c.receive();
        EXPECT_TRUE(r && r->op() == 0xE4);
        return r ? r->text() : "";
    }
};

std::uint64_t capacity(Client& c, std::uint8_t lun) {
    auto r = c.command(lun, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, true);
    if (r.status != 0 || r.data.size() < 8)
        return 0;
    return (std::uint64_t{getBe32(r.data, 0)} + 1) * getBe32(r.data, 4);
}

std::uint32_t reportedLuns(Client& c) {
    auto r = c.command(0, {0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 64, 0, 0}, 64, true);
    return r.status == 0 && r.data.size() >= 4 ? getBe32(r.data, 0) / 8 : 0;
}

TEST_F(Targets, EachLoginReachesItsOwnTargetsLuns) {
    Client a;
    ASSERT_TRUE(a.connect(target->port()));
    ASSERT_TRUE(a.login("disk-a"));
    Client b;
    ASSERT_TRUE(b.connect(target->port()));
    ASSERT_TRUE(b.login("disk-b", 0x5678));
    EXPECT_EQ(capacity(a, 0), 1u << 20);
    EXPECT_EQ(capacity(a, 1), 2u << 20);
    EXPECT_EQ(capacity(b, 0), 512u << 10);
    EXPECT_EQ(capacity(b, 1), 0u) << "disk-b has no LUN 1";
    EXPECT_EQ(reportedLuns(a), 2u);
    EXPECT_EQ(reportedLuns(b), 1u);
    auto inquiry = b.command(1, {0x12, 0, 0, 0, 36, 0}, 36, true);
    ASSERT_EQ(inquiry.data.size(), 36u);
    EXPECT_EQ(inquiry.data[0], 0x7F) << "no LUN 1 behind disk-b";

    // A write through disk-b lands in disk-b's LUN 0 alone.
    std::vector<std::uint8_t> block(512, 0xB5);
    ASSERT_EQ(b.write(0, write10(0, 1), block, 512).status, 0);
    std::vector<std::uint8_t> got(512);
    ASSERT_TRUE(target->lun("disk-b", 0)->read(0, got));
    EXPECT_EQ(got, block);
    ASSERT_TRUE(target->lun("disk-a", 0)->read(0, got));
    EXPECT_EQ(got, std::vector<std::uint8_t>(512, 0));

    // A connection joins a session only for the target that session logged in to.
    Client join;
    join.cid = 2;
    ASSERT_TRUE(join.connect(target->port()));
    EXPECT_FALSE(join.login("disk-b", 0x1234, a.tsid));
    EXPECT_NE(join.last.h[36], 0);
}

TEST_F(Targets, SendTargetsAllListsEveryTargetInEverySession) {
    std::string address = "127.0.0.1:" + std::to_string(target->port());
    std::string all = pairs({"TargetName=disk-a", "TargetAddress=" + address, "TargetName=disk-b",
                             "TargetAddress=" + address});
    Client normal;
    ASSERT_TRUE(normal.connect(target->port()));
    ASSERT_TRUE(normal.login("disk-b"));
    EXPECT_EQ(ask(normal, pairs({"SendTargets=All"})), all);
    EXPECT_EQ(ask(normal, pairs({"SendTargets="})),
              pairs({"TargetName=disk-b", "TargetAddress=" + address}))
        << "empty: the session's own target";

    Client discovery;
    ASSERT_TRUE(discovery.connect(target->port()));
    ASSERT_TRUE(discovery.login("iqn.2001-04.org.quevi:iscsi-discovery", 0x5678));
    EXPECT_EQ(ask(discovery, pairs({"SendTargets=All"})), all);
    EXPECT_EQ(ask(discovery, pairs({"SendTargets=disk-a"})),
              pairs({"TargetName=disk-a", "TargetAddress=" + address}));
    EXPECT_EQ(reportedLuns(discovery), 0u) << "a discovery session sees no LUNs";
}

TEST_F(Targets, LoginToANameNotServedHereIsRefused) {
    for (std::string name : {"quevi-target", "disk-c", "disk-a0"}) {
        Client c;
        ASSERT_TRUE(c.connect(target->port()));
        EXPECT_FALSE(c.login(name)) << name;
        EXPECT_EQ(c.last.op(), 0xE3);
        EXPECT_EQ(c.last.h[36], 0x01) << "target not found: " << name;
        EXPECT_TRUE(c.waitClosed());
    }
    EXPECT_EQ(target->sessionCount(), 0u);

    // Targets that cannot be served side by side are refused when the target starts: one name
    // twice, no name, memory LUNs that fit the machine's memory one by one but not together,
    // names too long together to list in one answer.
    std::string half = std::to_string((machineMemory() / 2 / 512 + 1) * 512);
    std::vector<NamedTarget> many;
    for (int i = 0; i < 40; ++i)
        many.push_back({std::to_string(i) + std::string(200, 'x'), {"512"}});
    std::vector<std::vector<NamedTarget>> refused = {{{"disk-a", {"1M"}}, {"disk-a", {"2M"}}},
                                                     {{"", {"1M"}}},
                                                     {{"disk-a", {half}}, {"disk-b", {half}}},
                                                     many};
    for (const auto& targets : refused) {
        TargetConfig c;
        c.targets = targets;
        Target t(c);
        std::string error;
        EXPECT_FALSE(t.start(&error));
        EXPECT_FALSE(error.empty());
    }
}

} // namespace
} // namespace quevi::target::test
