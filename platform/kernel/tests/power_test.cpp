// Power IRPs: PoRequestPowerIrp through a device stack, completion IRQL, PoSetPowerState, system
// power IRPs, and the pre-Vista PoStartNextPowerIrp rule.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "po/power_manager.h"
#include "machine_test.h"
#include "test_driver.h"

namespace emu::testing {
namespace {

struct Seen {
    PDEVICE_OBJECT device;
    UCHAR minor;
    POWER_STATE_TYPE type;
    POWER_STATE state;
    POWER_ACTION action;
    KIRQL irql;
};

struct Callback {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    POWER_STATE state{};
    NTSTATUS status = 0;
    KIRQL irql = 0xFF;
};

void RecordCompletion(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK iosb)
{
    auto* callback = static_cast<Callback*>(context);
    ++callback->calls;
    callback->device = device;
    callback->minor = minor;
    callback->state = state;
    callback->status = iosb->Status;
    callback->irql = KeGetCurrentIrql();
}

POWER_STATE DeviceState(DEVICE_POWER_STATE state)
{
    POWER_STATE power{};
    power.DeviceState = state;
    return power;
}

class PowerTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_pdo = m_bus.CreateDevice(u"\\Device\\Pdo1");
        m_fdo = m_function.CreateDevice();
        ASSERT_EQ(IoAttachDeviceToDeviceStack(m_fdo, m_pdo), m_pdo);
        // A pageable stack, as USB stacks are: its power IRPs come at PASSIVE_LEVEL.
        m_pdo->Flags |= DO_POWER_PAGABLE;
        m_fdo->Flags |= DO_POWER_PAGABLE;
        // Both layers start the next power IRP and pass it on / complete it, as WDM drivers must.
        m_function.SetDispatch(IRP_MJ_POWER, [this](PDEVICE_OBJECT device, PIRP irp) {
            Record(device, irp);
            if (m_fdoStarts) PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            if (m_fdoStartsLate) PoStartNextPowerIrp(irp);
            return PoCallDriver(m_pdo, irp);
        });
        m_bus.SetDispatch(IRP_MJ_POWER, [this](PDEVICE_OBJECT device, PIRP irp) {
            Record(device, irp);
            PoStartNextPowerIrp(irp);
            if (m_pdoPends) {
                IoMarkIrpPending(irp);
                m_pending = irp;
                return STATUS_PENDING;
            }
            return TestDriver::Complete(irp, STATUS_SUCCESS);
        });
    }

    void Record(PDEVICE_OBJECT device, PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        m_seen.push_back(Seen{device, stack->MinorFunction, stack->Parameters.Power.Type,
                              stack->Parameters.Power.State, stack->Parameters.Power.ShutdownType,
                              KeGetCurrentIrql()});
    }

    TestDriver m_bus{u"usbhub"};
    TestDriver m_function{u"cvuvcp"};
    PDEVICE_OBJECT m_pdo = nullptr;
    PDEVICE_OBJECT m_fdo = nullptr;
    std::vector<Seen> m_seen;
    bool m_fdoStarts = true;
    bool m_fdoStartsLate = false;
    bool m_pdoPends = false;
    PIRP m_pending = nullptr;
};

TEST_F(PowerTest, RequestedIrpGoesToTheTopOfTheStackAndCallsBack)
{
    Callback callback;
    PIRP irp = nullptr;
    EXPECT_EQ(PoRequestPowerIrp(m_pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD3), RecordCompletion, &callback, &irp),
              STATUS_PENDING);
    EXPECT_NE(irp, nullptr);
    ASSERT_EQ(m_seen.size(), 2u);
    EXPECT_EQ(m_seen[0].device, m_fdo);  // named by its PDO, received by the top first
    EXPECT_EQ(m_seen[0].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(m_seen[0].type, DevicePowerState);
    EXPECT_EQ(m_seen[0].state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(m_seen[1].device, m_pdo);

    EXPECT_EQ(callback.calls, 1);
    EXPECT_EQ(callback.device, m_pdo);
    EXPECT_EQ(callback.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(callback.state.DeviceState, PowerDeviceD3);
    EXPECT_EQ(callback.status, STATUS_SUCCESS);
    EXPECT_EQ(callback.irql, PASSIVE_LEVEL);
    EXPECT_EQ(machine().GetPower().OutstandingIrpCount(), 0u);
    ASSERT_EQ(machine().GetPower().RequestedIrps().size(), 1u);
    EXPECT_EQ(machine().GetPower().RequestedIrps()[0].device, m_pdo);
}

TEST_F(PowerTest, CompletionFunctionRunsAtTheIrqlTheIrpCompletedAt)
{
    m_pdoPends = true;
    Callback callback;
    EXPECT_EQ(PoRequestPowerIrp(m_pdo, IRP_MN_QUERY_POWER, DeviceState(PowerDeviceD2), RecordCompletion, &callback,
                                nullptr),
              STATUS_PENDING);
    ASSERT_NE(m_pending, nullptr);
    EXPECT_EQ(callback.calls, 0);
    EXPECT_EQ(machine().GetPower().OutstandingIrpCount(), 1u);
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);
        TestDriver::Complete(m_pending, STATUS_DEVICE_BUSY);
    }
    EXPECT_EQ(callback.calls, 1);
    EXPECT_EQ(callback.irql, DISPATCH_LEVEL);
    EXPECT_EQ(callback.minor, IRP_MN_QUERY_POWER);
    EXPECT_EQ(callback.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(machine().GetPower().OutstandingIrpCount(), 0u);
}

// The power manager presents power IRPs to a device object without DO_POWER_PAGABLE at
// DISPATCH_LEVEL; a driver that clears the flag passes them on from there.
TEST_F(PowerTest, DevicesWithoutDoPowerPagableTakeTheirPowerIrpsAtDispatchLevel)
{
    struct Case {
        ULONG fdoFlags;
        ULONG pdoFlags;
        KIRQL fdoIrql;
        KIRQL pdoIrql;
    };
    const Case cases[] = {
        {DO_POWER_PAGABLE, DO_POWER_PAGABLE, PASSIVE_LEVEL, PASSIVE_LEVEL},
        {0, 0, DISPATCH_LEVEL, DISPATCH_LEVEL},
        {0, DO_POWER_PAGABLE, DISPATCH_LEVEL, DISPATCH_LEVEL},
    };
    for (const Case& c : cases) {
        m_fdo->Flags = (m_fdo->Flags & ~DO_POWER_PAGABLE) | c.fdoFlags;
        m_pdo->Flags = (m_pdo->Flags & ~DO_POWER_PAGABLE) | c.pdoFlags;
        m_seen.clear();
        Callback callback;
        PoRequestPowerIrp(m_pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD2), RecordCompletion, &callback, nullptr);
        ASSERT_EQ(m_seen.size(), 2u);
        EXPECT_EQ(m_seen[0].irql, c.fdoIrql) << c.fdoFlags << "/" << c.pdoFlags;
        EXPECT_EQ(m_seen[1].irql, c.pdoIrql) << c.fdoFlags << "/" << c.pdoFlags;
        EXPECT_EQ(callback.irql, c.pdoIrql);  // the PDO completed it there
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
}

TEST_F(PowerTest, InvalidStatesAndMinorFunctionsAreRefusedWithoutAnIrp)
{
    Callback callback;
    PIRP irp = reinterpret_cast<PIRP>(1);
    EXPECT_EQ(PoRequestPowerIrp(m_pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceUnspecified), RecordCompletion,
                                &callback, &irp),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(irp, nullptr);
    EXPECT_EQ(PoRequestPowerIrp(m_pdo, IRP_MN_QUERY_POWER, DeviceState(PowerDeviceMaximum), RecordCompletion,
                                &callback, nullptr),
              STATUS_INVALID_PARAMETER);
    POWER_STATE wake{};
    wake.SystemState = PowerSystemShutdown;
    EXPECT_EQ(PoRequestPowerIrp(m_pdo, IRP_MN_WAIT_WAKE, wake, RecordCompletion, &callback, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PoRequestPowerIrp(m_pdo, IRP_MN_POWER_SEQUENCE, DeviceState(PowerDeviceD0), RecordCompletion,
                                &callback, nullptr),
              STATUS_INVALID_PARAMETER_2);
    EXPECT_TRUE(m_seen.empty());
    EXPECT_EQ(callback.calls, 0);
    EXPECT_TRUE(machine().GetPower().RequestedIrps().empty());
}

TEST_F(PowerTest, SetPowerStateRecordsPerDeviceAndReturnsThePreviousState)
{
    PowerManager& power = machine().GetPower();
    EXPECT_EQ(power.DeviceStateOf(m_fdo), PowerDeviceD0);
    EXPECT_EQ(PoSetPowerState(m_fdo, DevicePowerState, DeviceState(PowerDeviceD3)).DeviceState, PowerDeviceD0);
    EXPECT_EQ(PoSetPowerState(m_fdo, DevicePowerState, DeviceState(PowerDeviceD1)).DeviceState, PowerDeviceD3);
    EXPECT_EQ(power.DeviceStateOf(m_fdo), PowerDeviceD1);
    EXPECT_EQ(power.DeviceStateOf(m_pdo), PowerDeviceD0);  // kept apart

    POWER_STATE sleeping{};
    sleeping.SystemState = PowerSystemSleeping3;
    EXPECT_EQ(PoSetPowerState(m_fdo, SystemPowerState, sleeping).SystemState, PowerSystemWorking);
    EXPECT_EQ(power.SystemStateOf(m_fdo), PowerSystemSleeping3);
    EXPECT_EQ(power.DeviceStateOf(m_fdo), PowerDeviceD1);
    EXPECT_EQ(power.SetPowerStateCount(), 3u);
}

TEST_F(PowerTest, SystemPowerIrpCarriesTheSystemStateAndAction)
{
    auto request = machine().GetPower().SendSystemPowerIrp(m_pdo, IRP_MN_SET_POWER, PowerSystemHibernate,
                                                            PowerActionHibernate);
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(request->Result().Status, STATUS_SUCCESS);
    ASSERT_EQ(m_seen.size(), 2u);
    EXPECT_EQ(m_seen[0].device, m_fdo);
    EXPECT_EQ(m_seen[0].type, SystemPowerState);
    EXPECT_EQ(m_seen[0].state.SystemState, PowerSystemHibernate);
    EXPECT_EQ(m_seen[0].action, PowerActionHibernate);

    auto refused = machine().GetPower().SendSystemPowerIrp(m_pdo, IRP_MN_WAIT_WAKE, PowerSystemWorking);
    EXPECT_TRUE(refused->Done());
    EXPECT_EQ(refused->Result().Status, STATUS_INVALID_PARAMETER);
}

TEST_F(PowerTest, VistaAndLaterDoNotNeedPoStartNextPowerIrp)
{
    m_fdoStarts = false;
    Callback callback;
    PoRequestPowerIrp(m_pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD0), RecordCompletion, &callback, nullptr);
    EXPECT_EQ(callback.calls, 1);
    EXPECT_EQ(Take(Violation::PowerIrpNotStarted), 0u);
}

class PreVistaPowerTest : public PowerTest {
protected:
    MachineOptions Options() const override
    {
        MachineOptions options;
        options.windows = WindowsVersion::WinXP;
        return options;
    }
};

TEST_F(PreVistaPowerTest, EveryDriverThatStartsTheNextPowerIrpPasses)
{
    Callback callback;
    PoRequestPowerIrp(m_pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD2), RecordCompletion, &callback, nullptr);
    auto request = machine().GetPower().SendSystemPowerIrp(m_pdo, IRP_MN_QUERY_POWER, PowerSystemSleeping1);
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(callback.calls, 1);
    EXPECT_EQ(Take(Violation::PowerIrpNotStarted), 0u);
}

TEST_F(PreVistaPowerTest, PassingOnWithoutStartingTheNextPowerIrpIsReported)
{
    m_fdoStarts = false;
    Callback callback;
    PoRequestPowerIrp(m_pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD3), RecordCompletion, &callback, nullptr);
    EXPECT_EQ(callback.calls, 1);  // reported, and the request still finishes
    auto reports = verifier().Take(Violation::PowerIrpNotStarted);
    ASSERT_EQ(reports.size(), 1u);
}

TEST_F(PreVistaPowerTest, StartingAfterSkippingTheStackLocationDoesNotCount)
{
    m_fdoStarts = false;
    m_fdoStartsLate = true;
    auto request = machine().GetPower().SendSystemPowerIrp(m_pdo, IRP_MN_SET_POWER, PowerSystemWorking);
    ASSERT_TRUE(request->Wait());
    EXPECT_EQ(Take(Violation::PowerIrpNotStarted), 1u);
}

}  // namespace
}  // namespace emu::testing
