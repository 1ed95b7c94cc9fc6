#include "tool/interruption.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace quevi::tool {
namespace {

// What the signal handler touches: lock-free atomics, descriptors and a text prepared beforehand.
std::atomic<bool> requestedFlag{false};
std::atomic<int> signalCount{0};
std::atomic<bool> closing{false};
int wakeRead = -1;
int wakeWrite = -1; // the handler writes a byte here; the watcher polls the other end
bool chainPrevious = false;
struct sigaction previous[2];
char againText[160];
size_t againLength = 0;

constexpr int kSignals[2] = {SIGINT, SIGTERM};
constexpr int kExitInterrupted = 130;

void say(const char* text, size_t length) {
    while (length > 0) {
        ssize_t n = write(STDERR_FILENO, text, length);
        if (n <= 0) {
            return;
        }
        text += n;
        length -= static_cast<size_t>(n);
    }
}

void onSignal(int signal, siginfo_t* info, void* context) {
    int savedErrno = errno;
    if (signalCount.fetch_add(1) > 0) {
        say(againText, againLength);
        _exit(kExitInterrupted);
    }
    requestedFlag.store(true);
    char byte = 1;
    (void)!write(wakeWrite, &byte, 1);
    if (chainPrevious) {
        const struct sigaction& before = previous[signal == SIGINT ? 0 : 1];
        if ((before.sa_flags & SA_SIGINFO) != 0) {
            before.sa_sigaction(signal, info, context);
        } else if (before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
            before.sa_handler(signal);
        }
    }
    errno = savedErrno;
}

// Waits on the wake pipe until `until` (without it, until a byte comes); false when the watcher is
// to end.
bool waitUntil(std::optional<std::chrono::steady_clock::time_point> until) {
    while (!closing.load()) {
        int timeout = -1;
        if (until) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *until - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return true;
            }
            timeout = static_cast<int>(left.count()) + 1;
        }
        pollfd p{wakeRead, POLLIN, 0};
        if (poll(&p, 1, timeout) > 0) {
            char bytes[16];
            (void)!read(wakeRead, bytes, sizeof bytes);
            if (!until) {
                return true;
            }
        }
    }
    return false;
}

} // namespace

Interruption::Interruption(std::string program, bool chain) {
    requestedFlag = false;
    signalCount = 0;
    closing = false;
    chainPrevious = chain;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("pipe2");
        std::abort();
    }
    wakeRead = fds[0];
    wakeWrite = fds[1];
    std::string again = program + ": interrupted again; ending at once\n";
    againLength = std::min(again.size(), sizeof againText);
    again.copy(againText, againLength);
    lateText_ = program + ": still stopping " + std::to_string(kDeadline.count() / 1000) + "." +
                std::to_string(kDeadline.count() % 1000 / 100) +
                " s after the interruption; ending at once\n";
    watcher_ = std::thread([this] { run(); });
    struct sigaction action {};
    action.sa_sigaction = onSignal;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 2; i++) {
        sigaction(kSignals[i], &action, &previous[i]);
    }
}

Interruption::~Interruption() {
    for (int i = 0; i < 2; i++) {
        sigaction(kSignals[i], &previous[i], nullptr);
    }
    closing = true;
    char byte = 0;
    (void)!write(wakeWrite, &byte, 1);
    watcher_.join();
    close(wakeRead);
    close(wakeWrite);
    wakeRead = wakeWrite = -1;
}

const std::atomic<bool>& Interruption::flag() {
    return requestedFlag;
}

Interruption::Watch::Watch(Interruption& owner, Host& host) : owner_(owner) {
    owner_.setHost(&host);
}

Interruption::Watch::~Watch() {
    owner_.setHost(nullptr);
}

void Interruption::setHost(Host* host) {
    std::lock_guard<std::mutex> guard(mutex_);
    host_ = host;
}

bool Interruption::sleep(std::chrono::milliseconds length) {
    constexpr auto kSlice = std::chrono::milliseconds(20);
    auto until = std::chrono::steady_clock::now() + length;
    while (!requestedFlag.load()) {
        auto left = until - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return true;
        }
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(left, kSlice));
    }
    return false;
}

void Interruption::run() {
    while (!requestedFlag.load()) {
        if (!waitUntil(std::nullopt)) {
            return;
        }
    }
    auto start = std::chrono::steady_clock::now();
    if (!waitUntil(start + kGrace)) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (host_ != nullptr) {
            host_->giveUp();
        }
    }
    if (!waitUntil(start + kDeadline)) {
        return;
    }
    say(lateText_.data(), lateText_.size());
    _exit(kExitInterrupted);
}

} // namespace quevi::tool
