// Binding a configuration to an existing session: same first address, same InitiatorName and
// TargetName pairs.
#include "driver/login/login.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr ULONG LOOPBACK = 0x7F000001;     // 127.0.0.1
constexpr ULONG LOOPBACK_TWO = 0x7F000002; // 127.0.0.2
const char* const LOGIN = "InitiatorName=iqn.i;TargetName=iqn.t;MaxConnections=2;";

// A session in the table with the parts findSessionHandle reads.
struct TableSession {
    ISCSI_SESSION session{};
    ISCSI_CONNECTION connection{};
};

class Binding : public ::testing::Test {
protected:
    std::vector<std::unique_ptr<TableSession>> made;

    void SetUp() override { ASSERT_EQ(initSessions(), 0); }

    void TearDown() override {
        for (ULONG i = 0; i < ISCSI_MAX_SESSIONS; i++) {
            sessions[i] = nullptr;
        }
        for (auto& t : made) {
            ExFreePool(t->session.loginString);
        }
    }

    // Enters a session for the address and login string at the slot, as creation leaves it.
    void enter(ULONG slot, ULONG ipAddress, const std::string& login) {
        auto t = std::make_unique<TableSession>();
        ASSERT_EQ(
            processLoginParameters(&t->session, login.data(), static_cast<ULONG>(login.size())), 0);
        t->connection.ipAddress = ipAddress;
        t->session.connections = &t->connection;
        t->session.numConnectionRecords = 1;
        t->session.numMaxConnections = 1;
        sessions[slot] = &t->session;
        made.push_back(std::move(t));
    }

    static ULONG find(ULONG ipAddress, const std::string& login) {
        return findSessionHandle(ipAddress, login.c_str(), static_cast<ULONG>(login.size()));
    }
};

TEST_F(Binding, SameAddressAndByteEqualNamesMatchInAnyOrderWhateverTheOtherKeys) {
    EXPECT_EQ(find(LOOPBACK, LOGIN), ISCSI_NO_SESSION);
    enter(3, LOOPBACK, LOGIN);
    struct Case {
        ULONG address;
        const char* login;
        ULONG slot;
    } cases[] = {
        {LOOPBACK, LOGIN, 3},
        {LOOPBACK, "InitiatorName=iqn.i;TargetName=iqn.t;DataPDULength=8;", 3},
        {LOOPBACK, "InitiatorName=iqn.i;TargetName=iqn.t;", 3},
        {LOOPBACK, "TargetName=iqn.t;MaxConnections=1;InitiatorName=iqn.i;", 3},
        {LOOPBACK_TWO, LOGIN, ISCSI_NO_SESSION},
        {LOOPBACK, "InitiatorName=iqn.i;TargetName=iqn.u;", ISCSI_NO_SESSION},
        {LOOPBACK, "InitiatorName=iqn.i;TargetName=iqn.t2;", ISCSI_NO_SESSION},
        {LOOPBACK, "InitiatorName=iqn.i;TargetName=iqn.T;", ISCSI_NO_SESSION},
        {LOOPBACK, "InitiatorName= iqn.i;TargetName=iqn.t;", ISCSI_NO_SESSION},
        {LOOPBACK, "InitiatorName=iqn.j;TargetName=iqn.t;", ISCSI_NO_SESSION},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(find(c.address, c.login), c.slot) << c.login << " from " << std::hex << c.address;
    }
}

TEST_F(Binding, FirstMatchingSlotInIndexOrderAndEmptySlotsSkipped) {
    enter(7, LOOPBACK, LOGIN);
    enter(4, LOOPBACK_TWO, LOGIN);
    enter(5, LOOPBACK, LOGIN);
    EXPECT_EQ(find(LOOPBACK, LOGIN), 5U);
    EXPECT_EQ(find(LOOPBACK_TWO, LOGIN), 4U);
}

TEST_F(Binding, IdentityOfExactlyTheBufferSizeMatches) {
    // 14 + 972 + 1 for the InitiatorName pair and 13 for TargetName=t; make 1000 bytes.
    std::string login = "InitiatorName=" + std::string(972, 'i') + ";TargetName=t;";
    enter(2, LOOPBACK, login);
    EXPECT_EQ(find(LOOPBACK, login), 2U);
}

TEST_F(Binding, IdentityLongerThanTheBufferNeverMatches) {
    std::string login = "InitiatorName=" + std::string(973, 'i') + ";TargetName=t;";
    enter(2, LOOPBACK, login);
    EXPECT_EQ(find(LOOPBACK, login), ISCSI_NO_SESSION);
    // A long name does not stand in the way of the other sessions.
    enter(6, LOOPBACK, LOGIN);
    EXPECT_EQ(find(LOOPBACK, LOGIN), 6U);
    // Leaving the long pair out would leave "TargetName=t;" alone, which this session has.
    enter(9, LOOPBACK, "TargetName=t;MaxConnections=1;");
    EXPECT_EQ(find(LOOPBACK, "InitiatorName=" + std::string(1986, 'i') + ";TargetName=t;"),
              ISCSI_NO_SESSION);
}

} // namespace
