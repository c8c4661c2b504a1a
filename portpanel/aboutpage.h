// CAboutPage: the advanced sheet's About page, with a link to the maker's web site.
#pragma once

#include <atlctrlx.h>
#include <atldlgs.h>

#include "advancedresource.h"

class CAboutPage : public CPropertyPageImpl<CAboutPage> {
public:
    enum { IDD = IDD_ADV_ABOUT };

    CAboutPage();

    BEGIN_MSG_MAP(CAboutPage)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    CHAIN_MSG_MAP(CPropertyPageImpl<CAboutPage>)
    END_MSG_MAP()

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);

    CHyperLink m_Link;
};
