// Runs the quevi program (QUEVI_BINARY) as a process, for the tests of its subcommands.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace systest {

struct ProgramRun {
    int exitCode;
    std::string out;
};

// Runs `quevi ARGS` with its stderr discarded; stdout is returned.
inline ProgramRun runProgram(const std::string& args) {
    std::string command = std::string(QUEVI_BINARY) + " " + args + " 2>/dev/null";
    FILE* p = popen(command.c_str(), "r");
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) {
        out.append(buffer, n);
    }
    int status = pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

} // namespace systest
