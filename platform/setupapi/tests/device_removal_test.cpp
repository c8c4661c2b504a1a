// Devices taken off the machine (SetupDiRemoveDevice) and elements taken out of sets
// (SetupDiDeleteDeviceInfo), and devices added to a set by instance ID (SetupDiOpenDeviceInfoW).
#include "setupapi_control.h"
#include "setupapi_fixture.h"

namespace emu::testing {
namespace {

std::u16string EnumKey(std::u16string_view instancePath) { return std::u16string(kEnumKeyPath) + u"\\" + std::u16string(instancePath); }

class DeviceRemovalTest : public SetupApiTest {
protected:
    void TearDown() override
    {
        if (m_set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(m_set);
        SetupApiTest::TearDown();
    }
    HDEVINFO AllDevices()
    {
        m_set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
        return m_set;
    }

    HDEVINFO m_set = INVALID_HANDLE_VALUE;
};

TEST_F(DeviceRemovalTest, RemovingADeviceRemovesItsSubtreeWithTheirDeviceAndDriverKeys)
{
    const std::vector<DeviceNodeInfo> children = Children();
    const std::u16string driverKey = std::u16string(kClassKeyPath) + u"\\" + std::u16string(kTestPortsClass) + u"\\0005";
    Reg().CreateKey(driverKey);
    Reg().SetString(EnumKey(children[0].instancePath), u"Driver", std::u16string(kTestPortsClass) + u"\\0005");
    SP_DEVINFO_DATA bus{};
    ASSERT_TRUE(FindElement(AllDevices(), kTestBusInstance, bus));

    ASSERT_TRUE(SetupDiRemoveDevice(m_set, &bus));
    for (const DeviceNodeInfo& child : children) EXPECT_FALSE(Reg().KeyExists(EnumKey(child.instancePath)));
    EXPECT_FALSE(Reg().KeyExists(EnumKey(kTestBusInstance)));
    EXPECT_FALSE(Reg().KeyExists(driverKey));
    std::optional<DeviceNodeInfo> node = Pnp().FindNode(std::u16string(kTestBusInstance));
    EXPECT_TRUE(!node || node->state != DeviceNodeState::Started);

    // The element stays in the set until it is deleted from it.
    EXPECT_TRUE(SetupDiDeleteDeviceInfo(m_set, &bus));
    EXPECT_FALSE(SetupDiRemoveDevice(m_set, &bus));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(DeviceRemovalTest, AFailedRemovalChangesNothing)
{
    SP_DEVINFO_DATA bus{};
    ASSERT_TRUE(FindElement(AllDevices(), kTestBusInstance, bus));
    setupapi::FailNextCall(setupapi::SetupCall::RemoveDevice, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(SetupDiRemoveDevice(m_set, &bus));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Reg().KeyExists(EnumKey(kTestBusInstance)));
    EXPECT_EQ(Pnp().FindNode(std::u16string(kTestBusInstance))->state, DeviceNodeState::Started);
}

TEST_F(DeviceRemovalTest, ADeletedElementLeavesTheSetAndItsCopiesNameNothing)
{
    AllDevices();
    SP_DEVINFO_DATA first{}, second{};
    first.cbSize = second.cbSize = sizeof(SP_DEVINFO_DATA);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(m_set, 0, &first));
    ASSERT_TRUE(SetupDiEnumDeviceInfo(m_set, 1, &second));
    ASSERT_TRUE(SetupDiDeleteDeviceInfo(m_set, &first));
    // The next element moves up; the deleted one is no longer there.
    SP_DEVINFO_DATA now{};
    now.cbSize = sizeof now;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(m_set, 0, &now));
    EXPECT_EQ(now.DevInst, second.DevInst);
    EXPECT_FALSE(SetupDiDeleteDeviceInfo(m_set, &first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    WCHAR id[200];
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(m_set, &first, id, 200, nullptr));
}

TEST_F(DeviceRemovalTest, OpeningADeviceByItsIdAddsItOnceAndOnlyWhenTheMachineKnowsIt)
{
    m_set = SetupDiGetClassDevsW(nullptr, u"NOSUCHENUMERATOR", nullptr, DIGCF_ALLCLASSES);
    ASSERT_NE(m_set, INVALID_HANDLE_VALUE);
    Reg().CreateKey(EnumKey(u"PNPTEST\\CHILD\\OLD"));
    struct Case {
        std::u16string instancePath;
        bool known;
    } cases[] = {{std::u16string(kTestBusInstance), true}, {u"pnptest\\child\\old", true}, {u"PNPTEST\\CHILD\\NEVER", false}};
    for (const Case& c : cases) {
        SP_DEVINFO_DATA data{}, again{};
        data.cbSize = again.cbSize = sizeof(SP_DEVINFO_DATA);
        EXPECT_EQ(SetupDiOpenDeviceInfoW(m_set, c.instancePath.c_str(), nullptr, 0, &data), c.known ? TRUE : FALSE);
        if (!c.known) {
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
            continue;
        }
        ASSERT_TRUE(SetupDiOpenDeviceInfoW(m_set, c.instancePath.c_str(), nullptr, 0, &again));
        EXPECT_EQ(again.DevInst, data.DevInst);
    }
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(SetupDiEnumDeviceInfo(m_set, 1, &data));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(m_set, 2, &data));
}

}  // namespace
}  // namespace emu::testing
