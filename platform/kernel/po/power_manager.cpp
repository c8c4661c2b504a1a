// Power IRPs: PoRequestPowerIrp, PoSetPowerState, PoStartNextPowerIrp, PoCallDriver, and the
// system power IRPs tests send.
#include <wdm.h>

#include "po/power_manager.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "io/io_manager.h"
#include "ke/kthread.h"
#include "ob/object_namespace.h"
#include "kernel.h"
#include "vf/verifier.h"

namespace emu {

namespace {

std::string DeviceText(Kernel& machine, PDEVICE_OBJECT device)
{
    if (auto info = machine.GetNamespace().Describe(device); info && !info->name.empty()) {
        std::string narrow;
        for (char16_t c : info->name) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        return narrow;
    }
    char text[32];
    std::snprintf(text, sizeof(text), "device %p", static_cast<void*>(device));
    return text;
}

bool IsDeviceState(DEVICE_POWER_STATE state) { return state >= PowerDeviceD0 && state <= PowerDeviceD3; }

// Presents a power IRP to a device as the power manager does: a device object without
// DO_POWER_PAGABLE must take its power IRPs at DISPATCH_LEVEL, and gets them there.
NTSTATUS Present(IoManager& io, PDEVICE_OBJECT deviceObject, PIRP irp)
{
    if (!deviceObject || (deviceObject->Flags & DO_POWER_PAGABLE)) return io.CallDriver(deviceObject, irp);
    KIRQL caller;
    KeRaiseIrql(std::max<KIRQL>(KeGetCurrentIrql(), DISPATCH_LEVEL), &caller);
    const NTSTATUS status = io.CallDriver(deviceObject, irp);
    KeLowerIrql(caller);
    return status;
}

}  // namespace

bool PowerRequest::Done() const
{
    std::lock_guard lock(m_mutex);
    return m_finished;
}

bool PowerRequest::Wait(std::chrono::milliseconds bound) const
{
    std::unique_lock lock(m_mutex);
    return m_done.wait_for(lock, bound, [this] { return m_finished; });
}

IO_STATUS_BLOCK PowerRequest::Result() const
{
    std::lock_guard lock(m_mutex);
    return m_result;
}

void PowerRequest::Finish(const IO_STATUS_BLOCK& result)
{
    {
        std::lock_guard lock(m_mutex);
        m_result = result;
        m_finished = true;
    }
    m_done.notify_all();
}

PowerManager::PowerManager(Kernel& machine) : m_kernel(machine) {}

PowerManager::~PowerManager() = default;

bool PowerManager::PreVista() const { return !m_kernel.IsWdmVersionAvailable(6, 0); }

NTSTATUS PowerManager::RequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                                       PREQUEST_POWER_COMPLETE completionFunction, PVOID context, PIRP* irp)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
    if (irp) *irp = nullptr;
    if (!deviceObject) {
        ReportViolation(Violation::Bugcheck, "PoRequestPowerIrp without a device object");
        return STATUS_INVALID_PARAMETER;
    }
    switch (minorFunction) {
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
        if (!IsDeviceState(powerState.DeviceState)) return STATUS_INVALID_PARAMETER;
        break;
    case IRP_MN_WAIT_WAKE:
        if (powerState.SystemState < PowerSystemWorking || powerState.SystemState > PowerSystemHibernate)
            return STATUS_INVALID_PARAMETER;
        break;
    default:
        return STATUS_INVALID_PARAMETER_2;
    }

    auto tracked = std::make_unique<Tracked>();
    tracked->target = deviceObject;
    tracked->minor = minorFunction;
    tracked->state = powerState;
    tracked->completion = completionFunction;
    tracked->context = context;
    const NTSTATUS status =
        Send(deviceObject, minorFunction, DevicePowerState, powerState, PowerActionNone, std::move(tracked), irp);
    if (!NT_SUCCESS(status)) return status;
    {
        std::lock_guard lock(m_mutex);
        m_requested.push_back(RequestedPowerIrp{deviceObject, minorFunction, powerState});
    }
    // Whatever the stack answered, the requester hears of it through its completion function.
    return STATUS_PENDING;
}

std::shared_ptr<PowerRequest> PowerManager::SendSystemPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction,
                                                               SYSTEM_POWER_STATE state, POWER_ACTION action)
{
    auto request = std::make_shared<PowerRequest>();
    if (!deviceObject || (minorFunction != IRP_MN_SET_POWER && minorFunction != IRP_MN_QUERY_POWER)) {
        request->Finish(IO_STATUS_BLOCK{{STATUS_INVALID_PARAMETER}, 0});
        return request;
    }
    auto tracked = std::make_unique<Tracked>();
    tracked->target = deviceObject;
    tracked->minor = minorFunction;
    tracked->state.SystemState = state;
    tracked->request = request;
    POWER_STATE powerState{};
    powerState.SystemState = state;
    const NTSTATUS status =
        Send(deviceObject, minorFunction, SystemPowerState, powerState, action, std::move(tracked), nullptr);
    if (!NT_SUCCESS(status)) request->Finish(IO_STATUS_BLOCK{{status}, 0});
    return request;
}

NTSTATUS PowerManager::Send(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE_TYPE type,
                            POWER_STATE state, POWER_ACTION action, std::unique_ptr<Tracked> tracked, PIRP* irpOut)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(deviceObject);
    if (!top) return STATUS_INVALID_PARAMETER;
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minorFunction;
    if (minorFunction == IRP_MN_WAIT_WAKE) {
        stack->Parameters.WaitWake.PowerState = state.SystemState;
    } else {
        stack->Parameters.Power.Type = type;
        stack->Parameters.Power.State = state;
        stack->Parameters.Power.ShutdownType = action;
    }
    IoSetCompletionRoutine(irp, &PowerManager::OnCompletion, nullptr, TRUE, TRUE, TRUE);

    tracked->top = top;
    tracked->reached.push_back(top);
    {
        std::lock_guard lock(m_mutex);
        m_inFlight[irp] = std::move(tracked);
    }
    if (irpOut) *irpOut = irp;
    Present(m_kernel.GetIo(), top, irp);
    return STATUS_SUCCESS;
}

NTSTATUS PowerManager::OnCompletion(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    PowerManager& self = Kernel::Current().GetPower();
    std::unique_ptr<Tracked> tracked;
    {
        std::lock_guard lock(self.m_mutex);
        auto it = self.m_inFlight.find(irp);
        if (it != self.m_inFlight.end()) {
            tracked = std::move(it->second);
            self.m_inFlight.erase(it);
        }
    }
    if (!tracked) return STATUS_SUCCESS;

    self.CheckStarted(irp, *tracked);
    IO_STATUS_BLOCK result = irp->IoStatus;
    if (tracked->completion)
        tracked->completion(tracked->target, tracked->minor, tracked->state, tracked->context, &result);
    if (tracked->request) tracked->request->Finish(result);
    IoFreeIrp(irp);
    ObDereferenceObject(tracked->top);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void PowerManager::CheckStarted(PIRP irp, const Tracked& tracked)
{
    if (!PreVista()) return;
    std::set<PDEVICE_OBJECT> reported;
    for (PDEVICE_OBJECT device : tracked.reached) {
        if (tracked.started.count(device) || !reported.insert(device).second) continue;
        ReportViolation(Violation::PowerIrpNotStarted,
                        DeviceText(m_kernel, device) + " passed on or completed power IRP " +
                            std::to_string(reinterpret_cast<uintptr_t>(irp)) + " (minor " +
                            std::to_string(tracked.minor) + ") without PoStartNextPowerIrp");
    }
}

void PowerManager::StartNextPowerIrp(PIRP irp)
{
    if (!irp) {
        ReportViolation(Violation::Bugcheck, "PoStartNextPowerIrp of a null IRP");
        return;
    }
    std::lock_guard lock(m_mutex);
    auto it = m_inFlight.find(irp);
    if (it == m_inFlight.end()) return;
    // The driver's own location must still be current: before it skips, copies or completes.
    if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount) return;
    it->second->started.insert(IoGetCurrentIrpStackLocation(irp)->DeviceObject);
}

NTSTATUS PowerManager::CallDriver(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    {
        std::lock_guard lock(m_mutex);
        auto it = m_inFlight.find(irp);
        if (it != m_inFlight.end() && deviceObject) it->second->reached.push_back(deviceObject);
    }
    return Present(m_kernel.GetIo(), deviceObject, irp);
}

POWER_STATE PowerManager::SetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
    POWER_STATE previous{};
    std::lock_guard lock(m_mutex);
    ++m_setPowerStateCalls;
    if (type == DevicePowerState) {
        auto [it, inserted] = m_deviceStates.try_emplace(deviceObject, PowerDeviceD0);
        previous.DeviceState = it->second;
        it->second = state.DeviceState;
    } else {
        auto [it, inserted] = m_systemStates.try_emplace(deviceObject, PowerSystemWorking);
        previous.SystemState = it->second;
        it->second = state.SystemState;
    }
    return previous;
}

DEVICE_POWER_STATE PowerManager::DeviceStateOf(PDEVICE_OBJECT deviceObject) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_deviceStates.find(deviceObject);
    return it == m_deviceStates.end() ? PowerDeviceD0 : it->second;
}

SYSTEM_POWER_STATE PowerManager::SystemStateOf(PDEVICE_OBJECT deviceObject) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_systemStates.find(deviceObject);
    return it == m_systemStates.end() ? PowerSystemWorking : it->second;
}

size_t PowerManager::SetPowerStateCount() const
{
    std::lock_guard lock(m_mutex);
    return m_setPowerStateCalls;
}

std::vector<RequestedPowerIrp> PowerManager::RequestedIrps() const
{
    std::lock_guard lock(m_mutex);
    return m_requested;
}

size_t PowerManager::OutstandingIrpCount() const
{
    std::lock_guard lock(m_mutex);
    return m_inFlight.size();
}

void PowerManager::ForgetDevice(PDEVICE_OBJECT deviceObject)
{
    std::lock_guard lock(m_mutex);
    m_deviceStates.erase(deviceObject);
    m_systemStates.erase(deviceObject);
}

}  // namespace emu

using emu::Kernel;

extern "C" NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                                      PREQUEST_POWER_COMPLETE completionFunction, PVOID context, PIRP* irp)
{
    return Kernel::Current().GetPower().RequestPowerIrp(deviceObject, minorFunction, powerState,
                                                         completionFunction, context, irp);
}

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state)
{
    return Kernel::Current().GetPower().SetPowerState(deviceObject, type, state);
}

extern "C" void PoStartNextPowerIrp(PIRP irp) { Kernel::Current().GetPower().StartNextPowerIrp(irp); }

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    return Kernel::Current().GetPower().CallDriver(deviceObject, irp);
}
