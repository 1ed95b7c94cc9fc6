// Named notification events, handles, driver and device objects, and the string helpers.
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

UNICODE_STRING name(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

class NamedEvents : public ::testing::Test {
protected:
    void TearDown() override { qvk::namedEventsClear(); }
};

TEST_F(NamedEvents, TwoOpenersShareOneEventThatStartsSignalled) {
    UNICODE_STRING n = name(u"\\BaseNamedObjects\\QueviLogin3");
    HANDLE h1 = nullptr, h2 = nullptr;
    PKEVENT e1 = IoCreateNotificationEvent(&n, &h1);
    PKEVENT e2 = IoCreateNotificationEvent(&n, &h2);
    ASSERT_NE(e1, nullptr);
    EXPECT_EQ(e1, e2);
    EXPECT_NE(h1, h2);
    EXPECT_GT(reinterpret_cast<intptr_t>(h1), 0);
    EXPECT_EQ(KeReadStateEvent(e1), 1); // created signalled, as on NT

    KeClearEvent(e1);
    std::thread tool([e2] { KeSetEvent(e2, 0, FALSE); });
    EXPECT_EQ(KeWaitForSingleObject(e1, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    tool.join();
    EXPECT_EQ(KeReadStateEvent(e1), 1); // a notification event stays signalled

    // The event lives while one handle is open.
    EXPECT_EQ(ZwClose(h1), STATUS_SUCCESS);
    KeClearEvent(e2);
    HANDLE h3 = nullptr;
    EXPECT_EQ(IoCreateNotificationEvent(&n, &h3), e2);
    EXPECT_EQ(KeReadStateEvent(e2), 0); // opened, not re-created
    EXPECT_EQ(ZwClose(h2), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h3), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h3), STATUS_INVALID_HANDLE);

    // Recreated after the last close: signalled again.
    HANDLE h4 = nullptr;
    PKEVENT e4 = IoCreateNotificationEvent(&n, &h4);
    ASSERT_NE(e4, nullptr);
    EXPECT_EQ(KeReadStateEvent(e4), 1);
    EXPECT_EQ(ZwClose(h4), STATUS_SUCCESS);
}

TEST_F(NamedEvents, ToolCreatesUnsignalledAndTheDriverOpensTheSameEvent) {
    HANDLE tool = nullptr;
    PKEVENT toolEvent = qvk::createNamedEvent("QueviLogin0", false, &tool);
    ASSERT_NE(toolEvent, nullptr);
    EXPECT_EQ(KeReadStateEvent(toolEvent), 0);
    EXPECT_EQ(qvk::namedEventHandles("QueviLogin0"), 1);

    UNICODE_STRING n = name(u"QueviLogin0");
    HANDLE driver = nullptr;
    PKEVENT driverEvent = IoCreateNotificationEvent(&n, &driver);
    EXPECT_EQ(driverEvent, toolEvent);
    EXPECT_EQ(KeReadStateEvent(driverEvent), 0); // opened, not re-created
    EXPECT_EQ(qvk::namedEventHandles("QueviLogin0"), 2);
    KeSetEvent(driverEvent, 0, FALSE);
    EXPECT_EQ(KeReadStateEvent(toolEvent), 1);

    EXPECT_EQ(ZwClose(driver), STATUS_SUCCESS);
    EXPECT_EQ(qvk::namedEventHandles("QueviLogin0"), 1);
    EXPECT_EQ(ZwClose(tool), STATUS_SUCCESS);
    EXPECT_EQ(qvk::namedEventHandles("QueviLogin0"), 0);
    EXPECT_EQ(qvk::createNamedEvent("", false, &tool), nullptr);
}

TEST_F(NamedEvents, DifferentNamesAreDifferentEventsEmptyNameFailsUnknownHandleRefused) {
    UNICODE_STRING a = name(u"EventA");
    UNICODE_STRING b = name(u"EventB");
    HANDLE ha = nullptr, hb = nullptr;
    PKEVENT ea = IoCreateNotificationEvent(&a, &ha);
    PKEVENT eb = IoCreateNotificationEvent(&b, &hb);
    EXPECT_NE(ea, eb);
    UNICODE_STRING empty = name(u"");
    HANDLE he = nullptr;
    EXPECT_EQ(IoCreateNotificationEvent(&empty, &he), nullptr);
    EXPECT_EQ(ZwClose(ha), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(hb), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(reinterpret_cast<HANDLE>(0x7777770)), STATUS_INVALID_HANDLE);
}

class Devices : public ::testing::Test {
protected:
    void SetUp() override { driver = qvk::createDriverObject("Disk"); }
    void TearDown() override { qvk::deleteDriverObject(driver); }
    PDRIVER_OBJECT driver = nullptr;
};

TEST_F(Devices, CreateAppendsToTheDriverListWithZeroedExtension) {
    UNICODE_STRING n0 = name(u"\\Device\\Harddisk0\\Partition0");
    PDEVICE_OBJECT first = nullptr, second = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 64, &n0, FILE_DEVICE_DISK, 0, FALSE, &first), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_DISK, 0, FALSE, &second),
              STATUS_SUCCESS);
    EXPECT_EQ(driver->DeviceObject, first);
    EXPECT_EQ(first->NextDevice, second);
    EXPECT_EQ(second->NextDevice, nullptr);
    EXPECT_EQ(first->DriverObject, driver);
    EXPECT_EQ(first->ExtensionSize, 64u);
    auto* ext = static_cast<unsigned char*>(first->DeviceExtension);
    for (int i = 0; i < 64; i++) {
        ASSERT_EQ(ext[i], 0);
    }
    EXPECT_EQ(qvk::fromU16(first->Name.Buffer), "\\Device\\Harddisk0\\Partition0");
    EXPECT_EQ(second->Name.Length, 0);

    PDEVICE_OBJECT clash = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, &n0, FILE_DEVICE_DISK, 0, FALSE, &clash),
              STATUS_OBJECT_NAME_COLLISION);
    IoDeleteDevice(first);
    EXPECT_EQ(driver->DeviceObject, second);
}

TEST_F(Devices, LookupByNameReferencesTheDeviceUntilTheFileIsDereferenced) {
    UNICODE_STRING n0 = name(u"\\Device\\Harddisk0\\Partition0");
    PDEVICE_OBJECT disk = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 8, &n0, FILE_DEVICE_DISK, 0, FALSE, &disk), STATUS_SUCCESS);
    UNICODE_STRING lookup = name(u"\\device\\HARDDISK0\\partition0");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT found = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&lookup, FILE_READ_DATA, &file, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, disk);
    EXPECT_EQ(file->DeviceObject, disk);
    EXPECT_EQ(disk->ReferenceCount, 1);
    ObReferenceObject(disk);
    EXPECT_EQ(disk->ReferenceCount, 2);
    ObDereferenceObject(disk);
    EXPECT_EQ(disk->ReferenceCount, 1);

    UNICODE_STRING missing = name(u"\\Device\\Harddisk1\\Partition0");
    PFILE_OBJECT noFile = nullptr;
    PDEVICE_OBJECT noDevice = nullptr;
    EXPECT_EQ(IoGetDeviceObjectPointer(&missing, FILE_READ_DATA, &noFile, &noDevice),
              STATUS_OBJECT_NAME_NOT_FOUND);

    // Deleted while referenced: gone from the namespace, freed at the last dereference (the
    // address sanitizer build checks the order).
    IoDeleteDevice(disk);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    EXPECT_EQ(IoGetDeviceObjectPointer(&n0, FILE_READ_DATA, &noFile, &noDevice),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(file->DeviceObject->ReferenceCount, 1);
    ObDereferenceObject(file);
}

TEST(Strings, ConversionsRoundTripAndCountedStrings) {
    EXPECT_EQ(qvk::toU16("iqn.quevi"), u"iqn.quevi");
    EXPECT_EQ(qvk::fromU16(u"10.0.0.1"), "10.0.0.1");
    std::string utf8 = "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80";
    std::u16string wide = qvk::toU16(utf8);
    EXPECT_EQ(wide, u"caf\u00e9 \u20ac \U0001F600");
    EXPECT_EQ(qvk::fromU16(wide), utf8);
    EXPECT_EQ(qvk::toU16("bad\xff"), u"bad\uFFFD");
    EXPECT_EQ(qvk::toU16("cut\xe2\x82"), u"cut\uFFFD");
    EXPECT_EQ(qvk::fromU16(static_cast<PCWSTR>(nullptr)), "");

    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"Disk");
    EXPECT_EQ(s.Length, 8);
    EXPECT_EQ(s.MaximumLength, 10);
    EXPECT_EQ(wcslen16(s.Buffer), 4u);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.Buffer, nullptr);
}

} // namespace
