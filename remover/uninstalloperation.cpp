#include "uninstalloperation.h"

#include <afxwin.h>
#include <cfgmgr32.h>
#include <processthreadsapi.h>
#include <securitybaseapi.h>

#include <vector>

#include "uninstallutil.h"

#ifndef CR_NEED_RESTART
#define CR_NEED_RESTART 0x00000022
#endif
#ifndef SW_HIDE
#define SW_HIDE 0
#endif

namespace {

// "cmd /c del "<path>"" on Vista and later; the 16-bit command.com of older systems takes the path
// unquoted.
CString DeleteCommand(const CString& strPath)
{
    CUninstallUtil util;
    CString strCommand;
    if (util.IsVistaOrLater())
        strCommand.Format(u"cmd /c del \"%s\"", static_cast<LPCWSTR>(strPath));
    else
        strCommand.Format(u"command.com /c del %s", static_cast<LPCWSTR>(strPath));
    return strCommand;
}

// The process's own token duplicated as a primary token, or null.
HANDLE DuplicateOwnToken()
{
    HANDLE hToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &hToken)) return nullptr;
    HANDLE hDuplicate = nullptr;
    if (!DuplicateTokenEx(hToken, MAXIMUM_ALLOWED, nullptr, SecurityDelegation, TokenPrimary, &hDuplicate))
        hDuplicate = nullptr;
    CloseHandle(hToken);
    return hDuplicate;
}

}  // namespace

bool CTfUninstallOperation::DeleteUninstaller()
{
    CUninstallUtil util;
    CString strSystem;
    CWinApp* pApp = AfxGetApp();
    if (!pApp || !pApp->m_pszExeName || !util.GetSystemDir(strSystem)) return false;
    CString strPath;
    strPath.Format(u"%s\\%s.exe", static_cast<LPCWSTR>(strSystem), pApp->m_pszExeName);
    if (strPath.IsEmpty()) return false;
    const CString strCommand = DeleteCommand(strPath);
    std::vector<WCHAR> commandLine(strCommand.GetString(), strCommand.GetString() + strCommand.GetLength() + 1);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    HANDLE hToken = DuplicateOwnToken();
    SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
    BOOL bStarted = hToken && CreateProcessAsUserW(hToken, nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                                   NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &process);
    // A token that may not start programs (a missing privilege) leaves the plain start.
    if (!bStarted)
        bStarted = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                                  nullptr, &startup, &process);
    if (hToken) CloseHandle(hToken);
    if (!bStarted) {
        SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

bool CTfUninstallOperation::ReenumerateDevices(BYTE& bRestartNeeded)
{
    bRestartNeeded = 0;
    DEVINST dnRoot = 0;
    if (CM_Locate_DevNodeW(&dnRoot, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return false;
    const CONFIGRET result = CM_Reenumerate_DevNode(dnRoot, 0);
    if (result == CR_NEED_RESTART) bRestartNeeded = 1;
    return result == CR_SUCCESS;
}
