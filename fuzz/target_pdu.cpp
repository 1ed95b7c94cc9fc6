// The target's reading of a connection: the input is the byte stream an initiator sends on one
// connection (Login, Text, SCSI Command, Data-Out, NOP-Out, Task Management, Logout PDUs, in
// any order and shape). A real target connection serves it over a socket pair, through the
// login phase into the full feature phase, over two memory LUNs; the harness plays the peer,
// drains every answer and closes when the input is spent. Any crash, sanitizer report or hang
// (libFuzzer's -timeout) is a finding.
#include "target/target.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using quevi::target::Target;

Target& target() {
    static Target* t = [] {
        quevi::target::TargetConfig config;
        config.luns = {"1M", "64K"};
        config.recordBudget = 0; // records pass through and go: no memory kept between inputs
        config.idleTimeout = std::chrono::milliseconds(0);
        auto* started = new Target(config);
        std::string error;
        if (!started->start(&error)) {
            std::fprintf(stderr, "target: %s\n", error.c_str());
            std::abort();
        }
        return started;
    }();
    return *t;
}

// The initiator's end: sends the input, then half-closes, reading all along so that the
// target never waits for room; ends when the target closes.
void initiator(int fd, const std::uint8_t* data, std::size_t size) {
    std::size_t sent = 0;
    bool halfClosed = false;
    static thread_local std::uint8_t sink[1 << 16];
    for (;;) {
        if (!halfClosed && sent == size) {
            ::shutdown(fd, SHUT_WR);
            halfClosed = true;
        }
        pollfd p{fd, static_cast<short>(POLLIN | (halfClosed ? 0 : POLLOUT)), 0};
        if (::poll(&p, 1, 30000) <= 0)
            break;
        if (!halfClosed && (p.revents & POLLOUT)) {
            ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                sent = size; // the target has gone: stop sending
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = ::recv(fd, sink, sizeof sink, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                break;
        }
    }
    ::close(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Target& t = target();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        std::abort();
    std::thread peer(initiator, pair[1], data, size);
    t.serve(pair[0]);
    peer.join();
    return 0;
}
