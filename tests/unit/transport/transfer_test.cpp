// Writing PDUs and reading exact byte counts over a loopback connection.
#include "transport_fixture.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>
#include <sys/ioctl.h>
#include <thread>
#include <vector>

using namespace transporttest;
using namespace std::chrono_literals;

namespace {

// Waits (boundedly) until the condition holds.
template <class F>
bool eventually(F condition) {
    for (int i = 0; i < 5000; i++) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// Far more than the small buffers of a stalled connection hold (small send and receive buffers, a
// peer that does not read).
constexpr ULONG kHugeData = 4u << 20;

} // namespace

TEST_F(TransportTest, WriteSendsHeaderAndDataTogetherInOneSend) {
    connectNew();
    traceFrom(4);
    std::vector<uint8_t> header = pattern(48, 1);
    std::vector<uint8_t> data = pattern(1032, 9);
    EXPECT_EQ(iscsiOSwriteToConnection(sock_, header.data(), 48, data.data(), 1024, 0, 8), 1072);
    EXPECT_EQ(deviceLog().sendmsgCalls.load(), 1);
    EXPECT_EQ(traces(), "iscsiOSwriteToConnection: sending iSCSI header and data together\n"
                        "iscsiOSwriteToConnection: IoCallDriver returned 0\n"
                        "iscsiOSwriteToConnection: returning with rc = 430\n");
    std::vector<uint8_t> expected = header;
    expected.insert(expected.end(), data.begin() + 8, data.begin() + 8 + 1024);
    EXPECT_EQ(recvExact(peer_, 1072), expected);

    // A PDU write pads with zeros of its own and reads nothing behind the data.
    EXPECT_EQ(iscsiOSwritePdu(sock_, header.data(), data.data(), 5, 8), 56);
    EXPECT_EQ(deviceLog().sendmsgCalls.load(), 2);
    expected.assign(header.begin(), header.end());
    expected.insert(expected.end(), data.begin() + 8, data.begin() + 13);
    expected.insert(expected.end(), 3, 0);
    EXPECT_EQ(recvExact(peer_, 56), expected);
}

TEST_F(TransportTest, WriteWithDataButLengthZeroSendsOnlyTheHeader) {
    connectNew();
    std::vector<uint8_t> first = pattern(48, 3);
    std::vector<uint8_t> second = pattern(48, 77);
    std::vector<uint8_t> data = pattern(64, 5);
    EXPECT_EQ(iscsiOSwriteToConnection(sock_, first.data(), 48, data.data(), 0, 0, 0), 48);
    EXPECT_EQ(iscsiOSwriteToConnection(sock_, second.data(), 48, nullptr, 0, 0, 0), 48);
    std::vector<uint8_t> expected = first;
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(recvExact(peer_, 96), expected);
}

TEST_F(TransportTest, PartialSendsAreCarriedOnUntilThePduIsComplete) {
    connectNew();
    std::vector<uint8_t> header = pattern(48, 11);
    std::vector<uint8_t> data = pattern(100, 13);
    std::vector<uint8_t> expected = header;
    expected.insert(expected.end(), data.begin(), data.end());
    // Cuts inside the header, at its end, and across into the data.
    for (int cap : {1, 7, 48, 50, 147}) {
        deviceLog().sendCap = cap;
        deviceLog().sendmsgCalls = 0;
        EXPECT_EQ(iscsiOSwriteToConnection(sock_, header.data(), 48, data.data(), 100, 0, 0), 148)
            << cap;
        EXPECT_EQ(deviceLog().sendmsgCalls.load(), (148 + cap - 1) / cap) << cap;
        EXPECT_EQ(recvExact(peer_, 148), expected) << cap;
    }
}

TEST_F(TransportTest, WriteOnARecordThatIsNotConnectedTouchesNoSocket) {
    Listener listener;
    ASSERT_EQ(iscsiOSallocateConnection(LOOPBACK, listener.port(), &sock_), 0);
    UCHAR header[48] = {};
    EXPECT_EQ(iscsiOSwriteToConnection(sock_, header, 48, nullptr, 0, 0, 0), ISCSI_FAILURE);

    ASSERT_EQ(iscsiOSmakeConnection(LOOPBACK, listener.port(), sock_), 0);
    peer_ = listener.accept();
    ASSERT_EQ(iscsiOSbreakConnection(sock_), 0);
    deviceLog().reset();
    EXPECT_EQ(iscsiOSwriteToConnection(sock_, header, 48, nullptr, 0, 0, 0), ISCSI_FAILURE);
    EXPECT_EQ(deviceLog().sendmsgCalls.load(), 0);
    EXPECT_EQ(deviceLog().pollCalls.load(), 0);
}

TEST_F(TransportTest, WriteRefusesANullRecordOrHeader) {
    connectNew();
    UCHAR header[48] = {};
    EXPECT_EQ(iscsiOSwriteToConnection(nullptr, header, 48, nullptr, 0, 0, 0), ISCSI_FAILURE);
    EXPECT_EQ(iscsiOSwriteToConnection(sock_, nullptr, 48, nullptr, 0, 0, 0), ISCSI_FAILURE);
    EXPECT_EQ(iscsiOSwriteToConnection(sock_, header, 48, nullptr, 8, 0, 0), ISCSI_FAILURE);
    EXPECT_EQ(deviceLog().sendmsgCalls.load(), 0);
}

TEST_F(TransportTest, BreakReleasesABlockedWriter) {
    // Long enough a send limit that only the break can end the write.
    qvk::setTimeScale(0.2);
    deviceLog().sendBuffer = 4096;
    connectNew(8, 4096);
    std::vector<uint8_t> data(kHugeData, 0x5A);
    UCHAR header[48] = {};
    auto writer = std::async(std::launch::async, [&] {
        return iscsiOSwriteToConnection(sock_, header, 48, data.data(), kHugeData, 0, 0);
    });
    ASSERT_TRUE(eventually([] { return deviceLog().pollsWaiting.load() > 0; }));
    // A second write meanwhile is refused without a send.
    int sends = deviceLog().sendmsgCalls.load();
    EXPECT_EQ(iscsiOSwriteToConnection(sock_, header, 48, nullptr, 0, 0, 0), ISCSI_FAILURE);
    EXPECT_EQ(deviceLog().sendmsgCalls.load(), sends);
    EXPECT_EQ(iscsiOSbreakConnection(sock_), 0);
    ASSERT_EQ(writer.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(writer.get(), ISCSI_FAILURE);
}

TEST_F(TransportTest, SendNotDoneInSixSecondsFailsAndResetsTheConnection) {
    deviceLog().sendBuffer = 4096;
    connectNew(8, 4096);
    std::vector<uint8_t> data(kHugeData, 0x5A);
    UCHAR header[48] = {};
    double start = kernelSeconds();
    EXPECT_EQ(iscsiOSwriteToConnection(sock_, header, 48, data.data(), kHugeData, 0, 0),
              ISCSI_FAILURE);
    EXPECT_GE(kernelSeconds() - start, 6.0);
    // Part of the PDU went out: the stream cannot carry another one, so it was reset.
    EXPECT_TRUE(streamEnds(peer_));
    EXPECT_EQ(iscsiOSwriteToConnection(sock_, header, 48, nullptr, 0, 0, 0), ISCSI_FAILURE);
}

TEST_F(TransportTest, ReadPlacesExactlyLengthBytesAtTheOffset) {
    connectNew();
    traceFrom(4);
    std::vector<uint8_t> sent = pattern(100, 21);
    ASSERT_TRUE(sendAll(peer_, sent.data(), sent.size()));
    ASSERT_TRUE(sendAll(peer_, "tail", 4));
    std::vector<uint8_t> buffer(140, 0xEE);
    ASSERT_TRUE(eventually([&] {
        // Wait until all 104 bytes are in, so that one receive takes them.
        int pending = 0;
        (void)::ioctl(sock_->connectionHandle, FIONREAD, &pending);
        return pending == 104;
    }));
    EXPECT_EQ(iscsiOSreadFromConnection(sock_, buffer.data(), 100, 0, 16), 100);
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), buffer.begin() + 16));
    EXPECT_TRUE(
        std::all_of(buffer.begin(), buffer.begin() + 16, [](uint8_t b) { return b == 0xEE; }));
    EXPECT_TRUE(
        std::all_of(buffer.begin() + 116, buffer.end(), [](uint8_t b) { return b == 0xEE; }));
    // Data already there completes the receive at once.
    EXPECT_EQ(traces(), "iscsiOSreadFromConnection: need to read 64 bytes within ffffffff "
                        "milliseconds\n"
                        "iscsiOSreadFromConnection: IoCallDriver returned 0\n"
                        "iscsiOSreadFromConnection: cancelling IRP because IoCallDriver rc != "
                        "STATUS_PENDING\n"
                        "iscsiOSreadFromConnection: bytesRead = 64, pSock->rcvBytes = 64\n"
                        "iscsiOSreadFromConnection: returning with rc = 64\n");
    char tail[4] = {};
    EXPECT_EQ(iscsiOSreadFromConnection(sock_, tail, 4, 0, 0), 4);
    EXPECT_EQ(std::memcmp(tail, "tail", 4), 0);
    EXPECT_EQ(iscsiOSreadFromConnection(sock_, tail, 0, 0, 0), 0);
}

TEST_F(TransportTest, AHeaderArrivingInTwoPiecesIsGatheredWhole) {
    connectNew();
    std::vector<uint8_t> header = pattern(48, 31);
    std::vector<uint8_t> buffer(48);
    auto reader = std::async(std::launch::async, [&] {
        return iscsiOSreadFromConnection(sock_, buffer.data(), 48, 0, 0);
    });
    ASSERT_TRUE(sendAll(peer_, header.data(), 20));
    EXPECT_EQ(reader.wait_for(100ms), std::future_status::timeout) << "20 of 48 bytes";
    ASSERT_TRUE(sendAll(peer_, header.data() + 20, 28));
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reader.get(), 48);
    EXPECT_EQ(buffer, header);
    // The reader waits for the rest of the header, not for every piece: at most two receives.
    EXPECT_LE(deviceLog().recvmsgWithData.load(), 2);
}

TEST_F(TransportTest, EachReceiveWaitsTheLimitTruncatedToWholeSeconds) {
    // A clock at 1/10, so that a second lasts 100 ms; waits are measured on the kernel clock.
    qvk::setTimeScale(0.1);
    connectNew();
    UCHAR buffer[48];
    struct Case {
        ULONG timeoutMs;
        double seconds; // the wait, in kernel seconds
    };
    for (Case c : {Case{2000, 2}, Case{1999, 1}, Case{500, 0}, Case{999, 0}, Case{7000, 7}}) {
        double start = kernelSeconds();
        LONG got = c.timeoutMs == 7000
                       ? iscsiOSreadFromConnection2(sock_, buffer, 48, 0, 0)
                       : iscsiOSreadFromConnection3(sock_, buffer, 48, 0, 0, c.timeoutMs);
        double waited = kernelSeconds() - start;
        EXPECT_EQ(got, ISCSI_FAILURE) << c.timeoutMs;
        EXPECT_GE(waited, c.seconds) << c.timeoutMs;
        EXPECT_LT(waited, c.seconds + 0.9) << c.timeoutMs; // slack for a loaded machine
    }
}

TEST_F(TransportTest, AReadThatTimedOutLeavesNothingPendingAndLosesNoData) {
    connectNew();
    UCHAR buffer[48];
    double start = kernelSeconds();
    EXPECT_EQ(iscsiOSreadFromConnection2(sock_, buffer, 48, 0, 0), ISCSI_FAILURE);
    EXPECT_GE(kernelSeconds() - start, 7.0);
    std::vector<uint8_t> later = pattern(48, 41);
    ASSERT_TRUE(sendAll(peer_, later.data(), later.size()));
    EXPECT_EQ(iscsiOSreadFromConnection(sock_, buffer, 48, 0, 0), 48);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 48), later);
}

TEST_F(TransportTest, BreakReleasesAReaderWaitingWithoutLimit) {
    connectNew();
    deviceLog().firstPollTimeout = -2;
    UCHAR buffer[48];
    auto reader = std::async(std::launch::async,
                             [&] { return iscsiOSreadFromConnection(sock_, buffer, 48, 0, 0); });
    ASSERT_TRUE(eventually([] { return deviceLog().pollsWaiting.load() > 0; }));
    EXPECT_EQ(deviceLog().firstPollTimeout.load(), -1); // no limit
    EXPECT_EQ(iscsiOSbreakConnection(sock_), 0);
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reader.get(), ISCSI_FAILURE);
    // From now on every read fails at once.
    EXPECT_EQ(iscsiOSreadFromConnection(sock_, buffer, 48, 0, 0), ISCSI_FAILURE);
}

TEST_F(TransportTest, ASocketBrokenUnderAReaderIsClosedOnlyWhenTheReaderLeaves) {
    connectNew();
    deviceLog().holdAfterPoll = true;
    UCHAR buffer[48];
    auto reader = std::async(std::launch::async,
                             [&] { return iscsiOSreadFromConnection(sock_, buffer, 48, 0, 0); });
    ASSERT_TRUE(eventually([] { return deviceLog().pollsWaiting.load() > 0; }));
    // The reader is woken by the break but held before it can leave: the descriptor it uses
    // must stay open (so that its number cannot be reused under it) until it has left.
    EXPECT_EQ(iscsiOSbreakConnection(sock_), 0);
    EXPECT_EQ(sock_->addressHandle, -1);
    EXPECT_EQ(deviceLog().closeCalls.load(), 0);
    deviceLog().holdAfterPoll = false;
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reader.get(), ISCSI_FAILURE);
    EXPECT_EQ(deviceLog().closeCalls.load(), 1);
}

TEST_F(TransportTest, AReaderLeavingWhileTheBreakShutsItsSocketDownLeavesTheCloseToTheBreak) {
    connectNew();
    deviceLog().holdAfterPoll = true;
    deviceLog().releaseOnShutdown = 2; // the close's shutdown; the first is the disconnect's
    UCHAR buffer[48];
    auto reader = std::async(std::launch::async, [&] {
        LONG rc = iscsiOSreadFromConnection(sock_, buffer, 48, 0, 0);
        deviceLog().ioDone = true;
        return rc;
    });
    ASSERT_TRUE(eventually([] { return deviceLog().pollsWaiting.load() > 0; }));
    EXPECT_EQ(iscsiOSbreakConnection(sock_), 0);
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(deviceLog().shutdownsOfClosed.load(), 0) << "shut down after its reader closed it";
    EXPECT_EQ(deviceLog().closeCalls.load(), 1);
}

TEST_F(TransportTest, ASecondReadAtTheSameTimeIsRefused) {
    connectNew();
    UCHAR buffer[48];
    auto reader = std::async(std::launch::async,
                             [&] { return iscsiOSreadFromConnection(sock_, buffer, 48, 0, 0); });
    ASSERT_TRUE(eventually([] { return deviceLog().pollsWaiting.load() > 0; }));
    UCHAR other[48];
    EXPECT_EQ(iscsiOSreadFromConnection(sock_, other, 48, 0, 0), ISCSI_FAILURE);
    std::vector<uint8_t> header = pattern(48, 61);
    ASSERT_TRUE(sendAll(peer_, header.data(), header.size()));
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reader.get(), 48);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 48), header);
}

TEST_F(TransportTest, AReadEndsWithFailureWhenThePeerClosesMidway) {
    connectNew();
    UCHAR buffer[48];
    auto reader = std::async(std::launch::async,
                             [&] { return iscsiOSreadFromConnection(sock_, buffer, 48, 0, 0); });
    ASSERT_TRUE(sendAll(peer_, "0123456789", 10));
    ::close(peer_);
    peer_ = -1;
    if (reader.wait_for(10s) != std::future_status::ready) {
        (void)iscsiOSbreakConnection(sock_); // release it so the test can end
        FAIL() << "the read did not end when the peer closed";
    }
    EXPECT_EQ(reader.get(), ISCSI_FAILURE);
}

TEST_F(TransportTest, ReadsFailOnANullOrUnconnectedRecord) {
    Listener listener;
    UCHAR buffer[48];
    EXPECT_EQ(iscsiOSreadFromConnection(nullptr, buffer, 48, 0, 0), ISCSI_FAILURE);
    ASSERT_EQ(iscsiOSallocateConnection(LOOPBACK, listener.port(), &sock_), 0);
    EXPECT_EQ(iscsiOSreadFromConnection(sock_, buffer, 48, 0, 0), ISCSI_FAILURE);
    EXPECT_EQ(deviceLog().recvmsgCalls.load(), 0);
}

TEST_F(TransportTest, AReconnectedRecordReadsAndWritesAgain) {
    connectNew();
    ASSERT_EQ(iscsiOSbreakConnection(sock_), 0);
    ::close(peer_);
    ASSERT_EQ(iscsiOSmakeConnection(LOOPBACK, listener_->port(), sock_), 0);
    peer_ = listener_->accept();
    ASSERT_GE(peer_, 0);
    std::vector<uint8_t> header = pattern(48, 51);
    EXPECT_EQ(iscsiOSwriteToConnection(sock_, header.data(), 48, nullptr, 0, 0, 0), 48);
    std::vector<uint8_t> echoed = recvExact(peer_, 48);
    ASSERT_TRUE(sendAll(peer_, echoed.data(), echoed.size()));
    UCHAR buffer[48];
    EXPECT_EQ(iscsiOSreadFromConnection(sock_, buffer, 48, 0, 0), 48);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 48), header);
}
