// The uninstallation wizard on the machine with a scripted operation: driven page by page by the
// test as a user, run silently, ended by a port held open or a failed removal, cancelled while its
// search runs, refused to a second copy and to a user without rights, and the Windows 95 dialog.
#include <gtest/gtest.h>

#include "application_runner.h"
#include "file_system.h"
#include "machine_test.h"
#include "named_mutex.h"
#include "program.h"
#include "resource.h"
#include "scripted_operation.h"
#include "shutdown.h"
#include "system_profile.h"
#include "tfunistapp.h"
#include "ui_control.h"

namespace emu::testing {
namespace {

using Calls = std::vector<std::string>;

const std::u16string kTitle = u"Castelvane Vexil Uninstallation";
const std::u16string kPortsBusy =
    u"The driver has NOT been removed.\r\n\r\nOne of the COM port is using by another program.\r\nPlease close the COM "
    u"Port and try again.";
const Calls kSearches = {"SearchProducts", "SearchDriverFiles", "SearchRegistryEntries", "ArePortsFree"};
const Calls kRemovals = {"UninstallProducts", "UninstallDriverFiles", "UninstallRegistryEntries"};

int g_anchor;

Calls Join(std::initializer_list<Calls> parts)
{
    Calls all;
    for (const Calls& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

std::u16string Text(HWND window, int id)
{
    WCHAR text[512] = {};
    GetDlgItemTextW(window, id, text, 512);
    return text;
}

class RemoverWizardTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        UseOperationScript(&script);
    }
    void TearDown() override
    {
        UseOperationScript(nullptr);
        EXPECT_TRUE(ui::UnexpectedMessageBoxes().empty());
        EXPECT_EQ(ui::PendingMessageBoxAnswers(), 0u);
        MachineTest::TearDown();
    }

    std::shared_ptr<process::Program> Program(std::shared_ptr<process::Token> token = process::Token::Administrator())
    {
        const std::u16string image = u"C:\\WINDOWS\\system32\\Remover39.exe";
        files::FileSystem::Current().WriteText(image, u"MZ");
        auto program = std::make_shared<process::Program>(image, true, std::move(token));
        program->SetInstance(reinterpret_cast<HINSTANCE>(&g_anchor));
        return program;
    }

    mfc::ProgramRun RunSilently(std::vector<std::u16string> words = {u"Remover39.exe", u"/s"})
    {
        CTfUnistApp app;
        return mfc::RunApplication(app, Program(), std::move(words));
    }

    static HWND Sheet()
    {
        HWND sheet = nullptr;
        EXPECT_TRUE(ui::WaitUntil([&] { return (sheet = FindWindowW(u"PropertySheet", kTitle.c_str())) != nullptr; }));
        return sheet;
    }
    static HWND ActivePage(HWND sheet) { return reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0)); }
    static HWND WaitForPage(HWND sheet, WORD page)
    {
        HWND window = nullptr;
        EXPECT_TRUE(ui::WaitUntil([&] { return ui::DialogTemplateId(window = ActivePage(sheet)) == page; })) << page;
        return window;
    }

    OperationScript script;
};

TEST_F(RemoverWizardTest, AUserGoesThroughEveryPageAndTheWizardRemovesThePackage)
{
    CTfUnistApp app;
    mfc::ApplicationThread thread(app, Program(), {u"Remover39.exe"});
    HWND sheet = Sheet();
    ASSERT_TRUE(sheet);

    HWND intro = WaitForPage(sheet, IDD_INTRO);
    EXPECT_EQ(Text(intro, IDC_INTRO_TITLE), kTitle);
    EXPECT_EQ(Text(intro, IDC_INTRO_HINT), u"To Continue : Click 'Next'.");
    LOGFONTW title{};
    GetObjectW(reinterpret_cast<HGDIOBJ>(SendMessageW(GetDlgItem(intro, IDC_INTRO_TITLE), WM_GETFONT, 0, 0)), sizeof title, &title);
    EXPECT_EQ(std::u16string(title.lfFaceName), u"Verdana Bold");
    EXPECT_EQ(title.lfWeight, 700);
    EXPECT_EQ(title.lfHeight, -10);
    EXPECT_FALSE(IsWindowVisible(GetDlgItem(sheet, IDHELP)));
    ASSERT_TRUE(ui::WaitUntil([&] { return IsWindowEnabled(GetDlgItem(sheet, ID_WIZNEXT)) != FALSE; }));
    ui::Click(GetDlgItem(sheet, ID_WIZNEXT));

    // The search moves on to the confirmation by itself.
    HWND confirm = WaitForPage(sheet, IDD_CONFIRM);
    EXPECT_EQ(script.Calls(), kSearches);
    EXPECT_EQ(Text(confirm, IDC_CONFIRM_HINT), u"To start Uninstallation:  Click 'Next'\nTo exit: Click 'Cancel'");
    ASSERT_TRUE(ui::WaitUntil([&] { return IsWindowEnabled(GetDlgItem(sheet, ID_WIZNEXT)) != FALSE; }));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(sheet, ID_WIZBACK)));
    ui::Click(GetDlgItem(sheet, ID_WIZNEXT));

    // The removal moves on to the finish page by itself; Cancel and Close were taken away for it.
    HWND finish = WaitForPage(sheet, IDD_FINISH);
    EXPECT_EQ(script.Calls(), Join({kSearches, kRemovals}));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(sheet, IDCANCEL)));
    ui::CloseWithSystemMenu(sheet);
    EXPECT_EQ(ui::DialogTemplateId(ActivePage(sheet)), IDD_FINISH);
    EXPECT_EQ(Text(finish, IDC_FINISH_TITLE), u"Uninstallation process completed.");
    EXPECT_EQ(Text(finish, IDC_FINISH_TEXT), u"You have successfully uninstalled your Castelvane Vexil products.");
    ASSERT_TRUE(ui::WaitUntil([&] { return IsWindowEnabled(GetDlgItem(sheet, ID_WIZFINISH)) != FALSE; }));
    ui::Click(GetDlgItem(sheet, ID_WIZFINISH));

    EXPECT_EQ(thread.Join().threadsLeft, 0u);
    EXPECT_EQ(script.Calls(), Join({kSearches, kRemovals, {"DeleteUninstaller", "IsRestartNeeded"}}));
    EXPECT_EQ(script.kind, "2k");
    EXPECT_EQ(script.destroyed, 1);
    EXPECT_TRUE(ui::MessageBoxes().empty());
    EXPECT_TRUE(process::ShutdownRequests().empty());
    EXPECT_EQ(ui::LiveWindows(), 0u);
}

TEST_F(RemoverWizardTest, ASilentRunShowsNoWindowSkipsTheConfirmationAndRemovesThePackage)
{
    bool shown = true;
    script.onCall = [&](const std::string& call) {
        if (call != "UninstallRegistryEntries") return;
        HWND sheet = FindWindowW(u"PropertySheet", kTitle.c_str());
        shown = !sheet || (IsWindowVisible(sheet) && !IsIconic(sheet)) || IsWindowVisible(ActivePage(sheet));
    };
    EXPECT_EQ(RunSilently().threadsLeft, 0u);
    EXPECT_FALSE(shown);
    EXPECT_EQ(script.Calls(), Join({kSearches, kRemovals, {"DeleteUninstaller", "IsRestartNeeded"}}));
    EXPECT_TRUE(ui::MessageBoxes().empty());
}

// When the system must restart, the finish page asks as it goes, in a silent run too.
TEST_F(RemoverWizardTest, TheFinishPageAsksToRestartWhenTheOperationNeedsIt)
{
    script.restartNeeded = 1;
    ui::ExpectMessageBox({u"You need to restart your system to complete uninstallation.\nDo you want to restart your system NOW?",
                          u"Vexil Uninstallation ", MB_YESNO | MB_ICONQUESTION, IDYES});
    RunSilently();
    ASSERT_EQ(process::ShutdownRequests().size(), 1u);
    EXPECT_EQ(process::ShutdownRequests()[0].flags, static_cast<UINT>(EWX_REBOOT | EWX_FORCE));
}

// A port held open stops the wizard after the search, with the error box in a silent run too; a
// failed removal ends it at once without the finish page. Neither deletes the program's copy.
TEST_F(RemoverWizardTest, APortHeldOpenOrAFailedRemovalEndsTheWizardWithoutTheFinishPage)
{
    struct Case {
        const char* name;
        bool portsFree;
        std::string failing;
        Calls calls;
        bool box;
    };
    const Case cases[] = {
        {"ports held", false, "", kSearches, true},
        {"files failing", true, "UninstallDriverFiles", Join({kSearches, {"UninstallProducts", "UninstallDriverFiles"}}), false},
    };
    for (const Case& c : cases) {
        OperationScript run;
        run.portsFree = c.portsFree;
        run.failing = c.failing;
        UseOperationScript(&run);
        ui::ClearMessageBoxes();
        if (c.box) ui::ExpectMessageBox({kPortsBusy, u"Un-installation Error", MB_ICONHAND, IDOK});
        EXPECT_EQ(RunSilently().threadsLeft, 0u) << c.name;
        EXPECT_EQ(run.Calls(), c.calls) << c.name;
        EXPECT_EQ(ui::MessageBoxes().size(), c.box ? 1u : 0u) << c.name;
        EXPECT_EQ(run.destroyed, 1) << c.name;
    }
    UseOperationScript(&script);
}

// Cancel while the search runs: the sheet stays until the search ends, then closes without removing
// anything; nothing the worker uses goes before it ends.
TEST_F(RemoverWizardTest, CancelDuringTheSearchWaitsForItAndRemovesNothing)
{
    script.blockIn = "SearchDriverFiles";
    CTfUnistApp app;
    mfc::ApplicationThread thread(app, Program(), {u"Remover39.exe"});
    HWND sheet = Sheet();
    ASSERT_TRUE(sheet);
    WaitForPage(sheet, IDD_INTRO);
    ASSERT_TRUE(ui::WaitUntil([&] { return IsWindowEnabled(GetDlgItem(sheet, ID_WIZNEXT)) != FALSE; }));
    ui::Click(GetDlgItem(sheet, ID_WIZNEXT));
    ASSERT_TRUE(script.WaitUntilBlocked());
    ui::Click(GetDlgItem(sheet, IDCANCEL));
    const bool stillUp = IsWindow(sheet) != FALSE;
    EXPECT_TRUE(stillUp) << "the sheet closed under its search";
    // Had it closed, the operation goes with the sheet: let the worker on only after that.
    if (!stillUp) ui::WaitUntil([&] { return script.destroyed == 1; });
    script.Release();
    EXPECT_EQ(thread.Join().threadsLeft, 0u);
    EXPECT_EQ(script.Calls(), Calls({"SearchProducts", "SearchDriverFiles", "SearchRegistryEntries"}));
    EXPECT_EQ(script.destroyed, 1);
}

TEST_F(RemoverWizardTest, ASecondCopyEndsSilentlyAndAUserWithoutRightsIsToldSo)
{
    const std::u16string mutex = u"{0B6C42A3-7829-4131-B5C8-804FC88ADCA5}";
    HANDLE first = CreateMutexW(nullptr, FALSE, mutex.c_str());
    RunSilently();
    CloseHandle(first);
    win32::DenyNamedObject(mutex);  // made by a copy under another security context
    RunSilently();
    EXPECT_EQ(script.made, 0) << "neither second copy made a wizard";
    EXPECT_TRUE(ui::MessageBoxes().empty());
}

TEST_F(RemoverWizardTest, TheRightsTestHoldsOnWindows2000AndLaterOnly)
{
    struct Case {
        process::VersionAnswer version;
        bool refused;
        const char* kind;
    };
    const Case cases[] = {{process::versions::kWindowsXp, true, ""},
                          {process::versions::kWindows98, false, "9x"},
                          {process::versions::kWindowsNt4, false, "2k"}};
    for (const Case& c : cases) {
        OperationScript run;
        UseOperationScript(&run);
        ui::ClearMessageBoxes();
        process::SystemProfile::Current().SetVersion(c.version);
        if (c.refused)
            ui::ExpectMessageBox({u"You do not have sufficient security permissions to uninstall  programs.\nPlease contact "
                                  u"your administrator or log out and log back in as an administrator.",
                                  std::nullopt, MB_ICONHAND, IDOK});
        CTfUnistApp app;
        mfc::RunApplication(app, Program(process::Token::StandardUser()), {u"Remover39.exe", u"/s"});
        EXPECT_EQ(run.made, c.refused ? 0 : 1) << c.version.major << "." << c.version.minor;
        EXPECT_EQ(run.kind, c.kind);
        EXPECT_EQ(ui::MessageBoxes().size(), c.refused ? 1u : 0u);
    }
    UseOperationScript(&script);
}

// Windows 95: the dialog, even with "/s" and without rights. One worker at a time: a second click
// on Uninstall and Finish while it runs do nothing.
TEST_F(RemoverWizardTest, TheWindows95DialogRunsOneWorkerAndFinishWaitsForIt)
{
    process::SystemProfile::Current().SetVersion(process::versions::kWindows95);
    script.blockIn = "SearchDriverFiles";
    CTfUnistApp app;
    mfc::ApplicationThread thread(app, Program(process::Token::StandardUser()), {u"Remover39.exe", u"/s"});
    HWND dialog = nullptr;
    ASSERT_TRUE(ui::WaitUntil([&] { return (dialog = FindWindowW(u"#32770", kTitle.c_str())) != nullptr; }));
    ui::Click(GetDlgItem(dialog, IDC_WIN95_UNINSTALL));
    ASSERT_TRUE(script.WaitUntilBlocked());
    ui::Click(GetDlgItem(dialog, IDC_WIN95_UNINSTALL));
    ui::Click(GetDlgItem(dialog, IDC_WIN95_FINISH));
    const bool stillUp = IsWindow(dialog) != FALSE;
    EXPECT_TRUE(stillUp) << "Finish closed the dialog under its worker";
    if (!stillUp) ui::WaitUntil([&] { return script.destroyed == 1; });
    script.Release();
    if (stillUp) {
        ASSERT_TRUE(ui::WaitUntil([&] { return IsWindowEnabled(GetDlgItem(dialog, IDC_WIN95_CONTINUE)) != FALSE; }));
        EXPECT_EQ(Text(dialog, IDC_WIN95_STATUS), u"Uninstallation process completed.");
        EXPECT_EQ(ui::Progress(GetDlgItem(dialog, IDC_WIN95_OVERALL)).steps, 6u);
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, IDC_WIN95_UNINSTALL)));
        ui::Click(GetDlgItem(dialog, IDC_WIN95_FINISH));
    }
    EXPECT_EQ(thread.Join().threadsLeft, 0u);
    EXPECT_EQ(script.kind, "9x");
    EXPECT_EQ(script.Calls(), Join({{"SearchProducts", "SearchDriverFiles", "SearchRegistryEntries"}, kRemovals,
                                    {"IsRestartNeeded"}}));
}

}  // namespace
}  // namespace emu::testing
