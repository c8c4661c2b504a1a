// COM names and port devices.
//
// A rename whose SERIALCOMM entry cannot be written puts the old DOS name back, so the port never
// answers under a name that no record knows. A closed database handle is forgotten, so a later
// query sees a closed database rather than a stale handle.
#include "portutil.h"

#include <cfgmgr32.h>

namespace {

const WCHAR SERIALCOMM_KEY[] = u"Hardware\\DeviceMap\\SERIALCOMM";
const WCHAR PORTS_KEY[] = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
const DWORD RENAME_FLAGS_REMOVE = DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE;

}  // namespace

CPortUtil::CPortUtil() : m_hComDB(HCOMDB_INVALID_HANDLE_VALUE) {}

CPortUtil::~CPortUtil() {}

BOOL CPortUtil::OpenComDB() { return ComDBOpen(&m_hComDB) == ERROR_SUCCESS; }

BOOL CPortUtil::CloseComDB()
{
    const LONG lResult = ComDBClose(m_hComDB);
    m_hComDB = HCOMDB_INVALID_HANDLE_VALUE;
    return lResult == ERROR_SUCCESS;
}

BOOL CPortUtil::ClaimPort(DWORD dwPortNumber, BOOL bForce, BOOL* pbForced)
{
    BOOL bForced = FALSE;
    const LONG lResult = ComDBClaimPort(m_hComDB, dwPortNumber, bForce, &bForced);
    if (pbForced) *pbForced = bForced;
    return lResult == ERROR_SUCCESS;
}

BOOL CPortUtil::ReleasePort(DWORD dwPortNumber) { return ComDBReleasePort(m_hComDB, dwPortNumber) == ERROR_SUCCESS; }

BOOL CPortUtil::ReadPortUsage(BYTE* pbUsage)
{
    if (m_hComDB == HCOMDB_INVALID_HANDLE_VALUE) return FALSE;
    std::fill_n(pbUsage, COMDB_REPORT_SIZE, 0);
    DWORD dwMaxPorts = 0;
    return ComDBGetCurrentPortUsage(m_hComDB, pbUsage, COMDB_REPORT_SIZE, CDB_REPORT_BYTES, &dwMaxPorts) == ERROR_SUCCESS;
}

BOOL CPortUtil::IsPortFree(DWORD dwPortNumber)
{
    if (m_hComDB == HCOMDB_INVALID_HANDLE_VALUE || dwPortNumber < 1 || dwPortNumber > COMDB_REPORT_SIZE) return FALSE;
    BYTE Usage[COMDB_REPORT_SIZE];
    if (!ReadPortUsage(Usage)) return FALSE;
    return Usage[dwPortNumber - 1] == 0;
}

int CPortUtil::CanOpenPort(const CString& strPortName)
{
    const CString strPath = CString(u"\\\\.\\") + strPortName;
    HANDLE hPort = CreateFileW(strPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (hPort == INVALID_HANDLE_VALUE) return 0;
    CloseHandle(hPort);
    return 1;
}

void CPortUtil::BuildComNumberList(const CString& strCurrentName, CStringList& List)
{
    List.clear();
    BYTE Usage[COMDB_REPORT_SIZE];
    if (!ReadPortUsage(Usage)) return;
    for (DWORD i = 1; i <= 255; ++i) {
        CString strName;
        strName.Format(u"COM%d", i);
        if (Usage[i - 1] && strName != strCurrentName) strName += u" (in use)";
        List.push_back(strName);
    }
}

BOOL CPortUtil::GetClassDevices(const GUID* pClassGuid, HDEVINFO* phDevInfo, DWORD dwFlags)
{
    *phDevInfo = SetupDiGetClassDevsW(pClassGuid, nullptr, nullptr, dwFlags);
    return *phDevInfo != INVALID_HANDLE_VALUE;
}

int CPortUtil::RenamePort(const CString& strOldName, const CString& strNewName)
{
    WCHAR szTarget[256] = {};
    if (!QueryDosDeviceW(strOldName, szTarget, 256)) return 0;
    const CString strTarget(szTarget);
    if (!DefineDosDeviceW(RENAME_FLAGS_REMOVE, strOldName, strTarget)) return 0;
    if (!DefineDosDeviceW(DDD_RAW_TARGET_PATH, strNewName, strTarget)) {
        DefineDosDeviceW(DDD_RAW_TARGET_PATH, strOldName, strTarget);
        return 0;
    }
    if (WriteSerialCommName(strTarget, strNewName)) return 1;
    // Undo the link change: the records still name the old port.
    DefineDosDeviceW(RENAME_FLAGS_REMOVE, strNewName, strTarget);
    DefineDosDeviceW(DDD_RAW_TARGET_PATH, strOldName, strTarget);
    return 0;
}

BOOL CPortUtil::WriteSerialCommName(const CString& strTarget, const CString& strNewName)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SERIALCOMM_KEY, 0, KEY_ALL_ACCESS, &hKey) != ERROR_SUCCESS) return FALSE;
    const LSTATUS lResult = RegSetValueExW(hKey, strTarget, 0, REG_SZ,
                                           reinterpret_cast<const BYTE*>(static_cast<LPCWSTR>(strNewName)),
                                           2 * strNewName.GetLength() + 2);
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS;
}

int CPortUtil::ChangeDeviceState(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData, DWORD dwStateChange)
{
    SP_DEVINSTALL_PARAMS_W InstallParams = {};
    InstallParams.cbSize = sizeof(InstallParams);
    BOOL bParams = SetupDiGetDeviceInstallParamsW(hDevInfo, pDevInfoData, &InstallParams);
    if (bParams) {
        InstallParams.Flags |= DI_PROPERTIES_CHANGE;
        bParams = SetupDiSetDeviceInstallParamsW(hDevInfo, pDevInfoData, &InstallParams);
    }
    if (bParams) {
        SP_PROPCHANGE_PARAMS Change = {};
        Change.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
        Change.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
        Change.StateChange = dwStateChange;
        Change.HwProfile = 0;
        for (DWORD dwScope : {DWORD(DICS_FLAG_GLOBAL), DWORD(DICS_FLAG_CONFIGSPECIFIC)}) {
            Change.Scope = dwScope;
            if (SetupDiSetClassInstallParamsW(hDevInfo, pDevInfoData, &Change.ClassInstallHeader, sizeof(Change))) {
                SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, hDevInfo, pDevInfoData);
                break;
            }
        }
    }
    SetupDiGetDeviceInstallParamsW(hDevInfo, pDevInfoData, &InstallParams);
    return 1;
}

int CPortUtil::DisableDevice(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
{
    return ChangeDeviceState(hDevInfo, pDevInfoData, DICS_DISABLE);
}

int CPortUtil::EnableDevice(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
{
    return ChangeDeviceState(hDevInfo, pDevInfoData, DICS_ENABLE);
}

int CPortUtil::ReenumerateDevNode(const CString& strInstanceId)
{
    DEVINST DevInst = 0;
    CString strId(strInstanceId);
    if (CM_Locate_DevNodeW(&DevInst, strId.IsEmpty() ? nullptr : strId.GetBuffer(), 0) != CR_SUCCESS) return 0;
    return CM_Reenumerate_DevNode(DevInst, 0) == CR_SUCCESS ? 1 : 0;
}

int CPortUtil::SetPropChangePending(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
{
    SP_DEVINSTALL_PARAMS_W InstallParams = {};
    InstallParams.cbSize = sizeof(InstallParams);
    if (SetupDiGetDeviceInstallParamsW(hDevInfo, pDevInfoData, &InstallParams)) {
        InstallParams.FlagsEx |= DI_FLAGSEX_PROPCHANGE_PENDING;
        SetupDiSetDeviceInstallParamsW(hDevInfo, pDevInfoData, &InstallParams);
    }
    SetupDiGetDeviceInstallParamsW(hDevInfo, pDevInfoData, &InstallParams);
    return 1;
}

BOOL CPortUtil::WritePortSettings(const CString& strPortName, DWORD dwBaudRate, DWORD dwDataBitsIndex,
                                  DWORD dwParityIndex, DWORD dwStopBitsIndex, DWORD dwFlowControl)
{
    static const WCHAR Parity[] = u"noems";
    static const LPCWSTR StopBits[] = {u"1", u"1.5", u"2"};
    if (dwDataBitsIndex > 3 || dwParityIndex > 4 || dwStopBitsIndex > 2) return FALSE;
    WCHAR chFlow = 0;
    switch (dwFlowControl) {
    case 0: break;
    case 1:
    case 2: chFlow = u'p'; break;
    case 4: chFlow = u'x'; break;
    default: return FALSE;
    }
    CString strValue;
    strValue.Format(u"%u,%c,%u,%s", dwBaudRate, Parity[dwParityIndex], 5 + dwDataBitsIndex, StopBits[dwStopBitsIndex]);
    if (chFlow) strValue.AppendFormat(u",%c", chFlow);

    HKEY hKey = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, PORTS_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE, 0x2001F, nullptr, &hKey,
                        nullptr) != ERROR_SUCCESS)
        return FALSE;
    const CString strValueName = strPortName + u":";
    const LSTATUS lResult = RegSetValueExW(hKey, strValueName, 0, REG_SZ,
                                           reinterpret_cast<const BYTE*>(static_cast<LPCWSTR>(strValue)),
                                           2 * strValue.GetLength() + 2);
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS;
}
