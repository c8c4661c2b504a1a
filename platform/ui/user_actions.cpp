// The user's actions on controls, carried out as the controls would on Windows.
#include <algorithm>
#include <thread>

#include "rtl/rtl_text.h"
#include "ui_control.h"
#include "window.h"

namespace emu::ui {

void Click(HWND window)
{
    Window* target = Windows().Find(window);
    if (!target) return;
    if (EqualNoCase(target->className, u"Button")) {
        SendMessageW(window, BM_CLICK, 0, 0);
        return;
    }
    // Any other window gets the mouse's press and release.
    if (!target->enabled) return;
    SendMessageW(window, WM_LBUTTONDOWN, 0, 0);
    SendMessageW(window, WM_LBUTTONUP, 0, 0);
}

void SelectComboItem(HWND comboBox, int index)
{
    Window* window = Windows().Find(comboBox);
    if (!window || !window->enabled) return;
    SendMessageW(comboBox, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    NotifyParent(window, CBN_SELCHANGE);
}

void TypeText(HWND editOrComboBox, std::u16string_view text)
{
    Window* window = Windows().Find(editOrComboBox);
    if (window && window->control.edit) window = Windows().Find(window->control.edit);
    if (!window || !window->enabled) return;
    std::u16string typed;
    for (WCHAR c : text)
        if (!(window->style & ES_NUMBER) || (c >= u'0' && c <= u'9')) typed.push_back(c);
    SendMessageW(window->Handle(), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(typed.c_str()));
    NotifyParent(window, EN_CHANGE);
}

void MoveTrackBar(HWND trackBar, int position)
{
    Window* window = Windows().Find(trackBar);
    if (!window || !window->enabled) return;
    SendMessageW(trackBar, TBM_SETPOS, TRUE, position);
    const int pos = static_cast<int>(SendMessageW(trackBar, TBM_GETPOS, 0, 0));
    if (!window->parent) return;
    const HWND parent = window->parent->Handle();
    SendMessageW(parent, WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, pos), reinterpret_cast<LPARAM>(trackBar));
    SendMessageW(parent, WM_HSCROLL, MAKEWPARAM(TB_ENDTRACK, 0), reinterpret_cast<LPARAM>(trackBar));
}

void ContextHelp(HWND control)
{
    Window* window = Windows().Find(control);
    if (!window) return;
    HELPINFO info{sizeof(HELPINFO), HELPINFO_WINDOW, window->id, control, 0, {0, 0}};
    SendMessageW(control, WM_HELP, 0, reinterpret_cast<LPARAM>(&info));
}

namespace {

// The tool tip that has this window as a tool, with the tool.
Window* ToolTipOf(HWND tool, ToolTipTool& found)
{
    for (Window* window : Windows().All()) {
        if (window->proc != ToolTipProcedure && window->className != u"tooltips_class32") continue;
        for (const ToolTipTool& candidate : window->control.tools)
            if ((candidate.flags & TTF_IDISHWND) && candidate.id == reinterpret_cast<UINT_PTR>(tool)) {
                found = candidate;
                return window;
            }
    }
    return nullptr;
}

std::u16string TextOf(const NMTTDISPINFOW& info)
{
    if (info.lpszText && !IS_INTRESOURCE(info.lpszText) && info.lpszText != LPSTR_TEXTCALLBACKW) return info.lpszText;
    if (info.lpszText && IS_INTRESOURCE(info.lpszText)) {
        WCHAR text[1024];
        LoadStringW(info.hinst, static_cast<UINT>(reinterpret_cast<ULONG_PTR>(info.lpszText)), text, 1024);
        return text;
    }
    return info.szText;
}

}  // namespace

ToolTipShown Hover(HWND tool)
{
    ToolTipTool entry;
    Window* tip = ToolTipOf(tool, entry);
    ToolTipShown shown;
    if (!tip || !tip->control.active) return shown;
    std::u16string text = entry.text;
    if (entry.callback) {
        NMTTDISPINFOW info{};
        info.hdr.hwndFrom = tip->Handle();
        info.hdr.idFrom = entry.id;
        info.hdr.code = TTN_GETDISPINFOW;
        SendMessageW(entry.owner, WM_NOTIFY, entry.id, reinterpret_cast<LPARAM>(&info));
        if (!(tip = Windows().Find(info.hdr.hwndFrom))) return shown;
        text = TextOf(info);
    }
    shown.shown = !text.empty();
    shown.text = text;
    shown.title = tip->control.title;
    shown.icon = tip->control.icon;
    return shown;
}

size_t DispatchPostedMessages()
{
    size_t count = 0;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        DispatchMessageW(&message);
        ++count;
    }
    return count;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void CloseWithSystemMenu(HWND window) { SendMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0); }

size_t LiveWindows() { return Windows().LiveCount(); }

}  // namespace emu::ui
