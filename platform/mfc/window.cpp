// CWnd: window objects over the machine's windows, their message maps, the window and dialog
// procedures that route messages to them, and the modal loop.
#include <afxwin.h>

#include <map>
#include <memory>
#include <mutex>

namespace {

struct PermanentMap {
    std::mutex mutex;  // guards objects
    std::map<HWND, CWnd*> objects;
};

PermanentMap& Permanent()
{
    static PermanentMap map;
    return map;
}

// The calling thread's temporary objects for handles that have no permanent one.
thread_local std::map<HWND, std::unique_ptr<CWnd>> t_temporary;

// The message being handled on this thread, for Default.
struct CurrentMessage {
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};
thread_local CurrentMessage t_current;

class MessageScope {
public:
    MessageScope(UINT message, WPARAM wParam, LPARAM lParam) : m_previous(t_current) { t_current = {message, wParam, lParam}; }
    ~MessageScope() { t_current = m_previous; }

private:
    CurrentMessage m_previous;
};

const AFX_MSGMAP_ENTRY* FindEntry(const AFX_MSGMAP* map, UINT message, UINT code, UINT id)
{
    for (; map; map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr)
        for (const AFX_MSGMAP_ENTRY* entry = map->lpEntries; entry && entry->nSig != AfxSig_end; ++entry)
            if (entry->nMessage == message && (message != WM_COMMAND || (entry->nCode == code && id >= entry->nID && id <= entry->nLastID)))
                return entry;
    return nullptr;
}

LRESULT Call(CWnd* wnd, const AFX_MSGMAP_ENTRY* entry, WPARAM wParam, LPARAM lParam)
{
    if (entry->nSig == AfxSig_lwl) return (wnd->*(entry->pfnLwl))(wParam, lParam);
    (wnd->*(entry->pfn))();
    return 0;
}

}  // namespace

const AFX_MSGMAP* CWnd::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, 0, AfxSig_end, nullptr, nullptr}};
    static const AFX_MSGMAP map = {&CCmdTarget::GetThisMessageMap, entries};
    return &map;
}

const AFX_MSGMAP* CWnd::GetMessageMap() const { return GetThisMessageMap(); }

CWnd::~CWnd()
{
    if (m_hWnd && FromHandlePermanent(m_hWnd) == this) Detach();
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd)
{
    PermanentMap& map = Permanent();
    std::lock_guard lock(map.mutex);
    auto it = map.objects.find(hWnd);
    return it == map.objects.end() ? nullptr : it->second;
}

CWnd* CWnd::FromHandle(HWND hWnd)
{
    if (!hWnd) return nullptr;
    if (CWnd* permanent = FromHandlePermanent(hWnd)) return permanent;
    // Temporary objects of windows that are gone are dropped as new ones are made.
    for (auto it = t_temporary.begin(); it != t_temporary.end();)
        it = IsWindow(it->first) ? std::next(it) : t_temporary.erase(it);
    std::unique_ptr<CWnd>& temporary = t_temporary[hWnd];
    if (!temporary) {
        temporary = std::make_unique<CWnd>();
        temporary->m_hWnd = hWnd;
    }
    return temporary.get();
}

BOOL CWnd::Attach(HWND hWndNew)
{
    if (!hWndNew || m_hWnd) return FALSE;
    PermanentMap& map = Permanent();
    std::lock_guard lock(map.mutex);
    if (map.objects.count(hWndNew)) return FALSE;
    map.objects[hWndNew] = this;
    m_hWnd = hWndNew;
    return TRUE;
}

HWND CWnd::Detach()
{
    HWND hWnd = m_hWnd;
    if (!hWnd) return nullptr;
    {
        PermanentMap& map = Permanent();
        std::lock_guard lock(map.mutex);
        auto it = map.objects.find(hWnd);
        if (it != map.objects.end() && it->second == this) map.objects.erase(it);
    }
    // A subclassed window that outlives its object gets its own procedure back.
    if (m_pfnSuper && IsWindow(hWnd)) SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
    m_pfnSuper = nullptr;
    m_hWnd = nullptr;
    return hWnd;
}

BOOL CWnd::SubclassWindow(HWND hWnd)
{
    if (!Attach(hWnd)) return FALSE;
    m_pfnSuper = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(AfxWndProc)));
    return TRUE;
}

BOOL CWnd::SubclassDlgItem(UINT nID, CWnd* pParent)
{
    return pParent && SubclassWindow(::GetDlgItem(pParent->m_hWnd, static_cast<int>(nID)));
}

CWnd* CWnd::GetDlgItem(int nID) const { return FromHandle(::GetDlgItem(m_hWnd, nID)); }
CWnd* CWnd::GetParent() const { return FromHandle(::GetParent(m_hWnd)); }
void CWnd::SetWindowText(LPCWSTR lpszString) { SetWindowTextW(m_hWnd, lpszString); }

int CWnd::GetWindowText(LPWSTR lpszStringBuf, int nMaxCount) const
{
    return GetWindowTextW(m_hWnd, lpszStringBuf, nMaxCount);
}

void CWnd::GetWindowText(CString& rString) const
{
    std::u16string text(static_cast<size_t>(GetWindowTextLengthW(m_hWnd)) + 1, u'\0');
    text.resize(GetWindowTextW(m_hWnd, text.data(), static_cast<int>(text.size())));
    rString = CString(text);
}

void CWnd::SetDlgItemText(int nID, LPCWSTR lpszString) { SetDlgItemTextW(m_hWnd, nID, lpszString); }
BOOL CWnd::ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
BOOL CWnd::EnableWindow(BOOL bEnable) { return ::EnableWindow(m_hWnd, bEnable); }
BOOL CWnd::IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
BOOL CWnd::IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }

void CWnd::SetFont(CFont* pFont, BOOL bRedraw)
{
    SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(pFont ? pFont->m_hObject : nullptr), bRedraw);
}

DWORD CWnd::GetStyle() const { return static_cast<DWORD>(GetWindowLongPtrW(m_hWnd, GWL_STYLE)); }
DWORD CWnd::GetExStyle() const { return static_cast<DWORD>(GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE)); }

BOOL CWnd::ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT nFlags)
{
    const DWORD style = GetStyle();
    const DWORD changed = (style & ~dwRemove) | dwAdd;
    if (changed == style) return FALSE;
    SetWindowLongPtrW(m_hWnd, GWL_STYLE, changed);
    return TRUE;
}

BOOL CWnd::ModifyStyleEx(DWORD dwRemove, DWORD dwAdd, UINT nFlags)
{
    const DWORD style = GetExStyle();
    const DWORD changed = (style & ~dwRemove) | dwAdd;
    if (changed == style) return FALSE;
    SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE, changed);
    return TRUE;
}

CMenu* CWnd::GetSystemMenu(BOOL bRevert)
{
    m_systemMenu.m_hMenu = ::GetSystemMenu(m_hWnd, bRevert);
    return m_systemMenu.m_hMenu ? &m_systemMenu : nullptr;
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return SendMessageW(m_hWnd, message, wParam, lParam);
}

BOOL CWnd::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) const
{
    return PostMessageW(m_hWnd, message, wParam, lParam);
}

int CWnd::MessageBox(LPCWSTR lpszText, LPCWSTR lpszCaption, UINT nType)
{
    CWinApp* app = AfxGetApp();
    if (!lpszCaption) lpszCaption = app && app->m_pszAppName ? app->m_pszAppName : u"";
    return MessageBoxW(m_hWnd, lpszText, lpszCaption, nType);
}

BOOL CWnd::DestroyWindow() { return m_hWnd && ::DestroyWindow(m_hWnd); }

BOOL CWnd::UpdateData(BOOL bSaveAndValidate)
{
    CDataExchange exchange(this, bSaveAndValidate);
    DoDataExchange(&exchange);
    return TRUE;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    MessageScope scope(message, wParam, lParam);
    LRESULT result = 0;
    if (!OnWndMsg(message, wParam, lParam, &result)) result = DefWindowProc(message, wParam, lParam);
    return result;
}

BOOL CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    *pResult = 0;
    switch (message) {
    case WM_COMMAND: return OnCommand(wParam, lParam);
    case WM_NOTIFY: return OnNotify(wParam, lParam, pResult);
    case WM_INITDIALOG: *pResult = OnInitDialog(); return TRUE;
    default: break;
    }
    const AFX_MSGMAP_ENTRY* entry = FindEntry(GetMessageMap(), message, 0, 0);
    if (!entry) return FALSE;
    *pResult = Call(this, entry, wParam, lParam);
    return TRUE;
}

BOOL CWnd::OnCommand(WPARAM wParam, LPARAM lParam)
{
    const AFX_MSGMAP_ENTRY* entry = FindEntry(GetMessageMap(), WM_COMMAND, HIWORD(wParam), LOWORD(wParam));
    if (!entry) return FALSE;
    Call(this, entry, wParam, lParam);
    return TRUE;
}

BOOL CWnd::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult) { return FALSE; }

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    // A dialog's default handling is the dialog manager's, once the dialog procedure declined.
    if (m_dialogWindow) return 0;
    return m_pfnSuper ? CallWindowProcW(m_pfnSuper, m_hWnd, message, wParam, lParam)
                      : DefWindowProcW(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::Default() { return DefWindowProc(t_current.message, t_current.wParam, t_current.lParam); }

BOOL CWnd::OnInitDialog() { return static_cast<BOOL>(Default()); }

int CWnd::RunModalLoop(DWORD dwFlags)
{
    MSG msg;
    while (ContinueModal()) {
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));
                break;
            }
            DispatchMessageW(&msg);
            continue;
        }
        if (ContinueModal()) WaitMessage();
    }
    return m_nModalResult;
}

BOOL CWnd::ContinueModal() { return m_continueModal.load(); }

void CWnd::BeginModalState() { m_continueModal.store(true); }

void CWnd::EndModalLoop(int nResult)
{
    // The handle is read while the loop still runs: once it ends, the window goes.
    HWND window = m_hWnd;
    m_nModalResult = nResult;
    m_continueModal.store(false);
    // Wakes the loop when another thread ended it.
    if (window) ::PostMessageW(window, WM_NULL, 0, 0);
}

LRESULT CALLBACK AfxWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CWnd* wnd = CWnd::FromHandlePermanent(hWnd);
    if (!wnd) return DefWindowProcW(hWnd, message, wParam, lParam);
    if (message != WM_NCDESTROY) return wnd->WindowProc(message, wParam, lParam);
    const WNDPROC super = wnd->m_pfnSuper;
    const LRESULT result = super ? CallWindowProcW(super, hWnd, message, wParam, lParam) : 0;
    wnd->m_pfnSuper = nullptr;
    wnd->Detach();
    wnd->PostNcDestroy();
    return result;
}

// A dialog's (or page's) procedure: WM_INITDIALOG brings the object (the lParam of the page record
// the dialog was made with) and attaches it.
INT_PTR CALLBACK AfxDlgProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        auto* wnd = reinterpret_cast<CWnd*>(reinterpret_cast<const PROPSHEETPAGEW*>(lParam)->lParam);
        if (!wnd || !wnd->Attach(hWnd)) return FALSE;
        wnd->m_dialogWindow = true;
        MessageScope scope(message, wParam, lParam);
        return wnd->OnInitDialog();
    }
    CWnd* wnd = CWnd::FromHandlePermanent(hWnd);
    if (!wnd) return FALSE;
    if (message == WM_NCDESTROY) {
        wnd->Detach();
        wnd->PostNcDestroy();
        return FALSE;
    }
    MessageScope scope(message, wParam, lParam);
    LRESULT result = 0;
    if (!wnd->OnWndMsg(message, wParam, lParam, &result)) return FALSE;
    SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, result);
    return TRUE;
}

void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl)
{
    if (rControl.m_hWnd || !pDX->m_pDlgWnd) return;
    rControl.SubclassWindow(::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, nIDC));
}

BOOL CGdiObject::DeleteObject()
{
    if (!m_hObject) return FALSE;
    const BOOL deleted = ::DeleteObject(m_hObject);
    m_hObject = nullptr;
    return deleted;
}

BOOL CFont::CreateFontIndirect(const LOGFONTW* lpLogFont)
{
    DeleteObject();
    m_hObject = CreateFontIndirectW(lpLogFont);
    return m_hObject != nullptr;
}

int CFont::GetLogFont(LOGFONTW* pLogFont) { return GetObjectW(m_hObject, sizeof(LOGFONTW), pLogFont); }

BOOL CBitmap::LoadBitmap(UINT nIDResource)
{
    DeleteObject();
    m_hObject = LoadBitmapW(AfxGetResourceHandle(), MAKEINTRESOURCEW(nIDResource));
    return m_hObject != nullptr;
}
