// The COM-number page.
//
// A bus set that could not be read shows as "n/a", not as the client's defaults. A COM box
// without a choice (a PortName that is no COM1 to COM255, or a database that could not be read)
// leaves the name as it is instead of renaming the port to nothing.
#include "deviceadvsettingpage.h"

#include "comname.h"
#include "comportutil.h"
#include "portpanelmodule.h"
#include "portutil.h"
#include "utils.h"

namespace {

const CControlText TEXTS[] = {
    {IDC_LABEL_COM_NUMBER, IDS_LABEL_COM_NUMBER},         {IDC_GROUP_COM_NUMBER, IDS_GROUP_COM_NUMBER},
    {IDC_GROUP_INFORMATION, IDS_GROUP_INFORMATION},       {IDC_LABEL_INTERFACE_TYPE, IDS_LABEL_INTERFACE_TYPE},
    {IDC_LABEL_RX_FIFO, IDS_LABEL_RX_FIFO},               {IDC_LABEL_TX_FIFO, IDS_LABEL_TX_FIFO},
    {IDC_LABEL_MAX_BAUD, IDS_LABEL_MAX_BAUD},             {IDC_LABEL_HELP, IDS_LABEL_HELP},
};
const CControlText TIPS[] = {{IDC_COM_NUMBER, IDS_TIP_COM_NUMBER}};
const DWORD HELP_IDS[] = {IDC_COM_NUMBER, 0x807300CA, 0, 0};
const WCHAR IN_USE[] = u" (in use)";
const WCHAR NOT_AVAILABLE[] = u"n/a";

}  // namespace

CDeviceAdvSettingPage::CDeviceAdvSettingPage(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData)
    : CChromedPageImpl(TIPS, sizeof(TIPS) / sizeof(TIPS[0]), HELP_IDS), m_DevInfoData(DevInfoData), m_hDevInfo(hDevInfo), m_RegInfo(hDevInfo, DevInfoData), m_Sets(hDevInfo, DevInfoData)
{
    m_psp.hInstance = PortpanelInstance();
    m_strTitle.LoadString(IDS_PORT_SETTINGS_TITLE);
    SetTitle(m_strTitle);
    m_Sets.Read();
}

DWORD CDeviceAdvSettingPage::GetPortType() const
{
    return m_Sets.PortSetRead() ? m_Sets.PortSet().m_dwPortType : 0;
}

LRESULT CDeviceAdvSettingPage::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    CreateChrome();
    CPageChrome::SetTexts(m_hWnd, TEXTS, sizeof(TEXTS) / sizeof(TEXTS[0]));
    ShowBusValues();
    FillComNames();
    return TRUE;
}

void CDeviceAdvSettingPage::ShowBusValues()
{
    if (!m_Sets.BusSetRead()) {
        for (int nId : {IDC_INTERFACE_TYPE, IDC_RX_FIFO, IDC_TX_FIFO, IDC_MAX_BAUD}) SetDlgItemText(nId, NOT_AVAILABLE);
        return;
    }
    const CvUser::CEnumdrvUserModeInterface& Bus = m_Sets.BusSet();
    SetDlgItemText(IDC_INTERFACE_TYPE, Bus.GetInterfaceType());
    CString strText;
    strText.Format(u"%d bytes", Bus.m_dwRxFifoSize);
    SetDlgItemText(IDC_RX_FIFO, strText);
    strText.Format(u"%d bytes", Bus.m_dwTxFifoSize);
    SetDlgItemText(IDC_TX_FIFO, strText);
    strText.Format(u"%d baud", Bus.m_dwMaximumBaudRate);
    SetDlgItemText(IDC_MAX_BAUD, strText);
}

void CDeviceAdvSettingPage::FillComNames()
{
    CString strPortName;
    m_RegInfo.GetDeviceParameterString(u"PortName", strPortName);
    CStringList Names;
    CPortUtil Util;
    if (Util.OpenComDB()) {
        Util.BuildComNumberList(strPortName, Names);
        Util.CloseComDB();
    }
    CComboBox Box(GetDlgItem(IDC_COM_NUMBER));
    CUtils().FillComboBoxStrings(Box, Names, strPortName);
}

CString CDeviceAdvSettingPage::ChosenName()
{
    CComboBox Box(GetDlgItem(IDC_COM_NUMBER));
    const int nIndex = Box.GetCurSel();
    if (nIndex == CB_ERR) return CString();
    CString strName;
    Box.GetLBText(nIndex, strName);
    strName.Replace(IN_USE, u"");
    const DWORD dwNumber = ComNumberOf(strName);
    CString strExpected;
    strExpected.Format(u"COM%u", dwNumber);
    return dwNumber >= 1 && dwNumber <= 255 && strName == strExpected ? strName : CString();
}

int CDeviceAdvSettingPage::OnApply()
{
    const CString strName = ChosenName();
    if (strName.IsEmpty()) return PSNRET_NOERROR;
    if (CCOMPortUtil(m_hDevInfo, m_DevInfoData).ChangePortName(strName, m_hWnd, TRUE, TRUE)) return PSNRET_NOERROR;
    CString strText;
    strText.LoadString(IDS_RENAME_FAILED);
    MessageBox(strText, u"Error", MB_OK | MB_ICONERROR);
    m_Sets.ReadBusSetAgain();
    return PSNRET_INVALID;
}

LRESULT CDeviceAdvSettingPage::OnCommand(UINT, WPARAM wParam, LPARAM, BOOL& bHandled)
{
    if (HIWORD(wParam) != BN_CLICKED || LOWORD(wParam) != IDC_HELP_BUTTON) {
        bHandled = FALSE;
        return 0;
    }
    CPageChrome::ShowTopic(m_hWnd, GetPortType() == 1 ? u"%s::/AdvDevice485.htm>mainwin" : u"%s::/AdvDevice.htm>mainwin");
    return 0;
}

