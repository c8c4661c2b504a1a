// The uninstallation wizard: intro, search, confirm (not in a silent run), uninstall and finish
// pages over one uninstall operation, which the sheet owns. The sheet outlives its pages' workers:
// it waits for them before the operation and the pages go.
#pragma once

#include "tfconfirmpage.h"
#include "tffinishpage.h"
#include "tfintropage.h"
#include "tfsearchpage.h"
#include "tfuninstallpage.h"

class CTfUninstallSheet : public CPropertySheet {
public:
    CTfUninstallSheet(UINT nIDCaption, CWnd* pParentWnd, UINT iSelectPage, HBITMAP hbmWatermark, HPALETTE hpalWatermark,
                      HBITMAP hbmHeader, BOOL bSilent);
    ~CTfUninstallSheet() override;

    BOOL OnInitDialog() override;

protected:
    CTfIntroPage m_introPage;
    CTfSearchPage m_searchPage;
    CTfConfirmPage m_confirmPage;
    CTfUninstallPage m_uninstallPage;
    CTfFinishPage m_finishPage;
    CTfUninstallOperation* m_pOperation = nullptr;
    BYTE m_bSilent;
};
