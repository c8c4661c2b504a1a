// IRP allocation, building the synchronous requests of the kernel interface, and sending an IRP
// down a device stack (IofCallDriver).
#include <wdm.h>

#include "io/io_manager.h"
#include "kernel.h"
#include "vf/verifier.h"

#include <algorithm>
#include <cstring>
#include <string>

using emu::Kernel;
using emu::Violation;

namespace {

emu::IoManager& Io() { return Kernel::Current().GetIo(); }

void Report(Violation kind, std::string detail) { Kernel::Current().GetVerifier().Report(kind, std::move(detail)); }

void CheckIrql(KIRQL allowed, const char* call)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > allowed)
        Report(Violation::IrqlTooHigh, std::string(call) + " called at IRQL " + std::to_string(irql));
}

}  // namespace

namespace emu {

NTSTATUS IoManager::BeginCall(PIRP irp)
{
    std::lock_guard lock(m_mutex);
    auto it = m_irps.find(irp);
    if (it == m_irps.end()) {
        m_kernel.GetVerifier().Report(Violation::Bugcheck, "IoCallDriver of a pointer that is no live IRP");
        return STATUS_INVALID_PARAMETER;
    }
    IrpRecord& record = it->second;
    if (record.state == IrpState::Completed || irp->CurrentLocation > irp->StackCount + 1) {
        m_kernel.GetVerifier().Report(Violation::Bugcheck, "IoCallDriver of an IRP that has been completed");
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (irp->CurrentLocation <= 1) {
        m_kernel.GetVerifier().Report(Violation::IrpStackOverrun,
                                       "IoCallDriver with no stack location left (StackCount " +
                                           std::to_string(irp->StackCount) + ")");
        return STATUS_INVALID_PARAMETER;
    }
    if (record.state == IrpState::Idle) {
        record.state = IrpState::InFlight;
        record.senderLocation = irp->CurrentLocation;
        ++record.generation;
    }
    return STATUS_SUCCESS;
}

NTSTATUS IoManager::CallDriver(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    CheckIrql(DISPATCH_LEVEL, "IoCallDriver");
    if (!deviceObject) {
        m_kernel.GetVerifier().Report(Violation::Bugcheck, "IoCallDriver with no device object");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = BeginCall(irp);
    if (!NT_SUCCESS(status)) return status;

    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = deviceObject;

    PDRIVER_DISPATCH dispatch = nullptr;
    if (stack->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION)
        m_kernel.GetVerifier().Report(Violation::Bugcheck,
                                       "IoCallDriver with major function " + std::to_string(stack->MajorFunction));
    else if (deviceObject->DriverObject)
        dispatch = deviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    if (!dispatch) {
        // A major function the driver does not handle is refused, as Windows' default dispatch does.
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        CompleteRequest(irp);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return Dispatch(dispatch, deviceObject, irp);
}

// Calls the dispatch routine as the I/O verifier watches it: its IRQL and its pending protocol.
NTSTATUS IoManager::Dispatch(PDRIVER_DISPATCH dispatch, PDEVICE_OBJECT deviceObject, PIRP irp)
{
    const KIRQL irql = KeGetCurrentIrql();
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    const uint64_t frame = BeginDispatch(irp, dispatch);
    const NTSTATUS status = dispatch(deviceObject, irp);
    CheckDispatchIrql(dispatch, major, irql);
    EndDispatch(frame, status);
    return status;
}

}  // namespace emu

extern "C" PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota)
{
    CheckIrql(DISPATCH_LEVEL, "IoAllocateIrp");
    return Io().AllocateIrp(stackSize);
}

extern "C" void IoFreeIrp(PIRP irp) { Io().FreeIrp(irp); }

extern "C" void IoReuseIrp(PIRP irp, NTSTATUS status) { Io().ReuseIrp(irp, status); }

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) { return Io().CallDriver(deviceObject, irp); }

// PoCallDriver and PoStartNextPowerIrp belong to the power manager (power_manager.cpp).

extern "C" BOOLEAN IoIsWdmVersionAvailable(UCHAR majorVersion, UCHAR minorVersion)
{
    return Kernel::Current().IsWdmVersionAvailable(majorVersion, minorVersion) ? TRUE : FALSE;
}

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                              PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                                              ULONG outputBufferLength, BOOLEAN internalDeviceIoControl,
                                              PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock)
{
    CheckIrql(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
    if (!deviceObject) return nullptr;
    const ULONG method = METHOD_FROM_CTL_CODE(ioControlCode);
    if (method != METHOD_NEITHER && inputBufferLength != 0 && !inputBuffer) return nullptr;
    if (method == METHOD_BUFFERED && outputBufferLength != 0 && !outputBuffer) return nullptr;

    emu::RequestFinish finish;
    finish.iosb = ioStatusBlock;
    finish.event = event;
    ULONG systemBufferLength = 0;
    if (method == METHOD_BUFFERED) {
        systemBufferLength = std::max(inputBufferLength, outputBufferLength);
        finish.copyOutput = true;
        finish.callerOutput = outputBuffer;
        finish.callerOutputLength = outputBufferLength;
    } else if (method != METHOD_NEITHER) {
        // Direct I/O: the input travels in the system buffer; the output buffer is handed over as
        // it is (this machine maps no MDLs).
        systemBufferLength = inputBufferLength;
    }

    PIRP irp = Io().AllocateBuiltIrp(deviceObject->StackSize, systemBufferLength, std::move(finish));
    if (!irp) return nullptr;
    if (method != METHOD_NEITHER && inputBufferLength != 0)
        std::memcpy(irp->AssociatedIrp.SystemBuffer, inputBuffer, inputBufferLength);
    irp->UserBuffer = outputBuffer;
    irp->RequestorMode = KernelMode;

    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
    stack->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
    if (method == METHOD_NEITHER) stack->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
    return irp;
}

extern "C" PIRP IoBuildSynchronousFsdRequest(ULONG majorFunction, PDEVICE_OBJECT deviceObject, PVOID buffer,
                                             ULONG length, PLARGE_INTEGER startingOffset, PKEVENT event,
                                             PIO_STATUS_BLOCK ioStatusBlock)
{
    CheckIrql(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest");
    if (!deviceObject) return nullptr;
    const bool transfer = majorFunction == IRP_MJ_READ || majorFunction == IRP_MJ_WRITE;
    if (!transfer && majorFunction != IRP_MJ_FLUSH_BUFFERS && majorFunction != IRP_MJ_SHUTDOWN &&
        majorFunction != IRP_MJ_PNP && majorFunction != IRP_MJ_POWER)
        return nullptr;
    if (transfer && length != 0 && !buffer) return nullptr;

    emu::RequestFinish finish;
    finish.iosb = ioStatusBlock;
    finish.event = event;
    const bool buffered = transfer && (deviceObject->Flags & DO_BUFFERED_IO) != 0;
    if (buffered && majorFunction == IRP_MJ_READ) {
        finish.copyOutput = true;
        finish.callerOutput = buffer;
        finish.callerOutputLength = length;
    }

    PIRP irp = Io().AllocateBuiltIrp(deviceObject->StackSize, buffered ? length : 0, std::move(finish));
    if (!irp) return nullptr;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = static_cast<UCHAR>(majorFunction);
    if (transfer) {
        irp->UserBuffer = buffer;
        if (buffered && majorFunction == IRP_MJ_WRITE && length != 0)
            std::memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
        // Read and Write share one layout.
        stack->Parameters.Read.Length = length;
        stack->Parameters.Read.ByteOffset.QuadPart = startingOffset ? startingOffset->QuadPart : 0;
    }
    return irp;
}
