// A target connection: socket I/O, the send path with its faults, the login phase and the
// thread's main loop. The full feature phase handlers live in connection_ffp.cpp and
// connection_scsi.cpp.
#include "target/connection.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>

namespace quevi::target {
namespace {

constexpr int kPollSliceMs = 100;
// How long a connection stays awake for more after data arrived, before it sleeps in poll.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(50);
// Once a PDU has begun, its header must be complete within kDataTimeout, and its data within
// kDataTimeout plus one millisecond per KiB it declares (an initiator slower than 1 MiB/s, or
// one that drips, loses the connection).
constexpr auto kDataTimeout = std::chrono::seconds(10);

std::chrono::milliseconds dataAllowance(std::uint32_t length) {
    return kDataTimeout + std::chrono::milliseconds(length >> 10);
}

// Login refusals.
constexpr std::uint8_t kLoginTargetNotFound = 0x01;
constexpr std::uint8_t kLoginInitiatorError = 0x02;
constexpr std::uint8_t kLoginNoSession = 0x03;
constexpr std::uint8_t kLoginOutOfResources = 0x04;

} // namespace

Connection::Connection(TargetState& state, int fd, std::size_t index)
    : state_(state), fd_(fd), index_(index), statSN_(state.config.initialStatSN) {}

Connection::~Connection() {
    ::close(fd_);
}

void Connection::shutdown() {
    closing_ = true;
    ::shutdown(fd_, SHUT_RDWR);
}

// Waits until the socket has something to read, at most one poll slice. In a busy conversation
// the next PDU follows the last one within microseconds, and a thread that sleeps for it pays a
// wake-up: tens of microseconds on a virtual machine, more when the host is loaded, twice per
// command at queue depth 1. So for kSpinBeforeSleep after data arrived the wait stays awake.
int Connection::awaitReadable() {
    pollfd pfd{fd_, POLLIN, 0};
    auto awakeUntil = lastReceived_ + kSpinBeforeSleep;
    while (std::chrono::steady_clock::now() < awakeUntil) {
        int p = ::poll(&pfd, 1, 0);
        if (p != 0)
            return p;
        std::this_thread::yield();
    }
    return ::poll(&pfd, 1, kPollSliceMs);
}

bool Connection::readExact(std::uint8_t* p, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        ssize_t r = ::recv(fd_, p + done, n - done, 0);
        if (r > 0) {
            done += static_cast<std::size_t>(r);
            lastReceived_ = std::chrono::steady_clock::now();
            continue;
        }
        if (r == 0)
            return false;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        if (state_.stopping || closing_ || std::chrono::steady_clock::now() > pduDeadline_)
            return false;
        awaitReadable();
    }
    return true;
}

bool Connection::discard(std::uint64_t n) {
    std::uint8_t scratch[4096];
    while (n > 0) {
        std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof scratch));
        if (!readExact(scratch, chunk))
            return false;
        n -= chunk;
    }
    return true;
}

bool Connection::readText(std::uint32_t length, std::vector<std::uint8_t>& out) {
    out.resize(paddedLength(length));
    if (!readExact(out.data(), out.size()))
        return false;
    out.resize(length);
    return true;
}

Connection::Read Connection::readHeader(Header& h, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        if (state_.stopping || closing_)
            return Read::Closed;
        if (fullFeature_ && !periodicWork())
            return Read::Closed;
        // Try first: under load the next header is usually there already, and a poll per PDU
        // would double the system calls.
        ssize_t r = ::recv(fd_, h.data(), h.size(), 0);
        if (r > 0) {
            auto got = static_cast<std::size_t>(r);
            lastReceived_ = std::chrono::steady_clock::now();
            pduDeadline_ = lastReceived_ + kDataTimeout;
            if (!readExact(h.data() + got, h.size() - got))
                return Read::Closed;
            pduDeadline_ = std::chrono::steady_clock::now() + dataAllowance(dataSegmentLength(h));
            return Read::Ok;
        }
        if (r == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return Read::Closed;
        int p = awaitReadable();
        if (p < 0 && errno != EINTR)
            return Read::Closed;
        if (p == 0 && std::chrono::steady_clock::now() > deadline)
            return Read::Idle;
    }
}

void Connection::noteReceived(const Header& h, std::span<const std::uint8_t> data) {
    ++pdusReceived_;
    if (state_.config.record)
        state_.record(index_, h, data);
}

// True while the connection may go on after the PDU just received.
bool Connection::countPdu() {
    return faults_.dropAfterPdus == 0 || pdusReceived_ < faults_.dropAfterPdus;
}

void Connection::refreshFaults() {
    std::uint64_t v = state_.faultsVersion.load(std::memory_order_acquire);
    if (v != faultsVersion_) {
        faults_ = state_.currentFaults();
        faultsVersion_ = v;
    }
}

namespace {

using Deadline = std::chrono::steady_clock::time_point;

// Waits for room in the socket; false when the target stops or the deadline passed.
bool awaitRoom(int fd, const std::atomic<bool>& stopping, Deadline deadline) {
    if (stopping || std::chrono::steady_clock::now() > deadline)
        return false;
    pollfd pfd{fd, POLLOUT, 0};
    ::poll(&pfd, 1, kPollSliceMs);
    return true;
}

// After a send that failed: true when it may be tried again (it was interrupted, or the socket
// had no room and some came before the deadline).
bool mayRetry(int fd, const std::atomic<bool>& stopping, Deadline deadline) {
    if (errno == EINTR)
        return true;
    return (errno == EAGAIN || errno == EWOULDBLOCK) && awaitRoom(fd, stopping, deadline);
}

// Sends iov[0, count) whole; `more` tells the socket that further bytes of this batch follow.
bool sendVectors(int fd, iovec* iov, int count, bool more, const std::atomic<bool>& stopping,
                 Deadline deadline) {
    int first = 0;
    while (first < count) {
        msghdr msg{};
        msg.msg_iov = iov + first;
        msg.msg_iovlen = static_cast<std::size_t>(count - first);
        ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
        if (n < 0) {
            if (!mayRetry(fd, stopping, deadline))
                return false;
            continue;
        }
        auto left = static_cast<std::size_t>(n);
        while (first < count && left >= iov[first].iov_len)
            left -= iov[first++].iov_len;
        if (first < count) {
            iov[first].iov_base = static_cast<std::uint8_t*>(iov[first].iov_base) + left;
            iov[first].iov_len -= left;
        }
    }
    return true;
}

// Sends `length` bytes of file `from` at `offset` straight from the page cache. Bytes past the
// file's end (a file shrunk under the target) go as zeros, as a read of them gives. A file that
// cannot be read fails the send: the PDU's header is out already, so only closing the
// connection keeps the initiator from taking anything else for its data.
bool sendFileBlocked(int fd, int from, std::uint64_t offset, std::uint32_t length,
                     const std::atomic<bool>& stopping, Deadline deadline) {
    static const std::uint8_t kZeros[4096] = {};
    auto at = static_cast<off_t>(offset);
    std::uint32_t left = length;
    bool pastEnd = false;
    while (left > 0) {
        ssize_t n;
        if (pastEnd) {
            n = ::send(fd, kZeros, std::min<std::size_t>(left, sizeof kZeros),
                       MSG_NOSIGNAL | MSG_MORE);
        } else {
            n = ::sendfile(fd, from, &at, left);
            if (n == 0) {
                pastEnd = true;
                continue;
            }
        }
        if (n < 0) {
            if (!mayRetry(fd, stopping, deadline))
                return false;
            continue;
        }
        left -= static_cast<std::uint32_t>(n);
    }
    return true;
}

bool sendFileRange(int fd, int from, std::uint64_t offset, std::uint32_t length,
                   const std::atomic<bool>& stopping, Deadline deadline) {
    // sendfile has no MSG_NOSIGNAL: a peer gone raises SIGPIPE at this thread, which stays
    // blocked here, and is taken back before the thread's own mask returns.
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    bool sent = sendFileBlocked(fd, from, offset, length, stopping, deadline);
    if (!sent) {
        timespec none{};
        while (sigtimedwait(&pipe, nullptr, &none) == SIGPIPE) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return sent;
}
} // namespace

// Writes whole PDUs (header, data, padding each) with as few sendmsg calls as the socket
// allows, file data between them with sendfile; waits for room at most kDataTimeout.
bool Connection::sendRaw(std::span<const Outgoing> pdus) {
    static const std::uint8_t kPad[4] = {0, 0, 0, 0};
    std::array<iovec, 3 * kMaxBatch> iov;
    int count = 0;
    auto deadline = std::chrono::steady_clock::now() + kDataTimeout;
    for (const Outgoing& o : pdus) {
        iov[count++] = {const_cast<std::uint8_t*>(o.header->data()), o.header->size()};
        std::size_t length = o.data.size();
        if (o.fileLength != 0) {
            length = o.fileLength;
            if (!sendVectors(fd_, iov.data(), count, true, state_.stopping, deadline) ||
                !sendFileRange(fd_, o.fd, o.fileOffset, o.fileLength, state_.stopping, deadline))
                return false;
            count = 0;
        } else if (length != 0) {
            iov[count++] = {const_cast<std::uint8_t*>(o.data.data()), length};
        }
        std::size_t pad = paddedLength(length) - length;
        if (pad)
            iov[count++] = {const_cast<std::uint8_t*>(kPad), pad};
    }
    return sendVectors(fd_, iov.data(), count, false, state_.stopping, deadline);
}

bool Connection::send(Header& h, std::span<const std::uint8_t> data, bool consume) {
    Outgoing one{&h, data, consume};
    return sendBatch({&one, 1});
}

bool Connection::sendBatch(std::span<Outgoing> pdus) {
    std::lock_guard lock(sendMutex_);
    std::uint64_t v = state_.faultsVersion.load(std::memory_order_acquire);
    if (v != sendFaultsVersion_) {
        sendFaults_ = state_.currentFaults();
        sendFaultsVersion_ = v;
    }
    if (sendFaults_.responseDelay.count() > 0) {
        auto until = std::chrono::steady_clock::now() + sendFaults_.responseDelay;
        while (!state_.stopping && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::uint32_t expCmdSN = 1;
    if (session_) {
        std::lock_guard sessionLock(session_->mutex);
        expCmdSN = session_->expCmdSN;
    }
    std::uint32_t window = std::max<std::uint32_t>(state_.config.cmdWindow, 1);
    std::uint32_t maxCmdSN = sendFaults_.closeWindow ? expCmdSN - 1 : expCmdSN + window - 1;
    for (Outgoing& o : pdus) {
        std::uint32_t statSN = statSN_;
        if (o.consume) {
            if (sendFaults_.repeatStatSN)
                statSN = statSN_ - 1; // the one the previous response carried
            else
                ++statSN_;
        }
        stampSequence(*o.header, statSN, expCmdSN, maxCmdSN);
    }
    return sendRaw(pdus);
}

bool Connection::refuseLogin(std::uint16_t isid, std::uint32_t itt, std::uint8_t status) {
    LoginResponse r;
    r.final = true;
    r.versionMax = faults_.loginVersion;
    r.isid = isid;
    r.itt = itt;
    r.status = status;
    Header h = buildLoginResponse(r);
    send(h, {}, false);
    return false;
}

bool Connection::handleLogin(const Header& h, const std::vector<std::uint8_t>& text) {
    LoginRequest req = parseLogin(h);
    cid_ = req.cid;
    auto refuse = [&](std::uint8_t status) { return refuseLogin(req.isid, req.itt, status); };
    auto pairs = parseTextPairs(text);
    if (!pairs)
        return refuse(kLoginInitiatorError);
    std::string targetName;
    std::string initiatorName;
    for (const KeyValue& kv : *pairs) {
        if (kv.key == "TargetName")
            targetName = kv.value;
        if (kv.key == "InitiatorName")
            initiatorName = kv.value;
    }
    if (targetName.empty() || initiatorName.empty())
        return refuse(kLoginInitiatorError);
    // A name this target serves opens a normal session on it; any other name with "iscsi" in
    // it opens a discovery session, which sees no LUNs.
    int found = state_.findTarget(targetName);
    bool discovery = found < 0 && targetName.find("iscsi") != std::string::npos;
    if (found < 0 && !discovery)
        return refuse(kLoginTargetNotFound);
    std::size_t served = discovery ? 0 : static_cast<std::size_t>(found);
    if (faults_.loginStatus != 0)
        return refuse(faults_.loginStatus);
    std::uint32_t login = state_.logins.fetch_add(1) + 1;
    std::uint32_t refusedFrom = faults_.refuseLoginsAfter;
    if (refusedFrom != 0 && login > refusedFrom &&
        (faults_.refuseLogins == 0 || login - refusedFrom <= faults_.refuseLogins))
        return refuse(faults_.refuseLoginStatus);

    if (req.tsid == 0) {
        session_ = state_.createSession(req.isid, discovery, served, initiatorName);
        if (!session_)
            return refuse(kLoginOutOfResources);
        session_->noteCmdSN(req.cmdSN);
    } else {
        // A connection joins only the session its own initiator made, for the same target.
        session_ = state_.findSession(req.isid, req.tsid);
        if (!session_ || session_->initiatorName != initiatorName ||
            session_->discovery != discovery || session_->target != served) {
            session_.reset();
            return refuse(kLoginNoSession);
        }
    }
    bool full;
    {
        std::lock_guard lock(session_->mutex);
        std::size_t limit = std::min<std::size_t>(session_->negotiator.value(kMaxConnections),
                                                  state_.config.maxConnections);
        full = session_->members.size() >= std::max<std::size_t>(limit, 1);
        if (!full)
            session_->members.push_back(shared_from_this());
    }
    if (full) {
        auto s = std::move(session_);
        session_.reset();
        state_.leaveSession(s, this); // drops a session this login had just made
        return refuse(kLoginOutOfResources);
    }
    state_.updateInfo(index_, [&](ConnectionInfo& info) {
        info.cid = req.cid;
        info.isid = req.isid;
        info.tsid = session_->tsid;
        info.discovery = session_->discovery;
    });

    Negotiator::Answer answer;
    {
        NegotiationPolicy policy = state_.currentNegotiation();
        std::lock_guard lock(session_->mutex);
        answer = session_->negotiator.answer(*pairs, policy, faults_.disagree);
    }
    LoginResponse r;
    r.opcode = faults_.loginOpcode;
    r.versionMax = faults_.loginVersion;
    r.dataLength = static_cast<std::uint32_t>(answer.text.size());
    r.isid = req.isid;
    r.tsid = session_->tsid;
    r.itt = req.itt;
    Header out = buildLoginResponse(r);
    return send(out,
                {reinterpret_cast<const std::uint8_t*>(answer.text.data()), answer.text.size()},
                false);
}

// Serves the login phase; true when the connection enters the full feature phase.
bool Connection::loginPhase() {
    auto deadline = std::chrono::steady_clock::now() + state_.config.loginTimeout;
    std::vector<std::uint8_t> text;
    for (;;) {
        Header h;
        if (readHeader(h, deadline) != Read::Ok)
            return false;
        refreshFaults();
        std::uint32_t length = dataSegmentLength(h);
        std::uint8_t op = h[kOffOpcode];
        if ((op != kOpLogin && op != kOpText) || length > kMaxTextLength ||
            (op == kOpLogin && session_) || (op == kOpText && !session_)) {
            noteReceived(h, {});
            Header rej = buildReject(kRejectProtocolError, kHeaderSize);
            send(rej, h, false);
            return false;
        }
        pduDeadline_ = std::min(pduDeadline_, deadline);
        if (!readText(length, text))
            return false;
        noteReceived(h, text);
        if (!countPdu())
            return false;
        if (op == kOpLogin) {
            if (!handleLogin(h, text))
                return false;
            continue;
        }
        TextRequest req = parseText(h);
        session_->noteCmdSN(req.cmdSN);
        if ((req.flags & kFlagFinal) &&
            (req.flags & kStageMask) == (kTextLoginClose & kStageMask)) {
            bool final = closingAnswers_ >= faults_.closingNotFinal;
            ++closingAnswers_;
            LoginResponse r;
            r.opcode = faults_.closingOpcode;
            r.final = final;
            r.status = final ? faults_.closingStatus : 0;
            r.versionMax = faults_.loginVersion;
            r.isid = session_->isid;
            r.tsid = session_->tsid;
            r.itt = req.itt;
            Header out = buildLoginResponse(r);
            if (!send(out, {}, false))
                return false;
            if (final)
                return r.status == 0;
            continue;
        }
        auto pairs = parseTextPairs(text);
        if (!pairs) // a malformed text, or a key given twice, ends the login (see keys.h)
            return refuseLogin(session_->isid, req.itt, kLoginInitiatorError);
        Negotiator::Answer answer;
        {
            NegotiationPolicy policy = state_.currentNegotiation();
            std::lock_guard lock(session_->mutex);
            answer = session_->negotiator.answer(*pairs, policy, faults_.disagree);
        }
        TextResponse r;
        r.final = !answer.open && !faults_.neverFinal;
        r.dataLength = static_cast<std::uint32_t>(answer.text.size());
        r.itt = req.itt;
        Header out = buildTextResponse(r);
        if (!send(out,
                  {reinterpret_cast<const std::uint8_t*>(answer.text.data()), answer.text.size()},
                  true))
            return false;
    }
}

void Connection::run() {
    if (loginPhase()) {
        {
            std::lock_guard lock(session_->mutex);
            dataPduBytes_ =
                std::max<std::uint32_t>(session_->negotiator.value(kDataPDULength), 1) * kBlockSize;
            immediateData_ = session_->negotiator.value(kImmediateData) != 0;
            outstandingR2T_ = std::clamp<std::uint32_t>(
                std::min<std::uint32_t>(session_->negotiator.value(kMaxOutstandingR2T),
                                        state_.config.maxOutstandingR2T),
                1, kMaxBursts);
        }
        fullFeature_ = true;
        state_.updateInfo(index_, [](ConnectionInfo& info) { info.loggedIn = true; });
        fullFeaturePhase();
    }
    fullFeature_ = false;
    if (session_) // first, so that the session's slot is free once the peer sees the close
        state_.leaveSession(session_, this);
    if (!state_.stopping) {
        // Let what was sent last (a Logout response, a refusal) reach the peer: close our side
        // first and read until the peer closes too, briefly.
        ::shutdown(fd_, SHUT_WR);
        std::uint8_t scratch[4096];
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        while (!state_.stopping && std::chrono::steady_clock::now() < until) {
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, 50) > 0 && ::recv(fd_, scratch, sizeof scratch, 0) <= 0)
                break;
        }
    }
    closing_ = true;
    ::shutdown(fd_, SHUT_RDWR);
}

void Connection::fullFeaturePhase() {
    using Clock = std::chrono::steady_clock;
    nextPing_ = Clock::now();
    if (!afterCommand())
        return;
    const auto idle = state_.config.idleTimeout;
    const auto answerWithin = state_.config.pingTimeout;
    auto heard = Clock::now(); // the last PDU from the initiator was handled, or we pinged
    bool pinged = false;
    for (;;) {
        Header h;
        auto deadline =
            idle.count() <= 0 ? Clock::time_point::max() : heard + (pinged ? answerWithin : idle);
        Read got = readHeader(h, deadline);
        if (got == Read::Idle) {
            // Idle: ask for a sign of life; asked and still nothing: the initiator is gone.
            if (pinged || !sendNopIn({}, true))
                return;
            pinged = true;
            heard = Clock::now();
            continue;
        }
        if (got != Read::Ok)
            return;
        pinged = false;
        refreshFaults();
        if (!dispatch(h) || closing_)
            return;
        heard = Clock::now();
        if (!countPdu())
            return;
    }
}

// Unsolicited work between PDUs: target pings.
bool Connection::periodicWork() {
    refreshFaults();
    if (faults_.nopInterval.count() <= 0)
        return true;
    auto now = std::chrono::steady_clock::now();
    if (now < nextPing_)
        return true;
    nextPing_ = now + faults_.nopInterval;
    return sendNopIn(
        {reinterpret_cast<const std::uint8_t*>(faults_.nopData.data()), faults_.nopData.size()},
        faults_.nopWantAnswer);
}

// Fault-driven unsolicited PDUs that wait for a number of completed commands.
bool Connection::afterCommand() {
    if (faults_.asyncMessage && !asyncSent_ && commandsDone_ >= faults_.asyncAfterCommands) {
        asyncSent_ = true;
        if (!sendAsync(*faults_.asyncMessage))
            return false;
    }
    if (faults_.rejectReason && !rejectSent_ && commandsDone_ >= faults_.rejectAfterCommands) {
        rejectSent_ = true;
        Header dummy{};
        if (!sendReject(*faults_.rejectReason, dummy))
            return false;
    }
    if (faults_.oversizeSegment && !oversizeSent_ &&
        commandsDone_ >= faults_.oversizeAfterCommands) {
        oversizeSent_ = true;
        NopIn n;
        Header h = buildNopIn(n);
        putBe24(h, kOffDataLength, kMaxDataSegment);
        send(h, {}, false);
        return false; // the promised segment never follows: the connection ends here
    }
    if (faults_.dropAfterCommands != 0 && commandsDone_ >= faults_.dropAfterCommands)
        return false;
    return true;
}

bool Connection::sendNopIn(std::span<const std::uint8_t> data, bool wantAnswer) {
    if (!fullFeature_)
        return false;
    NopIn n;
    n.wantsAnswer = wantAnswer;
    n.dataLength = static_cast<std::uint32_t>(std::min<std::size_t>(data.size(), kMaxNopData));
    if (wantAnswer) {
        static std::atomic<std::uint32_t> pingTag{0x100};
        n.ttt = pingTag.fetch_add(1) & 0x7FFFFFFF;
    }
    Header h = buildNopIn(n);
    return send(h, data.first(n.dataLength), false);
}

bool Connection::sendAsync(const AsyncEvent& event) {
    if (!fullFeature_)
        return false;
    AsyncMessage m;
    m.event = event.event;
    std::uint16_t cid = event.connectionId.value_or(cid_);
    m.param1 = {static_cast<std::uint8_t>(cid >> 8), static_cast<std::uint8_t>(cid)};
    m.param2 = event.waitSeconds;
    m.param3 = event.param3;
    Header h = buildAsyncMessage(m);
    return send(h, {}, true);
}

bool Connection::sendReject(std::uint8_t reason, std::span<const std::uint8_t> data) {
    if (!fullFeature_)
        return false;
    Header h = buildReject(reason, static_cast<std::uint32_t>(data.size()));
    return send(h, data, false);
}

} // namespace quevi::target
