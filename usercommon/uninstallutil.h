// CUninstallUtil: stateless device, registry-security and Windows-version operations of the
// uninstallation and installation wizards. Callers create it on the stack around a call.
//
// Key access is granted by adding a full-access entry for the built-in Administrators to a key's
// existing list, never by replacing the list; a grant can record each list it changed, so that a
// caller puts the lists back on the keys it does not delete.
#pragma once

#include <atlstr.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <windows.h>

#include <vector>

// The access lists a grant changed, as they were before it.
class CKeyAccessList {
public:
    struct Entry {
        CString strKey;  // below HKLM
        REGSAM samView = 0;
        std::vector<BYTE> descriptor;  // self-relative, the DACL only
    };
    std::vector<Entry> m_Entries;
};

class CUninstallUtil {
public:
    virtual ~CUninstallUtil() = default;

    // Every device of the flags' kind (callers pass DIGCF_ALLCLASSES); false for no set.
    BOOL GetAllClassDevices(HDEVINFO& hDevInfo, DWORD dwFlags);
    // Whether the device's property, upper-cased, contains the text; of a multi-string only its
    // first string takes part. False when the property cannot be read.
    BOOL DevicePropertyContains(HDEVINFO hDevInfo, LPCWSTR pszText, PSP_DEVINFO_DATA pData, DWORD dwProperty);
    // The device with that instance ID added to the set (or found there) and described.
    BOOL OpenDeviceInfo(HDEVINFO hDevInfo, LPCWSTR pszInstanceId, PSP_DEVINFO_DATA pData);
    // Removes the device from the machine, then its element from the set in either case; true only
    // when both succeed.
    BOOL RemoveDevice(HDEVINFO hDevInfo, SP_DEVINFO_DATA DevInfoData);
    // Adds the Administrators' full-access entry to the key's list (HKLM, view flags given).
    BOOL GrantKeyAccess(LPCWSTR pszSubKey, REGSAM samView, CKeyAccessList* pSaved = nullptr);
    // The same on the key and every key below it; false, touching nothing, when the top key's list
    // cannot be changed.
    BOOL GrantKeyAccessTree(LPCWSTR pszSubKey, REGSAM samView, CKeyAccessList* pSaved = nullptr);
    // Puts back each recorded list, the deepest keys first; keys that have gone are passed over.
    BOOL RestoreKeyAccess(const CKeyAccessList& saved);
    BOOL IsWindows2000OrLater();
    BOOL IsVistaOrLater();
    BOOL IsWindows2000();
    BOOL IsWin98OrMe();
    BOOL GetSystemDir(CString& strDir);
    // The root device node re-enumerated, then (except on Windows 2000) again retrying installation.
    BOOL ReenumerateRoot();

private:
    // GetVersionExW with the extended record, then the plain one; false when both fail.
    BOOL GetVersion(OSVERSIONINFOW& info);
};
