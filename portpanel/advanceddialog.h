// CAdvancedDialog: the modal sheet "Advanced..." opens over the port settings page: the COM
// number with the adapter's information, the RS-422/485 duplex mode (RS-422/485 ports only), the
// USB latency policy and About.
#pragma once

#include <atldlgs.h>
#include <setupapi.h>

#include "aboutpage.h"
#include "cvdevicereginfo.h"
#include "deviceadvsettingpage.h"
#include "newusbsettingspage.h"
#include "rs422485page.h"
#include "usbsettingspage.h"

class CAdvancedDialog : public CPropertySheetImpl<CAdvancedDialog> {
public:
    CAdvancedDialog(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData);
    CAdvancedDialog(const CAdvancedDialog&) = delete;
    CAdvancedDialog& operator=(const CAdvancedDialog&) = delete;

    // Whether the RS-422/485 page is on the sheet, and the duplex mode it holds.
    BOOL HasDuplexPage() const { return m_bDuplexPage; }
    DWORD GetDuplexMode() const { return m_RS422485Page.GetDuplexMode(); }

private:
    CCVDeviceRegInfo m_RegInfo;
    CString m_strCaption;
    CRS422485Page m_RS422485Page;
    CDeviceAdvSettingPage m_DevicePage;
    CUSBSettingsPage m_USBSettingsPage;
    CNewUSBSettingsPage m_NewUSBSettingsPage;
    CAboutPage m_AboutPage;
    BOOL m_bDuplexPage = FALSE;
};
