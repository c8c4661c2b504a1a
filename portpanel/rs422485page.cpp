// The RS-422/485 page. Every apply sends the port set as the driver has it now with the chosen
// mode, changed or not; a page whose set could not be read sends nothing.
#include "rs422485page.h"

#include "portandbussets.h"
#include "portpanelmodule.h"
#include "heldportquestion.h"
#include "utils.h"

namespace {

const CControlText TEXTS[] = {{IDC_DUPLEX_TEXT, IDS_DUPLEX_TEXT}, {IDC_LABEL_HELP, IDS_LABEL_HELP},
                              {IDC_RESTORE_DEFAULTS, IDS_RESTORE_DEFAULTS}};
const CControlText TIPS[] = {{IDC_DUPLEX_MODE, IDS_TIP_DUPLEX_MODE}, {IDC_RESTORE_DEFAULTS, IDS_TIP_RESTORE_DEFAULTS}};
const DWORD HELP_IDS[] = {IDC_DUPLEX_MODE, 0x806B034E, IDC_RESTORE_DEFAULTS, 0x806B037C, 0, 0};

void CopyPortSet(const CvUser::CCvUVcpUserModeInterface& From, CvUser::CCvUVcpUserModeInterface& To)
{
    static_cast<CvUser::CVcpParameters&>(To) = static_cast<const CvUser::CVcpParameters&>(From);
}

}  // namespace

CRS422485Page::CRS422485Page(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData)
    : CChromedPageImpl(TIPS, sizeof(TIPS) / sizeof(TIPS[0]), HELP_IDS), m_DevInfoData(DevInfoData), m_RegInfo(hDevInfo, DevInfoData), m_Config(hDevInfo, DevInfoData)
{
    m_psp.hInstance = PortpanelInstance();
    m_strTitle.LoadString(IDS_RS422485_TITLE);
    SetTitle(m_strTitle);
    m_bSetRead = m_Config.Open() && m_Config.GetInformationSet(m_Set, FORWARD_PORT);
}

LRESULT CRS422485Page::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    CreateChrome();
    CPageChrome::SetTexts(m_hWnd, TEXTS, sizeof(TEXTS) / sizeof(TEXTS[0]));
    DefaultTheMode();
    FillModes();
    return TRUE;
}

void CRS422485Page::DefaultTheMode()
{
    if (m_Set.m_dwPortType == 1 && m_Set.m_dwDuplexMode == 0) m_Set.m_dwDuplexMode = 1;
}

void CRS422485Page::FillModes()
{
    CUtils Utils;
    CValueList List;
    Utils.BuildDuplexModeList(IDS_DUPLEXMODE_LIST, m_Set.m_dwSupportedDuplexModes, List);
    CComboBox Box(GetDlgItem(IDC_DUPLEX_MODE));
    Utils.FillComboBox(Box, List, m_Set.m_dwDuplexMode, FALSE);
}

void CRS422485Page::OnRestoreDefaults()
{
    CvUser::CCvUVcpUserModeInterface Defaults;
    if (!m_Config.GetStoredInformationSet(Defaults, FORWARD_PORT)) return;
    m_Set.m_dwDuplexMode = Defaults.m_dwDuplexMode;
    DefaultTheMode();
    FillModes();
}

BOOL CRS422485Page::ReadAgain()
{
    CvUser::CCvUVcpUserModeInterface Reread;
    if (!m_Config.GetInformationSet(Reread, FORWARD_PORT)) return FALSE;
    CopyPortSet(Reread, m_Set);
    return TRUE;
}

int CRS422485Page::OnApply()
{
    if (!m_bSetRead) return PSNRET_NOERROR;
    CvUser::CCvUVcpUserModeInterface Changed;
    if (!m_Config.GetInformationSet(Changed, FORWARD_PORT)) return PSNRET_INVALID;
    CComboBox Box(GetDlgItem(IDC_DUPLEX_MODE));
    Changed.m_dwDuplexMode = CUtils().GetSelectedItemData(Box);
    if (!UserAllowsChange(m_hWnd, m_RegInfo, IDS_PORT_OPEN_WARNING)) {
        ReadAgain();
        return PSNRET_INVALID;
    }
    if (!m_Config.SetInformationSet(Changed, FORWARD_PORT)) {
        ReadAgain();
        return PSNRET_INVALID;
    }
    CopyPortSet(Changed, m_Set);
    return PSNRET_NOERROR;
}

LRESULT CRS422485Page::OnCommand(UINT, WPARAM wParam, LPARAM, BOOL& bHandled)
{
    bHandled = HIWORD(wParam) == BN_CLICKED;
    if (!bHandled) return 0;
    if (LOWORD(wParam) == IDC_RESTORE_DEFAULTS) OnRestoreDefaults();
    else if (LOWORD(wParam) == IDC_HELP_BUTTON) CPageChrome::ShowTopic(m_hWnd, u"%s::/422485Page.htm>mainwin");
    else bHandled = FALSE;
    return 0;
}

