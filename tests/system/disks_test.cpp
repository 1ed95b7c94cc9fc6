// quevi copy, run and nbd against an in-process target over loopback and a Unix socket: bytes
// round-trip exactly, an interrupted copy says how far it got, dropped connections lose nothing,
// nbdkit's clients read and write the LUN unchanged.
#include "target/lun.h"
#include "target/target.h"
#include "tool/sha256.h"

#include "loopback.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
namespace tgt = quevi::target;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
    nlohmann::json json() const { return nlohmann::json::parse(out.substr(0, out.find('\n'))); }
};

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Blocks of seeded bytes with a run of zero blocks every fourth MiB, for the holes.
Bytes pattern(size_t bytes, uint32_t seed) {
    Bytes data(bytes);
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i < bytes; i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        bool zero = (i >> 20) % 4 == 3;
        for (size_t j = 0; j < 8 && i + j < bytes; j++) {
            data[i + j] = zero ? 0 : static_cast<uint8_t>(x >> (8 * j));
        }
    }
    return data;
}

// What `quevi nbd` needs in front so that nbdkit can load the plugin of a sanitizer build (the
// clients run from the test, without it). nbdkit starts the sanitizer before it loads the plugin,
// so the options the transport builds in (about what a send reads) are given here too.
std::string nbdEnvironment() {
#ifdef QUEVI_SANITIZER_RUNTIME
    return "env LD_PRELOAD=" QUEVI_SANITIZER_RUNTIME
           " ASAN_OPTIONS=detect_leaks=0:intercept_send=0 "
#ifdef QUEVI_TSAN_SUPPRESSIONS
           "TSAN_OPTIONS=\"$TSAN_OPTIONS:suppressions=" QUEVI_TSAN_SUPPRESSIONS "\" "
#endif
        ;
#else
    return "";
#endif
}

// The exported LUN; a sanitizer build moves its bytes many times slower. An interrupted program
// ends within 2 s; a sanitizer's own work at exit comes on top.
#ifdef QUEVI_SANITIZER_RUNTIME
constexpr size_t kExportMiB = 32;
constexpr double kStopSeconds = 4.0;
#else
constexpr size_t kExportMiB = 256;
constexpr double kStopSeconds = 2.0;
#endif

bool onPath(const char* program) {
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

class DisksTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quevi-disks-" + std::to_string(getpid()));
        fs::create_directories(dir_);
    }

    void TearDown() override {
        if (target_) {
            target_->stop();
        }
        if (paused_.pid > 0) {
            kill(paused_.pid, SIGCONT);
            kill(paused_.pid, SIGTERM);
            testsupport::reap(paused_.pid, 10);
            fclose(paused_.out);
        }
        fs::remove_all(dir_);
    }

    // `quevi target` in a process of its own, which the test may pause (SIGSTOP): the URL of its
    // LUN 0.
    std::string startTargetProcess(const std::string& lun, const std::string& delayMs) {
        paused_ = testsupport::spawn(
            {QUEVI_BINARY, "target", "--listen", "127.0.0.1:0", "--lun", lun, "--delay", delayMs});
        char line[128] = {};
        EXPECT_NE(fgets(line, sizeof line, paused_.out), nullptr) << "the target did not start";
        std::string text = line;
        return "quevi://127.0.0.1:" +
               std::to_string(std::atoi(text.c_str() + text.rfind(':') + 1)) + "/quevi-target/0";
    }

    // What whenRunning does to interrupt a program: once `ready` holds, the target is paused, so
    // that requests are in flight to a silent target, then the program gets SIGINT at `signalled`.
    std::function<void(pid_t)> interruptWhen(std::function<bool()> ready,
                                             std::chrono::steady_clock::time_point& signalled) {
        return [this, ready, &signalled](pid_t pid) {
            auto end = std::chrono::steady_clock::now() + 20s;
            while (!ready() && std::chrono::steady_clock::now() < end) {
                std::this_thread::sleep_for(10ms);
            }
            kill(paused_.pid, SIGSTOP);
            std::this_thread::sleep_for(100ms);
            signalled = std::chrono::steady_clock::now();
            kill(pid, SIGINT);
        };
    }

    tgt::Target& start(std::vector<std::string> luns, tgt::Faults faults = {}) {
        tgt::TargetConfig config;
        config.luns = std::move(luns);
        config.record = false;
        config.faults = faults;
        target_ = std::make_unique<tgt::Target>(config);
        std::string error;
        EXPECT_TRUE(target_->start(&error)) << error;
        return *target_;
    }

    std::string url(int lun) const {
        return "quevi://127.0.0.1:" + std::to_string(target_->port()) + "/quevi-target/" +
               std::to_string(lun);
    }

    fs::path file(const std::string& name) const { return dir_ / name; }

    void writeFile(const std::string& name, const Bytes& data) const {
        std::ofstream(file(name), std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()),
                   static_cast<std::streamsize>(data.size()));
    }

    Bytes lunBytes(int lun, uint64_t offset, size_t length) const {
        Bytes data(length);
        EXPECT_TRUE(target_->lun(static_cast<size_t>(lun))->read(offset, data));
        return data;
    }

    // Runs `quevi ARGS` (a shell command line) with a bound; `whenRunning` may act on its pid.
    Outcome quevi(const std::string& args, std::function<void(pid_t)> whenRunning = {},
                  const std::string& environment = "") const {
        constexpr auto limit = 60s;
        std::string command = "exec " + environment + std::string(QUEVI_BINARY) + " " + args +
                              " >" + file("stdout").string() + " 2>" + file("stderr").string();
        pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (whenRunning) {
            whenRunning(pid);
        }
        Outcome outcome;
        int status = 0;
        auto end = std::chrono::steady_clock::now() + limit;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "quevi " << args << " did not end within " << limit.count()
                              << " s";
            }
            std::this_thread::sleep_for(10ms);
        }
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        outcome.out = slurp(file("stdout"));
        outcome.err = slurp(file("stderr"));
        return outcome;
    }

    // `quevi nbd ARGS` in the background; once `uri` answers, the shell commands run with $uri
    // set, then SIGTERM stops the export, which must end cleanly unless `ended` takes its outcome.
    // `bound` may go in front (a time-out). The commands' outcome.
    Outcome serveNbd(const std::string& args, const std::string& uri, const std::string& commands,
                     Outcome* ended = nullptr, const std::string& bound = "") {
        Outcome client;
        Outcome server = quevi(
            "nbd " + args,
            [&](pid_t pid) {
                std::string probe = "nbdinfo --size '" + uri + "' >/dev/null 2>&1";
                auto end = std::chrono::steady_clock::now() + 30s;
                while (std::chrono::steady_clock::now() < end && std::system(probe.c_str()) != 0) {
                    std::this_thread::sleep_for(50ms);
                }
                std::string run = "uri='" + uri + "'; { " + commands + "; } >" +
                                  file("client.out").string() + " 2>" + file("client.err").string();
                int status = std::system(run.c_str());
                client.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                client.out = slurp(file("client.out"));
                client.err = slurp(file("client.err"));
                kill(pid, SIGTERM);
            },
            bound + nbdEnvironment());
        if (ended != nullptr) {
            *ended = server;
            return client;
        }
        EXPECT_EQ(server.exitCode, 0) << server.err;
        EXPECT_EQ(server.err.find("error"), std::string::npos) << server.err;
        return client;
    }

    fs::path dir_;
    std::unique_ptr<tgt::Target> target_;
    testsupport::Child paused_;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(DisksTest, CopyRoundTripsLunFileLunAndRefusesWhatDoesNotFit) {
    start({"32M", "32M", "1M"});
    Bytes data = pattern(16 << 20, 1);
    ASSERT_TRUE(target_->lun(0)->write(4096, data));

    Outcome out = quevi("copy -q " + url(0) + " " + file("a.img").string() +
                        " --offset 4K --length 16M --initiator-name iqn.2001-04.org.quevi:test");
    ASSERT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(out.err, "") << "--quiet";
    EXPECT_EQ(out.json()["sha256"], quevi::tool::sha256Hex(data));
    EXPECT_EQ(out.json()["bytes"], data.size());
    EXPECT_TRUE(bytesOf(slurp(file("a.img"))) == data);
    struct stat st {};
    ASSERT_EQ(stat(file("a.img").c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, st.st_size) << "zero blocks are holes";

    out = quevi("copy " + file("a.img").string() + " " + url(1));
    ASSERT_EQ(out.exitCode, 0) << out.err;
    EXPECT_NE(out.err.find("16.0 MiB of 16.0 MiB (100%)"), std::string::npos) << out.err;
    EXPECT_EQ(out.json()["sha256"], quevi::tool::sha256Hex(data));
    EXPECT_TRUE(lunBytes(1, 0, data.size()) == data);

    out = quevi("copy " + file("a.img").string() + " " + url(2));
    EXPECT_EQ(out.exitCode, 1);
    EXPECT_NE(out.err.find("refused, nothing was written"), std::string::npos) << out.err;
    EXPECT_TRUE(lunBytes(2, 0, 1 << 20) == Bytes(1 << 20)) << "not a byte written";

    std::string base = "quevi://127.0.0.1:" + std::to_string(target_->port());
    struct Usage {
        std::string args;
        const char* says;
    } usages[] = {
        {"copy a " + base + "/", "missing target name"},
        {"copy a " + base + "/quevi-target/x", "LUN 'x' is not a number"},
        {"copy a " + base + "/quevi-target/8", "out of range"},
        {"copy a quevi://127.0.0.1:0/t", "bad port"},
        {"copy a quevi://localhost/t", "bad address"},
        {"copy a iscsi://127.0.0.1/t", "unknown scheme"},
        {"copy a '" + base + "/bad;Name=x'", "has a character"},
        {"copy a b", "one side must be a LUN"},
        {"copy " + url(0) + " b --offset 1Q", "--offset must be a byte count"},
        {"copy " + url(0) + " b --offset 100", "whole 512-byte blocks"},
        {"nbd " + base + "/t/1/2 --socket s", "too many path parts"},
        {"nbd " + url(0), "--socket PATH and --port N"},
        {"run quevi://1.2.3/t inquiry", "bad address"},
    };
    for (const Usage& u : usages) {
        out = quevi(u.args);
        EXPECT_EQ(out.exitCode, 2) << u.args << ": " << out.err;
        EXPECT_NE(out.err.find(u.says), std::string::npos) << u.args << ": " << out.err;
    }
}

TEST_F(DisksTest, CopyStreamsThroughPipesInOrder) {
    start({"8M"});
    Bytes data = pattern(8 << 20, 4);
    writeFile("in.img", data);
    std::string quevi = QUEVI_BINARY;
    std::string in = file("in.img").string();
    auto shell = [&](const std::string& line) {
        std::string command =
            "timeout 60 bash -o pipefail -c '" + line + "' 2>" + file("stderr").string();
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    ASSERT_EQ(shell("cat " + in + " | " + quevi + " copy -q --length 8M - " + url(0)), 0)
        << slurp(file("stderr"));
    EXPECT_TRUE(lunBytes(0, 0, data.size()) == data);

    std::string out = file("out.img").string();
    ASSERT_EQ(shell(quevi + " copy -q " + url(0) + " - | cat >" + out), 0) << slurp(file("stderr"));
    EXPECT_TRUE(bytesOf(slurp(file("out.img"))) == data) << "only the data goes to stdout";
    EXPECT_EQ(nlohmann::json::parse(slurp(file("stderr")))["sha256"], quevi::tool::sha256Hex(data));

    EXPECT_EQ(shell("head -c 1M " + in + " | " + quevi + " copy -q --length 8M - " + url(0)), 1);
    EXPECT_NE(slurp(file("stderr")).find("ended early; 1048576 of 8388608 bytes copied"),
              std::string::npos)
        << slurp(file("stderr"));
    EXPECT_EQ(shell("cat " + in + " | " + quevi + " copy - " + url(0)), 2);
    EXPECT_NE(slurp(file("stderr")).find("give --length"), std::string::npos);
}

// Every subcommand: a repeated option takes one value per use, before or after the URL; `--`.
TEST_F(DisksTest, RepeatedOptionsTakeOneValuePerUseInEverySubcommand) {
    start({"1M"});
    std::string target = url(0).substr(0, url(0).rfind('/'));
    std::tuple<std::string, int, std::string> cases[] = {
        // args, exit code, what it says
        {"run " + url(0) + " --registry Debug=1 read:0:8", 0, "{\"step\":\"read\""},
        {"run --registry Debug=1 --registry Debug=2 " + url(0) + " tur", 0, "{\"step\":\"tur\""},
        {"run " + url(0) + " --timeout 5 -- sleep:1 tur", 0, "{\"step\":\"tur\""},
        {"copy --registry Debug=1 " + url(0) + " " + file("o").string(), 0, "\"complete\":true"},
        {"nbd --registry Debug=1 " + url(0), 2, "give one of --socket PATH and --port N"},
        {"ls --registry Debug=1 " + target + " --json", 0, "\"name\":\"quevi-target\""},
        {"ls " + target + " --registry Debug=1 --timeout 5 stray", 2, "expected: stray"},
        {"login --registry Debug=1 stray --target 127.0.0.1 --login A=1", 2, "expected: stray"},
        {"demo --registry Debug=1 stray", 2, "expected: stray"},
        {"target --lun 1M stray", 2, "expected: stray"},
        {"target --key A=1 stray", 2, "expected: stray"},
        {"--version", 0, "quevi "}};
    for (const auto& [args, code, says] : cases) {
        Outcome out = quevi(args);
        EXPECT_EQ(out.exitCode, code) << args << ": " << out.err;
        EXPECT_NE((out.out + out.err).find(says), std::string::npos) << args << ": " << out.err;
    }
}

TEST_F(DisksTest, AnInterruptedCopyStopsCleanlyAndSaysHowFarItGot) {
    tgt::Faults slow;
    slow.responseDelay = 20ms;
    start({"64M"}, slow);
    Bytes data = pattern(64 << 20, 2);
    ASSERT_TRUE(target_->lun(0)->write(0, data));
    Outcome out = quevi("copy " + url(0) + " " + file("part.img").string(), [&](pid_t pid) {
        auto end = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < end &&
               (!fs::exists(file("part.img")) || fs::file_size(file("part.img")) == 0)) {
            std::this_thread::sleep_for(10ms);
        }
        kill(pid, SIGINT);
    });
    ASSERT_EQ(out.exitCode, 130) << out.err;
    EXPECT_NE(out.err.find("interrupted after "), std::string::npos) << out.err;
    nlohmann::json j = out.json();
    EXPECT_EQ(j["complete"], false);
    auto copied = j["bytes"].get<size_t>();
    EXPECT_GT(copied, 0u);
    EXPECT_LT(copied, data.size());
    Bytes part = bytesOf(slurp(file("part.img")));
    ASSERT_EQ(part.size(), copied) << "the file holds exactly what was copied";
    EXPECT_TRUE(std::equal(part.begin(), part.end(), data.begin()));
    EXPECT_EQ(j["sha256"], quevi::tool::sha256Hex(part));
}

TEST_F(DisksTest, ConnectionsDroppedMidCopyLoseNoByte) {
    tgt::Faults drops;
    drops.dropAfterCommands = 40; // 64 commands of 256 KiB each way: a drop in the middle
    start({"16M", "16M"}, drops);
    Bytes data = pattern(16 << 20, 3);
    ASSERT_TRUE(target_->lun(0)->write(0, data));
    Outcome out = quevi("copy -q " + url(0) + " " + file("r.img").string());
    ASSERT_EQ(out.exitCode, 0) << out.err;
    EXPECT_TRUE(bytesOf(slurp(file("r.img"))) == data);
    out = quevi("copy -q " + file("r.img").string() + " " + url(1));
    ASSERT_EQ(out.exitCode, 0) << out.err;
    EXPECT_TRUE(lunBytes(1, 0, data.size()) == data);
    EXPECT_GE(target_->connectionCount(), 4u) << "each copy reconnected at least once";
}

TEST_F(DisksTest, NbdClientsReadAndWriteTheLunUnchanged) {
    for (const char* program : {"nbdkit", "nbdcopy", "nbdinfo", "qemu-img", "qemu-io"}) {
        if (!onPath(program)) {
            GTEST_SKIP() << program << " is not installed (scripts/bootstrap installs it)";
        }
    }
    start({std::to_string(kExportMiB) + "M"});
    Bytes data = pattern(kExportMiB << 20, 4);
    ASSERT_TRUE(target_->lun(0)->write(0, data));
    Bytes small = pattern(1 << 20, 5);
    writeFile("small.img", small);
    // Over the Unix socket: the whole LUN out, a MiB in, an unaligned write in the second MiB.
    std::string socket = file("nbd.sock").string();
    Outcome out =
        serveNbd(url(0) + " --socket " + socket, "nbd+unix:///?socket=" + socket,
                 "nbdinfo --size \"$uri\" && nbdcopy \"$uri\" " + file("all.img").string() +
                     " && nbdcopy " + file("small.img").string() +
                     " \"$uri\" && qemu-io -f raw -c 'write -P 0xab 1049000 1000' \"$uri\"");
    ASSERT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(out.out.substr(0, out.out.find('\n')), std::to_string(kExportMiB << 20));
    EXPECT_EQ(quevi::tool::sha256Hex(bytesOf(slurp(file("all.img")))),
              quevi::tool::sha256Hex(data));
    Bytes expected = small;
    expected.insert(expected.end(), data.begin() + (1 << 20), data.begin() + (2 << 20));
    std::fill(expected.begin() + 1049000, expected.begin() + 1050000, 0xab);

    out = quevi("run " + url(0) + " read:0:4096");
    ASSERT_EQ(out.exitCode, 0) << out.err;
    nlohmann::json read = nlohmann::json::parse(out.out.substr(out.out.find("{\"step\":\"read\"")));
    EXPECT_EQ(read["sha256"], quevi::tool::sha256Hex(expected)) << "written through NBD";

    // Over loopback TCP: qemu-img reads what quevi run saw.
    std::string port = std::to_string(testsupport::closedPort());
    out = serveNbd(url(0) + " --port " + port, "nbd://127.0.0.1:" + port,
                   "qemu-img convert -f raw -O raw \"$uri\" " + file("q.img").string());
    ASSERT_EQ(out.exitCode, 0) << out.err;
    Bytes q = bytesOf(slurp(file("q.img")));
    ASSERT_EQ(q.size(), data.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), q.begin()));
    EXPECT_TRUE(std::equal(data.begin() + (2 << 20), data.end(), q.begin() + (2 << 20)));
}

} // namespace

// SIGINT ends a copy, a run and an export whose target stopped answering (its process paused)
// within 2 s: what is in flight is given up, the adapter shuts down, every request completes once,
// and the copy's file holds exactly the bytes its report counts.
TEST_F(DisksTest, CtrlCEndsACopyARunAndAnExportOfAPausedTargetWithinTwoSeconds) {
    Bytes data = pattern(16 << 20, 6);
    writeFile("lun.img", data);
    std::string lun = startTargetProcess(file("lun.img").string(), "20");
    auto clean = [](const Outcome& o) {
        return o.err.find("never completed") == std::string::npos &&
               o.err.find("twice") == std::string::npos &&
               o.err.find("still stopping") == std::string::npos;
    };

    std::chrono::steady_clock::time_point signalled;
    fs::path part = file("part.img");
    Outcome out = quevi(
        "copy -q " + lun + " " + part.string(),
        interruptWhen([&] { return fs::exists(part) && fs::file_size(part) > 0; }, signalled));
    EXPECT_LT(secondsSince(signalled), kStopSeconds);
    ASSERT_EQ(out.exitCode, 130) << out.err;
    EXPECT_NE(out.err.find("interrupted after "), std::string::npos) << out.err;
    EXPECT_TRUE(clean(out)) << out.err;
    Bytes copied = bytesOf(slurp(part));
    ASSERT_EQ(copied.size(), out.json()["bytes"].get<size_t>()) << "exactly what the report counts";
    EXPECT_LT(copied.size(), data.size());
    EXPECT_TRUE(std::equal(copied.begin(), copied.end(), data.begin()));
    EXPECT_EQ(out.json()["sha256"], quevi::tool::sha256Hex(copied));

    kill(paused_.pid, SIGCONT);
    out = quevi(
        "run " + lun + " readcap read:0:65535 read:0:65535 read:0:65535 read:0:65535",
        interruptWhen([&] { return slurp(file("stdout")).find("readcap") != std::string::npos; },
                      signalled));
    EXPECT_LT(secondsSince(signalled), kStopSeconds);
    EXPECT_EQ(out.exitCode, 130) << out.err;
    EXPECT_NE(out.err.find("quevi run: interrupted after "), std::string::npos) << out.err;
    EXPECT_TRUE(clean(out)) << out.err;

    if (!onPath("nbdkit") || !onPath("nbdcopy") || !onPath("nbdinfo")) {
        GTEST_SKIP() << "nbdkit and libnbd's tools are not installed (scripts/bootstrap)";
    }
    kill(paused_.pid, SIGCONT);
    std::string socket = file("nbd.sock").string();
    std::string uri = "nbd+unix:///?socket=" + socket;
    out = quevi(
        "nbd " + lun + " --socket " + socket,
        interruptWhen(
            [&] {
                if (std::system(("nbdinfo --size '" + uri + "' >/dev/null 2>&1").c_str()) != 0) {
                    return false;
                }
                // A client reading while the target is paused and the export interrupted. One
                // request at a time: with several, the replies nbdkit still sends after the client
                // left on the first error are logged as failed, and nbdkit hosting the address
                // checker then hangs in its exit handlers (on a C library locale lock).
                (void)std::system(
                    ("nbdcopy --connections=1 --requests=1 '" + uri + "' null: >/dev/null 2>&1 &")
                        .c_str());
                std::this_thread::sleep_for(100ms);
                return true;
            },
            signalled),
        nbdEnvironment());
    EXPECT_LT(secondsSince(signalled), kStopSeconds);
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(out.err.find("error: quevi:"), std::string::npos) << "no failure reported" << out.err;
    EXPECT_TRUE(clean(out)) << out.err;
}

// A URL without a LUN exports every LUN of the target from one session, each under its number,
// listed with its size; two clients read two exports at once; a name that is no LUN is refused.
// With a LUN in the URL, that LUN is served whatever export name a client asks for.
TEST_F(DisksTest, EveryLunOfATargetIsAnExportOfItsOwnReadInParallel) {
    writeFile("one.img", pattern(6 << 20, 7));
    writeFile("b.img", pattern(5 << 20, 8));
    paused_ = testsupport::spawn({QUEVI_BINARY, "target", "--listen", "127.0.0.1:0", "--target",
                                  "disk-a=8M," + file("one.img").string(), "--target",
                                  "disk-b=" + file("b.img").string()});
    char line[128] = {};
    ASSERT_NE(fgets(line, sizeof line, paused_.out), nullptr) << "the target did not start";
    std::string base =
        "quevi://127.0.0.1:" + std::to_string(std::atoi(std::strrchr(line, ':') + 1));
    std::string socket = file("nbd.sock").string();
    auto at = [&](const std::string& name) {
        return " 'nbd+unix:///" + name + "?socket=" + socket + "'";
    };
    auto reads = [&](const std::string& name, const std::string& expected) {
        return "for i in 1 2 3 4 5; do nbdcopy" + at(name) + " - | cmp -s - " + expected +
               " && echo same; done >reads" + name;
    };
    std::ofstream(file("run.sh")) << "cd " << dir_.string() << "\nnbdinfo --list --json" << at("")
                                  << " >list && (" << reads("0", "/dev/zero -n 8388608") << ") & "
                                  << reads("1", "one.img") << "; wait; nbdinfo --size" << at("")
                                  << "; nbdinfo --size" << at("2") << " || echo refused\n";
    Outcome server;
    Outcome out = serveNbd(base + "/disk-a --socket " + socket, "nbd+unix:///?socket=" + socket,
                           "sh " + file("run.sh").string(), &server);
    EXPECT_EQ(out.out, "8388608\nrefused\n") << out.err; // the default export: LUN 0
    EXPECT_EQ(server.exitCode, 0);
    EXPECT_NE(server.err.find("no LUN '2' on 127.0.0.1:"), std::string::npos) << server.err;
    nlohmann::json list = nlohmann::json::parse(slurp(file("list")));
    ASSERT_EQ(list["exports"].size(), 2u) << list;
    EXPECT_EQ(list["exports"][0]["export-name"], "0");
    EXPECT_EQ(list["exports"][0]["export-size"], 8 << 20);
    EXPECT_EQ(list["exports"][1]["export-name"], "1");
    EXPECT_EQ(list["exports"][1]["export-size"], 6 << 20);
    for (const char* name : {"reads0", "reads1"}) {
        EXPECT_EQ(slurp(file(name)), "same\nsame\nsame\nsame\nsame\n") << name;
    }

    socket += "2";
    out = serveNbd(base + "/disk-b/0 --socket " + socket, "nbd+unix:///any?socket=" + socket,
                   "nbdcopy \"$uri\" " + file("b.out").string());
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_TRUE(slurp(file("b.out")) == slurp(file("b.img")));
}

// Beyond loopback only with TLS or --insecure, refused before nbdkit starts; with a pre-shared key
// only a client holding it gets in.
TEST_F(DisksTest, ATlsExportAdmitsOnlyItsKeyAndAnOpenOneNeedsLoopbackOrInsecure) {
    start({"6M"});
    Outcome out =
        quevi("nbd " + url(0) + " --port 9 --listen 0.0.0.0", {}, "env QUEVI_NBD_PLUGIN=/no ");
    EXPECT_EQ(out.exitCode, 2);
    EXPECT_NE(out.err.find("give --tls-psk FILE"), std::string::npos) << out.err;
    out = quevi("nbd " + url(0) + " --port 9 --tls-psk " + file("none").string(), {},
                "env QUEVI_NBD_PLUGIN=/no ");
    EXPECT_EQ(out.exitCode, 2) << out.err;

    std::ofstream(file("key")) << "alice:0123456789abcdef0123456789abcdef\n";
    std::ofstream(file("wrong")) << "alice:fedcba9876543210fedcba9876543210\n";
    std::string port = std::to_string(testsupport::closedPort());
    std::string tls = "nbdinfo --size 'nbds://alice@127.0.0.1:" + port + "/?tls-psk-file=";
    std::ofstream(file("run.sh")) << tls << file("key").string() << "'; " << tls
                                  << file("wrong").string()
                                  << "' || nbdinfo --size nbd://127.0.0.1:" << port
                                  << " || echo refused\n";
    // Under a sanitizer's runtime nbdkit with TLS never exits (nbdkit's memory plugin neither): at
    // exit p11-kit's destructor waits for the C library's locale lock.
    Outcome server;
    out = serveNbd(url(0) + " --port " + port + " --tls-psk " + file("key").string(),
                   "nbds://alice@127.0.0.1:" + port + "/?tls-psk-file=" + file("key").string(),
                   "sh " + file("run.sh").string(), &server,
                   nbdEnvironment().empty() ? "" : "timeout -s KILL 10 ");
    EXPECT_EQ(out.out, "6291456\nrefused\n") << out.err;
    EXPECT_TRUE(server.exitCode == 0 || !nbdEnvironment().empty()) << server.err;
}

// A LUN as a local file through nbdfuse, where FUSE is available.
TEST_F(DisksTest, NbdfuseShowsALunAsAFile) {
    if (access("/dev/fuse", R_OK | W_OK) != 0 || !onPath("nbdfuse") || !onPath("fusermount3")) {
        GTEST_SKIP() << "no usable /dev/fuse, nbdfuse or fusermount3 (scripts/bootstrap: fuse3)";
    }
    start({"3M"});
    Bytes data = pattern(3 << 20, 9);
    ASSERT_TRUE(target_->lun(0)->write(0, data));
    fs::create_directory(file("mnt"));
    std::string socket = file("nbd.sock").string();
    std::ofstream(file("run.sh")) << "cd " << dir_.string() << "\n(nbdfuse -r -P pid mnt "
                                  << "'nbd+unix:///?socket=" << socket
                                  << "' &)\nfor i in $(seq 200);"
                                  << " do [ -s pid ] && break; sleep 0.1; done\n"
                                  << "cp mnt/nbd copy.img; fusermount3 -u mnt\n";
    Outcome out = serveNbd(url(0) + " --socket " + socket, "nbd+unix:///?socket=" + socket,
                           "sh " + file("run.sh").string());
    EXPECT_EQ(out.exitCode, 0) << out.err;
    EXPECT_TRUE(bytesOf(slurp(file("copy.img"))) == data);
}
