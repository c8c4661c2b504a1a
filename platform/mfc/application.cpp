// The application object, its command line and message boxes, and the machine's start of an MFC
// program.
#include <afxwin.h>

#include <atomic>
#include <mutex>

#include "application_runner.h"
#include "file_system.h"
#include "process_launcher.h"
#include "ui_control.h"

namespace {

std::atomic<CWinApp*> g_app{nullptr};

}  // namespace

struct CWinApp::State {
    static void Start(CWinApp& app, const std::shared_ptr<emu::process::Program>& program,
                      const std::vector<std::u16string>& words)
    {
        app.m_exeName = program->ExeName().c_str();
        app.m_pszExeName = app.m_exeName;
        if (!app.m_pszAppName) app.m_pszAppName = app.m_pszExeName;
        app.m_hInstance = program->Instance();
        app.m_words = words;
        CString line;
        for (size_t index = 1; index < words.size(); ++index) line += CString(index > 1 ? u" " : u"") + words[index].c_str();
        app.m_commandLine = line;
        app.m_lpCmdLine = app.m_commandLine.GetBuffer();
        ATL::_AtlBaseModule.SetModuleInstance(app.m_hInstance);
        g_app.store(&app);
    }
};

CWinApp::CWinApp(LPCWSTR lpszAppName) : CWinThread(nullptr, nullptr)
{
    if (lpszAppName) {
        m_appName = lpszAppName;
        m_pszAppName = m_appName;
    }
    m_bAutoDelete = FALSE;
    g_app.store(this);
}

CWinApp::~CWinApp()
{
    CWinApp* self = this;
    g_app.compare_exchange_strong(self, nullptr);
}

int CWinApp::Run()
{
    // The message loop runs while the main window lives; the wizards end InitInstance with none.
    while (m_pMainWnd && IsWindow(m_pMainWnd->m_hWnd) && emu::ui::DispatchPostedMessages() > 0) {
    }
    return ExitInstance();
}

void CWinApp::ParseCommandLine(CCommandLineInfo& rCmdInfo)
{
    for (size_t index = 1; index < m_words.size(); ++index) {
        const std::u16string& word = m_words[index];
        const bool flag = !word.empty() && (word[0] == u'/' || word[0] == u'-');
        const std::u16string param = flag ? word.substr(1) : word;
        rCmdInfo.ParseParam(param.c_str(), flag, index + 1 == m_words.size());
    }
}

void CCommandLineInfo::ParseParam(const WCHAR* pszParam, BOOL bFlag, BOOL bLast) {}

CWinApp* AfxGetApp() { return g_app.load(); }

HINSTANCE AfxGetInstanceHandle()
{
    CWinApp* app = AfxGetApp();
    return app ? app->m_hInstance : nullptr;
}

HINSTANCE AfxGetResourceHandle() { return AfxGetInstanceHandle(); }

int AfxMessageBox(LPCWSTR lpszText, UINT nType, UINT nIDHelp)
{
    CWinApp* app = AfxGetApp();
    HWND owner = app && app->m_pMainWnd ? app->m_pMainWnd->m_hWnd : nullptr;
    return MessageBoxW(owner, lpszText, app && app->m_pszAppName ? app->m_pszAppName : u"", nType);
}

int AfxMessageBox(UINT nIDPrompt, UINT nType, UINT nIDHelp)
{
    CString text;
    text.LoadString(nIDPrompt);
    return AfxMessageBox(text, nType, nIDHelp);
}

namespace emu::mfc {

ProgramRun RunApplication(CWinApp& app, std::shared_ptr<process::Program> program, std::vector<std::u16string> words,
                          std::chrono::milliseconds join)
{
    ProgramRun run;
    {
        files::RunningProgram running(program);
        CWinApp::State::Start(app, program, words);
        run.exitCode = app.InitInstance() ? app.Run() : app.ExitInstance();
    }
    if (!WaitForThreads(join)) run.threadsLeft = LiveThreads();
    return run;
}

}  // namespace emu::mfc

namespace emu::mfc {

ApplicationThread::ApplicationThread(CWinApp& app, std::shared_ptr<process::Program> program,
                                     std::vector<std::u16string> words)
    : m_thread([this, &app, program, words] { m_run = RunApplication(app, program, words); })
{
}

ApplicationThread::~ApplicationThread() { Join(); }

ProgramRun ApplicationThread::Join()
{
    if (!m_joined) {
        m_thread.join();
        m_joined = true;
    }
    return m_run;
}

}  // namespace emu::mfc
