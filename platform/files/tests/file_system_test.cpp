// The machine's file system through the calls programs make: searches, the runtime's permission
// and removal calls, driver images, and the command interpreter's "del" of a program's own copy.
#include <gtest/gtest.h>

#include <io.h>
#include <windows.h>

#include <cerrno>

#include "file_system.h"
#include "io/driver_loader.h"
#include "machine_test.h"
#include "process_launcher.h"
#include "system_profile.h"

namespace emu::testing {
namespace {

using files::FileSystem;

class FileSystemTest : public MachineTest {
protected:
    FileSystem& Files() { return FileSystem::Current(); }
    std::vector<std::u16string> Find(std::u16string_view pattern)
    {
        std::vector<std::u16string> names;
        WIN32_FIND_DATAW data;
        HANDLE search = FindFirstFileW(std::u16string(pattern).c_str(), &data);
        if (search == INVALID_HANDLE_VALUE) return names;
        do names.push_back(data.cFileName);
        while (FindNextFileW(search, &data));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
        EXPECT_TRUE(FindClose(search));
        return names;
    }
};

TEST_F(FileSystemTest, SearchesMatchWildcardsWithoutRegardToCase)
{
    for (auto name : {u"oem3.inf", u"OEM12.INF", u"oem4.PNF", u"mdmcpq.inf", u"oem.inf"})
        Files().WriteText(u"C:\\WINDOWS\\Inf\\" + std::u16string(name), u"x");
    struct Case {
        std::u16string_view pattern;
        std::vector<std::u16string> found;
    };
    const Case cases[] = {
        {u"C:\\Windows\\INF\\oem*.inf", {u"oem.inf", u"OEM12.INF", u"oem3.inf"}},
        {u"c:\\windows\\inf\\oem?.inf", {u"oem3.inf"}},
        {u"C:\\WINDOWS\\Inf\\OEM4.pnf", {u"oem4.PNF"}},
        {u"C:\\WINDOWS\\Inf\\none*.inf", {}},
        {u"C:\\NoSuchFolder\\*", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(Find(c.pattern), c.found) << std::string(c.pattern.begin(), c.pattern.end());
}

TEST_F(FileSystemTest, TheRuntimeRemovesWhatIsNeitherReadOnlyNorInUse)
{
    const std::u16string dll = u"C:\\WINDOWS\\system32\\Portpanel39.dll";
    Files().WriteText(dll, u"x");
    Files().SetReadOnly(dll, true);
    EXPECT_EQ(_waccess(dll.c_str(), 6), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(_wremove(dll.c_str()), -1) << "read-only";
    EXPECT_EQ(_wchmod(dll.c_str(), _S_IREAD | _S_IWRITE), 0);
    EXPECT_EQ(_waccess(dll.c_str(), 6), 0);
    Files().MarkInUse(dll, true);
    EXPECT_EQ(_wremove(dll.c_str()), -1) << "in use";
    EXPECT_EQ(errno, EACCES);
    Files().MarkInUse(dll, false);
    EXPECT_EQ(_wremove(dll.c_str()), 0);
    EXPECT_EQ(_waccess(dll.c_str(), 0), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(_wremove(dll.c_str()), -1) << "vanished";

    const std::u16string chm = u"C:\\WINDOWS\\Help\\Portpanel39.chm";
    Files().WriteText(chm, u"x");
    Files().SetReadOnly(chm, true);
    Files().RefuseAttributeChange(chm);
    EXPECT_EQ(_wchmod(chm.c_str(), _S_IREAD | _S_IWRITE), -1);
}

TEST_F(FileSystemTest, ADriverImageIsAFileOfTheDriversFolderThatCannotGoWhileLoaded)
{
    DriverLoader& drivers = machine().GetDrivers();
    drivers.InstallImage(u"Enumdrv39.sys", "/nonexistent/Enumdrv39.sys");
    const std::u16string path = u"C:\\WINDOWS\\system32\\DRIVERS\\enumdrv39.SYS";
    EXPECT_EQ(GetFileAttributesW(path.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
    EXPECT_EQ(Find(path), std::vector<std::u16string>{u"enumdrv39.SYS"});
    EXPECT_TRUE(DeleteFileW(path.c_str()));
    EXPECT_FALSE(drivers.ImageFile(u"Enumdrv39.sys"));
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// The Remover's last step: "cmd /c del" of its own copy, run after it ended. A 32-bit program's
// command interpreter is a 32-bit one, whose System32 is SysWOW64.
TEST_F(FileSystemTest, TheCommandInterpreterDeletesAsTheChildSeesTheSystemFolder)
{
    const std::u16string native = u"C:\\WINDOWS\\system32\\Remover39.exe";
    const std::u16string wow = u"C:\\WINDOWS\\SysWOW64\\Remover39.exe";
    for (bool is32Bit : {false, true}) {
        Files().WriteText(native, u"MZ");
        Files().WriteText(wow, u"MZ");
        {
            files::RunningProgram remover(std::make_shared<process::Program>(native, is32Bit, process::Token::Administrator()));
            STARTUPINFOW startup{};
            startup.cb = sizeof startup;
            startup.dwFlags = STARTF_USESHOWWINDOW;
            startup.wShowWindow = 0;
            PROCESS_INFORMATION information{};
            std::u16string command = u"cmd /c del \"" + native + u"\"";
            ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                                       nullptr, &startup, &information));
            EXPECT_TRUE(CloseHandle(information.hThread));
            EXPECT_TRUE(CloseHandle(information.hProcess));
            EXPECT_EQ(Files().Delete(native), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "the running image";
        }
        EXPECT_EQ(files::RunPendingCommands(), 1u);
        EXPECT_EQ(Files().Exists(native), is32Bit);
        EXPECT_EQ(Files().Exists(wow), !is32Bit);
        const files::StartedProcess started = files::StartedProcesses().back();
        EXPECT_TRUE(started.hidden);
        EXPECT_EQ(started.is32Bit, is32Bit);
        EXPECT_TRUE(started.ran);
        Files().Delete(native);
        Files().Delete(wow);
    }
    STARTUPINFOW startup{};
            startup.cb = sizeof startup;
    PROCESS_INFORMATION information{};
    std::u16string old = u"command.com /c del C:\\x.exe";
    EXPECT_FALSE(CreateProcessW(nullptr, old.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &information))
        << "a 64-bit system has no 16-bit command interpreter";
}

}  // namespace
}  // namespace emu::testing
