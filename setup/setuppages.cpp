#include "setuppages.h"

#include "setupresources.h"
#include "vexilusbinstaller.h"
#include "vexilusbinstalldata.h"
#include "vexilusbinstalloperation.h"

namespace setup {
namespace {

const WCHAR DETECTING[] = u"Please wait while detecting previous installations.....";
const WCHAR DETECTED[] =
    u"Setup detected a previous installation. Setup will uninstall the existing installation and re-install current "
    u"version from fresh.";

CString LoadText(UINT nID)
{
    CString strText;
    strText.LoadString(nID);
    return strText;
}

}  // namespace

// The page's text, and its title control in the title font with that text.
static void InitTitle(CPropertyPage& page, CFont& font, int nTitleID, UINT nTextID)
{
    page.SetWindowText(LoadText(IDS_PAGE_TEXT));
    CreateTitleFont(font);
    page.GetDlgItem(nTitleID)->SetFont(&font);
    page.SetDlgItemText(nTitleID, LoadText(nTextID));
}

void CreateTitleFont(CFont& font)
{
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(NONCLIENTMETRICSW);
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(NONCLIENTMETRICSW), &metrics, 0);
    LOGFONTW logFont = metrics.lfMessageFont;
    const CString strFace(u"Verdana Bold");
    for (int i = 0; i <= strFace.GetLength(); ++i) logFont.lfFaceName[i] = i < strFace.GetLength() ? strFace[i] : u'\0';
    logFont.lfWeight = FW_BOLD;
    HDC hDC = GetDC(nullptr);
    logFont.lfHeight = -(8 * GetDeviceCaps(hDC, LOGPIXELSY)) / 72;
    ReleaseDC(nullptr, hDC);
    font.CreateFontIndirect(&logFont);
}

// ---- CWorkerPage ---------------------------------------------------------------------------------

CWorkerPage::~CWorkerPage()
{
    if (!m_pWorker) return;
    WaitForSingleObject(m_pWorker->m_hThread, INFINITE);
    delete m_pWorker;
}

BOOL CWorkerPage::IsWorkerRunning() const
{
    return m_pWorker && WaitForSingleObject(m_pWorker->m_hThread, 0) == WAIT_TIMEOUT;
}

BOOL CWorkerPage::OnQueryCancel() { return !IsWorkerRunning(); }

void CWorkerPage::StartWorker(AFX_THREADPROC pfnProc)
{
    if (m_pWorker) {
        WaitForSingleObject(m_pWorker->m_hThread, INFINITE);
        delete m_pWorker;
    }
    m_pWorker = AfxBeginThread(pfnProc, this, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    if (!m_pWorker) return;
    m_pWorker->m_bAutoDelete = FALSE;
    m_pWorker->ResumeThread();
}

// ---- CTfIntroPage --------------------------------------------------------------------------------

CTfIntroPage::CTfIntroPage(CVexilUSBInstallData* pData)
    : CWorkerPage(104, 0, 104, 105, PROPSHEETPAGEW_V2_SIZE), m_pData(pData)
{
    m_psp.dwFlags |= PSP_HIDEHEADER;
}

BOOL CTfIntroPage::OnInitDialog()
{
    CWorkerPage::OnInitDialog();
    InitTitle(*this, m_TitleFont, 1000, IDS_PRODUCT_INSTALLATION);
    SetDlgItemText(1001, LoadText(IDS_INTRO_MESSAGE));
    SetDlgItemText(1002, LoadText(IDS_INTRO_HINT));
    GetDlgItem(1002)->ShowWindow(SW_HIDE);
    m_bDetected = FALSE;
    return TRUE;
}

BOOL CTfIntroPage::OnSetActive()
{
    CWnd* pSheet = GetParent();
    pSheet->PostMessage(PSM_SETWIZBUTTONS, 0, PSWIZB_DISABLEDFINISH);
    pSheet->GetDlgItem(IDHELP)->ShowWindow(SW_HIDE);
    pSheet->GetDlgItem(IDCANCEL)->EnableWindow(FALSE);
    SetDlgItemText(1026, DETECTING);
    m_bDetecting = true;
    StartWorker(DetectThreadProc);
    return CWorkerPage::OnSetActive();
}

LRESULT CTfIntroPage::OnWizardNext() { return m_bDetecting ? -1 : CWorkerPage::OnWizardNext(); }

UINT CTfIntroPage::DetectThreadProc(LPVOID pParam)
{
    auto* pPage = static_cast<CTfIntroPage*>(pParam);
    pPage->m_bDetected = CVexilUSBInstallOperation().DetectPreviousInstallation(pPage->m_pData);
    if (pPage->m_bDetected) {
        pPage->SetDlgItemText(1026, DETECTED);
        pPage->GetDlgItem(1027)->ShowWindow(SW_SHOW);
    } else {
        pPage->SetDlgItemText(1026, u"");
    }
    CWnd* pSheet = pPage->GetParent();
    pSheet->GetDlgItem(IDCANCEL)->EnableWindow(TRUE);
    pPage->GetDlgItem(1002)->ShowWindow(SW_SHOW);
    pPage->m_bDetecting = false;
    pSheet->PostMessage(PSM_SETWIZBUTTONS, 0, PSWIZB_NEXT);
    return 0;
}

// ---- CVexilUSBInstallPage ------------------------------------------------------------------------

CVexilUSBInstallPage::CVexilUSBInstallPage(CVexilUSBInstallData* pData, BOOL bSilent)
    : CWorkerPage(108, 0, 108, 109, PROPSHEETPAGEW_V2_SIZE), m_bSilent(bSilent), m_pData(pData)
{
}

void CVexilUSBInstallPage::DoDataExchange(CDataExchange* pDX)
{
    CWorkerPage::DoDataExchange(pDX);
    DDX_Control(pDX, 1025, m_Animation);
}

BOOL CVexilUSBInstallPage::OnInitDialog()
{
    CWorkerPage::OnInitDialog();
    SetWindowText(LoadText(IDS_PAGE_TEXT));
    return TRUE;
}

BOOL CVexilUSBInstallPage::OnSetActive()
{
    CWnd* pSheet = GetParent();
    pSheet->PostMessage(PSM_SETWIZBUTTONS, 0, PSWIZB_DISABLEDFINISH);
    pSheet->GetSystemMenu(FALSE)->DeleteMenu(SC_CLOSE, MF_BYCOMMAND);
    pSheet->GetDlgItem(IDCANCEL)->EnableWindow(FALSE);
    StartWorker(InstallThreadProc);
    return CWorkerPage::OnSetActive();
}

UINT CVexilUSBInstallPage::InstallThreadProc(LPVOID pParam)
{
    auto* pPage = static_cast<CVexilUSBInstallPage*>(pParam);
    CVexilUSBInstaller installer(pPage->m_pData, pPage->m_bSilent);
    if (!pPage->m_bSilent)
        installer.SetWindows(pPage->m_hWnd, pPage->GetParent()->GetSafeHwnd(), pPage->m_Animation.GetSafeHwnd());
    installer.Run();
    pPage->m_dwCopyError = installer.CopyError();
    return 0;
}

BOOL CVexilUSBInstallPage::RunInstall()
{
    InstallThreadProc(this);
    return TRUE;
}

// ---- CTfFinishPage -------------------------------------------------------------------------------

CTfFinishPage::CTfFinishPage(CVexilUSBInstallData* pData)
    : CPropertyPage(109, 0, 110, 111, PROPSHEETPAGEW_V2_SIZE), m_pData(pData)
{
    m_psp.dwFlags |= PSP_HIDEHEADER;
}

BOOL CTfFinishPage::OnInitDialog()
{
    CPropertyPage::OnInitDialog();
    InitTitle(*this, m_TitleFont, 1015, IDS_FINISH_TITLE);
    SetDlgItemText(1018, u"");
    SetDlgItemText(1017, LoadText(IDS_FINISH_CLOSE));
    SetDlgItemText(1016, LoadText(IDS_FINISH_RESULT));
    return TRUE;
}

BOOL CTfFinishPage::OnSetActive()
{
    if (!m_pData->m_bInstalled) {
        SetDlgItemText(1015, m_pData->m_strResultTitle);
        SetDlgItemText(1016, m_pData->m_strResultDetail);
    }
    GetParent()->PostMessage(PSM_SETWIZBUTTONS, 0, PSWIZB_FINISH);
    return CPropertyPage::OnSetActive();
}

}  // namespace setup
