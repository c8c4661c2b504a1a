// A device information set of the caller's own, destroyed when the object goes, with devices
// added by instance ID.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <atlstr.h>

class CDeviceInfoList {
public:
    CDeviceInfoList() : m_hDevInfo(SetupDiCreateDeviceInfoList(nullptr, nullptr)) {}
    ~CDeviceInfoList()
    {
        if (m_hDevInfo != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_hDevInfo);
    }
    CDeviceInfoList(const CDeviceInfoList&) = delete;
    CDeviceInfoList& operator=(const CDeviceInfoList&) = delete;

    operator HDEVINFO() const { return m_hDevInfo; }
    BOOL IsValid() const { return m_hDevInfo != INVALID_HANDLE_VALUE; }
    BOOL Open(const CString& strInstanceId, SP_DEVINFO_DATA& Element)
    {
        Element = {};
        Element.cbSize = sizeof(Element);
        return IsValid() && SetupDiOpenDeviceInfoW(m_hDevInfo, strInstanceId, nullptr, 0, &Element);
    }

private:
    HDEVINFO m_hDevInfo;
};
