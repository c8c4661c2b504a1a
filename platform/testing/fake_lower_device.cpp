#include "fake_lower_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "io/io_manager.h"
#include "machine.h"

namespace emu::testing {

namespace {

constexpr CSHORT kIoTypeDriver = 4;
constexpr CSHORT kIoTypeDevice = 3;

const uint8_t* InputOf(PIO_STACK_LOCATION stack, PIRP irp, ULONG& length)
{
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        length = stack->Parameters.DeviceIoControl.InputBufferLength;
        if (METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode) == METHOD_NEITHER)
            return static_cast<const uint8_t*>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
        return static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    case IRP_MJ_WRITE:
        length = stack->Parameters.Write.Length;
        return static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer ? irp->AssociatedIrp.SystemBuffer
                                                                            : irp->UserBuffer);
    default:
        length = 0;
        return nullptr;
    }
}

}  // namespace

FakeLowerDevice::Behaviour FakeLowerDevice::Behaviour::Complete(NTSTATUS status, ULONG_PTR information,
                                                                std::vector<uint8_t> data)
{
    Behaviour behaviour;
    behaviour.m_kind = Kind::Complete;
    behaviour.m_status = status;
    behaviour.m_information = information;
    behaviour.m_data = std::move(data);
    return behaviour;
}

FakeLowerDevice::Behaviour FakeLowerDevice::Behaviour::Pend()
{
    Behaviour behaviour;
    behaviour.m_kind = Kind::Pend;
    return behaviour;
}

FakeLowerDevice::Behaviour FakeLowerDevice::Behaviour::PendUntilCancelled()
{
    Behaviour behaviour;
    behaviour.m_kind = Kind::PendUntilCancelled;
    return behaviour;
}

FakeLowerDevice::Behaviour FakeLowerDevice::Behaviour::Custom(Handler handler)
{
    Behaviour behaviour;
    behaviour.m_kind = Kind::Custom;
    behaviour.m_handler = std::move(handler);
    return behaviour;
}

FakeLowerDevice::FakeLowerDevice(CCHAR stackSize, ULONG flags)
{
    m_driver.Type = kIoTypeDriver;
    m_driver.Size = sizeof(DRIVER_OBJECT);
    m_driver.DeviceObject = &m_device;
    for (PDRIVER_DISPATCH& dispatch : m_driver.MajorFunction) dispatch = &FakeLowerDevice::Dispatch;

    m_device.Type = kIoTypeDevice;
    m_device.Size = sizeof(DEVICE_OBJECT);
    m_device.DriverObject = &m_driver;
    m_device.DeviceType = FILE_DEVICE_UNKNOWN;
    m_device.StackSize = stackSize;
    m_device.Flags = flags;
    m_device.DeviceExtension = this;
}

FakeLowerDevice::~FakeLowerDevice()
{
    // With the machine already gone, its IRPs went with it.
    if (!Machine::TryCurrent()) return;
    CancelEverythingPending();
    Machine::Current().GetIo().ForgetDevice(&m_device);
}

void FakeLowerDevice::CancelEverythingPending()
{
    std::unique_lock lock(m_mutex);
    std::vector<PIRP> taken;
    for (auto it = m_pending.begin(); it != m_pending.end();) {
        if (!it->cancelOwned && (!it->cancellable || IoSetCancelRoutine(it->irp, nullptr) != nullptr)) {
            taken.push_back(it->irp);
            it = m_pending.erase(it);
        } else {
            it->cancelOwned = true;  // its cancel routine is on the way and completes it
            ++it;
        }
    }
    m_completing += taken.size();
    lock.unlock();
    for (PIRP irp : taken) CompleteTaken(irp, STATUS_CANCELLED, 0, {});
    lock.lock();
    bool settled = m_changed.wait_for(lock, std::chrono::seconds(10),
                                      [this] { return m_pending.empty() && m_completing == 0; });
    if (!settled) ADD_FAILURE() << "FakeLowerDevice: a pending IRP never came back";
}

void FakeLowerDevice::SetBehaviour(Behaviour behaviour)
{
    std::lock_guard lock(m_mutex);
    m_default = std::move(behaviour);
    m_byMajor.clear();
}

void FakeLowerDevice::SetBehaviour(UCHAR major, Behaviour behaviour)
{
    std::lock_guard lock(m_mutex);
    m_byMajor[major] = std::move(behaviour);
}

NTSTATUS FakeLowerDevice::Dispatch(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    return static_cast<FakeLowerDevice*>(deviceObject->DeviceExtension)->Handle(irp);
}

void FakeLowerDevice::Record(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ReceivedIrp received;
    received.irp = irp;
    received.major = stack->MajorFunction;
    received.minor = stack->MinorFunction;
    received.fileObject = stack->FileObject;
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        received.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
        received.inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
        received.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    } else if (stack->MajorFunction == IRP_MJ_READ || stack->MajorFunction == IRP_MJ_WRITE) {
        received.length = stack->Parameters.Read.Length;
        received.byteOffset = stack->Parameters.Read.ByteOffset.QuadPart;
    }
    ULONG inputLength = 0;
    if (const uint8_t* input = InputOf(stack, irp, inputLength); input && inputLength != 0)
        received.input.assign(input, input + inputLength);
    m_received.push_back(std::move(received));
}

NTSTATUS FakeLowerDevice::Handle(PIRP irp)
{
    Behaviour behaviour;
    {
        std::lock_guard lock(m_mutex);
        Record(irp);
        auto it = m_byMajor.find(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        behaviour = it != m_byMajor.end() ? it->second : m_default;
        m_changed.notify_all();
    }
    switch (behaviour.m_kind) {
    case Behaviour::Kind::Complete:
        CopyToOutput(irp, behaviour.m_data);
        irp->IoStatus.Status = behaviour.m_status;
        irp->IoStatus.Information = behaviour.m_information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return behaviour.m_status;
    case Behaviour::Kind::Pend:
        return PendIrp(irp, false);
    case Behaviour::Kind::PendUntilCancelled:
        return PendIrp(irp, true);
    case Behaviour::Kind::Custom:
        return behaviour.m_handler(&m_device, irp);
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS FakeLowerDevice::PendIrp(PIRP irp, bool cancellable)
{
    IoMarkIrpPending(irp);
    std::unique_lock lock(m_mutex);
    if (cancellable) {
        IoSetCancelRoutine(irp, &FakeLowerDevice::CancelRoutine);
        // Cancelled before the routine was in place: complete it here, unless IoCancelIrp has
        // already taken the routine (then the routine completes it once it finds it queued).
        if (ReadBooleanAcquire(&irp->Cancel) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            lock.unlock();
            irp->IoStatus.Status = STATUS_CANCELLED;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_PENDING;
        }
    }
    m_pending.push_back(Pending{irp, cancellable, false});
    m_changed.notify_all();
    return STATUS_PENDING;
}

void FakeLowerDevice::CancelRoutine(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* self = static_cast<FakeLowerDevice*>(deviceObject->DeviceExtension);
    {
        std::lock_guard lock(self->m_mutex);
        std::erase_if(self->m_pending, [irp](const Pending& pending) { return pending.irp == irp; });
        ++self->m_completing;
    }
    self->CompleteTaken(irp, STATUS_CANCELLED, 0, {});
}

bool FakeLowerDevice::CompletePending(NTSTATUS status, ULONG_PTR information, std::vector<uint8_t> data)
{
    PIRP irp = nullptr;
    {
        std::lock_guard lock(m_mutex);
        auto it = std::find_if(m_pending.begin(), m_pending.end(), [](const Pending& p) { return !p.cancelOwned; });
        if (it == m_pending.end()) return false;
        if (it->cancellable && IoSetCancelRoutine(it->irp, nullptr) == nullptr) {
            it->cancelOwned = true;
            return false;
        }
        irp = it->irp;
        m_pending.erase(it);
        ++m_completing;
    }
    CompleteTaken(irp, status, information, data);
    return true;
}

// The caller has taken the IRP out of the pending list and counted itself in m_completing.
void FakeLowerDevice::CompleteTaken(PIRP irp, NTSTATUS status, ULONG_PTR information,
                                    const std::vector<uint8_t>& data)
{
    CopyToOutput(irp, data);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    std::lock_guard lock(m_mutex);
    --m_completing;
    m_changed.notify_all();
}

void FakeLowerDevice::CopyToOutput(PIRP irp, const std::vector<uint8_t>& data)
{
    if (data.empty()) return;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    void* target = nullptr;
    size_t capacity = 0;
    switch (stack->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        const auto& parameters = stack->Parameters.DeviceIoControl;
        if (METHOD_FROM_CTL_CODE(parameters.IoControlCode) == METHOD_BUFFERED) {
            target = irp->AssociatedIrp.SystemBuffer;
            capacity = std::max(parameters.InputBufferLength, parameters.OutputBufferLength);
        } else {
            target = irp->UserBuffer;
            capacity = parameters.OutputBufferLength;
        }
        break;
    }
    case IRP_MJ_READ:
        target = irp->AssociatedIrp.SystemBuffer ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
        capacity = stack->Parameters.Read.Length;
        break;
    default:
        break;
    }
    if (target) std::memcpy(target, data.data(), std::min(capacity, data.size()));
}

size_t FakeLowerDevice::PendingCount() const
{
    std::lock_guard lock(m_mutex);
    return m_pending.size();
}

std::vector<ReceivedIrp> FakeLowerDevice::Received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

size_t FakeLowerDevice::ReceivedCount() const
{
    std::lock_guard lock(m_mutex);
    return m_received.size();
}

void FakeLowerDevice::ClearReceived()
{
    std::lock_guard lock(m_mutex);
    m_received.clear();
}

bool FakeLowerDevice::WaitForReceived(size_t count, std::chrono::milliseconds bound) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, bound, [&] { return m_received.size() >= count; });
}

bool FakeLowerDevice::WaitForPending(size_t count, std::chrono::milliseconds bound) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, bound, [&] { return m_pending.size() >= count; });
}

}  // namespace emu::testing
