#include "test_client.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quevi::target::test {

std::string pairs(std::initializer_list<std::string_view> items) {
    std::string s;
    for (auto i : items) {
        s.append(i);
        s.push_back('\0');
    }
    return s;
}

std::span<const std::uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

Bytes48 loginRequest(std::uint16_t isid, std::uint16_t tsid, std::uint16_t cid, std::uint32_t itt,
                     std::uint32_t cmdSN, std::uint32_t length) {
    Bytes48 h{};
    h[0] = 0x03;
    h[2] = 0x01;
    h[3] = 0x02;
    putBe24(h, 5, length);
    putBe16(h, 8, cid);
    putBe16(h, 12, isid);
    putBe16(h, 14, tsid);
    putBe32(h, 16, itt);
    putBe32(h, 24, cmdSN);
    return h;
}

Bytes48 textRequest(std::uint8_t flags, std::uint32_t itt, std::uint32_t cmdSN,
                    std::uint32_t expStatSN, std::uint32_t length) {
    Bytes48 h{};
    h[0] = 0x04;
    h[1] = flags;
    putBe24(h, 5, length);
    putBe32(h, 16, itt);
    putBe32(h, 24, cmdSN);
    putBe32(h, 28, expStatSN);
    return h;
}

Bytes48 scsiCommand(std::uint8_t flags, std::uint8_t lun, std::uint32_t itt, std::uint32_t edtl,
                    std::uint32_t cmdSN, std::uint32_t expStatSN,
                    std::initializer_list<std::uint8_t> cdb, std::uint32_t immediate) {
    Bytes48 h{};
    h[0] = 0x01;
    h[1] = flags;
    putBe24(h, 5, immediate);
    h[9] = lun;
    putBe32(h, 16, itt);
    putBe32(h, 20, edtl);
    putBe32(h, 24, cmdSN);
    putBe32(h, 28, expStatSN);
    std::size_t i = 32;
    for (auto b : cdb)
        h[i++] = b;
    return h;
}

Bytes48 dataOut(bool final, std::uint32_t itt, std::uint32_t ttt, std::uint32_t dataSN,
                std::uint32_t offset, std::uint32_t length) {
    Bytes48 h{};
    h[0] = 0x05;
    h[1] = final ? 0x80 : 0;
    putBe24(h, 5, length);
    putBe32(h, 16, itt);
    putBe32(h, 20, ttt);
    putBe32(h, 36, dataSN);
    putBe32(h, 40, offset);
    return h;
}

Bytes48 nopOut(std::uint8_t opcode, bool wantAnswer, std::uint32_t itt, std::uint32_t ttt,
               std::uint32_t cmdSN, std::uint32_t length) {
    Bytes48 h{};
    h[0] = opcode;
    h[1] = wantAnswer ? 0x80 : 0;
    putBe24(h, 5, length);
    putBe32(h, 16, itt);
    putBe32(h, 20, ttt);
    putBe32(h, 24, cmdSN);
    return h;
}

std::vector<std::uint8_t> read10(std::uint32_t lba, std::uint16_t blocks) {
    std::vector<std::uint8_t> c(10, 0);
    c[0] = 0x28;
    putBe32(c, 2, lba);
    putBe16(c, 7, blocks);
    return c;
}

std::vector<std::uint8_t> write10(std::uint32_t lba, std::uint16_t blocks) {
    auto c = read10(lba, blocks);
    c[0] = 0x2A;
    return c;
}

Client::~Client() {
    close();
}

void Client::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool Client::connect(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

bool Client::sendRaw(std::span<const std::uint8_t> b) {
    std::size_t done = 0;
    while (done < b.size()) {
        ssize_t n = ::send(fd_, b.data() + done, b.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool Client::send(const Bytes48& h, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> all(h.begin(), h.end());
    all.insert(all.end(), data.begin(), data.end());
    all.resize(48 + ((data.size() + 3) & ~std::size_t{3}), 0);
    return sendRaw(all);
}

static bool readAll(int fd, std::uint8_t* p, std::size_t n, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t done = 0;
    while (done < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
            return false;
        ssize_t r = ::recv(fd, p + done, n - done, 0);
        if (r <= 0)
            return false;
        done += static_cast<std::size_t>(r);
    }
    return true;
}

std::optional<Pdu> Client::receive(std::chrono::milliseconds timeout) {
    Pdu p;
    if (!readAll(fd_, p.h.data(), 48, timeout))
        return std::nullopt;
    std::uint32_t len = p.length();
    if (len > (1u << 20))
        return p; // claimed more than any test reads; the header alone is returned
    p.data.resize((len + 3) & ~3u);
    if (!readAll(fd_, p.data.data(), p.data.size(), timeout))
        return std::nullopt;
    p.data.resize(len);
    return p;
}

bool Client::waitClosed(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint8_t buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fd_, POLLIN, 0};
        if (::poll(&pfd, 1, 50) <= 0)
            continue;
        ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
        if (r <= 0)
            return true;
    }
    return false;
}

bool Client::login(const std::string& target, std::uint16_t isid, std::uint16_t tsidIn,
                   const std::string& offer) {
    std::string text = pairs({"InitiatorName=" + initiator, "TargetName=" + target});
    std::uint32_t sn = tsidIn == 0 ? takeCmdSN() : 0;
    if (!send(loginRequest(isid, tsidIn, cid, 0x77, sn, static_cast<std::uint32_t>(text.size())),
              bytes(text)))
        return false;
    auto r = receive();
    if (!r)
        return false;
    last = *r;
    if (r->op() != 0xE3 || r->h[36] != 0)
        return false;
    tsid = r->u16(14);
    expStatSN_ = r->statSN();
    if (!offer.empty()) {
        if (!send(textRequest(0x05, 0x77, takeCmdSN(), expStatSN_,
                              static_cast<std::uint32_t>(offer.size())),
                  bytes(offer)))
            return false;
        r = receive();
        if (!r || r->op() != 0xE4)
            return false;
        last = *r;
        noteStatSN(r->statSN());
    }
    for (int i = 0; i < 10; ++i) {
        if (!send(textRequest(0x8D, 0x77, takeCmdSN(), expStatSN_, 0)))
            return false;
        r = receive();
        if (!r)
            return false;
        last = *r;
        if (r->op() != 0xE3)
            return false;
        if (r->flags() & 0x80) {
            expStatSN_ = r->statSN();
            return r->h[36] == 0;
        }
    }
    return false;
}

Client::Result Client::command(std::uint8_t lun, std::vector<std::uint8_t> cdb, std::uint32_t edtl,
                               bool read) {
    Result res;
    std::uint32_t itt = nextItt();
    Bytes48 h = scsiCommand(read ? 0xC0 : 0x80, lun, itt, edtl, takeCmdSN(), expStatSN_, {});
    std::copy(cdb.begin(), cdb.end(), h.begin() + 32);
    if (!send(h))
        return res;
    res.data.assign(edtl, 0);
    for (int n = 0; n < 100000; ++n) {
        auto p = receive();
        if (!p)
            return res;
        res.pdus.push_back(*p);
        if (p->op() == 0xE5) {
            std::uint32_t off = p->u32(40);
            for (std::size_t i = 0; i < p->data.size() && off + i < edtl; ++i)
                res.data[off + i] = p->data[i];
            if (p->flags() & 0x01) {
                res.status = p->h[3];
                noteStatSN(p->statSN());
                res.ok = true;
                return res;
            }
        } else if (p->op() == 0xE1) {
            res.status = p->h[2];
            noteStatSN(p->statSN());
            if (p->data.size() >= 2)
                res.sense.assign(p->data.begin() + 2, p->data.end());
            res.ok = true;
            return res;
        } else {
            return res;
        }
    }
    return res;
}

Client::Result Client::write(std::uint8_t lun, std::vector<std::uint8_t> cdb,
                             std::span<const std::uint8_t> data, std::uint32_t immediate,
                             std::uint32_t pduSize) {
    Result res;
    std::uint32_t itt = nextItt();
    auto edtl = static_cast<std::uint32_t>(data.size());
    Bytes48 h = scsiCommand(0xA0, lun, itt, edtl, takeCmdSN(), expStatSN_, {}, immediate);
    std::copy(cdb.begin(), cdb.end(), h.begin() + 32);
    if (!send(h, data.first(immediate)))
        return res;
    for (int n = 0; n < 100000; ++n) {
        auto p = receive();
        if (!p)
            return res;
        res.pdus.push_back(*p);
        if (p->op() == 0xF1) {
            std::uint32_t ttt = p->u32(20), off = p->u32(40), len = p->u32(44);
            std::uint32_t sn = 0;
            while (len > 0) {
                std::uint32_t chunk = std::min(len, pduSize);
                if (!send(dataOut(chunk == len, itt, ttt, sn++, off, chunk),
                          data.subspan(off, chunk)))
                    return res;
                off += chunk;
                len -= chunk;
            }
        } else if (p->op() == 0xE1) {
            res.status = p->h[2];
            noteStatSN(p->statSN());
            if (p->data.size() >= 2)
                res.sense.assign(p->data.begin() + 2, p->data.end());
            res.ok = true;
            return res;
        } else {
            return res;
        }
    }
    return res;
}

} // namespace quevi::target::test
