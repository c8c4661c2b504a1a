// The Port Settings page.
//
// An apply takes the controls into a working copy of the set and the page's set changes only from
// a send the driver accepted or a read from the driver; after the driver refused a set, or the
// user declined to change an open port, the next apply sends again even when the controls match
// what the driver now reports.
#include "cvuipropertypage.h"

#include "advanceddialog.h"
#include "heldportquestion.h"
#include "portpanelmodule.h"
#include "portutil.h"
#include "utils.h"

namespace {

const BYTE LOW_FLOW_BITS = 0x7;

// Control -> context-help topic, ended by 0, 0.
const DWORD HELP_IDS[] = {
    IDC_BAUD_RATE, 0x806B0349, IDC_LABEL_BAUD, 0x806B0349, IDC_DATA_BITS, 0x806B034A, IDC_LABEL_DATA_BITS, 0x806B034A,
    IDC_PARITY, 0x806B034B, IDC_LABEL_PARITY, 0x806B034B, IDC_STOP_BITS, 0x806B034C, IDC_LABEL_STOP_BITS, 0x806B034C,
    IDC_FLOW_CONTROL, 0x806B034D, IDC_LABEL_FLOW_CONTROL, 0x806B034D, IDC_OVERRIDE_BAUD, 0x806B00CE,
    IDC_OVERRIDE_DATA_BITS, 0x806B00CF, IDC_OVERRIDE_PARITY, 0x806B00D0, IDC_OVERRIDE_STOP_BITS, 0x806B00D1,
    IDC_OVERRIDE_FLOW_CONTROL, 0x806B00D2, IDC_CTS_TRUE, 0x806B00D3, IDC_LABEL_CTS, 0x806B00D3, IDC_DSR_TRUE, 0x806B00CD,
    IDC_LABEL_DSR, 0x806B00CD, IDC_RESTORE_DEFAULTS, 0x806B037C, IDC_ADVANCED, 0x806B0348, 0, 0};

const CControlText CONTROL_TEXTS[] = {
    {IDC_LABEL_BAUD, IDS_LABEL_BAUD}, {IDC_LABEL_DATA_BITS, IDS_LABEL_DATA_BITS}, {IDC_LABEL_PARITY, IDS_LABEL_PARITY},
    {IDC_LABEL_STOP_BITS, IDS_LABEL_STOP_BITS}, {IDC_LABEL_FLOW_CONTROL, IDS_LABEL_FLOW_CONTROL},
    {IDC_OVERRIDE_BAUD, IDS_OVERRIDE}, {IDC_OVERRIDE_DATA_BITS, IDS_OVERRIDE}, {IDC_OVERRIDE_PARITY, IDS_OVERRIDE},
    {IDC_OVERRIDE_STOP_BITS, IDS_OVERRIDE}, {IDC_OVERRIDE_FLOW_CONTROL, IDS_OVERRIDE}, {IDC_LABEL_CTS, IDS_LABEL_CTS},
    {IDC_LABEL_DSR, IDS_LABEL_DSR}, {IDC_NOTE_TEXT, IDS_NOTE}, {IDC_LABEL_HELP, IDS_LABEL_HELP},
    {IDC_GROUP_SETTINGS, IDS_GROUP_SETTINGS}, {IDC_ADVANCED, IDS_ADVANCED}, {IDC_RESTORE_DEFAULTS, IDS_RESTORE_DEFAULTS},
};

// The page's tools and their tip texts (the baud field's is chosen by the tip state).
const CControlText TIPS[] = {
    {IDC_LABEL_BAUD, IDS_TIP_BAUD}, {IDC_LABEL_DATA_BITS, 5008}, {IDC_LABEL_PARITY, 5009}, {IDC_LABEL_STOP_BITS, 5010},
    {IDC_LABEL_FLOW_CONTROL, 5011}, {IDC_LABEL_CTS, 5017}, {IDC_LABEL_DSR, 5018}, {IDC_BAUD_RATE, IDS_TIP_BAUD},
    {IDC_DATA_BITS, 5008}, {IDC_PARITY, 5009}, {IDC_STOP_BITS, 5010}, {IDC_FLOW_CONTROL, 5011},
    {IDC_OVERRIDE_BAUD, 5012}, {IDC_OVERRIDE_DATA_BITS, 5013}, {IDC_OVERRIDE_PARITY, 5014},
    {IDC_OVERRIDE_STOP_BITS, 5015}, {IDC_OVERRIDE_FLOW_CONTROL, 5016}, {IDC_CTS_TRUE, 5017}, {IDC_DSR_TRUE, 5018},
    {IDC_ADVANCED, 5060}, {IDC_RESTORE_DEFAULTS, 5059},
};

const int OVERRIDE_IDS[] = {IDC_OVERRIDE_BAUD, IDC_OVERRIDE_DATA_BITS, IDC_OVERRIDE_PARITY, IDC_OVERRIDE_STOP_BITS,
                            IDC_OVERRIDE_FLOW_CONTROL};

const WCHAR ERROR_SETTING_TEXT[] = u"Error setting baud rate.\n\nPlease enter valid settable baud rate.";

DWORD* OverrideOf(CvUser::CCvUVcpUserModeInterface& Set, size_t nIndex)
{
    DWORD* Overrides[] = {&Set.m_dwOverridBaudRates, &Set.m_dwOverrideDataBits, &Set.m_dwOverrideParity,
                          &Set.m_dwOverrideStopbits, &Set.m_dwOverrideFlowControl};
    return Overrides[nIndex];
}

BOOL StorableFlow(DWORD dwFlow) { return dwFlow == 0 || (dwFlow & 0xF) != 0; }

}  // namespace

CCvUIPropertyPage::CCvUIPropertyPage(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData)
    : m_DevInfoData(*pDevInfoData), m_hDevInfo(hDevInfo), m_RegInfo(hDevInfo, *pDevInfoData),
      m_Config(hDevInfo, *pDevInfoData)
{
    m_psp.hInstance = PortpanelInstance();
    m_strTitle.LoadString(IDS_PORT_SETTINGS_TITLE);
    SetTitle(m_strTitle);
    m_bConnected = m_Config.Open() && m_Config.GetInformationSet(m_Set, 0);
}

CCvUIPropertyPage::~CCvUIPropertyPage() {}

LRESULT CCvUIPropertyPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    m_Chrome.Create(m_hWnd, TIPS, sizeof(TIPS) / sizeof(TIPS[0]));
    CPageChrome::SetTexts(m_hWnd, CONTROL_TEXTS, sizeof(CONTROL_TEXTS) / sizeof(CONTROL_TEXTS[0]));
    for (int nId : {IDC_NOTE_TEXT, IDC_NOTE_IMAGE, IDC_NOTE_FRAME}) ::ShowWindow(GetDlgItem(nId), SW_HIDE);
    HWND hBaudEdit = ::GetWindow(GetDlgItem(IDC_BAUD_RATE), GW_CHILD);
    ::SetWindowLongW(hBaudEdit, GWL_STYLE, ::GetWindowLongW(hBaudEdit, GWL_STYLE) | ES_NUMBER);
    Refresh();
    if (!SetDlgItemInt(IDC_BAUD_RATE, m_dwTypedBaudRate, FALSE)) {
        MessageBeep(MB_OK);
        ::SetFocus(GetDlgItem(IDC_BAUD_RATE));
    }
    m_nToolTipState = TIP_NORMAL;
    return TRUE;
}

LRESULT CCvUIPropertyPage::OnDestroy(UINT, WPARAM, LPARAM, BOOL&)
{
    m_Chrome.Destroy();
    return 0;
}

void CCvUIPropertyPage::Refresh()
{
    CUtils Utils;
    CValueList List;
    CComboBox Box(GetDlgItem(IDC_BAUD_RATE));
    Utils.BuildBaudRateList(m_Set.m_dwSupportedBaudRates, m_Set.m_dwMaxBaudRate, List);
    Utils.FillComboBox(Box, List, m_Set.m_dwBaudrate, FALSE);
    List.clear();
    Box = GetDlgItem(IDC_DATA_BITS);
    Utils.BuildDataBitsList(m_Set.m_dwSupportedDataBits, List);
    Utils.FillComboBox(Box, List, m_Set.m_dwDatabits, FALSE);
    List.clear();
    Box = GetDlgItem(IDC_PARITY);
    Utils.BuildParityList(IDS_PARITY_LIST, m_Set.m_dwSupportedParities, List);
    Utils.FillComboBox(Box, List, m_Set.m_dwParity, FALSE);
    List.clear();
    Box = GetDlgItem(IDC_STOP_BITS);
    Utils.BuildStopBitsList(IDS_STOPBITS_LIST, m_Set.m_dwSupportedStopBits, List);
    Utils.FillComboBox(Box, List, m_Set.m_dwStopbits, FALSE);
    FillFlowControl();
    for (size_t i = 0; i < 5; ++i) Check(OVERRIDE_IDS[i], *OverrideOf(m_Set, i) != 0);
    ApplyHandshakeRules(TRUE);
    UpdateNote();
    m_dwTypedBaudRate = m_Set.m_dwBaudrate;
    m_dwMinBaudRate = m_Set.m_dwMinBaudRate;
    m_dwMaxBaudRate = m_Set.m_dwMaxBaudRate;
}

void CCvUIPropertyPage::FillFlowControl()
{
    DWORD dwSupported = m_Set.m_dwSupportedFlowControls;
    if (m_Set.m_dwPortType == 1 && m_Set.m_dwDuplexMode == 2) dwSupported &= ~static_cast<DWORD>(LOW_FLOW_BITS);
    CUtils Utils;
    CValueList List;
    CComboBox Box(GetDlgItem(IDC_FLOW_CONTROL));
    Utils.BuildFlowControlList(IDS_FLOWCONTROL_LIST, dwSupported, List);
    Utils.FillComboBox(Box, List, m_Set.m_dwFlowControl, TRUE);
}

void CCvUIPropertyPage::ApplyHandshakeRules(BOOL bFromSet)
{
    if (m_Set.m_dwPortType == 1) {
        Check(IDC_DSR_TRUE, TRUE);
        Enable(IDC_DSR_TRUE, FALSE);
        Enable(IDC_LABEL_DSR, FALSE);
        const BOOL bHalfDuplex = m_Set.m_dwDuplexMode == 2;
        if (bHalfDuplex) Check(IDC_CTS_TRUE, TRUE);
        else if (bFromSet) Check(IDC_CTS_TRUE, m_Set.m_dwEmulateCTSTrue != 0);
        Enable(IDC_CTS_TRUE, !bHalfDuplex);
        Enable(IDC_LABEL_CTS, !bHalfDuplex);
    } else if (bFromSet) {
        Check(IDC_CTS_TRUE, m_Set.m_dwEmulateCTSTrue != 0);
        Check(IDC_DSR_TRUE, m_Set.m_dwEmulateDSRTrue != 0);
    }
    if (m_Set.m_dwCtsSupported == 0) {
        Check(IDC_CTS_TRUE, TRUE);
        Enable(IDC_CTS_TRUE, FALSE);
        Enable(IDC_LABEL_CTS, FALSE);
    }
    if (m_Set.m_dwDsrSupported == 0) {
        Check(IDC_DSR_TRUE, TRUE);
        Enable(IDC_DSR_TRUE, FALSE);
    }
}

void CCvUIPropertyPage::UpdateNote()
{
    BOOL bShow = FALSE;
    for (int nId : OVERRIDE_IDS) bShow = bShow || Checked(nId);
    if (m_Set.m_dwPortType != 1)
        bShow = bShow || (Checked(IDC_CTS_TRUE) && m_Set.m_dwCtsSupported) || (Checked(IDC_DSR_TRUE) && m_Set.m_dwDsrSupported);
    for (int nId : {IDC_NOTE_TEXT, IDC_NOTE_IMAGE, IDC_NOTE_FRAME}) ::ShowWindow(GetDlgItem(nId), bShow ? SW_SHOW : SW_HIDE);
}

LRESULT CCvUIPropertyPage::OnCommand(UINT, WPARAM wParam, LPARAM, BOOL& bHandled)
{
    const int nId = LOWORD(wParam);
    if (HIWORD(wParam) != BN_CLICKED) {
        bHandled = FALSE;
        return 0;
    }
    if (nId >= IDC_DSR_TRUE && nId <= IDC_CTS_TRUE) UpdateNote();
    else if (nId == IDC_HELP_BUTTON) OnHelpButton();
    else if (nId == IDC_ADVANCED) OnAdvanced();
    else if (nId == IDC_RESTORE_DEFAULTS) OnRestoreDefaults();
    else bHandled = FALSE;
    return 0;
}

void CCvUIPropertyPage::CopySettings(const CvUser::CCvUVcpUserModeInterface& From, CvUser::CCvUVcpUserModeInterface& To,
                                     BOOL bAll)
{
    if (bAll) {
        static_cast<CvUser::CVcpParameters&>(To) = static_cast<const CvUser::CVcpParameters&>(From);
        return;
    }
    // Restore Defaults: the settings the page edits, under the apply's range rules.
    To.m_dwBaudrate = From.m_dwBaudrate;
    if (From.m_dwDatabits <= 3) To.m_dwDatabits = From.m_dwDatabits;
    if (From.m_dwParity <= 4) To.m_dwParity = From.m_dwParity;
    if (From.m_dwStopbits <= 2) To.m_dwStopbits = From.m_dwStopbits;
    if (StorableFlow(From.m_dwFlowControl)) To.m_dwFlowControl = From.m_dwFlowControl;
    for (size_t i = 0; i < 5; ++i)
        *OverrideOf(To, i) = *OverrideOf(const_cast<CvUser::CCvUVcpUserModeInterface&>(From), i) ? 1 : 0;
    To.m_dwEmulateCTSTrue = From.m_dwEmulateCTSTrue ? 1 : 0;
    To.m_dwEmulateDSRTrue = From.m_dwEmulateDSRTrue ? 1 : 0;
}

void CCvUIPropertyPage::OnRestoreDefaults()
{
    CvUser::CCvUVcpUserModeInterface Defaults;
    if (!m_Config.GetStoredInformationSet(Defaults, 0)) return;
    CopySettings(Defaults, m_Set, FALSE);
    Refresh();
    m_bDefaultsPending = TRUE;
}

INT_PTR CCvUIPropertyPage::RunAdvancedSheet()
{
    CAdvancedDialog Sheet(m_hDevInfo, m_DevInfoData);
    return Sheet.DoModal(::GetActiveWindow());
}

// The sheet's pages may have sent a duplex mode even when the sheet did not end with OK (a later
// page refused and the user cancelled): the mode is read from the driver after every run, so the
// page never sends back the one it had before.
void CCvUIPropertyPage::OnAdvanced()
{
    RunAdvancedSheet();
    CvUser::CCvUVcpUserModeInterface Reread;
    if (!m_Config.GetInformationSet(Reread, 0)) return;
    m_Set.m_dwDuplexMode = Reread.m_dwDuplexMode;
    if (m_Set.m_dwPortType == 1) FillFlowControl();
    ApplyHandshakeRules(FALSE);
}

void CCvUIPropertyPage::OnHelpButton()
{
    CPageChrome::ShowTopic(m_hWnd, m_Set.m_dwPortType == 1 ? u"%s::/StdPage485.htm>mainwin" : u"%s::/StdPage.htm>mainwin");
}

LRESULT CCvUIPropertyPage::OnHelp(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    CPageChrome::ContextHelp(lParam, HELP_IDS);
    return TRUE;
}

LRESULT CCvUIPropertyPage::OnColour(UINT uMsg, WPARAM wParam, LPARAM, BOOL&) { return m_Chrome.Colour(uMsg, wParam); }

LRESULT CCvUIPropertyPage::OnToolTipText(int, LPNMHDR pnmh, BOOL&)
{
    auto* pInfo = reinterpret_cast<NMTTDISPINFOW*>(pnmh);
    const int nId = ::GetDlgCtrlID(reinterpret_cast<HWND>(pnmh->idFrom));
    if (nId == IDC_BAUD_RATE || nId == IDC_LABEL_BAUD) {
        static CString strText;
        if (m_nToolTipState == TIP_OUT_OF_RANGE) {
            strText.Format(u"Baud rate out of Range.\n\nPlease enter value between %d and %d.", m_dwMinBaudRate, m_dwMaxBaudRate);
        } else if (m_nToolTipState == TIP_REFUSED) {
            strText = ERROR_SETTING_TEXT;
        } else {
            strText.LoadString(IDS_TIP_BAUD);
        }
        const BOOL bError = m_nToolTipState != TIP_NORMAL;
        m_Chrome.SetTipTitle(bError ? TTI_ERROR : TTI_INFO, bError ? u"Error:" : u"Information:");
        m_nToolTipState = TIP_NORMAL;
        pInfo->lpszText = const_cast<LPWSTR>(static_cast<LPCWSTR>(strText));
        return 0;
    }
    m_Chrome.TipText(pnmh);
    return 0;
}

void CCvUIPropertyPage::RefuseBaudRate()
{
    MessageBeep(MB_OK);
    ::SetFocus(GetDlgItem(IDC_BAUD_RATE));
    CString strText;
    strText.Format(u"Please enter baud rate between %d bps and %d bps.", m_dwMinBaudRate, m_dwMaxBaudRate);
    MessageBox(strText, u"Baud rate out of Range", MB_OK | MB_ICONERROR);
    m_nToolTipState = TIP_OUT_OF_RANGE;
}

BOOL CCvUIPropertyPage::TakeChanges(CvUser::CCvUVcpUserModeInterface& Changed)
{
    CopySettings(m_Set, Changed, TRUE);
    BOOL bChanged = m_dwTypedBaudRate != m_Set.m_dwBaudrate;
    Changed.m_dwBaudrate = m_dwTypedBaudRate;
    CUtils Utils;
    struct CSelection {
        int nId;
        DWORD* pdwTarget;
        DWORD dwCurrent;
        BOOL bStorable;
    };
    CComboBox Box;
    auto Selected = [&](int nId) {
        Box = GetDlgItem(nId);
        return Utils.GetSelectedItemData(Box);
    };
    const DWORD dwDataBits = Selected(IDC_DATA_BITS), dwParity = Selected(IDC_PARITY), dwStopBits = Selected(IDC_STOP_BITS),
                dwFlow = Selected(IDC_FLOW_CONTROL);
    const CSelection Selections[] = {
        {IDC_DATA_BITS, &Changed.m_dwDatabits, dwDataBits, dwDataBits <= 3},
        {IDC_PARITY, &Changed.m_dwParity, dwParity, dwParity <= 4},
        {IDC_STOP_BITS, &Changed.m_dwStopbits, dwStopBits, dwStopBits <= 2},
        {IDC_FLOW_CONTROL, &Changed.m_dwFlowControl, dwFlow, StorableFlow(dwFlow)},
    };
    for (const CSelection& Selection : Selections) {
        bChanged = bChanged || Selection.dwCurrent != *Selection.pdwTarget;
        if (Selection.bStorable) *Selection.pdwTarget = Selection.dwCurrent;
    }
    for (size_t i = 0; i < 5; ++i) {
        const DWORD dwChecked = Checked(OVERRIDE_IDS[i]) ? 1 : 0;
        bChanged = bChanged || dwChecked != (*OverrideOf(m_Set, i) ? 1u : 0u);
        *OverrideOf(Changed, i) = dwChecked;
    }
    const DWORD dwCts = Checked(IDC_CTS_TRUE) ? 1 : 0, dwDsr = Checked(IDC_DSR_TRUE) ? 1 : 0;
    if (m_Set.m_dwPortType != 1 || m_Set.m_dwDuplexMode != 2) {
        bChanged = bChanged || dwCts != (m_Set.m_dwEmulateCTSTrue ? 1u : 0u);
        Changed.m_dwEmulateCTSTrue = dwCts;
    }
    if (m_Set.m_dwPortType != 1) {
        bChanged = bChanged || dwDsr != (m_Set.m_dwEmulateDSRTrue ? 1u : 0u);
        Changed.m_dwEmulateDSRTrue = dwDsr;
    }
    return bChanged;
}

void CCvUIPropertyPage::ReadAgain()
{
    CvUser::CCvUVcpUserModeInterface Reread;
    if (m_Config.GetInformationSet(Reread, 0)) CopySettings(Reread, m_Set, TRUE);
}

int CCvUIPropertyPage::OnApply()
{
    BOOL bNumber = FALSE;
    const UINT uBaud = GetDlgItemInt(IDC_BAUD_RATE, &bNumber, FALSE);
    if (!bNumber || uBaud < m_dwMinBaudRate || uBaud > m_dwMaxBaudRate) {
        RefuseBaudRate();
        return PSNRET_INVALID;
    }
    m_dwTypedBaudRate = uBaud;
    CvUser::CCvUVcpUserModeInterface Changed;
    const BOOL bChanged = TakeChanges(Changed);
    if (!bChanged && !m_bDefaultsPending && !m_bResendPending) return PSNRET_NOERROR;

    if (!UserAllowsChange(m_hWnd, m_RegInfo, IDS_PORT_OPEN_QUESTION)) {
        ReadAgain();
        m_bResendPending = TRUE;
        return PSNRET_INVALID;
    }
    if (!m_Config.SetInformationSet(Changed, 0)) {
        MessageBox(ERROR_SETTING_TEXT, u"Error setting baud rate", MB_OK | MB_ICONERROR);
        m_nToolTipState = TIP_REFUSED;
        ReadAgain();
        m_bResendPending = TRUE;
        return PSNRET_INVALID;
    }
    CopySettings(Changed, m_Set, TRUE);
    m_bDefaultsPending = FALSE;
    m_bResendPending = FALSE;
    CUtils Utils;
    CComboBox Box;
    auto Selected = [&](int nId) {
        Box = GetDlgItem(nId);
        return Utils.GetSelectedItemData(Box);
    };
    CString strPortName;
    m_RegInfo.GetDeviceParameterString(u"PortName", strPortName);
    CPortUtil().WritePortSettings(strPortName, m_dwTypedBaudRate, Selected(IDC_DATA_BITS), Selected(IDC_PARITY),
                              Selected(IDC_STOP_BITS), Selected(IDC_FLOW_CONTROL));
    return PSNRET_NOERROR;
}
