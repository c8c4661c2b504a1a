// The page that searches for the package: its worker runs the operation's three searches and the
// port test, then moves the wizard on by itself, or ends it when a port is held open. Cancel waits
// for the searches: pressed while they run, it is remembered and the worker ends the wizard then.
#pragma once

#include <atomic>

#include "tfwizardpage.h"

class CTfSearchPage : public CTfWizardPage {
public:
    CTfSearchPage();

protected:
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    BOOL OnQueryCancel() override;
    void DoDataExchange(CDataExchange* pDX) override;
    static UINT SearchThreadProc(LPVOID pParam);
    void Search();

    CStatic m_status;
    CStatic m_label;
    CProgressCtrl m_stepProgress;
    CProgressCtrl m_overallProgress;
    std::atomic<bool> m_bCancelled{false};
};
