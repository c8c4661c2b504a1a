// WTL's control wrappers: combo boxes, buttons, edits, statics, track bars and tool tips.
#pragma once

#include <atlwin.h>
#include <commctrl.h>

namespace WTL {

using ATL::CStringW;
using ATL::CWindow;

class CComboBox : public CWindow {
public:
    CComboBox(HWND hWnd = nullptr) : CWindow(hWnd) {}
    CComboBox& operator=(HWND hWnd)
    {
        m_hWnd = hWnd;
        return *this;
    }
    int AddString(LPCWSTR text) { return (int)SendMessage(CB_ADDSTRING, 0, (LPARAM)text); }
    int InsertString(int index, LPCWSTR text) { return (int)SendMessage(CB_INSERTSTRING, index, (LPARAM)text); }
    int DeleteString(UINT index) { return (int)SendMessage(CB_DELETESTRING, index, 0); }
    void ResetContent() { SendMessage(CB_RESETCONTENT, 0, 0); }
    int GetCount() const { return (int)SendMessage(CB_GETCOUNT, 0, 0); }
    int GetCurSel() const { return (int)SendMessage(CB_GETCURSEL, 0, 0); }
    int SetCurSel(int index) { return (int)SendMessage(CB_SETCURSEL, index, 0); }
    DWORD_PTR GetItemData(int index) const { return (DWORD_PTR)SendMessage(CB_GETITEMDATA, index, 0); }
    int SetItemData(int index, DWORD_PTR data) { return (int)SendMessage(CB_SETITEMDATA, index, (LPARAM)data); }
    int GetLBTextLen(int index) const { return (int)SendMessage(CB_GETLBTEXTLEN, index, 0); }
    int GetLBText(int index, CStringW& text) const
    {
        const int length = GetLBTextLen(index);
        if (length < 0) return length;
        SendMessage(CB_GETLBTEXT, index, (LPARAM)text.GetBufferSetLength(length + 1));
        text.ReleaseBuffer(length);
        return length;
    }
    int FindStringExact(int start, LPCWSTR text) const { return (int)SendMessage(CB_FINDSTRINGEXACT, start, (LPARAM)text); }
    BOOL GetComboBoxInfo(PCOMBOBOXINFO info) const { return ::GetComboBoxInfo(m_hWnd, info); }
};

class CButton : public CWindow {
public:
    CButton(HWND hWnd = nullptr) : CWindow(hWnd) {}
    CButton& operator=(HWND hWnd)
    {
        m_hWnd = hWnd;
        return *this;
    }
    int GetCheck() const { return (int)SendMessage(BM_GETCHECK, 0, 0); }
    void SetCheck(int check) { SendMessage(BM_SETCHECK, check, 0); }
    void Click() { SendMessage(BM_CLICK, 0, 0); }
};

class CEdit : public CWindow {
public:
    CEdit(HWND hWnd = nullptr) : CWindow(hWnd) {}
    CEdit& operator=(HWND hWnd)
    {
        m_hWnd = hWnd;
        return *this;
    }
};

class CStatic : public CWindow {
public:
    CStatic(HWND hWnd = nullptr) : CWindow(hWnd) {}
    CStatic& operator=(HWND hWnd)
    {
        m_hWnd = hWnd;
        return *this;
    }
};

class CTrackBarCtrl : public CWindow {
public:
    CTrackBarCtrl(HWND hWnd = nullptr) : CWindow(hWnd) {}
    CTrackBarCtrl& operator=(HWND hWnd)
    {
        m_hWnd = hWnd;
        return *this;
    }
    int GetPos() const { return (int)SendMessage(TBM_GETPOS, 0, 0); }
    void SetPos(int pos) { SendMessage(TBM_SETPOS, TRUE, pos); }
    int GetRangeMin() const { return (int)SendMessage(TBM_GETRANGEMIN, 0, 0); }
    int GetRangeMax() const { return (int)SendMessage(TBM_GETRANGEMAX, 0, 0); }
    void SetRangeMin(int minimum, BOOL redraw = FALSE) { SendMessage(TBM_SETRANGEMIN, redraw, minimum); }
    void SetRangeMax(int maximum, BOOL redraw = FALSE) { SendMessage(TBM_SETRANGEMAX, redraw, maximum); }
    void SetRange(int minimum, int maximum, BOOL redraw = TRUE)
    {
        SetRangeMin(minimum, FALSE);
        SetRangeMax(maximum, redraw);
    }
};

class CToolTipCtrl : public CWindow {
public:
    CToolTipCtrl(HWND hWnd = nullptr) : CWindow(hWnd) {}
    HWND Create(HWND parent, DWORD style = 0)
    {
        m_hWnd = ::CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, style | WS_POPUP, CW_USEDEFAULT, CW_USEDEFAULT,
                                   CW_USEDEFAULT, CW_USEDEFAULT, parent, nullptr, nullptr, nullptr);
        return m_hWnd;
    }
    BOOL AddTool(TOOLINFOW* info) { return (BOOL)SendMessage(TTM_ADDTOOLW, 0, (LPARAM)info); }
    int SetMaxTipWidth(int width) { return (int)SendMessage(TTM_SETMAXTIPWIDTH, 0, width); }
    BOOL SetTitle(UINT icon, LPCWSTR title) { return (BOOL)SendMessage(TTM_SETTITLEW, icon, (LPARAM)title); }
    void SetDelayTime(DWORD which, int milliseconds) { SendMessage(TTM_SETDELAYTIME, which, MAKELPARAM(milliseconds, 0)); }
    void Activate(BOOL activate) { SendMessage(TTM_ACTIVATE, activate, 0); }
    int GetToolCount() const { return (int)SendMessage(TTM_GETTOOLCOUNT, 0, 0); }
};

}  // namespace WTL

#ifndef _WTL_NO_AUTOMATIC_NAMESPACE
using namespace WTL;
#endif
