// The Port Settings page as a user drives it in Device Manager, against the COM port of a plugged
// adapter served by the installed drivers: what the driver takes at once, what waits for the
// port's next open or the application's next setting request, and what a refused rate leaves.
#include "port_page_fixture.h"

namespace e2e {
namespace {

namespace ui = emu::ui;

struct FirstOpenCase {
    DWORD rate;
    DWORD flow;
    const char16_t* portsValue;
};

void PrintTo(const FirstOpenCase& c, std::ostream* os) { *os << c.rate << " baud, flow " << c.flow; }

class PortSettingsFirstOpenTest : public PortSettingsDeviceTest, public ::testing::WithParamInterface<FirstOpenCase> {};

// A port no application has opened yet takes the page's rate and handshake at its first open,
// even though the page's own check whether an application holds the port opened COMn and closed it
// again before the set was sent.
TEST_P(PortSettingsFirstOpenTest, ThePortOpensWithTheRateAndHandshakeChosenOnThePage)
{
    const FirstOpenCase& c = GetParam();
    ShowPage();
    EXPECT_EQ(Text(IDC_BAUD_RATE), u"9600");
    ui::TypeText(Item(IDC_BAUD_RATE), Decimal(c.rate));
    SelectFlowControl(c.flow);
    ASSERT_TRUE(m_sheet->PressOk());  // nobody holds the port: no question
    EXPECT_EQ(PortsValue(), c.portsValue);

    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const DCB dcb = State(port);
    EXPECT_EQ(dcb.BaudRate, c.rate);
    EXPECT_EQ(dcb.fOutxCtsFlow != 0, c.flow == kFlowRtsCts);
    EXPECT_EQ(dcb.fRtsControl == RTS_CONTROL_HANDSHAKE, c.flow == kFlowRtsCts);
    EXPECT_EQ(dcb.fOutX != 0 && dcb.fInX != 0, c.flow == kFlowXonXoff);
    const emu::devices::PortSettings chip = ChipSettings();
    EXPECT_NEAR(chip.baud.Baud(), c.rate, c.rate / 100.0);
    EXPECT_EQ(chip.flow.rtsCts, c.flow == kFlowRtsCts);
    EXPECT_EQ(chip.flow.xonXoff, c.flow == kFlowXonXoff);
}

INSTANTIATE_TEST_SUITE_P(RatesAndHandshakes, PortSettingsFirstOpenTest,
                         ::testing::Values(FirstOpenCase{57600, kFlowRtsCts, u"57600,n,8,1,p"},
                                           FirstOpenCase{921600, kFlowNone, u"921600,n,8,1"},
                                           FirstOpenCase{1200, kFlowXonXoff, u"1200,n,8,1,x"}),
                         [](const ::testing::TestParamInfo<FirstOpenCase>& info) {
                             return "Baud" + std::to_string(info.param.rate) + "Flow" + std::to_string(info.param.flow);
                         });

// While an application holds the port the page asks first; the emulated CTS shows at once, the
// overridden rate and handshake reach the chip with the application's next setting request and
// with every later open, while the application still reads back the rate it asked for.
TEST_F(PortSettingsDeviceTest, OverridesReachAPortAnApplicationHolds)
{
    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    Configure(port, {.rate = 9600});
    ASSERT_TRUE(EscapeCommFunction(port, CLRRTS));
    ASSERT_FALSE(CtsSettlesTo(port, false)) << "the loopback plug should carry RTS to CTS";

    ShowPage();
    ui::TypeText(Item(IDC_BAUD_RATE), u"57600");
    Check(IDC_OVERRIDE_BAUD);
    SelectFlowControl(kFlowRtsCts);
    Check(IDC_OVERRIDE_FLOW_CONTROL);
    Check(IDC_CTS_TRUE);
    ExpectPortHeldQuestion(IDNO);
    EXPECT_FALSE(m_sheet->PressOk());
    EXPECT_EQ(ModemStatus(port) & MS_CTS_ON, 0u) << "answering No changed the port";
    EXPECT_EQ(PortsValue(), u"<none>");
    ExpectPortHeldQuestion(IDYES);
    ASSERT_TRUE(m_sheet->PressOk());
    EXPECT_EQ(PortsValue(), u"57600,n,8,1,p");

    EXPECT_TRUE(CtsSettlesTo(port, true)) << "CTS emulation waits for something";
    EXPECT_NEAR(ChipSettings().baud.Baud(), 9600, 96) << "the rate changed under the application";
    EXPECT_FALSE(ChipSettings().flow.rtsCts);

    Configure(port, {.rate = 19200});
    EXPECT_NEAR(ChipSettings().baud.Baud(), 57600, 576);
    EXPECT_TRUE(ChipSettings().flow.rtsCts);
    EXPECT_EQ(State(port).BaudRate, 19200u);

    Close(port);
    port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_NEAR(ChipSettings().baud.Baud(), 57600, 576);
}

// A rate the chip cannot make is refused by the driver: the page says so and keeps its sheet
// open, nothing reaches the Ports value, the page shows the old set when it is opened again, and
// the port still opens as it did before (an overridden rate would be programmed at the open).
TEST_F(PortSettingsDeviceTest, ARateTheDriverRefusesLeavesThePortAsItWas)
{
    ShowPage();
    ui::TypeText(Item(IDC_BAUD_RATE), u"540000");
    Check(IDC_OVERRIDE_BAUD);
    SelectFlowControl(kFlowXonXoff);
    const ui::MessageBoxAnswer refused{u"Error setting baud rate.\n\nPlease enter valid settable baud rate.",
                                       u"Error setting baud rate", MB_OK | MB_ICONERROR, IDOK};
    ui::ExpectMessageBox(refused);
    EXPECT_FALSE(m_sheet->PressOk());
    EXPECT_EQ(ui::Hover(Item(IDC_LABEL_BAUD)).text, refused.text);
    EXPECT_EQ(PortsValue(), u"<none>");
    EXPECT_TRUE(m_sheet->PressCancel());
    ShowPage();
    EXPECT_EQ(Text(IDC_BAUD_RATE), u"9600");
    EXPECT_EQ(Text(IDC_FLOW_CONTROL), u"None");
    EXPECT_EQ(IsDlgButtonChecked(m_sheet->PageWindow(0), IDC_OVERRIDE_BAUD), static_cast<UINT>(BST_UNCHECKED));
    EXPECT_TRUE(m_sheet->PressCancel());

    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "the refused rate stopped the port from opening";
    EXPECT_EQ(State(port).BaudRate, 9600u);
    EXPECT_NEAR(ChipSettings().baud.Baud(), 9600, 96);
    EXPECT_FALSE(ChipSettings().flow.xonXoff);
}

}  // namespace
}  // namespace e2e
