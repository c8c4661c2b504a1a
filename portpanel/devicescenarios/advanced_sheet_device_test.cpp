// The advanced sheet as a user drives it from the Port Settings page, against the COM port of a
// plugged adapter served by the installed drivers: a new COM number reaches the DOS name, the
// SERIALCOMM entry, the COM-name database, PortName, the friendly name and the Ports line (or
// nothing changes when the user declines or the rename fails); the latency policy reaches the
// chip; an RS-422/485 port's duplex mode reaches the port driver and the Port Settings page.
#include <msports.h>
#include <setupapi.h>

#include <functional>

#include "advancedresource.h"
#include "cm/registry.h"
#include "pnp/pnp_manager.h"
#include "cvdevicereginfo.h"
#include "cvusermodeconfig.h"
#include "cvuvcpusermodeinterface.h"
#include "dos_devices.h"
#include "enumdrvusermodeinterface.h"
#include "port_page_fixture.h"
#include "comname.h"

namespace e2e {
namespace {

namespace ui = emu::ui;

constexpr std::u16string_view kSerialCommKey = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr DWORD kHalfDuplex = 2;

class AdvancedSheetDeviceTest : public PortSettingsDeviceTest {
protected:
    // The port's number is claimed in the database and named in its friendly name, as Windows'
    // Ports class installer leaves a port it installed.
    void ShowPage()
    {
        PortSettingsDeviceTest::ShowPage();
        if (DeviceString(true) != u"<none>") return;
        Claim(ComNumberOf(CString(DeviceString(false).c_str())));
        CCVDeviceRegInfo info(m_set, m_element);
        ASSERT_TRUE(info.SetFriendlyName(CString(u"USB Serial Port (") + DeviceString(false).c_str() + u")"));
    }
    // Presses Advanced... on the Port Settings page; the script is the user's doing on the sheet.
    void RunAdvanced(std::function<void(ui::PropertySheet&)> script)
    {
        ui::ScriptNextModalSheet(std::move(script));
        Check(IDC_ADVANCED);
        EXPECT_EQ(ui::UnscriptedModalSheets(), 0u);
    }
    static HWND PageItem(ui::PropertySheet& sheet, size_t page, int id) { return GetDlgItem(sheet.PageWindow(page), id); }

    std::u16string DeviceString(bool friendly)
    {
        CCVDeviceRegInfo info(m_set, m_element);
        CString text;
        const BOOL read = friendly ? info.GetFriendlyName(text) : info.GetDeviceParameterString(u"PortName", text);
        return read ? std::u16string(static_cast<LPCWSTR>(text)) : u"<none>";
    }
    std::u16string SerialCommName(const std::u16string& target)
    {
        auto value = machine().GetRegistry().GetValue(kSerialCommKey, target);
        return value ? std::u16string(reinterpret_cast<const char16_t*>(value->data.data())) : u"<none>";
    }
    static std::u16string LinkTarget(const std::u16string& name)
    {
        WCHAR target[256] = {};
        return QueryDosDeviceW(name.c_str(), target, 256) ? std::u16string(target) : u"<none>";
    }
    static bool Claimed(DWORD number)
    {
        HCOMDB db = HCOMDB_INVALID_HANDLE_VALUE;
        EXPECT_EQ(ComDBOpen(&db), ERROR_SUCCESS);
        BYTE usage[256] = {};
        DWORD max = 0;
        EXPECT_EQ(ComDBGetCurrentPortUsage(db, usage, sizeof usage, CDB_REPORT_BYTES, &max), ERROR_SUCCESS);
        ComDBClose(db);
        return usage[number - 1] != 0;
    }
    static void Claim(DWORD number)
    {
        HCOMDB db = HCOMDB_INVALID_HANDLE_VALUE;
        ASSERT_EQ(ComDBOpen(&db), ERROR_SUCCESS);
        BOOL forced = FALSE;
        EXPECT_EQ(ComDBClaimPort(db, number, TRUE, &forced), ERROR_SUCCESS);
        ComDBClose(db);
    }
    bool PropertyChangePending()
    {
        SP_DEVINSTALL_PARAMS_W params{};
        params.cbSize = sizeof params;
        EXPECT_TRUE(SetupDiGetDeviceInstallParamsW(m_set, &m_element, &params));
        return (params.FlagsEx & DI_FLAGSEX_PROPCHANGE_PENDING) != 0;
    }

    // The port's sets as the driver has them now.
    void ReadPortSet(CvUser::CCvUVcpUserModeInterface& set)
    {
        CCvUserModeConfig config(m_set, m_element);
        ASSERT_TRUE(config.Open() && config.GetInformationSet(set, 0));
    }
    void WritePortSet(CvUser::CCvUVcpUserModeInterface& set)
    {
        CCvUserModeConfig config(m_set, m_element);
        ASSERT_TRUE(config.Open() && config.SetInformationSet(set, 0));
    }
    void ReadBusSet(CvUser::CEnumdrvUserModeInterface& set)
    {
        CCvUserModeConfig config(m_set, m_element);
        ASSERT_TRUE(config.Open() && config.GetInformationSet(set, 1));
    }
    void WriteBusSet(CvUser::CEnumdrvUserModeInterface& set)
    {
        CCvUserModeConfig config(m_set, m_element);
        ASSERT_TRUE(config.Open() && config.SetInformationSet(set, 1));
    }

    // Makes the adapter's first port an RS-422/485 port that offers every duplex mode: the bus
    // driver is told (PortType bit 0) and the adapter plugged again; the port's stored set is
    // marked for the driver to fill in the port type again, as for a new port.
    void MakeRs422485Port()
    {
        ShowPage();
        CvUser::CEnumdrvUserModeInterface bus;
        ReadBusSet(bus);
        bus.m_dwPortType = 1;
        WriteBusSet(bus);
        const std::u16string key = PortSetKey();
        ASSERT_FALSE(key.empty());
        m_sheet.reset();
        Unplug();
        machine().GetRegistry().SetDword(key, u"PortType", 255);
        machine().GetRegistry().SetDword(key, u"SupportedDuplexModes", 0x1F);
        Plug({.cable = Cable::Loopback});
        ShowPage();
        CvUser::CCvUVcpUserModeInterface port;
        ReadPortSet(port);
        ASSERT_EQ(port.m_dwPortType, 1u);
        ASSERT_EQ(port.m_dwDuplexMode, 1u);
    }
    // The registry key in which the port driver keeps the port set.
    std::u16string PortSetKey()
    {
        for (const emu::DeviceNodeInfo& node : machine().GetPnp().Nodes()) {
            if (node.service != cvinstall::kPortService) continue;
            std::u16string key;
            if (machine().GetPnp().DeviceKeyPath(node.pdo, PLUGPLAY_REGKEY_DEVICE, key) != STATUS_SUCCESS) continue;
            for (const std::u16string& sub : machine().GetRegistry().SubKeys(key))
                if (machine().GetRegistry().GetValue(key + u"\\" + sub, u"PortType")) return key + u"\\" + sub;
        }
        return {};
    }

    // The chip's latency timer once an application opens the port at 9600 baud.
    unsigned LatencyAtOpen()
    {
        HANDLE port = OpenName(DeviceString(false));
        EXPECT_NE(port, INVALID_HANDLE_VALUE);
        if (port == INVALID_HANDLE_VALUE) return 0;
        Configure(port, {.rate = 9600});
        const unsigned latency = ChipSettings().latencyMs;
        Close(port);
        return latency;
    }
};

// ---- The sheet -----------------------------------------------------------------------------------

// An RS-232 port's sheet has the COM-number, USB and About pages, captioned by its COM name, and the
// COM-number page shows what the bus driver reports and the port's name chosen in the list.
TEST_F(AdvancedSheetDeviceTest, AnRs232PortsSheetShowsItsNameAndTheAdaptersValues)
{
    ShowPage();
    const std::u16string name = PortNames().at(0);
    RunAdvanced([&](ui::PropertySheet& sheet) {
        EXPECT_EQ(sheet.Caption(), u"Advanced Settings for " + name);
        EXPECT_EQ(sheet.Flags() & (PSH_PROPTITLE | PSH_NOAPPLYNOW), static_cast<DWORD>(PSH_PROPTITLE | PSH_NOAPPLYNOW));
        ASSERT_EQ(sheet.PageCount(), 3u);
        EXPECT_EQ(sheet.PageTitle(0), u"Port Settings");
        EXPECT_EQ(sheet.PageTitle(1), u"USB Settings");
        EXPECT_EQ(sheet.PageTitle(2), u"About");
        EXPECT_EQ(TextOf(PageItem(sheet, 0, IDC_COM_NUMBER)), name);
        EXPECT_EQ(TextOf(PageItem(sheet, 0, IDC_INTERFACE_TYPE)), u"USB");
        EXPECT_EQ(TextOf(PageItem(sheet, 0, IDC_RX_FIFO)), u"256 bytes");
        EXPECT_EQ(TextOf(PageItem(sheet, 0, IDC_TX_FIFO)), u"128 bytes");
        EXPECT_EQ(TextOf(PageItem(sheet, 0, IDC_MAX_BAUD)), u"1000000 baud");
        EXPECT_TRUE(sheet.PressOk());
    });
    EXPECT_EQ(DeviceString(false), name);
}

// ---- COM number ----------------------------------------------------------------------------------

struct RenameCase {
    const char* label;
    DWORD number;         // the COM number chosen
    bool takenByAnother;  // another device holds the number in the database
    bool heldOpen;        // an application holds the port
    UINT question;        // the question the rename asks (0: none)
    int answer;
    bool renamed;
};

void PrintTo(const RenameCase& c, std::ostream* os) { *os << c.label; }

class AdvancedSheetRenameTest : public AdvancedSheetDeviceTest, public ::testing::WithParamInterface<RenameCase> {};

// A COM number chosen on the first page is the port's new name everywhere: its DOS name and
// SERIALCOMM entry, the database (the old number released, the new one claimed), PortName, the
// friendly name and a Ports line with the default settings; the device is marked for a property
// change and applications open the port by the new name. A declined question changes nothing
// and the sheet still closes.
TEST_P(AdvancedSheetRenameTest, TheChosenNumberIsThePortsNameEverywhereOrNowhere)
{
    const RenameCase& c = GetParam();
    ShowPage();
    const std::u16string oldName = DeviceString(false);
    const DWORD oldNumber = ComNumberOf(CString(oldName.c_str()));
    const std::u16string newName = u"COM" + Decimal(c.number);
    const std::u16string target = LinkTarget(oldName);
    const std::u16string oldFriendly = DeviceString(true);
    ASSERT_NE(oldFriendly.find(u"(" + oldName + u")"), std::u16string::npos);
    if (c.takenByAnother) Claim(c.number);
    HANDLE held = c.heldOpen ? OpenName(oldName) : INVALID_HANDLE_VALUE;
    if (c.question) {
        CString text;
        text.LoadString(c.question);
        ui::ExpectMessageBox({std::u16string(static_cast<LPCWSTR>(text)), u"Error", MB_YESNO | MB_ICONINFORMATION, c.answer});
    }
    RunAdvanced([&](ui::PropertySheet& sheet) {
        SelectText(PageItem(sheet, 0, IDC_COM_NUMBER), newName + (c.takenByAnother ? u" (in use)" : u""));
        EXPECT_TRUE(sheet.PressOk());
    });

    const std::u16string name = c.renamed ? newName : oldName;
    EXPECT_EQ(DeviceString(false), name);
    EXPECT_EQ(LinkTarget(name), target);
    EXPECT_EQ(SerialCommName(target), name);
    EXPECT_EQ(DeviceString(true).find(u"(" + (c.renamed ? oldName : newName) + u")"), std::u16string::npos);
    EXPECT_NE(DeviceString(true).find(u"(" + name + u")"), std::u16string::npos);
    EXPECT_EQ(Claimed(c.number), c.renamed || c.takenByAnother);
    EXPECT_TRUE(Claimed(c.renamed ? c.number : oldNumber));
    EXPECT_EQ(PortsValue(newName), c.renamed ? u"9600,n,8,1" : u"<none>");
    EXPECT_EQ(PropertyChangePending(), c.renamed);
    if (c.renamed) {
        EXPECT_EQ(LinkTarget(oldName), u"<none>");
        EXPECT_FALSE(Claimed(oldNumber));
    }
    if (held != INVALID_HANDLE_VALUE) Close(held);
    HANDLE port = OpenName(name);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "the port does not open by its name";
    WriteAll(port, {0x55, 0xAA});
    EXPECT_EQ(ReadAll(port, 2), (std::vector<uint8_t>{0x55, 0xAA}));
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, AdvancedSheetRenameTest,
    ::testing::Values(RenameCase{"FreeNumber", 7, false, false, 0, 0, true},
                      RenameCase{"TakenNumberAccepted", 8, true, false, 5047, IDYES, true},
                      RenameCase{"TakenNumberDeclined", 8, true, false, 5047, IDNO, false},
                      RenameCase{"HeldPortAccepted", 9, false, true, IDS_PORT_OPEN_WARNING, IDYES, true},
                      RenameCase{"HeldPortDeclined", 9, false, true, IDS_PORT_OPEN_WARNING, IDNO, false}),
    [](const ::testing::TestParamInfo<RenameCase>& info) { return std::string(info.param.label); });

// Choosing the name the port has changes nothing and asks nothing.
TEST_F(AdvancedSheetDeviceTest, ThePortsOwnNameChangesNothing)
{
    ShowPage();
    const std::u16string name = DeviceString(false);
    RunAdvanced([&](ui::PropertySheet& sheet) {
        SelectText(PageItem(sheet, 0, IDC_COM_NUMBER), name);
        EXPECT_TRUE(sheet.PressOk());
    });
    EXPECT_EQ(DeviceString(false), name);
    EXPECT_FALSE(PropertyChangePending());
    EXPECT_EQ(PortsValue(name), u"<none>");
}

// A rename whose new DOS name cannot be defined says so and keeps the sheet open; the port keeps
// its name, link, database claim and records, and a second try with the name free succeeds.
TEST_F(AdvancedSheetDeviceTest, AFailedRenameLeavesThePortAsItWas)
{
    ShowPage();
    const std::u16string oldName = DeviceString(false);
    const std::u16string target = LinkTarget(oldName);
    RunAdvanced([&](ui::PropertySheet& sheet) {
        SelectText(PageItem(sheet, 0, IDC_COM_NUMBER), u"COM7");
        emu::win32::FailNextDosDeviceDefinitions(1);
        ui::ExpectMessageBox({u"There was an error renaming the COM port.", u"Error", MB_OK | MB_ICONERROR, IDOK});
        EXPECT_FALSE(sheet.PressOk());
        EXPECT_EQ(DeviceString(false), oldName);
        EXPECT_EQ(LinkTarget(oldName), target);
        EXPECT_EQ(LinkTarget(u"COM7"), u"<none>");
        EXPECT_EQ(SerialCommName(target), oldName);
        EXPECT_FALSE(Claimed(7));
        EXPECT_FALSE(PropertyChangePending());
        EXPECT_TRUE(sheet.PressOk());
    });
    EXPECT_EQ(DeviceString(false), u"COM7");
    EXPECT_EQ(LinkTarget(u"COM7"), target);
}

// ---- Restore Defaults ----------------------------------------------------------------------------

struct RestoreCase {
    const char* label;
    bool changedFirst;  // the user changed the settings before
};

void PrintTo(const RestoreCase& c, std::ostream* os) { *os << c.label; }

class RestoreDefaultsDeviceTest : public PortSettingsDeviceTest, public ::testing::WithParamInterface<RestoreCase> {};

// Restore Defaults shows the settings the port was installed with and OK sends them, even when
// they equal what the driver has; the port then opens with them.
TEST_P(RestoreDefaultsDeviceTest, OkSendsTheInstalledSettings)
{
    ShowPage();
    if (GetParam().changedFirst) {
        ui::TypeText(Item(IDC_BAUD_RATE), u"57600");
        SelectFlowControl(kFlowRtsCts);
        Check(IDC_OVERRIDE_BAUD);
        Check(IDC_CTS_TRUE);
        ASSERT_TRUE(m_sheet->PressOk());
        ASSERT_EQ(PortsValue(), u"57600,n,8,1,p");
        ShowPage();
    }
    Check(IDC_RESTORE_DEFAULTS);
    EXPECT_EQ(Text(IDC_BAUD_RATE), u"9600");
    EXPECT_EQ(Text(IDC_FLOW_CONTROL), u"None");
    for (int id : {IDC_OVERRIDE_BAUD, IDC_CTS_TRUE})
        EXPECT_EQ(IsDlgButtonChecked(m_sheet->PageWindow(0), id), static_cast<UINT>(BST_UNCHECKED));
    ASSERT_TRUE(m_sheet->PressOk());
    EXPECT_EQ(PortsValue(), u"9600,n,8,1");

    HANDLE port = Open();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(State(port).BaudRate, 9600u);
    EXPECT_NEAR(ChipSettings().baud.Baud(), 9600, 96);
    EXPECT_FALSE(ChipSettings().flow.rtsCts);
}

INSTANTIATE_TEST_SUITE_P(Settings, RestoreDefaultsDeviceTest,
                         ::testing::Values(RestoreCase{"AfterAChange", true}, RestoreCase{"Unchanged", false}),
                         [](const ::testing::TestParamInfo<RestoreCase>& info) { return std::string(info.param.label); });

// ---- USB latency ---------------------------------------------------------------------------------

struct LatencyCase {
    const char* label;
    int radio;           // the policy chosen
    int slider;          // the slider moved
    int position;
    const char16_t* shown;  // the latency label afterwards (null: not checked)
    unsigned chipLatency;   // the chip's latency timer at 9600 baud
};

void PrintTo(const LatencyCase& c, std::ostream* os) { *os << c.label; }

class LatencyPolicyDeviceTest : public AdvancedSheetDeviceTest, public ::testing::WithParamInterface<LatencyCase> {};

// The policy chosen on the USB page reaches the bus driver, which programs the chip's latency
// timer from it when an application opens the port; Restore Defaults on the page sends the
// installed policy at once, even when the sheet is then cancelled.
TEST_P(LatencyPolicyDeviceTest, ThePolicyReachesTheChipAndRestoreDefaultsTakesItBack)
{
    const LatencyCase& c = GetParam();
    ShowPage();
    const unsigned installed = LatencyAtOpen();
    ASSERT_NE(installed, c.chipLatency) << "the case does not tell the policies apart";
    RunAdvanced([&](ui::PropertySheet& sheet) {
        ASSERT_TRUE(sheet.Activate(1));
        ui::Click(PageItem(sheet, 1, c.radio));
        ui::MoveTrackBar(PageItem(sheet, 1, c.slider), c.position);
        if (c.shown) {
            EXPECT_EQ(TextOf(PageItem(sheet, 1, IDC_LATENCY_VALUE)), c.shown);
        }
        EXPECT_TRUE(sheet.PressOk());
    });
    EXPECT_EQ(LatencyAtOpen(), c.chipLatency);

    RunAdvanced([&](ui::PropertySheet& sheet) {
        ASSERT_TRUE(sheet.Activate(1));
        ui::Click(PageItem(sheet, 1, IDC_RESTORE_DEFAULTS));
        EXPECT_TRUE(sheet.PressCancel());
    });
    EXPECT_EQ(LatencyAtOpen(), installed);
}

INSTANTIATE_TEST_SUITE_P(
    Policies, LatencyPolicyDeviceTest,
    ::testing::Values(LatencyCase{"Latency25ms", IDC_POLICY_LATENCY, IDC_LATENCY_SLIDER, 1000, u"25 ms", 25},
                      LatencyCase{"Latency2ms", IDC_POLICY_LATENCY, IDC_LATENCY_SLIDER, 2, u"2 ms", 2},
                      LatencyCase{"LowestCpuUsage", IDC_POLICY_CPU, IDC_CPU_SLIDER, 0, nullptr, 255}),
    [](const ::testing::TestParamInfo<LatencyCase>& info) { return std::string(info.param.label); });

// An untouched USB page sends nothing: OK asks no question while an application holds the port.
TEST_F(AdvancedSheetDeviceTest, AnUntouchedUsbPageSendsNothing)
{
    ShowPage();
    HANDLE held = OpenName(DeviceString(false));
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    RunAdvanced([&](ui::PropertySheet& sheet) {
        ASSERT_TRUE(sheet.Activate(1));
        EXPECT_TRUE(sheet.PressOk());
    });
    EXPECT_TRUE(ui::MessageBoxes().empty());
}

// ---- RS-422/485 ----------------------------------------------------------------------------------

// An RS-422/485 port's sheet has the duplex page second; the mode chosen there reaches the port
// driver, and the Port Settings page then offers only "None" flow control with CTS held on for the
// half-duplex mode.
TEST_F(AdvancedSheetDeviceTest, AnRs422485PortsDuplexModeReachesTheDriverAndThePortPage)
{
    MakeRs422485Port();
    RunAdvanced([&](ui::PropertySheet& sheet) {
        ASSERT_EQ(sheet.PageCount(), 4u);
        EXPECT_EQ(sheet.PageTitle(1), u"RS-422/485 Settings");
        ASSERT_TRUE(sheet.Activate(1));
        EXPECT_EQ(TextOf(PageItem(sheet, 1, IDC_DUPLEX_MODE)), u"RS-422/485 Full-Duplex Mode");
        EXPECT_EQ(SendMessageW(PageItem(sheet, 1, IDC_DUPLEX_MODE), CB_GETCOUNT, 0, 0), 5);
        SelectValue(PageItem(sheet, 1, IDC_DUPLEX_MODE), kHalfDuplex);
        EXPECT_TRUE(sheet.PressOk());
    });
    CvUser::CCvUVcpUserModeInterface port;
    ReadPortSet(port);
    EXPECT_EQ(port.m_dwDuplexMode, kHalfDuplex);
    EXPECT_EQ(SendMessageW(Item(IDC_FLOW_CONTROL), CB_GETCOUNT, 0, 0), 1);
    EXPECT_EQ(Text(IDC_FLOW_CONTROL), u"None");
    EXPECT_EQ(IsDlgButtonChecked(m_sheet->PageWindow(0), IDC_CTS_TRUE), static_cast<UINT>(BST_CHECKED));
    EXPECT_FALSE(IsWindowEnabled(Item(IDC_CTS_TRUE)));
}

// Restore Defaults on the duplex page shows the installed mode; OK sends it.
TEST_F(AdvancedSheetDeviceTest, RestoreDefaultsOnTheDuplexPageSendsTheInstalledModeOnOk)
{
    MakeRs422485Port();
    CvUser::CCvUVcpUserModeInterface port;
    ReadPortSet(port);
    port.m_dwDuplexMode = 4;
    WritePortSet(port);
    ShowPage();
    RunAdvanced([&](ui::PropertySheet& sheet) {
        ASSERT_TRUE(sheet.Activate(1));
        EXPECT_EQ(TextOf(PageItem(sheet, 1, IDC_DUPLEX_MODE)), u"Receive Only");
        ui::Click(PageItem(sheet, 1, IDC_RESTORE_DEFAULTS));
        EXPECT_EQ(TextOf(PageItem(sheet, 1, IDC_DUPLEX_MODE)), u"RS-422/485 Full-Duplex Mode");
        ReadPortSet(port);
        EXPECT_EQ(port.m_dwDuplexMode, 4u) << "Restore Defaults sent the mode before OK";
        EXPECT_TRUE(sheet.PressOk());
    });
    ReadPortSet(port);
    EXPECT_EQ(port.m_dwDuplexMode, 1u);
}

// A duplex mode the sheet sent stays the driver's when a later page of the sheet refused and the
// user cancelled: the Port Settings page's next change sends the mode the driver has, not the one
// the page read before the sheet ran.
TEST_F(AdvancedSheetDeviceTest, ACancelledSheetsDuplexModeSurvivesThePortPagesNextChange)
{
    MakeRs422485Port();
    HANDLE held = Open();
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    RunAdvanced([&](ui::PropertySheet& sheet) {
        ASSERT_TRUE(sheet.Activate(1));
        SelectValue(PageItem(sheet, 1, IDC_DUPLEX_MODE), kHalfDuplex);
        ASSERT_TRUE(sheet.Activate(2));
        ui::MoveTrackBar(PageItem(sheet, 2, IDC_LATENCY_SLIDER), 1000);
        ExpectPortHeldQuestion(IDYES);  // the duplex page
        ExpectPortHeldQuestion(IDNO);   // the USB page
        EXPECT_FALSE(sheet.PressOk());
        EXPECT_TRUE(sheet.PressCancel());
    });
    ui::TypeText(Item(IDC_BAUD_RATE), u"19200");
    ExpectPortHeldQuestion(IDYES);
    ASSERT_TRUE(m_sheet->PressOk());
    CvUser::CCvUVcpUserModeInterface port;
    ReadPortSet(port);
    EXPECT_EQ(port.m_dwBaudrate, 19200u);
    EXPECT_EQ(port.m_dwDuplexMode, kHalfDuplex);
}

}  // namespace
}  // namespace e2e
