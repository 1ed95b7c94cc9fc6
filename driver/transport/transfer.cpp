// Sending PDUs and reading exact byte counts on a transport connection.
//
// A write sends header and data segment with one sendmsg of a two-buffer chain (further calls only
// for what a partial send left), waiting at most 6 seconds for the socket to take it all. A read
// receives straight into the caller's buffer, one receive per step for the whole remainder, each
// with the caller's time limit. Neither allocates: they reuse the record's two requests.
#include "driver/runtime/runtime.h"
#include "driver/transport/transport.h"

#include <cerrno>

namespace {

// Sends what is left of the request's buffer chain without waiting, advancing the chain past what
// went out. Returns STATUS_SUCCESS when all of it is sent, STATUS_PENDING when the socket took
// only part (or nothing) and the rest must wait, or the failure's status.
NTSTATUS sendStep(ISCSI_SOCK* pSock, int fd, TCP_REQUEST* request, ULONG* left) {
    ssize_t n = pSock->tcpDeviceObject->sendmsg(fd, &request->msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? STATUS_PENDING
                                                                         : tStatusFromErrno(errno);
    }
    auto sent = static_cast<ULONG>(n);
    pSock->sentBytes += sent;
    *left -= sent;
    while (sent != 0 && request->msg.msg_iovlen != 0) {
        iovec* first = request->msg.msg_iov;
        if (sent < first->iov_len) {
            first->iov_base = static_cast<char*>(first->iov_base) + sent;
            first->iov_len -= sent;
            break;
        }
        sent -= static_cast<ULONG>(first->iov_len);
        request->msg.msg_iov++;
        request->msg.msg_iovlen--;
    }
    return *left == 0 ? STATUS_SUCCESS : STATUS_PENDING;
}

// Completes a send that could not go out at once: waits for room in the socket and sends on until
// all of it is sent, the deadline passes (STATUS_TIMEOUT) or the connection is being broken.
NTSTATUS completeSend(ISCSI_SOCK* pSock, int fd, TCP_REQUEST* request, ULONG* left) {
    LONGLONG deadline = tDeadline(TCP_SEND_SECONDS);
    for (;;) {
        if (pSock->readWriteMustExit != 0) {
            return STATUS_CONNECTION_ABORTED;
        }
        int ready = tPollSocket(pSock->tcpDeviceObject, fd, POLLOUT, deadline);
        if (ready == 0) {
            return STATUS_TIMEOUT;
        }
        if (ready < 0) {
            return tStatusFromErrno(errno);
        }
        NTSTATUS status = sendStep(pSock, fd, request, left);
        if (status != STATUS_PENDING) {
            return status;
        }
    }
}

// Receives at most what is left of the request's buffer without waiting. Returns STATUS_SUCCESS
// with the count in rcvBytes, STATUS_PENDING when nothing is there yet, or the failure's status;
// the peer's end of the stream is a failure (the bytes asked for will never come).
NTSTATUS receiveStep(ISCSI_SOCK* pSock, int fd, TCP_REQUEST* request) {
    pSock->rcvBytes = 0;
    ssize_t n = pSock->tcpDeviceObject->recvmsg(fd, &request->msg, MSG_DONTWAIT);
    if (n > 0) {
        pSock->rcvBytes = static_cast<ULONG>(n);
        return STATUS_SUCCESS;
    }
    if (n == 0) {
        return STATUS_CONNECTION_DISCONNECTED;
    }
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? STATUS_PENDING
                                                                     : tStatusFromErrno(errno);
}

// The read itself, on the registered socket fd (-1: none). Each receive waits timeoutMs, unless a
// deadline for the whole read is given (not TCP_NO_DEADLINE).
int readSteps(ISCSI_SOCK* pSock, int fd, UCHAR* buffer, ULONG length, ULONG timeoutMs,
              LONGLONG wholeDeadline) {
    // The limit of each receive, in whole seconds: a signed division that truncates, so a budget
    // below a second only polls. A value that is negative as a signed number also only polls.
    bool forever = timeoutMs == ISCSI_NO_TIME_LIMIT;
    LONG seconds = static_cast<LONG>(timeoutMs) / 1000;
    if (seconds < 0) {
        seconds = 0;
    }
    TCP_REQUEST* request = pSock->receiveIrp;
    ULONG bytesRead = 0;
    while (bytesRead < length) {
        if (pSock->readWriteMustExit != 0) {
            return static_cast<int>(bytesRead);
        }
        // Without a registered socket the receive request (another read's) is left alone.
        NTSTATUS status = STATUS_INVALID_CONNECTION;
        if (fd >= 0) {
            request->iov[0].iov_base = buffer + bytesRead;
            request->iov[0].iov_len = length - bytesRead;
            request->msg = {};
            request->msg.msg_iov = request->iov;
            request->msg.msg_iovlen = 1;
            status = receiveStep(pSock, fd, request);
        }
        Debug(DBG_TRANSFER, "iscsiOSreadFromConnection: IoCallDriver returned %x\n", status);
        if (status == STATUS_PENDING) {
            LONGLONG deadline = wholeDeadline != TCP_NO_DEADLINE ? wholeDeadline
                                : forever                        ? TCP_NO_DEADLINE
                                          : tDeadline(static_cast<ULONG>(seconds));
            // Wake once as much of the rest as one receive can take has arrived, not for every
            // segment of a large transfer. Closing or an error still wakes the wait at once.
            ULONG rest = length - bytesRead;
            int lowWater = static_cast<int>(rest < TCP_MAX_LOW_WATER ? rest : TCP_MAX_LOW_WATER);
            if (lowWater != pSock->lowWater &&
                pSock->tcpDeviceObject->setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &lowWater,
                                                   sizeof lowWater) == 0) {
                pSock->lowWater = lowWater;
            }
            int ready = tPollSocket(pSock->tcpDeviceObject, fd, POLLIN, deadline);
            if (ready > 0) {
                status = receiveStep(pSock, fd, request);
                if (status == STATUS_PENDING) {
                    status = STATUS_SUCCESS; // woken without data: receive again
                }
            } else {
                status = ready == 0 ? STATUS_TIMEOUT : tStatusFromErrno(errno);
            }
            // Nothing stays posted on a socket, so giving up a receive needs no cancellation.
            if (pSock->readWriteMustExit != 0) {
                Debug(DBG_ERROR, "iscsiOSreadFromConnection: cancelling IRP because "
                                 "pSock->readWriteMustExit\n");
            }
        } else {
            Debug(DBG_ERROR, "iscsiOSreadFromConnection: cancelling IRP because IoCallDriver rc "
                             "!= STATUS_PENDING\n");
        }
        if (pSock->readWriteMustExit != 0) {
            return ISCSI_FAILURE;
        }
        if (status != STATUS_SUCCESS) {
            return ISCSI_FAILURE;
        }
        bytesRead += pSock->rcvBytes;
        Debug(DBG_TRANSFER, "iscsiOSreadFromConnection: bytesRead = %x, pSock->rcvBytes = %x\n",
              bytesRead, pSock->rcvBytes);
    }
    return static_cast<int>(bytesRead);
}

} // namespace

namespace {

constexpr UCHAR zeroPad[3] = {0, 0, 0};

// Sends header, data and padding as one chain; the data and pad lengths are already checked.
LONG writeChain(PISCSI_SOCK pSock, const void* header, ULONG headerLength, const void* data,
                ULONG dataLength, ULONG dataOffset, ULONG padLength) {
    // The request is the record's one send request: it is filled only once this write has
    // registered as the write in progress.
    TCP_REQUEST* request = pSock->sendIrp;
    ULONG left = headerLength + dataLength + padLength;
    int fd = -1;
    bool registered = false;
    NTSTATUS status = ISCSI_FAILURE;
    if (pSock->sockState == SOCK_CONNECTED) {
        registered = tIoEnter(pSock, TCP_IO_WRITE, &fd);
        status = STATUS_INVALID_CONNECTION;
    }
    if (registered) {
        // Header, data segment and padding as one chain: one send per PDU.
        request->iov[0].iov_base = const_cast<void*>(header);
        request->iov[0].iov_len = headerLength;
        size_t count = 1;
        if (dataLength != 0) {
            request->iov[count].iov_base =
                const_cast<UCHAR*>(static_cast<const UCHAR*>(data) + dataOffset);
            request->iov[count].iov_len = dataLength;
            count++;
        }
        if (padLength != 0) {
            request->iov[count].iov_base = const_cast<UCHAR*>(zeroPad);
            request->iov[count].iov_len = padLength;
            count++;
        }
        request->msg = {};
        request->msg.msg_iov = request->iov;
        request->msg.msg_iovlen = count;
        pSock->sentBytes = 0;
        status = sendStep(pSock, fd, request, &left);
    }
    Debug(DBG_TRANSFER, "iscsiOSwriteToConnection: IoCallDriver returned %x\n", status);

    if (status == STATUS_PENDING) {
        status = completeSend(pSock, fd, request, &left);
        if (pSock->readWriteMustExit != 0 || status == STATUS_TIMEOUT) {
            Debug(DBG_ERROR,
                  "iscsiOSwriteToConnection: cancelling IRP.  pSock->readWriteMustExit = %x, rc = "
                  "%x\n",
                  pSock->readWriteMustExit.get(), status);
            // A PDU cut short cannot be followed by another on the same stream: the target
            // would take the next header's bytes for the rest of this one. Reset the connection
            // so that it is rebuilt rather than desynchronised.
            if (pSock->sentBytes != 0) {
                (void)tDisconnectTarget(pSock, TDI_DISCONNECT_ABORT);
            }
        }
    }
    if (registered) {
        tIoLeave(pSock, TCP_IO_WRITE);
    }

    if (pSock->readWriteMustExit != 0) {
        status = ISCSI_FAILURE;
    }
    LONG rc = status == STATUS_SUCCESS ? static_cast<LONG>(pSock->sentBytes) : ISCSI_FAILURE;
    Debug(DBG_TRANSFER, "iscsiOSwriteToConnection: returning with rc = %x\n", rc);
    return rc;
}

// The trace and the checks every write makes before it is issued; false when it cannot be.
bool writeArgumentsValid(PISCSI_SOCK pSock, const void* header, const void* data,
                         ULONG dataLength) {
    if (dataLength == 0) {
        Debug(DBG_TRANSFER, "iscsiOSwriteToConnection: sending iSCSI header with no data\n");
    } else {
        Debug(DBG_TRANSFER, "iscsiOSwriteToConnection: sending iSCSI header and data together\n");
    }
    if (pSock == nullptr) {
        Debug(DBG_ERROR, "iscsiOSwriteToConnection: pSock == NULL, returning ISCSI_FAILURE\n");
        return false;
    }
    if (header == nullptr) {
        Debug(DBG_TRANSFER, "iscsiOSwriteToConnection: header == NULL (error)\n");
        return false;
    }
    if (dataLength != 0 && data == nullptr) {
        Debug(DBG_ERROR, "iscsiOSwriteToConnection: data == NULL, returning ISCSI_FAILURE\n");
        return false;
    }
    return true;
}

} // namespace

LONG iscsiOSwriteToConnection(PISCSI_SOCK pSock, const void* header, ULONG headerLength,
                              const void* data, ULONG dataLength, ULONG context, ULONG dataOffset) {
    (void)context;
    if (!writeArgumentsValid(pSock, header, data, dataLength)) {
        return ISCSI_FAILURE;
    }
    return writeChain(pSock, header, headerLength, data, dataLength, dataOffset, 0);
}

LONG iscsiOSwritePdu(PISCSI_SOCK pSock, const void* header, const void* data, ULONG dataLength,
                     ULONG dataOffset) {
    if (!writeArgumentsValid(pSock, header, data, dataLength)) {
        return ISCSI_FAILURE;
    }
    ULONG pad = (4 - (dataLength & 3)) & 3;
    return writeChain(pSock, header, ISCSI_HDR_LEN, data, dataLength, dataOffset, pad);
}

namespace {

LONG readConnection(PISCSI_SOCK pSock, void* buffer, ULONG length, ULONG offset, ULONG timeoutMs,
                    LONGLONG wholeDeadline) {
    Debug(DBG_TRANSFER, "iscsiOSreadFromConnection: need to read %x bytes within %x milliseconds\n",
          length, timeoutMs);
    if (pSock == nullptr) {
        Debug(DBG_ERROR, "iscsiOSreadFromConnection: pSock == NULL, returning ISCSI_FAILURE\n");
        return ISCSI_FAILURE;
    }
    if (pSock->readWriteMustExit != 0) {
        Debug(DBG_ERROR, "iscsiOSreadFromConnection: returning from function with rc = "
                         "ISCSI_FAILURE because pSock->readWriteMustExit\n");
        return ISCSI_FAILURE;
    }
    if (length == 0) {
        return 0;
    }
    int fd = -1;
    bool registered = tIoEnter(pSock, TCP_IO_READ, &fd);
    int rc = readSteps(pSock, registered ? fd : -1, static_cast<UCHAR*>(buffer) + offset, length,
                       timeoutMs, wholeDeadline);
    if (registered) {
        tIoLeave(pSock, TCP_IO_READ);
    }
    Debug(DBG_TRANSFER, "iscsiOSreadFromConnection: returning with rc = %x\n", rc);
    return rc;
}

} // namespace

LONG iscsiOSreadFromConnection3(PISCSI_SOCK pSock, void* buffer, ULONG length, ULONG context,
                                ULONG offset, ULONG timeoutMs) {
    (void)context;
    return readConnection(pSock, buffer, length, offset, timeoutMs, TCP_NO_DEADLINE);
}

LONGLONG iscsiOSdeadline(ULONG seconds) {
    return tDeadline(seconds);
}

LONG iscsiOSreadFromConnectionBefore(PISCSI_SOCK pSock, void* buffer, ULONG length, ULONG context,
                                     ULONG offset, LONGLONG deadline) {
    (void)context;
    return readConnection(pSock, buffer, length, offset, ISCSI_NO_TIME_LIMIT, deadline);
}

LONG iscsiOSreadFromConnection(PISCSI_SOCK pSock, void* buffer, ULONG length, ULONG context,
                               ULONG offset) {
    return iscsiOSreadFromConnection3(pSock, buffer, length, context, offset, ISCSI_NO_TIME_LIMIT);
}

LONG iscsiOSreadFromConnection2(PISCSI_SOCK pSock, void* buffer, ULONG length, ULONG context,
                                ULONG offset) {
    return iscsiOSreadFromConnection3(pSock, buffer, length, context, offset,
                                      ISCSI_READ2_TIMEOUT_MS);
}
