// What a target says it serves and what a bus holds: the answer to SendTargets=All read into
// targets and their addresses, and the logical units a bus scan found, with their capacity.
#pragma once

#include "tool/host.h"

#include <cstdint>
#include <string>
#include <vector>

namespace quevi::tool {

// One target of a SendTargets answer.
struct ListedTarget {
    std::string name;
    std::vector<std::string> addresses; // TargetAddress values as given: ADDR[:PORT][,TAG]
};

// The NUL-separated key=value pairs of a SendTargets answer: each TargetName begins a target and
// the TargetAddress pairs after it are its addresses. Other keys and addresses before any name
// are passed over; a name given again adds its addresses to the first. Bytes outside printable
// ASCII are replaced by '?', so what a target says can be shown as it is.
std::vector<ListedTarget> parseSendTargets(const std::string& text);

// An IPv4 TargetAddress, "A.B.C.D[:PORT][,TAG]" (port 3260 when none is given), into a host-order
// address and a port; false for any other form (a host name, an IPv6 address, a bad port).
bool parsePortal(const std::string& address, uint32_t& ip, uint16_t& port);

// A TargetAddress without its portal group tag.
std::string withoutGroupTag(const std::string& address);

// One logical unit a bus scan found.
struct LunInfo {
    uint8_t lun = 0;
    uint8_t deviceType = 0; // INQUIRY's peripheral device type (0: direct access)
    std::string vendor;     // INQUIRY's identification, without its padding
    std::string product;
    std::string revision;
    bool sized = false; // READ CAPACITY answered
    uint64_t blocks = 0;
    uint32_t blockSize = 0;
};

// The units of `bus` that the host's last scan found, in LUN order, each with its capacity (READ
// CAPACITY(10), or (16) when the unit has 2^32 blocks or more). Once a unit does not answer, the
// bus's further units are not asked (each would wait as long), and `error` says which one and why.
std::vector<LunInfo> describeLuns(Host& host, UCHAR bus, std::string& error);

} // namespace quevi::tool
