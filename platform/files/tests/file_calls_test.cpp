// kernel32's disk-file calls on the machine's file system, each case one call and its answer.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>

#include "file_system.h"
#include "machine_test.h"
#include "process_launcher.h"

namespace emu::testing {
namespace {

using files::FileSystem;

class FileCallsTest : public MachineTest {};

TEST_F(FileCallsTest, EachCallAnswersAsKernel32Does)
{
    FileSystem& files = FileSystem::Current();
    files.WriteText(u"C:\\Media\\ENUMDRV.INF", u"bus");
    files.WriteText(u"C:\\Media\\PORTDRV.INF", u"ports");
    struct Case {
        const char* what;
        std::function<BOOL()> call;
        BOOL result;
        DWORD error;  // checked when the call fails
    };
    const Case cases[] = {
        {"copy onto an existing file when told not to", [] { return CopyFileW(u"C:\\Media\\ENUMDRV.INF", u"C:\\Media\\PORTDRV.INF", TRUE); }, FALSE, ERROR_FILE_EXISTS},
        {"copy", [] { return CopyFileW(u"C:\\Media\\ENUMDRV.INF", u"C:\\Media\\Copy.inf", TRUE); }, TRUE, 0},
        {"copy of a missing file", [] { return CopyFileW(u"C:\\Media\\NONE.INF", u"C:\\Media\\x.inf", FALSE); }, FALSE, ERROR_FILE_NOT_FOUND},
        {"delete at restart records the file", [] { return MoveFileExW(u"C:\\Media\\Copy.inf", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT); }, TRUE, 0},
        {"move", [] { return MoveFileExW(u"C:\\Media\\Copy.inf", u"C:\\Media\\Moved.inf", 0); }, TRUE, 0},
        {"folder that exists", [] { return CreateDirectoryW(u"C:\\Media", nullptr); }, FALSE, ERROR_ALREADY_EXISTS},
        {"new folder", [] { return CreateDirectoryW(u"C:\\Media\\Sub", nullptr); }, TRUE, 0},
        {"delete of a folder", [] { return DeleteFileW(u"C:\\Media\\Sub"); }, FALSE, ERROR_ACCESS_DENIED},
        {"read-only attribute", [] { return SetFileAttributesW(u"C:\\Media\\Moved.inf", FILE_ATTRIBUTE_READONLY); }, TRUE, 0},
        {"delete of a read-only file", [] { return DeleteFileW(u"C:\\Media\\Moved.inf"); }, FALSE, ERROR_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(c.call(), c.result) << c.what;
        if (!c.result) {
            EXPECT_EQ(GetLastError(), c.error) << c.what;
        }
    }
    EXPECT_EQ(GetFileAttributesW(u"C:\\Media\\Moved.inf"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesW(u"C:\\Media\\Copy.inf"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(files.PendingDeletions(), std::vector<std::u16string>{u"C:\\Media\\Copy.inf"});
    EXPECT_EQ(GetFileAttributesW(u"C:\\Media\\Sub"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(FileCallsTest, FullPathsFollowTheProgramsCurrentDirectory)
{
    ASSERT_TRUE(SetCurrentDirectoryW(u"C:\\Media\\"));
    WCHAR buffer[MAX_PATH];
    LPWSTR part = nullptr;
    EXPECT_EQ(GetFullPathNameW(u"ENUMDRV.INF", MAX_PATH, buffer, &part), 20u);
    EXPECT_EQ(std::u16string_view(buffer), u"C:\\Media\\ENUMDRV.INF");
    EXPECT_EQ(std::u16string_view(part), u"ENUMDRV.INF");
    EXPECT_EQ(GetFullPathNameW(u"..\\WINDOWS\\.\\Inf\\x.inf", MAX_PATH, buffer, nullptr), 20u);
    EXPECT_EQ(std::u16string_view(buffer), u"C:\\WINDOWS\\Inf\\x.inf");
    EXPECT_EQ(GetFullPathNameW(u"ENUMDRV.INF", 5, buffer, nullptr), 21u) << "too small: the size needed";
}

TEST_F(FileCallsTest, AProgramStartCanFailAndNeedsATokenItMayUse)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION information{};
    std::u16string command = u"cmd /c del C:\\x.exe";
    files::FailNextProcessStart(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &information));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    HANDLE queryOnly = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &queryOnly));
    EXPECT_FALSE(CreateProcessAsUserW(queryOnly, nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                      &startup, &information));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    HANDLE full = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &full));
    HANDLE primary = nullptr;
    ASSERT_TRUE(DuplicateTokenEx(full, MAXIMUM_ALLOWED, nullptr, SecurityDelegation, TokenPrimary, &primary));
    ASSERT_TRUE(CreateProcessAsUserW(primary, nullptr, command.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS,
                                     nullptr, nullptr, &startup, &information));
    EXPECT_TRUE(files::StartedProcesses().back().withToken);
    EXPECT_TRUE(files::StartedProcesses().back().is32Bit == false);
    for (HANDLE handle : {queryOnly, full, primary, information.hProcess, information.hThread}) EXPECT_TRUE(CloseHandle(handle));
}

}  // namespace
}  // namespace emu::testing
