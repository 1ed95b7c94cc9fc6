// DbgPrint: formats the whole call into one piece of text first, then writes it to stderr or
// appends it to the capture buffer under one lock, so lines from different threads never mix.
#include "platform/kernel/host.h"
#include "platform/kernel/kernel_internal.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>

namespace {

// Guarded by printMutex: capturing, captured, hook; also serialises the writes to stderr.
struct PrintState {
    std::mutex printMutex;
    bool capturing = false;
    std::string captured;
    std::shared_ptr<std::function<void(const std::string&)>> hook;
};

PrintState& state() {
    static PrintState* s = new PrintState;
    return *s;
}

} // namespace

ULONG DbgPrint(const char* Format, ...) {
    char small[512];
    std::string text;
    va_list ap;
    va_start(ap, Format);
    va_list again;
    va_copy(again, ap);
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started just above.
    int length = std::vsnprintf(small, sizeof small, Format, ap);
    va_end(ap);
    if (length < 0) {
        va_end(again);
        return static_cast<ULONG>(STATUS_UNSUCCESSFUL);
    }
    if (static_cast<size_t>(length) < sizeof small) {
        text.assign(small, static_cast<size_t>(length));
    } else {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), Format, again);
        text.resize(static_cast<size_t>(length));
    }
    va_end(again);

    PrintState& s = state();
    std::shared_ptr<std::function<void(const std::string&)>> hook;
    {
        std::lock_guard<std::mutex> guard(s.printMutex);
        if (s.capturing) {
            s.captured += text;
        } else {
            std::fwrite(text.data(), 1, text.size(), stderr);
            std::fflush(stderr);
        }
        hook = s.hook;
    }
    if (hook) {
        (*hook)(text);
    }
    return STATUS_SUCCESS;
}

namespace qvk {

void dbgCaptureStart() {
    PrintState& s = state();
    std::lock_guard<std::mutex> guard(s.printMutex);
    s.capturing = true;
}

std::string dbgCaptureTake() {
    PrintState& s = state();
    std::lock_guard<std::mutex> guard(s.printMutex);
    std::string taken;
    taken.swap(s.captured);
    return taken;
}

void dbgSetHook(std::function<void(const std::string&)> hook) {
    PrintState& s = state();
    std::lock_guard<std::mutex> guard(s.printMutex);
    s.hook =
        hook ? std::make_shared<std::function<void(const std::string&)>>(std::move(hook)) : nullptr;
}

void dbgCaptureStop() {
    PrintState& s = state();
    std::lock_guard<std::mutex> guard(s.printMutex);
    s.capturing = false;
    s.captured.clear();
}

} // namespace qvk
