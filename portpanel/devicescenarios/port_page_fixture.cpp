// The page scenarios' fixture.
#include "port_page_fixture.h"

#include <chrono>
#include <optional>
#include <thread>

#include "cm/registry.h"

extern "C" BOOL CvUPortPropPage(PSP_PROPSHEETPAGE_REQUEST, LPFNADDPROPSHEETPAGE, LPARAM);

namespace e2e {
namespace {

namespace ui = emu::ui;

constexpr std::u16string_view kPortsKey = u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";

BOOL CALLBACK AddPage(HPROPSHEETPAGE page, LPARAM lParam)
{
    reinterpret_cast<std::vector<HPROPSHEETPAGE>*>(lParam)->push_back(page);
    return TRUE;
}

}  // namespace

std::u16string Decimal(DWORD value)
{
    const std::string text = std::to_string(value);
    return {text.begin(), text.end()};
}

void PortSettingsDeviceTest::SetUp()
{
    ComPortTest::SetUp();
    Plug({.cable = Cable::Loopback});
}

void PortSettingsDeviceTest::TearDown()
{
    m_sheet.reset();
    if (m_set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_set);
    EXPECT_TRUE(ui::UnexpectedMessageBoxes().empty());
    EXPECT_EQ(ui::PendingMessageBoxAnswers(), 0u);
    ComPortTest::TearDown();
}

void PortSettingsDeviceTest::ShowPage()
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

bool PortSettingsDeviceTest::IsPort(SP_DEVINFO_DATA& element)
{
    char16_t service[64] = {};
    return SetupDiGetDeviceRegistryPropertyW(m_set, &element, SPDRP_SERVICE, nullptr, reinterpret_cast<PBYTE>(service),
                                             sizeof service, nullptr) &&
           std::u16string(service) == cvinstall::kPortService;
}

std::u16string PortSettingsDeviceTest::TextOf(HWND control)
{
    WCHAR text[128] = {};
    GetWindowTextW(control, text, 128);
    return reinterpret_cast<const char16_t*>(text);
}

void PortSettingsDeviceTest::SelectValue(HWND list, DWORD value)
{
    const LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
    for (LRESULT index = 0; index < count; ++index)
        if (static_cast<DWORD>(SendMessageW(list, CB_GETITEMDATA, index, 0)) == value)
            return ui::SelectComboItem(list, static_cast<int>(index));
    ADD_FAILURE() << "the list has no value " << value;
}

void PortSettingsDeviceTest::SelectText(HWND list, const std::u16string& text)
{
    const LRESULT index = SendMessageW(list, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text.c_str()));
    if (index == CB_ERR) return ADD_FAILURE() << "the list has no entry " << std::string(text.begin(), text.end());
    ui::SelectComboItem(list, static_cast<int>(index));
}

void PortSettingsDeviceTest::ExpectPortHeldQuestion(int answer)
{
    ui::ExpectMessageBox({std::nullopt, u"Warning!", MB_YESNO | MB_ICONINFORMATION, answer});
}

std::u16string PortSettingsDeviceTest::PortsValue(const std::u16string& name)
{
    auto value = machine().GetRegistry().GetValue(kPortsKey, (name.empty() ? PortNames().at(0) : name) + u":");
    return value ? std::u16string(reinterpret_cast<const char16_t*>(value->data.data())) : u"<none>";
}

DCB PortSettingsDeviceTest::State(HANDLE port)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(port, &dcb));
    return dcb;
}

DWORD PortSettingsDeviceTest::ModemStatus(HANDLE port)
{
    AdvanceMs(20);
    DWORD modem = 0;
    EXPECT_TRUE(GetCommModemStatus(port, &modem));
    return modem;
}

bool PortSettingsDeviceTest::CtsSettlesTo(HANDLE port, bool expected)
{
    bool on = (ModemStatus(port) & MS_CTS_ON) != 0;
    for (int step = 0; step < 200 && on != expected; ++step) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        on = (ModemStatus(port) & MS_CTS_ON) != 0;
    }
    return on;
}

}  // namespace e2e
