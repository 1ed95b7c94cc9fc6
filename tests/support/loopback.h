// Helpers every test folder shares: loopback ports and running the quevi program as a process.
// Big-endian reads and writes come from the target's wire header (target/wire.h).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testsupport {

constexpr std::uint32_t kLoopback = 0x7F000001;

// A loopback port nothing listens on: bound and closed again.
std::uint16_t closedPort();

struct ProgramRun {
    int exitCode;
    std::string out;
};

// Runs `binary args` through the shell; its stdout and exit code. Its stderr is dropped unless a
// sanitizer reported into it, which is then printed to the test's stderr.
ProgramRun runProgram(const std::string& binary, const std::string& args);

// A child process with its stdout on a pipe.
struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;
};

Child spawn(std::vector<std::string> args);

// Waits for the child to exit, at most `seconds`, and kills it otherwise: its exit code, 128 plus
// the signal when a signal ended it, or -1 when it had to be killed.
int reap(pid_t pid, int seconds);

} // namespace testsupport
