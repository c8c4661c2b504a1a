// CNewUSBSettingsPage: the USB latency policy of the port's adapter: either a maximum latency
// (with fine tuning) or a CPU-usage level, sent to the bus driver in the bus set.
#pragma once

#include <atlctrls.h>
#include <atldlgs.h>
#include <setupapi.h>

#include "advancedresource.h"
#include "cvdevicereginfo.h"
#include "pagechrome.h"
#include "portandbussets.h"

class CNewUSBSettingsPage : public CChromedPageImpl<CNewUSBSettingsPage> {
public:
    enum { IDD = IDD_ADV_LATENCY };

    CNewUSBSettingsPage(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData);

    BEGIN_MSG_MAP(CNewUSBSettingsPage)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_COMMAND, OnCommand)
    MESSAGE_HANDLER(WM_HSCROLL, OnScroll)
    CHAIN_MSG_MAP(CChromedPageImpl<CNewUSBSettingsPage>)
    END_MSG_MAP()

    int OnApply();

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCommand(UINT, WPARAM wParam, LPARAM, BOOL& bHandled);
    LRESULT OnScroll(UINT, WPARAM, LPARAM lParam, BOOL&);

    void Refresh();
    void ApplyEnableRule();
    void ShowLatency();
    void OnRestoreDefaults();
    // The controls' policy in a copy of the bus set; TRUE when it differs from what the driver has.
    BOOL TakeChanges(CvUser::CEnumdrvUserModeInterface& Changed);
    int Position(int nId) { return CTrackBarCtrl(GetDlgItem(nId)).GetPos(); }
    void Enable(int nId, BOOL bEnable) { ::EnableWindow(GetDlgItem(nId), bEnable); }

    CCVDeviceRegInfo m_RegInfo;
    CPortAndBusSets m_Sets;
    CString m_strTitle;
};
