// advapi32's registry calls against the kernel's one registry.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include "cm/registry.h"
#include "machine_test.h"
#include "registry_keys.h"

namespace emu::testing {
namespace {

constexpr std::u16string_view kKernelPath = u"\\Registry\\Machine\\SOFTWARE\\Test";

class RegistryApiTest : public MachineTest {
protected:
    Registry& Reg() { return machine().GetRegistry(); }
    HKEY Open(REGSAM access)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"software\\TEST", 0, access, &key), ERROR_SUCCESS);
        return key;
    }
};

TEST_F(RegistryApiTest, UserAndKernelSeeOneRegistryWithoutRegardToCase)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    const char16_t text[] = u"COM3";
    ASSERT_EQ(RegSetValueExW(key, u"PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text), ERROR_SUCCESS);
    RegCloseKey(key);

    auto value = Reg().GetValue(kKernelPath, u"portname");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(value->data.size(), sizeof text);

    Reg().SetDword(kKernelPath, u"Count", 7);
    key = Open(KEY_READ);
    DWORD type = 0, count = 0, size = sizeof count;
    EXPECT_EQ(RegQueryValueExW(key, u"COUNT", nullptr, &type, reinterpret_cast<BYTE*>(&count), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(count, 7u);
    RegCloseKey(key);
}

TEST_F(RegistryApiTest, QueryReportsSizesAndKeepsStoredBytesAsTheyAre)
{
    // Five bytes: an odd length and no terminator, as a careless writer leaves a string.
    Reg().SetValue(kKernelPath, u"Raw", REG_SZ, {'A', 0, 'B', 0, 'C'});
    HKEY key = Open(KEY_READ);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"Raw", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);
    BYTE small[4] = {};
    size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, u"Raw", nullptr, nullptr, small, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);
    BYTE exact[5] = {};
    size = sizeof exact;
    EXPECT_EQ(RegQueryValueExW(key, u"Raw", nullptr, nullptr, exact, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::vector<BYTE>(exact, exact + 5), (std::vector<BYTE>{'A', 0, 'B', 0, 'C'}));
    EXPECT_EQ(RegQueryValueExW(key, u"Missing", nullptr, nullptr, exact, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryApiTest, RightsFaultsAndMissingKeysComeBackAsWin32Errors)
{
    Reg().CreateKey(kKernelPath);
    HKEY key = Open(KEY_READ);
    const DWORD one = 1;
    EXPECT_EQ(RegSetValueExW(key, u"Denied", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_ACCESS_DENIED);
    RegCloseKey(key);

    HKEY missing = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Nowhere", 0, KEY_READ, &missing), ERROR_FILE_NOT_FOUND);

    Reg().FailNextCall(RegistryCall::OpenKey, STATUS_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Test", 0, KEY_READ, &missing), ERROR_ACCESS_DENIED);

    key = Open(GENERIC_WRITE);
    Reg().FailNextCall(RegistryCall::SetValueKey, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_NE(RegSetValueExW(key, u"Lost", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
    EXPECT_FALSE(Reg().GetValue(kKernelPath, u"Lost"));
    EXPECT_EQ(RegSetValueExW(key, u"Kept", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, u"Kept"), ERROR_SUCCESS);
    EXPECT_FALSE(Reg().GetValue(kKernelPath, u"Kept"));
    RegCloseKey(key);
}

TEST_F(RegistryApiTest, OpensAKeyByItsKernelPathAndEnumeratesItsSubkeys)
{
    Reg().CreateKey(std::u16string(kKernelPath) + u"\\Beta");
    Reg().CreateKey(std::u16string(kKernelPath) + u"\\alpha");
    HKEY key = nullptr;
    ASSERT_EQ(advapi::OpenKeyByPath(kKernelPath, KEY_READ, false, &key), ERROR_SUCCESS);
    std::vector<std::u16string> names;
    for (DWORD index = 0;; ++index) {
        WCHAR name[32];
        DWORD length = 32;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, length);
    }
    EXPECT_EQ(names, (std::vector<std::u16string>{u"alpha", u"Beta"}));
    RegCloseKey(key);
    EXPECT_EQ(advapi::OpenKeyByPath(u"\\Registry\\User\\X", KEY_READ, false, &key), ERROR_BAD_PATHNAME);
}

}  // namespace
}  // namespace emu::testing
