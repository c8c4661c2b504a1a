#include "fake_usb_function.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "machine.h"

namespace cvusbtest {

namespace {

constexpr UCHAR kPacketSize = 64;

void PutShort(std::vector<uint8_t>& bytes, USHORT value)
{
    bytes.push_back(static_cast<uint8_t>(value));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
}

UCHAR InAddress(int interfaceNumber) { return static_cast<UCHAR>(0x81 + 2 * interfaceNumber); }
UCHAR OutAddress(int interfaceNumber) { return static_cast<UCHAR>(0x02 + 2 * interfaceNumber); }

}  // namespace

FakeUsbFunction::FakeUsbFunction(int interfaces, USHORT vendorId, USHORT productId)
    : m_interfaces(interfaces), m_vendorId(vendorId), m_productId(productId)
{
}

FakeUsbFunction::~FakeUsbFunction()
{
    // With the machine already gone, its IRPs went with it.
    if (!emu::Machine::TryCurrent()) return;
    std::vector<Pending> taken;
    {
        std::unique_lock lock(m_mutex);
        for (auto it = m_pending.begin(); it != m_pending.end();) {
            if (IoSetCancelRoutine(it->irp, nullptr) != nullptr) {
                taken.push_back(*it);
                it = m_pending.erase(it);
            } else {
                ++it;  // its cancel routine is on the way
            }
        }
        m_completing += taken.size();
    }
    for (const Pending& pending : taken) CompleteAtDispatch(pending.irp, pending.urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    std::unique_lock lock(m_mutex);
    if (!m_changed.wait_for(lock, std::chrono::seconds(10), [this] { return m_pending.empty() && m_completing == 0; }))
        ADD_FAILURE() << "FakeUsbFunction: a pending request never came back";
}

// ---- Descriptors ------------------------------------------------------------------------------------

std::vector<uint8_t> FakeUsbFunction::DeviceDescriptor() const
{
    std::vector<uint8_t> bytes = {18, USB_DEVICE_DESCRIPTOR_TYPE};
    PutShort(bytes, 0x0110);
    bytes.insert(bytes.end(), {m_class, m_subClass, m_protocol, 8});
    PutShort(bytes, m_vendorId);
    PutShort(bytes, m_productId);
    PutShort(bytes, 0x0600);
    bytes.insert(bytes.end(), {1, 2, 3, 1});
    return bytes;
}

std::vector<uint8_t> FakeUsbFunction::ConfigurationDescriptor() const
{
    std::vector<uint8_t> bytes = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE};
    PutShort(bytes, static_cast<USHORT>(9 + m_interfaces * (9 + 2 * 7)));
    bytes.insert(bytes.end(), {static_cast<uint8_t>(m_interfaces), 1, 0, 0x80, 45});
    for (int i = 0; i < m_interfaces; ++i) {
        bytes.insert(bytes.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, static_cast<uint8_t>(i), 0, 2, 0xFF, 0xFF, 0xFF, 0});
        for (UCHAR address : {InAddress(i), OutAddress(i)}) {
            bytes.insert(bytes.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, USB_ENDPOINT_TYPE_BULK});
            PutShort(bytes, kPacketSize);
            bytes.push_back(0);
        }
    }
    return bytes;
}

// ---- Dispatch ---------------------------------------------------------------------------------------

NTSTATUS FakeUsbFunction::Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) return SubmitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
        {
            std::lock_guard lock(m_mutex);
            ++m_portResets;
            m_changed.notify_all();
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS FakeUsbFunction::SubmitUrb(PIRP irp, PURB urb)
{
    {
        std::lock_guard lock(m_mutex);
        m_functions.push_back(urb->UrbHeader.Function);
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return GetDescriptor(irp, urb);
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(irp, urb);
    case URB_FUNCTION_VENDOR_INTERFACE:
        return Vendor(irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return Bulk(irp, urb);
    case URB_FUNCTION_RESET_PIPE:
        return PipeReset(irp, urb);
    default:
        return Complete(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS FakeUsbFunction::Complete(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS urbStatus)
{
    urb->UrbHeader.Status = urbStatus;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS FakeUsbFunction::GetDescriptor(PIRP irp, PURB urb)
{
    auto& request = urb->UrbControlDescriptorRequest;
    std::vector<uint8_t> bytes;
    if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && request.Index == 0)
        bytes = DeviceDescriptor();
    else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0)
        bytes = ConfigurationDescriptor();
    else
        return Complete(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    ULONG length = std::min<ULONG>(request.TransferBufferLength, static_cast<ULONG>(bytes.size()));
    std::memcpy(request.TransferBuffer, bytes.data(), length);
    request.TransferBufferLength = length;
    return Complete(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS FakeUsbFunction::SelectConfiguration(PIRP irp, PURB urb)
{
    std::unique_lock lock(m_mutex);
    if (m_failSelection) {
        lock.unlock();
        return Complete(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_SET_CONFIG_FAILED);
    }
    ++m_selections;
    m_pipes.clear();  // handles of an earlier selection are no longer valid
    auto& select = urb->UrbSelectConfiguration;
    select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(m_nextHandle++);
    PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    PUSBD_INTERFACE_INFORMATION info = &select.Interface;
    while (reinterpret_cast<PUCHAR>(info) < end && info->Length != 0) {
        int number = info->InterfaceNumber;
        if (number >= m_interfaces || info->NumberOfPipes != 2) {
            lock.unlock();
            return Complete(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_INVALID_PARAMETER);
        }
        info->Class = info->SubClass = info->Protocol = 0xFF;
        info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(m_nextHandle++);
        UCHAR addresses[2] = {InAddress(number), OutAddress(number)};
        for (ULONG p = 0; p < 2; ++p) {
            USBD_PIPE_INFORMATION& pipe = info->Pipes[p];
            pipe.EndpointAddress = addresses[p];
            pipe.MaximumPacketSize = kPacketSize;
            pipe.Interval = 0;
            pipe.PipeType = UsbdPipeTypeBulk;
            pipe.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(m_nextHandle++);
            m_pipes.push_back({info->InterfaceNumber, pipe.EndpointAddress, pipe.MaximumTransferSize, pipe.PipeHandle});
        }
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
    }
    lock.unlock();
    return Complete(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS FakeUsbFunction::Vendor(PIRP irp, PURB urb)
{
    auto& request = urb->UrbControlVendorClassRequest;
    bool in = USBD_TRANSFER_DIRECTION_FLAG(request.TransferFlags) != 0;
    VendorOutcome outcome = VendorOutcome::Succeed;
    std::vector<uint8_t> data;
    {
        std::lock_guard lock(m_mutex);
        m_vendors.push_back({request.Request, request.Value, request.Index, in, request.TransferBufferLength});
        if (!m_script.empty()) {
            outcome = m_script.front();
            m_script.pop_front();
        }
        for (auto& [number, bytes] : m_inData)
            if (number == request.Request) data = bytes;
        m_changed.notify_all();
    }
    switch (outcome) {
    case VendorOutcome::XactError:
        return Complete(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_XACT_ERROR);
    case VendorOutcome::Stall:
        return Complete(irp, urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    case VendorOutcome::DeviceGone:
        return Complete(irp, urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    case VendorOutcome::Hang:
        return Pend(irp, urb, PendKind::Vendor);
    case VendorOutcome::Succeed:
        break;
    }
    if (in && request.TransferBuffer != nullptr) {
        std::memset(request.TransferBuffer, 0, request.TransferBufferLength);
        if (!data.empty())
            std::memcpy(request.TransferBuffer, data.data(), std::min<size_t>(data.size(), request.TransferBufferLength));
    }
    return Complete(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

bool FakeUsbFunction::IsInPipe(USBD_PIPE_HANDLE handle) const
{
    for (const SelectedPipe& pipe : m_pipes)
        if (pipe.handle == handle) return (pipe.endpointAddress & 0x80) != 0;
    return false;
}

NTSTATUS FakeUsbFunction::Bulk(PIRP irp, PURB urb)
{
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    std::unique_lock lock(m_mutex);
    bool known = std::any_of(m_pipes.begin(), m_pipes.end(), [&](const SelectedPipe& p) { return p.handle == transfer.PipeHandle; });
    if (!known) {
        lock.unlock();
        return Complete(irp, urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    if (IsInPipe(transfer.PipeHandle)) {
        m_inLengths.push_back(transfer.TransferBufferLength);
        lock.unlock();
        return Pend(irp, urb, PendKind::BulkIn);
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(transfer.TransferBuffer);
    m_out.emplace_back(bytes, bytes + transfer.TransferBufferLength);
    m_changed.notify_all();
    if (m_outHang) {
        lock.unlock();
        return Pend(irp, urb, PendKind::BulkOut);
    }
    if (m_outAccept) transfer.TransferBufferLength = std::min(transfer.TransferBufferLength, *m_outAccept);
    lock.unlock();
    return Complete(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS FakeUsbFunction::PipeReset(PIRP irp, PURB urb)
{
    {
        std::lock_guard lock(m_mutex);
        m_pipeResets.push_back(urb->UrbPipeRequest.PipeHandle);
    }
    return Complete(irp, urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

// ---- Pending requests -----------------------------------------------------------------------------

NTSTATUS FakeUsbFunction::Pend(PIRP irp, PURB urb, PendKind kind)
{
    IoMarkIrpPending(irp);
    irp->Tail.Overlay.DriverContext[0] = this;
    irp->Tail.Overlay.DriverContext[1] = urb;
    std::unique_lock lock(m_mutex);
    IoSetCancelRoutine(irp, &FakeUsbFunction::CancelRoutine);
    // Cancelled before the routine was in place: the request ends here.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        lock.unlock();
        if (kind == PendKind::BulkOut) urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        Complete(irp, urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
        return STATUS_PENDING;
    }
    m_pending.push_back({irp, urb, kind});
    m_changed.notify_all();
    return STATUS_PENDING;
}

void FakeUsbFunction::CancelRoutine(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* self = static_cast<FakeUsbFunction*>(irp->Tail.Overlay.DriverContext[0]);
    auto urb = static_cast<PURB>(irp->Tail.Overlay.DriverContext[1]);
    PendKind kind = PendKind::Vendor;
    {
        std::lock_guard lock(self->m_mutex);
        for (auto it = self->m_pending.begin(); it != self->m_pending.end(); ++it) {
            if (it->irp == irp) {
                kind = it->kind;
                self->m_pending.erase(it);
                break;
            }
        }
        ++self->m_completing;
    }
    // Nothing of a held bulk OUT was taken.
    if (kind == PendKind::BulkOut) urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    if (kind == PendKind::BulkIn) urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    self->CompleteAtDispatch(irp, urb, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

std::optional<FakeUsbFunction::Pending> FakeUsbFunction::Take(PendKind kind)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->kind != kind) continue;
        if (IoSetCancelRoutine(it->irp, nullptr) == nullptr) continue;  // being cancelled
        Pending pending = *it;
        m_pending.erase(it);
        ++m_completing;
        return pending;
    }
    return std::nullopt;
}

void FakeUsbFunction::CompleteAtDispatch(PIRP irp, PURB urb, NTSTATUS status, USBD_STATUS urbStatus)
{
    urb->UrbHeader.Status = urbStatus;
    irp->IoStatus.Status = status;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
    std::lock_guard lock(m_mutex);
    --m_completing;
    m_changed.notify_all();
}

bool FakeUsbFunction::CompleteBulkIn(const std::vector<uint8_t>& data)
{
    std::optional<Pending> pending = Take(PendKind::BulkIn);
    if (!pending) return false;
    auto& transfer = pending->urb->UrbBulkOrInterruptTransfer;
    ULONG length = std::min<ULONG>(transfer.TransferBufferLength, static_cast<ULONG>(data.size()));
    if (length != 0) std::memcpy(transfer.TransferBuffer, data.data(), length);
    transfer.TransferBufferLength = length;
    CompleteAtDispatch(pending->irp, pending->urb, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    return true;
}

bool FakeUsbFunction::FailBulkIn(USBD_STATUS urbStatus, NTSTATUS status)
{
    std::optional<Pending> pending = Take(PendKind::BulkIn);
    if (!pending) return false;
    pending->urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    CompleteAtDispatch(pending->irp, pending->urb, status, urbStatus);
    return true;
}

// ---- Scripting and records ----------------------------------------------------------------------------

void FakeUsbFunction::SetDeviceClass(UCHAR deviceClass, UCHAR subClass, UCHAR protocol)
{
    std::lock_guard lock(m_mutex);
    m_class = deviceClass;
    m_subClass = subClass;
    m_protocol = protocol;
}

void FakeUsbFunction::ScriptVendor(std::vector<VendorOutcome> outcomes)
{
    std::lock_guard lock(m_mutex);
    m_script.assign(outcomes.begin(), outcomes.end());
}

void FakeUsbFunction::SetVendorInData(UCHAR request, std::vector<uint8_t> data)
{
    std::lock_guard lock(m_mutex);
    m_inData.emplace_back(request, std::move(data));
}

void FakeUsbFunction::SetBulkOutAccept(std::optional<ULONG> bytes)
{
    std::lock_guard lock(m_mutex);
    m_outAccept = bytes;
}

void FakeUsbFunction::SetBulkOutHang(bool hang)
{
    std::lock_guard lock(m_mutex);
    m_outHang = hang;
}

void FakeUsbFunction::FailSelection(bool fail)
{
    std::lock_guard lock(m_mutex);
    m_failSelection = fail;
}

size_t FakeUsbFunction::PendingBulkIn() const
{
    std::lock_guard lock(m_mutex);
    return std::count_if(m_pending.begin(), m_pending.end(), [](const Pending& p) { return p.kind == PendKind::BulkIn; });
}

bool FakeUsbFunction::WaitForPendingBulkIn(size_t count, std::chrono::milliseconds bound) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, bound, [&] {
        return static_cast<size_t>(std::count_if(m_pending.begin(), m_pending.end(),
                                                 [](const Pending& p) { return p.kind == PendKind::BulkIn; })) >= count;
    });
}

bool FakeUsbFunction::WaitForPending(size_t count, std::chrono::milliseconds bound) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, bound, [&] { return m_pending.size() >= count; });
}

size_t FakeUsbFunction::PendingCount() const
{
    std::lock_guard lock(m_mutex);
    return m_pending.size();
}

bool FakeUsbFunction::WaitForVendorRequests(size_t count, std::chrono::milliseconds bound) const
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, bound, [&] { return m_vendors.size() >= count; });
}

std::vector<ULONG> FakeUsbFunction::BulkInLengths() const
{
    std::lock_guard lock(m_mutex);
    return m_inLengths;
}

std::vector<USHORT> FakeUsbFunction::UrbFunctions() const
{
    std::lock_guard lock(m_mutex);
    return m_functions;
}

std::vector<VendorRecord> FakeUsbFunction::VendorRequests() const
{
    std::lock_guard lock(m_mutex);
    return m_vendors;
}

std::vector<SelectedPipe> FakeUsbFunction::SelectedPipes() const
{
    std::lock_guard lock(m_mutex);
    return m_pipes;
}

std::vector<std::vector<uint8_t>> FakeUsbFunction::BulkOut() const
{
    std::lock_guard lock(m_mutex);
    return m_out;
}

std::vector<USBD_PIPE_HANDLE> FakeUsbFunction::PipeResets() const
{
    std::lock_guard lock(m_mutex);
    return m_pipeResets;
}

size_t FakeUsbFunction::PortResets() const
{
    std::lock_guard lock(m_mutex);
    return m_portResets;
}

size_t FakeUsbFunction::Selections() const
{
    std::lock_guard lock(m_mutex);
    return m_selections;
}

}  // namespace cvusbtest
