// The USB device library: the request sequence of initialisation, the registry description it
// reads, the class check, the selection and the endpoint-handle map, and the vendor and bulk
// requests it passes on.
#include <algorithm>
#include <cstring>

#include "usbfunction_fixture.h"

namespace cvusbtest {
namespace {

class UsbDeviceTest : public UsbFunctionTest {
protected:
    explicit UsbDeviceTest(int interfaces = 1) : UsbFunctionTest(interfaces) {}
    USBD_PIPE_HANDLE PipeOf(UCHAR address)
    {
        for (const SelectedPipe& pipe : m_usb.SelectedPipes())
            if (pipe.endpointAddress == address) return pipe.handle;
        return nullptr;
    }
};

class TwoInterfaceDeviceTest : public UsbDeviceTest {
protected:
    TwoInterfaceDeviceTest() : UsbDeviceTest(2) {}
};

TEST_F(UsbDeviceTest, InitReadsTheDescriptorsAndSelectsTheRegistryInterface)
{
    WriteRegistry();
    CUsbDevice* pDevice = NewDevice();
    ASSERT_TRUE(pDevice != nullptr && pDevice->m_GetInterfaceCount() != 0);
    // Device descriptor, configuration header, the whole configuration, then the selection.
    EXPECT_EQ(m_usb.UrbFunctions(), (std::vector<USHORT>{URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                                         URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                                         URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE,
                                                         URB_FUNCTION_SELECT_CONFIGURATION}));
    EXPECT_EQ(pDevice->m_GetDeviceDescriptor()->idVendor, 0x0403);
    EXPECT_EQ(pDevice->m_GetDeviceDescriptor()->idProduct, 0x6001);
    ASSERT_EQ(pDevice->m_GetEndpointCount(), 2u);
    EXPECT_EQ(pDevice->m_GetEndpoint(0)->ucAddress, 0x81);
    EXPECT_EQ(pDevice->m_GetEndpoint(1)->ulMaximumTransferSize, 4096u);
    // Every pipe is asked for 4096-byte transfers.
    std::vector<SelectedPipe> pipes = m_usb.SelectedPipes();
    ASSERT_EQ(pipes.size(), 2u);
    for (const SelectedPipe& pipe : pipes) EXPECT_EQ(pipe.maximumTransferSize, 4096u);
    EXPECT_NE(pDevice->m_GetConfigurationHandle(), nullptr);
    // Handle 1 is the bulk IN pipe, handle 2 the bulk OUT pipe; no pipe carries handle 3.
    USBD_PIPE_HANDLE hPipe = nullptr;
    ASSERT_TRUE(pDevice->m_GetPipeHandle(1, &hPipe));
    EXPECT_EQ(hPipe, PipeOf(0x81));
    ASSERT_TRUE(pDevice->m_GetPipeHandle(2, &hPipe));
    EXPECT_EQ(hPipe, PipeOf(0x02));
    EXPECT_FALSE(pDevice->m_GetPipeHandle(3, &hPipe));
}

TEST_F(TwoInterfaceDeviceTest, OnlyTheInterfaceTheEndpointsNameIsSelected)
{
    WriteRegistry(PortEndpoints(1));
    CUsbDevice* pDevice = NewDevice();
    ASSERT_TRUE(pDevice != nullptr && pDevice->m_GetInterfaceCount() != 0);
    ASSERT_EQ(pDevice->m_GetInterfaceCount(), 1u);
    EXPECT_EQ(pDevice->m_GetInterface(0)->ucInterfaceNumber, 1);
    USBD_PIPE_HANDLE hPipe = nullptr;
    ASSERT_TRUE(pDevice->m_GetPipeHandle(1, &hPipe));
    EXPECT_EQ(hPipe, PipeOf(0x83));
    ASSERT_TRUE(pDevice->m_GetPipeHandle(2, &hPipe));
    EXPECT_EQ(hPipe, PipeOf(0x04));
}

TEST_F(UsbDeviceTest, InitFailsAtTheFirstStepThatFails)
{
    struct Case {
        const char* what;
        std::function<void()> spoil;
        bool selects;
    };
    std::vector<Case> cases = {
        {"class differs", [this] { m_usb.SetDeviceClass(0, 0, 1); }, false},
        {"subclass differs", [this] { m_usb.SetDeviceClass(0, 2, 0); }, false},
        {"no USB key", [this] { machine().GetRegistry().DeleteTree(HardwareKey() + u"\\USB"); },
         false},
        {"a required value missing",
         [this] { machine().GetRegistry().DeleteValue(HardwareKey() + u"\\USB", u"DeviceProtocol"); },
         false},
        {"a one-byte value above 255",
         [this] { machine().GetRegistry().SetDword(HardwareKey() + u"\\USB", u"DeviceClass", 0x100); },
         false},
        {"an endpoint the configuration lacks",
         [this] {
             machine().GetRegistry().SetDword(HardwareKey() + u"\\USB\\EndPoint2", u"EndPointAddress", 0x06);
         },
         true},
        {"an interface the configuration lacks",
         [this] {
             machine().GetRegistry().SetDword(HardwareKey() + u"\\USB\\EndPoint2", u"InterfaceNumber", 3);
         },
         false},
        {"the selection refused", [this] { m_usb.FailSelection(true); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteRegistry();
        m_usb.SetDeviceClass(0, 0, 0);
        m_usb.FailSelection(false);
        c.spoil();
        size_t selections = m_usb.UrbFunctions().size();
        CUsbDevice* pDevice = NewDevice(false);
        EXPECT_FALSE(pDevice->m_Init(Pdo()));
        std::vector<USHORT> functions = m_usb.UrbFunctions();
        bool selected = std::count(functions.begin() + selections, functions.end(), URB_FUNCTION_SELECT_CONFIGURATION) != 0;
        EXPECT_EQ(selected, c.selects);
    }
}

TEST_F(UsbDeviceTest, EndpointSubkeysAreReadUpToTheFirstGap)
{
    std::vector<EndpointSpec> endpoints = PortEndpoints();
    endpoints[1].number = 3;  // EndPoint1 and EndPoint3, no EndPoint2
    WriteRegistry(endpoints);
    CUsbDevice* pDevice = NewDevice();
    ASSERT_TRUE(pDevice != nullptr && pDevice->m_GetInterfaceCount() != 0);
    EXPECT_EQ(pDevice->m_GetEndpointCount(), 1u);
    USBD_PIPE_HANDLE hPipe = nullptr;
    EXPECT_TRUE(pDevice->m_GetPipeHandle(1, &hPipe));
    EXPECT_FALSE(pDevice->m_GetPipeHandle(2, &hPipe));
}

TEST_F(UsbDeviceTest, VendorRequestsGoToTheInterfaceWithTheirDirection)
{
    WriteRegistry();
    CUsbDevice* pDevice = NewDevice();
    ASSERT_TRUE(pDevice != nullptr && pDevice->m_GetInterfaceCount() != 0);
    m_usb.SetVendorInData(5, {0x31, 0x60});
    CTfBuffer* pStatus = NewBuffer(2);
    EXPECT_TRUE(pDevice->m_VendorInterfaceRequestIN(5, 0, 1, pStatus));
    EXPECT_EQ(pStatus->m_GetBytes()[0], 0x31);
    EXPECT_EQ(pStatus->m_GetBytes()[1], 0x60);
    pStatus->m_Delete();
    EXPECT_TRUE(pDevice->m_VendorInterfaceRequestOUT(1, 0x0202, 1, nullptr));
    // An IN request needs a buffer to read into.
    EXPECT_FALSE(pDevice->m_VendorInterfaceRequestIN(10, 0, 1, nullptr));
    std::vector<VendorRecord> requests = m_usb.VendorRequests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].request, 5);
    EXPECT_TRUE(requests[0].in);
    EXPECT_EQ(requests[0].length, 2u);
    EXPECT_EQ(requests[0].index, 1);
    EXPECT_EQ(requests[1].request, 1);
    EXPECT_EQ(requests[1].value, 0x0202);
    EXPECT_FALSE(requests[1].in);
    EXPECT_EQ(requests[1].length, 0u);
}

TEST_F(UsbDeviceTest, WritesGoToThePipeOfTheirEndpointHandle)
{
    WriteRegistry();
    CUsbDevice* pDevice = NewDevice();
    ASSERT_TRUE(pDevice != nullptr && pDevice->m_GetInterfaceCount() != 0);
    CTfBuffer* pData = NewBuffer(30, 0x5A);
    ULONG ulWritten = 0;
    EXPECT_TRUE(pDevice->m_Write(pData, 2, &ulWritten));
    EXPECT_EQ(ulWritten, 30u);
    // No pipe carries handle 7: nothing is sent.
    EXPECT_FALSE(pDevice->m_Write(pData, 7, &ulWritten));
    EXPECT_EQ(ulWritten, 0u);
    pData->m_Delete();
    std::vector<std::vector<uint8_t>> out = m_usb.BulkOut();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], std::vector<uint8_t>(30, 0x5A));
}

}  // namespace
}  // namespace cvusbtest
