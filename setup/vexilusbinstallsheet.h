// CVexilUSBInstallSheet: Setup's Wizard97 sheet with its three pages and the install data they
// share.
#pragma once

#include <afxdlgs.h>

#include "setuppages.h"
#include "vexilusbinstalldata.h"

class CVexilUSBInstallSheet : public CPropertySheet {
public:
    CVexilUSBInstallSheet(UINT nIDCaption, CWnd* pParentWnd, UINT iSelectPage, HBITMAP hbmWatermark,
                          HPALETTE hpalWatermark, HBITMAP hbmHeader);

    BOOL OnInitDialog() override;

    CVexilUSBInstallData m_Data;  // made first: the pages are given it
    setup::CTfIntroPage m_IntroPage;
    setup::CVexilUSBInstallPage m_InstallPage;
    setup::CTfFinishPage m_FinishPage;
};
