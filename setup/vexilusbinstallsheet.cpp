#include "vexilusbinstallsheet.h"

#include "setupresources.h"

CVexilUSBInstallSheet::CVexilUSBInstallSheet(UINT nIDCaption, CWnd* pParentWnd, UINT iSelectPage, HBITMAP hbmWatermark,
                                             HPALETTE hpalWatermark, HBITMAP hbmHeader)
    : CPropertySheet(nIDCaption, pParentWnd, iSelectPage, hbmWatermark, hpalWatermark, hbmHeader),
      m_IntroPage(&m_Data),
      m_InstallPage(&m_Data, FALSE),
      m_FinishPage(&m_Data)
{
    AddPage(&m_IntroPage);
    AddPage(&m_InstallPage);
    AddPage(&m_FinishPage);
    m_psh.dwFlags |= PSH_WIZARD97 | PSH_HEADER | PSH_WATERMARK;
}

BOOL CVexilUSBInstallSheet::OnInitDialog()
{
    const BOOL bResult = CPropertySheet::OnInitDialog();
    CString strTitle;
    strTitle.LoadString(IDS_PAGE_TEXT);
    SetWindowText(strTitle);
    return bResult;
}
