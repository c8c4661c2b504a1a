#include "usb_test_support.h"

#include <cstring>

#include "ke/clock.h"

namespace emu::testing {

// ---- UrbRequest -----------------------------------------------------------------------------------

UrbRequest::UrbRequest(PDEVICE_OBJECT pdo) : m_pdo(pdo), m_irp(IoAllocateIrp(pdo->StackSize, FALSE)) {}

UrbRequest::~UrbRequest()
{
    if (m_sent && !Done()) ADD_FAILURE() << "a URB is still pending at the end of the test";
    if (!m_sent || Done()) IoFreeIrp(m_irp);
}

NTSTATUS UrbRequest::Completed(PDEVICE_OBJECT, PIRP, PVOID context)
{
    auto* self = static_cast<UrbRequest*>(context);
    self->m_completionIrql = KeGetCurrentIrql();
    if (self->m_onCompletion) self->m_onCompletion();
    {
        std::lock_guard lock(self->m_mutex);
        self->m_done = true;
    }
    self->m_changed.notify_all();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS UrbRequest::Call(ULONG code, PVOID argument1)
{
    if (m_sent) IoReuseIrp(m_irp, STATUS_SUCCESS);
    m_sent = true;
    m_done = false;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(m_irp);
    stack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.Others.Argument1 = argument1;
    IoSetCompletionRoutine(m_irp, &UrbRequest::Completed, this, TRUE, TRUE, TRUE);
    return IoCallDriver(m_pdo, m_irp);
}

NTSTATUS UrbRequest::Send(URB& urb) { return Call(IOCTL_INTERNAL_USB_SUBMIT_URB, &urb); }

NTSTATUS UrbRequest::SendControl(ULONG code, PVOID argument1) { return Call(code, argument1); }

bool UrbRequest::Wait(std::chrono::milliseconds bound)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, bound, [&] { return m_done.load(); });
}

// ---- UsbHostTest ------------------------------------------------------------------------------------

MachineOptions UsbHostTest::Options() const
{
    MachineOptions options;
    options.clockScale = 0;  // time moves only when a test advances it
    return options;
}

void UsbHostTest::SetUp()
{
    MachineTest::SetUp();
    Bus().SetPaced(false);
}

std::shared_ptr<ScriptedUsbDevice> UsbHostTest::PlugScripted(const ScriptedUsbDevice::Description& description,
                                                             usb::UsbDevice** device, unsigned port)
{
    auto model = std::make_shared<ScriptedUsbDevice>(description);
    usb::UsbDevice* plugged = Host().Plug(model, port);
    EXPECT_NE(plugged, nullptr);
    if (device) *device = plugged;
    return model;
}

void UsbHostTest::Advance(usb::MachineTime time)
{
    Settle();
    machine().GetClock().Advance(time);
    Settle();
}

USBD_STATUS UsbHostTest::GetDescriptor(PDEVICE_OBJECT pdo, UCHAR type, UCHAR index, std::vector<uint8_t>& bytes,
                                       ULONG length)
{
    bytes.assign(length, 0);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                 type == USB_STRING_DESCRIPTOR_TYPE ? 0x0409 : 0, bytes.data(), nullptr, length, nullptr);
    UrbRequest request(pdo);
    request.Send(urb);
    EXPECT_TRUE(request.Wait());
    bytes.resize(urb.UrbControlDescriptorRequest.TransferBufferLength);
    return urb.UrbHeader.Status;
}

std::vector<uint8_t> UsbHostTest::ConfigurationDescriptor(PDEVICE_OBJECT pdo)
{
    std::vector<uint8_t> header;
    EXPECT_EQ(GetDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, header, 9), USBD_STATUS_SUCCESS);
    if (header.size() < 9) return {};
    std::vector<uint8_t> whole;
    EXPECT_EQ(GetDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, whole, header[2] | header[3] << 8),
              USBD_STATUS_SUCCESS);
    return whole;
}

UsbHostTest::Selection::~Selection()
{
    if (urb) ExFreePool(urb);
}

USBD_PIPE_HANDLE UsbHostTest::Selection::Pipe(uint8_t address) const
{
    for (PUSBD_INTERFACE_INFORMATION interface : interfaces)
        for (ULONG i = 0; i < interface->NumberOfPipes; ++i)
            if (interface->Pipes[i].EndpointAddress == address) return interface->Pipes[i].PipeHandle;
    return nullptr;
}

std::unique_ptr<UsbHostTest::Selection> UsbHostTest::SelectConfiguration(PDEVICE_OBJECT pdo, ULONG maximumTransferSize)
{
    auto selection = std::make_unique<Selection>();
    selection->configuration = ConfigurationDescriptor(pdo);
    auto* configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(selection->configuration.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (LONG number = 0; number < 8; ++number)
        if (PUSB_INTERFACE_DESCRIPTOR found =
                USBD_ParseConfigurationDescriptorEx(configuration, configuration, number, -1, -1, -1, -1))
            list.push_back({found, nullptr});
    list.push_back({nullptr, nullptr});
    selection->urb = USBD_CreateConfigurationRequestEx(configuration, list.data());
    for (size_t i = 0; i + 1 < list.size(); ++i) {
        PUSBD_INTERFACE_INFORMATION interface = list[i].Interface;
        for (ULONG pipe = 0; pipe < interface->NumberOfPipes; ++pipe)
            interface->Pipes[pipe].MaximumTransferSize = maximumTransferSize;
        selection->interfaces.push_back(interface);
    }
    UrbRequest request(pdo);
    request.Send(*selection->urb);
    EXPECT_TRUE(request.Wait());
    selection->status = selection->urb->UrbHeader.Status;
    return selection;
}

USBD_STATUS UsbHostTest::Vendor(PDEVICE_OBJECT pdo, bool in, UCHAR request, USHORT value, USHORT index,
                                std::vector<uint8_t>& data, ULONG flags, ULONG* transferred, USHORT function)
{
    URB urb{};
    UsbBuildVendorRequest(&urb, function, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          (in ? USBD_TRANSFER_DIRECTION_IN : 0) | flags, 0, request, value, index,
                          data.empty() ? nullptr : data.data(), nullptr, static_cast<ULONG>(data.size()), nullptr);
    UrbRequest sender(pdo);
    sender.Send(urb);
    EXPECT_TRUE(sender.Wait());
    if (transferred) *transferred = urb.UrbControlVendorClassRequest.TransferBufferLength;
    return urb.UrbHeader.Status;
}

USBD_STATUS UsbHostTest::PipeRequest(PDEVICE_OBJECT pdo, USHORT function, USBD_PIPE_HANDLE pipe)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = function;
    urb.UrbPipeRequest.PipeHandle = pipe;
    UrbRequest request(pdo);
    request.Send(urb);
    EXPECT_TRUE(request.Wait());
    return urb.UrbHeader.Status;
}

std::unique_ptr<UsbHostTest::PendingBulk> UsbHostTest::StartBulk(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG length,
                                                                 ULONG flags, std::vector<uint8_t> out)
{
    auto bulk = std::make_unique<PendingBulk>(pdo);
    bulk->buffer = out.empty() ? std::vector<uint8_t>(length, 0xEE) : std::move(out);
    UsbBuildInterruptOrBulkTransferRequest(&bulk->urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                           bulk->buffer.empty() ? nullptr : bulk->buffer.data(), nullptr,
                                           static_cast<ULONG>(bulk->buffer.size()), flags, nullptr);
    bulk->request.Send(bulk->urb);
    return bulk;
}

USBD_STATUS UsbHostTest::Bulk(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, std::vector<uint8_t>& data, ULONG flags,
                              NTSTATUS* irpStatus)
{
    auto bulk = StartBulk(pdo, pipe, static_cast<ULONG>(data.size()), flags, data);
    EXPECT_TRUE(bulk->request.Wait());
    data.assign(bulk->buffer.begin(), bulk->buffer.begin() + bulk->Transferred());
    if (irpStatus) *irpStatus = bulk->request.Status();
    return bulk->UrbStatus();
}

}  // namespace emu::testing
