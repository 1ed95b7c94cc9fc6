// Stopping a program on SIGINT or SIGTERM within a bound, whatever the targets do.
//
// The first signal sets a flag that the program polls (no new transfer starts, retries stop) and
// wakes a watcher thread. After a short grace, in which healthy transfers finish, the watcher gives
// up what is still in flight on the watched host (Host::giveUp): the adapter breaks its
// connections, the engine completes every request it holds, and every wait for them ends. Buffers
// are never freed under a request that has not completed. A second signal ends the process at
// once (exit 130) after a message, and so does the watcher if the program is still running at the
// deadline (a wait that giving up does not end, such as a login the target does not answer), so
// that stopping never takes longer whatever is stuck.
//
// One per process; the handlers are the process's from construction to destruction.
#pragma once

#include "tool/host.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

namespace quevi::tool {

class Interruption {
public:
    static constexpr std::chrono::milliseconds kGrace{250};
    static constexpr std::chrono::milliseconds kDeadline{1800}; // from the first signal

    // Installs the handlers of SIGINT and SIGTERM. `program` starts the messages ("quevi copy").
    // With `chain`, the first signal is also handed to the handlers found before (nbdkit's, which
    // stop the server).
    explicit Interruption(std::string program, bool chain = false);
    ~Interruption(); // puts the handlers found before back
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    bool requested() const { return flag().load(); }
    // Set by the first signal; for loops that take a flag.
    static const std::atomic<bool>& flag();

    // While a host is watched, the grace gives up its requests. The watch ends with this object,
    // which must not outlive the host.
    class Watch {
    public:
        Watch(Interruption& owner, Host& host);
        ~Watch();
        Watch(const Watch&) = delete;
        Watch& operator=(const Watch&) = delete;

    private:
        Interruption& owner_;
    };

    // Sleeps for `length`, or less when interrupted; false when interrupted.
    static bool sleep(std::chrono::milliseconds length);

private:
    void run();
    void setHost(Host* host);

    std::mutex mutex_;
    Host* host_ = nullptr; // guarded by mutex_
    std::string lateText_; // written before the watcher starts
    std::thread watcher_;
};

} // namespace quevi::tool
