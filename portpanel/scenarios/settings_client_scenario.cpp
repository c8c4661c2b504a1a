// The settings client against the framework's configuration interface on the scenario machine:
// each port's page finds its own instance by driver key, reads and writes its port's set with
// count 0 and the bus set of its port with count 1, and a refused or failing request changes
// nothing in the page's set beyond what was read.
#include "framework_scenario.h"

#include <cfgmgr32.h>
#include <debugapi.h>

#include "cvsetupdiparentdevice.h"
#include "dbg/debug_output.h"
#include "rtl/rtl_text.h"
#include "cvusermodeconfig.h"
#include "setupapi_control.h"
#include "utfinformationset.h"

namespace tfscenario {
namespace {

// The test images' sets, as a page would declare them.
struct FuncSet : CvUser::CTfInformationSet {
    DWORD dwBaud = 0, dwDataBits = 0, dwFlags = 0;
    FuncSet()
    {
        AddItem(TFTEST_FUNC_SET_BAUD, &dwBaud, 0);
        AddItem(TFTEST_FUNC_SET_DATA_BITS, &dwDataBits, 0);
        AddItem(TFTEST_FUNC_SET_FLAGS, &dwFlags, 0);
    }
};

struct BusSet : CvUser::CTfInformationSet {
    DWORD dwSpeed = 0;
    CString strName;
    BusSet()
    {
        AddItem(TFTEST_BUS_SET_NUMBER, &dwSpeed, 0);
        AddStringItem(TFTEST_BUS_SET_STRING, &strName);
    }
};

class SettingsClientScenario : public FrameworkScenario {
protected:
    void TearDown() override
    {
        if (m_set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_set);
        FrameworkScenario::TearDown();
    }
    // The port's element in a set of all present devices, as Device Manager hands it to a page.
    SP_DEVINFO_DATA PortElement(ULONG contextId)
    {
        if (m_set == INVALID_HANDLE_VALUE) m_set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        SP_DEVINFO_DATA element{};
        element.cbSize = sizeof element;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(m_set, index, &element); ++index) {
            WCHAR id[200];
            SetupDiGetDeviceInstanceIdW(m_set, &element, id, 200, nullptr);
            if (emu::EqualNoCase(id, ChildInstancePath(contextId))) return element;
        }
        ADD_FAILURE() << "no element for port " << contextId;
        return element;
    }
    std::optional<ULONG> FuncValue(ULONG contextId, std::u16string_view name)
    {
        return Reg().GetDword(HardwareKey(ChildInstancePath(contextId)) + u"\\UI1", name);
    }

    HDEVINFO m_set = INVALID_HANDLE_VALUE;
};

TEST_F(SettingsClientScenario, EachPortFindsItsOwnInterfaceAndReadsItsSets)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    m_set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    CCvUserModeConfig first(m_set, PortElement(1));
    CCvUserModeConfig second(m_set, PortElement(2));
    ASSERT_TRUE(first.Open());
    ASSERT_TRUE(second.Open());
    EXPECT_TRUE(emu::EqualNoCase(first.GetDevicePath().Text(), PortInterfacePath(1)));
    EXPECT_TRUE(emu::EqualNoCase(second.GetDevicePath().Text(), PortInterfacePath(2)));

    FuncSet port;
    ASSERT_TRUE(first.GetInformationSet(port, 0));
    EXPECT_EQ(port.dwBaud, static_cast<DWORD>(TFTEST_FUNC_SET_BAUD_DEFAULT));
    EXPECT_EQ(port.dwDataBits, static_cast<DWORD>(TFTEST_FUNC_SET_DATA_BITS_DEFAULT));
    BusSet bus;
    ASSERT_TRUE(first.GetInformationSet(bus, 1));
    EXPECT_EQ(bus.dwSpeed, static_cast<DWORD>(TFTEST_BUS_SET_NUMBER_DEFAULT));
    EXPECT_EQ(bus.strName, u"TFBUS");
    FuncSet stored;
    ASSERT_TRUE(first.GetStoredInformationSet(stored, 0));
    EXPECT_EQ(stored.dwBaud, static_cast<DWORD>(TFTEST_FUNC_SET_BAUD_DEFAULT));

    // The parent of a port is the adapter's bus device.
    SP_DEVINFO_DATA element = PortElement(1);
    CCvSetupDi_ParentDevice parent(m_set, &element);
    ASSERT_TRUE(parent.FindParent());
    WCHAR id[200];
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(parent.GetParentSet(), const_cast<SP_DEVINFO_DATA*>(&parent.GetParentData()), id,
                                            200, nullptr));
    EXPECT_TRUE(emu::EqualNoCase(id, kBusInstancePath));
}

TEST_F(SettingsClientScenario, WritesReachOnlyTheirPortAndRefusalsLeaveTheSetAsRead)
{
    SetRefuseValue(kFuncService, 115200);
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    m_set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    CCvUserModeConfig config(m_set, PortElement(1));
    ASSERT_TRUE(config.Open());
    FuncSet port;
    ASSERT_TRUE(config.GetInformationSet(port, 0));
    port.dwBaud = 19200;
    port.dwFlags = 5;
    ASSERT_TRUE(config.SetInformationSet(port, 0));
    EXPECT_EQ(FuncValue(1, TFTEST_FUNC_SET_BAUD), 19200u);
    EXPECT_EQ(FuncValue(2, TFTEST_FUNC_SET_BAUD), static_cast<ULONG>(TFTEST_FUNC_SET_BAUD_DEFAULT));

    port.dwBaud = 115200;
    EXPECT_FALSE(config.SetInformationSet(port, 0));
    FuncSet reread;
    ASSERT_TRUE(config.GetInformationSet(reread, 0));
    EXPECT_EQ(reread.dwBaud, 19200u);

    BusSet bus;
    ASSERT_TRUE(config.GetInformationSet(bus, 1));
    bus.dwSpeed = 3000;
    bus.strName = u"PAGES";
    ASSERT_TRUE(config.SetInformationSet(bus, 1));
    BusSet busReread;
    ASSERT_TRUE(config.GetInformationSet(busReread, 1));
    EXPECT_EQ(busReread.dwSpeed, 3000u);
    EXPECT_EQ(busReread.strName, u"PAGES");

    ASSERT_TRUE(config.SendCommand(0));
    ASSERT_TRUE(config.GetInformationSet(reread, 0));
    EXPECT_EQ(reread.dwBaud, static_cast<DWORD>(TFTEST_FUNC_SET_BAUD_DEFAULT));
    // No handle is held between requests.
    EXPECT_EQ(Pnp().OpenHandleCount(ChildPdo(1)), 0u);
}

TEST_F(SettingsClientScenario, WithoutItsInterfaceAPageHasNoPathAndSendsNothing)
{
    ASSERT_EQ(Plug(), STATUS_SUCCESS);
    m_set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA element = PortElement(1);
    CCvUserModeConfig config(m_set, element);
    FuncSet port;
    EXPECT_FALSE(config.GetInformationSet(port, 0));  // not opened

    // A driver key with a different instance number matches no interface.
    const std::u16string enumKey = std::u16string(emu::kEnumKeyPath) + u"\\" + ChildInstancePath(1);
    auto driver = Reg().GetValue(enumKey, u"Driver");
    Reg().SetString(enumKey, u"Driver", u"{4D36E978-E325-11CE-BFC1-08002BE10318}\\9999");
    EXPECT_FALSE(config.Open());
    Reg().SetValue(enumKey, u"Driver", driver->type, driver->data);

    machine().GetDebugOutput().Clear();
    emu::setupapi::FailNextCall(emu::setupapi::SetupCall::GetClassDevs, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(config.Open());
    EXPECT_EQ(machine().GetDebugOutput().CountContaining("SetupDiGetClassDevs failed: 8"), 1u);

    // The detail call misbehaving on an instance ends the search.
    emu::setupapi::FailNextCall(emu::setupapi::SetupCall::GetDeviceInterfaceDetail, ERROR_GEN_FAILURE);
    EXPECT_FALSE(config.Open());
    EXPECT_TRUE(config.Open());

    CCvSetupDi_ParentDevice parent(m_set, &element);
    emu::setupapi::FailNextCall(emu::setupapi::SetupCall::GetParent, CR_FAILURE);
    EXPECT_FALSE(parent.FindParent());
}

}  // namespace
}  // namespace tfscenario
