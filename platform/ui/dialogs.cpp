// Dialogs from the modules' templates, the dialog procedure's result rules, and the dialog-item
// calls.
#include <cstdio>
#include <string>

#include "resources.h"
#include "ui_control.h"
#include "window.h"

using emu::ui::Window;
using emu::ui::Windows;

namespace {

// Messages whose result is the dialog procedure's own return value, not DWLP_MSGRESULT.
bool ReturnsDirectly(UINT message)
{
    return message == WM_INITDIALOG || (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC);
}

// Windows' reading of a number in a dialog item: blanks, an optional '-' when signed, decimal
// digits, blanks; anything else, no digit, or a value out of range is not a number.
bool ParseNumber(const std::u16string& text, BOOL isSigned, UINT& value)
{
    size_t at = 0;
    while (at < text.size() && text[at] == u' ') ++at;
    bool negative = false;
    if (isSigned && at < text.size() && text[at] == u'-') {
        negative = true;
        ++at;
    }
    unsigned long long number = 0;
    size_t digits = 0;
    for (; at < text.size() && text[at] >= u'0' && text[at] <= u'9'; ++at, ++digits) {
        number = number * 10 + (text[at] - u'0');
        if (number > 0xFFFFFFFFull) return false;
    }
    while (at < text.size() && text[at] == u' ') ++at;
    if (!digits || at != text.size()) return false;
    if (isSigned && number > (negative ? 0x80000000ull : 0x7FFFFFFFull)) return false;
    value = static_cast<UINT>(negative ? (0u - static_cast<UINT>(number)) : static_cast<UINT>(number));
    return true;
}

}  // namespace

extern "C" HWND CreateDialogParamW(HINSTANCE hInstance, LPCWSTR lpTemplateName, HWND hWndParent, DLGPROC lpDialogFunc,
                                   LPARAM dwInitParam)
{
    const RESOURCE_DIALOG* dialog = emu::ui::FindDialog(hInstance, lpTemplateName);
    if (!dialog) {
        SetLastError(1812);  // ERROR_RESOURCE_DATA_NOT_FOUND
        return nullptr;
    }
    HWND handle = CreateWindowExW(0, u"#32770", dialog->caption, dialog->style, 0, 0, 0, 0, hWndParent, nullptr,
                                  hInstance, nullptr);
    if (!handle) return nullptr;
    Windows().Find(handle)->dialogProc = lpDialogFunc;
    Windows().Find(handle)->templateId = dialog->id;
    HWND first = nullptr;
    for (UINT index = 0; index < dialog->controlCount; ++index) {
        const RESOURCE_CONTROL& control = dialog->controls[index];
        HWND child = CreateWindowExW(0, control.className, control.text, control.style | WS_CHILD | WS_VISIBLE, 0, 0, 0, 0,
                                     handle, reinterpret_cast<HMENU>(static_cast<ULONG_PTR>(control.id)), hInstance,
                                     nullptr);
        if (!first && (control.style & WS_TABSTOP)) first = child;
    }
    if (SendMessageW(handle, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), dwInitParam) && first) SetFocus(first);
    return handle;
}

extern "C" LRESULT DefDlgProcW(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    Window* window = Windows().Find(hDlg);
    if (!window) return 0;
    if (window->dialogProc) {
        window->msgResult = 0;
        const INT_PTR handled = window->dialogProc(hDlg, Msg, wParam, lParam);
        if (ReturnsDirectly(Msg)) return handled;
        // The procedure may have destroyed its own window.
        if (handled) return (window = Windows().Find(hDlg)) ? window->msgResult : 0;
    }
    // A dialog's Close command is its Cancel button.
    if (Msg == WM_CLOSE) {
        SendMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDCANCEL)));
        return 0;
    }
    return DefWindowProcW(hDlg, Msg, wParam, lParam);
}

extern "C" HWND GetDlgItem(HWND hDlg, int nIDDlgItem)
{
    return emu::ui::OnOwner(hDlg, [&]() -> HWND {
        Window* window = Windows().Find(hDlg);
        if (!window) return nullptr;
        for (Window* child : window->children)
            if (child->id == nIDDlgItem) return child->Handle();
        SetLastError(1421);  // ERROR_CONTROL_ID_NOT_FOUND
        return nullptr;
    });
}

extern "C" int GetDlgCtrlID(HWND hWnd)
{
    return emu::ui::OnOwner(hWnd, [&] {
        Window* window = Windows().Find(hWnd);
        return window ? window->id : 0;
    });
}

extern "C" LRESULT SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item ? SendMessageW(item, Msg, wParam, lParam) : 0;
}

extern "C" BOOL SetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPCWSTR lpString)
{
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item && SetWindowTextW(item, lpString);
}

extern "C" UINT GetDlgItemTextW(HWND hDlg, int nIDDlgItem, LPWSTR lpString, int cchMax)
{
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    if (!item) {
        if (lpString && cchMax > 0) lpString[0] = 0;
        return 0;
    }
    return static_cast<UINT>(GetWindowTextW(item, lpString, cchMax));
}

extern "C" BOOL SetDlgItemInt(HWND hDlg, int nIDDlgItem, UINT uValue, BOOL bSigned)
{
    char text[16];
    std::snprintf(text, sizeof text, bSigned ? "%d" : "%u", uValue);
    std::u16string wide(text, text + std::char_traits<char>::length(text));
    return SetDlgItemTextW(hDlg, nIDDlgItem, wide.c_str());
}

extern "C" UINT GetDlgItemInt(HWND hDlg, int nIDDlgItem, BOOL* lpTranslated, BOOL bSigned)
{
    if (lpTranslated) *lpTranslated = FALSE;
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    if (!item) return 0;
    std::u16string text(static_cast<size_t>(GetWindowTextLengthW(item)) + 1, u'\0');
    text.resize(GetWindowTextW(item, text.data(), static_cast<int>(text.size())));
    UINT value = 0;
    if (!ParseNumber(text, bSigned, value)) return 0;
    if (lpTranslated) *lpTranslated = TRUE;
    return value;
}

extern "C" BOOL CheckDlgButton(HWND hDlg, int nIDButton, UINT uCheck)
{
    HWND item = GetDlgItem(hDlg, nIDButton);
    if (!item) return FALSE;
    SendMessageW(item, BM_SETCHECK, uCheck, 0);
    return TRUE;
}

extern "C" UINT IsDlgButtonChecked(HWND hDlg, int nIDButton)
{
    return static_cast<UINT>(SendDlgItemMessageW(hDlg, nIDButton, BM_GETCHECK, 0, 0));
}

extern "C" BOOL CheckRadioButton(HWND hDlg, int nIDFirstButton, int nIDLastButton, int nIDCheckButton)
{
    for (int id = nIDFirstButton; id <= nIDLastButton; ++id)
        if (HWND item = GetDlgItem(hDlg, id)) SendMessageW(item, BM_SETCHECK, id == nIDCheckButton, 0);
    return TRUE;
}

namespace emu::ui {

WORD DialogTemplateId(HWND dialog)
{
    return OnOwner(dialog, [&]() -> WORD {
        Window* window = Windows().Find(dialog);
        return window ? window->templateId : 0;
    });
}

}  // namespace emu::ui
