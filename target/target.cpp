// The target's listener, its session registry and the public Target API.
#include "target/target.h"

#include "target/connection.h"
#include "target/target_state.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace quevi::target {

namespace {

// What the budget charges for a record (with its map node) and for a recorded PDU.
constexpr std::size_t kRecordCost = sizeof(ConnectionRecord) + 64;

std::size_t pduCost(const RecordedFrom& r) {
    return sizeof(RecordedFrom) + r.pdu.data.capacity();
}

// Keeps all records within the budget: the oldest recorded PDUs go first, then the records of
// the oldest closed connections. Called with s.mutex held.
void trimRecords(TargetState& s) {
    while (s.recordedBytes > s.config.recordBudget) {
        if (!s.recorded.empty()) {
            if (ConnectionRecord* r = s.findRecord(s.recorded.front().connection))
                ++r->info.droppedRecords;
            s.recordedBytes -= pduCost(s.recorded.front());
            s.recorded.pop_front();
            continue;
        }
        auto closed = std::find_if(s.records.begin(), s.records.end(),
                                   [](const auto& r) { return !r.second->info.open; });
        if (closed == s.records.end())
            return; // open connections' records are kept whatever they cost
        s.records.erase(closed);
        s.recordedBytes -= kRecordCost;
    }
}

} // namespace

void TargetState::record(std::size_t index, const Header& h, std::span<const std::uint8_t> data) {
    {
        std::lock_guard lock(mutex);
        ConnectionRecord& r = *records.at(index);
        ++r.info.pduCount;
        RecordedFrom& added = recorded.emplace_back(RecordedFrom{index, {}});
        added.pdu.header = h;
        added.pdu.dataLength = dataSegmentLength(h);
        std::size_t keep = std::min<std::size_t>(data.size(), config.recordDataLimit);
        added.pdu.data.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(keep));
        recordedBytes += pduCost(added);
        trimRecords(*this);
    }
    changed.notify_all();
}

void TargetState::finished(std::size_t index) {
    {
        std::lock_guard lock(mutex);
        ConnectionRecord& r = *records.at(index);
        r.info.open = false;
        r.live.reset();
        --openConnections;
        trimRecords(*this);
    }
    changed.notify_all();
}

std::shared_ptr<Connection> TargetState::adopt(int fd) {
    std::size_t index;
    {
        std::lock_guard lock(mutex);
        if (openConnections >= config.maxConnections) {
            ::close(fd);
            return nullptr;
        }
        index = accepted++;
        ++openConnections;
        auto r = std::make_unique<ConnectionRecord>();
        r->info.index = index;
        records[index] = std::move(r);
        recordedBytes += kRecordCost;
        trimRecords(*this);
    }
    // Not make_shared: object and control block in one allocation would keep the whole
    // connection's memory for as long as any weak pointer to it lives.
    std::shared_ptr<Connection> c(new Connection(*this, fd, index));
    {
        std::lock_guard lock(mutex);
        records.at(index)->live = c;
    }
    changed.notify_all();
    return c;
}

void TargetState::serve(std::shared_ptr<Connection> connection) {
    std::size_t index = connection->index();
    connection->run();
    connection.reset(); // closes the socket unless an action on it is still under way
    finished(index);
}

std::shared_ptr<Session> TargetState::createSession(std::uint16_t isid, bool discovery,
                                                    std::size_t target, std::string initiatorName) {
    std::lock_guard lock(mutex);
    if (sessions.size() >= config.maxSessions)
        return nullptr;
    // Next free TSID; 0 is never given out (it asks for a new session).
    for (int tries = 0; tries < 0x10000; ++tries) {
        std::uint16_t tsid = nextTsid++;
        if (nextTsid == 0)
            nextTsid = 1;
        if (tsid == 0 || sessions.count(tsid))
            continue;
        auto s = std::make_shared<Session>();
        s->isid = isid;
        s->tsid = tsid;
        s->discovery = discovery;
        s->target = target;
        s->initiatorName = std::move(initiatorName);
        sessions[tsid] = s;
        return s;
    }
    return nullptr;
}

std::shared_ptr<Session> TargetState::findSession(std::uint16_t isid, std::uint16_t tsid) {
    std::lock_guard lock(mutex);
    auto it = sessions.find(tsid);
    if (it == sessions.end() || it->second->isid != isid)
        return nullptr;
    return it->second;
}

void TargetState::leaveSession(const std::shared_ptr<Session>& session,
                               const Connection* connection) {
    bool empty;
    {
        std::lock_guard lock(session->mutex);
        auto& m = session->members;
        m.erase(std::remove_if(m.begin(), m.end(),
                               [&](const auto& c) { return c.get() == connection; }),
                m.end());
        empty = m.empty();
    }
    if (!empty)
        return;
    std::lock_guard lock(mutex);
    auto it = sessions.find(session->tsid);
    if (it != sessions.end() && it->second == session) {
        std::lock_guard sessionLock(session->mutex);
        if (session->members.empty())
            sessions.erase(it);
    }
}

namespace {

constexpr int kListenBacklog = 4096; // the kernel caps it at net.core.somaxconn

void acceptLoop(TargetState& s) {
    while (!s.stopping) {
        // Reap finished connection threads so a long-running target does not collect them.
        for (auto it = s.workers.begin(); it != s.workers.end();) {
            if (it->done->load()) {
                it->thread.join();
                it = s.workers.erase(it);
            } else {
                ++it;
            }
        }
        pollfd pfd{s.listenFd, POLLIN, 0};
        if (::poll(&pfd, 1, 100) <= 0)
            continue;
        // Take every connection that is waiting, so that a storm of connects drains the
        // listen queue as fast as it fills.
        while (!s.stopping) {
            int fd = ::accept4(s.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10)); // no busy loop
                break;
            }
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            auto c = s.adopt(fd);
            if (!c)
                continue;
            auto done = std::make_shared<std::atomic<bool>>(false);
            try {
                s.workers.push_back({std::thread([&s, c, done]() mutable {
                                         s.serve(std::move(c));
                                         *done = true;
                                     }),
                                     done});
            } catch (const std::system_error&) { // no thread to be had: drop this connection
                std::size_t index = c->index();
                c->shutdown();
                c.reset();
                s.finished(index);
            }
        }
    }
}

} // namespace

Target::Target(TargetConfig config) : state_(std::make_unique<TargetState>(std::move(config))) {
    state_->negotiation = state_->config.negotiation;
}

Target::~Target() {
    stop();
}

bool Target::start(std::string* error) {
    TargetState& s = *state_;
    if (s.acceptThread.joinable()) {
        if (error)
            *error = "target already started";
        return false;
    }
    std::vector<NamedTarget> named = s.config.targets;
    if (named.empty())
        named.push_back({s.config.name, s.config.luns});
    auto fail = [&](std::string message) {
        if (error)
            *error = std::move(message);
        return false;
    };
    s.lunStores.clear();
    s.targets.clear();
    std::uint64_t inMemory = 0;
    std::size_t listed = 0;
    for (const NamedTarget& t : named) {
        if (t.name.empty())
            return fail("a target needs a name");
        if (s.findTarget(t.name) >= 0)
            return fail("target " + t.name + " is named twice");
        if (t.luns.size() > kMaxLuns)
            return fail("at most " + std::to_string(kMaxLuns) + " LUNs, target " + t.name +
                        " has " + std::to_string(t.luns.size()));
        ServedTarget served{t.name, {}};
        for (const std::string& backing : t.luns) {
            auto store = openLun(backing, error);
            if (!store) {
                if (error && !s.config.targets.empty())
                    *error = "target " + t.name + ": " + *error;
                return false;
            }
            if (isSizeBacking(backing))
                inMemory += store->size();
            served.luns.push_back(store.get());
            s.lunStores.push_back(std::move(store));
        }
        s.targets.push_back(std::move(served));
        // The answer to SendTargets=All is one text segment, no longer than the target accepts.
        // Each target adds "TargetName=NAME\0TargetAddress=IP:PORT\0", at most this long.
        listed +=
            sizeof "TargetName=" + t.name.size() + sizeof "TargetAddress=255.255.255.255:65535";
        if (listed > kMaxTextLength)
            return fail("the names of all targets together are too long to list in one answer");
    }
    if (inMemory > machineMemory()) {
        if (error)
            *error = "memory LUNs of " + describeBytes(inMemory) +
                     " in all are larger than this machine's memory (" +
                     describeBytes(machineMemory()) + "); serve large disks from files";
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(s.config.port);
    if (::inet_pton(AF_INET, s.config.address.c_str(), &addr.sin_addr) != 1) {
        if (error)
            *error = "not an IPv4 address: " + s.config.address;
        return false;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, kListenBacklog) != 0) {
        if (error)
            *error = "cannot listen on " + s.config.address + ":" + std::to_string(s.config.port) +
                     ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    s.port = ntohs(addr.sin_port);
    s.listenFd = fd;
    s.stopping = false;
    s.acceptThread = std::thread([&s] { acceptLoop(s); });
    return true;
}

void Target::stop() {
    TargetState& s = *state_;
    if (!s.acceptThread.joinable())
        return;
    s.stopping = true;
    s.acceptThread.join();
    ::close(s.listenFd);
    s.listenFd = -1;
    {
        std::lock_guard lock(s.mutex);
        for (auto& [index, r] : s.records)
            if (auto c = r->live.lock())
                c->shutdown();
    }
    for (auto& w : s.workers)
        w.thread.join();
    s.workers.clear();
    std::lock_guard lock(s.mutex);
    s.sessions.clear();
}

bool Target::serve(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    auto c = state_->adopt(fd);
    if (!c)
        return false;
    state_->serve(std::move(c));
    return true;
}

std::uint16_t Target::port() const {
    return state_->port;
}
const std::string& Target::address() const {
    return state_->config.address;
}

void Target::setFaults(Faults faults) {
    {
        std::lock_guard lock(state_->mutex);
        state_->faults = std::move(faults);
    }
    state_->faultsVersion.fetch_add(1, std::memory_order_release);
}

Faults Target::faults() const {
    return state_->currentFaults();
}

void Target::setNegotiation(NegotiationPolicy policy) {
    std::lock_guard lock(state_->mutex);
    state_->negotiation = std::move(policy);
}

LunStore* Target::lun(std::size_t n) const {
    return state_->targets.empty() ? nullptr : lun(state_->targets.front().name, n);
}

LunStore* Target::lun(const std::string& target, std::size_t n) const {
    int t = state_->findTarget(target);
    if (t < 0)
        return nullptr;
    const std::vector<LunStore*>& luns = state_->targets[static_cast<std::size_t>(t)].luns;
    return n < luns.size() ? luns[n] : nullptr;
}

std::size_t Target::connectionCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->accepted;
}

std::size_t Target::sessionCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->sessions.size();
}

std::optional<ConnectionInfo> Target::connection(std::size_t index) const {
    std::lock_guard lock(state_->mutex);
    ConnectionRecord* r = state_->findRecord(index);
    if (!r)
        return std::nullopt;
    return r->info;
}

std::vector<RecordedPdu> Target::pdus(std::size_t index) const {
    std::lock_guard lock(state_->mutex);
    std::vector<RecordedPdu> out;
    for (const RecordedFrom& r : state_->recorded)
        if (r.connection == index)
            out.push_back(r.pdu);
    return out;
}

namespace {

template <class Pred>
bool waitFor(const TargetState& s, std::chrono::milliseconds timeout, Pred pred) {
    std::unique_lock lock(s.mutex);
    return s.changed.wait_for(lock, timeout, pred);
}

} // namespace

bool Target::waitForConnections(std::size_t count, std::chrono::milliseconds timeout) const {
    return waitFor(*state_, timeout, [&] { return state_->accepted >= count; });
}

bool Target::waitForPdus(std::size_t index, std::size_t count,
                         std::chrono::milliseconds timeout) const {
    return waitFor(*state_, timeout, [&] {
        ConnectionRecord* r = state_->findRecord(index);
        return r && r->info.pduCount >= count;
    });
}

bool Target::waitForLogin(std::size_t index, std::chrono::milliseconds timeout) const {
    return waitFor(*state_, timeout, [&] {
        ConnectionRecord* r = state_->findRecord(index);
        return r && r->info.loggedIn;
    });
}

bool Target::waitForClosed(std::size_t index, std::chrono::milliseconds timeout) const {
    return waitFor(*state_, timeout, [&] {
        ConnectionRecord* r = state_->findRecord(index);
        return r ? !r->info.open : index < state_->accepted; // forgotten records were closed
    });
}

namespace {

std::shared_ptr<Connection> liveConnection(const TargetState& s, std::size_t index) {
    std::lock_guard lock(s.mutex);
    ConnectionRecord* r = s.findRecord(index);
    return r ? r->live.lock() : nullptr;
}

} // namespace

bool Target::sendNopIn(std::size_t index, std::span<const std::uint8_t> data, bool wantAnswer) {
    auto c = liveConnection(*state_, index);
    return c && c->sendNopIn(data, wantAnswer);
}

bool Target::sendAsyncMessage(std::size_t index, const AsyncEvent& event) {
    auto c = liveConnection(*state_, index);
    return c && c->sendAsync(event);
}

bool Target::sendReject(std::size_t index, std::uint8_t reason) {
    auto c = liveConnection(*state_, index);
    Header zero{};
    return c && c->sendReject(reason, zero);
}

bool Target::dropConnection(std::size_t index) {
    auto c = liveConnection(*state_, index);
    if (!c)
        return false;
    c->shutdown();
    return true;
}

} // namespace quevi::target
