#include "cli/progress.h"

#include <cstdio>

namespace quevi::cli {
namespace {

constexpr auto kTerminalEvery = std::chrono::milliseconds(100);
constexpr auto kLineEvery = std::chrono::seconds(2);
constexpr int kBarWidth = 24;

std::string mib(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

} // namespace

std::string percentText(uint64_t done, uint64_t total) {
    uint64_t percent = total == 0 ? 100 : done * 100 / total;
    return std::to_string(percent) + "%";
}

std::string Progress::text(const tool::CopyProgress& p) {
    double seconds = std::chrono::duration<double>(p.elapsed).count();
    double rate = seconds > 0 ? static_cast<double>(p.done) / seconds : 0.0;
    char tail[64];
    if (rate > 0 && p.done < p.total) {
        auto left = static_cast<uint64_t>(static_cast<double>(p.total - p.done) / rate + 0.5);
        std::snprintf(tail, sizeof tail, ", %.1f MB/s, %llu:%02llu left", rate / 1e6,
                      static_cast<unsigned long long>(left / 60),
                      static_cast<unsigned long long>(left % 60));
    } else {
        std::snprintf(tail, sizeof tail, ", %.1f MB/s", rate / 1e6);
    }
    std::string rescue;
    if (p.rescue) {
        rescue = ", " + mib(p.rescued) + " rescued, " + std::to_string(p.bad) + " bytes bad";
    }
    return mib(p.done) + " of " + mib(p.total) + " (" + percentText(p.done, p.total) + ")" +
           rescue + tail;
}

void Progress::update(const tool::CopyProgress& p) {
    last_ = p;
    lastShown_ = false;
    auto now = std::chrono::steady_clock::now();
    if (quiet_ || now - shown_ < (terminal_ ? kTerminalEvery : kLineEvery)) {
        return;
    }
    shown_ = now;
    draw(p);
    lastShown_ = true;
}

void Progress::finish() {
    if (quiet_) {
        return;
    }
    if (!lastShown_) {
        draw(last_);
    }
    if (terminal_) {
        std::fputc('\n', stderr);
    }
}

void Progress::draw(const tool::CopyProgress& p) {
    if (!terminal_) {
        std::fprintf(stderr, "quevi copy: %s\n", text(p).c_str());
        return;
    }
    int filled = p.total == 0 ? kBarWidth : static_cast<int>(p.done * kBarWidth / p.total);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '-');
    std::fprintf(stderr, "\r[%s] %s\033[K", bar.c_str(), text(p).c_str());
}

} // namespace quevi::cli
