// The usbd helpers a client driver links with: walking a configuration descriptor and building the
// select-configuration URB.
#include <gtest/gtest.h>
#include <usbdlib.h>

#include <cstddef>
#include <vector>

#include "machine_test.h"
#include "scripted_usb_device.h"

namespace emu::testing {
namespace {

class UsbdLibraryTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ScriptedUsbDevice::Description description = ScriptedUsbDevice::TwoInterfaces(0x0403, 0x6010);
        // Interface 1 also has an alternate setting with a single interrupt endpoint.
        ScriptedUsbDevice::Interface alternate;
        alternate.number = 1;
        alternate.alternateSetting = 1;
        alternate.interfaceClass = 0x0A;
        alternate.endpoints = {{0x85, 3, 16, 10}};
        description.interfaces.push_back(alternate);
        m_bytes = ScriptedUsbDevice(description).ConfigurationDescriptor(0);
    }
    PUSB_CONFIGURATION_DESCRIPTOR Configuration() { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_bytes.data()); }
    ptrdiff_t Offset(const void* found) { return static_cast<const uint8_t*>(found) - m_bytes.data(); }

    std::vector<uint8_t> m_bytes;
};

// Descriptor order: configuration 0, interface 0/0 at 9 (endpoints 18, 25), interface 1/0 at 32
// (endpoints 41, 48), interface 1/1 at 55 (endpoint 64).
TEST_F(UsbdLibraryTest, ParseConfigurationDescriptorExFindsTheFirstMatchFromTheStart)
{
    struct Case {
        LONG number, alternate, cls;
        size_t start;
        ptrdiff_t expected;  // -1: none
    };
    const Case cases[] = {
        {0, -1, -1, 0, 9},   {1, -1, -1, 0, 32},  {1, 1, -1, 0, 55},  {-1, -1, 0x0A, 0, 55},
        {1, -1, -1, 41, 55}, {2, -1, -1, 0, -1},  {-1, -1, -1, 0, 9}, {0, 1, -1, 0, -1},
    };
    for (const Case& c : cases) {
        PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
            Configuration(), m_bytes.data() + c.start, c.number, c.alternate, c.cls, -1, -1);
        SCOPED_TRACE(::testing::Message() << "interface " << c.number << " alternate " << c.alternate << " from " << c.start);
        if (c.expected < 0)
            EXPECT_EQ(found, nullptr);
        else
            EXPECT_EQ(found ? Offset(found) : -1, c.expected);
    }
}

TEST_F(UsbdLibraryTest, ParseDescriptorsStopsAtTheEndAndAtAMalformedLength)
{
    PUSB_COMMON_DESCRIPTOR endpoint = USBD_ParseDescriptors(m_bytes.data(), static_cast<ULONG>(m_bytes.size()),
                                                            m_bytes.data() + 32, USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(Offset(endpoint), 41);
    EXPECT_EQ(USBD_ParseDescriptors(m_bytes.data(), 45, m_bytes.data() + 32, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
    m_bytes[32] = 0;  // a zero-length descriptor would never end the walk
    EXPECT_EQ(USBD_ParseDescriptors(m_bytes.data(), static_cast<ULONG>(m_bytes.size()), m_bytes.data() + 32, 5), nullptr);
}

TEST_F(UsbdLibraryTest, CreateConfigurationRequestExLaysOutOneRecordPerListEntry)
{
    USBD_INTERFACE_LIST_ENTRY list[] = {
        {USBD_ParseConfigurationDescriptorEx(Configuration(), Configuration(), 0, 0, -1, -1, -1), nullptr},
        {USBD_ParseConfigurationDescriptorEx(Configuration(), Configuration(), 1, 1, -1, -1, -1), nullptr},
        {nullptr, nullptr},
    };
    PURB urb = USBD_CreateConfigurationRequestEx(Configuration(), list);
    ASSERT_NE(urb, nullptr);
    const size_t twoPipes = GET_USBD_INTERFACE_SIZE(2);
    const size_t onePipe = GET_USBD_INTERFACE_SIZE(1);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, offsetof(struct _URB_SELECT_CONFIGURATION, Interface) + twoPipes + onePipe);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, Configuration());
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(list[1].Interface), reinterpret_cast<uint8_t*>(list[0].Interface) + twoPipes);
    EXPECT_EQ(list[0].Interface->Length, twoPipes);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 2u);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->AlternateSetting, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
    EXPECT_EQ(list[1].Interface->Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    ExFreePool(urb);
}

}  // namespace
}  // namespace emu::testing
