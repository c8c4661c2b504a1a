// The fixture of the page scenarios: Device Manager's property sheet for the COM port of a plugged
// adapter served by the installed drivers, with the Port Settings page the provider adds, and what
// a test reads back from the machine (registry values, the chip's settings, the port's state).
#pragma once

#include <setupapi.h>

#include <memory>
#include <string>
#include <vector>

#include "com_port_fixture.h"
#include "property_sheet.h"
#include "resource.h"
#include "ui_control.h"

namespace e2e {

// The flow-control values of the page's list and the port set.
inline constexpr DWORD kFlowNone = 0;
inline constexpr DWORD kFlowRtsCts = 1;
inline constexpr DWORD kFlowXonXoff = 4;

std::u16string Decimal(DWORD value);

class PortSettingsDeviceTest : public ComPortTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Device Manager's sheet for the port, with the Port Settings page shown.
    void ShowPage();
    HWND Item(int id) { return GetDlgItem(m_sheet->PageWindow(0), id); }
    // The text of a control of a page window (the Port Settings page's by default).
    static std::u16string TextOf(HWND control);
    std::u16string Text(int id) { return TextOf(Item(id)); }
    // Chooses the entry with this value (or this text) in a combo box.
    static void SelectValue(HWND list, DWORD value);
    static void SelectText(HWND list, const std::u16string& text);
    void SelectFlowControl(DWORD value) { SelectValue(Item(IDC_FLOW_CONTROL), value); }
    void Check(int id) { emu::ui::Click(Item(id)); }
    // Answers the page's question about the port an application holds.
    static void ExpectPortHeldQuestion(int answer);

    // The Ports line of a COM name ("<none>" when there is none); the first port's by default.
    std::u16string PortsValue(const std::u16string& name = {});
    emu::devices::PortSettings ChipSettings() { return Chip().Port(Now(), 1).settings; }
    DCB State(HANDLE port);
    DWORD ModemStatus(HANDLE port);
    // Whether CTS is on once it has settled at `expected`: a change of RTS reaches CTS through the
    // loopback plug and the chip's next status, which the bus driver's threads deliver, so the
    // machine time moves on in steps until the port reports it (or a bound passes).
    bool CtsSettlesTo(HANDLE port, bool expected);

    HDEVINFO m_set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA m_element{};
    std::unique_ptr<emu::ui::PropertySheet> m_sheet;

private:
    bool IsPort(SP_DEVINFO_DATA& element);
};

}  // namespace e2e
