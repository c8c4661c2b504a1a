// The USB latency page.
//
// The page sends only what the user changed: a slider is compared with the stored value as the
// slider can show it (pulled into its range), so a stored value outside the range is no change.
// A page whose bus set could not be read shows no policy and sends nothing, neither on OK nor on
// Restore Defaults. A Restore Defaults the driver refuses shows the driver's values again.
#include "newusbsettingspage.h"

#include <algorithm>

#include "latencytable.h"
#include "portpanelmodule.h"
#include "heldportquestion.h"

namespace {

const CControlText TEXTS[] = {{IDC_LATENCY_TEXT, IDS_LATENCY_TEXT}, {IDC_LABEL_HELP, IDS_LABEL_HELP},
                              {IDC_RESTORE_DEFAULTS, IDS_RESTORE_DEFAULTS}};
const CControlText TIPS[] = {
    {IDC_POLICY_LATENCY, IDS_TIP_POLICY_LATENCY}, {IDC_POLICY_CPU, IDS_TIP_POLICY_CPU},
    {IDC_LATENCY_SLIDER, IDS_TIP_LATENCY},        {IDC_LATENCY_VALUE, IDS_TIP_LATENCY},
    {IDC_FINE_TUNING_SLIDER, IDS_TIP_FINE_TUNING}, {IDC_LABEL_FINE_TUNING, IDS_TIP_FINE_TUNING},
    {IDC_CPU_SLIDER, IDS_TIP_CPU},                {IDC_LABEL_LOWEST, IDS_TIP_CPU},
    {IDC_LABEL_HIGHEST, IDS_TIP_CPU},             {IDC_RESTORE_DEFAULTS, IDS_TIP_RESTORE_DEFAULTS},
};
const DWORD HELP_IDS[] = {IDC_POLICY_LATENCY,     0x806B034F, IDC_POLICY_CPU,        0x806B0350, IDC_LATENCY_SLIDER, 0x806B0351,
                          IDC_LATENCY_VALUE,      0x806B0351, IDC_FINE_TUNING_SLIDER, 0x806B0352, IDC_LABEL_FINE_TUNING,
                          0x806B0352,             IDC_CPU_SLIDER, 0x806B0353,        IDC_LABEL_LOWEST,   0x806B0353,
                          IDC_RESTORE_DEFAULTS,   0x806B037C, 0,                     0};

// The three sliders: id, range, and the bus-set value each shows.
struct CSlider {
    int nId;
    int nMin;
    int nMax;
    DWORD CvUser::CEnumdrvUserModeInterface::*pdwValue;
};
const CSlider SLIDERS[] = {
    {IDC_LATENCY_SLIDER, LATENCY_POSITION_MIN, LATENCY_POSITION_MAX,
     &CvUser::CEnumdrvUserModeInterface::m_dwMaximumLatencySliderPos},
    {IDC_FINE_TUNING_SLIDER, 1, 256, &CvUser::CEnumdrvUserModeInterface::m_dwMaximumLatencyFineTuning},
    {IDC_CPU_SLIDER, 0, 256, &CvUser::CEnumdrvUserModeInterface::m_dwLowCpuUsageFineTuning},
};

int Clamped(DWORD dwValue, const CSlider& Slider)
{
    return static_cast<int>(std::clamp<DWORD>(dwValue, Slider.nMin, Slider.nMax));
}

}  // namespace

CNewUSBSettingsPage::CNewUSBSettingsPage(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData)
    : CChromedPageImpl(TIPS, sizeof(TIPS) / sizeof(TIPS[0]), HELP_IDS), m_RegInfo(hDevInfo, DevInfoData), m_Sets(hDevInfo, DevInfoData)
{
    m_psp.hInstance = PortpanelInstance();
    m_strTitle.LoadString(IDS_USB_SETTINGS_TITLE);
    SetTitle(m_strTitle);
    m_Sets.Read();
}

LRESULT CNewUSBSettingsPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    CreateChrome();
    CPageChrome::SetTexts(m_hWnd, TEXTS, sizeof(TEXTS) / sizeof(TEXTS[0]));
    for (const CSlider& Slider : SLIDERS) CTrackBarCtrl(GetDlgItem(Slider.nId)).SetRange(Slider.nMin, Slider.nMax);
    Refresh();
    return TRUE;
}

void CNewUSBSettingsPage::Refresh()
{
    if (!m_Sets.BusSetRead()) {
        for (int nId : {IDC_POLICY_LATENCY, IDC_POLICY_CPU, IDC_LATENCY_SLIDER, IDC_FINE_TUNING_SLIDER, IDC_CPU_SLIDER,
                        IDC_LATENCY_VALUE, IDC_LABEL_LOWEST, IDC_LABEL_HIGHEST, IDC_RESTORE_DEFAULTS})
            Enable(nId, FALSE);
        SetDlgItemText(IDC_LATENCY_VALUE, u"n/a");
        return;
    }
    const CvUser::CEnumdrvUserModeInterface& Bus = m_Sets.BusSet();
    for (const CSlider& Slider : SLIDERS) CTrackBarCtrl(GetDlgItem(Slider.nId)).SetPos(static_cast<int>(Bus.*Slider.pdwValue));
    ShowLatency();
    if (Bus.m_dwPolicyType > 1) {
        for (int nId : {IDC_LATENCY_SLIDER, IDC_FINE_TUNING_SLIDER, IDC_LATENCY_VALUE, IDC_CPU_SLIDER}) Enable(nId, FALSE);
        MessageBox(u"Invalid USB Setting Policy.", u"Error", MB_OK | MB_ICONERROR);
        return;
    }
    CheckDlgButton(IDC_POLICY_LATENCY, Bus.m_dwPolicyType == 0 ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(IDC_POLICY_CPU, Bus.m_dwPolicyType == 1 ? BST_CHECKED : BST_UNCHECKED);
    ApplyEnableRule();
}

void CNewUSBSettingsPage::ApplyEnableRule()
{
    const BOOL bLatency = IsDlgButtonChecked(IDC_POLICY_LATENCY) == BST_CHECKED;
    for (int nId : {IDC_LATENCY_SLIDER, IDC_FINE_TUNING_SLIDER, IDC_LATENCY_VALUE}) Enable(nId, bLatency);
    for (int nId : {IDC_CPU_SLIDER, IDC_LABEL_LOWEST, IDC_LABEL_HIGHEST}) Enable(nId, !bLatency);
}

void CNewUSBSettingsPage::ShowLatency()
{
    CString strText;
    strText.Format(u"%d ms", LatencyOfSliderPosition(Position(IDC_LATENCY_SLIDER)));
    SetDlgItemText(IDC_LATENCY_VALUE, strText);
}

BOOL CNewUSBSettingsPage::TakeChanges(CvUser::CEnumdrvUserModeInterface& Changed)
{
    const CvUser::CEnumdrvUserModeInterface& Bus = m_Sets.BusSet();
    CopyBusSet(Bus, Changed);
    Changed.m_dwPolicyType = IsDlgButtonChecked(IDC_POLICY_LATENCY) == BST_CHECKED ? 0 : 1;
    BOOL bChanged = Changed.m_dwPolicyType != Bus.m_dwPolicyType;
    for (const CSlider& Slider : SLIDERS) {
        const int nPosition = Position(Slider.nId);
        bChanged = bChanged || nPosition != Clamped(Bus.*Slider.pdwValue, Slider);
        Changed.*Slider.pdwValue = static_cast<DWORD>(nPosition);
    }
    Changed.m_dwMaximumLatency = LatencyOfSliderPosition(Position(IDC_LATENCY_SLIDER));
    return bChanged;
}

int CNewUSBSettingsPage::OnApply()
{
    if (!m_Sets.BusSetRead()) return PSNRET_NOERROR;
    CvUser::CEnumdrvUserModeInterface Changed;
    if (!TakeChanges(Changed)) return PSNRET_NOERROR;
    if (!UserAllowsChange(m_hWnd, m_RegInfo, IDS_PORT_OPEN_QUESTION)) {
        m_Sets.ReadBusSetAgain();
        return PSNRET_INVALID;
    }
    if (!m_Sets.Config().SetInformationSet(Changed, FORWARD_BUS)) {
        m_Sets.ReadBusSetAgain();
        return PSNRET_INVALID;
    }
    CopyBusSet(Changed, m_Sets.BusSet());
    return PSNRET_NOERROR;
}

void CNewUSBSettingsPage::OnRestoreDefaults()
{
    if (!m_Sets.BusSetRead()) return;
    CvUser::CEnumdrvUserModeInterface Defaults, Changed;
    if (!m_Sets.Config().GetStoredInformationSet(Defaults, FORWARD_BUS)) return;
    CopyBusSet(m_Sets.BusSet(), Changed);
    Changed.m_dwUSB_TxTransferSize = Defaults.m_dwUSB_TxTransferSize;
    Changed.m_dwUSB_RxTransferSize = Defaults.m_dwUSB_RxTransferSize;
    Changed.m_dwUSB_LatencyTimer = Defaults.m_dwUSB_LatencyTimer;
    Changed.m_dwPolicyType = Defaults.m_dwPolicyType;
    Changed.m_dwMaximumLatency = Defaults.m_dwMaximumLatency;
    Changed.m_dwMaximumLatencySliderPos = Defaults.m_dwMaximumLatencySliderPos;
    Changed.m_dwMaximumLatencyFineTuning = Defaults.m_dwMaximumLatencyFineTuning;
    Changed.m_dwLowCpuUsageFineTuning = Defaults.m_dwLowCpuUsageFineTuning;
    if (m_Sets.Config().SetInformationSet(Changed, FORWARD_BUS)) CopyBusSet(Changed, m_Sets.BusSet());
    else m_Sets.ReadBusSetAgain();
    Refresh();
}

LRESULT CNewUSBSettingsPage::OnCommand(UINT, WPARAM wParam, LPARAM, BOOL& bHandled)
{
    bHandled = HIWORD(wParam) == BN_CLICKED;
    if (!bHandled) return 0;
    switch (LOWORD(wParam)) {
    case IDC_POLICY_LATENCY:
    case IDC_POLICY_CPU: ApplyEnableRule(); break;
    case IDC_RESTORE_DEFAULTS: OnRestoreDefaults(); break;
    case IDC_HELP_BUTTON:
        CPageChrome::ShowTopic(m_hWnd, m_Sets.PortSet().m_dwPortType == 1 ? u"%s::/USBPage485.htm>mainwin"
                                                                           : u"%s::/USBPage.htm>mainwin");
        break;
    default: bHandled = FALSE; break;
    }
    return 0;
}

LRESULT CNewUSBSettingsPage::OnScroll(UINT, WPARAM, LPARAM lParam, BOOL&)
{
    if (reinterpret_cast<HWND>(lParam) == GetDlgItem(IDC_LATENCY_SLIDER)) ShowLatency();
    return 0;
}

