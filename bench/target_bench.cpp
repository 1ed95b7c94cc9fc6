// Measures the target alone: an in-process target with a memory LUN and a minimal client on
// loopback that logs in and then reads or writes at a fixed queue depth. For the initiator's
// default DataPDULength (16, 8 KiB PDUs) and for 512 (256 KiB PDUs) it prints MB/s for 64 KiB
// and 256 KiB reads and writes and IOPS for 4 KiB, as min / median / max over several runs of
// a fresh connection each, with the CPU time each command cost the target and the client.
//
//   target_bench [--seconds S per run, default 1] [--runs N, default 5] [--depth D, default 1]
#include "target/target.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
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
    // Queues one PDU (header, data, padding); flush() sends everything queued in one writev, so
    // the PDUs of a burst wake the target once, not once each.
    void queue(const std::uint8_t* h, const std::uint8_t* data, std::size_t n) {
        static const std::uint8_t pad[4] = {};
        iov_.push_back({const_cast<std::uint8_t*>(h), 48});
        if (n > 0) {
            iov_.push_back({const_cast<std::uint8_t*>(data), n});
            if (n % 4)
                iov_.push_back({const_cast<std::uint8_t*>(pad), 4 - n % 4});
        }
    }
    bool flush() {
        std::size_t first = 0;
        while (first < iov_.size()) {
            int count = static_cast<int>(std::min<std::size_t>(iov_.size() - first, IOV_MAX));
            ssize_t w = writev(fd_, iov_.data() + first, count);
            if (w <= 0)
                return false;
            auto left = static_cast<std::size_t>(w);
            while (first < iov_.size() && left >= iov_[first].iov_len)
                left -= iov_[first++].iov_len;
            if (first < iov_.size()) {
                iov_[first].iov_base = static_cast<std::uint8_t*>(iov_[first].iov_base) + left;
                iov_[first].iov_len -= left;
            }
        }
        iov_.clear();
        return true;
    }
    bool send(const std::uint8_t* h, const std::uint8_t* data, std::size_t n) {
        queue(h, data, n);
        return flush();
    }
    // Buffered: one recv takes whatever has arrived, so a burst of PDUs costs one wake-up. Like
    // the target, it stays awake for a little while after data before it sleeps in recv.
    bool read(std::uint8_t* p, std::size_t n) {
        while (n > 0) {
            if (head_ == tail_) {
                ssize_t r = recv(fd_, in_.data(), in_.size(), MSG_DONTWAIT);
                auto awakeUntil = lastData_ + std::chrono::microseconds(50);
                while (r < 0 && errno == EAGAIN && std::chrono::steady_clock::now() < awakeUntil) {
                    sched_yield();
                    r = recv(fd_, in_.data(), in_.size(), MSG_DONTWAIT);
                }
                if (r < 0 && errno == EAGAIN)
                    r = recv(fd_, in_.data(), in_.size(), 0);
                if (r <= 0)
                    return false;
                lastData_ = std::chrono::steady_clock::now();
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
                headers_.resize((len + pduBytes_ - 1) / pduBytes_);
                for (auto& o : headers_) {
                    std::uint32_t chunk = std::min(len, pduBytes_);
                    o = {0x05, static_cast<std::uint8_t>(chunk == len ? 0x80 : 0)};
                    put24(o.data() + 5, chunk);
                    std::memcpy(o.data() + 16, h + 16, 8); // task tag and transfer tag
                    put32(o.data() + 36, sn++);
                    put32(o.data() + 40, off);
                    queue(o.data(), data + off, chunk);
                    off += chunk;
                    len -= chunk;
                }
                if (!flush())
                    return false;
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
    std::chrono::steady_clock::time_point lastData_{};
    std::vector<iovec> iov_;
    std::vector<std::array<std::uint8_t, 48>> headers_; // Data-Out headers of one R2T
};

struct Figure {
    double mbps = 0;
    double iops = 0;
    double targetCpu = 0; // microseconds of the target's CPU per command
    double clientCpu = 0; // microseconds of this client's CPU per command
};

double cpuSeconds(int who) {
    timespec t{};
    clock_gettime(who, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
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
    double processStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    double clientStart = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
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
    double client = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - clientStart;
    double process = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processStart;
    for (unsigned i = 0; i < depth; ++i)
        c.complete(buf.data(), data.data());
    double ops = static_cast<double>(std::max<std::uint64_t>(done, 1));
    return {static_cast<double>(done) * bytes / elapsed / 1e6, static_cast<double>(done) / elapsed,
            (process - client) / ops * 1e6, client / ops * 1e6};
}

struct Spread {
    double min, median, max;
};

Spread spread(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return {v.front(), v[v.size() / 2], v.back()};
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 1.0;
    unsigned depth = 1;
    unsigned runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atof(argv[i + 1]);
        else if (std::strcmp(argv[i], "--depth") == 0)
            depth = static_cast<unsigned>(std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--runs") == 0)
            runs = std::max(1, std::atoi(argv[i + 1]));
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
    std::printf("target alone, loopback, queue depth %u, %u runs of %.1f s per case\n", depth, runs,
                seconds);
    std::printf("%-22s %28s   %s\n", "", "min / median / max",
                "CPU us/command, median: target + client");
    for (unsigned pdu : {16u, 512u}) {
        for (std::uint32_t size : {65536u, 262144u, 4096u}) {
            for (bool write : {false, true}) {
                std::vector<double> rate, targetCpu, clientCpu;
                for (unsigned r = 0; r < runs; ++r) {
                    Figure f = run(target.port(), pdu, write, size, depth, seconds);
                    rate.push_back(size == 4096 ? f.iops : f.mbps);
                    targetCpu.push_back(f.targetCpu);
                    clientCpu.push_back(f.clientCpu);
                }
                Spread s = spread(rate);
                char name[64];
                std::snprintf(name, sizeof name, "%3u KiB %-5s %3u KiB PDUs", size / 1024,
                              write ? "write" : "read", pdu / 2);
                std::printf("%-26s %7.0f / %7.0f / %7.0f %-4s  %5.0f + %5.0f\n", name, s.min,
                            s.median, s.max, size == 4096 ? "IOPS" : "MB/s",
                            spread(targetCpu).median, spread(clientCpu).median);
            }
        }
    }
    target.stop();
    return 0;
}
