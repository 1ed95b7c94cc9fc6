// Allocating, connecting, breaking and freeing transport records.
#include "transport_fixture.h"

#include <arpa/inet.h>
#include <future>
#include <thread>
#include <vector>

using namespace transporttest;

namespace {

const char kConnected[] = "iscsiOSmakeConnection: CONNECTED to 0x7f000001\n";
// A failed connect returns at once: pacing further attempts is the caller's.
const char kNotConnected[] = "iscsiOSmakeConnection: NOT CONNECTED to 0x7f000001\n";

// Fills the listener's accept queue with connections nobody accepts, so that the next connection
// attempt gets no answer. Returns the sockets (to be closed by the caller); empty if the system
// answered every attempt.
std::vector<int> fillAcceptQueue(const Listener& listener) {
    std::vector<int> fillers;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(listener.port());
    a.sin_addr.s_addr = htonl(LOOPBACK);
    for (int i = 0; i < 16; i++) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        fillers.push_back(fd);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            continue;
        }
        pollfd entry = {fd, POLLOUT, 0};
        if (::poll(&entry, 1, 300) == 0) {
            return fillers; // this one got no answer: the queue is full
        }
    }
    for (int fd : fillers) {
        ::close(fd);
    }
    return {};
}

} // namespace

TEST_F(TransportTest, AllocateGivesANewRecordAndDestroyFreesIt) {
    ASSERT_EQ(iscsiOSallocateConnection(0x0A000102, 3260, &sock_), 0);
    EXPECT_EQ(qvk::poolOutstanding(ISCSI_POOL_TAG), 3u); // the record and its two requests
    iscsiOSdestroyConnection(sock_);
    sock_ = nullptr;
    EXPECT_EQ(qvk::poolOutstanding(ISCSI_POOL_TAG), 0u);
    EXPECT_EQ(deviceLog().socketCalls.load(), 0);
}

TEST_F(TransportTest, AllocationFailureAtEachStepLeavesNothingAllocated) {
    for (uint64_t nth = 1; nth <= 3; nth++) {
        PISCSI_SOCK sock = nullptr;
        qvk::poolFailNth(nth);
        EXPECT_EQ(iscsiOSallocateConnection(LOOPBACK, 3260, &sock), ISCSI_FAILURE) << nth;
        qvk::poolFailNth(0);
        EXPECT_EQ(sock, nullptr);
        EXPECT_EQ(qvk::poolOutstanding(ISCSI_POOL_TAG), 0u) << nth;
    }
}

TEST_F(TransportTest, MakeConnectsToTheRecordsOwnAddressAndTracesTheOutcome) {
    Listener listener;
    GlobalDebugLevel = 1;
    ASSERT_EQ(iscsiOSallocateConnection(LOOPBACK, listener.port(), &sock_), 0);
    // The port argument only serves the trace; the record's own port is used.
    EXPECT_EQ(iscsiOSmakeConnection(LOOPBACK, 1, sock_), 0);
    peer_ = listener.accept();
    EXPECT_GE(peer_, 0);
    EXPECT_EQ(sock_->sockState.get(), SOCK_CONNECTED);
    EXPECT_EQ(sock_->readWriteMustExit.get(), 0);
    EXPECT_GE(sock_->connectionHandle, 0);
    EXPECT_EQ(traces(), kConnected);
}

TEST_F(TransportTest, ConnectToAClosedPortFailsAndClosesTheSocket) {
    GlobalDebugLevel = 1;
    ASSERT_EQ(iscsiOSallocateConnection(LOOPBACK, closedPort(), &sock_), 0);
    for (int attempt = 1; attempt <= 2; attempt++) {
        int status = iscsiOSmakeConnection(LOOPBACK, sock_->portNum, sock_);
        EXPECT_EQ(status, STATUS_CONNECTION_REFUSED);
        EXPECT_EQ(sock_->sockState.get(), SOCK_DISCONNECTED);
        EXPECT_EQ(sock_->addressHandle, -1);
        EXPECT_EQ(sock_->connectionHandle, -1);
        EXPECT_EQ(traces(), kNotConnected);
        // A fresh socket for each attempt, and each one closed again.
        EXPECT_EQ(deviceLog().socketCalls.load(), attempt);
        EXPECT_EQ(deviceLog().closeCalls.load(), attempt);
    }
}

TEST_F(TransportTest, ConnectWithoutAnswerTimesOutAfterThreeSeconds) {
    Listener listener(0);
    std::vector<int> fillers = fillAcceptQueue(listener);
    if (fillers.empty()) {
        GTEST_SKIP() << "the system answered every connection attempt";
    }
    GlobalDebugLevel = 1;
    ASSERT_EQ(iscsiOSallocateConnection(LOOPBACK, listener.port(), &sock_), 0);
    double start = kernelSeconds();
    int status = iscsiOSmakeConnection(LOOPBACK, listener.port(), sock_);
    double elapsed = kernelSeconds() - start;
    EXPECT_EQ(status, STATUS_IO_TIMEOUT);
    EXPECT_GE(elapsed, 3.0); // the connect limit
    EXPECT_EQ(sock_->sockState.get(), SOCK_DISCONNECTED);
    EXPECT_EQ(sock_->addressHandle, -1);
    EXPECT_EQ(traces(), kNotConnected);
    for (int fd : fillers) {
        ::close(fd);
    }
}

TEST_F(TransportTest, RecordStaysUsableAfterAFailedConnect) {
    Listener listener;
    ASSERT_EQ(iscsiOSallocateConnection(LOOPBACK, listener.port(), &sock_), 0);
    // The first attempt goes where nothing listens.
    sock_->portNum = closedPort();
    EXPECT_NE(iscsiOSmakeConnection(LOOPBACK, sock_->portNum, sock_), 0);
    sock_->portNum = listener.port();
    EXPECT_EQ(iscsiOSmakeConnection(LOOPBACK, sock_->portNum, sock_), 0);
    peer_ = listener.accept();
    EXPECT_GE(peer_, 0);
    EXPECT_EQ(sock_->sockState.get(), SOCK_CONNECTED);
}

TEST_F(TransportTest, MakeOnAConnectedRecordBreaksTheOldConnectionFirst) {
    connectNew();
    int first = peer_;
    GlobalDebugLevel = 2;
    EXPECT_EQ(iscsiOSmakeConnection(LOOPBACK, listener_->port(), sock_), 0);
    std::string text = traces();
    size_t broke = text.find("iscsiOSbreakConnection: tDisconnectTarget returned 0\n");
    size_t connected = text.find(kConnected);
    ASSERT_NE(broke, std::string::npos) << text;
    ASSERT_NE(connected, std::string::npos) << text;
    EXPECT_LT(broke, connected);
    // The old stream ends; the new one carries data.
    EXPECT_TRUE(streamEnds(first));
    ::close(first);
    peer_ = listener_->accept();
    ASSERT_GE(peer_, 0);
    UCHAR header[48] = {0x3F};
    EXPECT_EQ(iscsiOSwriteToConnection(sock_, header, 48, nullptr, 0, 0, 0), 48);
    EXPECT_EQ(recvExact(peer_, 48).size(), 48u);
}

TEST_F(TransportTest, BreakClosesAbortivelyAndWaitsForNoReadOrWriteThatIsNotThere) {
    qvk::setTimeScale(1.0); // a wait for an exit event would take its real second
    connectNew();
    double start = kernelSeconds();
    EXPECT_EQ(iscsiOSbreakConnection(sock_), 0);
    // With no read and no write in progress nothing would set an exit event: no wait.
    EXPECT_LT(kernelSeconds() - start, 0.5);
    EXPECT_EQ(sock_->sockState.get(), SOCK_DISCONNECTED);
    EXPECT_EQ(sock_->readWriteMustExit.get(), 1);
    EXPECT_EQ(deviceLog().closeCalls.load(), 1);
    // Abortive: the far end sees the connection reset, not a graceful close it could answer.
    EXPECT_TRUE(streamEnds(peer_));
    char byte = 1;
    bool refused = false;
    for (int i = 0; i < 50 && !refused; i++) {
        refused = ::send(peer_, &byte, 1, MSG_NOSIGNAL) < 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(refused);
}

TEST_F(TransportTest, BreakWaitsForAReadInsideTheTransportUntilItLeaves) {
    connectNew();
    int fd = -1; // a read past its last look at the break (its data all received, say)
    ASSERT_TRUE(tIoEnter(sock_, TCP_IO_READ, &fd));
    qvk::setTimeScale(30.0); // the break's bound of a second lasts 30
    auto breaking = std::async(std::launch::async, [&] { return iscsiOSbreakConnection(sock_); });
    EXPECT_NE(breaking.wait_for(std::chrono::milliseconds(300)), std::future_status::ready);
    tIoLeave(sock_, TCP_IO_READ);
    EXPECT_EQ(breaking.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    qvk::setTimeScale(0.01);
}

TEST_F(TransportTest, BreakingABrokenRecordReturnsAtOnce) {
    connectNew();
    EXPECT_EQ(iscsiOSbreakConnection(sock_), 0);
    deviceLog().reset();
    double start = kernelSeconds();
    EXPECT_EQ(iscsiOSbreakConnection(sock_), 0);
    EXPECT_LT(kernelSeconds() - start, 1.0);
    EXPECT_EQ(deviceLog().closeCalls.load(), 0);
}

TEST_F(TransportTest, ANewRecordIsBrokenLikeAConnectedOneAndCanConnectAfterwards) {
    Listener listener;
    ASSERT_EQ(iscsiOSallocateConnection(LOOPBACK, listener.port(), &sock_), 0);
    EXPECT_EQ(iscsiOSbreakConnection(sock_), 0);
    EXPECT_EQ(sock_->sockState.get(), SOCK_DISCONNECTED);
    EXPECT_EQ(iscsiOSmakeConnection(LOOPBACK, listener.port(), sock_), 0);
    EXPECT_EQ(sock_->readWriteMustExit.get(), 0);
    peer_ = listener.accept();
    EXPECT_GE(peer_, 0);
}

TEST_F(TransportTest, ConcurrentBreaksCloseTheSocketOnce) {
    connectNew();
    int results[2] = {-2, -2};
    std::thread other([&] { results[0] = iscsiOSbreakConnection(sock_); });
    results[1] = iscsiOSbreakConnection(sock_);
    other.join();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(deviceLog().closeCalls.load(), 1);
}

TEST_F(TransportTest, NullRecordsAreRefused) {
    EXPECT_EQ(iscsiOSmakeConnection(LOOPBACK, 3260, nullptr), ISCSI_FAILURE);
    EXPECT_EQ(iscsiOSbreakConnection(nullptr), ISCSI_FAILURE);
}

TEST_F(TransportTest, DestroyOfAnUnbrokenRecordGivesItsSocketBack) {
    connectNew();
    iscsiOSdestroyConnection(sock_);
    sock_ = nullptr;
    EXPECT_EQ(deviceLog().closeCalls.load(), 1);
    EXPECT_TRUE(streamEnds(peer_));
}
