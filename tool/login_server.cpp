#include "tool/login_server.h"

namespace quevi::tool {
namespace {

// The longest single wait; a stop request signals the event, so this only bounds the wait.
constexpr LONGLONG kWaitSliceUnits = 10'000'000; // one second in 100 ns units

} // namespace

ConfigTool::LoginServer::LoginServer(PKEVENT event, HANDLE handle, Step step)
    : event_(event), handle_(handle),
      step_(std::move(step)), hooks_{[this] { return KeReadStateEvent(event_) != 0; },
                                     [this](bool accepted) {
                                         std::lock_guard<std::mutex> guard(mutex_);
                                         counts_.served++;
                                         (accepted ? counts_.accepted : counts_.refused)++;
                                     }},
      thread_([this] { serve(); }) {}

ConfigTool::LoginServer::~LoginServer() {
    stop();
}

void ConfigTool::LoginServer::stop() {
    if (!thread_.joinable()) {
        return;
    }
    stopping_ = true;
    KeSetEvent(event_, 0, FALSE);
    thread_.join();
    ZwClose(handle_); // the driver keeps the event alive through its own handle while it has one
}

SecurityCounts ConfigTool::LoginServer::counts() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return counts_;
}

void ConfigTool::LoginServer::serve() {
    while (!stopping_) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -kWaitSliceUnits;
        if (KeWaitForSingleObject(event_, Executive, KernelMode, FALSE, &timeout) !=
                STATUS_SUCCESS ||
            stopping_) {
            continue;
        }
        KeClearEvent(event_);
        step_(hooks_);
    }
}

} // namespace quevi::tool
