#include "completion_double.h"

#include "driver/runtime/os_services.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

namespace systest {
namespace {

std::mutex mutex;
std::condition_variable changed;
std::map<PSCSI_REQUEST_BLOCK, std::vector<Completed>> requests; // guarded by mutex

void complete(PSCSI_REQUEST_BLOCK srb, Completed c) {
    std::lock_guard lock(mutex);
    auto it = requests.find(srb);
    ASSERT_NE(it, requests.end()) << "completion of a request never handed to the engine";
    it->second.push_back(c);
    EXPECT_EQ(it->second.size(), 1u) << "request " << srb << " completed again";
    changed.notify_all();
}

} // namespace

void expectCompletion(PSCSI_REQUEST_BLOCK srb) {
    std::lock_guard lock(mutex);
    requests[srb].clear();
}

void forgetRequest(PSCSI_REQUEST_BLOCK srb) {
    std::lock_guard lock(mutex);
    requests.erase(srb);
}

std::optional<Completed> completionOf(PSCSI_REQUEST_BLOCK srb, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex);
    auto it = requests.find(srb);
    if (it == requests.end() ||
        !changed.wait_for(lock, limit, [&] { return !it->second.empty(); })) {
        return std::nullopt;
    }
    return it->second.front();
}

void checkEveryRequestCompletedOnce() {
    std::lock_guard lock(mutex);
    for (const auto& [srb, done] : requests) {
        EXPECT_EQ(done.size(), 1u) << "request " << srb;
    }
    requests.clear();
}

} // namespace systest

using systest::Completed;

void iscsiOScompleteCommand(PSCSI_REQUEST_BLOCK srb, UCHAR scsiStatus, ULONG residual) {
    srb->ScsiStatus = scsiStatus;
    systest::complete(srb, {Completed::Command, scsiStatus, residual, 0});
}
void iscsiOScompleteCommandNoConnection(PSCSI_REQUEST_BLOCK srb) {
    systest::complete(srb, {Completed::NoConnection, 0, 0, 0});
}
void iscsiOScompleteCommandReset(PSCSI_REQUEST_BLOCK srb) {
    systest::complete(srb, {Completed::Reset, 0, 0, 0});
}
void iscsiOScompleteCommandAbort(PSCSI_REQUEST_BLOCK srb) {
    systest::complete(srb, {Completed::Abort, 0, 0, 0});
}
void iscsiOScompleteTaskMan(UCHAR function, PSCSI_REQUEST_BLOCK srb, ULONG result) {
    if (function == TM_FUNCTION_ABORT_TASK) {
        systest::complete(srb, {Completed::TaskMan, 0, 0, result});
    }
}

// No configuration tool here: every security step is approved.
int iscsiOShandleSecurity(char*, ULONG, ULONG) {
    return 0;
}
