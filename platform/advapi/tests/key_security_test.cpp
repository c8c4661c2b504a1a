// Key security and the registry's views as the Remover meets them: an administrator adds an
// entry to a key's list and puts the list back, a standard user is refused, a 32-bit program on a
// 64-bit system sees HKLM\Software through Wow6432Node except for the shared keys, and the 9x
// family deletes whole trees.
#include <gtest/gtest.h>

#include <shlwapi.h>
#include <windows.h>

#include <vector>

#include "cm/registry.h"
#include "machine_test.h"
#include "program.h"
#include "security_descriptor.h"
#include "system_profile.h"

namespace emu::testing {
namespace {

using process::Ace;
using process::Descriptor;
using process::Program;
using process::ProgramScope;
using process::Token;

constexpr std::u16string_view kEnumKey = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0403&PID_6001";

// A key only SYSTEM may change, as Windows keeps the Enum tree.
Descriptor SystemOnly()
{
    Descriptor descriptor;
    descriptor.owner = process::AdministratorsSid();
    descriptor.daclPresent = true;
    descriptor.dacl = std::vector<Ace>{{ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, process::LocalSystemSid()},
                                       {ACCESS_ALLOWED_ACE_TYPE, 0, KEY_READ, process::EveryoneSid()}};
    return descriptor;
}

class KeySecurityTest : public MachineTest {
protected:
    Registry& Reg() { return machine().GetRegistry(); }
    void Run(std::shared_ptr<Token> token, bool is32Bit = false)
    {
        m_scope.reset();
        m_scope.emplace(std::make_shared<Program>(u"C:\\p.exe", is32Bit, std::move(token)));
    }
    void TearDown() override
    {
        m_scope.reset();
        MachineTest::TearDown();
    }
    std::optional<ProgramScope> m_scope;
};

TEST_F(KeySecurityTest, AnAdministratorAddsAnEntryToTheListAndPutsTheListBack)
{
    Reg().CreateKey(std::u16string(kEnumKey) + u"\\5&1");
    Reg().SetKeySecurity(kEnumKey, process::SelfRelative(SystemOnly()));
    Run(Token::Administrator());
    const std::u16string sub = std::u16string(kEnumKey.substr(std::u16string_view(u"\\Registry\\Machine\\").size()));
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, KEY_ALL_ACCESS, &key), ERROR_ACCESS_DENIED);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, READ_CONTROL | WRITE_DAC, &key), ERROR_SUCCESS)
        << "the owner may always change the list";

    DWORD size = 0;
    EXPECT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size), ERROR_INSUFFICIENT_BUFFER);
    std::vector<uint8_t> saved(size);
    ASSERT_EQ(RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, saved.data(), &size), ERROR_SUCCESS);
    std::optional<Descriptor> read = process::ReadDescriptor(saved.data());
    ASSERT_TRUE(read && read->dacl);
    std::vector<Ace> added = *read->dacl;
    added.push_back({ACCESS_ALLOWED_ACE_TYPE, 0, KEY_ALL_ACCESS, process::AdministratorsSid()});
    Descriptor widened;
    widened.daclPresent = true;
    widened.dacl = added;
    std::vector<uint8_t> bytes = process::SelfRelative(widened);
    ASSERT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, bytes.data()), ERROR_SUCCESS);

    HKEY full = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, KEY_ALL_ACCESS, &full), ERROR_SUCCESS);
    RegCloseKey(full);
    std::optional<Descriptor> now = process::ReadDescriptor(Reg().KeySecurity(kEnumKey)->data());
    ASSERT_TRUE(now);
    EXPECT_EQ(now->owner, process::AdministratorsSid()) << "the owner stays";
    EXPECT_EQ(now->dacl->size(), 3u);

    ASSERT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, saved.data()), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(*process::ReadDescriptor(Reg().KeySecurity(kEnumKey)->data()), SystemOnly());
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, KEY_ALL_ACCESS, &full), ERROR_ACCESS_DENIED);
}

TEST_F(KeySecurityTest, AStandardUserReadsTheMachinesKeysAndChangesNone)
{
    Reg().CreateKey(u"\\Registry\\Machine\\SOFTWARE\\Vexil");
    Run(Token::StandardUser());
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vexil", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vexil", 0, KEY_SET_VALUE, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vexil", 0, WRITE_DAC, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vexil"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\New", 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Reg().KeyExists(u"\\Registry\\Machine\\SOFTWARE\\New")) << "a refused creation leaves nothing";
}

TEST_F(KeySecurityTest, AThirtyTwoBitProgramSeesSoftwareThroughWow6432NodeExceptTheSharedKeys)
{
    const std::u16string ports = u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
    Reg().SetString(ports, u"COM3:", u"9600,n,8,1");
    Reg().SetString(u"\\Registry\\Machine\\SOFTWARE\\Wow6432Node\\Vexil", u"Bits", u"32");
    Reg().SetString(u"\\Registry\\Machine\\SOFTWARE\\Vexil", u"Bits", u"64");
    struct Case {
        bool is32Bit;
        REGSAM view;
        std::u16string_view bits;
    };
    for (const Case& c : {Case{true, 0, u"32"}, Case{true, KEY_WOW64_64KEY, u"64"}, Case{false, 0, u"64"},
                          Case{false, KEY_WOW64_32KEY, u"32"}}) {
        Run(Token::Administrator(), c.is32Bit);
        HKEY key = nullptr;
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vexil", 0, KEY_READ | c.view, &key), ERROR_SUCCESS);
        WCHAR text[8] = {};
        DWORD size = sizeof text;
        EXPECT_EQ(RegQueryValueExW(key, u"Bits", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size), ERROR_SUCCESS);
        EXPECT_EQ(std::u16string_view(text), c.bits);
        RegCloseKey(key);
        ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports", 0,
                                KEY_READ | c.view, &key),
                  ERROR_SUCCESS)
            << "shared by both views";
        RegCloseKey(key);
    }
    process::SystemProfile::Current().SetArchitecture(process::Architecture::X86);
    Run(Token::Administrator(), true);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software\\Vexil", 0, KEY_READ, &key), ERROR_SUCCESS);
    WCHAR text[8] = {};
    DWORD size = sizeof text;
    RegQueryValueExW(key, u"Bits", nullptr, nullptr, reinterpret_cast<LPBYTE>(text), &size);
    EXPECT_EQ(std::u16string_view(text), u"64") << "a 32-bit system has one view";
    RegCloseKey(key);
}

TEST_F(KeySecurityTest, DeletesAreOneKeyOnNtAndWholeTreesOnTheNinetyFiveFamilyAndWithShDeleteKey)
{
    const std::u16string root = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\Enumdrv39";
    Reg().CreateKey(root + u"\\Enum");
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Enumdrv39"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(SHDeleteKeyW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services\\Enumdrv39"), ERROR_SUCCESS);
    EXPECT_FALSE(Reg().KeyExists(root));

    process::SystemProfile::Current().SetVersion(process::versions::kWindows98);
    Reg().CreateKey(u"\\Registry\\Machine\\Enum\\PCI\\VEN_1415\\BUS_00");
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Enum\\PCI\\VEN_1415"), ERROR_SUCCESS);
    EXPECT_FALSE(Reg().KeyExists(u"\\Registry\\Machine\\Enum\\PCI\\VEN_1415"));
}

TEST_F(KeySecurityTest, TheViewAwareDeleteIsExportedFromVistaOnAndOnSixtyFourBitSystems)
{
    struct Case {
        process::VersionAnswer version;
        process::Architecture architecture;
        bool exported;
    };
    const Case cases[] = {{process::versions::kWindowsXp, process::Architecture::X86, false},
                          {process::versions::kWindowsXp, process::Architecture::X64, true},
                          {process::versions::kWindowsVista, process::Architecture::X86, true},
                          {process::versions::kWindows2000, process::Architecture::X86, false}};
    for (const Case& c : cases) {
        process::SystemProfile::Current().SetVersion(c.version);
        process::SystemProfile::Current().SetArchitecture(c.architecture);
        EXPECT_EQ(GetProcAddress(GetModuleHandleW(u"Advapi32.DLL"), "RegDeleteKeyExW") != nullptr, c.exported);
    }
}

}  // namespace
}  // namespace emu::testing
