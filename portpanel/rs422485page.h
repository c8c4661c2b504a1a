// CRS422485Page: the duplex mode of an RS-422/485 port, sent to the port driver in the port set.
#pragma once

#include <atlctrls.h>
#include <atldlgs.h>
#include <setupapi.h>

#include "advancedresource.h"
#include "cvdevicereginfo.h"
#include "cvusermodeconfig.h"
#include "cvuvcpusermodeinterface.h"
#include "pagechrome.h"

class CRS422485Page : public CChromedPageImpl<CRS422485Page> {
public:
    enum { IDD = IDD_ADV_RS422485 };

    CRS422485Page(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData);

    // The duplex mode the page holds: the driver's, or the one last sent.
    DWORD GetDuplexMode() const { return m_Set.m_dwDuplexMode; }

    BEGIN_MSG_MAP(CRS422485Page)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_COMMAND, OnCommand)
    CHAIN_MSG_MAP(CChromedPageImpl<CRS422485Page>)
    END_MSG_MAP()

    int OnApply();

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCommand(UINT, WPARAM wParam, LPARAM, BOOL& bHandled);

    // An RS-422/485 port without a mode runs full duplex.
    void DefaultTheMode();
    void FillModes();
    void OnRestoreDefaults();
    BOOL ReadAgain();

    SP_DEVINFO_DATA m_DevInfoData;
    CCVDeviceRegInfo m_RegInfo;
    CCvUserModeConfig m_Config;
    CvUser::CCvUVcpUserModeInterface m_Set;
    BOOL m_bSetRead = FALSE;
    CString m_strTitle;
};
