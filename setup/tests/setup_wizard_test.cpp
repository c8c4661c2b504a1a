// Setup's wizard driven page by page from the test's thread while the program's thread runs the
// sheet: an installation on a fresh machine, a declined removal of an earlier installation, and
// Cancel while the install worker runs.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "application_runner.h"
#include "driver_store.h"
#include "setup_machine.h"
#include "setupapi_control.h"
#include "tfinstapp.h"
#include "ui_control.h"

namespace emu::testing {
namespace {

HINSTANCE WizardInstance()
{
    static int module;
    return reinterpret_cast<HINSTANCE>(&module);
}

std::u16string ItemText(HWND dialog, int id)
{
    WCHAR text[512] = {};
    GetDlgItemTextW(dialog, id, text, 512);
    return text;
}

class SetupWizardTest : public SetupMachineTest {
protected:
    // Runs Setup's wizard from the disk image; the test's thread is the user. The exit code.
    int RunWizard(const std::function<void(HWND sheet)>& user)
    {
        auto program = SetupProgram(kDiskImage);
        program->SetInstance(WizardInstance());
        CTfInstApp app;
        mfc::ApplicationThread thread(app, program, {u"Setup.exe"});
        HWND sheet = nullptr;
        EXPECT_TRUE(ui::WaitUntil([&] { return (sheet = FindWindowW(u"PropertySheet", u"Castelvane Vexil Installation")) != nullptr; }));
        if (sheet) user(sheet);
        const mfc::ProgramRun run = thread.Join();
        EXPECT_EQ(run.threadsLeft, 0u);
        return run.exitCode;
    }
    static HWND ActivePage(HWND sheet) { return reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0)); }
    static bool WaitForPage(HWND sheet, WORD page)
    {
        return ui::WaitUntil([&] { return ui::DialogTemplateId(ActivePage(sheet)) == page; });
    }
    static bool WaitForEnabled(HWND sheet, int button)
    {
        return ui::WaitUntil([&] { return IsWindowEnabled(GetDlgItem(sheet, button)) != FALSE; });
    }
    // The intro page once its detection has ended: its status line.
    static std::u16string Detection(HWND sheet)
    {
        EXPECT_TRUE(WaitForPage(sheet, 104));
        // The hint shows once the detection has set the status line.
        EXPECT_TRUE(ui::WaitUntil([&] { return IsWindowVisible(GetDlgItem(ActivePage(sheet), 1002)) != FALSE; }));
        EXPECT_TRUE(WaitForEnabled(sheet, ID_WIZNEXT));
        return ItemText(ActivePage(sheet), 1026);
    }
    // The finish page's title and result.
    static std::pair<std::u16string, std::u16string> Finish(HWND sheet)
    {
        EXPECT_TRUE(WaitForPage(sheet, 109));
        EXPECT_TRUE(WaitForEnabled(sheet, ID_WIZFINISH));
        HWND page = ActivePage(sheet);
        return {ItemText(page, 1015), ItemText(page, 1016)};
    }
    void InstallEarlier()
    {
        MakeDiskImage(kDiskImage);
        ASSERT_TRUE(InstallSilently(kDiskImage));
        PlugAdapter();
        ASSERT_EQ(PortName(), u"COM1");
    }
};

TEST_F(SetupWizardTest, OnAFreshMachineTheWizardInstallsAndReportsSuccess)
{
    MakeDiskImage(kDiskImage);
    const int exitCode = RunWizard([&](HWND sheet) {
        EXPECT_EQ(Detection(sheet), u"");
        EXPECT_FALSE(IsWindowVisible(GetDlgItem(sheet, IDHELP)));
        ui::Click(GetDlgItem(sheet, ID_WIZNEXT));
        const auto [title, result] = Finish(sheet);
        EXPECT_EQ(title, u"Installation process completed.");
        EXPECT_EQ(result, u"You have successfully installed your Castelvane Vexil products.");
        ui::Click(GetDlgItem(sheet, ID_WIZFINISH));
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(setupapi::DriverStore::Current().Infs().size(), 2u);
    EXPECT_TRUE(ui::MessageBoxes().empty());
    PlugAdapter();
    EXPECT_TRUE(PortStarted());
}

TEST_F(SetupWizardTest, DecliningTheRemovalLeavesTheEarlierInstallationAndSaysSo)
{
    InstallEarlier();
    const size_t updates = setupapi::DriverStore::Current().Updates().size();
    ui::ExpectMessageBox({std::nullopt, u"Confirm?", MB_ICONQUESTION | MB_YESNO, IDNO});
    RunWizard([&](HWND sheet) {
        EXPECT_EQ(Detection(sheet),
                  u"Setup detected a previous installation. Setup will uninstall the existing installation and "
                  u"re-install current version from fresh.");
        ui::Click(GetDlgItem(sheet, ID_WIZNEXT));
        const auto [title, result] = Finish(sheet);
        EXPECT_EQ(title, u"Product was not installed.");
        EXPECT_EQ(result, u"A previous installation was detected.");
        ui::Click(GetDlgItem(sheet, ID_WIZFINISH));
    });
    EXPECT_TRUE(ui::UnexpectedMessageBoxes().empty());
    EXPECT_EQ(setupapi::DriverStore::Current().Updates().size(), updates);
    EXPECT_TRUE(PortStarted());
    EXPECT_EQ(PortName(), u"COM1");
}

// The install worker waits in its question while the user tries every way to cancel: the Cancel
// button is disabled, a pressed Cancel is refused while the worker runs, and the Close command is
// gone. Answered, the worker goes on and the wizard reaches its end with the pages alive.
TEST_F(SetupWizardTest, CancelWhileTheWorkerRunsIsRefusedUntilItHasEnded)
{
    InstallEarlier();
    std::mutex mutex;
    std::condition_variable changed;
    bool asked = false, released = false;
    ui::SetMessageBoxResponder([&](const ui::MessageBoxRecord& box) -> std::optional<int> {
        std::unique_lock lock(mutex);
        asked = true;
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
        return IDYES;
    });
    RunWizard([&](HWND sheet) {
        Detection(sheet);
        ui::Click(GetDlgItem(sheet, ID_WIZNEXT));
        {
            std::unique_lock lock(mutex);
            ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return asked; }));
        }
        EXPECT_TRUE(WaitForPage(sheet, 108));
        ui::Click(GetDlgItem(sheet, IDCANCEL));
        SendMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
        ui::CloseWithSystemMenu(sheet);
        EXPECT_EQ(ui::DialogTemplateId(ActivePage(sheet)), 108);
        {
            std::lock_guard lock(mutex);
            released = true;
        }
        changed.notify_all();
        const auto [title, result] = Finish(sheet);
        EXPECT_EQ(title, u"Installation process completed.");
        ui::Click(GetDlgItem(sheet, ID_WIZFINISH));
    });
    ui::SetMessageBoxResponder(nullptr);
    m_engine->RunPendingInstalls();  // the port, found new when its adapter came back
    EXPECT_TRUE(PortStarted());
    EXPECT_EQ(PortName(), u"COM1");
}

}  // namespace
}  // namespace emu::testing
