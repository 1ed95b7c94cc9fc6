#include "completion_double.h"

#include "driver/engine/os_services.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

namespace systest {
namespace {

struct Record {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<PSCSI_REQUEST_BLOCK, std::vector<Completed>> requests;
};

Record& record() {
    static Record r;
    return r;
}

void complete(PSCSI_REQUEST_BLOCK srb, Completed c) {
    Record& r = record();
    std::lock_guard lock(r.mutex);
    auto it = r.requests.find(srb);
    if (it == r.requests.end()) {
        ADD_FAILURE() << "completion of a request never handed to the engine";
        return;
    }
    it->second.push_back(c);
    if (it->second.size() > 1) {
        ADD_FAILURE() << "request " << srb << " completed " << it->second.size() << " times";
    }
    r.changed.notify_all();
}

} // namespace

void expectCompletion(PSCSI_REQUEST_BLOCK srb) {
    Record& r = record();
    std::lock_guard lock(r.mutex);
    r.requests[srb].clear();
}

void forgetRequest(PSCSI_REQUEST_BLOCK srb) {
    Record& r = record();
    std::lock_guard lock(r.mutex);
    r.requests.erase(srb);
}

std::optional<Completed> completionOf(PSCSI_REQUEST_BLOCK srb, std::chrono::milliseconds limit) {
    Record& r = record();
    std::unique_lock lock(r.mutex);
    auto it = r.requests.find(srb);
    if (it == r.requests.end() ||
        !r.changed.wait_for(lock, limit, [&] { return !it->second.empty(); })) {
        return std::nullopt;
    }
    return it->second.front();
}

void checkEveryRequestCompletedOnce() {
    Record& r = record();
    std::lock_guard lock(r.mutex);
    for (const auto& [srb, done] : r.requests) {
        EXPECT_EQ(done.size(), 1u) << "request " << srb;
    }
    r.requests.clear();
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
