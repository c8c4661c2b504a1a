// The advanced sheet over a port whose configuration interface answers only for the port set (the
// bus set cannot be read), and the latency curve of its USB page.
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
