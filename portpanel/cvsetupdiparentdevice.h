// CCvSetupDi_ParentDevice: finds the element of a port's parent device (the adapter's bus device)
// in a set of all present devices.
#pragma once

#include <windows.h>
#include <setupapi.h>

class CCvSetupDi_ParentDevice {
public:
    CCvSetupDi_ParentDevice(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData);
    virtual ~CCvSetupDi_ParentDevice();
    CCvSetupDi_ParentDevice(const CCvSetupDi_ParentDevice&) = delete;
    CCvSetupDi_ParentDevice& operator=(const CCvSetupDi_ParentDevice&) = delete;

    BOOL FindParent();
    HDEVINFO GetParentSet() const { return m_hAllDevices; }
    const SP_DEVINFO_DATA& GetParentData() const { return m_ParentData; }

private:
    HDEVINFO m_hDevInfo;
    PSP_DEVINFO_DATA m_pDevInfoData;
    HDEVINFO m_hAllDevices;
    SP_DEVINFO_DATA m_ParentData;
};
