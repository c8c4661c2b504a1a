// Functional device power: a system sleep becomes the device state of the capabilities table, the
// driver's power-down routine runs before the device below powers down, its power-up routine runs
// at PASSIVE_LEVEL even when the device below completes at DISPATCH_LEVEL, a system power request
// is never failed, and after removal power requests end with STATUS_DELETE_PENDING. Windows before
// Vista is checked for PoStartNextPowerIrp on every power request.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "dbg/debug_output.h"
#include "po/power_manager.h"
#include "tffunctionaldevice.h"
#include "tffunctionaldevice_harness.h"

namespace {

using tftest::Rec;
using tftest::Request;

std::atomic<int> g_powerUpIrql{-1};

void EntryPowerDown(CTfObject*) { Rec().Record("powerdown"); }
void EntryPowerUp(CTfObject*)
{
    g_powerUpIrql = KeGetCurrentIrql();
    Rec().Record("powerup");
}

class FdoPowerTest : public tftest::FrameworkTest {
protected:
    void SetUp() override
    {
        FrameworkTest::SetUp();
        g_powerUpIrql = -1;
        Rec().fill = [](CTfDeviceCallbacks* pCallbacks) {
            pCallbacks->m_PowerDownResetDeviceFunction = EntryPowerDown;
            pCallbacks->m_PowerUpInitDeviceFunction = EntryPowerUp;
        };
        // The PDO below: start and capabilities as a bus driver answers them.
        m_pdo->SetBehaviour(IRP_MJ_PNP, emu::testing::FakeLowerDevice::Behaviour::Custom([this](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) Rec().Record("pdo-remove");
            if (stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
                for (int s = PowerSystemWorking; s <= PowerSystemShutdown; ++s)
                    stack->Parameters.DeviceCapabilities.Capabilities->DeviceState[s] = m_table[s];
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }));
        // Power: the device below starts the next power request and completes, at the IRQL the
        // test chose, with the status the test chose.
        m_pdo->SetBehaviour(IRP_MJ_POWER, emu::testing::FakeLowerDevice::Behaviour::Custom([this](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            m_pdoPowerMinors.push_back(stack->MinorFunction);
            if (m_pendPower) {
                IoMarkIrpPending(irp);
                std::lock_guard lock(m_pendingMutex);
                m_pendingPower = irp;
                m_pendingChanged.notify_all();
                return STATUS_PENDING;
            }
            PoStartNextPowerIrp(irp);
            NTSTATUS status = m_pdoPowerStatus;
            irp->IoStatus.Status = status;
            if (m_completeAtDispatch) {
                emu::testing::ScopedIrql irql(DISPATCH_LEVEL);
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            } else {
                IoCompleteRequest(irp, IO_NO_INCREMENT);
            }
            return status;
        }));
    }

    void StartWithCapabilities()
    {
        ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
        DEVICE_CAPABILITIES capabilities{};
        capabilities.Size = sizeof(DEVICE_CAPABILITIES);
        capabilities.Version = 1;
        ASSERT_EQ(SendPnp(IRP_MN_QUERY_CAPABILITIES,
                          [&](PIO_STACK_LOCATION stack) { stack->Parameters.DeviceCapabilities.Capabilities = &capabilities; }),
                  STATUS_SUCCESS);
    }
    NTSTATUS SendPnp(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& prepare = {})
    {
        Request request(Fdo(), IRP_MJ_PNP);
        request.Irp()->IoStatus.Status = STATUS_NOT_SUPPORTED;
        request.Stack()->MinorFunction = minor;
        if (prepare) prepare(request.Stack());
        request.Send();
        EXPECT_TRUE(request.WaitCompleted());
        return request.Status();
    }
    // A power request the test sends itself (a minor the power manager has no sender for).
    NTSTATUS SendPower(UCHAR minor, POWER_STATE_TYPE type, ULONG state)
    {
        Request request(Fdo(), IRP_MJ_POWER);
        request.Stack()->MinorFunction = minor;
        request.Stack()->Parameters.Power.Type = type;
        request.Stack()->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
        request.Send();
        EXPECT_TRUE(request.WaitCompleted());
        return request.Status();
    }
    IO_STATUS_BLOCK SystemPower(UCHAR minor, SYSTEM_POWER_STATE state)
    {
        auto request = machine().GetPower().SendSystemPowerIrp(m_pdo->Device(), minor, state);
        EXPECT_TRUE(request->Wait());
        return request->Result();
    }
    std::vector<DEVICE_POWER_STATE> RequestedDeviceStates()
    {
        std::vector<DEVICE_POWER_STATE> states;
        for (auto& requested : machine().GetPower().RequestedIrps())
            if (requested.minor == IRP_MN_SET_POWER) states.push_back(requested.state.DeviceState);
        return states;
    }
    size_t Printed(const char* text) { return machine().GetDebugOutput().CountContaining(text); }

    DEVICE_POWER_STATE m_table[PowerSystemMaximum] = {PowerDeviceUnspecified, PowerDeviceD0, PowerDeviceD2, PowerDeviceD2,
                                                      PowerDeviceD3, PowerDeviceD3, PowerDeviceD3};
    NTSTATUS m_pdoPowerStatus = STATUS_SUCCESS;
    bool m_completeAtDispatch = false;
    // A power request the device below holds until the test completes it.
    bool m_pendPower = false;
    std::mutex m_pendingMutex;
    std::condition_variable m_pendingChanged;
    PIRP m_pendingPower = nullptr;
    std::vector<UCHAR> m_pdoPowerMinors;
};

class FdoPowerPreVistaTest : public FdoPowerTest {
protected:
    void SetUp() override
    {
        FdoPowerTest::SetUp();
        // Windows XP: WDM 1.30, where every driver must start the next power request itself.
        machine().SetWdmVersion(1, 0x30);
    }
};

// S3 asks for the device state the capabilities gave (D3); the driver powers down before the
// device below does; S0 brings D0 back and the driver's power-up routine runs after it.
TEST_F(FdoPowerTest, SystemSleepAndWakeFollowTheCapabilityTable)
{
    StartWithCapabilities();
    IO_STATUS_BLOCK result = SystemPower(IRP_MN_SET_POWER, PowerSystemSleeping3);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(RequestedDeviceStates(), (std::vector<DEVICE_POWER_STATE>{PowerDeviceD3}));
    EXPECT_EQ(Device()->m_GetDevicePowerState(), PowerDeviceD3);
    EXPECT_EQ(machine().GetPower().DeviceStateOf(m_pdo->Device()), PowerDeviceD3);
    EXPECT_EQ(Rec().Count("powerdown"), 1u);
    EXPECT_EQ(Rec().Count("powerup"), 0u);
    EXPECT_GE(Printed("m_HandleSystemPowerStateChange => Windows Vista and later OS"), 2u);

    result = SystemPower(IRP_MN_SET_POWER, PowerSystemWorking);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_EQ(RequestedDeviceStates(), (std::vector<DEVICE_POWER_STATE>{PowerDeviceD3, PowerDeviceD0}));
    EXPECT_EQ(Device()->m_GetDevicePowerState(), PowerDeviceD0);
    EXPECT_EQ(Rec().Count("powerup"), 1u);
    EXPECT_EQ(g_powerUpIrql.load(), PASSIVE_LEVEL);
}

// The device below completes the power-up at DISPATCH_LEVEL: the driver's routine still runs at
// PASSIVE_LEVEL, and only then is the request finished.
TEST_F(FdoPowerTest, PowerUpRoutineRunsAtPassiveLevelWhenCompletedAtDispatch)
{
    StartWithCapabilities();
    EXPECT_TRUE(Device()->m_GotoPowerState(PowerDeviceD3));
    EXPECT_EQ(Device()->m_GetDevicePowerState(), PowerDeviceD3);

    m_completeAtDispatch = true;
    EXPECT_TRUE(Device()->m_GotoPowerState(PowerDeviceD0));
    EXPECT_EQ(Rec().Count("powerup"), 1u);
    EXPECT_EQ(g_powerUpIrql.load(), PASSIVE_LEVEL);
    EXPECT_EQ(Device()->m_GetDevicePowerState(), PowerDeviceD0);
    EXPECT_EQ(machine().GetPower().DeviceStateOf(m_pdo->Device()), PowerDeviceD0);
}

// A device request the device below fails is reported as a failure.
TEST_F(FdoPowerTest, GotoPowerStateReportsTheDeviceAnswer)
{
    StartWithCapabilities();
    m_pdoPowerStatus = STATUS_UNSUCCESSFUL;
    EXPECT_FALSE(Device()->m_GotoPowerState(PowerDeviceD3));
    m_pdoPowerStatus = STATUS_SUCCESS;
    EXPECT_FALSE(Device()->m_GotoPowerState(PowerDeviceUnspecified));
    EXPECT_TRUE(Device()->m_GotoPowerState(PowerDeviceD2));
}

// Without a device state for the system state (no capabilities yet), and for a system state
// outside the table, the system request still succeeds.
TEST_F(FdoPowerPreVistaTest, SystemRequestIsNeverFailed)
{
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(SendPnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);

    IO_STATUS_BLOCK result = SystemPower(IRP_MN_SET_POWER, PowerSystemHibernate);
    EXPECT_EQ(result.Status, STATUS_SUCCESS);
    EXPECT_TRUE(RequestedDeviceStates().empty());
    EXPECT_EQ(Rec().Count("powerdown"), 0u);

    EXPECT_EQ(SendPower(IRP_MN_SET_POWER, SystemPowerState, PowerSystemMaximum), STATUS_SUCCESS);
    EXPECT_EQ(Printed("Windows Vista and later OS"), 0u);
}

// Before Vista every path starts the next power request: the power manager checks each one.
TEST_F(FdoPowerPreVistaTest, EveryPathStartsTheNextPowerRequest)
{
    StartWithCapabilities();
    EXPECT_EQ(SystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping1).Status, STATUS_SUCCESS);
    EXPECT_EQ(SystemPower(IRP_MN_SET_POWER, PowerSystemSleeping1).Status, STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_GetDevicePowerState(), PowerDeviceD2);
    EXPECT_EQ(SystemPower(IRP_MN_SET_POWER, PowerSystemWorking).Status, STATUS_SUCCESS);
    EXPECT_EQ(Device()->m_GetDevicePowerState(), PowerDeviceD0);
    EXPECT_EQ(SendPower(IRP_MN_QUERY_POWER, DevicePowerState, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(SendPower(IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Printed("Windows Vista and later OS"), 0u);
}

// On Vista and later the other minors pass down with their DbgPrint line.
TEST_F(FdoPowerTest, OtherMinorsPassDownOnVista)
{
    StartWithCapabilities();
    EXPECT_EQ(SendPower(IRP_MN_WAIT_WAKE, SystemPowerState, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(SendPower(IRP_MN_POWER_SEQUENCE, SystemPowerState, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(SendPower(0x7, SystemPowerState, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Printed("m_Dispatch_Power=> IRP_MN_WAIT_WAKE => Windows Vista and later OS"), 1u);
    EXPECT_EQ(Printed("m_Dispatch_Power=> IRP_MN_POWER_SEQUENCE => Windows Vista and later OS"), 1u);
    EXPECT_EQ(Printed("m_Dispatch_Power=> default => Windows Vista and later OS"), 1u);
    EXPECT_EQ(m_pdoPowerMinors, (std::vector<UCHAR>{IRP_MN_WAIT_WAKE, IRP_MN_POWER_SEQUENCE, 0x7}));
}

// Once removal has closed the device's gate, power requests end with STATUS_DELETE_PENDING,
// still starting the next power request before Vista.
TEST_F(FdoPowerPreVistaTest, PowerAfterRemovalIsDeletePending)
{
    StartWithCapabilities();
    ASSERT_EQ(Device()->m_GetRemoveGate()->m_CloseAndWait(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(SystemPower(IRP_MN_SET_POWER, PowerSystemSleeping3).Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(SystemPower(IRP_MN_QUERY_POWER, PowerSystemSleeping3).Status, STATUS_DELETE_PENDING);
    EXPECT_FALSE(Device()->m_GotoPowerState(PowerDeviceD3));
    EXPECT_EQ(Rec().Count("powerdown"), 0u);
    EXPECT_EQ(Device()->m_GetDevicePowerState(), PowerDeviceD0);
    EXPECT_TRUE(m_pdoPowerMinors.empty());
    Device()->m_GetRemoveGate()->m_SetOpen(TRUE);
}

// A removal waits for a power-up under way: the driver's power-up routine has run before the
// removal reaches the device below, and nothing is used after it is gone.
TEST_F(FdoPowerTest, RemovalWaitsForAPowerUpInFlight)
{
    Rec().fill = [](CTfDeviceCallbacks* pCallbacks) {
        pCallbacks->m_PowerDownResetDeviceFunction = EntryPowerDown;
        pCallbacks->m_PowerUpInitDeviceFunction = EntryPowerUp;
        pCallbacks->m_PnpRemoveDevice = [](CTfObject*) { Rec().Record("remove"); };
    };
    StartWithCapabilities();
    ASSERT_TRUE(Device()->m_GotoPowerState(PowerDeviceD3));

    m_pendPower = true;
    CTfFunctionalDevice* device = Device();
    std::atomic<bool> poweredUp{false};
    std::thread powerUp([&] { poweredUp = device->m_GotoPowerState(PowerDeviceD0) != FALSE; });
    PIRP held = nullptr;
    {
        std::unique_lock lock(m_pendingMutex);
        ASSERT_TRUE(m_pendingChanged.wait_for(lock, std::chrono::seconds(10), [&] { return m_pendingPower != nullptr; }));
        held = m_pendingPower;
    }

    PDEVICE_OBJECT fdo = Fdo();
    NTSTATUS removeStatus = STATUS_PENDING;
    std::thread remove([&] {
        Request request(fdo, IRP_MJ_PNP);
        request.Irp()->IoStatus.Status = STATUS_NOT_SUPPORTED;
        request.Stack()->MinorFunction = IRP_MN_REMOVE_DEVICE;
        request.Send();
        request.WaitCompleted();
        removeStatus = request.Status();
    });
    {
        std::unique_lock lock(Rec().mutex);
        ASSERT_TRUE(Rec().changed.wait_for(lock, std::chrono::seconds(10), [&] {
            for (auto& call : Rec().calls)
                if (call == "remove") return true;
            return false;
        }));
    }

    // The device below finishes the power-up at DISPATCH_LEVEL.
    PoStartNextPowerIrp(held);
    held->IoStatus.Status = STATUS_SUCCESS;
    {
        emu::testing::ScopedIrql irql(DISPATCH_LEVEL);
        IoCompleteRequest(held, IO_NO_INCREMENT);
    }
    powerUp.join();
    remove.join();
    EXPECT_TRUE(poweredUp.load());
    EXPECT_EQ(removeStatus, STATUS_SUCCESS);
    std::lock_guard lock(Rec().mutex);
    std::vector<std::string> order;
    for (auto& call : Rec().calls)
        if (call == "remove" || call == "powerup" || call == "pdo-remove") order.push_back(call);
    EXPECT_EQ(order, (std::vector<std::string>{"remove", "powerup", "pdo-remove"}));
}

}  // namespace
