// DbgPrint to the capture buffer.
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

namespace {

class DebugPrint : public ::testing::Test {
protected:
    void SetUp() override { qvk::dbgCaptureStart(); }
    void TearDown() override { qvk::dbgCaptureStop(); }
};

TEST_F(DebugPrint, FormatsLikePrintfIntoTheCapture) {
    DbgPrint("HwScsiStartIo: bus %u, tag %x, %s\n", 3u, 0xbeefu, "read");
    DbgPrint("100%% done\n");
    EXPECT_EQ(qvk::dbgCaptureTake(), "HwScsiStartIo: bus 3, tag beef, read\n100% done\n");
    EXPECT_EQ(qvk::dbgCaptureTake(), "");
}

TEST_F(DebugPrint, LongTextIsKeptWhole) {
    std::string longText(3000, 'x');
    DbgPrint("%s|\n", longText.c_str());
    EXPECT_EQ(qvk::dbgCaptureTake(), longText + "|\n");
}

TEST_F(DebugPrint, LinesFromManyThreadsNeverMix) {
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; i++) {
                DbgPrint("thread %d line %d: %s\n", t, i, "0123456789abcdefghijklmnopqrstuvwxyz");
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    std::istringstream captured(qvk::dbgCaptureTake());
    std::string line;
    int count = 0;
    while (std::getline(captured, line)) {
        int t = -1, i = -1;
        char rest[64] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d: %63s", &t, &i, rest), 3) << line;
        EXPECT_STREQ(rest, "0123456789abcdefghijklmnopqrstuvwxyz");
        count++;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST(DebugPrintStderr, WithoutCaptureTextGoesToStderr) {
    testing::internal::CaptureStderr();
    DbgPrint("to stderr %d\n", 42);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to stderr 42\n");
}

} // namespace
