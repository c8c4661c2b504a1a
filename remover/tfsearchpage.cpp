#include "tfsearchpage.h"

#include "resource.h"
#include "wizardsteps.h"

namespace {

const WCHAR kPortsBusy[] =
    u"The driver has NOT been removed.\r\n\r\nOne of the COM port is using by another program.\r\nPlease close the COM "
    u"Port and try again.";

}  // namespace

CTfSearchPage::CTfSearchPage() : CTfWizardPage(IDD_SEARCH, IDS_SEARCH_HEADER, IDS_SEARCH_SUBHEADER, FALSE) {}

void CTfSearchPage::DoDataExchange(CDataExchange* pDX)
{
    CTfWizardPage::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_SEARCH_STATUS, m_status);
    DDX_Control(pDX, IDC_OVERALL_LABEL, m_label);
    DDX_Control(pDX, IDC_SEARCH_STEP, m_stepProgress);
    DDX_Control(pDX, IDC_OVERALL, m_overallProgress);
}

BOOL CTfSearchPage::OnInitDialog()
{
    CTfWizardPage::OnInitDialog();
    m_label.SetWindowText(LoadResourceString(IDS_SEARCH_LABEL));
    HideInSilentMode();
    return TRUE;
}

BOOL CTfSearchPage::OnSetActive()
{
    SetWizardButtons(PSWIZB_DISABLEDFINISH);
    HideInSilentMode();
    m_bCancelled = false;
    m_worker.Start(SearchThreadProc, this);
    return CTfWizardPage::OnSetActive();
}

BOOL CTfSearchPage::OnQueryCancel()
{
    if (!m_worker.IsRunning()) return TRUE;
    m_bCancelled = true;
    return FALSE;
}

UINT CTfSearchPage::SearchThreadProc(LPVOID pParam)
{
    static_cast<CTfSearchPage*>(pParam)->Search();
    return 0;
}

void CTfSearchPage::Search()
{
    CPropertySheet* sheet = GetSheet();
    // Without an operation there is nothing to search for or remove.
    if (!m_pOperation) {
        sheet->EndDialog(IDCANCEL);
        return;
    }
    m_overallProgress.SetRange(0, 3);
    m_overallProgress.SetStep(1);
    RunSearches(*m_pOperation, {m_status, m_stepProgress, m_overallProgress, true});
    m_status.SetWindowText(LoadResourceString(IDS_SEARCH_FINISHED));
    if (m_bCancelled) {
        sheet->EndDialog(IDCANCEL);
        return;
    }
    if (m_pOperation->ArePortsFree()) {
        sheet->PostMessage(PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
        sheet->SendMessage(PSM_PRESSBUTTON, PSBTN_NEXT, 0);
        return;
    }
    MessageBox(kPortsBusy, u"Un-installation Error", MB_ICONHAND);
    sheet->EndDialog(0);
}
