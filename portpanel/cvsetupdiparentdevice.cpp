// The parent finder.
#include "cvsetupdiparentdevice.h"

#include <cfgmgr32.h>

#include "setupdireport.h"

CCvSetupDi_ParentDevice::CCvSetupDi_ParentDevice(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
    : m_hDevInfo(hDevInfo), m_pDevInfoData(pDevInfoData), m_hAllDevices(INVALID_HANDLE_VALUE), m_ParentData{}
{
}

CCvSetupDi_ParentDevice::~CCvSetupDi_ParentDevice()
{
    if (m_hAllDevices != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_hAllDevices);
}

BOOL CCvSetupDi_ParentDevice::FindParent()
{
    if (m_hAllDevices != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_hAllDevices);
    m_hAllDevices = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (m_hAllDevices == INVALID_HANDLE_VALUE) {
        ReportClassDevsFailure();
        return FALSE;
    }
    DEVINST Parent = 0;
    if (CM_Get_Parent(&Parent, m_pDevInfoData->DevInst, 0) != CR_SUCCESS) return FALSE;
    SP_DEVINFO_DATA Element = {};
    Element.cbSize = sizeof(Element);
    for (DWORD dwIndex = 0; SetupDiEnumDeviceInfo(m_hAllDevices, dwIndex, &Element); ++dwIndex) {
        if (Element.DevInst == Parent) {
            m_ParentData = Element;
            return TRUE;
        }
    }
    return FALSE;
}
