// The far end of the transport in tests: a listening TCP socket on 127.0.0.1 with bounded accept,
// send and receive helpers, and a table of socket calls that counts and can alter what the
// transport does (installed with tSetTcpDevice).
#pragma once

#include "driver/transport/transport.h"
#include "loopback.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace transporttest {

constexpr ULONG LOOPBACK = 0x7F000001; // 127.0.0.1

// A listening socket on 127.0.0.1, port chosen by the system.
class Listener {
public:
    // rcvbuf > 0 sets a small receive buffer that accepted sockets inherit.
    explicit Listener(int backlog = 8, int rcvbuf = 0);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    USHORT port() const { return port_; }
    int fd() const { return fd_; }
    // The next connection (owned by the caller), or -1 if none came within 5 seconds.
    int accept();

private:
    int fd_ = -1;
    USHORT port_ = 0;
};

// A port on 127.0.0.1 where nothing listens.
using testsupport::closedPort;

// Writes all bytes (blocking); false on failure.
bool sendAll(int fd, const void* data, size_t length);
// Reads exactly n bytes within 5 seconds; fewer on end of stream, error or time-out.
std::vector<uint8_t> recvExact(int fd, size_t n);
// Whether the stream ended (end of stream or reset) within 5 seconds, skipping data before it.
bool streamEnds(int fd);
// Bytes in 0..n-1 patterned so that a misplaced byte shows.
std::vector<uint8_t> pattern(size_t n, uint8_t seed);

// Counts of what the transport asked of the socket layer, and switches that alter it.
struct DeviceLog {
    std::atomic<int> sendmsgCalls{0};
    std::atomic<int> recvmsgCalls{0};
    std::atomic<int> recvmsgWithData{0};
    std::atomic<int> pollCalls{0};
    std::atomic<int> pollsWaiting{0};      // polls in progress
    std::atomic<int> firstPollTimeout{-2}; // time-out of the first poll since reset (-2: none)
    std::atomic<int> connectCalls{0};
    std::atomic<int> socketCalls{0};
    std::atomic<int> closeCalls{0};
    std::atomic<int> sendCap{0};    // > 0: each sendmsg sends at most this many bytes
    std::atomic<int> sendBuffer{0}; // > 0: the send buffer size of the transport's sockets
    // While set, a poll that returned holds its caller (up to 5 seconds) before giving it back.
    std::atomic<bool> holdAfterPoll{false};
    std::atomic<int> shutdownCalls{0};
    std::atomic<int> shutdownsOfClosed{0}; // shutdown calls on a descriptor already closed
    // The shutdown call with this number (from 1) first clears holdAfterPoll and waits (up to 5
    // seconds) until ioDone is set by the test.
    std::atomic<int> releaseOnShutdown{0};
    std::atomic<bool> ioDone{false};
    void reset();
};
DeviceLog& deviceLog();
// The counting table of socket calls.
const TCP_DEVICE* countingDevice();

} // namespace transporttest
