// Portpanel's co-installers, for the card (the adapter the bus driver serves), for a second
// function of a multi-function adapter, and for each COM port. They keep no state between calls
// and report no failure of their own work: only the update wizard's refusal fails a request.
//
// The port's post-processing holds its mutex from before the restore to the last step and gives
// it back, and closes its handle, on every return.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <synchapi.h>

#include "coinstallerentries.h"
#include "comname.h"
#include "comnumberassignment.h"
#include "comportutil.h"
#include "deviceparameter.h"
#include "portpanelmodule.h"
#include "resource.h"
#include "savedportsettings.h"
#include "siblingremoval.h"



namespace {

const WCHAR PORT_MUTEX_NAME[] = u"{188EB960-6340-4936-9456-F597F5C34580}";

// DIF_UPDATEDRIVER_UI on a device that carries NoUpgrade 1: the user is sent to the bus driver.
DWORD BlockUpgrade(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
{
    CString strNoUpgrade;
    if (!ReadDeviceParameterString(hDevInfo, pDevInfoData, u"NoUpgrade", strNoUpgrade)) return NO_ERROR;
    if (ParseDecimal(strNoUpgrade) != 1) return NO_ERROR;
    PortpanelInstance();
    CString strText;
    strText.LoadString(IDS_UPDATE_THE_BUS_DRIVER);
    MessageBoxW(nullptr, strText, u"Vexil", MB_ICONERROR);
    return ERROR_DI_DONT_INSTALL;
}

// A port whose settings were restored restarts under them; a new one gets its default line.
void FinishPortInstall(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, BOOL bRestored)
{
    if (!bRestored) {
        WritePortsDefault(hDevInfo, pDevInfoData);
        return;
    }
    CPortUtil Util;
    Util.ReenumerateDevNode(CString());
    Util.DisableDevice(hDevInfo, pDevInfoData);
    Util.EnableDevice(hDevInfo, pDevInfoData);
    CM_Reenumerate_DevNode(pDevInfoData->DevInst, 0);
}

DWORD PortPostProcessing(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwInstallResult)
{
    HANDLE hMutex = CreateMutexW(nullptr, FALSE, PORT_MUTEX_NAME);
    const DWORD dwWait = hMutex ? WaitForSingleObject(hMutex, INFINITE) : WAIT_FAILED;
    const BOOL bRestored = RestoreSavedPortSettings(hDevInfo, pDevInfoData);
    const BOOL bFixed = AssignFixedComNumber(hDevInfo, pDevInfoData);
    if (!(bFixed && dwInstallResult != NO_ERROR)) {
        if (!bRestored && IsWindows7OrLater()) SortChildPortNames(hDevInfo, pDevInfoData);
        if (dwInstallResult == NO_ERROR) FinishPortInstall(hDevInfo, pDevInfoData, bRestored);
    }
    if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_ABANDONED) ReleaseMutex(hMutex);
    if (hMutex) CloseHandle(hMutex);
    return dwInstallResult;
}

void RemoveSibling(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
{
    HANDLE hMutex = nullptr;
    if (AcquireRemovalMutex(hMutex)) RemoveSiblingFunction(hDevInfo, pDevInfoData, u'0', u'1');
    if (hMutex) CloseHandle(hMutex);
}

enum DeviceKind { CARD, GPIO, PORT };

DWORD InstallDevicePre(DeviceKind Kind, HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
{
    if (Kind == CARD) SaveChildPortSettings(hDevInfo, pDevInfoData);
    return ERROR_DI_POSTPROCESSING_REQUIRED;
}

DWORD Remove(DeviceKind Kind, HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
{
    switch (Kind) {
    case CARD: RunUninstallProgram(hDevInfo, pDevInfoData, FALSE); break;
    case GPIO: RemoveSibling(hDevInfo, pDevInfoData); break;
    case PORT: CCOMPortUtil(hDevInfo, *pDevInfoData).RemovePortName(); break;
    }
    return NO_ERROR;
}

DWORD CoInstall(DeviceKind Kind, DI_FUNCTION InstallFunction, HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData,
                PCOINSTALLER_CONTEXT_DATA pContext)
{
    // A class co-installer's call names no device: nothing to do.
    if (!pDevInfoData || !pContext) return NO_ERROR;
    switch (InstallFunction) {
    case DIF_INSTALLDEVICE:
        if (!pContext->PostProcessing) return InstallDevicePre(Kind, hDevInfo, pDevInfoData);
        if (Kind == PORT) return PortPostProcessing(hDevInfo, pDevInfoData, pContext->InstallResult);
        return pContext->InstallResult;
    case DIF_REMOVE: return Remove(Kind, hDevInfo, pDevInfoData);
    case DIF_UPDATEDRIVER_UI: return BlockUpgrade(hDevInfo, pDevInfoData);
    default: return NO_ERROR;
    }
}

}  // namespace

PORTPANEL_COINSTALLER DWORD CALLBACK CvUCoInstallCard(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                                 PSP_DEVINFO_DATA DeviceInfoData, PCOINSTALLER_CONTEXT_DATA Context)
{
    return CoInstall(CARD, InstallFunction, DeviceInfoSet, DeviceInfoData, Context);
}

PORTPANEL_COINSTALLER DWORD CALLBACK CvUCoInstallGpio(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                                 PSP_DEVINFO_DATA DeviceInfoData, PCOINSTALLER_CONTEXT_DATA Context)
{
    return CoInstall(GPIO, InstallFunction, DeviceInfoSet, DeviceInfoData, Context);
}

PORTPANEL_COINSTALLER DWORD CALLBACK CvUCoInstallPort(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                                 PSP_DEVINFO_DATA DeviceInfoData, PCOINSTALLER_CONTEXT_DATA Context)
{
    return CoInstall(PORT, InstallFunction, DeviceInfoSet, DeviceInfoData, Context);
}
