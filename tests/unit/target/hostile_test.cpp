// A hostile initiator against the target, one row per attack: each row configures a target,
// plays its script, and the target must answer as stated, stay within its bounds and go on
// serving a well-behaved initiator afterwards.
#include "conversation.h"

#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer runtime, which replaces malloc (its header is not always installed).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace quevi::target::test {
namespace {

std::size_t heapInUse() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

// Anonymous memory and page tables of this process, in KiB.
long mappedKiB() {
    std::ifstream in("/proc/self/status");
    long total = 0;
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("RssAnon:") || line.starts_with("VmPTE:"))
            total += std::stol(line.substr(line.find(':') + 1));
    return total;
}

// The kernel's count of connections dropped because a listen queue was full.
long listenOverflows() {
    std::ifstream in("/proc/net/netstat");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (!names.starts_with("TcpExt:"))
            continue;
        std::istringstream n(names), v(values);
        for (std::string name, value; n >> name && v >> value;)
            if (name == "ListenOverflows")
                return std::stol(value);
    }
    return 0;
}

class Hostile;

struct Attack {
    const char* name;
    void (*configure)(TargetConfig&);
    const char* startError; // start() must fail with a message containing it
    void (*play)(Hostile&);
};

void PrintTo(const Attack& attack, std::ostream* out) {
    *out << attack.name;
}

class Hostile : public Conversation, public ::testing::WithParamInterface<Attack> {
public:
    using Conversation::config;
    using Conversation::loggedIn;
    using Conversation::target;

    // Logs in up to the end of the Login response; the next request goes on with `sn`.
    void loginOnly(Client& c, std::uint32_t& statSN) {
        ASSERT_TRUE(c.connect(target->port()));
        std::string text = pairs({"InitiatorName=iqn.test:h", "TargetName=quevi-target"});
        ASSERT_TRUE(c.sendLogin(0x4242, 1, 9, text));
        auto r = c.receive();
        ASSERT_TRUE(r && r->op() == 0xE3 && r->h[36] == 0);
        statSN = r->statSN();
    }
    // Sends one login-phase Text request and returns its answer.
    Pdu offer(Client& c, const std::string& text, std::uint32_t& sn, std::uint32_t statSN) {
        EXPECT_TRUE(c.sendText(0x05, 9, sn++, statSN, text));
        auto r = c.receive();
        EXPECT_TRUE(r);
        return r.value_or(Pdu{});
    }
};

void sparseMemoryLun(Hostile& t) {
    LunStore& lun = *t.target->lun(0);
    std::vector<std::uint8_t> block(1 << 20, 0xEE);
    ASSERT_TRUE(lun.read(0, block));
    long before = mappedKiB();
    for (std::uint64_t at = 0; at < lun.size(); at += block.size())
        ASSERT_TRUE(lun.read(at, block));
    EXPECT_LT(mappedKiB() - before, 1024) << "reading unwritten blocks must cost no memory";
    EXPECT_EQ(std::count(block.begin(), block.end(), 0), static_cast<long>(block.size()));
    Client c;
    t.loggedIn(c);
    std::vector<std::uint8_t> data(4096, 0x77);
    ASSERT_EQ(c.write(0, write10(1000, 8), data, 4096).status, 0);
    auto back = c.command(0, read10(999, 10), 5120, true);
    ASSERT_EQ(back.status, 0);
    EXPECT_EQ(back.data[511], 0);
    EXPECT_EQ(back.data[512], 0x77);
    EXPECT_EQ(back.data[4607], 0x77);
    EXPECT_EQ(back.data[4608], 0);
}

void closedConnectionsKeepOnlyTheirRecord(Hostile& t) {
    constexpr std::size_t kConnections = 300;
    std::size_t before = heapInUse();
    for (std::size_t i = 0; i < kConnections; ++i) {
        Client c;
        ASSERT_TRUE(c.connect(t.target->port()));
        ASSERT_TRUE(t.target->waitForConnections(i + 1, 5s));
        c.close();
        ASSERT_TRUE(t.target->waitForClosed(i, 5s));
    }
    std::size_t grown = heapInUse() - std::min(before, heapInUse());
    EXPECT_LT(grown / kConnections, 2048u) << "bytes kept per closed connection";
}

void outOfRangeValuesAreRejected(Hostile& t) {
    Client c;
    std::uint32_t statSN = 0, sn = 2;
    t.loginOnly(c, statSN);
    for (const char* value : {"65536", "-5", "99999999999", "0", "0x10000", "lots"}) {
        Pdu r = t.offer(c, pairs({std::string("DataPDULength=") + value}), sn, statSN);
        EXPECT_EQ(r.text(), pairs({"DataPDULength=reject"})) << value;
        EXPECT_EQ(r.flags() & 0x80, 0) << "a rejected key is offered again: not final";
        statSN = r.statSN() + 1;
    }
    Pdu r = t.offer(c, pairs({"MaxConnections=0x0002", "DataPDULength=8"}), sn, statSN);
    EXPECT_EQ(r.text(), pairs({"MaxConnections=2", "DataPDULength=8"})) << "the values held";
    EXPECT_EQ(r.flags() & 0x80, 0x80);
    statSN = r.statSN() + 1;
    ASSERT_TRUE(c.sendText(0x8D, 9, sn++, statSN, ""));
    auto closing = c.receive();
    ASSERT_TRUE(closing && closing->h[36] == 0);
    c.noteStatSN(closing->statSN() - 1);
    auto read = c.command(0, read10(0, 16), 8192, true);
    ASSERT_EQ(read.status, 0);
    ASSERT_EQ(read.pdus.size(), 2u) << "two Data-In of DataPDULength=8 (4096 bytes)";
    EXPECT_EQ(read.pdus[0].length(), 4096u);
    std::vector<std::uint8_t> immediate(4096, 1);
    EXPECT_EQ(c.write(0, write10(0, 8), immediate, 4096).status, 0);
}

void joinUnderAnotherInitiatorName(Hostile& t) {
    Client a;
    t.loggedIn(a);
    Client b;
    b.cid = 2;
    b.initiator = "iqn.test:intruder";
    ASSERT_TRUE(b.connect(t.target->port()));
    EXPECT_FALSE(b.login("quevi-target", 0x1234, a.tsid));
    EXPECT_EQ(b.last.op(), 0xE3);
    EXPECT_NE(b.last.h[36], 0);
    EXPECT_TRUE(b.waitClosed());
    Client same;
    same.cid = 3;
    ASSERT_TRUE(same.connect(t.target->port()));
    EXPECT_TRUE(same.login("quevi-target", 0x1234, a.tsid)) << "the session's own initiator joins";
}

void duplicateKeyInLogin(Hostile& t) {
    Client c;
    ASSERT_TRUE(c.connect(t.target->port()));
    std::string text = pairs({"InitiatorName=iqn.test:d", "TargetName=quevi-target",
                              "AuthMethod=none", "AuthMethod=SRP"});
    ASSERT_TRUE(c.sendLogin(0x77, 1, 5, text));
    auto r = c.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->op(), 0xE3);
    EXPECT_EQ(r->h[36], 2);
    EXPECT_TRUE(c.waitClosed());
    EXPECT_EQ(t.target->sessionCount(), 0u);
}

void duplicateKeyInLoginText(Hostile& t) {
    Client c;
    std::uint32_t statSN = 0, sn = 2;
    t.loginOnly(c, statSN);
    Pdu r =
        t.offer(c, pairs({"DataPDULength=8", "ImmediateData=no", "DataPDULength=4"}), sn, statSN);
    EXPECT_EQ(r.op(), 0xE3) << "the login ends with a Login response";
    EXPECT_EQ(r.flags() & 0x80, 0x80);
    EXPECT_EQ(r.h[36], 2);
    EXPECT_TRUE(c.waitClosed());
}

void duplicateKeyInFullFeatureText(Hostile& t) {
    Client c;
    t.loggedIn(c);
    std::string text = pairs({"MaxOutstandingR2T=2", "MaxOutstandingR2T=4"});
    ASSERT_TRUE(c.sendText(0x80, 0x31, c.takeCmdSN(), c.expStatSN(), text));
    auto r = c.receive();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->op(), 0xFF);
    EXPECT_EQ(r->h[40], 0x09);
    EXPECT_FALSE(c.receive(200ms)) << "no Text response follows the Reject";
    EXPECT_TRUE(c.testUnitReady().ok);
}

void connectStorm(Hostile& t) {
    constexpr int kStorm = 200;
    long before = listenOverflows();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(t.target->port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<int> fds;
    for (int i = 0; i < kStorm; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fds.push_back(fd);
    }
    EXPECT_TRUE(t.target->waitForConnections(kStorm, 20s));
    EXPECT_EQ(listenOverflows() - before, 0) << "connections dropped by a full listen queue";
    for (int fd : fds)
        ::close(fd);
}

void idleSessionsArePingedAndDroppedWhenSilent(Hostile& t) {
    Client silent;
    t.loggedIn(silent);
    auto ping = silent.receive();
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->op(), 0xE0);
    EXPECT_EQ(ping->flags(), 0x80) << "a ping that wants an answer";
    EXPECT_TRUE(silent.waitClosed());
    Client answering; // the only session slot is free again
    t.loggedIn(answering);
    for (int i = 0; i < 4; ++i) {
        auto p = answering.receive();
        ASSERT_TRUE(p && p->op() == 0xE0);
        ASSERT_TRUE(answering.send(nopOut(0x40, false, 0xFFFFFFFF, p->u32(20), 0, 0)));
    }
    EXPECT_TRUE(t.target->connection(1)->open);
    answering.close();
    EXPECT_TRUE(t.target->waitForClosed(1, 5s));
}

void recordsShareOneBudget(Hostile& t) {
    constexpr std::size_t kConnections = 8, kPdus = 16;
    std::vector<std::uint8_t> data(4096, 0x3D);
    for (std::size_t i = 0; i < kConnections; ++i) {
        Client c;
        t.loggedIn(c);
        for (std::size_t n = 0; n < kPdus; ++n)
            ASSERT_TRUE(c.send(nopOut(0x00, false, 0xFFFFFFFF, 0xFFFFFFFF, 0, 4096), data));
        ASSERT_TRUE(t.target->waitForPdus(i, kPdus + 2, 5s));
    }
    std::size_t kept = 0, dropped = 0;
    for (std::size_t i = 0; i < kConnections; ++i) {
        for (const auto& pdu : t.target->pdus(i))
            kept += sizeof pdu + pdu.data.size();
        if (auto info = t.target->connection(i))
            dropped += info->droppedRecords;
    }
    EXPECT_LE(kept, t.config.recordBudget);
    EXPECT_GT(dropped, 0u);
    auto newest = t.target->pdus(kConnections - 1);
    ASSERT_FALSE(newest.empty());
    EXPECT_EQ(newest.back().data.size(), 4096u) << "the newest PDUs are the ones kept";
    EXPECT_TRUE(t.target->pdus(0).empty()) << "the oldest went first";
}

const Attack kAttacks[] = {
    {"SparseMemoryLun", [](TargetConfig& c) { c.luns = {"1G"}; }, nullptr, sparseMemoryLun},
    {"MemoryLunLargerThanTheMachine", [](TargetConfig& c) { c.luns = {"16T"}; },
     "larger than this machine's memory", nullptr},
    {"LunSizeWithAFraction", [](TargetConfig& c) { c.luns = {"1.5G"}; }, "whole number", nullptr},
    {"LunFileMissing", [](TargetConfig& c) { c.luns = {"/nonexistent/quevi.img"}; },
     "cannot open LUN file", nullptr},
    {"ClosedConnectionsKeepOnlyTheirRecord", [](TargetConfig&) {}, nullptr,
     closedConnectionsKeepOnlyTheirRecord},
    {"OutOfRangeValuesAreRejected", [](TargetConfig&) {}, nullptr, outOfRangeValuesAreRejected},
    {"JoinUnderAnotherInitiatorName", [](TargetConfig&) {}, nullptr, joinUnderAnotherInitiatorName},
    {"DuplicateKeyInLogin", [](TargetConfig&) {}, nullptr, duplicateKeyInLogin},
    {"DuplicateKeyInLoginText", [](TargetConfig&) {}, nullptr, duplicateKeyInLoginText},
    {"DuplicateKeyInFullFeatureText", [](TargetConfig&) {}, nullptr, duplicateKeyInFullFeatureText},
    {"ConnectStorm", [](TargetConfig& c) { c.record = false; }, nullptr, connectStorm},
    {"IdleSessionsArePingedAndDroppedWhenSilent",
     [](TargetConfig& c) {
         c.idleTimeout = c.pingTimeout = 300ms;
         c.maxSessions = 1;
     },
     nullptr, idleSessionsArePingedAndDroppedWhenSilent},
    {"RecordsShareOneBudget", [](TargetConfig& c) { c.recordBudget = 160 << 10; }, nullptr,
     recordsShareOneBudget},
};

TEST_P(Hostile, IsRefusedWithinBoundsAndTheTargetGoesOnServing) {
    const Attack& attack = GetParam();
    attack.configure(config);
    if (attack.startError) {
        Target refused(config);
        std::string error;
        ASSERT_FALSE(refused.start(&error));
        EXPECT_NE(error.find(attack.startError), std::string::npos) << error;
        return;
    }
    startTarget();
    attack.play(*this);
    Client well;
    loggedIn(well);
    EXPECT_TRUE(well.testUnitReady().ok);
}

INSTANTIATE_TEST_SUITE_P(Target, Hostile, ::testing::ValuesIn(kAttacks),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace quevi::target::test
