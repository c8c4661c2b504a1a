// WTL's hyperlink: a static text that opens its address with the shell when clicked.
#pragma once

#include <atlstr.h>
#include <atlwin.h>
#include <shellapi.h>

namespace WTL {

class CHyperLink : public ATL::CWindow {
public:
    CHyperLink() = default;
    CHyperLink(const CHyperLink&) = delete;
    CHyperLink& operator=(const CHyperLink&) = delete;
    ~CHyperLink()
    {
        if (IsWindow() && m_previous) ::SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_previous));
    }

    BOOL SubclassWindow(HWND hWnd)
    {
        m_hWnd = hWnd;
        m_previous = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Procedure)));
        ::SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        return m_previous != nullptr;
    }
    BOOL SetHyperLink(LPCWSTR address)
    {
        m_address = address;
        return TRUE;
    }
    BOOL Navigate()
    {
        const auto result = reinterpret_cast<ULONG_PTR>(::ShellExecuteW(nullptr, u"open", m_address, nullptr, nullptr, SW_SHOWNORMAL));
        return result > 32;
    }

private:
    static LRESULT CALLBACK Procedure(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        auto* link = reinterpret_cast<CHyperLink*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
        if (uMsg == WM_LBUTTONUP && link) link->Navigate();
        return ::CallWindowProcW(link ? link->m_previous : ::DefWindowProcW, hWnd, uMsg, wParam, lParam);
    }

    WNDPROC m_previous = nullptr;
    ATL::CStringW m_address;
};

}  // namespace WTL
