#include "tfintropage.h"

#include "resource.h"

CTfIntroPage::CTfIntroPage() : CTfWizardPage(IDD_INTRO, IDS_INTRO_HEADER, IDS_INTRO_SUBHEADER, TRUE) {}

void CTfIntroPage::DoDataExchange(CDataExchange* pDX)
{
    CTfWizardPage::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_INTRO_TITLE, m_title);
    DDX_Control(pDX, IDC_INTRO_TEXT, m_text);
    DDX_Control(pDX, IDC_INTRO_HINT, m_hint);
}

BOOL CTfIntroPage::OnInitDialog()
{
    CTfWizardPage::OnInitDialog();
    m_title.SetWindowText(LoadResourceString(IDS_INTRO_TITLE));
    if (CreateTitleFont(m_titleFont)) m_title.SetFont(&m_titleFont);
    m_text.SetWindowText(LoadResourceString(IDS_INTRO_TEXT));
    m_hint.SetWindowText(LoadResourceString(IDS_INTRO_HINT));
    HideInSilentMode();
    return TRUE;
}

BOOL CTfIntroPage::OnSetActive()
{
    SetWizardButtons(PSWIZB_NEXT);
    if (CWnd* help = GetSheet()->GetDlgItem(IDHELP)) help->ShowWindow(SW_HIDE);
    if (m_bSilent) {
        HideInSilentMode();
        m_worker.Start(AutoAdvanceThreadProc, this);
    }
    return CTfWizardPage::OnSetActive();
}

UINT CTfIntroPage::AutoAdvanceThreadProc(LPVOID pParam)
{
    auto* page = static_cast<CTfIntroPage*>(pParam);
    page->GetSheet()->SendMessage(PSM_PRESSBUTTON, PSBTN_NEXT, 0);
    return 0;
}
