// LUNs named by URLs, attached to a loaded host as class disks: one add conversation per target
// (URLs naming the same target share its bus), a scan, and the disks the class driver claims.
#pragma once

#include "platform/classdisk/classdisk.h"
#include "tool/host.h"
#include "tool/target_url.h"

#include <string>
#include <vector>

namespace quevi::tool {

// The request size of disks used for bulk transfers: with the class disk's eight slots, 2 MiB in
// flight and a quarter of the per-request cost of the driver's 64 KiB default.
constexpr uint32_t kBulkTransferBytes = 256 * 1024;

// Sets MaximumTransferLength to kBulkTransferBytes unless the options name it.
void preferBulkTransfers(HostOptions& options);

struct AttachOptions {
    std::string initiatorName; // empty: defaultInitiatorName()
    uint32_t connections = 1;
    SecurityPolicy security = acceptAll();
};

// False, with a message, when two URLs name one target name at one address on different ports.
// The initiator joins every add of one address and name to one session (a target may answer on
// several ports), so the second would reach the first target's LUNs: two targets on one address
// must have different names.
bool distinctTargets(const std::vector<TargetUrl>& urls, std::string& error);

// The class disk of every URL, in order; empty with a message naming the first URL that could
// not be attached (URLs that are not distinctTargets, the add refused or unanswered, or no disk at
// its LUN).
std::vector<CLASS_DISK*> attachDisks(Host& host, const std::vector<TargetUrl>& urls,
                                     const AttachOptions& options, std::string& error);

// Every class disk the scan finds on the URL's target (whatever LUN the URL names), indexed by
// LUN number (0 to kMaxLun; null where the scan found none); empty with a message when the add
// failed or the target has no disk.
std::vector<CLASS_DISK*> attachTargetDisks(Host& host, const TargetUrl& url,
                                           const AttachOptions& options, std::string& error);

// SYNCHRONIZE CACHE for the disk's LUN, retried a few times while the unit is busy or reports a
// unit attention (as after a reconnection); true when the target reported it done.
bool flushDisk(Host& host, CLASS_DISK* disk);

// "A.B.C.D:PORT/NAME/LUN", for messages.
std::string urlText(const TargetUrl& url);

} // namespace quevi::tool
