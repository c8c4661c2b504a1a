#include "vexilusbinstalldata.h"

#include "adapter_table.h"
#include "uninstallutil.h"

const WCHAR SETUP_NOT_INSTALLED[] = u"Product was not installed.";
const WCHAR SETUP_PREVIOUS_DETECTED[] = u"A previous installation was detected.";
const WCHAR SETUP_INF_MISSING[] =
    u"Error: Setup cannot find necessory inf file to install. Please make sure, you run this application from the "
    u"installation CD or DiskImage folder of the driver package.";

namespace {

// The INF of that name in the current directory.
CDeviceInf* MakeInf(LPCWSTR pszName)
{
    WCHAR szDirectory[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, szDirectory);
    CString strPath(szDirectory);
    strPath += pszName;
    WCHAR szFull[MAX_PATH] = {};
    auto* pInf = new CDeviceInf;
    pInf->m_strInfPath = GetFullPathNameW(strPath, MAX_PATH, szFull, nullptr) ? CString(szFull) : strPath;
    return pInf;
}

void DeleteInfs(CPtrList& list)
{
    POSITION pos = list.GetHeadPosition();
    while (pos) delete static_cast<CDeviceInf*>(list.GetNext(pos));
    list.RemoveAll();
}

}  // namespace

BOOL CDeviceInf::Matches(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
{
    CUninstallUtil util;
    POSITION pos = m_HardwareIds.GetHeadPosition();
    while (pos)
        if (util.DevicePropertyContains(hDevInfo, m_HardwareIds.GetNext(pos), pDevInfoData, SPDRP_HARDWAREID)) return TRUE;
    return FALSE;
}

CVexilUSBInstallData::CVexilUSBInstallData()
{
    CDeviceInf* pPort = MakeInf(u"\\PORTDRV.INF");
    pPort->m_HardwareIds.AddTail(CString(cvpackage::kRs232PortId).MakeUpper());
    pPort->m_HardwareIds.AddTail(CString(cvpackage::kRs485PortId).MakeUpper());
    m_PortInfs.AddTail(pPort);

    CDeviceInf* pBus = MakeInf(u"\\ENUMDRV.INF");
    for (const std::u16string& id : cvpackage::AllAdapterIds()) pBus->m_HardwareIds.AddTail(CString(id).MakeUpper());
    m_BusInfs.AddTail(pBus);
}

CVexilUSBInstallData::~CVexilUSBInstallData()
{
    DestroyDeviceInfo();
    DeleteInfs(m_BusInfs);
    DeleteInfs(m_PortInfs);
}

void CVexilUSBInstallData::DestroyDeviceInfo()
{
    if (m_hDevInfo == INVALID_HANDLE_VALUE) return;
    SetupDiDestroyDeviceInfoList(m_hDevInfo);
    m_hDevInfo = INVALID_HANDLE_VALUE;
}
