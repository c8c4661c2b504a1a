// What both operations share: the program's own copy is deleted by the command interpreter, started
// hidden once the program has ended ("cmd" on Vista and later, "command.com" before), and the root
// of the device tree is re-enumerated.
#include <gtest/gtest.h>

#include <afxwin.h>
#include <cfgmgr32.h>

#include "application_runner.h"
#include "cm/registry.h"
#include "file_system.h"
#include "inf_file.h"
#include "machine_test.h"
#include "process_launcher.h"
#include "setupapi_control.h"
#include "token.h"
#include "win2kuninstalloperation.h"

namespace removertest {
namespace {

struct DeletionCase {
    const char* name;
    emu::WindowsVersion windows;
    bool failFirstStart;  // the start with the program's token is refused
    const char16_t* command;
};

void PrintTo(const DeletionCase& c, std::ostream* out) { *out << c.name; }

const DeletionCase kDeletionCases[] = {
    {"Windows7", emu::WindowsVersion::Win7, false, u"cmd /c del \"C:\\WINDOWS\\system32\\Remover39.exe\""},
    {"WindowsXp", emu::WindowsVersion::WinXP, false, u"command.com /c del C:\\WINDOWS\\system32\\Remover39.exe"},
    {"Windows7TokenRefused", emu::WindowsVersion::Win7, true, u"cmd /c del \"C:\\WINDOWS\\system32\\Remover39.exe\""},
};

class RemoverApp : public CWinApp {
public:
    RemoverApp() : CWinApp(u"Remover") {}
    BOOL InitInstance() override
    {
        CTfWin2kUninstallOperation operation;
        deleted = operation.DeleteUninstaller();
        return FALSE;
    }
    bool deleted = false;
};

class DeleteUninstallerTest : public emu::testing::MachineTest, public ::testing::WithParamInterface<DeletionCase> {
protected:
    emu::MachineOptions Options() const override
    {
        emu::MachineOptions options;
        options.windows = GetParam().windows;
        return options;
    }
};

TEST_P(DeleteUninstallerTest, TheCommandInterpreterDeletesTheProgramOnceItHasEnded)
{
    const std::u16string image = u"C:\\WINDOWS\\system32\\Remover39.exe";
    emu::files::FileSystem::Current().WriteText(image, u"MZ");
    auto program = std::make_shared<emu::process::Program>(image, false, emu::process::Token::Administrator());
    if (GetParam().failFirstStart) emu::files::FailNextProcessStart(ERROR_PRIVILEGE_NOT_HELD);
    RemoverApp app;
    emu::mfc::RunApplication(app, program, {u"Remover39.exe", u"/s"});
    EXPECT_TRUE(app.deleted);

    const std::vector<emu::files::StartedProcess> started = emu::files::StartedProcesses();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].commandLine, GetParam().command);
    EXPECT_TRUE(started[0].hidden);
    EXPECT_EQ(started[0].withToken, !GetParam().failFirstStart);
    EXPECT_TRUE(emu::files::FileSystem::Current().Exists(image));
    EXPECT_EQ(emu::files::RunPendingCommands(), 1u);
    EXPECT_FALSE(emu::files::FileSystem::Current().Exists(image));
}

INSTANTIATE_TEST_SUITE_P(Systems, DeleteUninstallerTest, ::testing::ValuesIn(kDeletionCases),
                         [](const ::testing::TestParamInfo<DeletionCase>& info) { return std::string(info.param.name); });

class ReenumerateDevicesTest : public emu::testing::MachineTest {};

TEST_F(ReenumerateDevicesTest, TheRootIsReenumeratedAndARestartIsReportedWhenNeeded)
{
    struct Case {
        DWORD result;
        bool succeeded;
        BYTE restart;
    } cases[] = {{CR_SUCCESS, true, 0}, {0x22 /* CR_NEED_RESTART */, false, 1}, {CR_FAILURE, false, 0}};
    CTfWin2kUninstallOperation operation;
    for (const Case& c : cases) {
        if (c.result != CR_SUCCESS) emu::setupapi::FailNextCall(emu::setupapi::SetupCall::ReenumerateDevNode, c.result);
        BYTE restart = 0xFF;
        EXPECT_EQ(operation.ReenumerateDevices(restart), c.succeeded) << c.result;
        EXPECT_EQ(restart, c.restart) << c.result;
    }
    EXPECT_EQ(emu::setupapi::Reenumerations(), std::vector<std::u16string>(1, emu::setupapi::kRootInstancePath));
}

// RegDeleteKeyExW where the system has it (one key, no subkeys), SHDeleteKeyW where it has not
// (Windows XP on a 32-bit system: the whole tree).
struct KeyDeletionCase {
    const char* name;
    emu::WindowsVersion windows;
    LONG withSubkey;
};

void PrintTo(const KeyDeletionCase& c, std::ostream* out) { *out << c.name; }

class DeleteRegKeyExTest : public emu::testing::MachineTest, public ::testing::WithParamInterface<KeyDeletionCase> {
protected:
    emu::MachineOptions Options() const override
    {
        emu::MachineOptions options;
        options.windows = GetParam().windows;
        return options;
    }
};

TEST_P(DeleteRegKeyExTest, TheSystemsDeletionIsUsed)
{
    emu::Registry& registry = machine().GetRegistry();
    registry.CreateKey(u"\\Registry\\Machine\\SOFTWARE\\Vexil\\Tree\\Leaf");
    registry.CreateKey(u"\\Registry\\Machine\\SOFTWARE\\Vexil\\Single");
    EXPECT_EQ(DeleteRegKeyEx(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vexil\\Single", KEY_WOW64_64KEY, 0), ERROR_SUCCESS);
    EXPECT_EQ(DeleteRegKeyEx(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Vexil\\Tree", KEY_WOW64_64KEY, 0) == ERROR_SUCCESS,
              GetParam().withSubkey == ERROR_SUCCESS);
    EXPECT_EQ(registry.KeyExists(u"\\Registry\\Machine\\SOFTWARE\\Vexil\\Tree"), GetParam().withSubkey != ERROR_SUCCESS);
}

const KeyDeletionCase kKeyDeletionCases[] = {
    {"Windows7", emu::WindowsVersion::Win7, ERROR_ACCESS_DENIED},
    {"WindowsXp", emu::WindowsVersion::WinXP, ERROR_SUCCESS},
};

INSTANTIATE_TEST_SUITE_P(Systems, DeleteRegKeyExTest, ::testing::ValuesIn(kKeyDeletionCases),
                         [](const ::testing::TestParamInfo<KeyDeletionCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace removertest
