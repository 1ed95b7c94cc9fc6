#include "system_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace systest {

USHORT closedPort() {
    // Bind a port and close it again: nothing listens there afterwards.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

std::vector<std::string> pairsOf(const std::vector<uint8_t>& data) {
    std::vector<std::string> out;
    std::string cur;
    for (uint8_t b : data) {
        if (b == 0) {
            if (!cur.empty()) {
                out.push_back(cur);
            }
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(b));
        }
    }
    if (!cur.empty()) {
        out.push_back(cur);
    }
    return out;
}

uint32_t be32(const tgt::Header& h, int o) {
    return uint32_t{h[o]} << 24 | uint32_t{h[o + 1]} << 16 | uint32_t{h[o + 2]} << 8 | h[o + 3];
}

uint16_t be16(const tgt::Header& h, int o) {
    return static_cast<uint16_t>(h[o] << 8 | h[o + 1]);
}

} // namespace systest
