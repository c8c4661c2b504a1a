// CVexilUSBInstaller: the install worker. It removes an earlier installation (asking first in the
// wizard), copies the bus and port INF files into the system's INF store, updates the drivers of
// present adapters, marks absent adapters for reinstallation and re-enumerates the device tree.
// In the wizard it runs on the install page's thread and moves the wizard on when it ends; a
// silent run has it on the main thread, with no window and no message box.
#pragma once

#include <afx.h>
#include <setupapi.h>
#include <windows.h>

class CVexilUSBInstallData;

class CVexilUSBInstaller {
public:
    CVexilUSBInstaller(CVexilUSBInstallData* pData, BOOL bSilent) : m_pData(pData), m_bSilent(bSilent) {}

    // The wizard's windows: the page (owner of the question), the sheet (moved on at the end) and
    // the page's animation control. Not used in a silent run.
    void SetWindows(HWND hPage, HWND hSheet, HWND hAnimation);

    void Run();

    // The Win32 error of the run's first failed INF copy (the bus INF's ends the run), else 0.
    DWORD CopyError() const { return m_dwCopyError; }

private:
    BOOL ConfirmRemoval();
    void RemovePreviousInstallation();
    void FindPackageDevices(CPtrList& found, CPtrList& numbers);
    void FindChildren(CPtrList& found, CPtrList& children, CPtrList& numbers);
    void ReleaseComNumbers(CPtrList& numbers);
    BOOL InstallBusInf();
    void InstallPortInf();
    void UpdateDrivers(const CString& strInfPath, CStringList& ids);
    void MarkAbsentAdapters();
    void Advance();

    CVexilUSBInstallData* m_pData;
    const BOOL m_bSilent;
    HWND m_hPage = nullptr;
    HWND m_hSheet = nullptr;
    HWND m_hAnimation = nullptr;
    DWORD m_dwCopyError = 0;
};
