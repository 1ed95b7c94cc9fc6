// The thread that answers the security steps of one added bus: it waits on the tool's login event
// and, for every signal, clears the event and runs one security step. The event is cleared before
// the step, and the driver signals it again only after the step's SECURITY_COMPLETE has released
// the waiting login, so no signal is lost. Stopping sets a flag and signals the event itself.
#pragma once

#include "tool/config_tool.h"

#include <thread>

namespace quevi::tool {

class ConfigTool::LoginServer {
public:
    using Step = std::function<void(const SecurityStepHooks& hooks)>;

    // Takes over the event's handle; the thread starts at once.
    LoginServer(PKEVENT event, HANDLE handle, Step step);
    ~LoginServer(); // stops
    LoginServer(const LoginServer&) = delete;
    LoginServer& operator=(const LoginServer&) = delete;

    // Ends the thread (after the step in progress, if any) and closes the handle.
    void stop();
    SecurityCounts counts() const;

private:
    void serve();

    PKEVENT event_;
    HANDLE handle_;
    Step step_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    SecurityCounts counts_; // guarded by mutex_
    SecurityStepHooks hooks_;
    std::thread thread_;
};

} // namespace quevi::tool
