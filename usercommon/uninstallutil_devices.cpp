// CUninstallUtil's opening of one device in a set.
#include "uninstallutil.h"

BOOL CUninstallUtil::OpenDeviceInfo(HDEVINFO hDevInfo, LPCWSTR pszInstanceId, PSP_DEVINFO_DATA pData)
{
    return SetupDiOpenDeviceInfoW(hDevInfo, pszInstanceId, nullptr, 0, pData);
}
