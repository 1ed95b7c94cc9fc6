// Trace output, bounded waits, and the event log writer.
#include "driver/api/messages.h"
#include "driver/runtime/os_services.h"
#include "driver/runtime/runtime.h"
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override { qvk::dbgCaptureStart(); }
    void TearDown() override { qvk::dbgCaptureStop(); }
};

// Lines print up to the global level inclusive; the comparison is unsigned.
TEST_F(TraceTest, LevelsPrintUpToTheGlobalLevel) {
    struct Case {
        ULONG global;
        ULONG level;
        bool printed;
    } cases[] = {{0, 1, false}, {2, 1, true}, {2, 2, true}, {2, 3, false}, {3, 0xFFFFFFFF, false}};
    for (const Case& c : cases) {
        GlobalDebugLevel = c.global;
        Debug(c.level, "TraceTest: %u\n", c.level);
        EXPECT_EQ(qvk::dbgCaptureTake(),
                  c.printed ? "TraceTest: " + std::to_string(c.level) + "\n" : "")
            << c.global << " " << c.level;
    }
}

TEST_F(TraceTest, ValuesArePrintedAsTheyAreAndOverlongLinesCutAtTheBuffer) {
    GlobalDebugLevel = 1;
    Debug(1, "handleLogin: %s\n", "AuthMethod=none;Key=100%s%d%n;");
    EXPECT_EQ(qvk::dbgCaptureTake(), "handleLogin: AuthMethod=none;Key=100%s%d%n;\n");
    std::string value(5000, 'x');
    Debug(1, "TraceTest: %s\n", value.c_str());
    std::string out = qvk::dbgCaptureTake();
    EXPECT_EQ(out.size(), static_cast<size_t>(DEBUG_BUFFER_SIZE - 1));
    EXPECT_EQ(out.substr(0, 11), "TraceTest: ");
}

TEST_F(TraceTest, TraceLevelComesFromTheRegistryAndStaysZeroWithoutIt) {
    GlobalDebugLevel = 0;
    iscsiOSreadTraceLevel();
    EXPECT_EQ(GlobalDebugLevel, 0u);
    qvk::registrySetDword("QueviSCSI\\Parameters", "Debug", 2);
    iscsiOSreadTraceLevel();
    EXPECT_EQ(GlobalDebugLevel, 2u);
}

TEST(Delays, LimitSleepReturnsAtOnceWhenSignalled) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::thread signaller([&] {
        std::this_thread::sleep_for(500ms);
        KeSetEvent(&event, 0, FALSE);
    });
    auto start = Clock::now();
    EXPECT_EQ(iscsiOSlimitsleep(&event, 2), STATUS_SUCCESS);
    auto took = Clock::now() - start;
    signaller.join();
    EXPECT_GE(took, 400ms);
    EXPECT_LT(took, 1900ms);
}

TEST(Delays, LimitSleepTimesOutAfterTheFullTime) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    auto start = Clock::now();
    EXPECT_EQ(iscsiOSlimitsleep(&event, 1), STATUS_TIMEOUT);
    EXPECT_GE(Clock::now() - start, 1s);
}

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        qvk::errorLogClear();
        qvk::errorLogSetMessageTable([](uint32_t id) -> const char* {
            const QUEV_MESSAGE* m = quevFindMessage(id);
            return m == nullptr ? nullptr : m->text;
        });
        qvk::errorLogSetDriverName("QueviSCSI");
        driver = qvk::createDriverObject("QueviSCSI");
        GlobalDriverObject = driver;
    }
    void TearDown() override {
        GlobalDriverObject = nullptr;
        qvk::deleteDriverObject(driver);
    }
    PDRIVER_OBJECT driver = nullptr;
};

TEST_F(EventLogTest, BusResetEntryIsLaidOutByteForByte) {
    ASSERT_EQ(sendErrorLogMsg(0x804F0007, 0, u"3", u"10.0.0.1", nullptr, nullptr), 0);
    auto entries = qvk::errorLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    const auto& raw = entries[0].raw;
    // 48-byte header, then "3\0" and "10.0.0.1\0" in 16-bit little-endian characters.
    const uint8_t expected[] = {
        0x00, 0x00, 0x00, 0x00,                 // major function, retry count, dump data size
        0x02, 0x00,                             // NumberOfStrings
        0x30, 0x00,                             // StringOffset = 48
        0x00, 0x00, 0x00, 0x00,                 // event category, padding
        0x07, 0x00, 0x4F, 0x80,                 // ErrorCode 0x804F0007
        0x00, 0x00, 0x00, 0x00,                 // UniqueErrorValue
        0x00, 0x00, 0x00, 0x00,                 // FinalStatus
        0x00, 0x00, 0x00, 0x00,                 // SequenceNumber
        0x00, 0x00, 0x00, 0x00,                 // IoControlCode
        0,    0,    0,    0,    0,   0, 0,   0, // DeviceOffset
        0,    0,    0,    0,    0,   0, 0,   0, // no dump data
        '3',  0,    0,    0,                    // "3"
        '1',  0,    '0',  0,    '.', 0, '0', 0, '.', 0, '0', 0, '.', 0, '1', 0, 0, 0, // "10.0.0.1"
    };
    ASSERT_EQ(raw.size(), sizeof expected);
    EXPECT_EQ(0, std::memcmp(raw.data(), expected, sizeof expected));
    EXPECT_EQ(entries[0].text,
              "A bus reset has been issued for iSCSI bus 3, connected to iSCSI target "
              "10.0.0.1.\r\nThere may be a problem with the target or with the network. \r\n"
              "There may also be too many scsi commands outstanding for this target.\r\n");
}

TEST_F(EventLogTest, NoEntryAvailableIsMinusOneAndLosesTheEvent) {
    qvk::errorLogFailNext(1);
    EXPECT_EQ(sendErrorLogMsg(0x804F0007, 0, u"3", u"10.0.0.1", nullptr, nullptr), -1);
    EXPECT_TRUE(qvk::errorLogEntries().empty());
}
