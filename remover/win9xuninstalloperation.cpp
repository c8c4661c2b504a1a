#include "win9xuninstalloperation.h"

#include <synchapi.h>
#include <sysinfoapi.h>

#include <vector>

#include "operationtext.h"
#include "uninstallfiledeletion.h"

namespace {

constexpr DWORD kNameChars = 260;
constexpr DWORD kStringBytes = 260 * sizeof(WCHAR);

CTfStringTable SubKeysOf(const CString& strKey)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, strKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return {};
    CTfStringTable names = TfSubKeyNames(hKey, kNameChars);
    RegCloseKey(hKey);
    return names;
}

bool ReadKeyString(const CString& strKey, LPCWSTR pszName, CString& strValue)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, strKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS) return false;
    const bool bRead = TfReadRegString(hKey, pszName, strValue, kStringBytes);
    RegCloseKey(hKey);
    return bRead;
}

CString Join(const CString& strFirst, const CString& strSecond)
{
    CString strKey;
    strKey.Format(u"%s\\%s", static_cast<LPCWSTR>(strFirst), static_cast<LPCWSTR>(strSecond));
    return strKey;
}

bool ContainsNoCase(CString strText, CString strPart)
{
    return strText.MakeUpper().Find(strPart.MakeUpper()) >= 0;
}

bool StartsWithNoCase(CString strText, CString strPrefix)
{
    return strText.MakeUpper().Left(strPrefix.GetLength()) == strPrefix.MakeUpper();
}

}  // namespace

void CTfWin9xUninstallOperation::SearchProducts(CProgressCtrl* pProgress)
{
    BeginStep(pProgress);
    Sleep(1000);
    Sleep(1000);
}

void CTfWin9xUninstallOperation::AddKey(const CString& strKey)
{
    TfAddOnce(m_Data.m_RegistryKeys, strKey);
}

void CTfWin9xUninstallOperation::AddDriverKey(const CString& strInstanceKey)
{
    CString strDriver;
    if (ReadKeyString(strInstanceKey, u"Driver", strDriver) && !strDriver.IsEmpty()) AddKey(Join(m_Data.m_strDriverKeyPrefix, strDriver));
}

void CTfWin9xUninstallOperation::SearchMultiFunction(const CString& strRoot, const CString& strDevice)
{
    const CString strDeviceKey = Join(strRoot, strDevice);
    for (const CString& strInstance : SubKeysOf(strDeviceKey)) {
        if (!ContainsNoCase(strInstance, m_Data.m_strManufacturerTag) && !ContainsNoCase(strInstance, m_Data.m_strProviderTag)) continue;
        AddKey(Join(strDeviceKey, strInstance));
        AddDriverKey(Join(strDeviceKey, strInstance));
    }
}

void CTfWin9xUninstallOperation::SearchPci(const CString& strRoot, const CString& strDevice)
{
    if (!StartsWithNoCase(strDevice, m_Data.m_strPciVendorTag) && !StartsWithNoCase(strDevice, m_Data.m_strManufacturerTag)) return;
    const CString strDeviceKey = Join(strRoot, strDevice);
    AddKey(strDeviceKey);
    for (const CString& strInstance : SubKeysOf(strDeviceKey)) {
        AddKey(Join(strDeviceKey, strInstance));
        AddDriverKey(Join(strDeviceKey, strInstance));
    }
}

void CTfWin9xUninstallOperation::SearchByManufacturer(const CString& strRoot, const CString& strDevice)
{
    const CString strDeviceKey = Join(strRoot, strDevice);
    CString strMfg;
    bool bMatches = ReadKeyString(strDeviceKey, u"Mfg", strMfg) && ContainsNoCase(strMfg, m_Data.m_strProviderTag);
    // The 9x Enum tree keeps Mfg on each instance.
    const CTfStringTable instances = SubKeysOf(strDeviceKey);
    for (const CString& strInstance : instances)
        if (!bMatches && ReadKeyString(Join(strDeviceKey, strInstance), u"Mfg", strMfg))
            bMatches = ContainsNoCase(strMfg, m_Data.m_strProviderTag);
    if (!bMatches) return;
    AddKey(strDeviceKey);
    AddDriverKey(strDeviceKey);
    for (const CString& strInstance : instances) AddDriverKey(Join(strDeviceKey, strInstance));
}

void CTfWin9xUninstallOperation::SearchEnumRoot(const CString& strRoot)
{
    for (const CString& strDevice : SubKeysOf(strRoot)) {
        if (StartsWithNoCase(strRoot, u"ENUM\\MF"))
            SearchMultiFunction(strRoot, strDevice);
        else if (StartsWithNoCase(strRoot, u"ENUM\\PCI"))
            SearchPci(strRoot, strDevice);
        else
            SearchByManufacturer(strRoot, strDevice);
    }
}

void CTfWin9xUninstallOperation::SearchClassKeys()
{
    for (const CString& strClassKey : m_Data.m_ClassKeys)
        for (const CString& strSubKey : SubKeysOf(strClassKey)) {
            CString strProvider;
            if (ReadKeyString(Join(strClassKey, strSubKey), u"ProviderName", strProvider) &&
                ContainsNoCase(strProvider, m_Data.m_strProviderTag))
                AddKey(Join(strClassKey, strSubKey));
        }
}

void CTfWin9xUninstallOperation::SearchRegistryEntries(CProgressCtrl* pProgress)
{
    CTfStepProgress& step = BeginStep(pProgress);
    step.SetRange(0, 2);
    AddKey(u"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vexil.USB");
    for (const CString& strRoot : m_Data.m_EnumRoots) SearchEnumRoot(strRoot);
    step.Advance();
    SearchClassKeys();
    step.Advance();
}

void CTfWin9xUninstallOperation::SearchDriverFiles(CProgressCtrl* pProgress)
{
    CTfStepProgress& step = BeginStep(pProgress);
    step.SetRange(0, 7);
    WCHAR szSystem[100] = {}, szWindows[100] = {};
    GetSystemDirectoryW(szSystem, 100);
    GetWindowsDirectoryW(szWindows, 100);
    struct Group {
        const CTfStringTable& names;
        LPCWSTR pszFormat;
        LPCWSTR pszDirectory;
        CTfStringTable& found;
    } groups[] = {{m_Data.m_SystemFiles, u"%s\\%s", szSystem, m_Data.m_SystemFilesFound},
                  {m_Data.m_VxdNames, u"%s\\%s", szSystem, m_Data.m_SystemFilesFound},
                  {m_Data.m_DllNames, u"%s\\%s", szSystem, m_Data.m_SystemFilesFound},
                  {m_Data.m_InfNames, u"%s\\Inf\\%s", szWindows, m_Data.m_InfFilesFound},
                  {m_Data.m_InfNames, u"%s\\Inf\\Other\\%s", szWindows, m_Data.m_InfFilesFound},
                  {m_Data.m_HelpFiles, u"%s\\Help\\%s", szWindows, m_Data.m_HelpFilesFound}};
    for (Group& group : groups) {
        for (const CString& strName : group.names) {
            CString strPath;
            strPath.Format(group.pszFormat, group.pszDirectory, static_cast<LPCWSTR>(strName));
            if (TfFileExists(strPath)) TfAddOnce(group.found, strPath);
        }
        step.Advance();
    }
    step.Advance();
}

bool CTfWin9xUninstallOperation::UninstallProducts(CProgressCtrl* pProgress)
{
    BeginStep(pProgress);
    Sleep(1000);
    return true;
}

void CTfWin9xUninstallOperation::DeleteWithCompanion(const CString& strPath, LPCWSTR pszCompanion, CTfStepProgress& step)
{
    if (TfDeletePackageFile(strPath, IsSilent()) == TfFileDeletion::Kept) TfAddOnce(m_Data.m_FilesLeft, strPath);
    if (pszCompanion) TfDeletePackageFile(TfWithExtension(strPath, pszCompanion), IsSilent());
    step.Advance();
}

bool CTfWin9xUninstallOperation::UninstallDriverFiles(CProgressCtrl* pProgress)
{
    CTfStepProgress& step = BeginStep(pProgress);
    const size_t nTotal = m_Data.m_SystemFilesFound.size() + m_Data.m_InfFilesFound.size() + m_Data.m_HelpFilesFound.size();
    if (nTotal == 0) {
        step.Advance();
        return true;
    }
    step.SetRange(1, static_cast<int>(nTotal));
    for (const CString& strPath : m_Data.m_SystemFilesFound) DeleteWithCompanion(strPath, nullptr, step);
    for (const CString& strPath : m_Data.m_InfFilesFound) DeleteWithCompanion(strPath, u".pnf", step);
    for (const CString& strPath : m_Data.m_HelpFilesFound) DeleteWithCompanion(strPath, u".gid", step);
    return true;
}

bool CTfWin9xUninstallOperation::UninstallRegistryEntries(CProgressCtrl* pProgress)
{
    CTfStepProgress& step = BeginStep(pProgress);
    if (m_Data.m_RegistryKeys.empty()) {
        step.Nothing();
        return true;
    }
    step.SetRange(1, static_cast<int>(m_Data.m_RegistryKeys.size()));
    for (const CString& strKey : m_Data.m_RegistryKeys) {
        // The 9x registry deletes a key with everything below it.
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, strKey);
        step.Advance();
    }
    return true;
}

int CTfWin9xUninstallOperation::IsRestartNeeded()
{
    BYTE bRestart = 0;
    ReenumerateDevices(bRestart);
    return bRestart || m_Data.m_nRestartNeeded ? 1 : 0;
}
