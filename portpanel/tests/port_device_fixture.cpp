#include "port_device_fixture.h"

#include "pnp/pnp_manager.h"
#include "rtl/rtl_text.h"

namespace emu::testing {

void PortDeviceTest::SetUp()
{
    MachineTest::SetUp();
    m_pdo = m_driver.CreateDevice(u"\\Device\\CvTestPort0");
    m_pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    // No driver is bound: the device stays in the tree without one.
    machine().GetPnp().AddRootDevice(kPortInstance, {u"ROOT\\CVTESTPORT"}, m_pdo);
    m_set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(m_set, INVALID_HANDLE_VALUE);
    m_element.cbSize = sizeof m_element;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(m_set, 0, &m_element));
}

void PortDeviceTest::TearDown()
{
    SetupDiDestroyDeviceInfoList(m_set);
    MachineTest::TearDown();
}

std::u16string PortDeviceTest::EnumKey() const { return std::u16string(kEnumKeyPath) + u"\\" + std::u16string(kPortInstance); }

std::u16string PortDeviceTest::HardwareKey() const { return EnumKey() + u"\\Device Parameters"; }

}  // namespace emu::testing
