// CCVDeviceRegInfo: the registry properties and hardware-key strings of one device, given by a
// device information set the caller owns and one element of it.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <atlstr.h>

class CCVDeviceRegInfo {
public:
    CCVDeviceRegInfo(HDEVINFO hDevInfo, SP_DEVINFO_DATA DevInfoData);
    virtual ~CCVDeviceRegInfo();

    BOOL SetDeviceRegistryProperty(DWORD dwProperty, const CString& strValue);
    BOOL GetDeviceRegistryProperty(DWORD dwProperty, CString& strValue);
    BOOL SetDeviceParameterString(LPCWSTR pszValueName, const CString& strValue);
    BOOL GetDeviceParameterString(LPCWSTR pszValueName, CString& strValue);

    BOOL GetClass(CString& strClass);
    BOOL GetDriverKey(CString& strDriverKey);
    BOOL GetFriendlyName(CString& strFriendlyName);
    BOOL SetFriendlyName(const CString& strFriendlyName);

    HDEVINFO GetDeviceInfoSet() const { return m_hDevInfo; }
    const SP_DEVINFO_DATA& GetDeviceInfoData() const { return m_DevInfoData; }

protected:
    SP_DEVINFO_DATA m_DevInfoData;
    HDEVINFO m_hDevInfo;
};
