// Error log entries: allocation limits, storage of what the driver wrote, rendering.
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const char* messageText(uint32_t id) {
    switch (id) {
    case 0x804F0007:
        return "A bus reset has been issued for iSCSI bus %2, connected to iSCSI target %3.\r\n";
    case 0xC04F0002:
        return "%1 suffered an internal error and was unloaded. %2\r\n";
    default:
        return nullptr;
    }
}

class ErrorLog : public ::testing::Test {
protected:
    void SetUp() override {
        driver = qvk::createDriverObject("QueviSCSI");
        qvk::errorLogClear();
        qvk::errorLogSetMessageTable(messageText);
    }
    void TearDown() override {
        qvk::errorLogSetMessageTable(nullptr);
        qvk::errorLogSetDriverName("");
        qvk::errorLogFailNext(0);
        qvk::deleteDriverObject(driver);
    }

    // Writes an entry the way the driver does: header, then the strings at offset 48.
    void write(uint32_t id, std::initializer_list<std::u16string> strings) {
        size_t chars = 0;
        for (const auto& s : strings) {
            chars += s.size() + 1;
        }
        auto size = static_cast<UCHAR>(sizeof(IO_ERROR_LOG_PACKET) + 2 * chars);
        auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver, size));
        ASSERT_NE(packet, nullptr);
        packet->ErrorCode = static_cast<NTSTATUS>(id);
        packet->NumberOfStrings = static_cast<USHORT>(strings.size());
        packet->StringOffset = sizeof(IO_ERROR_LOG_PACKET);
        auto* out = reinterpret_cast<char*>(packet) + packet->StringOffset;
        for (const auto& s : strings) {
            std::memcpy(out, s.c_str(), 2 * (s.size() + 1));
            out += 2 * (s.size() + 1);
        }
        IoWriteErrorLogEntry(packet);
    }

    PDRIVER_OBJECT driver = nullptr;
};

TEST_F(ErrorLog, AllocationIsZeroedBoundedBySizeAndCanBeMadeToFail) {
    EXPECT_EQ(IoAllocateErrorLogEntry(driver, 47), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(driver, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(nullptr, 48), nullptr);
    for (UCHAR size : {UCHAR{48}, static_cast<UCHAR>(ERROR_LOG_MAXIMUM_SIZE)}) {
        auto* p = static_cast<unsigned char*>(IoAllocateErrorLogEntry(driver, size));
        ASSERT_NE(p, nullptr);
        for (size_t i = 0; i < size; i++) {
            ASSERT_EQ(p[i], 0) << i;
        }
        IoWriteErrorLogEntry(p);
    }
    EXPECT_EQ(qvk::errorLogEntries().size(), 2u);
    // Injected failures.
    qvk::errorLogFailNext(2);
    EXPECT_EQ(IoAllocateErrorLogEntry(driver, 48), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(driver, 48), nullptr);
    PVOID p = IoAllocateErrorLogEntry(driver, 48);
    ASSERT_NE(p, nullptr);
    IoWriteErrorLogEntry(p);
}

TEST_F(ErrorLog, BusResetEntryKeepsStringsRawBytesAndRenderedText) {
    write(0x804F0007, {u"3", u"10.0.0.1"});
    auto entries = qvk::errorLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    const auto& e = entries[0];
    EXPECT_EQ(e.errorCode, 0x804F0007u);
    EXPECT_EQ(e.uniqueErrorValue, 0u);
    ASSERT_EQ(e.strings.size(), 2u);
    EXPECT_EQ(e.strings[0], u"3");
    EXPECT_EQ(e.strings[1], u"10.0.0.1");
    EXPECT_EQ(e.text, "A bus reset has been issued for iSCSI bus 3, connected to iSCSI target "
                      "10.0.0.1.\r\n");

    ASSERT_EQ(e.raw.size(), 70u);                        // 48 + 2 * (2 + 9)
    const uint8_t header[16] = {0x00, 0x00, 0x00, 0x00,  // function, retries, dump size
                                0x02, 0x00, 0x30, 0x00,  // two strings at offset 48
                                0x00, 0x00, 0x00, 0x00,  // category, padding
                                0x07, 0x00, 0x4F, 0x80}; // ErrorCode 0x804F0007
    EXPECT_EQ(std::memcmp(e.raw.data(), header, sizeof header), 0);
    const uint8_t strings[22] = {'3', 0,   0, 0,   '1', 0,   '0', 0,   '.', 0, '0',
                                 0,   '.', 0, '0', 0,   '.', 0,   '1', 0,   0, 0};
    EXPECT_EQ(std::memcmp(e.raw.data() + 48, strings, sizeof strings), 0);
}

TEST_F(ErrorLog, DriverNameFillsPercentOneAndUnknownIdsRenderEmpty) {
    write(0xC04F0002, {u"Core initialization failed."});
    qvk::errorLogSetDriverName("iscsi");
    write(0xC04F0002, {u"x"});
    write(0x404F0001, {u"unknown"});
    auto entries = qvk::errorLogEntries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].text,
              "QueviSCSI suffered an internal error and was unloaded. Core initialization "
              "failed.\r\n");
    EXPECT_EQ(entries[1].text, "iscsi suffered an internal error and was unloaded. x\r\n");
    EXPECT_EQ(entries[2].text, "");
    ASSERT_EQ(entries[2].strings.size(), 1u);
    qvk::errorLogClear();
    EXPECT_TRUE(qvk::errorLogEntries().empty());
}

TEST_F(ErrorLog, MissingInsertionStaysAsWrittenAndStringsStayInsideTheEntry) {
    // Claims three strings but holds one that runs to the end of the entry without its NUL.
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver, 52));
    ASSERT_NE(packet, nullptr);
    packet->ErrorCode = static_cast<NTSTATUS>(0x804F0007);
    packet->NumberOfStrings = 3;
    packet->StringOffset = 48;
    auto* text = reinterpret_cast<char16_t*>(reinterpret_cast<char*>(packet) + 48);
    text[0] = u'7';
    text[1] = u'8';
    IoWriteErrorLogEntry(packet);
    auto entries = qvk::errorLogEntries();
    ASSERT_EQ(entries.size(), 1u);
    ASSERT_EQ(entries[0].strings.size(), 1u);
    EXPECT_EQ(entries[0].strings[0], u"78");
    EXPECT_EQ(entries[0].text,
              "A bus reset has been issued for iSCSI bus 78, connected to iSCSI target %3.\r\n");
}

TEST_F(ErrorLog, WritingSomethingElseAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            static unsigned char notAnEntry[64];
            IoWriteErrorLogEntry(notAnEntry + 32);
        },
        "IoWriteErrorLogEntry of 0x[0-9a-f]+, which is not an allocated entry");
}

} // namespace
