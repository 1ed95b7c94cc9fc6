// The one clock of the stand-in. System time advances 1/scale times as fast as real time, and
// every wait and delay lasts its nominal length times the scale, so a test that sets the scale to
// 0.01 sees a 3-second time-out end after 30 ms of real time while the system time moves 3 s.
#include "platform/kernel/host.h"
#include "platform/kernel/kernel_internal.h"

#include <mutex>
#include <thread>

namespace {

using Steady = std::chrono::steady_clock;
constexpr double kMinScale = 1e-6;
// Longer waits than this (real time) are treated as waits without limit.
constexpr double kMaxWaitNs = 3.0e17; // about 9.5 years

// The clock's state: system time is virtualBaseNs plus the real time since realBase divided by
// the scale. Guarded by clockMutex.
struct ClockState {
    std::mutex clockMutex;
    double scale = 1.0;
    Steady::time_point realBase = Steady::now();
    double virtualBaseNs = 0.0;
};

ClockState& clockState() {
    // Never destroyed: detached threads may still use it while the process exits.
    static ClockState* state = new ClockState;
    return *state;
}

double virtualNowNs(ClockState& c, Steady::time_point now) {
    std::chrono::duration<double, std::nano> real = now - c.realBase;
    return c.virtualBaseNs + real.count() / c.scale;
}

} // namespace

namespace qvk {

void setTimeScale(double scale) {
    if (!(scale >= kMinScale)) {
        scale = kMinScale;
    }
    ClockState& c = clockState();
    std::lock_guard<std::mutex> guard(c.clockMutex);
    Steady::time_point now = Steady::now();
    c.virtualBaseNs = virtualNowNs(c, now);
    c.realBase = now;
    c.scale = scale;
}

double timeScale() {
    ClockState& c = clockState();
    std::lock_guard<std::mutex> guard(c.clockMutex);
    return c.scale;
}

namespace detail {

SteadyTime deadlineFor(const LARGE_INTEGER* timeout) {
    if (timeout == nullptr) {
        return kNoDeadline;
    }
    ClockState& c = clockState();
    std::lock_guard<std::mutex> guard(c.clockMutex);
    Steady::time_point now = Steady::now();
    double virtualNs;
    if (timeout->QuadPart <= 0) {
        virtualNs = -static_cast<double>(timeout->QuadPart) * 100.0;
    } else {
        virtualNs = static_cast<double>(timeout->QuadPart) * 100.0 - virtualNowNs(c, now);
        if (virtualNs < 0) {
            virtualNs = 0;
        }
    }
    double realNs = virtualNs * c.scale;
    if (realNs > kMaxWaitNs) {
        return kNoDeadline;
    }
    return now + std::chrono::nanoseconds(static_cast<int64_t>(realNs));
}

} // namespace detail
} // namespace qvk

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    ClockState& c = clockState();
    std::lock_guard<std::mutex> guard(c.clockMutex);
    CurrentTime->QuadPart = static_cast<LONGLONG>(virtualNowNs(c, Steady::now()) / 100.0);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    qvk::detail::checkMayWait("KeDelayExecutionThread");
    if (Interval == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    qvk::detail::SteadyTime deadline = qvk::detail::deadlineFor(Interval);
    if (deadline == qvk::detail::kNoDeadline) {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::hours(24));
        }
    }
    while (Steady::now() < deadline) {
        std::this_thread::sleep_until(deadline);
    }
    return STATUS_SUCCESS;
}
