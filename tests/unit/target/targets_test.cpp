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
    void login(Client& c, const std::string& name, std::uint16_t isid = 0x1234) {
        EXPECT_TRUE(c.connect(target->port()) && c.login(name, isid)) << name;
    }
};

// Bytes of the LUN by READ CAPACITY, 0 when it fails.
std::uint64_t capacity(Client& c, std::uint8_t lun) {
    auto r = c.command(lun, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, true);
    return r.status == 0 ? (std::uint64_t{getBe32(r.data, 0)} + 1) * getBe32(r.data, 4) : 0;
}

std::uint32_t reportedLuns(Client& c) {
    auto r = c.command(0, {0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 64, 0, 0}, 64, true);
    return r.status == 0 ? getBe32(r.data, 0) / 8 : 0;
}

TEST_F(Targets, EachLoginReachesItsOwnTargetsLuns) {
    Client a, b;
    login(a, "disk-a");
    login(b, "disk-b", 0x5678);
    EXPECT_EQ(capacity(a, 0), 1u << 20);
    EXPECT_EQ(capacity(a, 1), 2u << 20);
    EXPECT_EQ(capacity(b, 0), 512u << 10);
    EXPECT_EQ(capacity(b, 1), 0u) << "disk-b has no LUN 1";
    EXPECT_EQ(reportedLuns(a), 2u);
    EXPECT_EQ(reportedLuns(b), 1u);
    EXPECT_EQ(b.command(1, {0x12, 0, 0, 0, 36, 0}, 36, true).data.at(0), 0x7F);

    // A connection joins a session only for the target that session logged in to.
    Client join;
    join.cid = 2;
    ASSERT_TRUE(join.connect(target->port()));
    EXPECT_FALSE(join.login("disk-b", 0x1234, a.tsid));
}

TEST_F(Targets, SendTargetsAllListsEveryTargetInEverySession) {
    std::string address = "TargetAddress=127.0.0.1:" + std::to_string(target->port()) + ",1";
    Client normal, discovery;
    login(normal, "disk-b");
    login(discovery, "iqn.2001-04.org.quevi:iscsi-discovery", 0x5678);
    std::string all = pairs({"TargetName=disk-a", address, "TargetName=disk-b", address});
    for (auto [c, ask, answer] : {std::tuple{&normal, "All", all},
                                  {&normal, "", pairs({"TargetName=disk-b", address})}, // its own
                                  {&discovery, "All", all},
                                  {&discovery, "disk-a", pairs({"TargetName=disk-a", address})}}) {
        std::string text = pairs({std::string("SendTargets=") + ask});
        ASSERT_TRUE(c->sendText(0x80, c->nextItt(), c->takeCmdSN(), c->expStatSN(), text));
        auto r = c->receive();
        ASSERT_TRUE(r && r->op() == 0xE4);
        EXPECT_EQ(r->text(), answer) << ask;
    }
    EXPECT_EQ(reportedLuns(discovery), 0u) << "a discovery session sees no LUNs";
}

TEST_F(Targets, LoginToANameNotServedHereIsRefused) {
    for (std::string name : {"quevi-target", "disk-c", "disk-a0"}) {
        Client c;
        ASSERT_TRUE(c.connect(target->port()));
        EXPECT_FALSE(c.login(name)) << name;
        EXPECT_EQ(c.last.h[36], 0x01) << "target not found: " << name;
    }

    // Refused at start: one name twice, no name, memory LUNs that fit the machine's memory one by
    // one but not together, names too long together to list in one answer.
    std::string half = std::to_string((machineMemory() / 2 / 512 + 1) * 512);
    std::vector<NamedTarget> many;
    for (int i = 0; i < 40; ++i)
        many.push_back({std::to_string(i) + std::string(200, 'x'), {"512"}});
    for (const auto& targets :
         std::vector<std::vector<NamedTarget>>{{{"disk-a", {"1M"}}, {"disk-a", {"2M"}}},
                                               {{"", {"1M"}}},
                                               {{"disk-a", {half}}, {"disk-b", {half}}},
                                               many}) {
        TargetConfig c;
        c.targets = targets;
        EXPECT_FALSE(Target(c).start());
    }
}

} // namespace
} // namespace quevi::target::test
