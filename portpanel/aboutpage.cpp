// The About page.
#include "aboutpage.h"

#include "portpanelmodule.h"

namespace {

const WCHAR MAKER_SITE[] = u"https://www.vexil.example/";

}  // namespace

CAboutPage::CAboutPage()
{
    m_psp.hInstance = PortpanelInstance();
    SetTitle(u"About");
}

LRESULT CAboutPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    m_Link.SubclassWindow(GetDlgItem(IDC_ABOUT_LINK));
    m_Link.SetHyperLink(MAKER_SITE);
    return TRUE;
}
