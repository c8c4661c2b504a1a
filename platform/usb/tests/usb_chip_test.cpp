// The simulated USB-serial chips on the host: enumeration of the one- and two-port chips, vendor
// requests reaching the chip's ports, and data through a loopback plug over bulk pipes.
#include <gtest/gtest.h>

#include <vector>

#include "cable.h"
#include "ftdi_chip.h"
#include "ftdi_chip_device.h"
#include "usb_test_support.h"

namespace emu::testing {
namespace {

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr UCHAR kSetBaudRate = 3;

class UsbChipTest : public UsbHostTest {
protected:
    usb::UsbDevice* PlugChip(devices::ChipConfig config)
    {
        config.paced = false;
        m_chip = std::make_unique<devices::FtdiChip>(config);
        usb::UsbDevice* device = Host().Plug(std::make_shared<usb::FtdiChipDevice>(*m_chip));
        EXPECT_NE(device, nullptr);
        return device;
    }

    std::unique_ptr<devices::FtdiChip> m_chip;
};

TEST_F(UsbChipTest, EachPortOfTheTwoPortChipIsAFunctionOfItsOwn)
{
    usb::UsbDevice* device = PlugChip(devices::ChipConfig::DualPort());
    ASSERT_NE(device, nullptr);
    for (uint8_t function : {0, 1}) {
        PDEVICE_OBJECT pdo = device->FunctionPdo(function);
        ASSERT_NE(pdo, nullptr) << int(function);
        auto selection = SelectConfiguration(pdo);
        ASSERT_EQ(selection->status, USBD_STATUS_SUCCESS);
        ASSERT_EQ(selection->interfaces.size(), 1u);
        EXPECT_EQ(selection->interfaces[0]->InterfaceNumber, function);
        // The port number travels in wIndex's low byte.
        std::vector<uint8_t> none;
        const USHORT port = static_cast<USHORT>(function + 1);
        EXPECT_EQ(Vendor(pdo, false, kSetBaudRate, 0x001A, port, none, 0, nullptr, URB_FUNCTION_VENDOR_DEVICE),
                  USBD_STATUS_SUCCESS);
        EXPECT_NEAR(m_chip->Port(Now(), function + 1).settings.baud.Baud(), 115384.6, 1.0) << int(function);
    }
    EXPECT_TRUE(m_chip->ProtocolErrors().empty());
}

TEST_F(UsbChipTest, BytesWrittenToALoopedBackPortComeBackAfterTheTwoStatusBytes)
{
    usb::UsbDevice* device = PlugChip(devices::ChipConfig::SinglePort());
    ASSERT_NE(device, nullptr);
    auto selection = SelectConfiguration(device->Pdo());
    ASSERT_EQ(selection->status, USBD_STATUS_SUCCESS);
    devices::PlugLoopback(Now(), *m_chip, 1);

    std::vector<uint8_t> out = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_EQ(Bulk(device->Pdo(), selection->Pipe(0x02), out), USBD_STATUS_SUCCESS);
    std::vector<uint8_t> in(64);
    ASSERT_EQ(Bulk(device->Pdo(), selection->Pipe(0x81), in, kIn), USBD_STATUS_SUCCESS);
    ASSERT_EQ(in.size(), 7u);
    EXPECT_EQ(in[0] & 0x0F, 0x01);
    EXPECT_EQ(std::vector<uint8_t>(in.begin() + 2, in.end()), out);
    EXPECT_TRUE(m_chip->ProtocolErrors().empty());
}

}  // namespace
}  // namespace emu::testing
