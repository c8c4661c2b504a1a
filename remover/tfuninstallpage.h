// The page that removes what the search found: its worker runs the operation's three removals and
// moves the wizard on to the finish page, or ends the wizard at once when a removal fails. Neither
// Cancel nor the Close command is offered while it runs.
#pragma once

#include "tfwizardpage.h"

class CTfUninstallPage : public CTfWizardPage {
public:
    CTfUninstallPage();

protected:
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    void DoDataExchange(CDataExchange* pDX) override;
    static UINT UninstallThreadProc(LPVOID pParam);
    bool Uninstall();

    CStatic m_status;
    CStatic m_label;
    CProgressCtrl m_stepProgress;
    CProgressCtrl m_overallProgress;
};
