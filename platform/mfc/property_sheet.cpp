// CPropertySheet and CPropertyPage over the machine's property sheet: the sheet window is
// subclassed by the sheet object, and each page's dialog procedure routes to its page object.
#include <afxdlgs.h>

#include "property_sheet.h"

CPropertyPage::CPropertyPage(UINT nIDTemplate, UINT nIDCaption, UINT nIDHeaderTitle, UINT nIDHeaderSubTitle, DWORD dwSize)
    : CDialog(nIDTemplate)
{
    m_psp.dwSize = dwSize;
    m_psp.dwFlags = PSP_DEFAULT;
    m_psp.hInstance = AfxGetResourceHandle();
    m_psp.pszTemplate = MAKEINTRESOURCEW(nIDTemplate);
    m_psp.pfnDlgProc = AfxDlgProc;
    m_psp.lParam = reinterpret_cast<LPARAM>(this);
    if (nIDCaption) {
        m_psp.dwFlags |= PSP_USETITLE;
        m_psp.pszTitle = MAKEINTRESOURCEW(nIDCaption);
    }
    // The header texts are part of the record's second version only.
    if (dwSize < PROPSHEETPAGEW_V2_SIZE) return;
    if (nIDHeaderTitle && m_strHeaderTitle.LoadString(nIDHeaderTitle)) {
        m_psp.dwFlags |= PSP_USEHEADERTITLE;
        m_psp.pszHeaderTitle = m_strHeaderTitle;
    }
    if (nIDHeaderSubTitle && m_strHeaderSubTitle.LoadString(nIDHeaderSubTitle)) {
        m_psp.dwFlags |= PSP_USEHEADERSUBTITLE;
        m_psp.pszHeaderSubTitle = m_strHeaderSubTitle;
    }
}

BOOL CPropertyPage::OnSetActive()
{
    if (m_firstSetActive) m_firstSetActive = false;
    else UpdateData(FALSE);
    return TRUE;
}

BOOL CPropertyPage::OnKillActive() { return UpdateData(TRUE); }

BOOL CPropertyPage::OnNotify(WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    const auto* header = reinterpret_cast<const NMHDR*>(lParam);
    switch (header->code) {
    case PSN_SETACTIVE: *pResult = OnSetActive() ? 0 : -1; return TRUE;
    case PSN_KILLACTIVE: *pResult = !OnKillActive(); return TRUE;
    case PSN_APPLY: *pResult = OnApply() ? PSNRET_NOERROR : PSNRET_INVALID_NOCHANGEPAGE; return TRUE;
    case PSN_RESET: OnReset(); return TRUE;
    case PSN_QUERYCANCEL: *pResult = !OnQueryCancel(); return TRUE;
    case PSN_WIZNEXT: *pResult = OnWizardNext(); return TRUE;
    case PSN_WIZBACK: *pResult = OnWizardBack(); return TRUE;
    case PSN_WIZFINISH: *pResult = !OnWizardFinish(); return TRUE;
    default: return FALSE;
    }
}

CPropertySheet::CPropertySheet(UINT nIDCaption, CWnd* pParentWnd, UINT iSelectPage)
{
    m_strCaption.LoadString(nIDCaption);
    CommonConstruct(pParentWnd, iSelectPage);
}

CPropertySheet::CPropertySheet(LPCWSTR pszCaption, CWnd* pParentWnd, UINT iSelectPage) : m_strCaption(pszCaption)
{
    CommonConstruct(pParentWnd, iSelectPage);
}

CPropertySheet::CPropertySheet(UINT nIDCaption, CWnd* pParentWnd, UINT iSelectPage, HBITMAP hbmWatermark,
                               HPALETTE hpalWatermark, HBITMAP hbmHeader)
    : CPropertySheet(nIDCaption, pParentWnd, iSelectPage)
{
    SetWizardBitmaps(hbmWatermark, hpalWatermark, hbmHeader);
}

CPropertySheet::CPropertySheet(LPCWSTR pszCaption, CWnd* pParentWnd, UINT iSelectPage, HBITMAP hbmWatermark,
                               HPALETTE hpalWatermark, HBITMAP hbmHeader)
    : CPropertySheet(pszCaption, pParentWnd, iSelectPage)
{
    SetWizardBitmaps(hbmWatermark, hpalWatermark, hbmHeader);
}

void CPropertySheet::CommonConstruct(CWnd* pParentWnd, UINT iSelectPage)
{
    m_pParentWnd = pParentWnd;
    m_psh.dwSize = sizeof(PROPSHEETHEADERW);
    m_psh.dwFlags = PSH_PROPSHEETPAGE;
    m_psh.hInstance = AfxGetResourceHandle();
    m_psh.pszCaption = m_strCaption;
    m_psh.nStartPage = iSelectPage;
}

void CPropertySheet::SetWizardBitmaps(HBITMAP hbmWatermark, HPALETTE hpalWatermark, HBITMAP hbmHeader)
{
    if (hbmWatermark) {
        m_psh.dwFlags |= PSH_USEHBMWATERMARK;
        m_psh.hbmWatermark = hbmWatermark;
    }
    m_psh.hplWatermark = hpalWatermark;
    if (hbmHeader) {
        m_psh.dwFlags |= PSH_USEHBMHEADER;
        m_psh.hbmHeader = hbmHeader;
    }
}

void CPropertySheet::AddPage(CPropertyPage* pPage)
{
    if (pPage) m_pages.push_back(pPage);
}

void CPropertySheet::RemovePage(int nPage)
{
    if (nPage >= 0 && nPage < GetPageCount()) m_pages.erase(m_pages.begin() + nPage);
}

int CPropertySheet::GetPageIndex(CPropertyPage* pPage) const
{
    for (size_t index = 0; index < m_pages.size(); ++index)
        if (m_pages[index] == pPage) return static_cast<int>(index);
    return -1;
}

int CPropertySheet::GetActiveIndex() const
{
    return m_model ? m_model->ActivePage() : static_cast<int>(m_psh.nStartPage);
}

CPropertyPage* CPropertySheet::GetActivePage() const
{
    const int index = GetActiveIndex();
    return index >= 0 && index < GetPageCount() ? m_pages[index] : nullptr;
}

BOOL CPropertySheet::SetActivePage(int nPage)
{
    if (nPage < 0 || nPage >= GetPageCount()) return FALSE;
    if (!m_hWnd) {
        m_psh.nStartPage = nPage;
        return TRUE;
    }
    return static_cast<BOOL>(SendMessage(PSM_SETCURSEL, nPage, 0));
}

void CPropertySheet::SetTitle(LPCWSTR lpszText, UINT nStyle)
{
    m_strCaption = lpszText;
    m_psh.pszCaption = m_strCaption;
    if (m_hWnd) SendMessage(PSM_SETTITLEW, nStyle, reinterpret_cast<LPARAM>(lpszText));
}

void CPropertySheet::EndDialog(int nEndID)
{
    HWND window = m_hWnd;
    m_endedByProgram.store(true);
    EndModalLoop(nEndID);
    PostMessageW(window, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
}

BOOL CPropertySheet::ContinueModal() { return CWnd::ContinueModal() && m_model && m_model->IsOpen(); }

BOOL CPropertySheet::OnInitDialog() { return static_cast<BOOL>(Default()); }

INT_PTR CPropertySheet::DoModal()
{
    std::vector<HPROPSHEETPAGE> pages;
    for (CPropertyPage* page : m_pages) {
        HPROPSHEETPAGE handle = CreatePropertySheetPageW(&page->m_psp);
        if (!handle) {
            for (HPROPSHEETPAGE made : pages) DestroyPropertySheetPage(made);
            return -1;
        }
        pages.push_back(handle);
    }
    m_nModalResult = -1;
    m_endedByProgram.store(false);
    BeginModalState();
    emu::ui::PropertySheet sheet(std::move(pages), m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr,
                                 m_psh.pszCaption ? m_psh.pszCaption : u"", m_psh.dwFlags, m_psh.nStartPage);
    m_model = &sheet;
    SubclassWindow(sheet.Window());
    SendMessage(WM_INITDIALOG, 0, 0);
    RunModalLoop();
    int result = m_nModalResult;
    if (!m_endedByProgram.load()) {
        const int closed = sheet.IsOpen() ? IDCANCEL : sheet.Result();
        result = closed == ID_WIZFINISH || closed == IDOK ? closed : IDCANCEL;
    }
    // The pages made are destroyed in page order, then the sheet.
    sheet.End(result);
    m_model = nullptr;
    return result;
}
