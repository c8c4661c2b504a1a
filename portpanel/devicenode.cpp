#include "devicenode.h"

#include <vector>

BOOL DeviceInstanceIdOf(DEVINST DevInst, CString& strId)
{
    ULONG ulLength = 0;
    if (CM_Get_Device_ID_Size(&ulLength, DevInst, 0) != CR_SUCCESS) return FALSE;
    std::vector<WCHAR> buffer(ulLength + 1, 0);
    if (CM_Get_Device_IDW(DevInst, buffer.data(), ulLength + 1, 0) != CR_SUCCESS) return FALSE;
    strId = CString(buffer.data());
    return TRUE;
}

CString ModelIdOf(const CString& strInstanceId)
{
    const int nFirst = strInstanceId.Find(u'\\');
    const int nSecond = nFirst < 0 ? -1 : strInstanceId.Find(u'\\', nFirst + 1);
    CString strModel = nSecond < 0 ? strInstanceId : strInstanceId.Left(nSecond);
    std::u16string text(static_cast<LPCWSTR>(strModel));
    CharUpperW(text.data());
    return CString(text);
}

CString ParentModelIdOf(DEVINST DevInst)
{
    DEVINST Parent = 0;
    CString strParentId;
    if (CM_Get_Parent(&Parent, DevInst, 0) != CR_SUCCESS || !DeviceInstanceIdOf(Parent, strParentId)) return CString();
    return ModelIdOf(strParentId);
}

BOOL ReadDeviceParameterDword(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, LPCWSTR pszValueName, DWORD& dwValue)
{
    HKEY hKey = SetupDiOpenDevRegKey(hDevInfo, pDevInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_READ);
    if (hKey == INVALID_HANDLE_VALUE) return FALSE;
    // Zeroed, so a shorter value leaves no stale bytes.
    DWORD dwData = 0;
    DWORD cbData = sizeof(dwData);
    const LSTATUS lResult = RegQueryValueExW(hKey, pszValueName, nullptr, nullptr, reinterpret_cast<BYTE*>(&dwData), &cbData);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS) return FALSE;
    dwValue = dwData;
    return TRUE;
}

BOOL WriteDeviceParameterDword(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, LPCWSTR pszValueName, DWORD dwValue)
{
    HKEY hKey = SetupDiOpenDevRegKey(hDevInfo, pDevInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_WRITE);
    if (hKey == INVALID_HANDLE_VALUE) return FALSE;
    const LSTATUS lResult = RegSetValueExW(hKey, pszValueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue), sizeof(dwValue));
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS;
}
