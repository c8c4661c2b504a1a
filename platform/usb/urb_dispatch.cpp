#include "urb_dispatch.h"

#include <usbioctl.h>

#include <memory>
#include <mutex>

#include "usb_device.h"
#include "usb_host.h"

namespace emu::usb {

namespace {

NTSTATUS Fail(PIRP irp, PURB urb, USBD_STATUS status) { return TransferBook::CompleteNow(irp, urb, status); }

// The transfer buffer: the URB's pointer, else the memory its MDL describes.
uint8_t* BufferOf(PVOID buffer, PMDL mdl)
{
    if (buffer) return static_cast<uint8_t*>(buffer);
    if (!mdl) return nullptr;
    if (mdl->MappedSystemVa) return static_cast<uint8_t*>(mdl->MappedSystemVa);
    return static_cast<uint8_t*>(mdl->StartVa) + mdl->ByteOffset;
}

bool Unusable(const UrbTarget& target) { return target.removed || target.device.IsGone(); }

// Under the lock: counts the request, attaches the fault it draws, and queues it on its pipe.
NTSTATUS Enqueue(const UrbTarget& target, std::unique_lock<std::mutex>& lock, std::unique_ptr<Transfer> transfer)
{
    UsbHost& host = target.host;
    transfer->fault = target.device.TakeFault(transfer->kind, transfer->pipe->address);
    if (transfer->fault && transfer->fault->action == Fault::Action::Drop) transfer->state = TransferState::Dropped;
    transfer->eligibleFrom = host.Scheduler().EligibleFrom(host.Now());
    Transfer* queued = transfer.release();
    const bool pending = host.Transfers().Queue(queued);
    lock.unlock();
    if (pending)
        host.Scheduler().Kick();
    else
        TransferBook::CompleteCancelled(queued);
    return STATUS_PENDING;
}

struct ControlRequest {
    SetupPacket setup;
    PVOID buffer = nullptr;
    PMDL mdl = nullptr;
    ULONG* lengthField = nullptr;  // the URB's TransferBufferLength (null: no data stage)
    bool shortOk = true;
};

NTSTATUS SubmitControl(const UrbTarget& target, PIRP irp, PURB urb, const ControlRequest& request)
{
    const ULONG length = request.lengthField ? *request.lengthField : 0;
    uint8_t* data = BufferOf(request.buffer, request.mdl);
    if ((length && !data) || length > 0xFFFF) return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    auto transfer = std::make_unique<Transfer>();
    transfer->irp = irp;
    transfer->urb = urb;
    transfer->device = &target.device;
    transfer->kind = RequestKind::Control;
    transfer->setup = request.setup;
    transfer->setup.length = static_cast<uint16_t>(length);
    transfer->in = request.setup.IsIn();
    transfer->shortOk = request.shortOk;
    transfer->buffer = data;
    transfer->length = length;
    transfer->lengthField = request.lengthField;
    if (target.scope) transfer->scope = target.scope->interfaces;

    std::unique_lock lock(target.host.Mutex());
    if (Unusable(target)) {
        lock.unlock();
        return Fail(irp, urb, USBD_STATUS_DEVICE_GONE);
    }
    transfer->pipe = &target.device.ControlPipe();
    return Enqueue(target, lock, std::move(transfer));
}

NTSTATUS SubmitBulk(const UrbTarget& target, PIRP irp, PURB urb)
{
    auto& bulk = urb->UrbBulkOrInterruptTransfer;
    if (urb->UrbHeader.Length < sizeof(bulk)) return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    uint8_t* data = BufferOf(bulk.TransferBuffer, bulk.TransferBufferMDL);
    if (bulk.TransferBufferLength && !data) return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);

    std::unique_lock lock(target.host.Mutex());
    USBD_STATUS refusal = USBD_STATUS_SUCCESS;
    Pipe* pipe = nullptr;
    if (Unusable(target)) {
        refusal = USBD_STATUS_DEVICE_GONE;
    } else if (!(pipe = target.device.FindPipe(bulk.PipeHandle, target.scope))) {
        refusal = USBD_STATUS_INVALID_PIPE_HANDLE;
    } else if (pipe->type != USB_ENDPOINT_TYPE_BULK && pipe->type != USB_ENDPOINT_TYPE_INTERRUPT) {
        refusal = USBD_STATUS_INVALID_PARAMETER;
    } else if (bulk.TransferBufferLength > pipe->maximumTransferSize) {
        refusal = USBD_STATUS_INVALID_PARAMETER;  // honoured as Windows 2000 honours it
    }
    if (!USBD_SUCCESS(refusal)) {
        lock.unlock();
        return Fail(irp, urb, refusal);
    }
    auto transfer = std::make_unique<Transfer>();
    transfer->irp = irp;
    transfer->urb = urb;
    transfer->device = &target.device;
    transfer->pipe = pipe;
    transfer->kind = pipe->IsIn() ? RequestKind::BulkIn : RequestKind::BulkOut;
    transfer->in = pipe->IsIn();
    transfer->shortOk = (bulk.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    transfer->buffer = data;
    transfer->length = bulk.TransferBufferLength;
    transfer->lengthField = &bulk.TransferBufferLength;
    return Enqueue(target, lock, std::move(transfer));
}

uint8_t RecipientOf(USHORT function)
{
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_CLASS_INTERFACE: return kRecipientInterface;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_ENDPOINT: return kRecipientEndpoint;
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_OTHER: return kRecipientOther;
    default: return kRecipientDevice;
    }
}

NTSTATUS SubmitDescriptorRequest(const UrbTarget& target, PIRP irp, PURB urb, bool get)
{
    auto& request = urb->UrbControlDescriptorRequest;
    if (urb->UrbHeader.Length < sizeof(request)) return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    ControlRequest control;
    control.setup.requestType =
        static_cast<uint8_t>((get ? kRequestDirectionIn : 0) | RecipientOf(urb->UrbHeader.Function));
    control.setup.request = get ? USB_REQUEST_GET_DESCRIPTOR : USB_REQUEST_SET_DESCRIPTOR;
    control.setup.value = static_cast<uint16_t>(request.DescriptorType << 8 | request.Index);
    control.setup.index = request.LanguageId;
    control.buffer = request.TransferBuffer;
    control.mdl = request.TransferBufferMDL;
    control.lengthField = &request.TransferBufferLength;
    return SubmitControl(target, irp, urb, control);
}

NTSTATUS SubmitStatusRequest(const UrbTarget& target, PIRP irp, PURB urb)
{
    auto& request = urb->UrbControlGetStatusRequest;
    if (urb->UrbHeader.Length < sizeof(request) || request.TransferBufferLength != sizeof(USHORT))
        return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    ControlRequest control;
    control.setup.requestType = static_cast<uint8_t>(kRequestDirectionIn | RecipientOf(urb->UrbHeader.Function));
    control.setup.request = USB_REQUEST_GET_STATUS;
    control.setup.index = request.Index;
    control.buffer = request.TransferBuffer;
    control.mdl = request.TransferBufferMDL;
    control.lengthField = &request.TransferBufferLength;
    return SubmitControl(target, irp, urb, control);
}

NTSTATUS SubmitFeatureRequest(const UrbTarget& target, PIRP irp, PURB urb, bool set)
{
    auto& request = urb->UrbControlFeatureRequest;
    if (urb->UrbHeader.Length < sizeof(request)) return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    ControlRequest control;
    control.setup.requestType = RecipientOf(urb->UrbHeader.Function);
    control.setup.request = set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE;
    control.setup.value = request.FeatureSelector;
    control.setup.index = request.Index;
    return SubmitControl(target, irp, urb, control);
}

NTSTATUS SubmitVendorOrClass(const UrbTarget& target, PIRP irp, PURB urb)
{
    auto& request = urb->UrbControlVendorClassRequest;
    if (urb->UrbHeader.Length < sizeof(request)) return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    const USHORT function = urb->UrbHeader.Function;
    const bool vendor = function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_VENDOR_INTERFACE ||
                        function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    ControlRequest control;
    control.setup.requestType = static_cast<uint8_t>((in ? kRequestDirectionIn : 0) |
                                                     (vendor ? kRequestTypeVendor : kRequestTypeClass) |
                                                     RecipientOf(function) | request.RequestTypeReservedBits);
    control.setup.request = request.Request;
    control.setup.value = request.Value;
    control.setup.index = request.Index;
    control.buffer = request.TransferBuffer;
    control.mdl = request.TransferBufferMDL;
    control.lengthField = &request.TransferBufferLength;
    control.shortOk = (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    return SubmitControl(target, irp, urb, control);
}

NTSTATUS SubmitRawControl(const UrbTarget& target, PIRP irp, PURB urb)
{
    auto& request = urb->UrbControlTransfer;
    if (urb->UrbHeader.Length < sizeof(request)) return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    // Only the default pipe carries control transfers here.
    if (request.PipeHandle && !(request.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER))
        return Fail(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
    ControlRequest control;
    const UCHAR* packet = request.SetupPacket;
    control.setup.requestType = packet[0];
    control.setup.request = packet[1];
    control.setup.value = static_cast<uint16_t>(packet[2] | packet[3] << 8);
    control.setup.index = static_cast<uint16_t>(packet[4] | packet[5] << 8);
    // The host keeps addresses and configurations to itself.
    const bool standard = (control.setup.requestType & kRequestTypeMask) == kRequestTypeStandard;
    if (standard && (control.setup.request == USB_REQUEST_SET_ADDRESS || control.setup.request == USB_REQUEST_SET_CONFIGURATION ||
                     control.setup.request == USB_REQUEST_SET_INTERFACE))
        return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    control.buffer = request.TransferBuffer;
    control.mdl = request.TransferBufferMDL;
    control.lengthField = &request.TransferBufferLength;
    control.shortOk = (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0 || standard;
    return SubmitControl(target, irp, urb, control);
}

NTSTATUS SubmitSingleByteRequest(const UrbTarget& target, PIRP irp, PURB urb, bool configuration)
{
    // GET_CONFIGURATION and GET_INTERFACE answer one byte.
    auto& request = urb->UrbControlGetInterfaceRequest;
    if (urb->UrbHeader.Length < sizeof(request) || request.TransferBufferLength != 1)
        return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    ControlRequest control;
    control.setup.requestType = static_cast<uint8_t>(kRequestDirectionIn | (configuration ? 0 : kRecipientInterface));
    control.setup.request = configuration ? USB_REQUEST_GET_CONFIGURATION : USB_REQUEST_GET_INTERFACE;
    control.setup.index = configuration ? 0 : request.Interface;
    control.buffer = request.TransferBuffer;
    control.mdl = request.TransferBufferMDL;
    control.lengthField = &request.TransferBufferLength;
    return SubmitControl(target, irp, urb, control);
}

// A selection: the closed pipes' transfers fail (cancelled) before the selection completes.
template <class Select>
NTSTATUS Selection(const UrbTarget& target, PIRP irp, PURB urb, size_t minimum, Select select)
{
    if (urb->UrbHeader.Length < minimum) return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    std::vector<Transfer*> ready;
    USBD_STATUS status;
    {
        std::lock_guard lock(target.host.Mutex());
        if (Unusable(target)) {
            status = USBD_STATUS_DEVICE_GONE;
        } else {
            std::vector<Pipe*> closed;
            status = select(closed, target.host.Now());
            for (Pipe* pipe : closed) target.host.Transfers().TakeAll(*pipe, USBD_STATUS_CANCELED, ready);
        }
    }
    TransferBook::Complete(ready);
    return Fail(irp, urb, status);
}

// Abort and reset of a pipe, under the lock.
NTSTATUS PipeRequest(const UrbTarget& target, PIRP irp, PURB urb)
{
    if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    const USHORT function = urb->UrbHeader.Function;
    std::vector<Transfer*> ready;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    {
        std::lock_guard lock(target.host.Mutex());
        Pipe* pipe = nullptr;
        if (Unusable(target)) {
            status = USBD_STATUS_DEVICE_GONE;
        } else if (!(pipe = target.device.FindPipe(urb->UrbPipeRequest.PipeHandle, target.scope))) {
            status = USBD_STATUS_INVALID_PIPE_HANDLE;
        } else if (function == URB_FUNCTION_ABORT_PIPE) {
            target.host.Transfers().TakeAll(*pipe, USBD_STATUS_CANCELED, ready);
        } else {
            // Reset: the host's halt goes (and the data toggle); the device is told to clear its own
            // halt unless only the pipe is reset.
            pipe->halted = false;
            pipe->retryAt = 0;
            if (function != URB_FUNCTION_SYNC_RESET_PIPE) {
                target.device.ClearStall(pipe->address);
                target.device.Model().HaltCleared(pipe->address, target.host.Now());
            }
        }
    }
    TransferBook::Complete(ready);
    target.host.Scheduler().Kick();
    return Fail(irp, urb, status);
}

NTSTATUS FrameNumber(const UrbTarget& target, PIRP irp, PURB urb)
{
    if (urb->UrbHeader.Length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER))
        return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    urb->UrbGetCurrentFrameNumber.FrameNumber = BusScheduler::FrameAt(target.host.Now());
    return Fail(irp, urb, Unusable(target) ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_SUCCESS);
}

NTSTATUS SubmitUrb(const UrbTarget& target, PIRP irp, PURB urb)
{
    if (!urb || urb->UrbHeader.Length < sizeof(struct _URB_HEADER)) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    UsbDevice& device = target.device;
    const FunctionScope* scope = target.scope;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        auto& select = urb->UrbSelectConfiguration;
        const size_t minimum = select.ConfigurationDescriptor ? sizeof(select) : offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        return Selection(target, irp, urb, minimum, [&](std::vector<Pipe*>& closed, MachineTime now) {
            return device.SelectConfiguration(select, scope, closed, now);
        });
    }
    case URB_FUNCTION_SELECT_INTERFACE:
        return Selection(target, irp, urb, sizeof(struct _URB_SELECT_INTERFACE),
                         [&](std::vector<Pipe*>& closed, MachineTime now) {
                             return device.SelectInterface(urb->UrbSelectInterface, scope, closed, now);
                         });
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return PipeRequest(target, irp, urb);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: return FrameNumber(target, irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return SubmitBulk(target, irp, urb);
    case URB_FUNCTION_CONTROL_TRANSFER: return SubmitRawControl(target, irp, urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT: return SubmitDescriptorRequest(target, irp, urb, true);
    case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
    case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT: return SubmitDescriptorRequest(target, irp, urb, false);
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER: return SubmitStatusRequest(target, irp, urb);
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER: return SubmitFeatureRequest(target, irp, urb, true);
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER: return SubmitFeatureRequest(target, irp, urb, false);
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: return SubmitVendorOrClass(target, irp, urb);
    case URB_FUNCTION_GET_CONFIGURATION: return SubmitSingleByteRequest(target, irp, urb, true);
    case URB_FUNCTION_GET_INTERFACE: return SubmitSingleByteRequest(target, irp, urb, false);
    case URB_FUNCTION_ISOCH_TRANSFER:
    case URB_FUNCTION_TAKE_FRAME_LENGTH_CONTROL:
    case URB_FUNCTION_RELEASE_FRAME_LENGTH_CONTROL:
    case URB_FUNCTION_GET_FRAME_LENGTH:
    case URB_FUNCTION_SET_FRAME_LENGTH: return Fail(irp, urb, USBD_STATUS_NOT_SUPPORTED);
    default: return Fail(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS ResetPort(const UrbTarget& target, PIRP irp)
{
    bool connected = false;
    {
        std::lock_guard lock(target.host.Mutex());
        if (!Unusable(target)) {
            connected = true;
            UsbDevice& device = target.device;
            device.CountPortReset();
            // The device's endpoints start over: no halt survives a port reset. What waits stays queued.
            for (Pipe* pipe : device.Pipes()) {
                pipe->halted = false;
                pipe->retryAt = 0;
                device.ClearStall(pipe->address);
            }
            device.Model().PortReset(target.host.Now());
            // The hub gives the device its address and configuration back, as Windows does after
            // a reset a driver asked for: the handles the driver holds stay valid.
            device.RestoreSelection(target.host.Now());
        }
    }
    if (!connected) return CompleteIrp(irp, STATUS_DEVICE_NOT_CONNECTED);
    target.host.Scheduler().Kick();
    return CompleteIrp(irp, STATUS_SUCCESS);
}

NTSTATUS PortStatus(const UrbTarget& target, PIRP irp)
{
    auto* status = static_cast<PULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    if (!status) return CompleteIrp(irp, STATUS_INVALID_PARAMETER);
    bool gone = false;
    {
        std::lock_guard lock(target.host.Mutex());
        gone = target.device.IsGone();
    }
    *status = gone ? 0 : USBD_PORT_CONNECTED | USBD_PORT_ENABLED;
    return CompleteIrp(irp, STATUS_SUCCESS);
}

}  // namespace

NTSTATUS DispatchInternalDeviceControl(const UrbTarget& target, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB: return SubmitUrb(target, irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_RESET_PORT: return ResetPort(target, irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: return PortStatus(target, irp);
    default: return CompleteIrp(irp, STATUS_NOT_SUPPORTED);
    }
}

}  // namespace emu::usb
