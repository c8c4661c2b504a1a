// The Port Settings page as a user drives it in Device Manager, against the COM port of a plugged
// adapter served by the installed drivers: what the driver takes at once, what waits for the
// port's next open or the application's next setting request, and what a refused rate leaves.
#include <setupapi.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cm/registry.h"
#include "com_port_fixture.h"
#include "property_sheet.h"
#include "resource.h"
#include "ui_control.h"

extern "C" BOOL CvUPortPropPage(PSP_PROPSHEETPAGE_REQUEST, LPFNADDPROPSHEETPAGE, LPARAM);

namespace e2e {
namespace {

namespace ui = emu::ui;

constexpr std::u16string_view kPortsKey = u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

// The flow-control values of the page's list and the port set.
constexpr DWORD kFlowNone = 0;
constexpr DWORD kFlowRtsCts = 1;
constexpr DWORD kFlowXonXoff = 4;

BOOL CALLBACK AddPage(HPROPSHEETPAGE page, LPARAM lParam)
{
    reinterpret_cast<std::vector<HPROPSHEETPAGE>*>(lParam)->push_back(page);
    return TRUE;
}

std::u16string Decimal(DWORD value)
{
    const std::string text = std::to_string(value);
    return {text.begin(), text.end()};
}

class PortSettingsDeviceTest : public ComPortTest {
protected:
    void SetUp() override
    {
        ComPortTest::SetUp();
        Plug({.cable = Cable::Loopback});
    }
    void TearDown() override
    {
        m_sheet.reset();
        if (m_set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_set);
        EXPECT_TRUE(ui::UnexpectedMessageBoxes().empty());
        EXPECT_EQ(ui::PendingMessageBoxAnswers(), 0u);
        ComPortTest::TearDown();
    }

    // Device Manager's sheet for the port, with the Port Settings page shown.
    void ShowPage()
    {
        m_sheet.reset();
        if (m_set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_set);
        m_set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        ASSERT_NE(m_set, INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA element{};
        element.cbSize = sizeof element;
        bool found = false;
        for (DWORD index = 0; !found && SetupDiEnumDeviceInfo(m_set, index, &element); ++index) found = IsPort(element);
        ASSERT_TRUE(found) << "no device of the port driver in the set";
        m_element = element;
        std::vector<HPROPSHEETPAGE> pages;
        SP_PROPSHEETPAGE_REQUEST request{sizeof request, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, m_set, &m_element};
        ASSERT_TRUE(CvUPortPropPage(&request, AddPage, reinterpret_cast<LPARAM>(&pages)));
        ASSERT_EQ(pages.size(), 1u);
        m_sheet = std::make_unique<ui::PropertySheet>(pages);
        ASSERT_TRUE(m_sheet->Activate(0));
    }
    bool IsPort(SP_DEVINFO_DATA& element)
    {
        char16_t service[64] = {};
        return SetupDiGetDeviceRegistryPropertyW(m_set, &element, SPDRP_SERVICE, nullptr, reinterpret_cast<PBYTE>(service),
                                                 sizeof service, nullptr) &&
               std::u16string(service) == cvinstall::kPortService;
    }
    HWND Item(int id) { return GetDlgItem(m_sheet->PageWindow(0), id); }
    std::u16string Text(int id)
    {
        WCHAR text[64] = {};
        GetWindowTextW(Item(id), text, 64);
        return reinterpret_cast<const char16_t*>(text);
    }
    void SelectFlowControl(DWORD value)
    {
        HWND list = Item(IDC_FLOW_CONTROL);
        const LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
        for (LRESULT index = 0; index < count; ++index)
            if (static_cast<DWORD>(SendMessageW(list, CB_GETITEMDATA, index, 0)) == value)
                return ui::SelectComboItem(list, static_cast<int>(index));
        ADD_FAILURE() << "the flow-control list has no value " << value;
    }
    void Check(int id) { ui::Click(Item(id)); }
    // Answers the page's question about the port an application holds.
    static void ExpectPortHeldQuestion(int answer)
    {
        ui::ExpectMessageBox({std::nullopt, u"Warning!", MB_YESNO | MB_ICONINFORMATION, answer});
    }

    std::u16string PortsValue()
    {
        auto value = machine().GetRegistry().GetValue(kPortsKey, PortNames().at(0) + u":");
        return value ? std::u16string(reinterpret_cast<const char16_t*>(value->data.data())) : u"<none>";
    }
    emu::devices::PortSettings ChipSettings() { return Chip().Port(Now(), 1).settings; }
    DCB State(HANDLE port)
    {
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        EXPECT_TRUE(GetCommState(port, &dcb));
        return dcb;
    }
    DWORD ModemStatus(HANDLE port)
    {
        AdvanceMs(20);
        DWORD modem = 0;
        EXPECT_TRUE(GetCommModemStatus(port, &modem));
        return modem;
    }

    HDEVINFO m_set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA m_element{};
    std::unique_ptr<ui::PropertySheet> m_sheet;
};

struct FirstOpenCase {
    DWORD rate;
    DWORD flow;
    const char16_t* portsValue;
};

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
    ASSERT_EQ(ModemStatus(port) & MS_CTS_ON, 0u) << "the loopback plug should carry RTS to CTS";

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

    EXPECT_NE(ModemStatus(port) & MS_CTS_ON, 0u) << "CTS emulation waits for something";
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
