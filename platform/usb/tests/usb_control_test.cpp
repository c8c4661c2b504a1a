// Requests on the default pipe and the host's own answers: descriptors, configuration selection and
// its handles, vendor requests, the MaximumTransferSize rule of each Windows version, the port
// requests and the frame number.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "usb_test_support.h"

namespace emu::testing {
namespace {

class UsbControlTest : public UsbHostTest {
protected:
    void SetUp() override
    {
        UsbHostTest::SetUp();
        ScriptedUsbDevice::Description description = ScriptedUsbDevice::SingleInterface(0x0403, 0x6001);
        description.manufacturer = u"Maker";
        m_model = PlugScripted(description, &m_device);
        m_pdo = m_device->Pdo();
    }

    std::shared_ptr<ScriptedUsbDevice> m_model;
    usb::UsbDevice* m_device = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
};

TEST_F(UsbControlTest, DescriptorsComeAsTheDeviceSendsThemAndAMissingOneStalls)
{
    struct Case {
        UCHAR type, index;
        ULONG length;
        USBD_STATUS status;
        std::vector<uint8_t> expected;
    };
    const std::vector<uint8_t> device = m_model->DeviceDescriptor();
    const std::vector<uint8_t> configuration = m_model->ConfigurationDescriptor(0);
    const Case cases[] = {
        {USB_DEVICE_DESCRIPTOR_TYPE, 0, 18, USBD_STATUS_SUCCESS, device},
        {USB_DEVICE_DESCRIPTOR_TYPE, 0, 64, USBD_STATUS_SUCCESS, device},  // a descriptor may come short
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 9, USBD_STATUS_SUCCESS,
         std::vector<uint8_t>(configuration.begin(), configuration.begin() + 9)},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 255, USBD_STATUS_SUCCESS, configuration},
        {USB_STRING_DESCRIPTOR_TYPE, 1, 255, USBD_STATUS_SUCCESS, {12, 3, 'M', 0, 'a', 0, 'k', 0, 'e', 0, 'r', 0}},
        {USB_STRING_DESCRIPTOR_TYPE, 9, 255, USBD_STATUS_STALL_PID, {}},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 255, USBD_STATUS_STALL_PID, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "type " << int(c.type) << " index " << int(c.index) << " length " << c.length);
        std::vector<uint8_t> bytes;
        EXPECT_EQ(GetDescriptor(m_pdo, c.type, c.index, bytes, c.length), c.status);
        EXPECT_EQ(bytes, c.expected);
    }
}

TEST_F(UsbControlTest, SelectionFillsTheRecordsAndALaterOneMakesEarlierHandlesStale)
{
    std::unique_ptr<Selection> first = SelectConfiguration(m_pdo);
    ASSERT_EQ(first->status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(m_model->ConfigurationValue(), 1);
    EXPECT_NE(first->urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    PUSBD_INTERFACE_INFORMATION interface = first->interfaces.at(0);
    EXPECT_NE(interface->InterfaceHandle, nullptr);
    EXPECT_EQ(interface->Class, 0xFF);
    ASSERT_EQ(interface->NumberOfPipes, 2u);
    EXPECT_EQ(interface->Pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(interface->Pipes[1].EndpointAddress, 0x02);
    EXPECT_EQ(interface->Pipes[0].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(interface->Pipes[0].MaximumPacketSize, 64);
    EXPECT_NE(interface->Pipes[0].PipeHandle, interface->Pipes[1].PipeHandle);

    // A transfer waiting on the old pipe is cancelled by the new selection.
    auto waiting = StartBulk(m_pdo, first->Pipe(0x81), 64, USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN);
    std::unique_ptr<Selection> second = SelectConfiguration(m_pdo);
    ASSERT_EQ(second->status, USBD_STATUS_SUCCESS);
    ASSERT_TRUE(waiting->request.Wait());
    EXPECT_EQ(waiting->UrbStatus(), USBD_STATUS_CANCELED);
    EXPECT_EQ(waiting->request.Status(), STATUS_CANCELLED);
    EXPECT_NE(second->Pipe(0x02), first->Pipe(0x02));

    std::vector<uint8_t> data{1, 2, 3};
    NTSTATUS irpStatus = STATUS_SUCCESS;
    EXPECT_EQ(Bulk(m_pdo, first->Pipe(0x02), data, 0, &irpStatus), USBD_STATUS_INVALID_PIPE_HANDLE);
    EXPECT_EQ(irpStatus, STATUS_INVALID_PARAMETER);
    data = {1, 2, 3};
    EXPECT_EQ(Bulk(m_pdo, second->Pipe(0x02), data), USBD_STATUS_SUCCESS);
    EXPECT_EQ(m_model->TakeOut(0x02), (std::vector<uint8_t>{1, 2, 3}));

    // Unconfigured, no pipe handle is good any more.
    URB unconfigure{};
    UsbBuildSelectConfigurationRequest(&unconfigure, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    UrbRequest request(m_pdo);
    request.Send(unconfigure);
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(unconfigure.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(m_model->ConfigurationValue(), 0);
    EXPECT_EQ(Bulk(m_pdo, second->Pipe(0x02), data), USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbControlTest, SelectionRefusesRecordsThatDoNotFitTheConfiguration)
{
    struct Case {
        const char* name;
        void (*spoil)(PURB urb);
        USBD_STATUS status;
    };
    const Case cases[] = {
        {"unknown configuration value", [](PURB urb) { urb->UrbSelectConfiguration.ConfigurationDescriptor->bConfigurationValue = 7; },
         USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR},
        {"unknown interface", [](PURB urb) { urb->UrbSelectConfiguration.Interface.InterfaceNumber = 3; },
         USBD_STATUS_INTERFACE_NOT_FOUND},
        {"record too short for its pipes",
         [](PURB urb) { urb->UrbSelectConfiguration.Interface.Length = GET_USBD_INTERFACE_SIZE(1); },
         USBD_STATUS_BUFFER_TOO_SMALL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> configuration = ConfigurationDescriptor(m_pdo);
        auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
        USBD_INTERFACE_LIST_ENTRY list[] = {
            {USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, 0, -1, -1, -1, -1), nullptr}, {nullptr, nullptr}};
        PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list);
        c.spoil(urb);
        UrbRequest request(m_pdo);
        request.Send(*urb);
        ASSERT_TRUE(request.Wait());
        EXPECT_EQ(urb->UrbHeader.Status, c.status);
        EXPECT_EQ(request.Status(), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(m_model->ConfigurationValue(), 0);
        ExFreePool(urb);
    }
}

TEST_F(UsbControlTest, VendorRequestsReachTheModelInBothDirectionsWithTheShortPacketRule)
{
    m_model->SetControlHandler([](const usb::SetupPacket& setup, const std::vector<uint8_t>&) {
        if (setup.request == 9) return usb::ControlReply::Stall();
        if (setup.IsIn())
            return usb::ControlReply::Ack(setup.request == 5 ? std::vector<uint8_t>{0x11, 0x60} : std::vector<uint8_t>{0x10});
        return usb::ControlReply::Ack();
    });
    struct Case {
        const char* name;
        bool in;
        UCHAR request;
        ULONG length;
        ULONG flags;
        USBD_STATUS status;
        ULONG transferred;
        std::vector<uint8_t> received;
        USHORT function = URB_FUNCTION_VENDOR_INTERFACE;
        UCHAR requestType = 0;  // 0: vendor to the interface, in the case's direction
    };
    const Case cases[] = {
        {"IN, exact", true, 5, 2, 0, USBD_STATUS_SUCCESS, 2, {0x11, 0x60}},
        {"IN, short without the flag", true, 10, 2, 0, USBD_STATUS_DATA_UNDERRUN, 1, {0x10}},
        {"IN, short with the flag", true, 10, 2, USBD_SHORT_TRANSFER_OK, USBD_STATUS_SUCCESS, 1, {0x10}},
        {"OUT with data", false, 1, 2, 0, USBD_STATUS_SUCCESS, 2, {}},
        {"OUT, stalled", false, 9, 0, 0, USBD_STATUS_STALL_PID, 0, {}},
        {"class IN to the device", true, 5, 2, 0, USBD_STATUS_SUCCESS, 2, {0x11, 0x60}, URB_FUNCTION_CLASS_DEVICE, 0xA0},
        {"vendor OUT to an endpoint", false, 1, 0, 0, USBD_STATUS_SUCCESS, 0, {}, URB_FUNCTION_VENDOR_ENDPOINT, 0x42},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> data(c.length, 0xA5);
        ULONG transferred = 0;
        EXPECT_EQ(Vendor(m_pdo, c.in, c.request, 0x0101, 0x0001, data, c.flags, &transferred, c.function), c.status);
        EXPECT_EQ(transferred, c.transferred);
        if (c.in) {
            EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + transferred), c.received);
        }
        const ScriptedUsbDevice::ControlRecord last = m_model->ControlLog().back();
        EXPECT_EQ(last.setup.requestType, c.requestType ? c.requestType : (c.in ? 0xC1 : 0x41));  // direction, type, recipient
        EXPECT_EQ(last.setup.request, c.request);
        EXPECT_EQ(last.setup.value, 0x0101);
        EXPECT_EQ(last.setup.index, 0x0001);
        EXPECT_EQ(last.setup.length, c.length);
        EXPECT_EQ(last.out, c.in ? std::vector<uint8_t>{} : std::vector<uint8_t>(c.length, 0xA5));
    }
}

TEST_F(UsbControlTest, SelectInterfaceOpensTheAlternateSettingsPipesAndClosesTheOldOnes)
{
    ScriptedUsbDevice::Description description = ScriptedUsbDevice::SingleInterface(0x0403, 0x6011);
    ScriptedUsbDevice::Interface alternate;
    alternate.alternateSetting = 1;
    alternate.endpoints = {{0x85, 3, 16, 4}};
    description.interfaces.push_back(alternate);
    usb::UsbDevice* device = nullptr;
    PlugScripted(description, &device);
    std::unique_ptr<Selection> selection = SelectConfiguration(device->Pdo());
    ASSERT_EQ(selection->status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(selection->interfaces.at(0)->AlternateSetting, 0);

    // The request is GET_SELECT_INTERFACE_REQUEST_SIZE(1) bytes; the block holds a whole URB, so
    // that reaching the header through PURB stays inside it.
    std::vector<uint8_t> storage(std::max<size_t>(sizeof(URB), GET_SELECT_INTERFACE_REQUEST_SIZE(1)));
    auto* urb = reinterpret_cast<PURB>(storage.data());
    UsbBuildSelectInterfaceRequest(urb, GET_SELECT_INTERFACE_REQUEST_SIZE(1),
                                   selection->urb->UrbSelectConfiguration.ConfigurationHandle, 0, 1);
    UrbRequest request(device->Pdo());
    request.Send(*urb);
    ASSERT_TRUE(request.Wait());
    ASSERT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    const USBD_PIPE_INFORMATION& pipe = urb->UrbSelectInterface.Interface.Pipes[0];
    EXPECT_EQ(urb->UrbSelectInterface.Interface.NumberOfPipes, 1u);
    EXPECT_EQ(pipe.EndpointAddress, 0x85);
    EXPECT_EQ(pipe.PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(pipe.Interval, 4);
    std::vector<uint8_t> data{1};
    EXPECT_EQ(Bulk(device->Pdo(), selection->Pipe(0x02), data), USBD_STATUS_INVALID_PIPE_HANDLE);

    // A stale configuration handle is refused.
    urb->UrbSelectInterface.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x1234);
    request.Send(*urb);
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
}

TEST_F(UsbControlTest, PortRequestsResetTheDeviceAndReportItsPort)
{
    UrbRequest request(m_pdo);
    ULONG status = 0;
    request.SendControl(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status);
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(request.Status(), STATUS_SUCCESS);
    EXPECT_EQ(status, ULONG(USBD_PORT_CONNECTED | USBD_PORT_ENABLED));

    // A port reset clears a halt (the endpoint starts over) and tells the device.
    std::unique_ptr<Selection> selection = SelectConfiguration(m_pdo);
    m_device->StallEndpoint(0x02);
    std::vector<uint8_t> data{1};
    EXPECT_EQ(Bulk(m_pdo, selection->Pipe(0x02), data), USBD_STATUS_STALL_PID);
    request.SendControl(IOCTL_INTERNAL_USB_RESET_PORT);
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(request.Status(), STATUS_SUCCESS);
    EXPECT_EQ(m_model->PortResets(), 1u);
    EXPECT_EQ(m_device->PortResetCount(), 1u);
    data = {1};
    EXPECT_EQ(Bulk(m_pdo, selection->Pipe(0x02), data), USBD_STATUS_SUCCESS);

    request.SendControl(IOCTL_INTERNAL_USB_CYCLE_PORT);
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(request.Status(), STATUS_NOT_SUPPORTED);
}

TEST_F(UsbControlTest, FrameNumberFollowsTheMachineClock)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    urb.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    UrbRequest request(m_pdo);
    request.Send(urb);
    ASSERT_TRUE(request.Wait());
    const ULONG before = urb.UrbGetCurrentFrameNumber.FrameNumber;
    Advance(5 * usb::kMillisecond);
    request.Send(urb);
    ASSERT_TRUE(request.Wait());
    EXPECT_EQ(urb.UrbGetCurrentFrameNumber.FrameNumber, before + 5);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_SUCCESS);
}

TEST_F(UsbControlTest, UnknownFunctionsAndShortUrbsAreRefused)
{
    struct Case {
        USHORT function, length;
        USBD_STATUS status;
        NTSTATUS irp;
    };
    const Case cases[] = {
        {0x0016, sizeof(struct _URB_HEADER), USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER},
        {URB_FUNCTION_ISOCH_TRANSFER, sizeof(struct _URB_HEADER), USBD_STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
        {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(struct _URB_HEADER), USBD_STATUS_INVALID_PARAMETER,
         STATUS_INVALID_PARAMETER},
        {URB_FUNCTION_VENDOR_DEVICE, 24, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.function);
        URB urb{};
        urb.UrbHeader.Function = c.function;
        urb.UrbHeader.Length = c.length;
        UrbRequest request(m_pdo);
        EXPECT_EQ(request.Send(urb), c.irp);  // answered at once
        EXPECT_TRUE(request.Done());
        EXPECT_EQ(urb.UrbHeader.Status, c.status);
    }
}

// The MaximumTransferSize a driver asks for at selection: a limit up to Windows 2000, nothing after.
class UsbTransferSizeTest : public UsbHostTest, public ::testing::WithParamInterface<WindowsVersion> {
protected:
    MachineOptions Options() const override
    {
        MachineOptions options = UsbHostTest::Options();
        options.windows = GetParam();
        return options;
    }
};

TEST_P(UsbTransferSizeTest, ALargerTransferIsRefusedOnlyWhereTheLimitHolds)
{
    const bool honoured = GetParam() <= WindowsVersion::Win2000;
    usb::UsbDevice* device = nullptr;
    auto model = PlugScripted(ScriptedUsbDevice::SingleInterface(0x0403, 0x6001), &device);
    std::unique_ptr<Selection> selection = SelectConfiguration(device->Pdo(), 64);
    ASSERT_EQ(selection->status, USBD_STATUS_SUCCESS);

    std::vector<uint8_t> fits(64, 1);
    EXPECT_EQ(Bulk(device->Pdo(), selection->Pipe(0x02), fits), USBD_STATUS_SUCCESS);
    std::vector<uint8_t> larger(128, 2);
    NTSTATUS irpStatus = STATUS_PENDING;
    EXPECT_EQ(Bulk(device->Pdo(), selection->Pipe(0x02), larger, 0, &irpStatus),
              honoured ? USBD_STATUS_INVALID_PARAMETER : USBD_STATUS_SUCCESS);
    EXPECT_EQ(irpStatus, honoured ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS);
    EXPECT_EQ(model->TakeOut(0x02).size(), honoured ? 64u : 192u);
}

INSTANTIATE_TEST_SUITE_P(Versions, UsbTransferSizeTest,
                         ::testing::Values(WindowsVersion::Win98, WindowsVersion::Win2000, WindowsVersion::WinXP,
                                           WindowsVersion::Win10));

}  // namespace
}  // namespace emu::testing
