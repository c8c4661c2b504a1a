// CTfWin2kUninstallOperation: finds and removes the package on Windows 2000 and later: its devices
// (through SetupAPI), services, driver keys, driver files, INF files and COM numbers.
#pragma once

#include <atlstr.h>
#include <windows.h>

#include "uninstalldata.h"
#include "uninstalloperation.h"

class CTfWin2kUninstallOperation : public CTfUninstallOperation {
public:
    CTfWin2kUninstallOperation() = default;

    void SearchProducts(CProgressCtrl* pProgress) override { FindDevices(pProgress); }
    void SearchDriverFiles(CProgressCtrl* pProgress) override;
    void SearchRegistryEntries(CProgressCtrl* pProgress) override;
    bool UninstallProducts(CProgressCtrl* pProgress) override;
    bool UninstallDriverFiles(CProgressCtrl* pProgress) override;
    bool UninstallRegistryEntries(CProgressCtrl* pProgress) override;
    bool ArePortsFree() override;
    int IsRestartNeeded() override { return m_Data.m_nRestartNeeded; }

    void FindDevices(CProgressCtrl* pProgress);
    // Reads the instance's PortName and keeps its COM number.
    void ReadPortNames(const CString& strInstanceKey);

    const CTfWin2kUninstallData& Data() const { return m_Data; }

private:
    // Whether the device found by a pattern is one of the package's (SUBSYS rule, setup class).
    bool IsPackageDevice(CCVUninstallRegInfo& regInfo);
    bool MatchesPattern(const CString& strUpperText) const;
    bool IsPackageService(const CString& strService) const;
    // The INF, read whole, names a setup class and a hardware-ID pattern.
    bool InfNamesPackage(const CString& strPath) const;
    void SearchDeviceInfs();
    void SearchServiceImages();
    void SearchExistingFiles(CTfStepProgress& step);
    void SearchOemInfs();
    void AddOemInf(const CString& strPath);
    void SearchCandidateKeys();
    void SearchDriverKeys();
    void SearchEnumRoots();
    void SearchEnumDevice(const CString& strRoot, const CString& strDevice);
    void RemovePortClaims();
    void DeleteKeys(CTfStepProgress& step);

    CTfWin2kUninstallData m_Data;
};

// RegDeleteKeyExW from advapi32 in the view asked for, or SHDeleteKeyW where the system has no
// RegDeleteKeyExW; 126 (ERROR_MOD_NOT_FOUND) when advapi32 is not loaded.
LONG DeleteRegKeyEx(HKEY hKey, LPCWSTR pszSubKey, REGSAM samView, DWORD dwReserved);
