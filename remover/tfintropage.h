// The wizard's first page: what the wizard does. In a silent run its worker presses Next at once.
#pragma once

#include "tfwizardpage.h"

class CTfIntroPage : public CTfWizardPage {
public:
    CTfIntroPage();

protected:
    BOOL OnInitDialog() override;
    BOOL OnSetActive() override;
    void DoDataExchange(CDataExchange* pDX) override;
    static UINT AutoAdvanceThreadProc(LPVOID pParam);

    CStatic m_title;
    CStatic m_text;
    CStatic m_hint;
    CFont m_titleFont;
};
