// The removal steps of the Windows 2000-and-later operation, and the port check before them.
//
// Key access: a key the Remover cannot change gets a full-access entry for Administrators added to
// its list, and every list so changed is put back on the keys that stay (the Ports key, and a key
// whose deletion still fails).
#include <fileapi.h>
#include <libloaderapi.h>
#include <msports.h>
#include <setupapi.h>
#include <shlwapi.h>
#include <sysinfoapi.h>

#include "cvserviceutil.h"
#include "operationtext.h"
#include "uninstallfiledeletion.h"
#include "uninstallutil.h"
#include "win2kuninstalloperation.h"

namespace {

constexpr LPCWSTR kPortsKey = u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
constexpr REGSAM kPortsAccess = 0x2001F;  // KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY

using DeleteKeyExFunction = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);

// Opens the Ports key to change its values; the access list is widened only when it refuses, and
// what was widened is recorded for the restore.
HKEY OpenPortsKey(CKeyAccessList& saved)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortsKey, 0, kPortsAccess, &hKey) == ERROR_SUCCESS) return hKey;
    CUninstallUtil util;
    util.GrantKeyAccessTree(kPortsKey, 0, &saved);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPortsKey, 0, kPortsAccess, &hKey) == ERROR_SUCCESS) return hKey;
    return nullptr;
}

void RemoveDosDevice(DWORD dwNumber)
{
    CString strName;
    strName.Format(u"COM%d", static_cast<int>(dwNumber));
    WCHAR szTarget[256] = {};
    // Only a definition that was read is removed.
    if (QueryDosDeviceW(strName, szTarget, 256) == 0) return;
    DefineDosDeviceW(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, strName, szTarget);
}

// Grants access to the tree in the view and deletes it; a tree that stays gets its lists back.
bool DeleteKeyTree(const CString& strKey, REGSAM samView)
{
    CUninstallUtil util;
    CKeyAccessList saved;
    if (!util.GrantKeyAccessTree(strKey, samView, &saved)) return false;
    const LONG status = samView ? DeleteRegKeyEx(HKEY_LOCAL_MACHINE, strKey, samView, 0) : SHDeleteKeyW(HKEY_LOCAL_MACHINE, strKey);
    if (status == ERROR_SUCCESS) return true;
    util.RestoreKeyAccess(saved);
    return false;
}

}  // namespace

LONG DeleteRegKeyEx(HKEY hKey, LPCWSTR pszSubKey, REGSAM samView, DWORD dwReserved)
{
    HMODULE hAdvapi = GetModuleHandleW(u"Advapi32.DLL");
    if (!hAdvapi) return ERROR_MOD_NOT_FOUND;
    auto pDeleteKeyEx = reinterpret_cast<DeleteKeyExFunction>(reinterpret_cast<void*>(GetProcAddress(hAdvapi, "RegDeleteKeyExW")));
    if (!pDeleteKeyEx) return SHDeleteKeyW(hKey, pszSubKey);
    return pDeleteKeyEx(hKey, pszSubKey, samView, dwReserved);
}

bool CTfWin2kUninstallOperation::UninstallProducts(CProgressCtrl* pProgress)
{
    CTfStepProgress& step = BeginStep(pProgress);
    const int nTotal = m_Data.m_Devices.GetCount() + static_cast<int>(m_Data.m_Services.size());
    if (nTotal == 0) {
        SetupDiDestroyDeviceInfoList(m_Data.m_hDevInfo);
        m_Data.m_hDevInfo = INVALID_HANDLE_VALUE;
        step.Advance();
        return true;
    }
    step.SetRange(0, nTotal);
    CUninstallUtil util;
    for (CTfDeviceRecord* pRecord = m_Data.m_Devices.GetFirst(); pRecord; pRecord = m_Data.m_Devices.GetNext()) {
        util.RemoveDevice(m_Data.m_hDevInfo, pRecord->m_DevInfoData);
        step.Advance();
    }
    // The records' helpers name elements of the set: they go with it.
    m_Data.m_Devices.RemoveAll();
    SetupDiDestroyDeviceInfoList(m_Data.m_hDevInfo);
    m_Data.m_hDevInfo = INVALID_HANDLE_VALUE;
    for (const CString& strService : m_Data.m_Services) {
        CCVServiceUtil service;
        if (service.OpenService(strService, SERVICE_ALL_ACCESS)) {
            if (service.IsRunning()) service.Stop();
            service.DeleteService();
            service.CloseService();
        }
        step.Advance();
    }
    return true;
}

bool CTfWin2kUninstallOperation::UninstallDriverFiles(CProgressCtrl* pProgress)
{
    CTfStepProgress& step = BeginStep(pProgress);
    const int nTotal = static_cast<int>(m_Data.m_InfFiles.size() + m_Data.m_OtherFiles.size() + m_Data.m_FurtherFiles.size()) +
                       m_Data.m_nOemInfsFound;
    if (nTotal == 0) {
        step.Advance();
        return true;
    }
    step.SetRange(1, nTotal);
    CUninstallUtil util;
    if (!util.IsWindows2000()) {
        // The driver store takes the bare "oemN.inf" only.
        for (const CString& strPath : m_Data.m_OemInfNames) {
            if (strPath.Find(u'\\') < 0) continue;  // the package's own names, never copied under them
            SetupUninstallOEMInfW(TfFileNameOf(strPath), SUOI_FORCEDELETE, nullptr);
            step.Advance();
        }
    }
    for (const CString& strPath : m_Data.m_InfFiles) {
        CString strUpper(strPath);
        strUpper.MakeUpper();
        if (strUpper.Find(u"\\MF.INF") < 0 && strUpper.Find(u"\\MSPORT.INF") < 0) {
            TfDeletePackageFile(strPath, IsSilent());
            TfDeletePackageFile(TfWithExtension(strPath, u".PNF"), IsSilent());
        }
        step.Advance();
    }
    for (const CTfStringTable* pTable : {&m_Data.m_OtherFiles, &m_Data.m_FurtherFiles})
        for (const CString& strPath : *pTable) {
            TfDeletePackageFile(strPath, IsSilent());
            step.Advance();
        }
    return true;
}

void CTfWin2kUninstallOperation::RemovePortClaims()
{
    HCOMDB hComDb = nullptr;
    if (ComDBOpen(&hComDb) != ERROR_SUCCESS) return;
    CKeyAccessList saved;
    HKEY hPorts = OpenPortsKey(saved);
    for (DWORD dwNumber : m_Data.m_ComPorts) {
        ComDBReleasePort(hComDb, dwNumber);
        if (hPorts) {
            CString strValue;
            strValue.Format(u"COM%d:", static_cast<int>(dwNumber));
            RegDeleteValueW(hPorts, strValue);
        }
        RemoveDosDevice(dwNumber);
    }
    ComDBClose(hComDb);
    if (hPorts) RegCloseKey(hPorts);
    CUninstallUtil().RestoreKeyAccess(saved);
}

void CTfWin2kUninstallOperation::DeleteKeys(CTfStepProgress& step)
{
    for (const CString& strKey : m_Data.m_RegistryKeys) {
        if (!DeleteKeyTree(strKey, 0)) DeleteKeyTree(strKey, KEY_WOW64_64KEY);
        step.Advance();
    }
}

bool CTfWin2kUninstallOperation::UninstallRegistryEntries(CProgressCtrl* pProgress)
{
    CTfStepProgress& step = BeginStep(pProgress);
    if (m_Data.m_RegistryKeys.empty()) {
        step.Advance();
        return true;
    }
    step.SetRange(1, static_cast<int>(m_Data.m_RegistryKeys.size()));
    RemovePortClaims();
    DeleteKeys(step);
    return true;
}

bool CTfWin2kUninstallOperation::ArePortsFree()
{
    for (DWORD dwNumber : m_Data.m_ComPorts) {
        CString strPath;
        strPath.Format(u"\\\\.\\COM%d", static_cast<int>(dwNumber));
        HANDLE hPort = CreateFileW(strPath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (hPort != INVALID_HANDLE_VALUE) {
            CloseHandle(hPort);
            continue;
        }
        if (GetLastError() == ERROR_ACCESS_DENIED) return false;
    }
    return true;
}
