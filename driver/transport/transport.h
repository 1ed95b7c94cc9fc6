// The TCP transport connection record and the steps that make up a connection, over POSIX sockets.
//
// One ISCSI_SOCK per session connection (ISCSI_CONNECTION.pSock); the engine sees it only through
// the iscsiOS*Connection operations of driver/runtime/os_services.h. The steps keep the names of
// the transport requests they stand for:
//   tFindTransportDevice          picks the table of socket calls (the "TCP device")
//   tOpenLocalEndpoint            creates a non-blocking TCP socket bound to any local address
//   tOpenRemoteEndpoint           builds the target's socket address
//   tAssociateRemoteWithLocal     ties the connection to that socket
//   tConnectTarget                connects, 3 seconds at most
//   tDisconnectTarget             shuts the connection down (abortively with TDI_DISCONNECT_ABORT)
//   tDisassociateRemoteWithLocal  unties the connection from the socket
//   tCloseRemoteEndpoint, tCloseLocalEndpoint  undo the opening steps; the latter closes the socket
//
// Locking. `stateLock` guards sockState, the descriptors and their registered users. It
// is held only for a few field updates, never across a socket call or a wait, and never together
// with another lock.
//
// Descriptor lifetime. A read and a write register the socket they use for their whole duration
// (tIoEnter/tIoLeave). tCloseLocalEndpoint never closes a descriptor that one of them still uses:
// it shuts the socket down (which makes every poll and socket call on it return at once) and
// leaves the close to the last of its users. So a read or write never touches a descriptor
// number that has been closed and perhaps reused by another connection.
#pragma once

#include "driver/runtime/os_services.h"
#include "driver/runtime/shared_field.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

// Transport states (ISCSI_SOCK.sockState).
constexpr UCHAR SOCK_CONNECTED = 2;    // connected; sends are issued only in this state
constexpr UCHAR SOCK_DISCONNECTED = 4; // broken, or the last connect failed
constexpr UCHAR SOCK_NEW = 7;          // allocated, never connected

// Disconnect flags of tDisconnectTarget.
constexpr ULONG TDI_DISCONNECT_ABORT = 0x2;
constexpr ULONG TDI_DISCONNECT_RELEASE = 0x4;

// The most a read waits to gather before a receive: a large transfer wakes its reader in pieces of
// this size instead of once per arriving segment.
constexpr ULONG TCP_MAX_LOW_WATER = 128 * 1024;

// Per-receive time limit of iscsiOSreadFromConnection2.
constexpr ULONG ISCSI_READ2_TIMEOUT_MS = 7000;

// Time limits, in seconds of the kernel clock (scaled in tests).
constexpr ULONG TCP_CONNECT_SECONDS = 3;
constexpr ULONG TCP_SEND_SECONDS = 6;
constexpr ULONG TCP_CANCEL_SECONDS = 2;
constexpr ULONG TCP_EXIT_WAIT_SECONDS = 1;

// Statuses of the transport's steps (NT's values for the same outcomes).
constexpr NTSTATUS STATUS_INVALID_CONNECTION = static_cast<NTSTATUS>(0xC0000140);
constexpr NTSTATUS STATUS_IO_TIMEOUT = static_cast<NTSTATUS>(0xC00000B5);
constexpr NTSTATUS STATUS_CONNECTION_DISCONNECTED = static_cast<NTSTATUS>(0xC000020C);
constexpr NTSTATUS STATUS_CONNECTION_RESET = static_cast<NTSTATUS>(0xC000020D);
constexpr NTSTATUS STATUS_CONNECTION_REFUSED = static_cast<NTSTATUS>(0xC0000236);
constexpr NTSTATUS STATUS_NETWORK_UNREACHABLE = static_cast<NTSTATUS>(0xC000023C);
constexpr NTSTATUS STATUS_HOST_UNREACHABLE = static_cast<NTSTATUS>(0xC000023D);
constexpr NTSTATUS STATUS_CONNECTION_ABORTED = static_cast<NTSTATUS>(0xC0000241);

// The socket calls the transport makes, in one table: the counterpart of the TCP device that
// every transport request was sent to. The default table holds the POSIX calls; tests may put
// one in its place that counts or alters calls (tSetTcpDevice).
struct TCP_DEVICE {
    int (*socket)(int domain, int type, int protocol);
    int (*bind)(int fd, const sockaddr* address, socklen_t length);
    int (*connect)(int fd, const sockaddr* address, socklen_t length);
    int (*poll)(pollfd* fds, nfds_t count, int timeoutMs);
    ssize_t (*sendmsg)(int fd, const msghdr* message, int flags);
    ssize_t (*recvmsg)(int fd, msghdr* message, int flags);
    int (*getsockopt)(int fd, int level, int name, void* value, socklen_t* length);
    int (*setsockopt)(int fd, int level, int name, const void* value, socklen_t length);
    int (*shutdown)(int fd, int how);
    int (*close)(int fd);
};

// A data request, reused for every send (or every receive) of one record: the message and the
// chain of at most three buffer descriptors (header, data segment, zero padding) it names.
struct TCP_REQUEST {
    msghdr msg;
    iovec iov[3];
};

// The transport connection record, zero-filled at allocation.
// Fixed after allocation: ipAddress, portNum, the events, stateLock, receiveIrp, sendIrp.
// Guarded by stateLock: sockState (also read without it), addressHandle, connectionHandle, ioFd,
// closePending, savedIrql (while the lock is held).
// Written by make and break only (the callers never run two of those at once on a record):
// remoteAddress, tcpDeviceObject. readWriteMustExit is written without a lock (set by break,
// cleared by a successful make) and read by readers and writers between their steps.
// Owned by the one read in progress: receiveIrp, rcvBytes; by the one write: sendIrp, sentBytes.
struct ISCSI_SOCK {
    int addressHandle;          // the socket (local endpoint); -1 when not open
    PVOID addressFileObject;    // no socket counterpart (a descriptor is its own reference); null
    int connectionHandle;       // the socket once associated with the connection; -1 otherwise
    PVOID connectionFileObject; // no socket counterpart; null
    sockaddr_in remoteAddress;  // the target, network byte order; built by tOpenRemoteEndpoint
    ULONG ipAddress;            // host byte order, first octet most significant
    USHORT portNum;             // host byte order
    const TCP_DEVICE* tcpDeviceObject; // null until first found
    KEVENT requestEvent; // no socket counterpart: the control steps complete synchronously
    KEVENT sendEvent;    // no socket counterpart: waits are polls on the socket
    KEVENT receiveEvent; // no socket counterpart: waits are polls on the socket
    ULONG rcvBytes;      // bytes of the last receive
    ULONG sentBytes;     // bytes sent by the last write
    KSPIN_LOCK stateLock;
    KIRQL savedIrql; // the IRQL saved while stateLock is held
    Shared<UCHAR> sockState;
    // Nonzero: every read and write in progress or to come gives up.
    Shared<UCHAR> readWriteMustExit;
    KEVENT readerExitEvent;  // set by a read leaving the transport while readWriteMustExit is set
    KEVENT writerExitEvent;  // set by a write leaving the transport while readWriteMustExit is set
    TCP_REQUEST* receiveIrp; // reused for every receive
    TCP_REQUEST* sendIrp;    // reused for every send
    // Socket used by the read and by the write in progress (index TCP_IO_READ, TCP_IO_WRITE);
    // -1 when none.
    int ioFd[2];
    int closePending[2]; // closed sockets still used by a read or write; -1 when free
    // The socket's receive low-water mark as the read in progress last set it (0: never set).
    // Owned by the one read in progress; a new socket starts at the system's 1.
    int lowWater;
};

// Puts a table of socket calls in place of the POSIX one for records that find their device from
// now on (null restores the POSIX table); returns the previous table. For tests.
const TCP_DEVICE* tSetTcpDevice(const TCP_DEVICE* device);
// The POSIX table.
const TCP_DEVICE* tPosixTcpDevice();

// The transport's steps; each returns an NT status (0 success), or -1 when it cannot be issued
// (no device, no socket).
NTSTATUS tFindTransportDevice(ISCSI_SOCK* pSock);
NTSTATUS tOpenLocalEndpoint(ISCSI_SOCK* pSock);
NTSTATUS tOpenRemoteEndpoint(ISCSI_SOCK* pSock);
NTSTATUS tAssociateRemoteWithLocal(ISCSI_SOCK* pSock);
NTSTATUS tConnectTarget(ISCSI_SOCK* pSock);
NTSTATUS tDisconnectTarget(ISCSI_SOCK* pSock, ULONG flags);
NTSTATUS tDisassociateRemoteWithLocal(ISCSI_SOCK* pSock);
NTSTATUS tCloseRemoteEndpoint(ISCSI_SOCK* pSock);
NTSTATUS tCloseLocalEndpoint(ISCSI_SOCK* pSock);

// Takes and drops stateLock, keeping the IRQL in savedIrql.
void tLockState(ISCSI_SOCK* pSock);
void tUnlockState(ISCSI_SOCK* pSock);

// The two users of a record's socket: the read and the write in progress.
constexpr int TCP_IO_READ = 0;
constexpr int TCP_IO_WRITE = 1;
// Registers the read or the write (`role`) as a user of the connection's socket and gives its
// descriptor; false, with nothing registered, when the record has no socket or that role is
// already in progress (callers run at most one read and one write at a time).
bool tIoEnter(ISCSI_SOCK* pSock, int role, int* fd);
// Ends the registration; closes the socket if it was closed meanwhile and this was its last user,
// and, while the connection is being broken, sets the role's exit event for the break waiting.
void tIoLeave(ISCSI_SOCK* pSock, int role);

// The NT status for a socket error number.
NTSTATUS tStatusFromErrno(int error);

// A point `seconds` from now on the kernel clock (KeQuerySystemTime, 100 ns units);
// TCP_NO_DEADLINE means none.
constexpr LONGLONG TCP_NO_DEADLINE = -1;
LONGLONG tDeadline(ULONG seconds);
// Polls one descriptor for the events until the deadline (at least once, without waiting when it
// has passed); repeats after interruptions with the time left. Returns 1 when ready (or in error
// or hung up: the next socket call tells), 0 when the time ran out, -1 when poll failed.
int tPollSocket(const TCP_DEVICE* device, int fd, short events, LONGLONG deadline);
