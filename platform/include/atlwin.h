// ATL's window wrapper and message maps: CWindow over a HWND, and the BEGIN_MSG_MAP family that
// routes a window's messages to its class's handlers.
#pragma once

#include <atlstr.h>
#include <winuser.h>

namespace ATL {

class CWindow {
public:
    HWND m_hWnd = nullptr;

    CWindow(HWND hWnd = nullptr) : m_hWnd(hWnd) {}
    CWindow& operator=(HWND hWnd)
    {
        m_hWnd = hWnd;
        return *this;
    }
    operator HWND() const { return m_hWnd; }
    void Attach(HWND hWnd) { m_hWnd = hWnd; }
    HWND Detach()
    {
        HWND hWnd = m_hWnd;
        m_hWnd = nullptr;
        return hWnd;
    }

    BOOL IsWindow() const { return ::IsWindow(m_hWnd); }
    HWND GetParent() const { return ::GetParent(m_hWnd); }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::SendMessageW(m_hWnd, message, wParam, lParam);
    }
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::PostMessageW(m_hWnd, message, wParam, lParam);
    }
    BOOL EnableWindow(BOOL enable = TRUE) const { return ::EnableWindow(m_hWnd, enable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL ShowWindow(int command) const { return ::ShowWindow(m_hWnd, command); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    HWND SetFocus() const { return ::SetFocus(m_hWnd); }
    BOOL DestroyWindow()
    {
        if (!::DestroyWindow(m_hWnd)) return FALSE;
        m_hWnd = nullptr;
        return TRUE;
    }
    BOOL SetWindowText(LPCWSTR text) const { return ::SetWindowTextW(m_hWnd, text); }
    int GetWindowTextLength() const { return ::GetWindowTextLengthW(m_hWnd); }
    BOOL GetWindowText(CStringW& text) const
    {
        const int length = GetWindowTextLength();
        ::GetWindowTextW(m_hWnd, text.GetBufferSetLength(length + 1), length + 1);
        text.ReleaseBuffer();
        return TRUE;
    }
    LONG GetWindowLong(int index) const { return ::GetWindowLongW(m_hWnd, index); }
    LONG SetWindowLong(int index, LONG value) const { return ::SetWindowLongW(m_hWnd, index, value); }
    LONG_PTR GetWindowLongPtr(int index) const { return ::GetWindowLongPtrW(m_hWnd, index); }
    LONG_PTR SetWindowLongPtr(int index, LONG_PTR value) const { return ::SetWindowLongPtrW(m_hWnd, index, value); }
    BOOL SetDlgItemText(int id, LPCWSTR text) const { return ::SetDlgItemTextW(m_hWnd, id, text); }
    BOOL SetDlgItemInt(int id, UINT value, BOOL isSigned = TRUE) const { return ::SetDlgItemInt(m_hWnd, id, value, isSigned); }
    UINT GetDlgItemInt(int id, BOOL* translated = nullptr, BOOL isSigned = TRUE) const
    {
        return ::GetDlgItemInt(m_hWnd, id, translated, isSigned);
    }
    BOOL CheckDlgButton(int id, UINT check) const { return ::CheckDlgButton(m_hWnd, id, check); }
    UINT IsDlgButtonChecked(int id) const { return ::IsDlgButtonChecked(m_hWnd, id); }
    BOOL CheckRadioButton(int first, int last, int check) const { return ::CheckRadioButton(m_hWnd, first, last, check); }
    int MessageBox(LPCWSTR text, LPCWSTR caption = nullptr, UINT type = MB_OK) const
    {
        return ::MessageBoxW(m_hWnd, text, caption, type);
    }
    BOOL Invalidate(BOOL erase = TRUE) const { return ::InvalidateRect(m_hWnd, nullptr, erase); }
};

// A window class's message map, chained to bases with CHAIN_MSG_MAP.
class CMessageMap {
public:
    virtual BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,
                                      DWORD dwMsgMapID = 0) = 0;

protected:
    ~CMessageMap() = default;
};

}  // namespace ATL

#define BEGIN_MSG_MAP(theClass)                                                                              \
public:                                                                                                      \
    BOOL ProcessWindowMessage(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult,          \
                              DWORD dwMsgMapID = 0) override                                                 \
    {                                                                                                        \
        BOOL bHandled = TRUE;                                                                                \
        (void)hWnd;                                                                                          \
        (void)bHandled;                                                                                      \
        switch (dwMsgMapID) {                                                                                \
        case 0:

#define MESSAGE_HANDLER(msg, func)                                                                           \
    if (uMsg == (msg)) {                                                                                     \
        bHandled = TRUE;                                                                                     \
        lResult = func(uMsg, wParam, lParam, bHandled);                                                      \
        if (bHandled) return TRUE;                                                                           \
    }

#define COMMAND_HANDLER(id, code, func)                                                                      \
    if (uMsg == WM_COMMAND && (id) == LOWORD(wParam) && (code) == HIWORD(wParam)) {                          \
        bHandled = TRUE;                                                                                     \
        lResult = func(HIWORD(wParam), LOWORD(wParam), (HWND)lParam, bHandled);                              \
        if (bHandled) return TRUE;                                                                           \
    }

#define COMMAND_ID_HANDLER(id, func)                                                                         \
    if (uMsg == WM_COMMAND && (id) == LOWORD(wParam)) {                                                      \
        bHandled = TRUE;                                                                                     \
        lResult = func(HIWORD(wParam), LOWORD(wParam), (HWND)lParam, bHandled);                              \
        if (bHandled) return TRUE;                                                                           \
    }

#define NOTIFY_CODE_HANDLER(cd, func)                                                                        \
    if (uMsg == WM_NOTIFY && (UINT)(cd) == ((LPNMHDR)lParam)->code) {                                        \
        bHandled = TRUE;                                                                                     \
        lResult = func((int)wParam, (LPNMHDR)lParam, bHandled);                                              \
        if (bHandled) return TRUE;                                                                           \
    }

#define CHAIN_MSG_MAP(theChainClass)                                                                         \
    if (theChainClass::ProcessWindowMessage(hWnd, uMsg, wParam, lParam, lResult)) return TRUE;

#define END_MSG_MAP()                                                                                        \
    break;                                                                                                   \
    default:                                                                                                 \
        break;                                                                                               \
        }                                                                                                    \
        return FALSE;                                                                                        \
    }
