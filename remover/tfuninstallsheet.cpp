#include "tfuninstallsheet.h"

#include "resource.h"
#include "uninstallutil.h"

CTfUninstallSheet::CTfUninstallSheet(UINT nIDCaption, CWnd* pParentWnd, UINT iSelectPage, HBITMAP hbmWatermark,
                                     HPALETTE hpalWatermark, HBITMAP hbmHeader, BOOL bSilent)
    : CPropertySheet(nIDCaption, pParentWnd, iSelectPage, hbmWatermark, hpalWatermark, hbmHeader),
      m_bSilent(bSilent ? 1 : 0)
{
    AddPage(&m_introPage);
    AddPage(&m_searchPage);
    if (!m_bSilent) AddPage(&m_confirmPage);
    AddPage(&m_uninstallPage);
    AddPage(&m_finishPage);
    m_psh.dwFlags |= PSH_WIZARD97 | PSH_HEADER | PSH_WATERMARK;
    m_pOperation = CUninstallUtil().IsWin98OrMe() ? CreateWin9xUninstallOperation() : CreateWin2kUninstallOperation();
    if (m_pOperation) m_pOperation->SetSilent(m_bSilent != 0);
    for (CTfWizardPage* page : std::initializer_list<CTfWizardPage*>{&m_introPage, &m_searchPage, &m_confirmPage,
                                                                      &m_uninstallPage, &m_finishPage})
        page->SetOperation(m_pOperation, m_bSilent);
}

CTfUninstallSheet::~CTfUninstallSheet()
{
    for (CTfWizardPage* page : std::initializer_list<CTfWizardPage*>{&m_introPage, &m_searchPage, &m_uninstallPage,
                                                                      &m_finishPage})
        page->WaitForWorker();
    delete m_pOperation;
}

BOOL CTfUninstallSheet::OnInitDialog()
{
    const BOOL result = CPropertySheet::OnInitDialog();
    SetTitle(LoadResourceString(IDS_SHEET_TITLE));
    if (m_bSilent) {
        ShowWindow(SW_MINIMIZE);
        ModifyStyleEx(WS_EX_APPWINDOW, 0);
    }
    return result;
}
