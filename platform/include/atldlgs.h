// WTL's property pages and sheets. A page object is its PROPSHEETPAGE (m_psp) and its window; its
// message map gets the page's messages, and the PSN_* notifications call its OnSetActive,
// OnKillActive, OnApply, OnReset and OnQueryCancel (a derived class hides the ones it handles).
// The page object must outlive its window; PSPCB_RELEASE calls OnPageRelease.
#pragma once

#include <atlwin.h>
#include <prsht.h>

#include <vector>

namespace WTL {

using ATL::CMessageMap;
using ATL::CWindow;

template <class T>
class CPropertyPageImpl : public CWindow, public CMessageMap {
public:
    PROPSHEETPAGEW m_psp{};

    explicit CPropertyPageImpl(LPCWSTR title = nullptr)
    {
        m_psp.dwSize = sizeof(PROPSHEETPAGEW);
        m_psp.dwFlags = PSP_USECALLBACK;
        m_psp.hInstance = ATL::_AtlBaseModule.GetResourceInstance();
        m_psp.pszTemplate = MAKEINTRESOURCEW(T::IDD);
        m_psp.pfnDlgProc = StartDialogProc;
        m_psp.pfnCallback = PropPageCallback;
        m_psp.lParam = reinterpret_cast<LPARAM>(this);
        if (title) SetTitle(title);
    }
    virtual ~CPropertyPageImpl() = default;

    operator PROPSHEETPAGEW*() { return &m_psp; }
    HPROPSHEETPAGE Create() { return ::CreatePropertySheetPageW(&m_psp); }
    void SetTitle(LPCWSTR title)
    {
        m_psp.pszTitle = title;
        m_psp.dwFlags |= PSP_USETITLE;
    }
    void SetModified(BOOL changed = TRUE)
    {
        ::SendMessageW(GetParent(), changed ? PSM_CHANGED : PSM_UNCHANGED, (WPARAM)m_hWnd, 0);
    }

    // Notification handlers: a derived class hides the ones it needs.
    BOOL OnSetActive() { return TRUE; }
    BOOL OnKillActive() { return FALSE; }  // FALSE lets the page be left
    int OnApply() { return PSNRET_NOERROR; }
    void OnReset() {}
    BOOL OnQueryCancel() { return TRUE; }  // TRUE lets the sheet close
    // The page is released (PSPCB_RELEASE); the page object may delete itself here.
    virtual void OnPageRelease() {}
    virtual void OnFinalMessage(HWND) {}

    BEGIN_MSG_MAP(CPropertyPageImpl)
    MESSAGE_HANDLER(WM_NOTIFY, OnNotify)
    END_MSG_MAP()

    LRESULT OnNotify(UINT, WPARAM, LPARAM lParam, BOOL& bHandled)
    {
        T* self = static_cast<T*>(this);
        switch (reinterpret_cast<LPNMHDR>(lParam)->code) {
        case PSN_SETACTIVE: return self->OnSetActive() ? 0 : -1;
        case PSN_KILLACTIVE: return self->OnKillActive();
        case PSN_APPLY: return self->OnApply();
        case PSN_RESET: self->OnReset(); return 0;
        case PSN_QUERYCANCEL: return !self->OnQueryCancel();
        default: bHandled = FALSE; return 0;
        }
    }

private:
    static INT_PTR CALLBACK StartDialogProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        auto* page = reinterpret_cast<CPropertyPageImpl*>(::GetWindowLongPtrW(hWnd, DWLP_USER));
        if (uMsg == WM_INITDIALOG) {
            page = reinterpret_cast<CPropertyPageImpl*>(reinterpret_cast<PROPSHEETPAGEW*>(lParam)->lParam);
            page->m_hWnd = hWnd;
            ::SetWindowLongPtrW(hWnd, DWLP_USER, reinterpret_cast<LONG_PTR>(page));
        }
        if (!page) return FALSE;
        LRESULT result = 0;
        const BOOL handled = static_cast<T*>(page)->ProcessWindowMessage(hWnd, uMsg, wParam, lParam, result, 0);
        if (uMsg == WM_NCDESTROY) {
            page->m_hWnd = nullptr;
            page->OnFinalMessage(hWnd);
            return FALSE;
        }
        if (!handled) return FALSE;
        if (uMsg == WM_INITDIALOG || (uMsg >= WM_CTLCOLORMSGBOX && uMsg <= WM_CTLCOLORSTATIC)) return (INT_PTR)result;
        ::SetWindowLongPtrW(hWnd, DWLP_MSGRESULT, result);
        return TRUE;
    }
    static UINT CALLBACK PropPageCallback(HWND, UINT uMsg, PROPSHEETPAGEW* ppsp)
    {
        if (uMsg == PSPCB_RELEASE) reinterpret_cast<CPropertyPageImpl*>(ppsp->lParam)->OnPageRelease();
        return 1;
    }
};

template <class T>
class CPropertySheetImpl : public CWindow {
public:
    PROPSHEETHEADERW m_psh{};
    std::vector<HPROPSHEETPAGE> m_arrPages;

    explicit CPropertySheetImpl(LPCWSTR title = nullptr, UINT startPage = 0, HWND parent = nullptr)
    {
        m_psh.dwSize = sizeof(PROPSHEETHEADERW);
        m_psh.hInstance = ATL::_AtlBaseModule.GetResourceInstance();
        m_psh.pszCaption = title;
        m_psh.nStartPage = startPage;
        m_psh.hwndParent = parent;
    }
    BOOL AddPage(HPROPSHEETPAGE page)
    {
        if (!page) return FALSE;
        m_arrPages.push_back(page);
        return TRUE;
    }
    BOOL AddPage(PROPSHEETPAGEW* page) { return AddPage(::CreatePropertySheetPageW(page)); }
    int GetPageCount() const { return static_cast<int>(m_arrPages.size()); }
    void SetTitle(LPCWSTR title, UINT style = 0)
    {
        m_psh.pszCaption = title;
        m_psh.dwFlags |= style;
    }
    INT_PTR DoModal(HWND parent = ::GetActiveWindow())
    {
        m_psh.hwndParent = parent;
        m_psh.dwFlags &= ~PSH_PROPSHEETPAGE;
        m_psh.nPages = static_cast<UINT>(m_arrPages.size());
        m_psh.phpage = m_arrPages.data();
        const INT_PTR result = ::PropertySheetW(&m_psh);
        m_arrPages.clear();  // the sheet released them
        return result;
    }
};

}  // namespace WTL

#ifndef _WTL_NO_AUTOMATIC_NAMESPACE
using namespace WTL;
#endif
