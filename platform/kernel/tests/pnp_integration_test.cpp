// The PnP manager with the interface, power and Win32 components: a root device whose PDO (the
// test's) registers an interface at START, below the WDM test bus driver (pnptest.sys).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "io/driver_loader.h"
#include "pnp/interface_manager.h"
#include "pnp/pnp_manager.h"
#include "po/power_manager.h"
#include "cm/registry.h"
#include "machine_test.h"
#include "test_driver.h"

namespace emu::testing {
namespace {

constexpr std::u16string_view kBusInstance = u"ROOT\\PNPINTBUS\\0000";
constexpr GUID kInterfaceClass = {0x5a1e0c11, 0x2b3d, 0x4e6f, {0x9a, 0x10, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};

class PnpIntegrationTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        DriverLoader& drivers = machine().GetDrivers();
        drivers.InstallImage(u"pnptest.sys", EMU_PNPTEST_IMAGE);
        drivers.InstallImage(u"pnptest2.sys", EMU_PNPTEST2_IMAGE);
        drivers.CreateService(u"PnpBus", u"pnptest.sys");
        drivers.CreateService(u"PnpFun", u"pnptest2.sys");
        Pnp().BindService(u"ROOT\\PNPINTBUS", u"PnpBus");
        Pnp().BindService(u"PNPTEST\\CHILD", u"PnpFun");

        // The root PDO registers and enables its interface when started, answers the PnP state
        // query with what the test sets, and records the opens that reach it.
        m_root.SetDispatch(IRP_MJ_PNP, [this](PDEVICE_OBJECT device, PIRP irp) {
            NTSTATUS status = irp->IoStatus.Status;
            ULONG_PTR information = irp->IoStatus.Information;
            switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
            case IRP_MN_START_DEVICE:
                status = RegisterInterface(device);
                break;
            case IRP_MN_QUERY_PNP_DEVICE_STATE:
                if (m_answerState) {
                    status = STATUS_SUCCESS;
                    information = m_deviceState;
                }
                break;
            case IRP_MN_QUERY_REMOVE_DEVICE:
            case IRP_MN_REMOVE_DEVICE:
            case IRP_MN_CANCEL_REMOVE_DEVICE:
            case IRP_MN_SURPRISE_REMOVAL:
                status = STATUS_SUCCESS;
                break;
            default:
                break;
            }
            return TestDriver::Complete(irp, status, information);
        });
        for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
            m_root.SetDispatch(major, [this, major](PDEVICE_OBJECT device, PIRP irp) {
                const UNICODE_STRING& name = IoGetCurrentIrpStackLocation(irp)->FileObject->FileName;
                m_opens.push_back(FileRequest{device, major, std::u16string(name.Buffer ? name.Buffer : u"",
                                                                     name.Length / sizeof(WCHAR))});
                return TestDriver::Complete(irp, STATUS_SUCCESS);
            });
        m_pdo = MakePdo(u"\\Device\\PnpIntRoot");
        Reg().SetDword(std::u16string(kEnumKeyPath) + u"\\" + std::u16string(kBusInstance) + u"\\Device Parameters",
                       u"ChildCount", 0);
    }

    PnpManager& Pnp() { return machine().GetPnp(); }
    Registry& Reg() { return machine().GetRegistry(); }
    InterfaceManager& Interfaces() { return machine().GetInterfaces(); }

    PDEVICE_OBJECT MakePdo(std::u16string name)
    {
        PDEVICE_OBJECT pdo = m_root.CreateDevice(std::move(name));
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        return pdo;
    }

    NTSTATUS RegisterInterface(PDEVICE_OBJECT pdo)
    {
        UNICODE_STRING reference;
        RtlInitUnicodeString(&reference, u"CVREF");
        UNICODE_STRING link{};
        NTSTATUS status = IoRegisterDeviceInterface(pdo, &kInterfaceClass, &reference, &link);
        if (!NT_SUCCESS(status)) return status;
        status = IoSetDeviceInterfaceState(&link, TRUE);
        RtlFreeUnicodeString(&link);
        return status;
    }

    std::u16string InterfacePath()
    {
        auto interfaces = Interfaces().Interfaces(kInterfaceClass, true);
        return interfaces.size() == 1 ? interfaces.front().devicePath : std::u16string();
    }

    HANDLE Open(const std::u16string& path)
    {
        return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    size_t Count(UCHAR minor)
    {
        auto log = Pnp().IrpLog();
        return std::count_if(log.begin(), log.end(), [&](const PnpIrpRecord& record) {
            return record.pdo == m_pdo && record.minor == minor;
        });
    }

    struct FileRequest {
        PDEVICE_OBJECT device;
        UCHAR major;
        std::u16string fileName;
    };

    TestDriver m_root{u"PnpIntRoot"};
    PDEVICE_OBJECT m_pdo = nullptr;
    std::vector<FileRequest> m_opens;
    bool m_answerState = false;
    PNP_DEVICE_STATE m_deviceState = 0;
};

TEST_F(PnpIntegrationTest, InterfaceOfANodeIsListedForUserModeAndOpensWithItsReferenceAsFileName)
{
    ASSERT_EQ(Pnp().AddRootDevice(kBusInstance, {u"ROOT\\PNPINTBUS"}, m_pdo), STATUS_SUCCESS);
    EXPECT_EQ(Interfaces().InstancePath(m_pdo), std::u16string(kBusInstance));

    const std::u16string path = InterfacePath();
    EXPECT_EQ(path, u"\\\\?\\root#pnpintbus#0000#" + InterfaceManager::GuidText(kInterfaceClass) + u"\\CVREF");

    HANDLE file = Open(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Pnp().OpenHandleCount(m_pdo), 1u);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(Pnp().OpenHandleCount(m_pdo), 0u);

    // The open passed through the bus driver's FDO to the PDO, one file object throughout.
    ASSERT_EQ(m_opens.size(), 3u);
    EXPECT_EQ(m_opens[0].major, IRP_MJ_CREATE);
    EXPECT_EQ(m_opens[1].major, IRP_MJ_CLEANUP);
    EXPECT_EQ(m_opens[2].major, IRP_MJ_CLOSE);
    for (const auto& open : m_opens) {
        EXPECT_EQ(open.device, m_pdo);
        EXPECT_EQ(open.fileName, u"\\CVREF");
    }
}

TEST_F(PnpIntegrationTest, SurpriseRemovalWaitsForEveryHandleThenRemovesAndForgetsTheDevice)
{
    ASSERT_EQ(Pnp().AddRootDevice(kBusInstance, {u"ROOT\\PNPINTBUS"}, m_pdo), STATUS_SUCCESS);
    const std::u16string path = InterfacePath();
    HANDLE first = Open(path);
    HANDLE second = Open(path);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    POWER_STATE d2{};
    d2.DeviceState = PowerDeviceD2;
    PoSetPowerState(m_pdo, DevicePowerState, d2);

    EXPECT_EQ(Pnp().SurpriseRemoveDevice(m_pdo), STATUS_SUCCESS);
    EXPECT_EQ(Count(IRP_MN_SURPRISE_REMOVAL), 1u);
    EXPECT_EQ(Count(IRP_MN_REMOVE_DEVICE), 0u);
    ASSERT_TRUE(Pnp().FindNode(m_pdo));
    EXPECT_EQ(Pnp().FindNode(m_pdo)->state, DeviceNodeState::SurpriseRemoved);

    EXPECT_TRUE(CloseHandle(first));
    EXPECT_EQ(Count(IRP_MN_REMOVE_DEVICE), 0u);
    EXPECT_TRUE(CloseHandle(second));
    EXPECT_EQ(Count(IRP_MN_REMOVE_DEVICE), 1u);

    // The device is gone: its node, its interface's link, its instance and its power state.
    EXPECT_FALSE(Pnp().FindNode(m_pdo));
    EXPECT_TRUE(Interfaces().Interfaces(kInterfaceClass, true).empty());
    EXPECT_EQ(Interfaces().Interfaces(kInterfaceClass).size(), 1u);
    EXPECT_FALSE(Interfaces().InstancePath(m_pdo));
    EXPECT_EQ(machine().GetPower().DeviceStateOf(m_pdo), PowerDeviceD0);
    EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(machine().GetDrivers().Loaded().empty());
}

TEST_F(PnpIntegrationTest, RemovalWithoutHandlesFollowsSurpriseRemovalAtOnce)
{
    ASSERT_EQ(Pnp().AddRootDevice(kBusInstance, {u"ROOT\\PNPINTBUS"}, m_pdo), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().SurpriseRemoveDevice(m_pdo), STATUS_SUCCESS);
    EXPECT_EQ(Count(IRP_MN_REMOVE_DEVICE), 1u);
    EXPECT_FALSE(Pnp().FindNode(m_pdo));
}

TEST_F(PnpIntegrationTest, TheSameInstancePluggedInAgainGetsItsInterfaceOnTheNewDevice)
{
    ASSERT_EQ(Pnp().AddRootDevice(kBusInstance, {u"ROOT\\PNPINTBUS"}, m_pdo), STATUS_SUCCESS);
    const std::u16string path = InterfacePath();
    EXPECT_EQ(Pnp().SurpriseRemoveDevice(m_pdo), STATUS_SUCCESS);

    PDEVICE_OBJECT again = MakePdo(u"\\Device\\PnpIntRootAgain");
    ASSERT_EQ(Pnp().AddRootDevice(kBusInstance, {u"ROOT\\PNPINTBUS"}, again), STATUS_SUCCESS);
    EXPECT_EQ(InterfacePath(), path);
    m_opens.clear();
    HANDLE file = Open(path);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(file));
    ASSERT_FALSE(m_opens.empty());
    EXPECT_EQ(m_opens.front().device, again);
}

TEST_F(PnpIntegrationTest, AChildRemovedWhileListedKeepsItsInstanceButLosesItsInterfaceLink)
{
    Reg().SetDword(std::u16string(kEnumKeyPath) + u"\\" + std::u16string(kBusInstance) + u"\\Device Parameters",
                   u"ChildCount", 1);
    ASSERT_EQ(Pnp().AddRootDevice(kBusInstance, {u"ROOT\\PNPINTBUS"}, m_pdo), STATUS_SUCCESS);
    auto children = Pnp().Children(m_pdo);
    ASSERT_EQ(children.size(), 1u);
    PDEVICE_OBJECT child = children[0].pdo;
    EXPECT_EQ(Interfaces().InstancePath(child), children[0].instancePath);
    ASSERT_EQ(RegisterInterface(child), STATUS_SUCCESS);
    EXPECT_EQ(Interfaces().Interfaces(kInterfaceClass, true).size(), 2u);

    EXPECT_EQ(Pnp().QueryRemoveDevice(child), STATUS_SUCCESS);
    ASSERT_TRUE(Pnp().FindNode(child));
    EXPECT_EQ(Pnp().FindNode(child)->state, DeviceNodeState::Removed);
    auto enabled = Interfaces().Interfaces(kInterfaceClass, true);
    ASSERT_EQ(enabled.size(), 1u);
    EXPECT_EQ(enabled[0].pdo, m_pdo);
    EXPECT_EQ(Interfaces().InstancePath(child), children[0].instancePath);

    // Started again, its driver enables the interface again.
    EXPECT_EQ(Pnp().StartDevice(child), STATUS_SUCCESS);
    EXPECT_EQ(RegisterInterface(child), STATUS_SUCCESS);
    EXPECT_EQ(Interfaces().Interfaces(kInterfaceClass, true).size(), 2u);
}

TEST_F(PnpIntegrationTest, InvalidatedDeviceStateIsQueriedAndRecorded)
{
    m_answerState = true;
    m_deviceState = PNP_DEVICE_NOT_DISABLEABLE;
    ASSERT_EQ(Pnp().AddRootDevice(kBusInstance, {u"ROOT\\PNPINTBUS"}, m_pdo), STATUS_SUCCESS);
    // Windows asks once a start has succeeded.
    EXPECT_EQ(Count(IRP_MN_QUERY_PNP_DEVICE_STATE), 1u);
    EXPECT_EQ(Pnp().FindNode(m_pdo)->pnpDeviceState, static_cast<PNP_DEVICE_STATE>(PNP_DEVICE_NOT_DISABLEABLE));

    m_deviceState = PNP_DEVICE_DONT_DISPLAY_IN_UI;
    IoInvalidateDeviceState(m_pdo);
    Pnp().WaitIdle();
    EXPECT_EQ(Count(IRP_MN_QUERY_PNP_DEVICE_STATE), 2u);
    auto node = Pnp().FindNode(m_pdo);
    ASSERT_TRUE(node);
    EXPECT_TRUE(node->hasPnpDeviceState);
    EXPECT_EQ(node->pnpDeviceState, static_cast<PNP_DEVICE_STATE>(PNP_DEVICE_DONT_DISPLAY_IN_UI));
    EXPECT_EQ(node->state, DeviceNodeState::Started);

    // From DISPATCH_LEVEL the query runs later, at PASSIVE_LEVEL.
    m_deviceState = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoInvalidateDeviceState(m_pdo);
    KeLowerIrql(old);
    Pnp().WaitIdle();
    EXPECT_EQ(Count(IRP_MN_QUERY_PNP_DEVICE_STATE), 3u);
    EXPECT_EQ(Pnp().FindNode(m_pdo)->pnpDeviceState, 0u);
}

TEST_F(PnpIntegrationTest, ADeviceReportedFailedIsTakenDownButStaysInTheTree)
{
    m_answerState = true;
    ASSERT_EQ(Pnp().AddRootDevice(kBusInstance, {u"ROOT\\PNPINTBUS"}, m_pdo), STATUS_SUCCESS);
    HANDLE file = Open(InterfacePath());
    ASSERT_NE(file, INVALID_HANDLE_VALUE);

    m_deviceState = PNP_DEVICE_FAILED;
    IoInvalidateDeviceState(m_pdo);
    Pnp().WaitIdle();
    EXPECT_EQ(Count(IRP_MN_SURPRISE_REMOVAL), 1u);
    EXPECT_EQ(Count(IRP_MN_REMOVE_DEVICE), 0u);
    EXPECT_TRUE(CloseHandle(file));
    EXPECT_EQ(Count(IRP_MN_REMOVE_DEVICE), 1u);

    auto node = Pnp().FindNode(m_pdo);
    ASSERT_TRUE(node);
    EXPECT_EQ(node->state, DeviceNodeState::Removed);
    EXPECT_FALSE(NT_SUCCESS(node->problem));
    EXPECT_TRUE(Interfaces().Interfaces(kInterfaceClass, true).empty());
}

}  // namespace
}  // namespace emu::testing
