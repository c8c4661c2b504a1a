// CTfInstApp: Setup's application object. "/s" installs without any window and ends with an exit
// code that says whether it installed; "/h" and "/?" show the usage; otherwise the wizard runs.
#pragma once

#include <afxwin.h>

class CTfInstApp : public CWinApp {
public:
    CTfInstApp();

    BOOL InitInstance() override;
    // The silent run's result: 0 installed, else the Win32 error that kept it from installing.
    int ExitInstance() override;

    BOOL IsUserAdmin();
    BOOL IsVistaOrLater();
    BOOL IsHighColorDisplay();

private:
    void RunSilent();
    void RunWizard();
    void ShowUsage();

    int m_nExitCode = 0;
};
