// `quevi nbd` against one `quevi target` process serving two targets: every LUN of a target as
// its own export, read in parallel; TLS with a pre-shared key; a LUN seen as a file through
// nbdfuse.
#include "loopback.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What `quevi nbd` needs in front so that nbdkit can load the plugin of a sanitizer build.
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

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int shell(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool onPath(const std::string& program) {
    return shell("command -v " + program + " >/dev/null 2>&1") == 0;
}

class ExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* program : {"nbdkit", "nbdinfo", "nbdcopy"}) {
            if (!onPath(program)) {
                GTEST_SKIP() << program << " is not installed (scripts/bootstrap installs it)";
            }
        }
        dir_ = fs::temp_directory_path() / ("quevi-export-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        // disk-a: LUN 0 in memory, LUN 1 a file; disk-b: one file. Seeded bytes, all sizes apart.
        ASSERT_EQ(shell("cd " + dir_.string() +
                        " && head -c 6291456 /dev/urandom >a1.img && head -c 5242880 a1.img >b.img"
                        " && head -c 1048576 /dev/zero >>b.img"),
                  0);
        target_ = testsupport::spawn({QUEVI_BINARY, "target", "--listen", "127.0.0.1:0", "--target",
                                      "disk-a=8M," + file("a1.img"), "--target",
                                      "disk-b=" + file("b.img")});
        char line[128] = {};
        ASSERT_NE(fgets(line, sizeof line, target_.out), nullptr) << "the target did not start";
        std::string text = line;
        base_ =
            "quevi://127.0.0.1:" + std::to_string(std::atoi(text.c_str() + text.rfind(':') + 1));
    }

    void TearDown() override {
        if (target_.pid > 0) {
            kill(target_.pid, SIGTERM);
            testsupport::reap(target_.pid, 10);
            fclose(target_.out);
        }
        fs::remove_all(dir_);
    }

    std::string file(const std::string& name) const { return (dir_ / name).string(); }

    // `quevi nbd ARGS` in the background with its stderr in nbd.err; true once `probe` answers.
    bool startNbd(const std::string& args, const std::string& probe) {
        std::string command =
            "exec " + nbdEnvironment() + QUEVI_BINARY + " nbd " + args + " 2>" + file("nbd.err");
        nbd_ = fork();
        if (nbd_ == 0) {
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        auto end = std::chrono::steady_clock::now() + 30s;
        while (shell("nbdinfo --size '" + probe + "' >/dev/null 2>&1") != 0) {
            if (std::chrono::steady_clock::now() > end || waitpid(nbd_, nullptr, WNOHANG) != 0) {
                return false;
            }
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }

    // SIGTERM to the export, which must end cleanly: its stderr.
    std::string stopNbd() {
        kill(nbd_, SIGTERM);
        EXPECT_EQ(testsupport::reap(nbd_, 10), 0);
        return slurp(file("nbd.err"));
    }

    fs::path dir_;
    testsupport::Child target_;
    std::string base_;
    pid_t nbd_ = -1;
};

// One session, every LUN under its number: listed with its size, the default export is LUN 0,
// clients of two exports at once get each its own LUN's bytes, and a name that is no LUN is
// refused. A URL with a LUN still serves that LUN whatever export name is asked for.
TEST_F(ExportTest, EveryLunOfATargetIsAnExportOfItsOwnReadInParallel) {
    std::string socket = file("nbd.sock");
    std::string uri = "nbd+unix:///?socket=" + socket;
    auto at = [&](const std::string& name) { return "nbd+unix:///" + name + "?socket=" + socket; };
    ASSERT_TRUE(startNbd(base_ + "/disk-a --socket " + socket, uri)) << slurp(file("nbd.err"));
    std::string list = file("list");
    ASSERT_EQ(shell("nbdinfo --list --json '" + uri + "' >" + list), 0);
    std::string listed = slurp(list);
    EXPECT_NE(listed.find("\"export-name\": \"0\""), std::string::npos) << listed;
    EXPECT_NE(listed.find("\"export-size\": 8388608"), std::string::npos) << listed;
    EXPECT_NE(listed.find("\"export-name\": \"1\""), std::string::npos) << listed;
    EXPECT_NE(listed.find("\"export-size\": 6291456"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("\"export-name\": \"2\""), std::string::npos) << listed;
    // Two clients at once, five reads each: export 0 holds LUN 0's zeros, export 1 LUN 1's file.
    auto reads = [&](const std::string& name, const std::string& expected) {
        return "for i in 1 2 3 4 5; do nbdcopy '" + at(name) + "' - | cmp -s - " + expected +
               " && echo same || echo differ; done >" + file("reads" + name);
    };
    EXPECT_EQ(shell("(" + reads("0", "/dev/zero -n 8388608") + ") & " + reads("1", file("a1.img")) +
                    "; wait"),
              0);
    for (const char* name : {"reads0", "reads1"}) {
        EXPECT_EQ(slurp(file(name)), "same\nsame\nsame\nsame\nsame\n") << name;
    }
    EXPECT_EQ(shell("nbdinfo --size '" + uri + "' | grep -qx 8388608"), 0) << "default: LUN 0";
    EXPECT_NE(shell("nbdinfo --size '" + at("2") + "' 2>/dev/null"), 0);
    EXPECT_NE(shell("nbdinfo --size '" + at("01") + "' 2>/dev/null"), 0);
    EXPECT_NE(stopNbd().find("no LUN '2' on 127.0.0.1:"), std::string::npos);

    socket = file("b.sock");
    uri = "nbd+unix:///?socket=" + socket;
    ASSERT_TRUE(startNbd(base_ + "/disk-b/0 --socket " + socket, at("any")))
        << slurp(file("nbd.err"));
    EXPECT_EQ(shell("nbdcopy '" + uri + "' " + file("b.out") + " && cmp -s " + file("b.out") + " " +
                    file("b.img")),
              0);
    stopNbd();
}

// Beyond loopback only with TLS or --insecure, said before anything starts; with a pre-shared
// key, only a client holding it gets in.
TEST_F(ExportTest, ATlsExportAdmitsOnlyTheKeyAndAnOpenOneNeedsLoopbackOrInsecure) {
    // Without a plugin nbdkit never starts, whatever the checks let through.
    std::string url = base_ + "/disk-b";
    std::string err = file("err");
    std::string refused = "QUEVI_NBD_PLUGIN=/nonexistent " + std::string(QUEVI_BINARY) + " nbd " +
                          url + " --port 10809 ";
    EXPECT_EQ(shell(refused + "--listen 0.0.0.0 2>" + err), 2);
    EXPECT_NE(slurp(err).find("give --tls-psk FILE"), std::string::npos) << slurp(err);
    EXPECT_EQ(shell(refused + "--tls-psk " + file("none.psk") + " 2>" + err), 2);
    EXPECT_NE(slurp(err).find("No such file"), std::string::npos) << slurp(err);

    std::ofstream(file("keys.psk")) << "alice:0123456789abcdef0123456789abcdef\n";
    std::ofstream(file("wrong.psk")) << "alice:fedcba9876543210fedcba9876543210\n";
    std::string port = std::to_string(testsupport::closedPort());
    std::string tls = "nbds://alice@127.0.0.1:" + port + "/?tls-psk-file=";
    ASSERT_TRUE(startNbd(url + " --port " + port + " --tls-psk " + file("keys.psk"),
                         tls + file("keys.psk")))
        << slurp(file("nbd.err"));
    EXPECT_EQ(shell("nbdinfo --size '" + tls + file("keys.psk") + "' | grep -qx 6291456"), 0);
    EXPECT_NE(shell("nbdinfo --size '" + tls + file("wrong.psk") + "' 2>/dev/null"), 0);
    EXPECT_NE(shell("nbdinfo --size 'nbd://127.0.0.1:" + port + "' 2>/dev/null"), 0);
#ifdef QUEVI_SANITIZER_RUNTIME
    // Under a sanitizer's runtime nbdkit with TLS never ends (nbdkit's own memory plugin neither):
    // at exit p11-kit's destructor waits for glibc's locale lock.
    kill(nbd_, SIGKILL);
    testsupport::reap(nbd_, 10);
#else
    stopNbd();
#endif
}

// A LUN as a local file: nbdfuse mounts the export, the file holds the LUN's bytes.
TEST_F(ExportTest, NbdfuseShowsALunAsAFile) {
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        GTEST_SKIP() << "no usable /dev/fuse: FUSE is not available here";
    }
    if (!onPath("nbdfuse") || !onPath("fusermount3")) {
        GTEST_SKIP() << "nbdfuse or fusermount3 is not installed (scripts/bootstrap: fuse3)";
    }
    std::string socket = file("nbd.sock");
    std::string uri = "nbd+unix:///1?socket=" + socket;
    ASSERT_TRUE(startNbd(base_ + "/disk-a --readonly --socket " + socket, uri));
    fs::create_directories(dir_ / "mnt");
    testsupport::Child fuse =
        testsupport::spawn({"/bin/sh", "-c",
                            "exec nbdfuse --readonly --pidfile " + file("fuse.pid") + " " +
                                file("mnt") + " '" + uri + "'"});
    auto end = std::chrono::steady_clock::now() + 20s;
    while (!fs::exists(file("fuse.pid")) && std::chrono::steady_clock::now() < end &&
           waitpid(fuse.pid, nullptr, WNOHANG) == 0) {
        std::this_thread::sleep_for(50ms);
    }
    bool mounted = fs::exists(file("fuse.pid"));
    EXPECT_TRUE(mounted) << "nbdfuse did not mount within 20 s";
    if (mounted) {
        EXPECT_EQ(shell("cmp " + file("mnt/nbd") + " " + file("a1.img")), 0);
        EXPECT_EQ(shell("fusermount3 -u " + file("mnt")), 0);
    }
    EXPECT_EQ(testsupport::reap(fuse.pid, 10), mounted ? 0 : -1);
    fclose(fuse.out);
    stopNbd();
}

} // namespace
