#include "fuzz/driver_peer.h"

#include "driver/engine/login_layer.h"
#include "driver/engine/pdu.h"
#include "driver/transport/transport.h"
#include "fuzz/check.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>

namespace fuzzpeer {
namespace {

// Far above any real descriptor, so a stray real call on one fails instead of hitting a file.
constexpr int FIRST_FD = 1 << 20;

struct Stream {
    std::mutex mutex; // guards everything below
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t position = 0;
    size_t maxChunk = 0;
    bool wouldBlock = false;
    bool silentAtEnd = false;
    unsigned receives = 0;
    int nextFd = FIRST_FD;
    std::map<int, bool> open; // descriptor -> shut down
};

Stream& stream() {
    static Stream* s = new Stream; // never destroyed: detached driver threads may outlive main
    return *s;
}

// Checks that fd is open; whether it is shut down. Called with the mutex held.
bool shutLocked(Stream& s, int fd) {
    auto it = s.open.find(fd);
    FUZZ_CHECK(it != s.open.end()); // a call on a descriptor never opened, or closed
    return it->second;
}

int fakeSocket(int, int, int) {
    Stream& s = stream();
    std::lock_guard lock(s.mutex);
    int fd = s.nextFd++;
    s.open[fd] = false;
    return fd;
}

int fakeBind(int fd, const sockaddr*, socklen_t) {
    Stream& s = stream();
    std::lock_guard lock(s.mutex);
    (void)shutLocked(s, fd);
    return 0;
}

int fakeConnect(int fd, const sockaddr*, socklen_t) {
    return fakeBind(fd, nullptr, 0);
}

// Ready at once, except that a silent peer's stream has nothing more to read: then the wait
// ends as if its time had passed, and the transport looks at its clock again.
int fakePoll(pollfd* fds, nfds_t count, int) {
    Stream& s = stream();
    std::lock_guard lock(s.mutex);
    bool silent = s.silentAtEnd && s.position == s.size;
    int ready = 0;
    for (nfds_t i = 0; i < count; i++) {
        bool shut = shutLocked(s, fds[i].fd);
        short events = fds[i].events;
        if (silent && !shut) {
            events = static_cast<short>(events & ~POLLIN);
        }
        fds[i].revents = static_cast<short>(events & (POLLIN | POLLOUT));
        if (shut) {
            fds[i].revents = static_cast<short>(fds[i].revents | POLLHUP);
        }
        ready += fds[i].revents != 0 ? 1 : 0;
    }
    return ready;
}

volatile unsigned sendSink;

// Every send is one whole PDU; its bytes are read, so a buffer the driver no longer owns (a
// completed request's, poisoned by a harness) shows up here.
ssize_t fakeSendmsg(int fd, const msghdr* message, int) {
    Stream& s = stream();
    std::lock_guard lock(s.mutex);
    if (shutLocked(s, fd)) {
        errno = EPIPE;
        return -1;
    }
    FUZZ_CHECK(message->msg_iovlen >= 1 && message->msg_iov[0].iov_len == ISCSI_HDR_LEN);
    const auto* hdr = static_cast<const UCHAR*>(message->msg_iov[0].iov_base);
    size_t total = 0;
    unsigned sum = 0;
    for (size_t i = 0; i < message->msg_iovlen; i++) {
        const auto* bytes = static_cast<const UCHAR*>(message->msg_iov[i].iov_base);
        for (size_t j = 0; j < message->msg_iov[i].iov_len; j++) {
            sum += bytes[j];
        }
        total += message->msg_iov[i].iov_len;
    }
    sendSink = sum;
    FUZZ_CHECK(total == ISCSI_HDR_LEN + iscsiPadLength(iscsiPduGetDataLength(hdr)));
    return static_cast<ssize_t>(total);
}

ssize_t fakeRecvmsg(int fd, msghdr* message, int) {
    Stream& s = stream();
    std::lock_guard lock(s.mutex);
    if (shutLocked(s, fd)) {
        return 0;
    }
    if ((s.wouldBlock && s.receives++ % 2 == 0) || (s.silentAtEnd && s.position == s.size)) {
        errno = EAGAIN;
        return -1;
    }
    size_t budget = s.size - s.position;
    if (s.maxChunk != 0) {
        budget = std::min(budget, s.maxChunk);
    }
    size_t given = 0;
    for (size_t i = 0; i < message->msg_iovlen && given < budget; i++) {
        size_t n = std::min(message->msg_iov[i].iov_len, budget - given);
        std::copy_n(s.data + s.position + given, n,
                    static_cast<UCHAR*>(message->msg_iov[i].iov_base));
        given += n;
    }
    s.position += given;
    return static_cast<ssize_t>(given); // 0 at the end: the target closed
}

int fakeGetsockopt(int fd, int, int, void* value, socklen_t* length) {
    Stream& s = stream();
    std::lock_guard lock(s.mutex);
    (void)shutLocked(s, fd);
    if (*length >= sizeof(int)) {
        *static_cast<int*>(value) = 0; // SO_ERROR: connected
    }
    return 0;
}

int fakeSetsockopt(int fd, int, int, const void*, socklen_t) {
    Stream& s = stream();
    std::lock_guard lock(s.mutex);
    (void)shutLocked(s, fd);
    return 0;
}

int fakeShutdown(int fd, int) {
    Stream& s = stream();
    std::lock_guard lock(s.mutex);
    (void)shutLocked(s, fd);
    s.open[fd] = true;
    return 0;
}

int fakeClose(int fd) {
    Stream& s = stream();
    std::lock_guard lock(s.mutex);
    (void)shutLocked(s, fd);
    s.open.erase(fd);
    return 0;
}

const TCP_DEVICE fakeDevice = {
    fakeSocket,  fakeBind,       fakeConnect,    fakePoll,     fakeSendmsg,
    fakeRecvmsg, fakeGetsockopt, fakeSetsockopt, fakeShutdown, fakeClose,
};

} // namespace

void installDevice() {
    (void)tSetTcpDevice(&fakeDevice);
}

void serve(const uint8_t* data, size_t size, size_t maxChunk, bool wouldBlock, bool silentAtEnd) {
    Stream& s = stream();
    std::lock_guard lock(s.mutex);
    s.silentAtEnd = silentAtEnd;
    s.data = data;
    s.size = size;
    s.position = 0;
    s.maxChunk = maxChunk;
    s.wouldBlock = wouldBlock;
    s.receives = 0;
}

size_t openSockets() {
    Stream& s = stream();
    std::lock_guard lock(s.mutex);
    return s.open.size();
}

size_t bytesLeft() {
    Stream& s = stream();
    std::lock_guard lock(s.mutex);
    return s.size - s.position;
}

ISCSI_SESSION* makeSession(const char* loginString, ULONG length, ULONG connections) {
    auto* session = static_cast<ISCSI_SESSION*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(ISCSI_SESSION), ISCSI_POOL_TAG));
    auto* records = static_cast<ISCSI_CONNECTION*>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(ISCSI_CONNECTION) * connections, ISCSI_POOL_TAG));
    auto* active = static_cast<ISCSI_CONNECTION**>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(ISCSI_CONNECTION*) * connections, ISCSI_POOL_TAG));
    FUZZ_CHECK(session != nullptr && records != nullptr && active != nullptr);
    RtlZeroMemory(session, sizeof(ISCSI_SESSION));
    RtlZeroMemory(records, sizeof(ISCSI_CONNECTION) * connections);
    RtlZeroMemory(active, sizeof(ISCSI_CONNECTION*) * connections);
    session->connections = records;
    session->activeConnections = active;
    session->numConnectionRecords = connections;
    session->numMaxConnections = connections;
    for (ULONG i = 0; i < connections; i++) {
        ISCSI_CONNECTION* connection = &records[i];
        connection->session = session;
        connection->ipAddress = 0x7F000001;
        connection->portNum = 3260;
        connection->state = CONN_IDLE;
        connection->cid = static_cast<USHORT>(i);
        KeInitializeEvent(&connection->nopEvent, SynchronizationEvent, FALSE);
        KeInitializeEvent(&connection->textEvent, SynchronizationEvent, FALSE);
        ExInitializeFastMutex(&connection->sendLock);
        FUZZ_CHECK(iscsiOSallocateConnection(connection->ipAddress, connection->portNum,
                                             &connection->pSock) == 0);
    }
    if (processLoginParameters(session, loginString, length) != 0) {
        destroyConnections(session); // as session creation does when it cannot keep the string
        ExFreePool(records);
        ExFreePool(active);
        ExFreePool(session);
        return nullptr;
    }
    session->cmdSN = 1;
    session->maxCmdSN = 1;
    session->isid = 0xabcd; // what a fresh engine gives its first session
    initSessionSync(session);
    return session;
}

bool connect(ISCSI_CONNECTION* connection) {
    if (iscsiOSmakeConnection(connection->ipAddress, connection->portNum, connection->pSock) != 0) {
        return false;
    }
    connection->state = CONN_CONNECTED;
    return true;
}

} // namespace fuzzpeer
