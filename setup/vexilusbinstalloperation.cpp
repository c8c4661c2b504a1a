#include "vexilusbinstalloperation.h"

#include <cfgmgr32.h>

#include "uninstallutil.h"
#include "vexilusbinstalldata.h"

namespace {

// A device of an earlier installation: present and configured in any way, or known and absent.
BOOL IsInstalledDevice(DEVINST dnDevInst)
{
    ULONG ulStatus = 0;
    ULONG ulProblem = 0;
    const CONFIGRET cr = CM_Get_DevNode_Status(&ulStatus, &ulProblem, dnDevInst, 0);
    return (cr == CR_SUCCESS && ulProblem != CM_PROB_NOT_CONFIGURED) || cr == CR_NO_SUCH_DEVINST;
}

}  // namespace

BOOL CVexilUSBInstallOperation::DetectPreviousInstallation(CVexilUSBInstallData* pData)
{
    CUninstallUtil util;
    pData->DestroyDeviceInfo();
    if (!util.GetAllClassDevices(pData->m_hDevInfo, DIGCF_ALLCLASSES)) return FALSE;
    CDeviceInf* pBus = pData->BusInf();
    BOOL bFound = FALSE;
    SP_DEVINFO_DATA DevInfoData = {};
    DevInfoData.cbSize = sizeof(SP_DEVINFO_DATA);
    for (DWORD i = 0; !bFound && SetupDiEnumDeviceInfo(pData->m_hDevInfo, i, &DevInfoData); ++i)
        bFound = pBus->Matches(pData->m_hDevInfo, &DevInfoData) && IsInstalledDevice(DevInfoData.DevInst);
    // The set is the detection's own; it does not outlive the answer.
    pData->DestroyDeviceInfo();
    return bFound;
}
