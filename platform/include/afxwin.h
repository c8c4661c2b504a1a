// MFC's application framework for the wizards: the application object, worker threads, the
// command line and message boxes. A program's application object is run by the machine (see the
// platform's mfc layer): InitInstance, then, when it returns TRUE with a main window, the message
// loop, then ExitInstance, whose result is the process's exit code.
#pragma once

#include <afx.h>

#include <string>
#include <vector>
#include <windows.h>
#include <winuser.h>

class CWnd;

class CObject {
public:
    virtual ~CObject() = default;
};

class CCmdTarget : public CObject {};

typedef UINT (*AFX_THREADPROC)(LPVOID);

#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_HIGHEST 2

// A thread of the program. With m_bAutoDelete (the default) the object deletes itself when its
// procedure returns; m_hThread is signalled then, so another thread can wait for it.
class CWinThread : public CCmdTarget {
public:
    CWinThread(AFX_THREADPROC procedure, LPVOID parameter);
    ~CWinThread() override;

    HANDLE m_hThread = nullptr;
    DWORD m_nThreadID = 0;
    BOOL m_bAutoDelete = TRUE;
    CWnd* m_pMainWnd = nullptr;

    // Starts the procedure on a new thread, or, with CREATE_SUSPENDED, when ResumeThread runs.
    BOOL CreateThread(DWORD flags = 0, UINT stackSize = 0, LPSECURITY_ATTRIBUTES security = nullptr);
    BOOL SetThreadPriority(int priority);
    DWORD ResumeThread();
    // The procedure's result once it has returned.
    UINT ExitCode() const { return m_exitCode; }

    struct Runner;  // the thread's start (mfc layer)

private:
    AFX_THREADPROC m_procedure;
    LPVOID m_parameter;
    UINT m_exitCode = 0;
    bool m_suspended = false;
};

CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int nPriority = THREAD_PRIORITY_NORMAL,
                           UINT nStackSize = 0, DWORD dwCreateFlags = 0, LPSECURITY_ATTRIBUTES lpSecurityAttrs = nullptr);

// The words of the command line as ParseCommandLine hands them over.
class CCommandLineInfo : public CObject {
public:
    // pszParam without its leading '/' or '-' when bFlag; bLast for the last word.
    virtual void ParseParam(const WCHAR* pszParam, BOOL bFlag, BOOL bLast);
};

class CWinApp : public CWinThread {
public:
    explicit CWinApp(LPCWSTR lpszAppName = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance() { return TRUE; }
    virtual int ExitInstance() { return 0; }
    virtual int Run();
    void ParseCommandLine(CCommandLineInfo& rCmdInfo);

    LPCWSTR m_pszAppName = nullptr;
    LPCWSTR m_pszExeName = nullptr;
    HINSTANCE m_hInstance = nullptr;
    LPWSTR m_lpCmdLine = nullptr;

    struct State;  // what the machine keeps for the running application (mfc layer)

private:
    CString m_appName;
    CString m_exeName;
    CString m_commandLine;
    std::vector<std::u16string> m_words;
    friend struct State;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();
// A box with the application's name as its caption, owned by the main window.
int AfxMessageBox(LPCWSTR lpszText, UINT nType = MB_OK, UINT nIDHelp = 0);
int AfxMessageBox(UINT nIDPrompt, UINT nType = MB_OK, UINT nIDHelp = (UINT)-1);
inline BOOL AfxEnableControlContainer() { return TRUE; }

// The least of a window object the application needs: its handle.
class CWnd : public CCmdTarget {
public:
    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return m_hWnd; }
};
