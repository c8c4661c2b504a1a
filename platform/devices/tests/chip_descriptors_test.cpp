// The descriptors of the one- and two-port chips, read as a host reads them.
#include <gtest/gtest.h>

#include "chip_test_support.h"

namespace emu::devices {
namespace {

using namespace testing;

std::uint16_t Word(const std::vector<std::uint8_t>& bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

ControlResult GetDescriptor(FtdiChip& chip, std::uint8_t type, std::uint8_t index, std::uint16_t length)
{
    return chip.Control(0, {usb::kDirectionIn, 6, static_cast<std::uint16_t>(type << 8 | index), 0, length});
}

struct KindCase {
    ChipConfig config;
    std::uint16_t productId;
    int ports;
};

class ChipDescriptorsByKind : public ::testing::TestWithParam<KindCase> {};

TEST_P(ChipDescriptorsByKind, DeviceAndConfigurationDescribeOneVendorInterfacePerPort)
{
    FtdiChip chip(GetParam().config);
    const auto device = GetDescriptor(chip, ChipDescriptors::kDeviceType, 0, 18).data;
    ASSERT_EQ(device.size(), 18u);
    EXPECT_EQ(Word(device, 2), 0x0200);
    EXPECT_EQ(device[4], 0);  // class per interface
    EXPECT_EQ(Word(device, 8), kChipVendorId);
    EXPECT_EQ(Word(device, 10), GetParam().productId);
    EXPECT_EQ(device[17], 1);  // one configuration

    // A 9-byte read gives the header with wTotalLength; the full read gives everything.
    const auto header = GetDescriptor(chip, ChipDescriptors::kConfigurationType, 0, 9).data;
    ASSERT_EQ(header.size(), 9u);
    const std::uint16_t total = Word(header, 2);
    EXPECT_EQ(total, 9 + GetParam().ports * (9 + 7 + 7));
    const auto configuration = GetDescriptor(chip, ChipDescriptors::kConfigurationType, 0, 0xFFFF).data;
    ASSERT_EQ(configuration.size(), total);
    EXPECT_EQ(configuration[4], GetParam().ports);
    for (int port = 1; port <= GetParam().ports; ++port) {
        const std::size_t at = 9 + static_cast<std::size_t>(port - 1) * 23;
        EXPECT_EQ(configuration[at + 1], ChipDescriptors::kInterfaceType);
        EXPECT_EQ(configuration[at + 2], port - 1);  // interface number
        EXPECT_EQ(configuration[at + 4], 2);         // endpoints
        EXPECT_EQ(configuration[at + 5], 0xFF);      // vendor class
        EXPECT_EQ(configuration[at + 11], InEndpointOf(port));
        EXPECT_EQ(configuration[at + 12], 0x02);  // bulk
        EXPECT_EQ(Word(configuration, at + 13), 64);
        EXPECT_EQ(configuration[at + 18], OutEndpointOf(port));
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, ChipDescriptorsByKind,
                         ::testing::Values(KindCase{ChipConfig::SinglePort(), kSinglePortProductId, 1},
                                           KindCase{ChipConfig::DualPort(), kDualPortProductId, 2},
                                           KindCase{ChipConfig::Refused(), kRefusedProductId, 1}));

TEST(ChipDescriptors, TheRefusedProductIdBeginsWithF)
{
    EXPECT_EQ(kRefusedProductId >> 12, 0xF);
    EXPECT_NE(kSinglePortProductId >> 12, 0xF);
    EXPECT_NE(kDualPortProductId >> 12, 0xF);
}

TEST(ChipDescriptors, StringsAndUnsupportedDescriptors)
{
    FtdiChip chip;
    EXPECT_EQ(GetDescriptor(chip, ChipDescriptors::kStringType, 0, 255).data,
              (std::vector<std::uint8_t>{4, 3, 0x09, 0x04}));
    const auto serial = GetDescriptor(chip, ChipDescriptors::kStringType, 3, 255).data;
    ASSERT_EQ(serial.size(), 2 + 2 * std::string("EMU00001").size());
    EXPECT_EQ(serial[2], 'E');
    EXPECT_EQ(GetDescriptor(chip, ChipDescriptors::kStringType, 9, 255).handshake, Handshake::Stall);
    EXPECT_EQ(GetDescriptor(chip, 6, 0, 10).handshake, Handshake::Stall);  // no device qualifier
    EXPECT_TRUE(chip.ProtocolErrors().empty());
}

TEST(ChipDescriptors, BulkEndpointsAnswerOnlyOnceConfigured)
{
    FtdiChip chip;
    EXPECT_EQ(chip.BulkIn(0, kIn1).handshake, Handshake::NoResponse);
    EXPECT_EQ(chip.ProtocolErrors().size(), 1u);
    Configure(chip);
    EXPECT_TRUE(chip.Configured());
    EXPECT_EQ(chip.BulkOut(0, kOut1, Counting(3)).handshake, Handshake::Ack);
    EXPECT_EQ(chip.BulkIn(0, InEndpointOf(2)).handshake, Handshake::NoResponse);  // no second port
    EXPECT_EQ(chip.ProtocolErrors().size(), 2u);
}

}  // namespace
}  // namespace emu::devices
