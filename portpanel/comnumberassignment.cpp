// The fixed COM number of a model. The device information set opened for the parent and the
// port's hardware key are released on every return. When the fixed number's holder is a running
// port and no other number is free, the port keeps its own name rather than share one.
#include "comnumberassignment.h"

#include <cfgmgr32.h>
#include <sysinfoapi.h>

#include "adaptermodels.h"
#include "comname.h"
#include "comportutil.h"
#include "deviceparameter.h"
#include "deviceinfolist.h"
#include "devicenode.h"

namespace {

BOOL CanWriteHardwareKey(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
{
    HKEY hKey = SetupDiOpenDevRegKey(hDevInfo, pDevInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_WRITE);
    if (hKey == INVALID_HANDLE_VALUE) return FALSE;
    RegCloseKey(hKey);
    return TRUE;
}

}  // namespace

BOOL AssignFixedComNumber(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
{
    if (!CanWriteHardwareKey(hDevInfo, pDevInfoData)) return FALSE;
    DEVINST Parent = 0;
    CString strParentId, strPortName;
    if (CM_Get_Parent(&Parent, pDevInfoData->DevInst, 0) != CR_SUCCESS || !DeviceInstanceIdOf(Parent, strParentId))
        return FALSE;
    CDeviceInfoList ParentSet;
    SP_DEVINFO_DATA ParentElement;
    if (!ParentSet.Open(strParentId, ParentElement)) return FALSE;
    if (!ReadDeviceParameterString(hDevInfo, pDevInfoData, u"PortName", strPortName)) return FALSE;
    const DWORD dwFixed = FixedComNumberOf(ModelIdOf(strParentId));
    if (!dwFixed) return FALSE;
    if (ComNumberOf(strPortName) == dwFixed) return TRUE;

    CCOMPortUtil Port(hDevInfo, *pDevInfoData);
    const CString strFixedName = ComNameOf(dwFixed);
    BOOL bFree = FALSE;
    if (Port.OpenComDB()) {
        bFree = Port.IsPortFree(dwFixed);
        Port.CloseComDB();
    }
    if (!bFree && Port.MovePortNameOwner(strFixedName, 5) == CCOMPortUtil::OWNER_NOT_MOVED) return FALSE;
    Port.ChangePortName(strFixedName, nullptr, FALSE, FALSE);
    Port.DisableDevice(ParentSet, &ParentElement);
    Port.EnableDevice(ParentSet, &ParentElement);
    return TRUE;
}

BOOL IsWindows7OrLater()
{
    OSVERSIONINFOW Version = {};
    Version.dwOSVersionInfoSize = sizeof(Version);
    if (!GetVersionExW(&Version)) return FALSE;
    return (Version.dwMajorVersion == 6 && Version.dwMinorVersion != 0) || Version.dwMajorVersion > 7;
}
