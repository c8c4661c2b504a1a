// MFC's application framework for the wizards: the application object, worker threads, the
// command line and message boxes, window objects with message maps, dialogs and GDI objects. A program's application object is run by the machine (see the
// platform's mfc layer): InitInstance, then, when it returns TRUE with a main window, the message
// loop, then ExitInstance, whose result is the process's exit code.
#pragma once

#include <afx.h>

#include <atomic>
#include <string>
#include <vector>
#include <windows.h>
#include <wingdi.h>
#include <winuser.h>
#include <commctrl.h>

class CWnd;

class CObject {
public:
    virtual ~CObject() = default;
};

struct AFX_MSGMAP;

class CCmdTarget : public CObject {
public:
    static const AFX_MSGMAP* GetThisMessageMap() { return nullptr; }
    virtual const AFX_MSGMAP* GetMessageMap() const { return nullptr; }
};

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

// ---- Message maps ----------------------------------------------------------------------------------
// A class's table of the messages it handles, searched from the most derived class to CCmdTarget.
typedef void (CCmdTarget::*AFX_PMSG)();
typedef LRESULT (CWnd::*AFX_PMSGW)(WPARAM, LPARAM);

enum AfxSig {
    AfxSig_end = 0,
    AfxSig_vv,    // void ()
    AfxSig_lwl,   // LRESULT (WPARAM, LPARAM)
};

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;
    UINT nCode;  // WM_COMMAND: the notification code
    UINT nID;    // WM_COMMAND: the control ids nID to nLastID
    UINT nLastID;
    UINT_PTR nSig;
    AFX_PMSG pfn;       // AfxSig_vv
    AFX_PMSGW pfnLwl;   // AfxSig_lwl
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                   \
protected:                                      \
    static const AFX_MSGMAP* GetThisMessageMap(); \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                     \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const AFX_MSGMAP* theClass::GetThisMessageMap()                                \
    {                                                                              \
        typedef theClass ThisClass;                                                \
        typedef baseClass TheBaseClass;                                            \
        static const AFX_MSGMAP_ENTRY _messageEntries[] = {

#define END_MESSAGE_MAP()                                                 \
    {0, 0, 0, 0, AfxSig_end, nullptr, nullptr}                            \
    }                                                                     \
    ;                                                                     \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &_messageEntries[0]}; \
    return &messageMap;                                                   \
    }

#define ON_COMMAND(id, memberFxn) \
    {WM_COMMAND, 0, (UINT)(id), (UINT)(id), AfxSig_vv, static_cast<AFX_PMSG>(&ThisClass::memberFxn), nullptr},
#define ON_BN_CLICKED(id, memberFxn) \
    {WM_COMMAND, BN_CLICKED, (UINT)(id), (UINT)(id), AfxSig_vv, static_cast<AFX_PMSG>(&ThisClass::memberFxn), nullptr},
#define ON_MESSAGE(message, memberFxn) \
    {(UINT)(message), 0, 0, 0, AfxSig_lwl, nullptr, static_cast<AFX_PMSGW>(&ThisClass::memberFxn)},
#define ON_WM_DESTROY() \
    {WM_DESTROY, 0, 0, 0, AfxSig_vv, static_cast<AFX_PMSG>(static_cast<void (CWnd::*)()>(&ThisClass::OnDestroy)), nullptr},
#define ON_WM_CLOSE() \
    {WM_CLOSE, 0, 0, 0, AfxSig_vv, static_cast<AFX_PMSG>(static_cast<void (CWnd::*)()>(&ThisClass::OnClose)), nullptr},

// ---- GDI objects ---------------------------------------------------------------------------------
class CGdiObject : public CObject {
public:
    ~CGdiObject() override { DeleteObject(); }
    HGDIOBJ m_hObject = nullptr;
    HGDIOBJ GetSafeHandle() const { return m_hObject; }
    BOOL DeleteObject();
};

class CFont : public CGdiObject {
public:
    BOOL CreateFontIndirect(const LOGFONTW* lpLogFont);
    int GetLogFont(LOGFONTW* pLogFont);
    operator HFONT() const { return static_cast<HFONT>(m_hObject); }
};

class CBitmap : public CGdiObject {
public:
    BOOL LoadBitmap(UINT nIDResource);
    operator HBITMAP() const { return static_cast<HBITMAP>(m_hObject); }
};

// The system menu of a window (GetSystemMenu).
class CMenu : public CObject {
public:
    HMENU m_hMenu = nullptr;
    BOOL DeleteMenu(UINT nPosition, UINT nFlags) { return ::DeleteMenu(m_hMenu, nPosition, nFlags); }
    BOOL RemoveMenu(UINT nPosition, UINT nFlags) { return ::RemoveMenu(m_hMenu, nPosition, nFlags); }
};

class CDataExchange;

// ---- Windows ---------------------------------------------------------------------------------------
// A window object over a HWND. Objects the program attached are the window's permanent object (the
// one FromHandle gives on any thread) until the window is destroyed; a handle without one gets a
// temporary object of the calling thread. The calls that change a window work from any thread: a
// window is changed on the thread that owns it.
class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    ~CWnd() override;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;
    // Set by EndDialog (on any thread); read by the modal loop.
    std::atomic<int> m_nModalResult{-1};

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return GetSafeHwnd(); }
    static CWnd* FromHandle(HWND hWnd);
    static CWnd* FromHandlePermanent(HWND hWnd);
    BOOL Attach(HWND hWndNew);
    HWND Detach();
    // Attaches and routes the window's messages through this object's message map first.
    BOOL SubclassWindow(HWND hWnd);
    BOOL SubclassDlgItem(UINT nID, CWnd* pParent);

    CWnd* GetDlgItem(int nID) const;
    CWnd* GetParent() const;
    void SetWindowText(LPCWSTR lpszString);
    int GetWindowText(LPWSTR lpszStringBuf, int nMaxCount) const;
    void GetWindowText(CString& rString) const;
    void SetDlgItemText(int nID, LPCWSTR lpszString);
    BOOL ShowWindow(int nCmdShow);
    BOOL EnableWindow(BOOL bEnable = TRUE);
    BOOL IsWindowEnabled() const;
    BOOL IsWindowVisible() const;
    void SetFont(CFont* pFont, BOOL bRedraw = TRUE);
    DWORD GetStyle() const;
    DWORD GetExStyle() const;
    BOOL ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT nFlags = 0);
    BOOL ModifyStyleEx(DWORD dwRemove, DWORD dwAdd, UINT nFlags = 0);
    CMenu* GetSystemMenu(BOOL bRevert);
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const;
    int MessageBox(LPCWSTR lpszText, LPCWSTR lpszCaption = nullptr, UINT nType = MB_OK);
    virtual BOOL DestroyWindow();
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    // The window's messages: the message map, then the default procedure.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    virtual BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual BOOL OnCommand(WPARAM wParam, LPARAM lParam);
    virtual BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // The default handling of the message being handled.
    LRESULT Default();

    // Modal loops (CDialog, CPropertySheet): runs until EndModalLoop, which any thread may call.
    int RunModalLoop(DWORD dwFlags = 0);
    // Starts the modal state before the window is made, so an end asked for while it is being
    // made holds.
    void BeginModalState();
    virtual BOOL ContinueModal();
    virtual void EndModalLoop(int nResult);

    virtual void DoDataExchange(CDataExchange* pDX) {}
    virtual BOOL OnInitDialog();
    virtual void PostNcDestroy() {}
    void OnDestroy() { Default(); }
    void OnClose() { Default(); }

    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;

protected:
    friend LRESULT CALLBACK AfxWndProc(HWND, UINT, WPARAM, LPARAM);
    friend INT_PTR CALLBACK AfxDlgProc(HWND, UINT, WPARAM, LPARAM);
    // The window procedure the object's messages fall back to (a subclassed window's own).
    WNDPROC m_pfnSuper = nullptr;
    // A dialog's window: its default handling is the dialog manager's, after the dialog procedure.
    bool m_dialogWindow = false;

private:
    std::atomic<bool> m_continueModal{false};
    CMenu m_systemMenu;
};

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

// ---- Dialog data exchange -------------------------------------------------------------------------
class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate) : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}
    BOOL m_bSaveAndValidate;
    CWnd* m_pDlgWnd;
};

// Binds a control object to the dialog's child with that id (once).
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);

// ---- Dialogs --------------------------------------------------------------------------------------
// A modal dialog from the program's template: DoModal makes it, runs its modal loop and destroys it.
// EndDialog may be called from any thread. IDOK and IDCANCEL go to OnOK and OnCancel unless the
// derived class's map handles them.
class CDialog : public CWnd {
public:
    CDialog() = default;
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);

    virtual INT_PTR DoModal();
    BOOL OnInitDialog() override;
    virtual void OnOK();
    virtual void OnCancel();
    void EndDialog(int nResult);

    UINT m_nIDHelp = 0;

protected:
    UINT m_nIDTemplate = 0;
    CWnd* m_pParentWnd = nullptr;

    DECLARE_MESSAGE_MAP()
};

// ---- Controls ---------------------------------------------------------------------------------------
class CStatic : public CWnd {};
class CButton : public CWnd {};

