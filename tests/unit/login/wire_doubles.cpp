#include "tests/unit/login/wire_doubles.h"

#include "driver/runtime/os_services.h"

#include <cstdlib>
#include <cstring>

namespace wire {

Target& target() {
    static Target instance;
    return instance;
}

void reset() {
    target() = Target{};
}

} // namespace wire

struct ISCSI_SOCK {
    int unused;
};

int iscsiOSallocateConnection(ULONG, USHORT, PISCSI_SOCK* pSock) {
    *pSock = new ISCSI_SOCK{0};
    return 0;
}

int iscsiOSbreakConnection(PISCSI_SOCK) {
    wire::target().breaks++;
    return 0;
}

void iscsiOSdestroyConnection(PISCSI_SOCK pSock) {
    delete pSock;
}

LONG iscsiOSwriteToConnection(PISCSI_SOCK, const void* header, ULONG headerLength, const void* data,
                              ULONG dataLength, ULONG, ULONG dataOffset) {
    if (wire::target().failSends > 0) {
        wire::target().failSends--;
        return ISCSI_FAILURE;
    }
    const auto* h = static_cast<const UCHAR*>(header);
    wire::Sent sent{std::vector<UCHAR>(h, h + headerLength), ""};
    if (data != nullptr) {
        sent.data.assign(static_cast<const char*>(data) + dataOffset, dataLength);
    }
    wire::target().sent.push_back(sent);
    return static_cast<LONG>(headerLength + dataLength);
}

// A PDU as the transport sends it: the data followed by its zero padding.
LONG iscsiOSwritePdu(PISCSI_SOCK pSock, const void* header, const void* data, ULONG dataLength,
                     ULONG dataOffset) {
    LONG sent =
        iscsiOSwriteToConnection(pSock, header, ISCSI_HDR_LEN, data, dataLength, 0, dataOffset);
    if (sent < 0) {
        return sent;
    }
    ULONG pad = (4 - (dataLength & 3)) & 3;
    wire::target().sent.back().data.append(pad, '\0');
    return sent + static_cast<LONG>(pad);
}

// Timed read: the next response header.
LONG iscsiOSreadFromConnection2(PISCSI_SOCK, void* buffer, ULONG length, ULONG, ULONG offset) {
    wire::Target& t = wire::target();
    if (t.responses.empty() || length != ISCSI_HDR_LEN || t.sent.empty()) {
        return ISCSI_FAILURE;
    }
    t.current = t.responses.front();
    t.responses.pop_front();
    memcpy(t.current.header.data() + 16, t.sent.back().header.data() + 16, 4);
    memcpy(static_cast<UCHAR*>(buffer) + offset, t.current.header.data(), ISCSI_HDR_LEN);
    return ISCSI_HDR_LEN;
}

// Untimed read: the data segment of the response whose header was read last.
LONG iscsiOSreadFromConnection(PISCSI_SOCK, void* buffer, ULONG length, ULONG, ULONG offset) {
    wire::Target& t = wire::target();
    if (t.current.data.size() != length) {
        return ISCSI_FAILURE;
    }
    memcpy(static_cast<char*>(buffer) + offset, t.current.data.data(), length);
    t.current.data.clear();
    return static_cast<LONG>(length);
}

// A read with a deadline: the next header once the last segment was read, else that segment.
LONGLONG iscsiOSdeadline(ULONG) {
    return 0;
}
LONG iscsiOSreadFromConnectionBefore(PISCSI_SOCK s, void* buffer, ULONG length, ULONG context,
                                     ULONG offset, LONGLONG) {
    return wire::target().current.data.empty()
               ? iscsiOSreadFromConnection2(s, buffer, length, context, offset)
               : iscsiOSreadFromConnection(s, buffer, length, context, offset);
}

void iscsiOScompleteCommand(PSCSI_REQUEST_BLOCK, UCHAR, ULONG) {
    abort();
}
void iscsiOScompleteCommandNoConnection(PSCSI_REQUEST_BLOCK) {
    abort();
}
void iscsiOScompleteCommandReset(PSCSI_REQUEST_BLOCK) {
    abort();
}
void iscsiOScompleteCommandAbort(PSCSI_REQUEST_BLOCK) {
    abort();
}
void iscsiOScompleteTaskMan(UCHAR, PSCSI_REQUEST_BLOCK, ULONG) {
    abort();
}

// The login exchange and the connection bring-up are linked in but not run here.
int iscsiOSmakeConnection(ULONG, USHORT, PISCSI_SOCK) {
    abort();
}
int iscsiOShandleSecurity(char*, ULONG, ULONG) {
    abort();
}
