// Portpanel's exports: the property-page provider Device Manager calls for a port of the package,
// and the registration entry points, which register nothing.
#include <prsht.h>
#include <setupapi.h>

#include "cvuipropertypage.h"
#include "portpanelmodule.h"

#define PORTPANEL_EXPORT extern "C" __attribute__((visibility("default")))

PORTPANEL_EXPORT BOOL WINAPI CvUPortPropPage(PSP_PROPSHEETPAGE_REQUEST pRequest, LPFNADDPROPSHEETPAGE pfnAddPage, LPARAM lParam)
{
    if (!pRequest || pRequest->PageRequested != SPPSR_ENUM_ADV_DEVICE_PROPERTIES) return TRUE;
    PortpanelInstance();
    auto* pPage = new CCvUIPropertyPage(pRequest->DeviceInfoSet, pRequest->DeviceInfoData);
    if (!pPage->IsConnected()) {
        delete pPage;
        return FALSE;
    }
    HPROPSHEETPAGE hPage = pPage->Create();
    if (!hPage) {
        delete pPage;
        return FALSE;
    }
    // A refused page is destroyed, which releases the page object with it.
    if (!pfnAddPage(hPage, lParam)) {
        DestroyPropertySheetPage(hPage);
        return FALSE;
    }
    return TRUE;
}

PORTPANEL_EXPORT HRESULT WINAPI DllRegisterServer() { return S_OK; }
PORTPANEL_EXPORT HRESULT WINAPI DllUnregisterServer() { return S_OK; }
PORTPANEL_EXPORT HRESULT WINAPI DllCanUnloadNow() { return S_OK; }
