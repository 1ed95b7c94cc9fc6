// Measures the target alone: an in-process target with a memory LUN and a minimal client on
// loopback that logs in and then reads or writes at a fixed queue depth. Prints MB/s for 64 KiB
// and 256 KiB reads and writes and IOPS for 4 KiB, for the initiator's default DataPDULength (16,
// 8 KiB PDUs) and for 512 (256 KiB PDUs), with the CPU time (target and client together) each
// command cost.
//
//   target_bench [--seconds S] [--depth D]
#include "target/target.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace {

void put32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}
std::uint32_t get32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}
void put24(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 16);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v);
}
std::uint32_t get24(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 16) | (p[1] << 8) | p[2];
}

class BenchClient {
public:
    ~BenchClient() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool connect(std::uint16_t port) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    bool send(const std::uint8_t* h, const std::uint8_t* data, std::size_t n) {
        static const std::uint8_t pad[4] = {};
        iovec iov[3] = {{const_cast<std::uint8_t*>(h), 48},
                        {const_cast<std::uint8_t*>(data), n},
                        {const_cast<std::uint8_t*>(pad), ((n + 3) & ~std::size_t{3}) - n}};
        std::size_t total = 48 + ((n + 3) & ~std::size_t{3});
        std::size_t done = 0;
        int first = 0;
        int count = n ? 3 : 1;
        while (done < total) {
            ssize_t w = writev(fd_, iov + first, count - first);
            if (w <= 0)
                return false;
            done += static_cast<std::size_t>(w);
            auto left = static_cast<std::size_t>(w);
            while (first < count && left >= iov[first].iov_len)
                left -= iov[first++].iov_len;
            if (first < count) {
                iov[first].iov_base = static_cast<std::uint8_t*>(iov[first].iov_base) + left;
                iov[first].iov_len -= left;
            }
        }
        return true;
    }
    // Buffered: one recv takes whatever has arrived, so a burst of PDUs costs one wake-up.
    bool read(std::uint8_t* p, std::size_t n) {
        while (n > 0) {
            if (head_ == tail_) {
                ssize_t r = recv(fd_, in_.data(), in_.size(), 0);
                if (r <= 0)
                    return false;
                head_ = 0;
                tail_ = static_cast<std::size_t>(r);
            }
            std::size_t k = std::min(n, tail_ - head_);
            std::memcpy(p, in_.data() + head_, k);
            head_ += k;
            p += k;
            n -= k;
        }
        return true;
    }
    // Reads one PDU: its header, and its data into `data` (which must be large enough).
    bool pdu(std::uint8_t* h, std::uint8_t* data) {
        if (!read(h, 48))
            return false;
        std::uint32_t n = (get24(h + 5) + 3) & ~3u;
        return n == 0 || read(data, n);
    }
    bool login(unsigned dataPduLength) {
        std::string text = std::string("InitiatorName=iqn.bench\0TargetName=quevi-target\0", 48);
        std::uint8_t h[48] = {0x03, 0, 1, 2};
        put24(h + 5, static_cast<std::uint32_t>(text.size()));
        h[9] = 1;
        h[13] = 1;
        put32(h + 24, cmdSN_++);
        std::vector<std::uint8_t> buf(65536);
        if (!send(h, reinterpret_cast<const std::uint8_t*>(text.data()), text.size()) ||
            !pdu(h, buf.data()) || h[0] != 0xE3 || h[36] != 0)
            return false;
        std::string offer = "DataPDULength=" + std::to_string(dataPduLength) + '\0';
        std::memset(h, 0, 48);
        h[0] = 0x04;
        h[1] = 0x05;
        put24(h + 5, static_cast<std::uint32_t>(offer.size()));
        put32(h + 24, cmdSN_++);
        if (!send(h, reinterpret_cast<const std::uint8_t*>(offer.data()), offer.size()) ||
            !pdu(h, buf.data()) || h[0] != 0xE4)
            return false;
        std::memset(h, 0, 48);
        h[0] = 0x04;
        h[1] = 0x8D;
        put32(h + 24, cmdSN_++);
        if (!send(h, nullptr, 0) || !pdu(h, buf.data()) || h[0] != 0xE3 || !(h[1] & 0x80))
            return false;
        pduBytes_ = dataPduLength * 512;
        return true;
    }
    bool command(bool write, std::uint32_t lba, std::uint32_t bytes, const std::uint8_t* data) {
        std::uint8_t h[48] = {0x01, static_cast<std::uint8_t>(write ? 0xA0 : 0xC0)};
        std::uint32_t immediate = write ? std::min(bytes, pduBytes_) : 0;
        put24(h + 5, immediate);
        put32(h + 16, itt_++);
        put32(h + 20, bytes);
        put32(h + 24, cmdSN_++);
        h[32] = write ? 0x2A : 0x28;
        put32(h + 34, lba);
        std::uint32_t blocks = bytes / 512;
        h[39] = static_cast<std::uint8_t>(blocks >> 8);
        h[40] = static_cast<std::uint8_t>(blocks);
        return send(h, data, immediate);
    }
    // Serves PDUs until one command completes; answers R2Ts from `data`.
    bool complete(std::uint8_t* buf, const std::uint8_t* data) {
        std::uint8_t h[48];
        for (;;) {
            if (!pdu(h, buf))
                return false;
            if (h[0] == 0xE5 && (h[1] & 0x01))
                return h[3] == 0;
            if (h[0] == 0xE1)
                return h[2] == 0;
            if (h[0] == 0xF1) {
                std::uint32_t off = get32(h + 40), len = get32(h + 44), sn = 0;
                while (len > 0) {
                    std::uint32_t chunk = std::min(len, pduBytes_);
                    std::uint8_t o[48] = {0x05, static_cast<std::uint8_t>(chunk == len ? 0x80 : 0)};
                    put24(o + 5, chunk);
                    std::memcpy(o + 16, h + 16, 8); // task tag and transfer tag
                    put32(o + 36, sn++);
                    put32(o + 40, off);
                    if (!send(o, data + off, chunk))
                        return false;
                    off += chunk;
                    len -= chunk;
                }
            }
        }
    }

private:
    int fd_ = -1;
    std::uint32_t cmdSN_ = 1;
    std::uint32_t itt_ = 1;
    std::uint32_t pduBytes_ = 8192;
    std::vector<std::uint8_t> in_ = std::vector<std::uint8_t>(1 << 20);
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
};

struct Figure {
    double mbps;
    double iops;
    double cpuPerOp; // microseconds of CPU (target and client together) per command
};

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

Figure run(std::uint16_t port, unsigned dataPduLength, bool write, std::uint32_t bytes,
           unsigned depth, double seconds) {
    BenchClient c;
    if (!c.connect(port) || !c.login(dataPduLength)) {
        std::fprintf(stderr, "login failed\n");
        std::exit(1);
    }
    std::vector<std::uint8_t> data(bytes, 0x5A), buf(1 << 20);
    const std::uint32_t span = (256u << 20) / 512 - bytes / 512;
    std::uint32_t lba = 0;
    auto next = [&] {
        lba = (lba + bytes / 512) % span;
        return lba;
    };
    for (unsigned i = 0; i < depth; ++i)
        c.command(write, next(), bytes, data.data());
    double cpuStart = cpuSeconds();
    auto start = std::chrono::steady_clock::now();
    auto end = start + std::chrono::duration<double>(seconds);
    std::uint64_t done = 0;
    while (std::chrono::steady_clock::now() < end) {
        if (!c.complete(buf.data(), data.data())) {
            std::fprintf(stderr, "command failed\n");
            std::exit(1);
        }
        ++done;
        c.command(write, next(), bytes, data.data());
    }
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double cpu = cpuSeconds() - cpuStart;
    for (unsigned i = 0; i < depth; ++i)
        c.complete(buf.data(), data.data());
    return {static_cast<double>(done) * bytes / elapsed / 1e6, static_cast<double>(done) / elapsed,
            cpu / static_cast<double>(std::max<std::uint64_t>(done, 1)) * 1e6};
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 2.0;
    unsigned depth = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--depth") == 0)
            depth = static_cast<unsigned>(std::atoi(argv[i + 1]));
    }
    quevi::target::TargetConfig config;
    config.luns = {"256M"};
    config.record = false;
    quevi::target::Target target(config);
    std::string error;
    if (!target.start(&error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::printf("target alone, loopback, queue depth %u, %.1f s per case\n", depth, seconds);
    for (unsigned pdu : {16u, 512u}) {
        std::printf("DataPDULength %u (%u-byte PDUs)\n", pdu, pdu * 512);
        for (std::uint32_t size : {65536u, 262144u}) {
            Figure r = run(target.port(), pdu, false, size, depth, seconds);
            Figure w = run(target.port(), pdu, true, size, depth, seconds);
            std::printf("  %3u KiB  read %8.1f MB/s (%5.0f us CPU/op)   write %8.1f MB/s (%5.0f us "
                        "CPU/op)\n",
                        size / 1024, r.mbps, r.cpuPerOp, w.mbps, w.cpuPerOp);
        }
        Figure r = run(target.port(), pdu, false, 4096, depth, seconds);
        Figure w = run(target.port(), pdu, true, 4096, depth, seconds);
        std::printf("    4 KiB  read %8.0f IOPS (%5.0f us CPU/op)   write %8.0f IOPS (%5.0f us "
                    "CPU/op)\n",
                    r.iops, r.cpuPerOp, w.iops, w.cpuPerOp);
    }
    target.stop();
    return 0;
}
