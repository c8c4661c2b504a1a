// Setup.exe as the machine runs it: the silent run's exit code says whether it installed, and the
// usage text.
#include <gtest/gtest.h>

#include "application_runner.h"
#include "driver_store.h"
#include "file_system.h"
#include "setup_machine.h"
#include "tfinstapp.h"
#include "ui_control.h"

namespace emu::testing {
namespace {

// The program's module handle, the key of its string table.
HINSTANCE SetupInstance()
{
    static int module;
    return reinterpret_cast<HINSTANCE>(&module);
}

struct SilentRun {
    const char* name;
    bool diskImage;
    DWORD brokenBusInf;
    bool administrator;
    int exitCode;
    size_t infsInStore;
    const char16_t* box;  // the one message box shown, or none
};

class SilentSetupTest : public SetupMachineTest, public ::testing::WithParamInterface<SilentRun> {};

TEST_P(SilentSetupTest, TheExitCodeSaysWhetherItInstalled)
{
    const SilentRun& run = GetParam();
    files::FileSystem::Current().CreateDirectory(kDiskImage);
    if (run.diskImage) MakeDiskImage(kDiskImage);
    if (run.brokenBusInf)
        setupapi::DriverStore::Current().MarkBroken(std::u16string(kDiskImage) + u"\\ENUMDRV.INF", run.brokenBusInf);
    auto program = SetupProgram(kDiskImage, run.administrator ? process::Token::Administrator() : process::Token::StandardUser());
    program->SetInstance(SetupInstance());
    if (run.box) ui::ExpectMessageBox({run.box, std::nullopt, MB_ICONERROR, IDOK});
    CTfInstApp app;
    const mfc::ProgramRun result = mfc::RunApplication(app, program, {u"Setup.exe", u"/s"});
    EXPECT_EQ(result.exitCode, run.exitCode);
    EXPECT_EQ(result.threadsLeft, 0u);
    EXPECT_EQ(setupapi::DriverStore::Current().Infs().size(), run.infsInStore);
    EXPECT_EQ(ui::MessageBoxes().size(), run.box ? 1u : 0u);
    EXPECT_TRUE(ui::UnexpectedMessageBoxes().empty());
    EXPECT_EQ(ui::LiveWindows(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, SilentSetupTest,
    ::testing::Values(SilentRun{"Installed", true, 0, true, 0, 2, nullptr},
                      SilentRun{"NoInfInTheFolder", false, 0, true, ERROR_FILE_NOT_FOUND, 0, nullptr},
                      SilentRun{"BrokenBusInf", true, 0xE0000100, true, int(0xE0000100), 0, nullptr},
                      SilentRun{"NotAnAdministrator", true, 0, false, ERROR_ACCESS_DENIED, 0,
                                u"You do not have sufficient security permissions to uninstall  programs.\nPlease "
                                u"contact your administrator or log out and log back in as an administrator."}),
    [](const ::testing::TestParamInfo<SilentRun>& info) { return info.param.name; });

TEST_F(SetupMachineTest, TheHelpSwitchesShowTheUsageWithTheProductNameInLowerCase)
{
    const std::u16string usage =
        u"This setup application is for Castelvane Vexil installation.\r\n\r\nUsage: \r\n\tSilent Installation -  "
        u"setup.exe /s\r\n\tNormal Installation -  setup.exe        \r\n";
    for (const char16_t* word : {u"/h", u"/?", u"-H"}) {
        files::FileSystem::Current().CreateDirectory(kDiskImage);
        auto program = SetupProgram(kDiskImage);
        program->SetInstance(SetupInstance());
        ui::ExpectMessageBox({usage, u"Setup.exe", MB_ICONINFORMATION, IDOK});
        CTfInstApp app;
        EXPECT_EQ(mfc::RunApplication(app, program, {u"Setup.exe", word}).exitCode, 0);
        EXPECT_TRUE(ui::UnexpectedMessageBoxes().empty());
        EXPECT_EQ(ui::PendingMessageBoxAnswers(), 0u);
        EXPECT_TRUE(setupapi::DriverStore::Current().Infs().empty());
    }
}

}  // namespace
}  // namespace emu::testing
