// The Port Settings page and its provider, driven as a user would in Device Manager's sheet, over
// a port whose configuration interface answers as the framework does.
#include <htmlhelp.h>

#include <memory>

#include "../diskimage/inc/cvtools/tfusermodeinterfacecodes.h"
#include "fake_port_endpoint.h"
#include "property_sheet.h"
#include "resource.h"
#include "ui_control.h"

extern "C" BOOL CvUPortPropPage(PSP_PROPSHEETPAGE_REQUEST, LPFNADDPROPSHEETPAGE, LPARAM);

namespace emu::testing {
namespace {

constexpr std::u16string_view kPortsKey = u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

struct Collected {
    std::vector<HPROPSHEETPAGE> pages;
    bool accept = true;
};

BOOL CALLBACK AddPage(HPROPSHEETPAGE page, LPARAM lParam)
{
    auto* collected = reinterpret_cast<Collected*>(lParam);
    if (!collected->accept) return FALSE;
    collected->pages.push_back(page);
    return TRUE;
}

class PortSettingsPageTest : public FakePortEndpointTest {
protected:
    void TearDown() override
    {
        m_sheet.reset();
        EXPECT_TRUE(ui::UnexpectedMessageBoxes().empty());
        EXPECT_EQ(ui::PendingMessageBoxAnswers(), 0u);
        EXPECT_EQ(ui::LiveBrushes(), 0u);
        FakePortEndpointTest::TearDown();
    }
    BOOL Provide(DWORD kind = SPPSR_ENUM_ADV_DEVICE_PROPERTIES)
    {
        SP_PROPSHEETPAGE_REQUEST request{sizeof request, kind, m_set, &m_element};
        return CvUPortPropPage(&request, AddPage, reinterpret_cast<LPARAM>(&m_collected));
    }
    // Device Manager's sheet with the page, shown.
    HWND Show()
    {
        EXPECT_TRUE(Provide());
        m_sheet = std::make_unique<ui::PropertySheet>(m_collected.pages);
        EXPECT_TRUE(m_sheet->Activate(0));
        m_requests.clear();
        return m_sheet->PageWindow(0);
    }
    HWND Item(int id) { return GetDlgItem(m_sheet->PageWindow(0), id); }
    size_t Sets() const
    {
        size_t sets = 0;
        for (const Request& request : m_requests) sets += request.code == IOCTL_TF_USERMODE_SET_SET;
        return sets;
    }
    std::u16string PortsValue()
    {
        auto value = Reg().GetValue(kPortsKey, u"COM7:");
        return value ? std::u16string(reinterpret_cast<const char16_t*>(value->data.data())) : u"<none>";
    }
    static ui::MessageBoxAnswer OutOfRange(DWORD low, DWORD high)
    {
        std::u16string text = u"Please enter baud rate between " + Decimal(low) + u" bps and " + Decimal(high) + u" bps.";
        return {text, u"Baud rate out of Range", MB_OK | MB_ICONERROR, IDOK};
    }
    static std::u16string Decimal(DWORD value)
    {
        std::string text = std::to_string(value);
        return std::u16string(text.begin(), text.end());
    }

    Collected m_collected;
    std::unique_ptr<ui::PropertySheet> m_sheet;
};

TEST_F(PortSettingsPageTest, TheProviderAddsAPageOnlyForAnswerableRequests)
{
    EXPECT_TRUE(Provide(SPPSR_ENUM_BASIC_DEVICE_PROPERTIES));
    EXPECT_TRUE(m_collected.pages.empty());
    m_interfaceAnswers = false;
    EXPECT_FALSE(Provide());
    EXPECT_TRUE(m_collected.pages.empty());
    m_interfaceAnswers = true;
    m_collected.accept = false;  // the refused page must not leak (the leak check sees it)
    EXPECT_FALSE(Provide());
    m_collected.accept = true;
    EXPECT_TRUE(Provide());
    ui::PropertySheet sheet(m_collected.pages);
    EXPECT_EQ(sheet.PageTitle(0), u"Port Settings");
    EXPECT_TRUE(sheet.PressOk());  // never shown: nothing applied, the page is released
    m_collected.pages.clear();
}

TEST_F(PortSettingsPageTest, TheControlsShowTheSetAndOkWithoutChangesSendsNothing)
{
    m_stored.m_dwBaudrate = 19200;
    m_stored.m_dwParity = 2;
    m_stored.m_dwOverrideParity = 1;
    HWND page = Show();
    WCHAR text[32];
    GetWindowTextW(Item(IDC_BAUD_RATE), text, 32);
    EXPECT_EQ(std::u16string(text), u"19200");
    GetWindowTextW(Item(IDC_PARITY), text, 32);
    EXPECT_EQ(std::u16string(text), u"Even");
    GetWindowTextW(Item(IDC_FLOW_CONTROL), text, 32);
    EXPECT_EQ(std::u16string(text), u"None");
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_OVERRIDE_PARITY), static_cast<UINT>(BST_CHECKED));
    EXPECT_TRUE(IsWindowVisible(Item(IDC_NOTE_TEXT)));
    ui::TypeText(Item(IDC_BAUD_RATE), u"abc");  // the field takes digits only
    GetWindowTextW(Item(IDC_BAUD_RATE), text, 32);
    EXPECT_EQ(std::u16string(text), u"");
    ui::TypeText(Item(IDC_BAUD_RATE), u"19200");
    EXPECT_TRUE(m_sheet->PressOk());
    EXPECT_EQ(Sets(), 0u);
    EXPECT_EQ(PortsValue(), u"<none>");
}

TEST_F(PortSettingsPageTest, BaudRatesOutsideTheBoundsAreRefusedAndTheTipSaysSoOnce)
{
    m_stored.m_dwMinBaudRate = 300;
    m_stored.m_dwMaxBaudRate = 921600;
    Show();
    for (const char16_t* typed : {u"299", u"921601", u""}) {
        ui::TypeText(Item(IDC_BAUD_RATE), typed);
        ui::ExpectMessageBox(OutOfRange(300, 921600));
        EXPECT_FALSE(m_sheet->PressOk());
    }
    ui::ToolTipShown tip = ui::Hover(Item(IDC_BAUD_RATE));
    EXPECT_EQ(tip.text, u"Baud rate out of Range.\n\nPlease enter value between 300 and 921600.");
    EXPECT_EQ(tip.title, u"Error:");
    EXPECT_EQ(tip.icon, TTI_ERROR);
    tip = ui::Hover(Item(IDC_BAUD_RATE));
    EXPECT_EQ(tip.title, u"Information:");
    EXPECT_EQ(ui::Hover(Item(IDC_PARITY)).text, u"The default parity.");
    EXPECT_EQ(Sets(), 0u);

    ui::TypeText(Item(IDC_BAUD_RATE), u"921600");
    ui::SelectComboItem(Item(IDC_PARITY), 1);  // Odd
    EXPECT_TRUE(m_sheet->PressApply());
    EXPECT_EQ(m_stored.m_dwBaudrate, 921600u);
    EXPECT_EQ(m_stored.m_dwParity, 1u);
    EXPECT_EQ(PortsValue(), u"921600,o,8,1");
    ui::TypeText(Item(IDC_BAUD_RATE), u"300");
    EXPECT_TRUE(m_sheet->PressOk());
    EXPECT_EQ(m_stored.m_dwBaudrate, 300u);
    EXPECT_EQ(Sets(), 2u);
}

TEST_F(PortSettingsPageTest, ARefusedSetIsSentAgainOnTheNextOk)
{
    m_refusedRates = {540000};
    Show();
    ui::TypeText(Item(IDC_BAUD_RATE), u"540000");
    const ui::MessageBoxAnswer refused{u"Error setting baud rate.\n\nPlease enter valid settable baud rate.",
                                       u"Error setting baud rate", MB_OK | MB_ICONERROR, IDOK};
    ui::ExpectMessageBox(refused);
    EXPECT_FALSE(m_sheet->PressOk());
    EXPECT_EQ(ui::Hover(Item(IDC_LABEL_BAUD)).text, refused.text);
    // The driver kept what it refused; the page still does not take it as accepted.
    EXPECT_EQ(m_stored.m_dwBaudrate, 540000u);
    ui::ExpectMessageBox(refused);
    EXPECT_FALSE(m_sheet->PressOk());
    EXPECT_EQ(Sets(), 2u);
    m_refusedRates.clear();
    ui::TypeText(Item(IDC_BAUD_RATE), u"57600");
    EXPECT_TRUE(m_sheet->PressOk());
    EXPECT_EQ(m_stored.m_dwBaudrate, 57600u);
}

TEST_F(PortSettingsPageTest, AnOpenPortAsksFirstAndNoSendsNothing)
{
    Show();
    m_held = true;
    ui::SelectComboItem(Item(IDC_STOP_BITS), 2);
    const ui::MessageBoxAnswer question{std::nullopt, u"Warning!", MB_YESNO | MB_ICONINFORMATION, IDNO};
    ui::ExpectMessageBox(question);
    EXPECT_FALSE(m_sheet->PressOk());
    EXPECT_EQ(Sets(), 0u);
    EXPECT_EQ(RequestCodes().back(), IOCTL_TF_USERMODE_GET_SET);  // read again
    ui::ExpectMessageBox({std::nullopt, u"Warning!", MB_YESNO | MB_ICONINFORMATION, IDYES});
    EXPECT_TRUE(m_sheet->PressOk());
    EXPECT_EQ(m_stored.m_dwStopbits, 2u);
    EXPECT_EQ(PortsValue(), u"9600,n,8,2");
}

TEST_F(PortSettingsPageTest, RestoreDefaultsSendsOnOkEvenWhenNothingDiffers)
{
    HWND page = Show();
    ui::Click(Item(IDC_RESTORE_DEFAULTS));
    EXPECT_EQ(RequestCodes(), (std::vector<ULONG>{IOCTL_TF_USERMODE_GET_DEFAULTS_SIZE, IOCTL_TF_USERMODE_GET_DEFAULTS}));
    EXPECT_TRUE(m_sheet->PressOk());
    EXPECT_EQ(Sets(), 1u);
    (void)page;
}

TEST_F(PortSettingsPageTest, HandshakeBoxesFollowPortTypeDuplexAndSupport)
{
    m_stored.m_dwPortType = 1;
    m_stored.m_dwDuplexMode = 2;
    m_stored.m_dwFlowControl = 1;
    HWND page = Show();
    EXPECT_EQ(SendMessageW(Item(IDC_FLOW_CONTROL), CB_GETCOUNT, 0, 0), 2);  // None and the current value
    EXPECT_EQ(IsDlgButtonChecked(page, IDC_CTS_TRUE), static_cast<UINT>(BST_CHECKED));
    EXPECT_FALSE(IsWindowEnabled(Item(IDC_CTS_TRUE)));
    EXPECT_FALSE(IsWindowEnabled(Item(IDC_DSR_TRUE)));
    EXPECT_FALSE(IsWindowVisible(Item(IDC_NOTE_TEXT)));
    ui::Click(Item(IDC_HELP_BUTTON));
    ui::ContextHelp(Item(IDC_FLOW_CONTROL));
    ui::ContextHelp(Item(IDC_NOTE_TEXT));  // no topic
    const auto help = ui::HtmlHelpCalls();
    ASSERT_EQ(help.size(), 2u);
    EXPECT_EQ(help[0].file, u"Portpanel39.chm::/StdPage485.htm>mainwin");
    EXPECT_EQ(help[1].command, static_cast<UINT>(HH_TP_HELP_WM_HELP));
    EXPECT_EQ(help[1].caller, Item(IDC_FLOW_CONTROL));
    EXPECT_EQ(help[1].idPairs.size(), 42u);
    EXPECT_TRUE(m_sheet->PressCancel());
}

}  // namespace
}  // namespace emu::testing
