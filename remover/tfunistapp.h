// The uninstallation program: one copy at a time; the plain dialog on Windows 95, otherwise the
// wizard (silent with "/s") for a user with administrator rights.
#pragma once

#include <afxwin.h>

class CTfUnistApp : public CWinApp {
public:
    CTfUnistApp();

    BOOL InitInstance() override;
    int ExitInstance() override;

    BOOL IsHighColorDisplay();
    BOOL IsWindows95();
    BOOL IsUserAdmin();

private:
    HANDLE m_hInstanceMutex = nullptr;
};
