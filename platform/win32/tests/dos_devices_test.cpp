// DOS device names: QueryDosDeviceW and DefineDosDeviceW over the "\??" links.
#include <gtest/gtest.h>

#include <windows.h>

#include "dos_devices.h"
#include "machine_test.h"
#include "ob/object_namespace.h"

namespace emu::testing {
namespace {

class DosDevicesTest : public MachineTest {
protected:
    std::u16string Query(const char16_t* name)
    {
        WCHAR buffer[256] = {};
        DWORD written = QueryDosDeviceW(name, buffer, 256);
        if (!written) return u"<" + std::u16string(GetLastError() == ERROR_FILE_NOT_FOUND ? u"none" : u"error") + u">";
        EXPECT_EQ(buffer[written - 1], 0);  // the list's terminator
        return buffer;
    }
};

TEST_F(DosDevicesTest, ADefinitionIsALinkTheKernelFollows)
{
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"COM7", u"\\Device\\Port7"));
    EXPECT_EQ(Query(u"COM7"), u"\\Device\\Port7");
    EXPECT_EQ(machine().GetNamespace().LinkTarget(u"\\DosDevices\\COM7"), u"\\Device\\Port7");
    // One definition a name.
    EXPECT_FALSE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"COM7", u"\\Device\\Port8"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(Query(u"COM8"), u"<none>");
    WCHAR tiny[4];
    EXPECT_EQ(QueryDosDeviceW(u"COM7", tiny, 4), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(DosDevicesTest, AnExactRemovalTakesOnlyTheMatchingTarget)
{
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"COM3", u"\\Device\\Port1"));
    const DWORD exact = DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE;
    EXPECT_FALSE(DefineDosDeviceW(exact, u"COM3", u"\\Device\\Port2"));
    EXPECT_EQ(Query(u"COM3"), u"\\Device\\Port1");
    EXPECT_TRUE(DefineDosDeviceW(exact, u"COM3", u"\\Device\\Port1"));
    EXPECT_EQ(Query(u"COM3"), u"<none>");
    EXPECT_FALSE(DefineDosDeviceW(exact, u"COM3", u"\\Device\\Port1"));
}

TEST_F(DosDevicesTest, AnInjectedFailureRefusesOnlyDefinitions)
{
    ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"COM3", u"\\Device\\Port1"));
    win32::FailNextDosDeviceDefinitions(1);
    EXPECT_TRUE(DefineDosDeviceW(DDD_REMOVE_DEFINITION, u"COM3", nullptr));
    EXPECT_FALSE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"COM4", u"\\Device\\Port1"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"COM4", u"\\Device\\Port1"));
    EXPECT_FALSE(DefineDosDeviceW(0, u"COM5", u"C:\\dir"));  // only raw target paths
}

}  // namespace
}  // namespace emu::testing
