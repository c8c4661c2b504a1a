// CDeviceAdvSettingPage: the advanced sheet's first page: the port's COM number, which the user
// may change, and what the adapter's bus driver reports (interface type, FIFO sizes, maximum rate).
#pragma once

#include <atlctrls.h>
#include <atldlgs.h>
#include <setupapi.h>

#include "advancedresource.h"
#include "cvdevicereginfo.h"
#include "pagechrome.h"
#include "portandbussets.h"

class CDeviceAdvSettingPage : public CChromedPageImpl<CDeviceAdvSettingPage> {
public:
    enum { IDD = IDD_ADV_DEVICE };

    CDeviceAdvSettingPage(HDEVINFO hDevInfo, const SP_DEVINFO_DATA& DevInfoData);

    // The port set's PortType (0 when the port set could not be read).
    DWORD GetPortType() const;

    BEGIN_MSG_MAP(CDeviceAdvSettingPage)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_COMMAND, OnCommand)
    CHAIN_MSG_MAP(CChromedPageImpl<CDeviceAdvSettingPage>)
    END_MSG_MAP()

    int OnApply();

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnCommand(UINT, WPARAM wParam, LPARAM, BOOL& bHandled);

    void ShowBusValues();
    void FillComNames();
    // The chosen COM name without " (in use)"; empty when the choice is no COM name at all.
    CString ChosenName();

    SP_DEVINFO_DATA m_DevInfoData;
    HDEVINFO m_hDevInfo;
    CCVDeviceRegInfo m_RegInfo;
    CPortAndBusSets m_Sets;
    CString m_strTitle;
};
