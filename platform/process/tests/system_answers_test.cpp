// The version answers of each system, the module exports each system has, and WOW64's file
// redirection for a 32-bit program on a 64-bit system.
#include <gtest/gtest.h>

#include <windows.h>
#include <wow64apiset.h>

#include <thread>

#include "file_redirection.h"
#include "machine_test.h"
#include "program.h"
#include "system_profile.h"

namespace emu::testing {
namespace {

using process::Program;
using process::ProgramScope;
using process::SystemProfile;

struct VersionCase {
    WindowsVersion windows;
    DWORD platform, major, minor;
    bool extendedWorks;
    bool wow64Exports;
};

class VersionAnswerTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionAnswerTest, EachSystemAnswersItsVersionAndHasItsExports)
{
    const VersionCase& c = GetParam();
    Machine machine({c.windows});
    OSVERSIONINFOEXW ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    EXPECT_EQ(GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&ex)) != FALSE, c.extendedWorks);
    OSVERSIONINFOW plain{};
    plain.dwOSVersionInfoSize = sizeof plain;
    ASSERT_TRUE(GetVersionExW(&plain));
    EXPECT_EQ(plain.dwPlatformId, c.platform);
    EXPECT_EQ(plain.dwMajorVersion, c.major);
    EXPECT_EQ(plain.dwMinorVersion, c.minor);
    HMODULE kernel32 = GetModuleHandleW(u"KERNEL32.DLL");
    ASSERT_NE(kernel32, nullptr);
    EXPECT_EQ(GetProcAddress(kernel32, "Wow64EnableWow64FsRedirection") != nullptr, c.wow64Exports);
}

INSTANTIATE_TEST_SUITE_P(Systems, VersionAnswerTest,
                         ::testing::Values(VersionCase{WindowsVersion::Win95, 1, 4, 0, false, false},
                                           VersionCase{WindowsVersion::Win98, 1, 4, 10, false, false},
                                           VersionCase{WindowsVersion::WinMe, 1, 4, 90, false, false},
                                           VersionCase{WindowsVersion::Win2000, 2, 5, 0, true, false},
                                           VersionCase{WindowsVersion::WinXP, 2, 5, 1, true, false},
                                           VersionCase{WindowsVersion::Win7, 2, 6, 1, true, true},
                                           VersionCase{WindowsVersion::Win10, 2, 6, 2, true, true}),
                         [](const ::testing::TestParamInfo<VersionCase>& info) {
                             const VersionCase& c = info.param;
                             return "Platform" + std::to_string(c.platform) + "_" + std::to_string(c.major) + "_" +
                                    std::to_string(c.minor);
                         });

class SystemProfileTest : public MachineTest {};

TEST_F(SystemProfileTest, VersionQueriesFailAsTheTestAsksAndFoldersFollowTheWindowsDirectory)
{
    SystemProfile& profile = SystemProfile::Current();
    profile.FailVersionQueries(true, false);
    OSVERSIONINFOEXW ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    EXPECT_FALSE(GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&ex)));
    OSVERSIONINFOW plain{};
    plain.dwOSVersionInfoSize = sizeof plain;
    EXPECT_TRUE(GetVersionExW(&plain));
    profile.FailVersionQueries(true, true);
    EXPECT_FALSE(GetVersionExW(&plain));

    profile.SetWindowsDirectory(u"C:\\Windows");
    WCHAR buffer[MAX_PATH];
    EXPECT_EQ(GetSystemDirectoryW(buffer, MAX_PATH), 19u);
    EXPECT_EQ(std::u16string(buffer), u"C:\\Windows\\system32");
    EXPECT_EQ(GetSystemWindowsDirectoryW(buffer, 5), 11u) << "too small: the size needed with its terminator";
}

TEST_F(SystemProfileTest, AThirtyTwoBitProgramReachesSysWow64WhileItsThreadsFlagIsOn)
{
    auto remover = std::make_shared<Program>(u"C:\\WINDOWS\\system32\\Remover39.exe", true, process::Token::Administrator());
    ProgramScope scope(remover);
    BOOL wow64 = FALSE;
    ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
    EXPECT_TRUE(wow64);
    struct Case {
        std::u16string_view path;
        std::u16string_view redirected;
    };
    const Case cases[] = {
        {u"C:\\WINDOWS\\system32\\Drivers\\Enumdrv39.sys", u"C:\\WINDOWS\\SysWOW64\\Drivers\\Enumdrv39.sys"},
        {u"c:\\windows\\SYSTEM32\\Remover39.exe", u"C:\\WINDOWS\\SysWOW64\\Remover39.exe"},
        {u"C:\\WINDOWS\\system32\\drivers\\etc\\hosts", u"C:\\WINDOWS\\system32\\drivers\\etc\\hosts"},
        {u"C:\\WINDOWS\\system32x\\a.dll", u"C:\\WINDOWS\\system32x\\a.dll"},
        {u"C:\\WINDOWS\\Inf\\oem3.inf", u"C:\\WINDOWS\\Inf\\oem3.inf"},
    };
    for (const Case& c : cases) EXPECT_EQ(process::RedirectedPath(c.path), c.redirected) << std::string(c.path.begin(), c.path.end());

    auto enable = reinterpret_cast<BOOLEAN (*)(BOOLEAN)>(
        GetProcAddress(GetModuleHandleW(u"kernel32.dll"), "Wow64EnableWow64FsRedirection"));
    ASSERT_NE(enable, nullptr);
    enable(FALSE);
    EXPECT_EQ(process::RedirectedPath(u"C:\\WINDOWS\\system32\\Remover39.exe"), u"C:\\WINDOWS\\system32\\Remover39.exe");
    // The flag is the thread's: a thread the program starts begins with redirection on.
    const process::ThreadContext context = process::ThreadContext::Capture();
    std::u16string seenByWorker;
    std::thread worker([&] {
        context.Adopt();
        seenByWorker = process::RedirectedPath(u"C:\\WINDOWS\\system32\\Remover39.exe");
    });
    worker.join();
    EXPECT_EQ(seenByWorker, u"C:\\WINDOWS\\SysWOW64\\Remover39.exe");
}

TEST_F(SystemProfileTest, ANativeProgramAndAThirtyTwoBitSystemRedirectNothing)
{
    EXPECT_EQ(process::RedirectedPath(u"C:\\WINDOWS\\system32\\x.dll"), u"C:\\WINDOWS\\system32\\x.dll");
    SystemProfile::Current().SetArchitecture(process::Architecture::X86);
    ProgramScope scope(std::make_shared<Program>(u"C:\\Media\\Setup.exe", true, process::Token::Administrator()));
    EXPECT_EQ(process::RedirectedPath(u"C:\\WINDOWS\\system32\\x.dll"), u"C:\\WINDOWS\\system32\\x.dll");
    WCHAR buffer[MAX_PATH];
    EXPECT_EQ(GetCurrentDirectoryW(MAX_PATH, buffer), 8u);
    EXPECT_EQ(std::u16string(buffer), u"C:\\Media");
    EXPECT_EQ(GetProcAddress(GetModuleHandleW(u"kernel32"), "Wow64EnableWow64FsRedirection"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
}

}  // namespace
}  // namespace emu::testing
