#include "tool/copy_parts.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace quevi::tool {
namespace {

// Moves the whole length through `io` (pread or pwrite), resuming after short transfers and
// interruptions; false on an error or when the file ends early.
template <typename Buffer, typename Io>
bool wholeTransfer(Io io, int fd, Buffer* data, uint32_t length, uint64_t at) {
    for (size_t done = 0; done < length;) {
        ssize_t n = io(fd, data + done, length - done, static_cast<off_t>(at + done));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

std::string statusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    switch (status) {
    case STATUS_DEVICE_BUSY:
        return std::string("device busy (") + text + ")";
    case STATUS_NO_SUCH_DEVICE:
        return std::string("no such device (") + text + ")";
    case STATUS_IO_DEVICE_ERROR:
        return std::string("I/O error (") + text + ")";
    case STATUS_DEVICE_DATA_ERROR:
        return std::string("medium error (") + text + ")";
    default:
        return std::string("status ") + text;
    }
}

// Whole pieces that are not all zero are written; the rest stays a hole.
bool writeSparse(int fd, const uint8_t* data, uint32_t length, uint64_t at) {
    size_t start = 0;
    while (start < length) {
        size_t piece = std::min<size_t>(kHolePiece, length - start);
        if (allZero(data + start, piece)) {
            start += piece;
            continue;
        }
        size_t end = start + piece;
        while (end < length) {
            size_t next = std::min<size_t>(kHolePiece, length - end);
            if (allZero(data + end, next)) {
                break;
            }
            end += next;
        }
        for (size_t done = start; done < end;) {
            ssize_t n = pwrite(fd, data + done, end - done, static_cast<off_t>(at + done));
            if (n <= 0) {
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                return false;
            }
            done += static_cast<size_t>(n);
        }
        start = end;
    }
    return true;
}

// A stream is written and read in the order of the chunks, which is the order the copier hands
// them over in, so the offsets are not needed.
bool writeAll(const CopyEnd& end, const uint8_t* data, uint32_t length, uint64_t at) {
    if (end.stream) {
        auto next = [](int fd, const uint8_t* p, size_t n, off_t) { return ::write(fd, p, n); };
        return wholeTransfer(next, end.fd, data, length, at);
    }
    return wholeTransfer(::pwrite, end.fd, data, length, at);
}

bool readAll(const CopyEnd& end, uint8_t* data, uint32_t length, uint64_t at) {
    if (end.stream) {
        auto next = [](int fd, uint8_t* p, size_t n, off_t) { return ::read(fd, p, n); };
        return wholeTransfer(next, end.fd, data, length, at);
    }
    return wholeTransfer(::pread, end.fd, data, length, at);
}

} // namespace quevi::tool
