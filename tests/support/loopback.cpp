#include "loopback.h"

#include <arpa/inet.h>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

std::uint16_t closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    (void)::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t length = sizeof a;
    (void)::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

ProgramRun runProgram(const std::string& binary, const std::string& args) {
    // The program's stderr goes to a file that is only shown when a sanitizer reported into it:
    // the report is the only clue to a sanitizer's exit code in a CI log.
    char errPath[] = "/tmp/quevi-stderr-XXXXXX";
    int errFd = ::mkstemp(errPath);
    if (errFd < 0) {
        return {-1, ""};
    }
    ::close(errFd);
    std::string command = binary + " " + args + " 2>" + errPath;
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) {
        ::unlink(errPath);
        return {-1, ""};
    }
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) {
        out.append(buffer, n);
    }
    int status = ::pclose(p);
    std::ifstream errFile(errPath);
    std::string err((std::istreambuf_iterator<char>(errFile)), std::istreambuf_iterator<char>());
    ::unlink(errPath);
    if (err.find("Sanitizer") != std::string::npos) {
        std::fprintf(stderr, "stderr of `%s %s`:\n%s\n", binary.c_str(), args.c_str(), err.c_str());
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

Child spawn(std::vector<std::string> args) {
    int pipefd[2];
    if (::pipe(pipefd) != 0) {
        return {};
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipefd[1], 1);
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipefd[1]);
    return {pid, ::fdopen(pipefd[0], "r")};
}

int reap(pid_t pid, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        ::usleep(50000);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
}

} // namespace testsupport
