#include "tfunistapp.h"

#include <vector>

#include "cvcommandlineinfo.h"
#include "remover_resources.h"
#include "resource.h"
#include "tfuninstallsheet.h"
#include "tfwin95dialog.h"
#include "uninstallutil.h"

namespace {

const WCHAR kInstanceMutex[] = u"{0B6C42A3-7829-4131-B5C8-804FC88ADCA5}";

// Whether the token's groups hold the built-in Administrators, in whatever state.
BOOL HasAdministrators(HANDLE token)
{
    DWORD size = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    if (!size) return FALSE;
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token, TokenGroups, buffer.data(), size, &size)) return FALSE;
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &administrators))
        return FALSE;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    BOOL found = FALSE;
    for (DWORD index = 0; index < groups->GroupCount && !found; ++index)
        found = EqualSid(groups->Groups[index].Sid, administrators);
    FreeSid(administrators);
    return found;
}

}  // namespace

CTfUnistApp::CTfUnistApp() = default;

BOOL CTfUnistApp::InitInstance()
{
    // The program's resources belong to its module.
    RegisterRemoverResources(AfxGetInstanceHandle());
    // A second copy ends at once, also when it may not open the first one's mutex.
    m_hInstanceMutex = CreateMutexW(nullptr, FALSE, kInstanceMutex);
    const DWORD error = GetLastError();
    if (m_hInstanceMutex) ReleaseMutex(m_hInstanceMutex);
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_ACCESS_DENIED) return FALSE;

    InitCommonControls();
    CWinApp::InitInstance();
    AfxEnableControlContainer();

    if (IsWindows95()) {
        CTfWin95Dialog dialog;
        m_pMainWnd = &dialog;
        dialog.DoModal();
        m_pMainWnd = nullptr;
        return FALSE;
    }
    if (CUninstallUtil().IsWindows2000OrLater() && !IsUserAdmin()) {
        AfxMessageBox(IDS_NO_RIGHTS, MB_ICONHAND);
        return FALSE;
    }
    CBitmap watermark, header;
    const bool highColor = IsHighColorDisplay();
    watermark.LoadBitmap(highColor ? IDB_WATERMARK_24 : IDB_WATERMARK_8);
    header.LoadBitmap(highColor ? IDB_HEADER_24 : IDB_HEADER_8);
    CCvCommandLineInfo commandLine;
    ParseCommandLine(commandLine);
    CTfUninstallSheet sheet(IDS_CAPTION, nullptr, 0, watermark, nullptr, header, commandLine.m_bSilent);
    sheet.m_psh.hInstance = GetModuleHandleW(nullptr);
    m_pMainWnd = &sheet;
    sheet.DoModal();
    m_pMainWnd = nullptr;
    return FALSE;
}

int CTfUnistApp::ExitInstance()
{
    // The process ends here: its mutex goes with it.
    if (m_hInstanceMutex) CloseHandle(m_hInstanceMutex);
    m_hInstanceMutex = nullptr;
    return CWinApp::ExitInstance();
}

BOOL CTfUnistApp::IsHighColorDisplay()
{
    HDC screen = GetDC(nullptr);
    if (!screen) return FALSE;
    const int bitsPerPixel = GetDeviceCaps(screen, BITSPIXEL);
    ReleaseDC(nullptr, screen);
    return bitsPerPixel > 7;
}

BOOL CTfUnistApp::IsWindows95()
{
    OSVERSIONINFOEXW extended{};
    extended.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    auto* info = reinterpret_cast<OSVERSIONINFOW*>(&extended);
    if (!GetVersionExW(info)) {
        info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
        if (!GetVersionExW(info)) return FALSE;
    }
    return info->dwPlatformId == VER_PLATFORM_WIN32_WINDOWS && info->dwMajorVersion == 4 && info->dwMinorVersion == 0;
}

BOOL CTfUnistApp::IsUserAdmin()
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        if (GetLastError() != ERROR_NO_TOKEN || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return FALSE;
    }
    const BOOL admin = HasAdministrators(token);
    CloseHandle(token);
    return admin;
}
