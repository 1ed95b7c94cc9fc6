// quevi copy --rescue against an in-process target with bad blocks: exactly the unreadable blocks
// found and listed in a map ddrescuelog reads, every other byte copied, an interrupted copy
// resumed to the same image and map without reading again what it had, a second pass over the
// bad areas only, maps that do not fit refused before anything is written.
#include "target/lun.h"
#include "target/target.h"
#include "tool/rescue_map.h"
#include "tool/sha256.h"

#include "loopback.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
namespace tgt = quevi::target;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr uint64_t kBlocks = 131072; // 64 MiB

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

// The map's blocks, without the comment lines.
std::string blocksOf(const std::string& map) {
    std::istringstream in(map);
    std::string out;
    for (std::string line; std::getline(in, line);) {
        out += line.empty() || line[0] == '#' ? "" : line + "\n";
    }
    return out;
}

class RescueTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quevi-rescue-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        tgt::TargetConfig config;
        config.luns = {"64M"};
        config.record = false;
        target_ = std::make_unique<tgt::Target>(config);
        std::string error;
        ASSERT_TRUE(target_->start(&error)) << error;
        lun_ = Bytes(kBlocks * 512);
        uint64_t x = 0x9E3779B97F4A7C15ull;
        for (size_t i = 0; i < lun_.size(); i++) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            lun_[i] = (i >> 20) % 5 == 4 ? 0 : static_cast<uint8_t>(x); // zero MiBs: holes
        }
        ASSERT_TRUE(target_->lun(0)->write(0, lun_));
    }

    void TearDown() override {
        target_->stop();
        fs::remove_all(dir_);
    }

    tgt::BadBlocks& bad() { return target_->lun(0)->badBlocks(); }

    std::string url() const {
        return "quevi://127.0.0.1:" + std::to_string(target_->port()) + "/quevi-target/0";
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // `quevi ARGS` with a bound; SIGINT after `interruptAfter` when given.
    Outcome quevi(const std::string& args, std::chrono::milliseconds interruptAfter = 0ms) const {
        std::string command = "exec " + std::string(QUEVI_BINARY) + " " + args + " >" +
                              path("stdout") + " 2>" + path("stderr");
        pid_t pid = fork();
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        auto start = std::chrono::steady_clock::now();
        bool signalled = interruptAfter == 0ms;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            auto now = std::chrono::steady_clock::now();
            if (!signalled && now - start >= interruptAfter) {
                kill(pid, SIGINT);
                signalled = true;
            }
            if (now - start > 90s) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "quevi " << args << " did not end";
            }
            std::this_thread::sleep_for(2ms);
        }
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(path("stdout")),
                slurp(path("stderr"))};
    }

    Outcome rescue(const std::string& name, std::chrono::milliseconds interruptAfter = 0ms) {
        return quevi("copy -q --rescue " + path(name + ".map") + " " + url() + " " +
                         path(name + ".img"),
                     interruptAfter);
    }

    // The LUN's bytes with the listed blocks zeroed.
    Bytes imageWithout(const std::vector<std::pair<uint64_t, uint64_t>>& blocks) const {
        Bytes image = lun_;
        for (auto [first, last] : blocks) {
            std::fill(image.begin() + static_cast<long>(first * 512),
                      image.begin() + static_cast<long>((last + 1) * 512), 0);
        }
        return image;
    }

    fs::path dir_;
    std::unique_ptr<tgt::Target> target_;
    Bytes lun_;
};

std::vector<std::pair<uint64_t, uint64_t>> kBad = {
    {1000, 1000}, {50000, 50036}, {kBlocks - 1, kBlocks - 1}};

TEST_F(RescueTest, FindsExactlyTheBadBlocksAndResumesToTheSameImageAndMap) {
    for (auto [first, last] : kBad) {
        bad().add(first, last);
    }
    Outcome one = rescue("one");
    ASSERT_EQ(one.exitCode, 3) << one.err;
    Bytes expected = imageWithout(kBad);
    std::string image = slurp(path("one.img"));
    EXPECT_TRUE(Bytes(image.begin(), image.end()) == expected)
        << "every readable byte as on the LUN, the unreadable blocks zeros";
    std::string listed;
    for (auto [first, last] : kBad) {
        for (uint64_t b = first; b <= last; b++) {
            listed += std::to_string(b) + "\n";
        }
    }
    testsupport::ProgramRun l = testsupport::runProgram("ddrescuelog", "-l- " + path("one.map"));
    EXPECT_EQ(l.exitCode, 0);
    EXPECT_EQ(l.out, listed) << "ddrescuelog lists exactly the unreadable blocks";
    EXPECT_EQ(testsupport::runProgram("ddrescuelog", "-l+ " + path("one.map")).out.size(),
              testsupport::runProgram("seq", "0 " + std::to_string(kBlocks - 1)).out.size() -
                  listed.size());
    nlohmann::json report = one.json();
    EXPECT_EQ(report["bad_bytes"], 39 * 512);
    EXPECT_EQ(report["bytes"], expected.size() - 39 * 512);
    EXPECT_EQ(report["bad_ranges"], nlohmann::json::parse(R"([{"offset":512000,"bytes":512},
        {"offset":25600000,"bytes":18944},{"offset":67108352,"bytes":512}])"));
    EXPECT_EQ(report["sha256"], quevi::tool::sha256Hex(expected));

    // The same copy cut at a random moment (the target slowed down so that there is one), then
    // resumed: the blocks the interrupted run finished are made unreadable first, so that any
    // of them read again would show as bad in the map and as zeros in the image.
    std::mt19937 random(std::random_device{}());
    auto cut = std::chrono::milliseconds(std::uniform_int_distribution<int>(100, 700)(random));
    tgt::Faults slow;
    slow.responseDelay = 2ms;
    target_->setFaults(slow);
    Outcome first = rescue("two", cut);
    target_->setFaults({});
    ASSERT_EQ(first.exitCode, 130) << cut.count() << " ms\n" << first.err;
    std::string error;
    // A signal that came before the copy began (a slow start: sanitizers) leaves no map at all.
    if (fs::exists(path("two.map"))) {
        auto map = quevi::tool::RescueMap::parse(slurp(path("two.map")), error);
        ASSERT_TRUE(map) << error;
        for (const auto& r : map->ranges()) {
            if (r.status == quevi::tool::kMapFinished) {
                bad().add(r.pos / 512, (r.pos + r.size) / 512 - 1);
            }
        }
    }
    Outcome resumed = rescue("two");
    EXPECT_EQ(resumed.exitCode, 3) << resumed.err;
    EXPECT_TRUE(slurp(path("two.img")) == image) << "cut after " << cut.count() << " ms";
    EXPECT_EQ(blocksOf(slurp(path("two.map"))), blocksOf(slurp(path("one.map"))));
    EXPECT_EQ(resumed.json()["sha256"], report["sha256"])
        << "what the first run wrote is read back for the digest";

    // A second pass reads only the bad areas: one became readable, the rest still fail.
    bad().heal(0, kBlocks);
    for (const auto& r : quevi::tool::RescueMap::parse(slurp(path("one.map")), error)->ranges()) {
        if (r.status == quevi::tool::kMapFinished) {
            bad().add(r.pos / 512, (r.pos + r.size) / 512 - 1);
        }
    }
    bad().add(50000, 50036);
    bad().add(kBlocks - 1, kBlocks - 1);
    Outcome pass = rescue("one");
    EXPECT_EQ(pass.exitCode, 3) << pass.err;
    EXPECT_EQ(pass.json()["bad_bytes"], 38 * 512);
    Bytes healed = imageWithout({kBad[1], kBad[2]});
    image = slurp(path("one.img"));
    EXPECT_TRUE(Bytes(image.begin(), image.end()) == healed)
        << "block 1000 read on the second pass";
}

// Blocks that failed are read again alone after the pass: a weak block that reads on its retry is
// rescued (the digest, taken with zeros for it, is then left out), one that fails once more stays
// bad until a later run reads it, which reads the image back for the digest.
TEST_F(RescueTest, RetryPassesReadWeakBlocksAgain) {
    bad().addWeak(3000, 1);
    bad().addWeak(5000, 2);
    Outcome first = rescue("weak");
    ASSERT_EQ(first.exitCode, 3) << first.err;
    EXPECT_EQ(first.json()["bad_ranges"],
              nlohmann::json::parse(R"([{"offset":2560000,"bytes":512}])"));
    EXPECT_TRUE(first.json()["sha256"].is_null());
    Bytes expected = imageWithout({{5000, 5000}});
    std::string image = slurp(path("weak.img"));
    Bytes got(image.begin(), image.end());
    ASSERT_EQ(got.size(), expected.size());
    auto diff = std::mismatch(got.begin(), got.end(), expected.begin());
    EXPECT_TRUE(diff.first == got.end()) << "block " << (diff.first - got.begin()) / 512;
    Outcome second = rescue("weak");
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(second.json()["sha256"], quevi::tool::sha256Hex(lun_));
    EXPECT_TRUE(slurp(path("weak.img")) == std::string(lun_.begin(), lun_.end()));
}

// Without --rescue a medium error fails the copy, naming the LBA; with --rescue a map that does
// not describe the source is refused before anything is written.
TEST_F(RescueTest, PlainCopyNamesTheBadBlockAndMapsThatDoNotFitAreRefused) {
    bad().add(3000, 3001);
    Outcome plain = quevi("copy -q " + url() + " " + path("plain.img"));
    EXPECT_EQ(plain.exitCode, 1);
    EXPECT_NE(plain.err.find("medium error (0xC000009C) at LBA 3000 after 4 attempts"),
              std::string::npos)
        << plain.err;

    // Over the wire: the sense names the first bad block; a write heals the blocks it covers.
    Outcome run = quevi("run " + url() + " read:2999:4 write:3000:1:7 read:2999:4");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::istringstream lines(run.out);
    std::vector<nlohmann::json> steps;
    for (std::string line; std::getline(lines, line);) {
        steps.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(steps.size(), 4u) << run.out;
    EXPECT_EQ(steps[1]["sense"], "f0000300000bb80a00000000110000000000") << "LBA 3000, no data";
    EXPECT_EQ(steps[1]["bytes"], 0);
    EXPECT_EQ(steps[3]["sense"], "f0000300000bb90a00000000110000000000") << "3000 healed";

    std::ofstream(path("keep.img")) << "untouched";
    struct Case {
        std::string map;
        std::string error;
    };
    for (const Case& c : std::vector<Case>{
             {"0x0 ? 1\n0x0 0x200 ?\n", "covers 512 bytes, " + url() + " holds 67108864"},
             {"0x0 ? 1\n0x0 0x3FFFF00 +\n0x3FFFF00 0x100 ?\n", "not whole 512-byte blocks"},
             {"0x0 ? 1\n0x0 0x4000000 %\n", "line 2: expected 'pos size status'"},
         }) {
        std::ofstream(path("keep.map")) << c.map;
        Outcome o = rescue("keep");
        EXPECT_EQ(o.exitCode, 1) << c.map;
        EXPECT_NE(o.err.find(c.error), std::string::npos) << o.err;
        EXPECT_EQ(slurp(path("keep.img")), "untouched");
        EXPECT_EQ(slurp(path("keep.map")), c.map);
    }
}

} // namespace
