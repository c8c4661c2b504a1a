// The advanced sheet over a port whose configuration interface answers only for the port set (the
// bus set cannot be read), and the latency curve of its USB page.
#include <htmlhelp.h>

#include <functional>
#include <memory>
#include <vector>

#include "fake_port_endpoint.h"
#include "../diskimage/inc/cvtools/tfusermodeinterfacecodes.h"
#include "advancedresource.h"
#include "latencytable.h"
#include "property_sheet.h"
#include "ui_control.h"

extern "C" BOOL CvUPortPropPage(PSP_PROPSHEETPAGE_REQUEST, LPFNADDPROPSHEETPAGE, LPARAM);

namespace emu::testing {
namespace {

BOOL CALLBACK AddPage(HPROPSHEETPAGE page, LPARAM lParam)
{
    reinterpret_cast<std::vector<HPROPSHEETPAGE>*>(lParam)->push_back(page);
    return TRUE;
}

std::u16string TextOf(HWND control)
{
    WCHAR text[64] = {};
    GetWindowTextW(control, text, 64);
    return text;
}

class AdvancedSheetTest : public FakePortEndpointTest {
protected:
    void TearDown() override
    {
        m_sheet.reset();
        EXPECT_TRUE(ui::UnexpectedMessageBoxes().empty());
        EXPECT_EQ(ui::LiveBrushes(), 0u);
        FakePortEndpointTest::TearDown();
    }
    // The Port Settings page shown, then Advanced... pressed with the user's script for the sheet.
    void RunAdvanced(std::function<void(ui::PropertySheet&)> script)
    {
        std::vector<HPROPSHEETPAGE> pages;
        SP_PROPSHEETPAGE_REQUEST request{sizeof request, SPPSR_ENUM_ADV_DEVICE_PROPERTIES, m_set, &m_element};
        ASSERT_TRUE(CvUPortPropPage(&request, AddPage, reinterpret_cast<LPARAM>(&pages)));
        m_sheet = std::make_unique<ui::PropertySheet>(pages);
        ASSERT_TRUE(m_sheet->Activate(0));
        ui::ScriptNextModalSheet(std::move(script));
        ui::Click(GetDlgItem(m_sheet->PageWindow(0), IDC_ADVANCED));
    }
    static HWND Item(ui::PropertySheet& sheet, size_t page, int id) { return GetDlgItem(sheet.PageWindow(page), id); }
    size_t BusRequests(ULONG code) const
    {
        size_t count = 0;
        for (const Request& request : m_requests) count += request.code == code && request.count == 1;
        return count;
    }

    std::unique_ptr<ui::PropertySheet> m_sheet;
};

// A bus set that could not be read is shown as unknown, not as the client's defaults, and nothing
// the user does on the USB page sends a bus set: neither OK nor Restore Defaults.
TEST_F(AdvancedSheetTest, AnUnreadBusSetIsShownAsUnknownAndNeverSent)
{
    RunAdvanced([&](ui::PropertySheet& sheet) {
        ASSERT_EQ(sheet.PageCount(), 3u);
        for (int id : {IDC_INTERFACE_TYPE, IDC_RX_FIFO, IDC_TX_FIFO, IDC_MAX_BAUD}) EXPECT_EQ(TextOf(Item(sheet, 0, id)), u"n/a");
        ASSERT_TRUE(sheet.Activate(1));
        EXPECT_EQ(TextOf(Item(sheet, 1, IDC_LATENCY_VALUE)), u"n/a");
        const size_t reads = BusRequests(IOCTL_TF_USERMODE_GET_DEFAULTS_SIZE);
        ui::MoveTrackBar(Item(sheet, 1, IDC_CPU_SLIDER), 100);
        ui::MoveTrackBar(Item(sheet, 1, IDC_LATENCY_SLIDER), 1000);
        ui::Click(Item(sheet, 1, IDC_RESTORE_DEFAULTS));
        EXPECT_EQ(BusRequests(IOCTL_TF_USERMODE_GET_DEFAULTS_SIZE), reads);
        EXPECT_TRUE(sheet.PressOk());
    });
    EXPECT_EQ(BusRequests(IOCTL_TF_USERMODE_SET_SET), 0u);
    EXPECT_EQ(ui::UnscriptedModalSheets(), 0u);
}

struct NoChoiceCase {
    const char* label;
    const char16_t* portName;  // null: no PortName value
};

void PrintTo(const NoChoiceCase& c, std::ostream* os) { *os << c.label; }

class ComBoxWithoutChoiceTest : public AdvancedSheetTest, public ::testing::WithParamInterface<NoChoiceCase> {};

// A PortName that is no COM1 to COM255 has no entry in the COM box: OK leaves the name alone,
// asks nothing and closes the sheet.
TEST_P(ComBoxWithoutChoiceTest, OkLeavesTheNameAlone)
{
    if (GetParam().portName) Reg().SetString(HardwareKey(), u"PortName", GetParam().portName);
    else Reg().DeleteValue(HardwareKey(), u"PortName");
    RunAdvanced([&](ui::PropertySheet& sheet) {
        EXPECT_EQ(SendMessageW(Item(sheet, 0, IDC_COM_NUMBER), CB_GETCURSEL, 0, 0), CB_ERR);
        EXPECT_TRUE(sheet.PressOk());
    });
    EXPECT_TRUE(ui::MessageBoxes().empty());
    auto value = Reg().GetValue(HardwareKey(), u"PortName");
    EXPECT_EQ(value.has_value(), GetParam().portName != nullptr);
    if (value) {
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(value->data.data())), GetParam().portName);
    }
}

INSTANTIATE_TEST_SUITE_P(PortNames, ComBoxWithoutChoiceTest,
                         ::testing::Values(NoChoiceCase{"LowerCase", u"com7"}, NoChoiceCase{"AboveTheList", u"COM300"},
                                           NoChoiceCase{"Missing", nullptr}),
                         [](const ::testing::TestParamInfo<NoChoiceCase>& info) { return std::string(info.param.label); });

struct PageHelpCase {
    const char* label;
    size_t page;
    int tool;  // a control with a tip
    UINT tip;  // its text
    const char16_t* topic;
    int helped;  // a control with a context-help topic
    DWORD helpId;
};

void PrintTo(const PageHelpCase& c, std::ostream* os) { *os << c.label; }

class AdvancedPageHelpTest : public AdvancedSheetTest, public ::testing::WithParamInterface<PageHelpCase> {};

// Each page of an RS-422/485 port's sheet has its tips, its help topic and its controls' popups.
TEST_P(AdvancedPageHelpTest, TipsTopicsAndPopupsArePerPage)
{
    const PageHelpCase& c = GetParam();
    m_stored.m_dwPortType = 1;
    RunAdvanced([&](ui::PropertySheet& sheet) {
        ASSERT_EQ(sheet.PageCount(), 4u);
        ASSERT_TRUE(sheet.Activate(c.page));
        CString tip;
        tip.LoadString(c.tip);
        const ui::ToolTipShown shown = ui::Hover(Item(sheet, c.page, c.tool));
        EXPECT_EQ(shown.text, std::u16string(static_cast<LPCWSTR>(tip)));
        EXPECT_EQ(shown.title, u"Information:");
        ui::Click(Item(sheet, c.page, IDC_HELP_BUTTON));
        ui::ContextHelp(Item(sheet, c.page, c.helped));
        ui::ContextHelp(Item(sheet, c.page, IDC_LABEL_HELP));  // no popup
        const auto help = ui::HtmlHelpCalls();
        ASSERT_EQ(help.size(), 2u);
        EXPECT_EQ(help[0].file, std::u16string(u"Portpanel39.chm::/") + c.topic + u">mainwin");
        EXPECT_EQ(help[1].file, u"Portpanel39.chm::/Portpanel.txt");
        EXPECT_EQ(help[1].command, static_cast<UINT>(HH_TP_HELP_WM_HELP));
        bool listed = false;
        for (size_t i = 0; i + 1 < help[1].idPairs.size(); i += 2)
            listed = listed || (help[1].idPairs[i] == static_cast<DWORD>(c.helped) && help[1].idPairs[i + 1] == c.helpId);
        EXPECT_TRUE(listed);
        EXPECT_TRUE(sheet.PressCancel());
    });
}

INSTANTIATE_TEST_SUITE_P(
    Pages, AdvancedPageHelpTest,
    ::testing::Values(
        PageHelpCase{"ComNumber", 0, IDC_COM_NUMBER, IDS_TIP_COM_NUMBER, u"AdvDevice485.htm", IDC_COM_NUMBER, 0x807300CA},
        PageHelpCase{"Duplex", 1, IDC_DUPLEX_MODE, IDS_TIP_DUPLEX_MODE, u"422485Page.htm", IDC_DUPLEX_MODE, 0x806B034E},
        PageHelpCase{"DuplexDefaults", 1, IDC_RESTORE_DEFAULTS, IDS_TIP_RESTORE_DEFAULTS, u"422485Page.htm",
                     IDC_RESTORE_DEFAULTS, 0x806B037C},
        PageHelpCase{"Latency", 2, IDC_LATENCY_VALUE, IDS_TIP_LATENCY, u"USBPage485.htm", IDC_LATENCY_VALUE, 0x806B0351},
        PageHelpCase{"CpuUsage", 2, IDC_LABEL_HIGHEST, IDS_TIP_CPU, u"USBPage485.htm", IDC_LABEL_LOWEST, 0x806B0353}),
    [](const ::testing::TestParamInfo<PageHelpCase>& info) { return std::string(info.param.label); });

// The About page's link opens the maker's site with the shell.
TEST_F(AdvancedSheetTest, TheAboutLinkOpensTheMakersSite)
{
    RunAdvanced([&](ui::PropertySheet& sheet) {
        ASSERT_EQ(sheet.PageTitle(2), u"About");
        ASSERT_TRUE(sheet.Activate(2));
        ui::Click(Item(sheet, 2, IDC_ABOUT_LINK));
        const auto calls = ui::ShellCalls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].operation, u"open");
        EXPECT_EQ(calls[0].file.rfind(u"https://", 0), 0u);
        EXPECT_TRUE(sheet.PressCancel());
    });
}

// The latency curve: its fixed points, the slider's known positions, and a table that rises.
TEST(LatencyCurveTest, KnownPositionsGiveTheirLatenciesAndTheTableRises)
{
    const std::pair<int, DWORD> factors[] = {{0, 0},     {1, 2},    {2, 3},     {3, 5},     {15, 24},    {52, 89},
                                             {53, 90},   {64, 112}, {75, 134},  {93, 174},  {97, 183},   {127, 260},
                                             {200, 538}, {245, 886}, {254, 1008}, {255, 1024}};
    for (const auto& [k, factor] : factors) EXPECT_EQ(LatencyFactor(k), factor) << "k = " << k;
    const std::pair<int, DWORD> positions[] = {{2, 2}, {1000, 25}, {6111, 1040}, {8321, 2114}, {16000, 13844},
                                               {16640, 16640}, {0, 2}, {20000, 16640}};
    for (const auto& [position, ms] : positions) EXPECT_EQ(LatencyOfSliderPosition(position), ms) << "p = " << position;
    for (int k = 1; k < LATENCY_TABLE_SIZE; ++k) EXPECT_LE(LatencyFactor(k - 1), LatencyFactor(k)) << "k = " << k;
}

}  // namespace
}  // namespace emu::testing
