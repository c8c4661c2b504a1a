// CCvUIPropertyPage: the "Port Settings" page Device Manager shows for a COM port of the package:
// the port's default settings, their overrides and the handshake emulation, read from and sent
// to the port driver as the port information set.
#pragma once

#include <atlctrls.h>
#include <atldlgs.h>
#include <setupapi.h>
#include <wingdi.h>

#include "cvdevicereginfo.h"
#include "cvusermodeconfig.h"
#include "cvuvcpusermodeinterface.h"
#include "pagechrome.h"
#include "resource.h"

class CCvUIPropertyPage : public CPropertyPageImpl<CCvUIPropertyPage> {
public:
    enum { IDD = IDD_PORT_SETTINGS };
    enum { TIP_NORMAL = 0, TIP_OUT_OF_RANGE = 1, TIP_REFUSED = 2 };

    CCvUIPropertyPage(HDEVINFO hDevInfo, PSP_DEVINFO_DATA pDevInfoData);
    virtual ~CCvUIPropertyPage();

    BOOL IsConnected() const { return m_bConnected; }

    BEGIN_MSG_MAP(CCvUIPropertyPage)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    MESSAGE_HANDLER(WM_COMMAND, OnCommand)
    MESSAGE_HANDLER(WM_HELP, OnHelp)
    MESSAGE_HANDLER(WM_CTLCOLORDLG, OnColour)
    MESSAGE_HANDLER(WM_CTLCOLORSTATIC, OnColour)
    NOTIFY_CODE_HANDLER(TTN_GETDISPINFOW, OnToolTipText)
    CHAIN_MSG_MAP(CPropertyPageImpl<CCvUIPropertyPage>)
    END_MSG_MAP()

    int OnApply();
    // The page object goes with its property-sheet page.
    void OnPageRelease() override { delete this; }

protected:
    // Runs the advanced sheet modally over the active window; IDOK when it ended with OK.
    virtual INT_PTR RunAdvancedSheet();

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCommand(UINT, WPARAM wParam, LPARAM, BOOL& bHandled);
    LRESULT OnHelp(UINT, WPARAM, LPARAM lParam, BOOL&);
    LRESULT OnColour(UINT uMsg, WPARAM wParam, LPARAM, BOOL&);
    LRESULT OnToolTipText(int, LPNMHDR pnmh, BOOL&);

    void Refresh();
    void FillFlowControl();
    void ApplyHandshakeRules(BOOL bFromSet);
    void UpdateNote();
    void OnRestoreDefaults();
    void OnAdvanced();
    void OnHelpButton();
    // Takes the controls' values into a working copy of the set; TRUE when any differs.
    BOOL TakeChanges(CvUser::CCvUVcpUserModeInterface& Changed);
    void CopySettings(const CvUser::CCvUVcpUserModeInterface& From, CvUser::CCvUVcpUserModeInterface& To, BOOL bAll);
    void ReadAgain();
    BOOL Checked(int nId) { return IsDlgButtonChecked(nId) == BST_CHECKED; }
    void Check(int nId, BOOL bChecked) { CheckDlgButton(nId, bChecked ? BST_CHECKED : BST_UNCHECKED); }
    void Enable(int nId, BOOL bEnable) { ::EnableWindow(GetDlgItem(nId), bEnable); }
    void RefuseBaudRate();

    SP_DEVINFO_DATA m_DevInfoData;
    HDEVINFO m_hDevInfo;
    CCVDeviceRegInfo m_RegInfo;
    CCvUserModeConfig m_Config;
    CvUser::CCvUVcpUserModeInterface m_Set;
    BOOL m_bConnected = FALSE;
    DWORD m_dwTypedBaudRate = 0;
    DWORD m_dwMinBaudRate = 0;
    DWORD m_dwMaxBaudRate = 0;
    int m_nToolTipState = TIP_NORMAL;
    BOOL m_bDefaultsPending = FALSE;
    // The driver refused the last apply, or the user declined it: the next apply sends again.
    BOOL m_bResendPending = FALSE;
    CString m_strTitle;
    CPageChrome m_Chrome;
};
