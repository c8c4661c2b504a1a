// The uninstall operation the wizard drives: search the package's products, driver files and
// registry entries, check the ports, remove what was found, delete the program's own copy and tell
// whether a restart is needed. Each step reports on the step progress bar of the page it runs for.
// The wizard knows only this interface; the Windows 2000-and-later and the Windows 98/ME
// operations derive from it and are made by the two functions at the end.
#pragma once

#include <windows.h>

#include "stepprogress.h"

class CProgressCtrl;

class CTfUninstallOperation {
public:
    CTfUninstallOperation() = default;
    CTfUninstallOperation(const CTfUninstallOperation&) = delete;
    CTfUninstallOperation& operator=(const CTfUninstallOperation&) = delete;

    virtual ~CTfUninstallOperation() = default;
    // The three searches: each fills the operation's tables and reports on `progress`.
    virtual void SearchProducts(CProgressCtrl* progress) {}
    virtual void SearchDriverFiles(CProgressCtrl* progress) {}
    virtual void SearchRegistryEntries(CProgressCtrl* progress) {}
    // The three removals of what the searches found; false stops the uninstallation.
    virtual bool UninstallProducts(CProgressCtrl* progress) { return false; }
    virtual bool UninstallDriverFiles(CProgressCtrl* progress) { return false; }
    virtual bool UninstallRegistryEntries(CProgressCtrl* progress) { return false; }
    // Schedules the deletion of the program's copy in the system directory (shared by both
    // operations; defined with them).
    virtual bool DeleteUninstaller();
    // False when a COM port of the package is held open by another program.
    virtual bool ArePortsFree() { return true; }
    // Non-zero when the system must restart to complete the removal.
    virtual int IsRestartNeeded() { return 0; }
    // Re-enumerates the device tree from its root; `restartNeeded` is set when the system answers
    // that a restart is needed (shared; defined with the operations).
    virtual bool ReenumerateDevices(BYTE& restartNeeded);

    // A silent run shows only the boxes the wizard itself shows in silent mode.
    void SetSilent(bool silent) { m_silent = silent; }
    bool IsSilent() const { return m_silent; }
    // The range and advances the last step reported.
    const CTfStepProgress& LastStep() const { return m_lastStep; }

protected:
    // Starts a step on its progress bar.
    CTfStepProgress& BeginStep(CProgressCtrl* progress)
    {
        m_lastStep = CTfStepProgress(progress);
        return m_lastStep;
    }

private:
    bool m_silent = false;
    CTfStepProgress m_lastStep{nullptr};
};

// The operation for Windows 2000 and later, and the one for Windows 98 and ME (and the Windows 95
// dialog); null when it cannot be made. Defined with the operations.
CTfUninstallOperation* CreateWin2kUninstallOperation();
CTfUninstallOperation* CreateWin9xUninstallOperation();
