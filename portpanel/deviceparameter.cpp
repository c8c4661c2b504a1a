#include "deviceparameter.h"

#include "cvdevicereginfo.h"

BOOL ReadDeviceParameterString(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, LPCWSTR pszValueName, CString& strValue)
{
    // A request for no device (a class co-installer's) has no hardware key.
    if (!pDevInfoData) return FALSE;
    CCVDeviceRegInfo regInfo(hDevInfo, *pDevInfoData);
    return regInfo.GetDeviceParameterString(pszValueName, strValue);
}
