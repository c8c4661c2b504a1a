// What the five pages of the uninstallation wizard have in common: the operation they share (the
// sheet owns it), the silent flag, their worker, and hiding the sheet and the page in a silent run.
#pragma once

#include <afxcmn.h>
#include <afxdlgs.h>

#include "uninstalloperation.h"
#include "wizardsupport.h"

class CTfWizardPage : public CPropertyPage {
public:
    CTfWizardPage(UINT nIDTemplate, UINT nIDHeaderTitle, UINT nIDHeaderSubTitle, BOOL bHideHeader);

    void SetOperation(CTfUninstallOperation* pOperation, BOOL bSilent);
    // The sheet's user-interface thread waits for the page's worker before the sheet goes.
    void WaitForWorker() { m_worker.Wait(); }

protected:
    BOOL OnInitDialog() override;
    // The sheet is hidden, and the page with it, and neither shows in the task bar.
    void HideInSilentMode();
    CPropertySheet* GetSheet() const { return static_cast<CPropertySheet*>(GetParent()); }
    void SetWizardButtons(DWORD dwFlags) { GetSheet()->PostMessage(PSM_SETWIZBUTTONS, 0, dwFlags); }

    CTfUninstallOperation* m_pOperation = nullptr;
    BOOL m_bSilent = FALSE;
    CTfWorker m_worker;
};
