#include "tfinstapp.h"

#include <commctrl.h>

#include <vector>

#include "cvcommandlineinfo.h"
#include "setupresources.h"
#include "setuppages.h"
#include "vexilusbinstallsheet.h"
#include "vexilusbinstalldata.h"

namespace {

const WCHAR USAGE_FORMAT[] =
    u"This setup application is for %s.\r\n\r\nUsage: \r\n\tSilent Installation -  setup.exe /s\r\n\tNormal "
    u"Installation -  setup.exe        \r\n";

// Whether the token's groups hold the built-in Administrators, in any state.
BOOL TokenHasAdministrators(HANDLE hToken)
{
    DWORD dwSize = 0;
    GetTokenInformation(hToken, TokenGroups, nullptr, 0, &dwSize);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || dwSize == 0) return FALSE;
    std::vector<BYTE> buffer(dwSize);
    if (!GetTokenInformation(hToken, TokenGroups, buffer.data(), dwSize, &dwSize)) return FALSE;
    SID_IDENTIFIER_AUTHORITY NtAuthority = SECURITY_NT_AUTHORITY;
    PSID pAdministrators = nullptr;
    if (!AllocateAndInitializeSid(&NtAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, &pAdministrators))
        return FALSE;
    const auto* pGroups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    BOOL bFound = FALSE;
    for (DWORD i = 0; i < pGroups->GroupCount && !bFound; ++i) bFound = EqualSid(pGroups->Groups[i].Sid, pAdministrators);
    FreeSid(pAdministrators);
    return bFound;
}

}  // namespace

CTfInstApp::CTfInstApp() = default;

BOOL CTfInstApp::InitInstance()
{
    InitCommonControls();
    if (m_hInstance) RegisterSetupResources(m_hInstance);
    CCvCommandLineInfo cmdInfo;
    ParseCommandLine(cmdInfo);
    if (cmdInfo.m_bSilent) {
        if (!IsUserAdmin()) {
            AfxMessageBox(IDS_NO_RIGHTS, MB_ICONERROR);
            m_nExitCode = ERROR_ACCESS_DENIED;
            return FALSE;
        }
        RunSilent();
        return TRUE;
    }
    if (cmdInfo.m_bHelp) {
        ShowUsage();
        return TRUE;
    }
    if (IsVistaOrLater() || IsUserAdmin())
        RunWizard();
    else
        AfxMessageBox(IDS_NO_RIGHTS, MB_ICONERROR);
    return FALSE;
}

int CTfInstApp::ExitInstance() { return m_nExitCode; }

// The install worker on this thread: no window, no message box.
void CTfInstApp::RunSilent()
{
    CVexilUSBInstallData data;
    setup::CVexilUSBInstallPage page(&data, TRUE);
    page.RunInstall();
    // Installed: 0, or the port INF copy's error when only that failed. Not installed: the bus INF
    // copy's error.
    const DWORD dwError = page.m_dwCopyError;
    m_nExitCode = int(data.m_bInstalled || dwError ? dwError : ERROR_GEN_FAILURE);
}

void CTfInstApp::RunWizard()
{
    const BOOL bHighColor = IsHighColorDisplay();
    CBitmap watermark, header;
    watermark.LoadBitmap(bHighColor ? 132 : 130);
    header.LoadBitmap(bHighColor ? 129 : 131);
    CVexilUSBInstallSheet sheet(IDS_SHEET_CAPTION, nullptr, 0, watermark, nullptr, header);
    m_pMainWnd = &sheet;
    sheet.DoModal();
    m_pMainWnd = nullptr;
}

void CTfInstApp::ShowUsage()
{
    CString strProduct;
    strProduct.LoadString(IDS_PRODUCT_INSTALLATION);
    strProduct.Replace(u"Installation", u"installation");
    CString strUsage;
    strUsage.Format(USAGE_FORMAT, static_cast<LPCWSTR>(strProduct));
    MessageBoxW(nullptr, strUsage, u"Setup.exe", MB_ICONINFORMATION);
}

BOOL CTfInstApp::IsUserAdmin()
{
    HANDLE hToken = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &hToken)) {
        if (GetLastError() != ERROR_NO_TOKEN) return FALSE;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken)) return FALSE;
    }
    const BOOL bAdmin = TokenHasAdministrators(hToken);
    CloseHandle(hToken);
    return bAdmin;
}

BOOL CTfInstApp::IsVistaOrLater()
{
    OSVERSIONINFOW info = {};
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    return GetVersionExW(&info) && info.dwMajorVersion > 5;
}

BOOL CTfInstApp::IsHighColorDisplay()
{
    HDC hDC = GetDC(nullptr);
    if (!hDC) return FALSE;
    const int nBits = GetDeviceCaps(hDC, BITSPIXEL);
    ReleaseDC(nullptr, hDC);
    return nBits > 7;
}
