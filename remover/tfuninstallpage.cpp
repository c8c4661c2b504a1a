#include "tfuninstallpage.h"

#include "resource.h"
#include "wizardsteps.h"

CTfUninstallPage::CTfUninstallPage() : CTfWizardPage(IDD_UNINSTALL, IDS_UNINSTALL_HEADER, IDS_UNINSTALL_SUBHEADER, FALSE) {}

void CTfUninstallPage::DoDataExchange(CDataExchange* pDX)
{
    CTfWizardPage::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_UNINSTALL_STATUS, m_status);
    DDX_Control(pDX, IDC_OVERALL_LABEL, m_label);
    DDX_Control(pDX, IDC_UNINSTALL_STEP, m_stepProgress);
    DDX_Control(pDX, IDC_OVERALL, m_overallProgress);
}

BOOL CTfUninstallPage::OnInitDialog()
{
    CTfWizardPage::OnInitDialog();
    m_label.SetWindowText(LoadResourceString(IDS_UNINSTALL_LABEL));
    return TRUE;
}

BOOL CTfUninstallPage::OnSetActive()
{
    SetWizardButtons(PSWIZB_DISABLEDFINISH);
    CPropertySheet* sheet = GetSheet();
    if (CMenu* menu = sheet->GetSystemMenu(FALSE)) menu->DeleteMenu(SC_CLOSE, MF_BYCOMMAND);
    if (CWnd* cancel = sheet->GetDlgItem(IDCANCEL)) cancel->EnableWindow(FALSE);
    HideInSilentMode();
    m_worker.Start(UninstallThreadProc, this);
    return CTfWizardPage::OnSetActive();
}

UINT CTfUninstallPage::UninstallThreadProc(LPVOID pParam)
{
    auto* page = static_cast<CTfUninstallPage*>(pParam);
    CPropertySheet* sheet = page->GetSheet();
    if (page->Uninstall()) {
        sheet->PostMessage(PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
        sheet->SendMessage(PSM_PRESSBUTTON, PSBTN_NEXT, 0);
        return 0;
    }
    // A failed removal ends the wizard without the finish page.
    sheet->m_nModalResult = ID_WIZFINISH;
    sheet->SendMessage(PSM_PRESSBUTTON, PSBTN_FINISH, 0);
    return 0;
}

bool CTfUninstallPage::Uninstall()
{
    if (!m_pOperation) return false;
    m_overallProgress.SetRange(0, 3);
    m_overallProgress.SetStep(1);
    return RunRemovals(*m_pOperation, {m_status, m_stepProgress, m_overallProgress, true});
}
