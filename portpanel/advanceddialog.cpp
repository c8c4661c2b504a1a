// The advanced sheet: caption and pages. The pages read their sets as they are built, in the
// order they are declared.
#include "advanceddialog.h"

CAdvancedDialog::CAdvancedDialog(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData)
    : m_RegInfo(hDevInfo, DevInfoData), m_RS422485Page(hDevInfo, DevInfoData), m_DevicePage(hDevInfo, DevInfoData),
      m_USBSettingsPage(hDevInfo, DevInfoData), m_NewUSBSettingsPage(hDevInfo, DevInfoData)
{
    CString strPortName;
    m_RegInfo.GetDeviceParameterString(u"PortName", strPortName);
    m_strCaption = CString(u"Advanced Settings for ") + strPortName;
    SetTitle(m_strCaption, PSH_PROPTITLE);
    m_psh.dwFlags |= PSH_NOAPPLYNOW;
    AddPage(m_DevicePage.Create());
    m_bDuplexPage = m_DevicePage.GetPortType() == 1;
    if (m_bDuplexPage) AddPage(m_RS422485Page.Create());
    AddPage(m_NewUSBSettingsPage.Create());
    AddPage(m_AboutPage.Create());
}
