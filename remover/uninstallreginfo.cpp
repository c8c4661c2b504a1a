#include "uninstallreginfo.h"

#include <sysinfoapi.h>

#include <vector>

namespace {

constexpr DWORD kInfPathBytes = 100;

}  // namespace

BOOL CCVUninstallRegInfo::GetHardwareID(CString& strHardwareId)
{
    return GetDeviceRegistryProperty(SPDRP_HARDWAREID, strHardwareId) ? TRUE : FALSE;
}

BOOL CCVUninstallRegInfo::GetService(CString& strService)
{
    return GetDeviceRegistryProperty(SPDRP_SERVICE, strService) ? TRUE : FALSE;
}

// The device's driver key names its INF; the setup class's other driver keys belong to other
// devices. The value is read into a buffer one character longer than the read may fill.
BOOL CCVUninstallRegInfo::GetInfPath(CString& strPath)
{
    HKEY hKey = SetupDiOpenDevRegKey(m_hDevInfo, &m_DevInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (hKey == INVALID_HANDLE_VALUE || !hKey) return FALSE;
    std::vector<WCHAR> value(kInfPathBytes / sizeof(WCHAR) + 1, 0);
    DWORD dwType = 0, dwBytes = kInfPathBytes;
    const LSTATUS status = RegQueryValueExW(hKey, u"InfPath", nullptr, &dwType, reinterpret_cast<LPBYTE>(value.data()), &dwBytes);
    RegCloseKey(hKey);
    if (status != ERROR_SUCCESS || (dwType != REG_SZ && dwType != REG_EXPAND_SZ) || !value[0]) return FALSE;
    WCHAR szWindows[260] = {};
    const UINT uLength = GetSystemWindowsDirectoryW(szWindows, 260);
    if (uLength == 0 || uLength >= 260) return FALSE;
    strPath.Format(u"%s\\Inf\\%s", szWindows, value.data());
    return TRUE;
}
