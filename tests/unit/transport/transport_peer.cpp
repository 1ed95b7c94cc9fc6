#include "transport_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <thread>
#include <unistd.h>

namespace transporttest {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPeerLimit = std::chrono::seconds(5);

int millisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

sockaddr_in loopbackAddress(USHORT port) {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(LOOPBACK);
    return a;
}

int countingSocket(int domain, int type, int protocol) {
    deviceLog().socketCalls++;
    int fd = ::socket(domain, type, protocol);
    int size = deviceLog().sendBuffer.load();
    if (fd >= 0 && size > 0) {
        (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    return fd;
}

int countingConnect(int fd, const sockaddr* address, socklen_t length) {
    deviceLog().connectCalls++;
    return ::connect(fd, address, length);
}

int countingPoll(pollfd* fds, nfds_t count, int timeoutMs) {
    DeviceLog& log = deviceLog();
    int expected = -2;
    log.firstPollTimeout.compare_exchange_strong(expected, timeoutMs);
    log.pollCalls++;
    log.pollsWaiting++;
    int rc = ::poll(fds, count, timeoutMs);
    int saved = errno;
    for (int i = 0; i < 5000 && log.holdAfterPoll.load(); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    log.pollsWaiting--;
    errno = saved;
    return rc;
}

ssize_t countingSendmsg(int fd, const msghdr* message, int flags) {
    DeviceLog& log = deviceLog();
    log.sendmsgCalls++;
    int cap = log.sendCap.load();
    if (cap <= 0) {
        return ::sendmsg(fd, message, flags);
    }
    // Send a prefix of the chain of at most `cap` bytes, as a socket with little room would.
    iovec cut[4];
    msghdr shortened = *message;
    size_t n = 0;
    size_t budget = static_cast<size_t>(cap);
    for (size_t i = 0; i < message->msg_iovlen && i < 4 && budget != 0; i++) {
        cut[i] = message->msg_iov[i];
        if (cut[i].iov_len > budget) {
            cut[i].iov_len = budget;
        }
        budget -= cut[i].iov_len;
        n++;
    }
    shortened.msg_iov = cut;
    shortened.msg_iovlen = n;
    return ::sendmsg(fd, &shortened, flags);
}

ssize_t countingRecvmsg(int fd, msghdr* message, int flags) {
    DeviceLog& log = deviceLog();
    log.recvmsgCalls++;
    ssize_t n = ::recvmsg(fd, message, flags);
    int saved = errno;
    if (n > 0) {
        log.recvmsgWithData++;
    }
    errno = saved;
    return n;
}

int countingClose(int fd) {
    deviceLog().closeCalls++;
    return ::close(fd);
}

int countingShutdown(int fd, int how) {
    DeviceLog& log = deviceLog();
    if (++log.shutdownCalls == log.releaseOnShutdown) {
        log.holdAfterPoll = false;
        for (int i = 0; i < 5000 && !log.ioDone.load(); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    int rc = ::shutdown(fd, how);
    if (rc != 0 && errno == EBADF) {
        log.shutdownsOfClosed++;
    }
    return rc;
}

const TCP_DEVICE counting = {
    countingSocket,  ::bind,       countingConnect, countingPoll,     countingSendmsg,
    countingRecvmsg, ::getsockopt, ::setsockopt,    countingShutdown, countingClose,
};

} // namespace

Listener::Listener(int backlog, int rcvbuf) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    (void)::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (rcvbuf > 0) {
        (void)::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    }
    sockaddr_in a = loopbackAddress(0);
    (void)::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    (void)::listen(fd_, backlog);
    socklen_t length = sizeof a;
    (void)::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
}

Listener::~Listener() {
    ::close(fd_);
}

int Listener::accept() {
    pollfd entry = {fd_, POLLIN, 0};
    if (::poll(&entry, 1, 5000) != 1) {
        return -1;
    }
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

bool sendAll(int fd, const void* data, size_t length) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (length != 0) {
        ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> recvExact(int fd, size_t n) {
    std::vector<uint8_t> out(n);
    size_t got = 0;
    Clock::time_point deadline = Clock::now() + kPeerLimit;
    while (got < n) {
        pollfd entry = {fd, POLLIN, 0};
        if (::poll(&entry, 1, millisecondsLeft(deadline)) != 1) {
            break;
        }
        ssize_t r = ::recv(fd, out.data() + got, n - got, 0);
        if (r <= 0) {
            break;
        }
        got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
}

bool streamEnds(int fd) {
    Clock::time_point deadline = Clock::now() + kPeerLimit;
    uint8_t sink[65536];
    for (;;) {
        pollfd entry = {fd, POLLIN, 0};
        if (::poll(&entry, 1, millisecondsLeft(deadline)) != 1) {
            return false;
        }
        ssize_t r = ::recv(fd, sink, sizeof sink, 0);
        if (r <= 0) {
            return true;
        }
    }
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) {
        v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    return v;
}

DeviceLog& deviceLog() {
    static DeviceLog log;
    return log;
}

void DeviceLog::reset() {
    sendmsgCalls = 0;
    recvmsgCalls = 0;
    recvmsgWithData = 0;
    pollCalls = 0;
    pollsWaiting = 0;
    firstPollTimeout = -2;
    connectCalls = 0;
    socketCalls = 0;
    closeCalls = 0;
    sendCap = 0;
    sendBuffer = 0;
    holdAfterPoll = false;
    shutdownCalls = 0;
    shutdownsOfClosed = 0;
    releaseOnShutdown = 0;
    ioDone = false;
}

const TCP_DEVICE* countingDevice() {
    return &counting;
}

} // namespace transporttest
