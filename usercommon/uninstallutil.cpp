#include "uninstallutil.h"

#include <algorithm>
#include <cstring>

#ifndef CM_REENUMERATE_RETRY_INSTALLATION
#define CM_REENUMERATE_RETRY_INSTALLATION 0x00000002
#endif

namespace {

constexpr DWORD kPropertyBufferBytes = 2048;

// The key's DACL in self-relative form (nothing but the DACL), or an empty vector.
std::vector<BYTE> ReadDacl(HKEY hKey)
{
    DWORD dwSize = 0;
    if (RegGetKeySecurity(hKey, DACL_SECURITY_INFORMATION, nullptr, &dwSize) != ERROR_INSUFFICIENT_BUFFER) return {};
    std::vector<BYTE> descriptor(dwSize);
    if (RegGetKeySecurity(hKey, DACL_SECURITY_INFORMATION, descriptor.data(), &dwSize) != ERROR_SUCCESS) return {};
    return descriptor;
}

// Whether the list already gives Administrators every right of a key.
BOOL HoldsAdministrators(PACL pAcl, PSID pAdministrators)
{
    ACL_SIZE_INFORMATION size{};
    if (!GetAclInformation(pAcl, &size, sizeof size, AclSizeInformation)) return FALSE;
    for (DWORD i = 0; i < size.AceCount; ++i) {
        LPVOID pAce = nullptr;
        if (!GetAce(pAcl, i, &pAce)) continue;
        auto* pAllowed = static_cast<ACCESS_ALLOWED_ACE*>(pAce);
        if (pAllowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && (pAllowed->Mask & KEY_ALL_ACCESS) == KEY_ALL_ACCESS &&
            EqualSid(&pAllowed->SidStart, pAdministrators))
            return TRUE;
    }
    return FALSE;
}

// The old list's entries, then the Administrators' full-access entry, written to the key.
BOOL WriteWidenedDacl(HKEY hKey, PACL pOld, PSID pAdministrators)
{
    ACL_SIZE_INFORMATION size{};
    if (pOld && !GetAclInformation(pOld, &size, sizeof size, AclSizeInformation)) return FALSE;
    const DWORD dwLength = std::max<DWORD>(size.AclBytesInUse, sizeof(ACL)) + sizeof(ACCESS_ALLOWED_ACE) -
                           sizeof(DWORD) + GetLengthSid(pAdministrators);
    std::vector<BYTE> aclBytes((dwLength + 3) & ~3u, 0);
    auto* pAcl = reinterpret_cast<PACL>(aclBytes.data());
    if (!InitializeAcl(pAcl, static_cast<DWORD>(aclBytes.size()), ACL_REVISION)) return FALSE;
    for (DWORD i = 0; i < size.AceCount; ++i) {
        LPVOID pAce = nullptr;
        if (!GetAce(pOld, i, &pAce) || !AddAce(pAcl, ACL_REVISION, MAXDWORD, pAce, static_cast<ACE_HEADER*>(pAce)->AceSize))
            return FALSE;
    }
    if (!AddAccessAllowedAce(pAcl, ACL_REVISION, KEY_ALL_ACCESS, pAdministrators)) return FALSE;
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, pAcl, FALSE))
        return FALSE;
    return RegSetKeySecurity(hKey, DACL_SECURITY_INFORMATION, &descriptor) == ERROR_SUCCESS;
}

}  // namespace

BOOL CUninstallUtil::GetAllClassDevices(HDEVINFO& hDevInfo, DWORD dwFlags)
{
    hDevInfo = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, dwFlags);
    return hDevInfo != INVALID_HANDLE_VALUE;
}

BOOL CUninstallUtil::DevicePropertyContains(HDEVINFO hDevInfo, LPCWSTR pszText, PSP_DEVINFO_DATA pData, DWORD dwProperty)
{
    // One character more than the read may fill, so the text always ends.
    std::vector<WCHAR> buffer(kPropertyBufferBytes / sizeof(WCHAR) + 1, 0);
    if (!SetupDiGetDeviceRegistryPropertyW(hDevInfo, pData, dwProperty, nullptr, reinterpret_cast<PBYTE>(buffer.data()),
                                           kPropertyBufferBytes, nullptr)) {
        (void)GetLastError();
        return FALSE;
    }
    CString strValue(buffer.data());
    CString strText(pszText);
    return strValue.MakeUpper().Find(strText.MakeUpper()) >= 0;
}

BOOL CUninstallUtil::RemoveDevice(HDEVINFO hDevInfo, SP_DEVINFO_DATA DevInfoData)
{
    const BOOL bRemoved = SetupDiRemoveDevice(hDevInfo, &DevInfoData);
    const BOOL bDeleted = SetupDiDeleteDeviceInfo(hDevInfo, &DevInfoData);
    return bRemoved && bDeleted;
}

BOOL CUninstallUtil::GrantKeyAccess(LPCWSTR pszSubKey, REGSAM samView, CKeyAccessList* pSaved)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszSubKey, 0, READ_CONTROL | WRITE_DAC | samView, &hKey) != ERROR_SUCCESS)
        return FALSE;
    std::vector<BYTE> original = ReadDacl(hKey);
    BOOL bPresent = FALSE, bDefaulted = FALSE;
    PACL pOld = nullptr;
    BOOL bResult = !original.empty() && GetSecurityDescriptorDacl(original.data(), &bPresent, &pOld, &bDefaulted);
    PSID pAdministrators = nullptr;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    if (bResult)
        bResult = AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                           &pAdministrators);
    // A present null list refuses nobody: there is nothing to add.
    const BOOL bOpenAlready = bResult && bPresent && (!pOld || HoldsAdministrators(pOld, pAdministrators));
    if (bResult && !bOpenAlready) {
        bResult = WriteWidenedDacl(hKey, bPresent ? pOld : nullptr, pAdministrators);
        if (bResult && pSaved) pSaved->m_Entries.push_back({CString(pszSubKey), samView, original});
    }
    if (pAdministrators) FreeSid(pAdministrators);
    RegCloseKey(hKey);
    return bResult;
}

BOOL CUninstallUtil::GrantKeyAccessTree(LPCWSTR pszSubKey, REGSAM samView, CKeyAccessList* pSaved)
{
    if (!GrantKeyAccess(pszSubKey, samView, pSaved)) return FALSE;
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszSubKey, 0, KEY_ENUMERATE_SUB_KEYS | samView, &hKey) != ERROR_SUCCESS)
        return TRUE;
    std::vector<CString> subKeys;
    for (DWORD dwIndex = 0;; ++dwIndex) {
        WCHAR szName[260];
        DWORD dwLength = 260;
        if (RegEnumKeyExW(hKey, dwIndex, szName, &dwLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        subKeys.push_back(CString(pszSubKey) + u"\\" + szName);
    }
    RegCloseKey(hKey);
    for (const CString& strChild : subKeys) GrantKeyAccessTree(strChild, samView, pSaved);
    return TRUE;
}

BOOL CUninstallUtil::RestoreKeyAccess(const CKeyAccessList& saved)
{
    BOOL bAll = TRUE;
    for (auto it = saved.m_Entries.rbegin(); it != saved.m_Entries.rend(); ++it) {
        HKEY hKey = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, it->strKey, 0, WRITE_DAC | it->samView, &hKey) != ERROR_SUCCESS) continue;
        std::vector<BYTE> descriptor = it->descriptor;
        bAll &= RegSetKeySecurity(hKey, DACL_SECURITY_INFORMATION, descriptor.data()) == ERROR_SUCCESS;
        RegCloseKey(hKey);
    }
    return bAll;
}

BOOL CUninstallUtil::GetVersion(OSVERSIONINFOW& info)
{
    OSVERSIONINFOEXW extended{};
    extended.dwOSVersionInfoSize = sizeof extended;
    if (GetVersionExW(reinterpret_cast<LPOSVERSIONINFOW>(&extended))) {
        std::memcpy(&info, &extended, sizeof info);
        return TRUE;
    }
    info = OSVERSIONINFOW{};
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExW(&info);
}

BOOL CUninstallUtil::IsWindows2000OrLater()
{
    OSVERSIONINFOW info;
    return GetVersion(info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion > 4;
}

BOOL CUninstallUtil::IsVistaOrLater()
{
    OSVERSIONINFOW info;
    return GetVersion(info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion > 5;
}

BOOL CUninstallUtil::IsWindows2000()
{
    OSVERSIONINFOW info;
    return GetVersion(info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion == 5 &&
           info.dwMinorVersion == 0;
}

BOOL CUninstallUtil::IsWin98OrMe()
{
    OSVERSIONINFOW info;
    return GetVersion(info) && info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS &&
           (info.dwMajorVersion > 4 || (info.dwMajorVersion == 4 && info.dwMinorVersion != 0));
}

BOOL CUninstallUtil::GetSystemDir(CString& strDir)
{
    WCHAR szDir[260];
    const UINT uLength = GetSystemDirectoryW(szDir, 260);
    if (uLength == 0 || uLength >= 260) return FALSE;
    strDir = szDir;
    return TRUE;
}

BOOL CUninstallUtil::ReenumerateRoot()
{
    DEVINST dnRoot = 0;
    if (CM_Locate_DevNodeW(&dnRoot, nullptr, CM_LOCATE_DEVNODE_NORMAL) != CR_SUCCESS) return FALSE;
    if (CM_Reenumerate_DevNode(dnRoot, 0) != CR_SUCCESS) return FALSE;
    if (IsWindows2000()) return TRUE;
    return CM_Reenumerate_DevNode(dnRoot, CM_REENUMERATE_RETRY_INSTALLATION) == CR_SUCCESS;
}
