#include "tffinishpage.h"

#include "resource.h"
#include "uninstallutil.h"

BEGIN_MESSAGE_MAP(CTfFinishPage, CTfWizardPage)
ON_WM_DESTROY()
END_MESSAGE_MAP()

CTfFinishPage::CTfFinishPage() : CTfWizardPage(IDD_FINISH, IDS_FINISH_HEADER, IDS_FINISH_SUBHEADER, TRUE) {}

void CTfFinishPage::DoDataExchange(CDataExchange* pDX)
{
    CTfWizardPage::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_FINISH_TITLE, m_title);
    DDX_Control(pDX, IDC_FINISH_TEXT, m_text);
    DDX_Control(pDX, IDC_FINISH_HINT, m_hint);
    DDX_Control(pDX, IDC_FINISH_SPARE, m_spare);
}

BOOL CTfFinishPage::OnInitDialog()
{
    CTfWizardPage::OnInitDialog();
    m_title.SetWindowText(LoadResourceString(IDS_COMPLETED));
    if (CreateTitleFont(m_titleFont)) m_title.SetFont(&m_titleFont);
    m_spare.SetWindowText(u"");
    m_hint.SetWindowText(LoadResourceString(IDS_FINISH_HINT));
    m_text.SetWindowText(LoadResourceString(IDS_FINISH_TEXT));
    return TRUE;
}

BOOL CTfFinishPage::OnSetActive()
{
    SetWizardButtons(PSWIZB_FINISH);
    if (m_bSilent) m_worker.Start(SilentFinishThreadProc, this);
    return CTfWizardPage::OnSetActive();
}

// The Finish press ends the wizard; the modal result is Finish's already.
UINT CTfFinishPage::SilentFinishThreadProc(LPVOID pParam)
{
    CPropertySheet* sheet = static_cast<CTfFinishPage*>(pParam)->GetSheet();
    sheet->m_nModalResult = ID_WIZFINISH;
    sheet->SendMessage(PSM_PRESSBUTTON, PSBTN_FINISH, 0);
    return 0;
}

BOOL CTfFinishPage::OnWizardFinish()
{
    if (m_pOperation) m_pOperation->DeleteUninstaller();
    return CTfWizardPage::OnWizardFinish();
}

void CTfFinishPage::OnDestroy()
{
    CTfWizardPage::OnDestroy();
    if (!m_pOperation || !m_pOperation->IsRestartNeeded()) return;
    if (MessageBox(LoadResourceString(IDS_RESTART_QUESTION), LoadResourceString(IDS_INTRO_HEADER),
                   MB_YESNO | MB_ICONQUESTION) == IDYES)
        RestartSystem();
}

void CTfFinishPage::RestartSystem()
{
    if (CUninstallUtil().IsWindows2000OrLater()) {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
            AfxMessageBox(u"OpenProcessToken");
        TOKEN_PRIVILEGES privileges{};
        LookupPrivilegeValueW(nullptr, u"SeShutdownPrivilege", &privileges.Privileges[0].Luid);
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        if (GetLastError() != ERROR_SUCCESS) AfxMessageBox(u"AdjustTokenPrivileges");
        if (token) CloseHandle(token);
    }
    if (!ExitWindowsEx(EWX_REBOOT | EWX_FORCE, 0)) AfxMessageBox(u"ExitWindowsEx");
}
