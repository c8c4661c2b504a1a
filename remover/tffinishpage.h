// The wizard's last page: Finish schedules the deletion of the program's copy; when the page goes,
// a restart is offered if the operation needs one. In a silent run its worker presses Finish.
#pragma once

#include "tfwizardpage.h"

class CTfFinishPage : public CTfWizardPage {
public:
    CTfFinishPage();

protected:
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    BOOL OnWizardFinish() override;
    void DoDataExchange(CDataExchange* pDX) override;
    void OnDestroy();
    static UINT SilentFinishThreadProc(LPVOID pParam);
    void RestartSystem();

    CStatic m_title;
    CStatic m_text;
    CStatic m_hint;
    CStatic m_spare;
    CFont m_titleFont;

    DECLARE_MESSAGE_MAP()
};
