// The transport's connection steps on POSIX sockets, the socket use registration of reads and
// writes, and the bounded socket waits.
#include "driver/runtime/runtime.h"
#include "driver/transport/transport.h"

#include <atomic>
#include <cerrno>
#include <netinet/tcp.h>
#include <unistd.h>

namespace {

const TCP_DEVICE posixDevice = {
    ::socket,  ::bind,       ::connect,    ::poll,     ::sendmsg,
    ::recvmsg, ::getsockopt, ::setsockopt, ::shutdown, ::close,
};

std::atomic<const TCP_DEVICE*> currentDevice{&posixDevice};

} // namespace

// The sanitizers look at the bytes a sendmsg sends when the call returns, not when the kernel
// copies them. By then the peer may have answered, and the buffer's owner, told so by the receive
// thread, may have freed or reused the buffer: a fault in the sanitizers' view only, since the
// kernel took the bytes before the peer could see them, and one they cannot order when the peer is
// another process. So the thread checker does not report races on what a sendmsg reads, and the
// address checker does not check what send calls read (both stay on for everything else).
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "race:sendmsg\n";
}
#endif
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() {
    return "intercept_send=0";
}
#endif

namespace {

// Now on the kernel clock, in its 100 ns units.
LONGLONG kernelNow() {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    return now.QuadPart;
}

// Longest single poll of a timed wait, in real milliseconds. The deadline is on the kernel clock,
// whose pace against real time the transport does not know, so a timed wait looks at the clock
// again at least this often.
constexpr int POLL_SLICE_MS = 20;

// The connection's socket, read under the lock.
int connectionSocket(ISCSI_SOCK* pSock) {
    tLockState(pSock);
    int fd = pSock->connectionHandle;
    tUnlockState(pSock);
    return fd;
}

} // namespace

const TCP_DEVICE* tSetTcpDevice(const TCP_DEVICE* device) {
    return currentDevice.exchange(device != nullptr ? device : &posixDevice);
}

const TCP_DEVICE* tPosixTcpDevice() {
    return &posixDevice;
}

void tLockState(ISCSI_SOCK* pSock) {
    KIRQL irql = KfAcquireSpinLock(&pSock->stateLock);
    pSock->savedIrql = irql;
}

void tUnlockState(ISCSI_SOCK* pSock) {
    KfReleaseSpinLock(&pSock->stateLock, pSock->savedIrql);
}

NTSTATUS tStatusFromErrno(int error) {
    switch (error) {
    case 0:
        return STATUS_SUCCESS;
    case ECONNREFUSED:
        return STATUS_CONNECTION_REFUSED;
    case ETIMEDOUT:
        return STATUS_IO_TIMEOUT;
    case ECONNRESET:
        return STATUS_CONNECTION_RESET;
    case ECONNABORTED:
        return STATUS_CONNECTION_ABORTED;
    case EPIPE:
    case ENOTCONN:
    case ESHUTDOWN:
        return STATUS_CONNECTION_DISCONNECTED;
    case ENETUNREACH:
    case ENETDOWN:
        return STATUS_NETWORK_UNREACHABLE;
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return STATUS_HOST_UNREACHABLE;
    case ENOMEM:
    case ENOBUFS:
    case EMFILE:
    case ENFILE:
        return STATUS_INSUFFICIENT_RESOURCES;
    case EBADF:
    case ENOTSOCK:
        return STATUS_INVALID_CONNECTION;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

LONGLONG tDeadline(ULONG seconds) {
    return kernelNow() + static_cast<LONGLONG>(seconds) * 10000000;
}

int tPollSocket(const TCP_DEVICE* device, int fd, short events, LONGLONG deadline) {
    for (;;) {
        int timeoutMs = -1;
        if (deadline != TCP_NO_DEADLINE) {
            LONGLONG left = deadline - kernelNow();
            // Rounded up, so that a wait is never cut short into a bare poll.
            LONGLONG leftMs = left <= 0 ? 0 : (left + 9999) / 10000;
            timeoutMs = static_cast<int>(leftMs < POLL_SLICE_MS ? leftMs : POLL_SLICE_MS);
        }
        pollfd entry = {fd, events, 0};
        int rc = device->poll(&entry, 1, timeoutMs);
        if (rc > 0) {
            return 1;
        }
        if (rc == 0) {
            if (deadline == TCP_NO_DEADLINE || kernelNow() >= deadline) {
                return 0;
            }
            continue; // the slice ended first: wait for the rest
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

bool tIoEnter(ISCSI_SOCK* pSock, int role, int* fd) {
    tLockState(pSock);
    int socketFd = pSock->connectionHandle;
    bool registered = socketFd >= 0 && pSock->ioFd[role] < 0;
    if (registered) {
        pSock->ioFd[role] = socketFd;
    }
    tUnlockState(pSock);
    *fd = socketFd;
    return registered;
}

void tIoLeave(ISCSI_SOCK* pSock, int role) {
    tLockState(pSock);
    int fd = pSock->ioFd[role];
    pSock->ioFd[role] = -1;
    // Read under the lock: a break that found this read or write registered set the flag before
    // it looked, so it is seen here and the break's wait ends as this one leaves.
    bool breaking = pSock->readWriteMustExit != 0;
    bool release = false;
    // A socket closed while in use is released by its last user.
    for (int& pending : pSock->closePending) {
        if (fd >= 0 && pending == fd && pSock->ioFd[1 - role] != fd) {
            pending = -1;
            release = true;
        }
    }
    tUnlockState(pSock);
    if (release) {
        (void)pSock->tcpDeviceObject->close(fd);
    }
    if (breaking) {
        KeSetEvent(role == TCP_IO_READ ? &pSock->readerExitEvent : &pSock->writerExitEvent, 0,
                   FALSE);
    }
}

NTSTATUS tFindTransportDevice(ISCSI_SOCK* pSock) {
    const TCP_DEVICE* device = currentDevice.load();
    if (device == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    pSock->tcpDeviceObject = device;
    return STATUS_SUCCESS;
}

NTSTATUS tOpenLocalEndpoint(ISCSI_SOCK* pSock) {
    tLockState(pSock);
    bool open = pSock->addressHandle >= 0;
    tUnlockState(pSock);
    if (open) {
        return STATUS_SUCCESS;
    }
    if (pSock->tcpDeviceObject == nullptr) {
        NTSTATUS status = tFindTransportDevice(pSock);
        if (status != STATUS_SUCCESS) {
            return status;
        }
    }
    const TCP_DEVICE* device = pSock->tcpDeviceObject;
    int fd = device->socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return tStatusFromErrno(errno);
    }
    // Any local address and port.
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_port = 0;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (device->bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        NTSTATUS status = tStatusFromErrno(errno);
        (void)device->close(fd);
        return status;
    }
    // Every PDU leaves in one send, so holding small segments back buys nothing and would delay
    // a command behind the acknowledgement of the previous one.
    int one = 1;
    (void)device->setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    tLockState(pSock);
    pSock->addressHandle = fd;
    pSock->lowWater = 0; // a new socket wakes its reader for every byte until told otherwise
    tUnlockState(pSock);
    return STATUS_SUCCESS;
}

NTSTATUS tOpenRemoteEndpoint(ISCSI_SOCK* pSock) {
    if (connectionSocket(pSock) >= 0) {
        return STATUS_SUCCESS;
    }
    sockaddr_in remote = {};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(pSock->portNum);
    remote.sin_addr.s_addr = htonl(pSock->ipAddress);
    pSock->remoteAddress = remote;
    return STATUS_SUCCESS;
}

NTSTATUS tAssociateRemoteWithLocal(ISCSI_SOCK* pSock) {
    if (pSock->tcpDeviceObject == nullptr) {
        return ISCSI_FAILURE;
    }
    tLockState(pSock);
    NTSTATUS status = STATUS_INVALID_CONNECTION;
    if (pSock->addressHandle >= 0) {
        pSock->connectionHandle = pSock->addressHandle;
        status = STATUS_SUCCESS;
    }
    tUnlockState(pSock);
    return status;
}

NTSTATUS tConnectTarget(ISCSI_SOCK* pSock) {
    const TCP_DEVICE* device = pSock->tcpDeviceObject;
    int fd = connectionSocket(pSock);
    if (device == nullptr || fd < 0) {
        return ISCSI_FAILURE;
    }
    LONGLONG deadline = tDeadline(TCP_CONNECT_SECONDS);
    if (device->connect(fd, reinterpret_cast<const sockaddr*>(&pSock->remoteAddress),
                        sizeof pSock->remoteAddress) == 0) {
        return STATUS_SUCCESS;
    }
    // An interrupted connect goes on in the background, like one in progress.
    if (errno != EINPROGRESS && errno != EINTR) {
        return tStatusFromErrno(errno);
    }
    int ready = tPollSocket(device, fd, POLLOUT, deadline);
    if (ready == 0) {
        return STATUS_IO_TIMEOUT;
    }
    if (ready < 0) {
        return tStatusFromErrno(errno);
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (device->getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return tStatusFromErrno(errno);
    }
    return tStatusFromErrno(error);
}

NTSTATUS tDisconnectTarget(ISCSI_SOCK* pSock, ULONG flags) {
    const TCP_DEVICE* device = pSock->tcpDeviceObject;
    int fd = connectionSocket(pSock);
    if (device == nullptr || fd < 0) {
        return ISCSI_FAILURE;
    }
    int how = SHUT_WR;
    if ((flags & TDI_DISCONNECT_ABORT) != 0) {
        // Closing with a zero linger time resets the connection instead of a graceful close.
        linger abortive = {1, 0};
        (void)device->setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        how = SHUT_RDWR;
    }
    // Shutting the socket down also wakes every read and write that waits on it.
    if (device->shutdown(fd, how) != 0) {
        return tStatusFromErrno(errno);
    }
    return STATUS_SUCCESS;
}

NTSTATUS tDisassociateRemoteWithLocal(ISCSI_SOCK* pSock) {
    if (pSock->tcpDeviceObject == nullptr) {
        return ISCSI_FAILURE;
    }
    tLockState(pSock);
    NTSTATUS status = pSock->connectionHandle >= 0 ? STATUS_SUCCESS : STATUS_INVALID_CONNECTION;
    pSock->connectionHandle = -1;
    tUnlockState(pSock);
    return status;
}

NTSTATUS tCloseRemoteEndpoint(ISCSI_SOCK* pSock) {
    RtlZeroMemory(&pSock->remoteAddress, sizeof pSock->remoteAddress);
    return STATUS_SUCCESS;
}

NTSTATUS tCloseLocalEndpoint(ISCSI_SOCK* pSock) {
    tLockState(pSock);
    int fd = pSock->addressHandle;
    if (fd < 0) {
        tUnlockState(pSock);
        return STATUS_SUCCESS;
    }
    pSock->addressHandle = -1;
    pSock->connectionHandle = -1;
    bool inUse = pSock->ioFd[TCP_IO_READ] == fd || pSock->ioFd[TCP_IO_WRITE] == fd;
    tUnlockState(pSock);

    const TCP_DEVICE* device = pSock->tcpDeviceObject;
    if (inUse) {
        // Makes its users return at once. Shut down before the close is left to them: until then
        // none of them closes it, so the shutdown never reaches a descriptor already closed (and
        // perhaps reused by another connection).
        (void)device->shutdown(fd, SHUT_RDWR);
        tLockState(pSock);
        inUse = pSock->ioFd[TCP_IO_READ] == fd || pSock->ioFd[TCP_IO_WRITE] == fd;
        if (inUse) {
            // At most two sockets are in use (one per role) and this is one of them, so a slot
            // is always free. The last of its users closes it.
            int slot = pSock->closePending[0] < 0 ? 0 : 1;
            pSock->closePending[slot] = fd;
        }
        tUnlockState(pSock);
        if (inUse) {
            return STATUS_SUCCESS;
        }
    }
    // The descriptor is released whatever close reports; an interruption is no failure.
    if (device->close(fd) != 0 && errno != EINTR) {
        return tStatusFromErrno(errno);
    }
    return STATUS_SUCCESS;
}
