// MFC's property sheets and pages, in the Wizard97 style the wizards use. DoModal makes the sheet
// with its pages in the order they were added: each page is made when it is first activated
// (OnInitDialog once), OnSetActive runs at every activation, and the wizard's buttons call
// OnWizardNext, OnWizardBack and OnWizardFinish. When the sheet closes, the pages made are destroyed
// in page order, then the sheet. Workers drive the sheet with PSM_SETWIZBUTTONS (posted) and
// PSM_PRESSBUTTON (sent) and may end it with EndDialog.
#pragma once

#include <afxwin.h>

#include <vector>

namespace emu::ui {
class PropertySheet;
}

class CPropertySheet;

class CPropertyPage : public CDialog {
public:
    // dwSize: the page record's size (PROPSHEETPAGEW_V2_SIZE for Wizard97's header texts).
    explicit CPropertyPage(UINT nIDTemplate, UINT nIDCaption = 0, UINT nIDHeaderTitle = 0, UINT nIDHeaderSubTitle = 0,
                           DWORD dwSize = sizeof(PROPSHEETPAGEW));

    PROPSHEETPAGEW m_psp{};
    CString m_strHeaderTitle;
    CString m_strHeaderSubTitle;

    virtual BOOL OnSetActive();
    virtual BOOL OnKillActive();
    virtual BOOL OnApply() { return TRUE; }
    virtual void OnReset() {}
    virtual BOOL OnQueryCancel() { return TRUE; }
    virtual LRESULT OnWizardBack() { return 0; }
    virtual LRESULT OnWizardNext() { return 0; }
    virtual BOOL OnWizardFinish() { return TRUE; }
    void OnOK() override {}
    void OnCancel() override {}
    BOOL OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;
    INT_PTR DoModal() override { return -1; }

private:
    bool m_firstSetActive = true;
};

class CPropertySheet : public CWnd {
public:
    CPropertySheet() = default;
    explicit CPropertySheet(UINT nIDCaption, CWnd* pParentWnd = nullptr, UINT iSelectPage = 0);
    explicit CPropertySheet(LPCWSTR pszCaption, CWnd* pParentWnd = nullptr, UINT iSelectPage = 0);
    // Wizard97: the watermark and header bitmaps.
    CPropertySheet(UINT nIDCaption, CWnd* pParentWnd, UINT iSelectPage, HBITMAP hbmWatermark, HPALETTE hpalWatermark,
                   HBITMAP hbmHeader);
    CPropertySheet(LPCWSTR pszCaption, CWnd* pParentWnd, UINT iSelectPage, HBITMAP hbmWatermark,
                   HPALETTE hpalWatermark, HBITMAP hbmHeader);

    PROPSHEETHEADERW m_psh{};

    void AddPage(CPropertyPage* pPage);
    void RemovePage(int nPage);
    int GetPageCount() const { return static_cast<int>(m_pages.size()); }
    CPropertyPage* GetPage(int nPage) const { return m_pages.at(nPage); }
    int GetPageIndex(CPropertyPage* pPage) const;
    CPropertyPage* GetActivePage() const;
    int GetActiveIndex() const;
    BOOL SetActivePage(int nPage);
    BOOL SetActivePage(CPropertyPage* pPage) { return SetActivePage(GetPageIndex(pPage)); }
    void SetTitle(LPCWSTR lpszText, UINT nStyle = 0);
    void SetWizardMode() { m_psh.dwFlags |= PSH_WIZARD; }
    BOOL IsWizard() const { return (m_psh.dwFlags & (PSH_WIZARD | PSH_WIZARD97)) != 0; }
    void SetWizardButtons(DWORD dwFlags) { PostMessage(PSM_SETWIZBUTTONS, 0, dwFlags); }
    void PressButton(int nButton) { SendMessage(PSM_PRESSBUTTON, nButton, 0); }
    // Ends the modal loop with nEndID and presses Cancel (queued); callable from any thread.
    void EndDialog(int nEndID);

    virtual INT_PTR DoModal();
    BOOL OnInitDialog() override;
    BOOL ContinueModal() override;

private:
    void CommonConstruct(CWnd* pParentWnd, UINT iSelectPage);
    void SetWizardBitmaps(HBITMAP hbmWatermark, HPALETTE hpalWatermark, HBITMAP hbmHeader);
    std::vector<CPropertyPage*> m_pages;
    CString m_strCaption;
    CWnd* m_pParentWnd = nullptr;
    emu::ui::PropertySheet* m_model = nullptr;  // while the sheet is up
    std::atomic<bool> m_endedByProgram{false};
};
