// CCVUninstallRegInfo: the device registry helper with the getters the uninstaller reads a device
// by: its first hardware ID, service, setup class and friendly name, and the INF it was installed
// from.
#pragma once

#include "cvdevicereginfo.h"

class CCVUninstallRegInfo : public CCVDeviceRegInfo {
public:
    using CCVDeviceRegInfo::CCVDeviceRegInfo;

    BOOL GetHardwareID(CString& strHardwareId);
    BOOL GetService(CString& strService);
    BOOL GetFriendlyName(CString& strFriendlyName) { return CCVDeviceRegInfo::GetFriendlyName(strFriendlyName); }
    // The full path "<windows>\Inf\<name>" of the INF named by the device's own driver key.
    BOOL GetInfPath(CString& strPath);
};
