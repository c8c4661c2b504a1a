// The page that is built but not shown.
#include "usbsettingspage.h"

CUSBSettingsPage::CUSBSettingsPage(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData) : m_Sets(hDevInfo, DevInfoData)
{
    m_Sets.Read();
}
