#include "tfwizardpage.h"

#include "resource.h"

CTfWizardPage::CTfWizardPage(UINT nIDTemplate, UINT nIDHeaderTitle, UINT nIDHeaderSubTitle, BOOL bHideHeader)
    : CPropertyPage(nIDTemplate, 0, nIDHeaderTitle, nIDHeaderSubTitle, PROPSHEETPAGEW_V2_SIZE)
{
    if (bHideHeader) m_psp.dwFlags |= PSP_HIDEHEADER;
}

void CTfWizardPage::SetOperation(CTfUninstallOperation* pOperation, BOOL bSilent)
{
    m_pOperation = pOperation;
    m_bSilent = bSilent;
}

BOOL CTfWizardPage::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    SetWindowText(LoadResourceString(IDS_SHEET_TITLE));
    return TRUE;
}

void CTfWizardPage::HideInSilentMode()
{
    if (!m_bSilent) return;
    GetSheet()->ShowWindow(SW_HIDE);
    ShowWindow(SW_HIDE);
    ModifyStyleEx(WS_EX_APPWINDOW, 0);
}
