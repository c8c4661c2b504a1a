// CUninstallUtil's operations on single devices of a set.
#include "uninstallutil.h"

BOOL CUninstallUtil::OpenDeviceInfo(HDEVINFO hDevInfo, LPCWSTR pszInstanceId, PSP_DEVINFO_DATA pData)
{
    return SetupDiOpenDeviceInfoW(hDevInfo, pszInstanceId, nullptr, 0, pData);
}

BOOL CUninstallUtil::RemoveDevice(HDEVINFO hDevInfo, SP_DEVINFO_DATA DevInfoData)
{
    const BOOL bRemoved = SetupDiRemoveDevice(hDevInfo, &DevInfoData);
    const BOOL bDeleted = SetupDiDeleteDeviceInfo(hDevInfo, &DevInfoData);
    return bRemoved && bDeleted;
}
