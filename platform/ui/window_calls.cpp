// Creating and destroying windows, their links, long values, state and text, and the sending and
// posting of messages. A window's procedure runs on the thread that owns the window: a message sent
// from another thread waits for that thread to take it; a posted one waits in that thread's queue.
#include <algorithm>
#include <cstring>

#include "window.h"

using emu::ui::Window;
using emu::ui::Windows;

namespace {

void Unlink(Window* window)
{
    if (!window->parent) return;
    auto& siblings = window->parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), window), siblings.end());
    window->parent = nullptr;
}

void Destroy(Window* window)
{
    SendMessageW(window->Handle(), WM_DESTROY, 0, 0);
    // Children go after their parent has been told, the last first.
    while (!window->children.empty()) Destroy(window->children.back());
    SendMessageW(window->Handle(), WM_NCDESTROY, 0, 0);
    Unlink(window);
    Windows().Forget(window);
}

int CopyText(const std::u16string& text, LPWSTR buffer, int room)
{
    if (!buffer || room <= 0) return 0;
    const int count = std::min<int>(static_cast<int>(text.size()), room - 1);
    std::memcpy(buffer, text.data(), count * sizeof(WCHAR));
    buffer[count] = 0;
    return count;
}

}  // namespace

extern "C" HWND CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X, int Y,
                                int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam)
{
    if (!lpClassName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Window* parent = nullptr;
    if (hWndParent && !(parent = Windows().Find(hWndParent))) return nullptr;
    Window* window = Windows().Create();
    window->className = lpClassName;
    window->style = dwStyle;
    window->exStyle = dwExStyle;
    window->text = lpWindowName ? lpWindowName : u"";
    window->instance = hInstance;
    window->enabled = !(dwStyle & WS_DISABLED);
    window->visible = (dwStyle & WS_VISIBLE) != 0;
    window->proc = emu::ui::ClassProcedure(window->className);
    if (parent && (dwStyle & WS_CHILD)) {
        window->id = static_cast<int>(reinterpret_cast<ULONG_PTR>(hMenu));
        window->parent = parent;
        parent->children.push_back(window);
    } else {
        window->owner = hWndParent;
    }
    CREATESTRUCTW create{lpParam, hInstance, hMenu, hWndParent, nHeight, nWidth, Y, X, static_cast<LONG>(dwStyle),
                         lpWindowName, lpClassName, dwExStyle};
    if (SendMessageW(window->Handle(), WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
        Destroy(window);
        return nullptr;
    }
    return window->Handle();
}

extern "C" BOOL DestroyWindow(HWND hWnd)
{
    return emu::ui::OnOwner(hWnd, [&]() -> BOOL {
        Window* window = Windows().Find(hWnd);
        if (!window) return FALSE;
        Destroy(window);
        return TRUE;
    });
}

extern "C" BOOL IsWindow(HWND hWnd) { return hWnd && Windows().Find(hWnd) != nullptr; }

extern "C" HWND GetParent(HWND hWnd)
{
    return emu::ui::OnOwner(hWnd, [&]() -> HWND {
        Window* window = Windows().Find(hWnd);
        if (!window) return nullptr;
        return window->parent ? window->parent->Handle() : window->owner;
    });
}

namespace {

HWND LinkedWindow(HWND hWnd, UINT uCmd)
{
    Window* window = Windows().Find(hWnd);
    if (!window) return nullptr;
    if (uCmd == GW_CHILD) return window->children.empty() ? nullptr : window->children.front()->Handle();
    if (uCmd == GW_OWNER) return window->owner;
    if (!window->parent) return nullptr;
    const auto& siblings = window->parent->children;
    const size_t self = std::find(siblings.begin(), siblings.end(), window) - siblings.begin();
    switch (uCmd) {
    case GW_HWNDFIRST: return siblings.front()->Handle();
    case GW_HWNDLAST: return siblings.back()->Handle();
    case GW_HWNDNEXT: return self + 1 < siblings.size() ? siblings[self + 1]->Handle() : nullptr;
    case GW_HWNDPREV: return self > 0 ? siblings[self - 1]->Handle() : nullptr;
    default: return nullptr;
    }
}

LONG_PTR WindowLong(HWND hWnd, int nIndex)
{
    Window* window = Windows().Find(hWnd);
    if (!window) return 0;
    switch (nIndex) {
    case GWL_STYLE: return static_cast<LONG>(window->style);
    case GWL_EXSTYLE: return static_cast<LONG>(window->exStyle);
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(window->proc);
    case GWLP_HINSTANCE: return reinterpret_cast<LONG_PTR>(window->instance);
    case GWLP_ID: return window->id;
    case GWLP_USERDATA: return window->userData;
    case DWLP_MSGRESULT: return window->msgResult;
    case DWLP_DLGPROC: return reinterpret_cast<LONG_PTR>(window->dialogProc);
    case DWLP_USER: return window->dialogUser;
    default: SetLastError(ERROR_INVALID_PARAMETER); return 0;
    }
}

LONG_PTR SetWindowLong(HWND hWnd, int nIndex, LONG_PTR dwNewLong)
{
    Window* window = Windows().Find(hWnd);
    if (!window) return 0;
    const LONG_PTR previous = WindowLong(hWnd, nIndex);
    switch (nIndex) {
    case GWL_STYLE: window->style = static_cast<DWORD>(dwNewLong); break;
    case GWL_EXSTYLE: window->exStyle = static_cast<DWORD>(dwNewLong); break;
    case GWLP_WNDPROC: window->proc = reinterpret_cast<WNDPROC>(dwNewLong); break;
    case GWLP_ID: window->id = static_cast<int>(dwNewLong); break;
    case GWLP_USERDATA: window->userData = dwNewLong; break;
    case DWLP_MSGRESULT: window->msgResult = dwNewLong; break;
    case DWLP_DLGPROC: window->dialogProc = reinterpret_cast<DLGPROC>(dwNewLong); break;
    case DWLP_USER: window->dialogUser = dwNewLong; break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return 0;
    }
    return previous;
}

BOOL Enable(HWND hWnd, BOOL bEnable)
{
    Window* window = Windows().Find(hWnd);
    if (!window) return FALSE;
    const BOOL wasDisabled = !window->enabled;
    window->enabled = bEnable != FALSE;
    if (bEnable) window->style &= ~WS_DISABLED;
    else window->style |= WS_DISABLED;
    if (wasDisabled == !bEnable) return wasDisabled;
    SendMessageW(hWnd, WM_ENABLE, bEnable, 0);
    return wasDisabled;
}

BOOL Show(HWND hWnd, int nCmdShow)
{
    Window* window = Windows().Find(hWnd);
    if (!window) return FALSE;
    const BOOL wasVisible = window->visible;
    window->visible = nCmdShow != SW_HIDE;
    if (nCmdShow != SW_HIDE) window->minimized = nCmdShow == SW_MINIMIZE;
    if (window->visible) window->style |= WS_VISIBLE;
    else window->style &= ~WS_VISIBLE;
    return wasVisible;
}

BOOL Visible(HWND hWnd)
{
    Window* window = Windows().Find(hWnd);
    if (!window) return FALSE;
    for (Window* w = window; w; w = w->parent)
        if (!w->visible) return FALSE;
    return TRUE;
}

}  // namespace

extern "C" HWND GetWindow(HWND hWnd, UINT uCmd)
{
    return emu::ui::OnOwner(hWnd, [&] { return LinkedWindow(hWnd, uCmd); });
}

extern "C" LONG_PTR GetWindowLongPtrW(HWND hWnd, int nIndex)
{
    return emu::ui::OnOwner(hWnd, [&] { return WindowLong(hWnd, nIndex); });
}

extern "C" LONG_PTR SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong)
{
    return emu::ui::OnOwner(hWnd, [&] { return SetWindowLong(hWnd, nIndex, dwNewLong); });
}

extern "C" LONG GetWindowLongW(HWND hWnd, int nIndex) { return static_cast<LONG>(GetWindowLongPtrW(hWnd, nIndex)); }

extern "C" LONG SetWindowLongW(HWND hWnd, int nIndex, LONG dwNewLong)
{
    return static_cast<LONG>(SetWindowLongPtrW(hWnd, nIndex, dwNewLong));
}

extern "C" int GetClassNameW(HWND hWnd, LPWSTR lpClassName, int nMaxCount)
{
    return emu::ui::OnOwner(hWnd, [&] {
        Window* window = Windows().Find(hWnd);
        return window ? CopyText(window->className, lpClassName, nMaxCount) : 0;
    });
}

extern "C" BOOL EnableWindow(HWND hWnd, BOOL bEnable)
{
    return emu::ui::OnOwner(hWnd, [&] { return Enable(hWnd, bEnable); });
}

extern "C" BOOL IsWindowEnabled(HWND hWnd)
{
    return emu::ui::OnOwner(hWnd, [&]() -> BOOL {
        Window* window = Windows().Find(hWnd);
        return window && window->enabled;
    });
}

extern "C" BOOL ShowWindow(HWND hWnd, int nCmdShow)
{
    return emu::ui::OnOwner(hWnd, [&] { return Show(hWnd, nCmdShow); });
}

extern "C" BOOL IsIconic(HWND hWnd)
{
    return emu::ui::OnOwner(hWnd, [&]() -> BOOL {
        Window* window = Windows().Find(hWnd);
        return window && window->minimized;
    });
}

extern "C" BOOL IsWindowVisible(HWND hWnd)
{
    return emu::ui::OnOwner(hWnd, [&] { return Visible(hWnd); });
}

extern "C" HWND SetFocus(HWND hWnd)
{
    emu::ui::WindowTable& table = Windows();
    HWND previous = table.focus;
    if (hWnd && !table.Find(hWnd)) return nullptr;
    table.focus = hWnd;
    return previous;
}

extern "C" HWND GetFocus(void) { return Windows().focus; }
extern "C" HWND GetActiveWindow(void) { return Windows().active; }
extern "C" BOOL InvalidateRect(HWND hWnd, const RECT* lpRect, BOOL bErase) { return IsWindow(hWnd); }

extern "C" BOOL SetWindowTextW(HWND hWnd, LPCWSTR lpString)
{
    return SendMessageW(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString ? lpString : u"")) != 0;
}

extern "C" int GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount)
{
    if (!lpString || nMaxCount <= 0) return 0;
    lpString[0] = 0;
    return static_cast<int>(SendMessageW(hWnd, WM_GETTEXT, nMaxCount, reinterpret_cast<LPARAM>(lpString)));
}

extern "C" int GetWindowTextLengthW(HWND hWnd) { return static_cast<int>(SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0)); }

extern "C" LRESULT CallWindowProcW(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return lpPrevWndFunc ? lpPrevWndFunc(hWnd, Msg, wParam, lParam) : 0;
}

extern "C" LRESULT SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return emu::ui::OnOwnerThread(hWnd, [&]() -> LRESULT {
        Window* window = Windows().Find(hWnd);
        return window ? CallWindowProcW(window->proc, hWnd, Msg, wParam, lParam) : 0;
    });
}

extern "C" BOOL PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<emu::ui::ThreadQueue> owner = Windows().QueueOf(hWnd);
    if (!owner) return FALSE;
    owner->Post({hWnd, Msg, wParam, lParam});
    return TRUE;
}

extern "C" LRESULT DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    Window* window = Windows().Find(hWnd);
    if (!window) return 0;
    switch (Msg) {
    case WM_SETTEXT:
        window->text = lParam ? reinterpret_cast<LPCWSTR>(lParam) : u"";
        return TRUE;
    case WM_GETTEXT:
        return CopyText(window->text, reinterpret_cast<LPWSTR>(lParam), static_cast<int>(wParam));
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(window->text.size());
    case WM_SETFONT: window->font = reinterpret_cast<HFONT>(wParam); return 0;
    case WM_GETFONT: return reinterpret_cast<LRESULT>(window->font);
    case WM_SYSCOMMAND:
        // The Close command of the system menu closes the window unless it was deleted.
        if ((wParam & 0xFFF0) == SC_CLOSE && !window->closeRemoved) return SendMessageW(hWnd, WM_CLOSE, 0, 0);
        return 0;
    case WM_HELP:
        // Help climbs to the parent of a child window.
        if (window->parent && (window->style & WS_CHILD)) return SendMessageW(window->parent->Handle(), Msg, wParam, lParam);
        return 0;
    default:
        return 0;
    }
}

// The system menu is the window's own: its handle is the window's, and deleting Close from it
// takes the Close command away.
extern "C" HMENU GetSystemMenu(HWND hWnd, BOOL bRevert)
{
    return emu::ui::OnOwner(hWnd, [&]() -> HMENU {
        Window* window = Windows().Find(hWnd);
        if (!window) return nullptr;
        if (bRevert) window->closeRemoved = false;
        return bRevert ? nullptr : reinterpret_cast<HMENU>(hWnd);
    });
}

extern "C" BOOL DeleteMenu(HMENU hMenu, UINT uPosition, UINT uFlags)
{
    HWND hWnd = reinterpret_cast<HWND>(hMenu);
    return emu::ui::OnOwner(hWnd, [&]() -> BOOL {
        Window* window = Windows().Find(hWnd);
        if (!window || (uFlags & MF_BYPOSITION) || uPosition != SC_CLOSE || window->closeRemoved) return FALSE;
        window->closeRemoved = true;
        return TRUE;
    });
}

extern "C" BOOL RemoveMenu(HMENU hMenu, UINT uPosition, UINT uFlags) { return DeleteMenu(hMenu, uPosition, uFlags); }

// A top-level window by class and caption (either null for any), looked at on its own thread.
extern "C" HWND FindWindowW(LPCWSTR lpClassName, LPCWSTR lpWindowName)
{
    for (Window* candidate : Windows().All()) {
        HWND handle = candidate->Handle();
        const bool matches = emu::ui::OnOwner(handle, [&] {
            Window* window = Windows().Find(handle);
            return window && !window->parent && (!lpClassName || window->className == lpClassName) &&
                   (!lpWindowName || window->text == lpWindowName);
        });
        if (matches) return handle;
    }
    return nullptr;
}
