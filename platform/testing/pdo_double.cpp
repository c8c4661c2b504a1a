#include "pdo_double.h"

#include "test_driver.h"

namespace emu::testing {

NTSTATUS AcceptingPdoPnp(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
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
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        caps->Removable = TRUE;
        caps->SurpriseRemovalOK = TRUE;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state)
            caps->DeviceState[state] = PowerDeviceD3;
        status = STATUS_SUCCESS;
        break;
    }
    default:
        break;
    }
    return TestDriver::Complete(irp, status, irp->IoStatus.Information);
}

NTSTATUS AcceptingPdoPower(PDEVICE_OBJECT, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    return TestDriver::Complete(irp, STATUS_SUCCESS, irp->IoStatus.Information);
}

DeviceControlResult SendDeviceControl(PDEVICE_OBJECT device, ULONG code, const std::vector<uint8_t>& input,
                                      ULONG outputLength, bool internal)
{
    DeviceControlResult result;
    std::vector<uint8_t> in = input;
    result.output.assign(outputLength, 0);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, in.empty() ? nullptr : in.data(),
                                             static_cast<ULONG>(in.size()),
                                             result.output.empty() ? nullptr : result.output.data(), outputLength,
                                             internal ? TRUE : FALSE, &event, &ioStatus);
    if (!irp) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    result.status = status;
    result.information = ioStatus.Information;
    return result;
}

}  // namespace emu::testing
