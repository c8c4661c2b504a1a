// The PnP manager with real driver images: a WDM bus driver (pnptest.sys) whose children get their
// own function driver (pnptest2.sys), on a root PDO the test supplies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "io/driver_loader.h"
#include "ob/object_namespace.h"
#include "pnp/pnp_manager.h"
#include "ex/pool.h"
#include "cm/registry.h"
#include "machine_test.h"
#include "test_driver.h"

#include <windows.h>

namespace emu::testing {
namespace {

constexpr std::u16string_view kBusInstance = u"ROOT\\PNPTESTBUS\\0000";
constexpr std::u16string_view kPortsClass = u"{4D36E978-E325-11CE-BFC1-08002BE10318}";

class PnpTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        DriverLoader& drivers = machine().GetDrivers();
        drivers.InstallImage(u"pnptest.sys", EMU_PNPTEST_IMAGE);
        drivers.InstallImage(u"pnptest2.sys", EMU_PNPTEST2_IMAGE);
        drivers.CreateService(u"PnpBus", u"pnptest.sys");
        drivers.CreateService(u"PnpFun", u"pnptest2.sys");
        Pnp().BindService(u"ROOT\\PNPTESTBUS", u"PnpBus");
        Pnp().BindService(u"PNPTEST\\CHILD", u"PnpFun", kPortsClass);

        // The root PDO answers what a PDO must and leaves other requests untouched.
        m_root.SetDispatch(IRP_MJ_PNP, [](PDEVICE_OBJECT, PIRP irp) {
            NTSTATUS status = irp->IoStatus.Status;
            switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
            case IRP_MN_START_DEVICE:
            case IRP_MN_QUERY_REMOVE_DEVICE:
            case IRP_MN_REMOVE_DEVICE:
            case IRP_MN_CANCEL_REMOVE_DEVICE:
            case IRP_MN_QUERY_STOP_DEVICE:
            case IRP_MN_STOP_DEVICE:
            case IRP_MN_CANCEL_STOP_DEVICE:
            case IRP_MN_SURPRISE_REMOVAL:
                status = STATUS_SUCCESS;
                break;
            default:
                break;
            }
            return TestDriver::Complete(irp, status, irp->IoStatus.Information);
        });
        m_pdo = m_root.CreateDevice();
        m_pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    PnpManager& Pnp() { return machine().GetPnp(); }
    Registry& Reg() { return machine().GetRegistry(); }

    void SetBusValue(std::u16string_view name, ULONG value)
    {
        Reg().SetDword(std::u16string(kEnumKeyPath) + u"\\" + std::u16string(kBusInstance) + u"\\Device Parameters", name,
                       value);
    }
    NTSTATUS PlugBus(ULONG children)
    {
        SetBusValue(u"ChildCount", children);
        return Pnp().AddRootDevice(kBusInstance, {u"ROOT\\PNPTESTBUS"}, m_pdo);
    }
    std::vector<PDEVICE_OBJECT> ChildPdos()
    {
        std::vector<PDEVICE_OBJECT> pdos;
        for (const auto& child : Pnp().Children(m_pdo)) pdos.push_back(child.pdo);
        return pdos;
    }
    // The log as "<node index>:<minor>" where index 0 is the bus and n the child at Address n-1.
    std::vector<std::string> Sequence(std::vector<UCHAR> minors)
    {
        std::vector<std::string> sequence;
        for (const PnpIrpRecord& record : Pnp().IrpLog()) {
            if (std::find(minors.begin(), minors.end(), record.minor) == minors.end()) continue;
            std::string who = record.pdo == m_pdo ? "bus" : "child";
            for (size_t i = 0; i < m_children.size(); ++i)
                if (record.pdo == m_children[i]) who = "child" + std::to_string(i);
            sequence.push_back(who + ":" + std::to_string(record.minor));
        }
        return sequence;
    }
    static std::string Step(const char* who, UCHAR minor) { return std::string(who) + ":" + std::to_string(minor); }

    TestDriver m_root{u"RootBus"};
    PDEVICE_OBJECT m_pdo = nullptr;
    std::vector<PDEVICE_OBJECT> m_children;
};

TEST_F(PnpTest, BusStartsAndItsChildrenGetIdentityKeysAndTheirOwnDriver)
{
    ASSERT_EQ(PlugBus(2), STATUS_SUCCESS);
    auto bus = Pnp().FindNode(m_pdo);
    ASSERT_TRUE(bus);
    EXPECT_EQ(bus->state, DeviceNodeState::Started);
    EXPECT_EQ(bus->service, u"PnpBus");
    EXPECT_EQ(bus->driverKey, std::u16string(kSystemClassGuid) + u"\\0000");

    auto children = Pnp().Children(m_pdo);
    ASSERT_EQ(children.size(), 2u);
    for (size_t i = 0; i < children.size(); ++i) {
        const DeviceNodeInfo& child = children[i];
        EXPECT_EQ(child.state, DeviceNodeState::Started);
        EXPECT_EQ(child.service, u"PnpFun");
        EXPECT_EQ(child.deviceId, u"PNPTEST\\CHILD");
        EXPECT_EQ(child.hardwareIds, (std::vector<std::u16string>{u"PNPTEST\\CHILD", u"PNPTEST\\GENERIC"}));
        EXPECT_EQ(child.compatibleIds, (std::vector<std::u16string>{u"PNPTEST\\COMPAT"}));
        EXPECT_EQ(child.description, u"PnP test child");
        EXPECT_EQ(child.location, u"Port " + std::u16string(1, static_cast<char16_t>(u'0' + i)));
        EXPECT_EQ(child.capabilities.Address, i);
        EXPECT_TRUE(child.capabilities.SurpriseRemovalOK);
        EXPECT_EQ(child.busInformation.BusNumber, 7u);
        EXPECT_EQ(child.driverKey, std::u16string(kPortsClass) + u"\\000" + std::u16string(1, static_cast<char16_t>(u'0' + i)));
        EXPECT_EQ(child.parentPdo, m_pdo);
        // Keys made with the node; AddDevice wrote into the driver key through IoOpenDeviceRegistryKey.
        EXPECT_TRUE(Reg().KeyExists(std::u16string(kEnumKeyPath) + u"\\" + child.instancePath + u"\\Device Parameters"));
        EXPECT_EQ(Reg().GetDword(std::u16string(kClassKeyPath) + u"\\" + child.driverKey, u"AddDeviceSeen"), 1u);
    }
    EXPECT_NE(children[0].instancePath, children[1].instancePath);

    // Properties of the child PDO, as its function driver reads them.
    WCHAR buffer[128] = {};
    ULONG length = 0;
    ASSERT_EQ(IoGetDeviceProperty(children[1].pdo, DevicePropertyDriverKeyName, sizeof buffer, buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), children[1].driverKey);
    ASSERT_EQ(IoGetDeviceProperty(children[1].pdo, DevicePropertyHardwareID, sizeof buffer, buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, sizeof(u"PNPTEST\\CHILD\0PNPTEST\\GENERIC\0"));

    // The child's identity queries precede its START; every answer block was freed.
    m_children = ChildPdos();
    EXPECT_EQ(Sequence({IRP_MN_QUERY_ID, IRP_MN_QUERY_DEVICE_TEXT, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_BUS_INFORMATION,
                        IRP_MN_START_DEVICE}),
              (std::vector<std::string>{Step("bus", IRP_MN_START_DEVICE), Step("bus", IRP_MN_QUERY_CAPABILITIES),
                                        Step("child0", IRP_MN_QUERY_ID),
                                        Step("child0", IRP_MN_QUERY_ID), Step("child0", IRP_MN_QUERY_ID),
                                        Step("child0", IRP_MN_QUERY_ID), Step("child0", IRP_MN_QUERY_DEVICE_TEXT),
                                        Step("child0", IRP_MN_QUERY_DEVICE_TEXT), Step("child0", IRP_MN_QUERY_CAPABILITIES),
                                        Step("child0", IRP_MN_QUERY_BUS_INFORMATION), Step("child1", IRP_MN_QUERY_ID),
                                        Step("child1", IRP_MN_QUERY_ID), Step("child1", IRP_MN_QUERY_ID),
                                        Step("child1", IRP_MN_QUERY_ID), Step("child1", IRP_MN_QUERY_DEVICE_TEXT),
                                        Step("child1", IRP_MN_QUERY_DEVICE_TEXT), Step("child1", IRP_MN_QUERY_CAPABILITIES),
                                        Step("child1", IRP_MN_QUERY_BUS_INFORMATION), Step("child0", IRP_MN_START_DEVICE),
                                        Step("child0", IRP_MN_QUERY_CAPABILITIES), Step("child1", IRP_MN_START_DEVICE),
                                        Step("child1", IRP_MN_QUERY_CAPABILITIES)}));
    EXPECT_EQ(machine().GetPool().LiveCount(PoolTag("Ptst")), 0u);
    EXPECT_TRUE(machine().GetDrivers().IsLoaded(u"PnpBus"));
    EXPECT_TRUE(machine().GetDrivers().IsLoaded(u"PnpFun"));
}

TEST_F(PnpTest, RemovalQueriesAndRemovesChildrenFirstThenUnloadsBothImages)
{
    ASSERT_EQ(PlugBus(2), STATUS_SUCCESS);
    m_children = ChildPdos();
    Pnp().ClearIrpLog();

    EXPECT_EQ(Pnp().QueryRemoveDevice(m_pdo), STATUS_SUCCESS);
    EXPECT_EQ(Sequence({IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}),
              (std::vector<std::string>{Step("child0", IRP_MN_QUERY_REMOVE_DEVICE), Step("child1", IRP_MN_QUERY_REMOVE_DEVICE),
                                        Step("bus", IRP_MN_QUERY_REMOVE_DEVICE), Step("child1", IRP_MN_REMOVE_DEVICE),
                                        Step("child0", IRP_MN_REMOVE_DEVICE), Step("bus", IRP_MN_REMOVE_DEVICE)}));
    EXPECT_TRUE(Pnp().Nodes().empty());
    EXPECT_FALSE(machine().GetDrivers().IsLoaded(u"PnpBus"));
    EXPECT_FALSE(machine().GetDrivers().IsLoaded(u"PnpFun"));
    EXPECT_EQ(m_pdo->AttachedDevice, nullptr);

    // The same device plugged again finds its keys, and a fresh copy of each image.
    ASSERT_EQ(Pnp().AddRootDevice(kBusInstance, {u"ROOT\\PNPTESTBUS"}, m_pdo), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().FindNode(m_pdo)->driverKey, std::u16string(kSystemClassGuid) + u"\\0000");
    EXPECT_EQ(Reg().GetDword(DriverLoader::ServiceKeyPath(u"PnpBus"), u"EntryCount"), 1u);
    EXPECT_EQ(machine().GetDrivers().EntryCount(u"PnpBus"), 2u);
}

// A binding with an installation runs it once for each device, on its first arrival and before its
// driver loads (so the driver finds what the installation wrote); a device seen before is not
// installed again.
TEST_F(PnpTest, InstallationRunsOnceForEachNewDeviceBeforeItsDriverLoads)
{
    std::vector<std::u16string> installed;
    Pnp().BindService(u"PNPTEST\\CHILD", u"PnpFun", kPortsClass, [&](const std::u16string& instancePath) {
        installed.push_back(instancePath);
        EXPECT_FALSE(machine().GetDrivers().IsLoaded(u"PnpFun") && installed.size() == 1);
        Reg().SetDword(std::u16string(kEnumKeyPath) + u"\\" + instancePath + u"\\Device Parameters", u"Installed", 1);
    });
    ASSERT_EQ(PlugBus(2), STATUS_SUCCESS);
    auto children = Pnp().Children(m_pdo);
    ASSERT_EQ(installed.size(), 2u);
    for (size_t i = 0; i < children.size(); ++i) {
        EXPECT_EQ(installed[i], children[i].instancePath);
        EXPECT_EQ(Reg().GetDword(std::u16string(kEnumKeyPath) + u"\\" + children[i].instancePath + u"\\Device Parameters",
                                 u"Installed"),
                  1u);
    }

    ASSERT_EQ(Pnp().QueryRemoveDevice(m_pdo), STATUS_SUCCESS);
    ASSERT_EQ(Pnp().AddRootDevice(kBusInstance, {u"ROOT\\PNPTESTBUS"}, m_pdo), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().Children(m_pdo).size(), 2u);
    EXPECT_EQ(installed.size(), 2u);
}

// An installation that is done later leaves a new device without a driver key and its driver
// unloaded; once the installer has written the key, a start loads the driver without asking the
// installer again.
TEST_F(PnpTest, ADeferredInstallationLeavesTheDeviceWithoutADriverUntilItIsStartedOnceInstalled)
{
    std::vector<std::u16string> asked;
    Pnp().BindDeferredInstallation(u"PNPTEST\\CHILD", u"PnpFun", kPortsClass, [&](const std::u16string& instancePath) {
        asked.push_back(instancePath);
        return false;
    });
    ASSERT_EQ(PlugBus(1), STATUS_SUCCESS);
    auto children = Pnp().Children(m_pdo);
    ASSERT_EQ(children.size(), 1u);
    ASSERT_FALSE(asked.empty());  // until installed, every look at its keys asks again
    for (const std::u16string& path : asked) EXPECT_EQ(path, children[0].instancePath);
    const size_t askedBeforeStart = asked.size();
    EXPECT_NE(children[0].state, DeviceNodeState::Started);
    EXPECT_TRUE(children[0].driverKey.empty());
    EXPECT_FALSE(machine().GetDrivers().IsLoaded(u"PnpFun"));

    const std::u16string enumKey = std::u16string(kEnumKeyPath) + u"\\" + children[0].instancePath;
    Reg().SetString(enumKey, u"Driver", std::u16string(kPortsClass) + u"\\0007");
    ASSERT_EQ(Pnp().StartDevice(children[0].pdo), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().Children(m_pdo)[0].state, DeviceNodeState::Started);
    EXPECT_EQ(Pnp().Children(m_pdo)[0].driverKey, std::u16string(kPortsClass) + u"\\0007");
    EXPECT_EQ(asked.size(), askedBeforeStart);
}

// Around a start and a removal the manager sends what Windows sends: the resource requirements and
// their filtering before START, the capabilities through the whole stack after it, and the removal
// relations of every device that is to go before the first QUERY_REMOVE.
TEST_F(PnpTest, RequestsAroundStartAndQueryRemoveComeInWindowsOrder)
{
    ASSERT_EQ(PlugBus(1), STATUS_SUCCESS);
    m_children = ChildPdos();
    const std::vector<UCHAR> aroundStart = {IRP_MN_QUERY_RESOURCE_REQUIREMENTS, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                                            IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                                            IRP_MN_QUERY_PNP_DEVICE_STATE};
    const std::vector<std::string> expected = {
        Step("bus", IRP_MN_QUERY_RESOURCE_REQUIREMENTS), Step("bus", IRP_MN_FILTER_RESOURCE_REQUIREMENTS),
        Step("bus", IRP_MN_START_DEVICE), Step("bus", IRP_MN_QUERY_CAPABILITIES),
        Step("bus", IRP_MN_QUERY_PNP_DEVICE_STATE),
        // The child's identity query before its function driver is loaded, then its start.
        Step("child0", IRP_MN_QUERY_CAPABILITIES), Step("child0", IRP_MN_QUERY_RESOURCE_REQUIREMENTS),
        Step("child0", IRP_MN_FILTER_RESOURCE_REQUIREMENTS), Step("child0", IRP_MN_START_DEVICE),
        Step("child0", IRP_MN_QUERY_CAPABILITIES), Step("child0", IRP_MN_QUERY_PNP_DEVICE_STATE)};
    EXPECT_EQ(Sequence(aroundStart), expected);
    // The child's requirements were replaced by its function driver's, and those freed.
    EXPECT_EQ(machine().GetPool().LiveCount(PoolTag("Ptst")), 0u);

    Pnp().ClearIrpLog();
    ASSERT_EQ(Pnp().QueryRemoveDevice(m_pdo), STATUS_SUCCESS);
    std::vector<std::string> removal;
    for (const PnpIrpRecord& record : Pnp().IrpLog()) {
        const std::string who = record.pdo == m_pdo ? "bus" : "child0";
        if (record.minor == IRP_MN_QUERY_DEVICE_RELATIONS && record.detail == RemovalRelations)
            removal.push_back(who + ":removal relations");
        if (record.minor == IRP_MN_QUERY_REMOVE_DEVICE) removal.push_back(who + ":query remove");
    }
    EXPECT_EQ(removal, (std::vector<std::string>{"child0:removal relations", "bus:removal relations",
                                                 "child0:query remove", "bus:query remove"}));
}

TEST_F(PnpTest, RefusedQueryRemoveIsCancelledForEveryStackAsked)
{
    SetBusValue(u"RefuseQueryRemove", 1);
    ASSERT_EQ(PlugBus(1), STATUS_SUCCESS);
    m_children = ChildPdos();
    Pnp().ClearIrpLog();

    EXPECT_EQ(Pnp().QueryRemoveDevice(m_pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Sequence({IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}),
              (std::vector<std::string>{Step("child0", IRP_MN_QUERY_REMOVE_DEVICE), Step("bus", IRP_MN_QUERY_REMOVE_DEVICE),
                                        Step("bus", IRP_MN_CANCEL_REMOVE_DEVICE),
                                        Step("child0", IRP_MN_CANCEL_REMOVE_DEVICE)}));
    for (const DeviceNodeInfo& node : Pnp().Nodes()) EXPECT_EQ(node.state, DeviceNodeState::Started);
}

TEST_F(PnpTest, ChildNoLongerReportedIsSurpriseRemovedThenRemoved)
{
    ASSERT_EQ(PlugBus(2), STATUS_SUCCESS);
    m_children = ChildPdos();
    Pnp().ClearIrpLog();

    SetBusValue(u"ChildCount", 1);
    IoInvalidateDeviceRelations(m_pdo, BusRelations);  // at PASSIVE_LEVEL with nothing running: done now
    EXPECT_EQ(Sequence({IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}),
              (std::vector<std::string>{Step("child1", IRP_MN_SURPRISE_REMOVAL), Step("child1", IRP_MN_REMOVE_DEVICE)}));
    EXPECT_EQ(Pnp().Children(m_pdo).size(), 1u);
    EXPECT_TRUE(machine().GetDrivers().IsLoaded(u"PnpFun"));  // child 0 still uses it

    SetBusValue(u"ChildCount", 0);
    EXPECT_EQ(Pnp().EnumerateDevice(m_pdo), STATUS_SUCCESS);
    EXPECT_TRUE(Pnp().Children(m_pdo).empty());
    EXPECT_FALSE(machine().GetDrivers().IsLoaded(u"PnpFun"));
}

TEST_F(PnpTest, InvalidationAtDispatchLevelRunsFromAWorkItem)
{
    ASSERT_EQ(PlugBus(0), STATUS_SUCCESS);
    SetBusValue(u"ChildCount", 1);
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);
        IoInvalidateDeviceRelations(m_pdo, BusRelations);
    }
    Pnp().WaitIdle();
    EXPECT_EQ(Pnp().Children(m_pdo).size(), 1u);
}

TEST_F(PnpTest, SurpriseRemovalSendsRemoveOnlyAfterTheLastHandleCloses)
{
    ASSERT_EQ(PlugBus(2), STATUS_SUCCESS);
    m_children = ChildPdos();
    PDEVICE_OBJECT childFdo = m_children[0]->AttachedDevice;
    ASSERT_NE(childFdo, nullptr);
    auto child = machine().GetNamespace().Describe(m_children[0]);
    ASSERT_TRUE(child);
    ASSERT_EQ(machine().GetNamespace().InsertLink(u"\\??\\PnpChild0", child->name), STATUS_SUCCESS);
    HANDLE file = CreateFileW(u"\\\\.\\PnpChild0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Pnp().OpenHandleCount(childFdo), 1u);
    Pnp().ClearIrpLog();

    EXPECT_EQ(Pnp().SurpriseRemoveDevice(m_pdo), STATUS_SUCCESS);
    EXPECT_EQ(Sequence({IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}),
              (std::vector<std::string>{Step("child0", IRP_MN_SURPRISE_REMOVAL), Step("child1", IRP_MN_SURPRISE_REMOVAL),
                                        Step("bus", IRP_MN_SURPRISE_REMOVAL)}));
    for (const DeviceNodeInfo& node : Pnp().Nodes()) EXPECT_EQ(node.state, DeviceNodeState::SurpriseRemoved);

    Pnp().ClearIrpLog();
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(Sequence({IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}),
              (std::vector<std::string>{Step("child1", IRP_MN_REMOVE_DEVICE), Step("child0", IRP_MN_REMOVE_DEVICE),
                                        Step("bus", IRP_MN_REMOVE_DEVICE)}));
    EXPECT_TRUE(Pnp().Nodes().empty());
    EXPECT_TRUE(machine().GetDrivers().Loaded().empty());
}

TEST_F(PnpTest, StopRestartsTheDeviceAndARefusedStopIsCancelled)
{
    ASSERT_EQ(PlugBus(1), STATUS_SUCCESS);
    Pnp().ClearIrpLog();
    EXPECT_EQ(Pnp().StopDevice(m_pdo), STATUS_SUCCESS);
    m_children = ChildPdos();
    EXPECT_EQ(Sequence({IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                        IRP_MN_QUERY_DEVICE_RELATIONS}),
              (std::vector<std::string>{Step("bus", IRP_MN_QUERY_STOP_DEVICE), Step("bus", IRP_MN_STOP_DEVICE),
                                        Step("bus", IRP_MN_START_DEVICE), Step("bus", IRP_MN_QUERY_DEVICE_RELATIONS)}));
    EXPECT_EQ(Pnp().FindNode(m_pdo)->state, DeviceNodeState::Started);
    EXPECT_EQ(Pnp().Children(m_pdo).size(), 1u);  // the same child, not a second one

    SetBusValue(u"RefuseQueryStop", 1);
    Pnp().ClearIrpLog();
    EXPECT_EQ(Pnp().StopDevice(m_pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Sequence({IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE}),
              (std::vector<std::string>{Step("bus", IRP_MN_QUERY_STOP_DEVICE), Step("bus", IRP_MN_CANCEL_STOP_DEVICE)}));
    EXPECT_EQ(Pnp().FindNode(m_pdo)->state, DeviceNodeState::Started);
}

TEST_F(PnpTest, ChildRemovedWhileItsBusListsItKeepsItsPdoAndStartsAgain)
{
    ASSERT_EQ(PlugBus(1), STATUS_SUCCESS);
    m_children = ChildPdos();
    ASSERT_EQ(m_children.size(), 1u);

    EXPECT_EQ(Pnp().QueryRemoveDevice(m_children[0]), STATUS_SUCCESS);
    auto child = Pnp().FindNode(m_children[0]);
    ASSERT_TRUE(child);
    EXPECT_EQ(child->state, DeviceNodeState::Removed);
    EXPECT_EQ(m_children[0]->AttachedDevice, nullptr);  // its function driver's device is gone
    EXPECT_FALSE(machine().GetDrivers().IsLoaded(u"PnpFun"));
    EXPECT_TRUE(machine().GetNamespace().IsLiveDevice(m_children[0]));

    EXPECT_EQ(Pnp().StartDevice(m_children[0]), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().FindNode(m_children[0])->state, DeviceNodeState::Started);
    EXPECT_TRUE(machine().GetDrivers().IsLoaded(u"PnpFun"));
}

TEST_F(PnpTest, DuplicateSiblingIdsAreReportedAndTheSecondIsRefused)
{
    SetBusValue(u"DuplicateChildren", 1);
    ASSERT_EQ(PlugBus(2), STATUS_SUCCESS);
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
    EXPECT_EQ(Pnp().Children(m_pdo).size(), 1u);

    // Re-enumerating reports nothing new; removal still gives the refused PDO its REMOVE.
    EXPECT_EQ(Pnp().EnumerateDevice(m_pdo), STATUS_SUCCESS);
    EXPECT_EQ(Take(Violation::Bugcheck), 0u);
    EXPECT_EQ(Pnp().QueryRemoveDevice(m_pdo), STATUS_SUCCESS);
    EXPECT_TRUE(machine().GetDrivers().Loaded().empty());
}

TEST_F(PnpTest, FailedStartIsFollowedByRemoveAndLeavesTheNodeWithItsProblem)
{
    SetBusValue(u"FailStart", 1);
    EXPECT_EQ(PlugBus(1), STATUS_UNSUCCESSFUL);
    auto bus = Pnp().FindNode(m_pdo);
    ASSERT_TRUE(bus);
    EXPECT_EQ(bus->problem, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bus->state, DeviceNodeState::Initialized);
    EXPECT_EQ(Sequence({IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}),
              (std::vector<std::string>{Step("bus", IRP_MN_START_DEVICE), Step("bus", IRP_MN_REMOVE_DEVICE)}));
    EXPECT_FALSE(machine().GetDrivers().IsLoaded(u"PnpBus"));

    SetBusValue(u"FailStart", 0);
    EXPECT_EQ(Pnp().StartDevice(m_pdo), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().Children(m_pdo).size(), 1u);
}

TEST_F(PnpTest, DeviceWithoutABoundDriverStaysUnstarted)
{
    EXPECT_EQ(Pnp().AddRootDevice(u"ROOT\\UNKNOWN\\0000", {u"ROOT\\UNKNOWN"}, m_pdo), STATUS_NOT_FOUND);
    EXPECT_EQ(Pnp().FindNode(m_pdo)->state, DeviceNodeState::Initialized);
    EXPECT_EQ(Pnp().AddRootDevice(u"ROOT\\OTHER\\0000", {u"ROOT\\PNPTESTBUS"}, m_pdo), STATUS_OBJECT_NAME_COLLISION);
}

TEST_F(PnpTest, OpenDeviceRegistryKeyOpensHardwareAndDriverKeys)
{
    ASSERT_EQ(PlugBus(1), STATUS_SUCCESS);
    const DeviceNodeInfo child = Pnp().Children(m_pdo).front();

    auto write = [](HANDLE key, const char16_t* name, ULONG value) {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, name);
        return ZwSetValueKey(key, &text, 0, REG_DWORD, &value, sizeof value);
    };
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(child.pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    EXPECT_EQ(write(key, u"PortNumber", 5), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(Reg().GetDword(std::u16string(kEnumKeyPath) + u"\\" + child.instancePath + u"\\Device Parameters", u"PortNumber"),
              5u);

    ASSERT_EQ(IoOpenDeviceRegistryKey(child.pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    EXPECT_EQ(write(key, u"Setting", 9), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(Reg().GetDword(std::u16string(kClassKeyPath) + u"\\" + child.driverKey, u"Setting"), 9u);

    EXPECT_EQ(IoOpenDeviceRegistryKey(child.pdo, 3, KEY_READ, &key), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(key, nullptr);
    // Only a PDO has device keys: its function device object is refused, as the verifier would.
    EXPECT_EQ(IoOpenDeviceRegistryKey(child.pdo->AttachedDevice, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
}

TEST_F(PnpTest, ShuttingDownRemovesEveryDeviceAndUnloadsTheImages)
{
    ASSERT_EQ(PlugBus(2), STATUS_SUCCESS);
    std::vector<std::string> reports;
    verifier().SetHandler([&reports](const ViolationRecord& record) { reports.push_back(record.detail); });
    ShutDownMachine();
    EXPECT_TRUE(reports.empty()) << reports.front();
}

}  // namespace
}  // namespace emu::testing
