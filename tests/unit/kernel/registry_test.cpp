// RtlQueryRegistryValues over the in-memory registry.
#include "platform/kernel/host.h"

#include <gtest/gtest.h>

namespace {

constexpr ULONG kUntouched = 0xDEADBEEF;

class Registry : public ::testing::Test {
protected:
    void SetUp() override { qvk::registryClear(); }
    void TearDown() override { qvk::registryClear(); }

    // One direct entry and the terminator.
    RTL_QUERY_REGISTRY_TABLE table[3] = {};

    void entry(int i, const char16_t* name, ULONG* target, ULONG flags, ULONG defaultType,
               ULONG* defaultData) {
        table[i].QueryRoutine = nullptr;
        table[i].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
        table[i].Name = name;
        table[i].EntryContext = target;
        table[i].DefaultType = defaultType;
        table[i].DefaultData = defaultData;
        table[i].DefaultLength = defaultData != nullptr ? sizeof(ULONG) : 0;
    }

    NTSTATUS query(const char16_t* path,
                   ULONG relativeTo = RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL) {
        return RtlQueryRegistryValues(relativeTo, path, table, nullptr, nullptr);
    }
};

TEST_F(Registry, PresentDwordIsStoredAndNamesIgnoreCase) {
    qvk::registrySetDword("QueviSCSI\\Parameters", "Debug", 3);
    ULONG level = kUntouched;
    entry(0, u"debug", &level, RTL_QUERY_REGISTRY_REQUIRED, REG_DWORD, nullptr);
    EXPECT_EQ(query(u"queviscsi\\PARAMETERS"), STATUS_SUCCESS);
    EXPECT_EQ(level, 3u);
}

TEST_F(Registry, MissingValueTakesItsDefault) {
    qvk::registryCreateKey("QueviSCSI\\Parameters");
    ULONG fallback = 8;
    ULONG concurrency = kUntouched;
    ULONG length = kUntouched;
    qvk::registrySetDword("QueviSCSI\\Parameters", "MaximumTransferLength", 65536);
    entry(0, u"MaximumConcurrency", &concurrency, RTL_QUERY_REGISTRY_REQUIRED, REG_DWORD,
          &fallback);
    entry(1, u"MaximumTransferLength", &length, 0, REG_DWORD, &fallback);
    EXPECT_EQ(query(u"QueviSCSI\\Parameters"), STATUS_SUCCESS);
    EXPECT_EQ(concurrency, 8u);
    EXPECT_EQ(length, 65536u);
}

TEST_F(Registry, RequiredMissingWithoutDefaultFailsAndStoresNothing) {
    qvk::registryCreateKey("QueviSCSI\\Parameters");
    ULONG level = kUntouched;
    // The trace-level query: REG_DWORD default type but no default data.
    entry(0, u"Debug", &level, RTL_QUERY_REGISTRY_REQUIRED, REG_DWORD, nullptr);
    EXPECT_EQ(query(u"QueviSCSI\\Parameters"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(level, kUntouched);
    entry(0, u"Debug", &level, RTL_QUERY_REGISTRY_REQUIRED, REG_NONE, nullptr);
    EXPECT_EQ(query(u"QueviSCSI\\Parameters"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(level, kUntouched);
}

TEST_F(Registry, OptionalMissingWithoutDefaultIsSkipped) {
    qvk::registrySetDword("QueviSCSI\\Parameters", "Second", 2);
    ULONG first = kUntouched;
    ULONG second = kUntouched;
    entry(0, u"First", &first, 0, REG_NONE, nullptr);
    entry(1, u"Second", &second, 0, REG_NONE, nullptr);
    EXPECT_EQ(query(u"QueviSCSI\\Parameters"), STATUS_SUCCESS);
    EXPECT_EQ(first, kUntouched);
    EXPECT_EQ(second, 2u);
}

TEST_F(Registry, MissingKeyFailsWithoutApplyingDefaults) {
    qvk::registrySetDword("OtherService\\Parameters", "Debug", 1);
    ULONG fallback = 5;
    ULONG value = kUntouched;
    entry(0, u"Debug", &value, 0, REG_DWORD, &fallback);
    EXPECT_EQ(query(u"QueviSCSI\\Parameters"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(query(u"QueviSCSI\\Parameters", RTL_REGISTRY_SERVICES), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(value, kUntouched);
}

TEST_F(Registry, StringValueForDwordEntryIsATypeMismatch) {
    qvk::registrySetString("QueviSCSI\\Parameters", "Debug", "high");
    ULONG value = kUntouched;
    entry(0, u"Debug", &value, 0, REG_NONE, nullptr);
    EXPECT_EQ(query(u"QueviSCSI\\Parameters"), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(value, kUntouched);
}

TEST_F(Registry, UnsupportedUsesAreRefusedBeforeAnythingIsStored) {
    qvk::registrySetDword("QueviSCSI\\Parameters", "Debug", 1);
    ULONG value = kUntouched;
    entry(0, u"Debug", &value, 0, REG_NONE, nullptr);
    entry(1, u"Other", &value, 0, REG_NONE, nullptr);
    table[1].QueryRoutine = reinterpret_cast<PVOID>(&qvk::registryClear);
    EXPECT_EQ(query(u"QueviSCSI\\Parameters"), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(value, kUntouched);

    entry(1, u"Other", &value, 0, REG_SZ, nullptr);
    EXPECT_EQ(query(u"QueviSCSI\\Parameters"), STATUS_INVALID_PARAMETER);
    entry(1, u"Other", nullptr, 0, REG_NONE, nullptr);
    EXPECT_EQ(query(u"QueviSCSI\\Parameters"), STATUS_INVALID_PARAMETER);
    table[1] = RTL_QUERY_REGISTRY_TABLE{};
    EXPECT_EQ(query(u"QueviSCSI\\Parameters", RTL_REGISTRY_ABSOLUTE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(value, kUntouched);
    EXPECT_EQ(query(u"QueviSCSI\\Parameters"), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
}

TEST_F(Registry, LaterValueOverwritesAndClearEmpties) {
    qvk::registrySetDword("Disk", "TimeOutValue", 10);
    qvk::registrySetDword("disk", "timeoutvalue", 60);
    ULONG value = kUntouched;
    entry(0, u"TimeOutValue", &value, RTL_QUERY_REGISTRY_REQUIRED, REG_NONE, nullptr);
    EXPECT_EQ(query(u"Disk"), STATUS_SUCCESS);
    EXPECT_EQ(value, 60u);
    qvk::registryClear();
    EXPECT_EQ(query(u"Disk"), STATUS_OBJECT_NAME_NOT_FOUND);
}

} // namespace
