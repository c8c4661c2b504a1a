// MFC's wizard and dialog on the machine's window system, driven from the test's thread while the
// program's thread runs the modal loop: pages made on first activation and destroyed in page order,
// the wizard buttons, workers that post and send to the sheet, EndDialog from a worker, and the
// message maps of a dialog.
#include <gtest/gtest.h>

#include <afxcmn.h>
#include <afxdlgs.h>
#include <resource_script.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "application_runner.h"
#include "file_system.h"
#include "machine_test.h"
#include "ui_control.h"

namespace emu::testing {
namespace {

enum : int {
    kFirst = 101,
    kSecond = 102,
    kThird = 103,
    kPlainDialog = 200,
    kStatus = 1000,
    kBar = 1001,
    kCaption = 1,
};

int g_anchor;

const RESOURCE_CONTROL kPageControls[] = {
    {kStatus, u"Static", 0, u"Status"},
    {kBar, u"msctls_progress32", 0, u""},
};
const RESOURCE_CONTROL kDialogControls[] = {
    {IDOK, u"Button", BS_PUSHBUTTON, u"&Go"},
    {IDCANCEL, u"Button", BS_PUSHBUTTON, u"&Finish"},
    {kStatus, u"Static", 0, u"Status"},
};
const RESOURCE_DIALOG kDialogs[] = {
    {kFirst, u"Wizard", 0, kPageControls, 2},
    {kSecond, u"Wizard", 0, kPageControls, 2},
    {kThird, u"Wizard", 0, kPageControls, 2},
    {kPlainDialog, u"Plain", 0, kDialogControls, 3},
};
const RESOURCE_STRING kStrings[] = {{kCaption, u"Test Wizard"}, {2, u"Header"}};
const MODULE_RESOURCES kResources = {kDialogs, 4, kStrings, 2};

HINSTANCE Module()
{
    static HINSTANCE instance = [] {
        auto module = reinterpret_cast<HINSTANCE>(&g_anchor);
        RegisterModuleResources(module, &kResources);
        return module;
    }();
    return instance;
}

// What the pages and the sheet did, in order, with the thread each ran on.
struct Journal {
    std::mutex mutex;
    std::vector<std::string> entries;
    std::vector<std::thread::id> threads;

    void Add(std::string entry)
    {
        std::lock_guard lock(mutex);
        entries.push_back(std::move(entry));
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<std::string> Entries()
    {
        std::lock_guard lock(mutex);
        return entries;
    }
};

class LoggingPage : public CPropertyPage {
public:
    LoggingPage(UINT id, std::string name, Journal& journal)
        : CPropertyPage(id, 0, 2, 0, PROPSHEETPAGEW_V2_SIZE), m_name(std::move(name)), m_journal(journal)
    {
    }
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, kBar, m_bar); }
    BOOL OnInitDialog() override
    {
        CPropertyPage::OnInitDialog();
        m_journal.Add(m_name + ":init");
        return TRUE;
    }
    BOOL OnSetActive() override
    {
        m_journal.Add(m_name + ":active");
        if (onSetActive) onSetActive(*this);
        return CPropertyPage::OnSetActive();
    }
    BOOL OnKillActive() override
    {
        m_journal.Add(m_name + ":kill");
        return CPropertyPage::OnKillActive();
    }
    LRESULT OnWizardNext() override
    {
        m_journal.Add(m_name + ":next");
        return CPropertyPage::OnWizardNext();
    }
    BOOL OnWizardFinish() override
    {
        m_journal.Add(m_name + ":finish");
        return CPropertyPage::OnWizardFinish();
    }
    BOOL OnQueryCancel() override
    {
        m_journal.Add(m_name + ":querycancel");
        return refuseCancel ? FALSE : TRUE;
    }
    void OnDestroy()
    {
        m_journal.Add(m_name + ":destroy");
        CPropertyPage::OnDestroy();
    }

    std::function<void(LoggingPage&)> onSetActive;
    bool refuseCancel = false;
    CProgressCtrl m_bar;

private:
    std::string m_name;
    Journal& m_journal;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(LoggingPage, CPropertyPage)
ON_WM_DESTROY()
END_MESSAGE_MAP()

class TestSheet : public CPropertySheet {
public:
    explicit TestSheet(Journal& journal)
        : CPropertySheet(kCaption, nullptr, 0, nullptr, nullptr, nullptr), first(kFirst, "first", journal),
          second(kSecond, "second", journal), third(kThird, "third", journal), m_journal(journal)
    {
        AddPage(&first);
        AddPage(&second);
        AddPage(&third);
        m_psh.dwFlags |= PSH_WIZARD97;
    }
    BOOL OnInitDialog() override
    {
        const BOOL result = CPropertySheet::OnInitDialog();
        m_journal.Add("sheet:init");
        return result;
    }
    void OnDestroy()
    {
        m_journal.Add("sheet:destroy");
        CPropertySheet::OnDestroy();
    }

    LoggingPage first, second, third;

private:
    Journal& m_journal;

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(TestSheet, CPropertySheet)
ON_WM_DESTROY()
END_MESSAGE_MAP()

// A program whose InitInstance the test writes.
class TestApp : public CWinApp {
public:
    explicit TestApp(std::function<void()> run) : CWinApp(u"Wizard Test"), m_run(std::move(run)) {}
    BOOL InitInstance() override
    {
        m_run();
        return FALSE;
    }

private:
    std::function<void()> m_run;
};

class WizardTest : public MachineTest {
protected:
    std::shared_ptr<process::Program> Program()
    {
        files::FileSystem::Current().WriteText(u"C:\\Media\\Wizard.exe", u"MZ");
        auto program = std::make_shared<process::Program>(u"C:\\Media\\Wizard.exe", false, process::Token::Administrator());
        program->SetInstance(Module());
        return program;
    }

    // Runs a wizard on the program's thread; the test's thread is the user.
    INT_PTR RunSheet(const std::function<void(TestSheet&)>& prepare, const std::function<void(HWND)>& user)
    {
        std::atomic<INT_PTR> result{0};
        TestApp app([&] {
            TestSheet sheet(journal);
            prepare(sheet);
            result = sheet.DoModal();
        });
        mfc::ApplicationThread thread(app, Program(), {u"Wizard.exe"});
        HWND sheet = nullptr;
        EXPECT_TRUE(ui::WaitUntil([&] { return (sheet = FindWindowW(u"PropertySheet", u"Test Wizard")) != nullptr; }));
        if (sheet) user(sheet);
        EXPECT_EQ(thread.Join().threadsLeft, 0u);
        return result;
    }

    static WORD ActivePage(HWND sheet)
    {
        return ui::DialogTemplateId(reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0)));
    }
    static bool WaitForPage(HWND sheet, WORD page)
    {
        return ui::WaitUntil([&] { return ActivePage(sheet) == page; });
    }

    Journal journal;
};

TEST_F(WizardTest, PagesAreMadeOnFirstActivationAndDestroyedInPageOrderAfterFinish)
{
    const INT_PTR result = RunSheet([](TestSheet&) {},
                                    [&](HWND sheet) {
                                        ASSERT_TRUE(WaitForPage(sheet, kFirst));
                                        ui::Click(GetDlgItem(sheet, ID_WIZNEXT));
                                        ASSERT_TRUE(WaitForPage(sheet, kSecond));
                                        SendMessageW(sheet, PSM_SETWIZBUTTONS, 0, PSWIZB_FINISH);
                                        EXPECT_FALSE(IsWindowVisible(GetDlgItem(sheet, ID_WIZNEXT)));
                                        ui::Click(GetDlgItem(sheet, ID_WIZFINISH));
                                    });
    EXPECT_EQ(result, ID_WIZFINISH);
    const std::vector<std::string> expected = {"first:init",   "first:active", "sheet:init",     "first:next",
                                               "first:kill",   "second:init",  "second:active",  "second:finish",
                                               "first:destroy", "second:destroy", "sheet:destroy"};
    EXPECT_EQ(journal.Entries(), expected) << "the third page was never made";
}

TEST_F(WizardTest, ClicksNeedAnEnabledButtonAndTheCloseCommandIsCancelUntilItIsDeleted)
{
    const INT_PTR result = RunSheet(
        [](TestSheet& sheet) { sheet.first.refuseCancel = true; },
        [&](HWND sheet) {
            ASSERT_TRUE(WaitForPage(sheet, kFirst));
            SendMessageW(sheet, PSM_SETWIZBUTTONS, 0, 0);
            ui::Click(GetDlgItem(sheet, ID_WIZNEXT));
            ui::CloseWithSystemMenu(sheet);  // refused by the page
            EXPECT_EQ(ActivePage(sheet), kFirst);
            GetSystemMenu(sheet, FALSE);
            DeleteMenu(GetSystemMenu(sheet, FALSE), SC_CLOSE, MF_BYCOMMAND);
            ui::CloseWithSystemMenu(sheet);  // no Close command left: not even asked
            SendMessageW(sheet, PSM_PRESSBUTTON, PSBTN_NEXT, 0);  // acts on the disabled button
            EXPECT_EQ(ActivePage(sheet), kSecond);
            ui::Click(GetDlgItem(sheet, IDCANCEL));
        });
    EXPECT_EQ(result, IDCANCEL);
    const std::vector<std::string> expected = {"first:init", "first:active", "sheet:init",    "first:querycancel",
                                               "first:next", "first:kill",   "second:init",   "second:active",
                                               "second:querycancel", "first:destroy", "second:destroy", "sheet:destroy"};
    EXPECT_EQ(journal.Entries(), expected);
}

// A worker of the first page drives the sheet as the wizards' workers do: it posts the buttons and
// sends the press; the press runs on the program's thread while the worker waits.
UINT PressNextFromWorker(LPVOID parameter)
{
    auto* page = static_cast<LoggingPage*>(parameter);
    CWnd* sheet = page->GetParent();
    page->m_bar.SetRange(0, 3);
    page->m_bar.SetStep(1);
    for (int step = 0; step < 4; ++step) page->m_bar.StepIt();
    page->GetDlgItem(kStatus)->SetWindowText(u"Done");
    sheet->PostMessage(PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
    sheet->SendMessage(PSM_PRESSBUTTON, PSBTN_NEXT, 0);
    return 0;
}

TEST_F(WizardTest, AWorkersPressRunsOnTheProgramsThreadAndItsProgressWraps)
{
    std::thread::id programThread;
    HWND bar = nullptr, status = nullptr;
    const INT_PTR result = RunSheet(
        [&](TestSheet& sheet) {
            programThread = std::this_thread::get_id();
            sheet.first.onSetActive = [&](LoggingPage& page) {
                bar = page.m_bar.m_hWnd;
                status = ::GetDlgItem(page.m_hWnd, kStatus);
                AfxBeginThread(PressNextFromWorker, &page);
            };
            sheet.second.onSetActive = [](LoggingPage& page) { page.GetParent()->PostMessage(PSM_SETWIZBUTTONS, 0, PSWIZB_FINISH); };
        },
        [&](HWND sheet) {
            ASSERT_TRUE(WaitForPage(sheet, kSecond));
            ASSERT_TRUE(ui::WaitUntil([&] { return IsWindowEnabled(GetDlgItem(sheet, ID_WIZFINISH)) != FALSE; }));
            const ui::ProgressState progress = ui::Progress(bar);
            EXPECT_EQ(progress.steps, 4u);
            EXPECT_EQ(progress.pos, 0) << "the fourth step passed the end of 0..3";
            WCHAR text[16] = {};
            GetWindowTextW(status, text, 16);
            EXPECT_EQ(std::u16string(text), u"Done");
            ui::Click(GetDlgItem(sheet, ID_WIZFINISH));
        });
    EXPECT_EQ(result, ID_WIZFINISH);
    std::lock_guard lock(journal.mutex);
    for (size_t index = 0; index < journal.entries.size(); ++index)
        EXPECT_EQ(journal.threads[index], programThread) << journal.entries[index];
}

TEST_F(WizardTest, EndDialogFromAWorkerEndsTheLoopWithItsResult)
{
    const INT_PTR result = RunSheet(
        [](TestSheet& sheet) {
            sheet.first.onSetActive = [](LoggingPage& page) {
                AfxBeginThread(
                    [](LPVOID parameter) -> UINT {
                        static_cast<CPropertySheet*>(static_cast<LoggingPage*>(parameter)->GetParent())->EndDialog(7);
                        return 0;
                    },
                    &page);
            };
        },
        [](HWND) {});
    EXPECT_EQ(result, 7);
    EXPECT_EQ(journal.Entries().back(), "sheet:destroy");
}

// A dialog whose map gives the OK button a handler of its own; the Cancel button keeps OnCancel.
class PlainDialog : public CDialog {
public:
    PlainDialog() : CDialog(kPlainDialog) {}
    void OnGo()
    {
        ++goes;
        AfxBeginThread(
            [](LPVOID parameter) -> UINT {
                auto* dialog = static_cast<PlainDialog*>(parameter);
                dialog->GetDlgItem(kStatus)->SetWindowText(u"Gone");
                dialog->GetDlgItem(IDOK)->EnableWindow(FALSE);
                return 0;
            },
            this);
    }
    std::atomic<int> goes{0};

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(PlainDialog, CDialog)
ON_BN_CLICKED(IDOK, OnGo)
END_MESSAGE_MAP()

TEST_F(WizardTest, ADialogsMapReplacesTheDefaultButtonHandlingAndItsWorkerChangesItsControls)
{
    PlainDialog dialog;
    std::atomic<INT_PTR> result{0};
    TestApp app([&] { result = dialog.DoModal(); });
    mfc::ApplicationThread thread(app, Program(), {u"Wizard.exe"});
    HWND window = nullptr;
    ASSERT_TRUE(ui::WaitUntil([&] { return (window = FindWindowW(u"#32770", u"Plain")) != nullptr; }));
    ui::Click(GetDlgItem(window, IDOK));
    ASSERT_TRUE(ui::WaitUntil([&] { return !IsWindowEnabled(GetDlgItem(window, IDOK)); }));
    ui::Click(GetDlgItem(window, IDOK));  // disabled: nothing
    WCHAR text[16] = {};
    GetDlgItemTextW(window, kStatus, text, 16);
    EXPECT_EQ(std::u16string(text), u"Gone");
    ui::CloseWithSystemMenu(window);  // a dialog's Close is its Cancel
    EXPECT_EQ(thread.Join().threadsLeft, 0u);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(dialog.goes, 1);
}

TEST_F(WizardTest, AWorkersBoxGoesToTheResponderOnTheWorkersThread)
{
    std::thread::id boxThread;
    ui::SetMessageBoxResponder([&](const ui::MessageBoxRecord& box) -> std::optional<int> {
        boxThread = std::this_thread::get_id();
        return box.type == (MB_YESNO | MB_ICONQUESTION) ? std::optional<int>(IDYES) : std::nullopt;
    });
    std::thread::id workerThread;
    std::atomic<int> answer{0};
    TestApp app([&] {
        CWinThread* worker = AfxBeginThread(
            [](LPVOID parameter) -> UINT {
                return static_cast<UINT>(AfxMessageBox(u"Restart now?", MB_YESNO | MB_ICONQUESTION));
            },
            nullptr, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
        worker->m_bAutoDelete = FALSE;
        worker->ResumeThread();
        WaitForSingleObject(worker->m_hThread, INFINITE);
        answer = static_cast<int>(worker->ExitCode());
        delete worker;
    });
    mfc::RunApplication(app, Program(), {u"Wizard.exe"});
    ui::SetMessageBoxResponder(nullptr);
    EXPECT_EQ(answer, IDYES);
    ASSERT_EQ(ui::MessageBoxes().size(), 1u);
    EXPECT_EQ(ui::MessageBoxes()[0].caption, u"Wizard Test");
    EXPECT_EQ(ui::MessageBoxes()[0].thread, boxThread);
    EXPECT_NE(boxThread, std::this_thread::get_id());
}

TEST_F(WizardTest, TheScreenAnswersFromTheMachinesDisplaySettings)
{
    struct Case {
        ui::Display display;
        int bitsPerPixel;
        LONG messageFontHeight;
    };
    for (const Case& c : {Case{{32, 96, false}, 32, -12}, Case{{8, 120, false}, 8, -15}, Case{{32, 96, true}, 0, -12}}) {
        ui::SetDisplay(c.display);
        HDC screen = GetDC(nullptr);
        EXPECT_EQ(screen ? GetDeviceCaps(screen, BITSPIXEL) : 0, c.bitsPerPixel);
        if (screen) ReleaseDC(nullptr, screen);
        NONCLIENTMETRICSW metrics{};
        metrics.cbSize = 500;
        ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, 500, &metrics, 0));
        EXPECT_EQ(metrics.lfMessageFont.lfHeight, c.messageFontHeight);
        CFont font;
        ASSERT_TRUE(font.CreateFontIndirect(&metrics.lfMessageFont));
        LOGFONTW back{};
        EXPECT_EQ(font.GetLogFont(&back), static_cast<int>(sizeof back));
        EXPECT_EQ(back.lfHeight, c.messageFontHeight);
    }
    EXPECT_EQ(ui::LiveFonts(), 0u);
}

}  // namespace
}  // namespace emu::testing
