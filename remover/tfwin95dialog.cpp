#include "tfwin95dialog.h"

#include "resource.h"
#include "wizardsteps.h"

BEGIN_MESSAGE_MAP(CTfWin95Dialog, CDialog)
ON_BN_CLICKED(IDC_WIN95_UNINSTALL, OnUninstall)
ON_BN_CLICKED(IDC_WIN95_FINISH, OnFinish)
ON_WM_DESTROY()
END_MESSAGE_MAP()

CTfWin95Dialog::CTfWin95Dialog(CWnd* pParent) : CDialog(IDD_WIN95, pParent) {}

CTfWin95Dialog::~CTfWin95Dialog()
{
    m_worker.Wait();
    delete m_pOperation;
}

void CTfWin95Dialog::DoDataExchange(CDataExchange* pDX)
{
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_WIN95_MESSAGE, m_message);
    DDX_Control(pDX, IDC_WIN95_STEP, m_stepProgress);
    DDX_Control(pDX, IDC_WIN95_OVERALL, m_overallProgress);
    DDX_Control(pDX, IDC_WIN95_STATUS, m_status);
    DDX_Control(pDX, IDC_WIN95_UNINSTALL, m_uninstallButton);
    DDX_Control(pDX, IDC_OVERALL_LABEL, m_label);
    DDX_Control(pDX, IDC_WIN95_CONTINUE, m_continue);
}

BOOL CTfWin95Dialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    m_message.SetWindowText(LoadResourceString(IDS_WIN95_MESSAGE));
    if (CreateTitleFont(m_titleFont)) m_message.SetFont(&m_titleFont);
    m_pOperation = CreateWin9xUninstallOperation();
    // Without an operation there is nothing to remove.
    if (!m_pOperation) m_uninstallButton.EnableWindow(FALSE);
    return TRUE;
}

void CTfWin95Dialog::OnUninstall()
{
    if (!m_pOperation || m_worker.IsRunning()) return;
    m_uninstallButton.EnableWindow(FALSE);
    if (!m_worker.Start(UninstallThreadProc, this)) m_uninstallButton.EnableWindow(TRUE);
}

UINT CTfWin95Dialog::UninstallThreadProc(LPVOID pParam)
{
    auto* dialog = static_cast<CTfWin95Dialog*>(pParam);
    if (dialog->Uninstall()) {
        dialog->m_stepProgress.SetRange(0, 1);
        dialog->m_stepProgress.SetStep(1);
        dialog->m_uninstallButton.EnableWindow(FALSE);
        dialog->m_continue.EnableWindow(TRUE);
    } else {
        // A failed step leaves the dialog as it was, Uninstall included.
        dialog->m_uninstallButton.EnableWindow(TRUE);
    }
    return 0;
}

bool CTfWin95Dialog::Uninstall()
{
    m_overallProgress.SetRange(0, 6);
    m_overallProgress.SetStep(1);
    for (CWnd* shown : {static_cast<CWnd*>(&m_status), static_cast<CWnd*>(&m_stepProgress), static_cast<CWnd*>(&m_label),
                        static_cast<CWnd*>(&m_overallProgress)})
        shown->ShowWindow(SW_SHOW);
    const CTfStepControls controls{m_status, m_stepProgress, m_overallProgress, false};
    RunSearches(*m_pOperation, controls);
    return RunRemovals(*m_pOperation, controls);
}

void CTfWin95Dialog::OnFinish()
{
    // The worker uses the operation the dialog owns: Finish waits for it to end.
    if (m_worker.IsRunning()) return;
    if (m_pOperation && m_pOperation->IsRestartNeeded() == 1 &&
        AfxMessageBox(u"You need to reboot your machine to complete uninstallation.\nDo you want to reboot now?", MB_YESNO) ==
            IDYES) {
        CDialog::OnOK();
        Reboot();
    }
    CDialog::OnCancel();
}

void CTfWin95Dialog::OnDestroy()
{
    m_worker.Wait();
    CDialog::OnDestroy();
}

void CTfWin95Dialog::Reboot()
{
    if (!ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0)) AfxMessageBox(u"ExitWindowsEx");
}
