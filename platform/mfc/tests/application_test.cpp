// An MFC program started by the machine: its command line, its message boxes, and the worker
// threads it starts (which run as the program, and which the machine waits for).
#include <gtest/gtest.h>

#include <afxwin.h>

#include <future>

#include "application_runner.h"
#include "file_system.h"
#include "machine_test.h"
#include "ui_control.h"

namespace emu::testing {
namespace {

struct Word {
    std::u16string param;
    BOOL flag;
    BOOL last;
    bool operator==(const Word&) const = default;
};

class RecordingCommandLine : public CCommandLineInfo {
public:
    void ParseParam(const WCHAR* pszParam, BOOL bFlag, BOOL bLast) override { words.push_back({pszParam, bFlag, bLast}); }
    std::vector<Word> words;
};

// A program whose InitInstance the test writes.
class TestApp : public CWinApp {
public:
    explicit TestApp(std::function<BOOL(TestApp&)> init) : CWinApp(u"Vexil Test"), m_init(std::move(init)) {}
    BOOL InitInstance() override { return m_init(*this); }
    int ExitInstance() override { return exitCode; }
    int exitCode = 0;

private:
    std::function<BOOL(TestApp&)> m_init;
};

class ApplicationTest : public MachineTest {
protected:
    std::shared_ptr<process::Program> Remover()
    {
        files::FileSystem::Current().WriteText(u"C:\\WINDOWS\\system32\\Remover39.exe", u"MZ");
        return std::make_shared<process::Program>(u"C:\\WINDOWS\\system32\\Remover39.exe", true, process::Token::Administrator());
    }
};

TEST_F(ApplicationTest, TheCommandLineReachesParseParamWordByWordWithItsSwitchCharacterRemoved)
{
    RecordingCommandLine line;
    TestApp app([&](TestApp& self) {
        self.ParseCommandLine(line);
        return FALSE;
    });
    mfc::RunApplication(app, Remover(), {u"Remover39.exe", u"/s", u"-H", u"plain", u"/"});
    const std::vector<Word> expected = {{u"s", TRUE, FALSE}, {u"H", TRUE, FALSE}, {u"plain", FALSE, FALSE}, {u"", TRUE, TRUE}};
    EXPECT_EQ(line.words, expected);
    EXPECT_EQ(std::u16string_view(app.m_pszExeName), u"Remover39");
}

TEST_F(ApplicationTest, TheExitCodeIsExitInstancesAndBoxesCarryTheApplicationsName)
{
    ui::ExpectMessageBox({u"You do not have sufficient rights", u"Vexil Test", MB_ICONHAND, IDOK});
    TestApp app([&](TestApp& self) {
        EXPECT_EQ(AfxGetApp(), &self);
        AfxMessageBox(u"You do not have sufficient rights", MB_ICONHAND);
        self.exitCode = 5;
        return TRUE;  // no main window: Run ends at once
    });
    EXPECT_EQ(mfc::RunApplication(app, Remover(), {u"Remover39.exe"}).exitCode, 5);
    EXPECT_TRUE(ui::UnexpectedMessageBoxes().empty());
    EXPECT_EQ(ui::MessageBoxes().size(), 1u);
}

TEST_F(ApplicationTest, AWorkerRunsAsTheProgramAndTheMachineWaitsForIt)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::u16string seenName;
    bool seenWow64 = false;
    struct Context {
        std::shared_future<void> released;
        std::u16string* name;
        bool* wow64;
    } context{released, &seenName, &seenWow64};
    CWinThread* joinable = nullptr;
    TestApp app([&](TestApp&) {
        AfxBeginThread(
            [](LPVOID parameter) -> UINT {
                auto* c = static_cast<Context*>(parameter);
                *c->name = process::CurrentProgram()->ExeName();
                *c->wow64 = process::CurrentProgram()->IsWow64();
                c->released.wait();
                return 0;
            },
            &context);
        joinable = AfxBeginThread([](LPVOID) -> UINT { return 42; }, nullptr, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
        joinable->m_bAutoDelete = FALSE;
        joinable->ResumeThread();
        EXPECT_EQ(WaitForSingleObject(joinable->m_hThread, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(joinable->ExitCode(), 42u);
        return FALSE;
    });
    const mfc::ProgramRun run = mfc::RunApplication(app, Remover(), {u"Remover39.exe"}, std::chrono::milliseconds(20));
    EXPECT_GE(run.threadsLeft, 1u) << "the first worker waits for the test";
    release.set_value();
    EXPECT_TRUE(mfc::WaitForThreads(std::chrono::seconds(10)));
    EXPECT_EQ(seenName, u"Remover39");
    EXPECT_TRUE(seenWow64) << "a 32-bit program on the 64-bit system";
    delete joinable;
}

TEST_F(ApplicationTest, AWorkerShowsItsBoxWhileTheProgramWaitsForIt)
{
    ui::ExpectMessageBox({u"The driver has NOT been removed.", u"Vexil Test", MB_ICONHAND, IDOK});
    TestApp app([](TestApp&) {
        CWinThread* worker = AfxBeginThread(
            [](LPVOID) -> UINT { return static_cast<UINT>(AfxMessageBox(u"The driver has NOT been removed.", MB_ICONHAND)); },
            nullptr, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
        worker->m_bAutoDelete = FALSE;
        worker->ResumeThread();
        EXPECT_EQ(WaitForSingleObject(worker->m_hThread, INFINITE), WAIT_OBJECT_0);
        EXPECT_EQ(worker->ExitCode(), static_cast<UINT>(IDOK));
        delete worker;
        return FALSE;
    });
    EXPECT_EQ(mfc::RunApplication(app, Remover(), {u"Remover39.exe"}).threadsLeft, 0u);
    EXPECT_TRUE(ui::UnexpectedMessageBoxes().empty());
}

TEST(AfxListTest, ListsKeepInsertionOrderAndPositionsWalkThem)
{
    CStringList list;
    for (LPCWSTR id : {u"USB\\VID_0403&PID_6001", u"PORTS\\PORTDRV23230", u"PORTS\\PORTDRV42248530"}) list.AddTail(id);
    EXPECT_EQ(list.GetCount(), 3);
    std::vector<std::u16string> walked;
    for (POSITION position = list.GetHeadPosition(); position;) walked.push_back(list.GetNext(position).GetString());
    EXPECT_EQ(walked, (std::vector<std::u16string>{u"USB\\VID_0403&PID_6001", u"PORTS\\PORTDRV23230", u"PORTS\\PORTDRV42248530"}));
    list.RemoveAt(list.Find(CString(u"PORTS\\PORTDRV23230")));
    EXPECT_EQ(list.GetCount(), 2);
    EXPECT_EQ(list.Find(CString(u"PORTS\\PORTDRV23230")), nullptr);
    CPtrList pointers;
    int a = 0;
    pointers.AddTail(&a);
    EXPECT_EQ(pointers.GetHead(), &a);
    pointers.RemoveAll();
    EXPECT_TRUE(pointers.IsEmpty());
}

}  // namespace
}  // namespace emu::testing
