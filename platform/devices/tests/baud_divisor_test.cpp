// The baud word as the chip decodes it, from the documented rule and the rates it gives.
#include <gtest/gtest.h>

#include "chip_test_support.h"
#include "baud_divisor.h"

namespace emu::devices {
namespace {

using namespace testing;

struct DivisorCase {
    std::uint16_t value;
    bool codeBit2;
    double baud;
    bool valid;
};

class BaudDivisorTable : public ::testing::TestWithParam<DivisorCase> {};

TEST_P(BaudDivisorTable, DecodesToTheEffectiveRate)
{
    const DivisorCase& c = GetParam();
    const BaudDivisor divisor = DecodeBaudDivisor(c.value, c.codeBit2);
    EXPECT_EQ(divisor.valid, c.valid);
    EXPECT_NEAR(divisor.Baud(), c.baud, 0.05);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, BaudDivisorTable,
    ::testing::Values(DivisorCase{0x4138, false, 9600.0, true},            // 312.5
                      DivisorCase{0x809C, false, 19200.0, true},           // 156.25
                      DivisorCase{0xC04E, false, 38400.0, true},           // 78.125
                      DivisorCase{0xC034, false, 3e6 / 52.125, true},      // 57600, closest
                      DivisorCase{0x0034, false, 3e6 / 52, true},          // 57,692
                      DivisorCase{0x001A, false, 3e6 / 26, true},          // 115200
                      DivisorCase{0x000D, false, 3e6 / 13, true},          // 230400
                      DivisorCase{0x4006, false, 3e6 / 6.5, true},         // 460800
                      DivisorCase{0x8003, false, 3e6 / 3.25, true},        // 921600
                      DivisorCase{0x41A0, true, 3e6 / 416.625, true},      // 7200: code 5, 5/8
                      DivisorCase{0x00D0, true, 3e6 / 208.375, true},      // 14400: code 4, 3/8
                      DivisorCase{0xC0D0, true, 3e6 / 208.875, true},      // code 7, 7/8
                      DivisorCase{0x80D0, true, 3e6 / 208.75, true},       // code 6, 3/4
                      DivisorCase{0x2710, false, 300.0, true},
                      DivisorCase{0x0003, false, 1e6, true},
                      DivisorCase{0x0002, false, 1.5e6, true},
                      DivisorCase{0x0000, false, 3e6, true},               // special: 3 Mbaud
                      DivisorCase{0x0001, false, 2e6, true},               // special: 2 Mbaud
                      DivisorCase{0x4001, false, 2e6, false},              // 1.5: below 2
                      DivisorCase{0x8001, false, 3e6 / 1.25, false},
                      DivisorCase{0x0001, true, 3e6 / 1.375, false},
                      DivisorCase{0xC000, false, 24e6, false}));           // 1/8

TEST(BaudDivisor, PowerOnRateIs9600)
{
    EXPECT_EQ(PowerOnBaudDivisor().value, 0x4138);
    EXPECT_DOUBLE_EQ(PowerOnBaudDivisor().Baud(), 9600.0);
    FtdiChip chip;
    EXPECT_DOUBLE_EQ(chip.Port(0, 1).settings.baud.Baud(), 9600.0);
}

// The third code bit comes from wIndex bit 0 on a single-port chip and bit 8 on a multi-port
// chip, whose low byte picks the port; an invalid divisor is taken but recorded.
TEST(BaudDivisor, SetBaudRateTakesTheThirdCodeBitFromWhereTheChipKindCarriesIt)
{
    FtdiChip single;
    EXPECT_EQ(Vendor(single, 0, vendor::kSetBaudRate, 0x00D0, 0x0001), Handshake::Ack);
    EXPECT_EQ(single.Port(0, 1).settings.baud.code, 4);
    EXPECT_NEAR(single.Port(0, 1).settings.baud.Baud(), 14397.1, 0.1);

    FtdiChip dual(ChipConfig::DualPort());
    EXPECT_EQ(Vendor(dual, 0, vendor::kSetBaudRate, 0x00D0, 0x0102), Handshake::Ack);
    EXPECT_EQ(dual.Port(0, 2).settings.baud.code, 4);
    EXPECT_DOUBLE_EQ(dual.Port(0, 1).settings.baud.Baud(), 9600.0);  // the other port untouched
    EXPECT_TRUE(single.ProtocolErrors().empty());
    EXPECT_TRUE(dual.ProtocolErrors().empty());

    EXPECT_EQ(Vendor(dual, 0, vendor::kSetBaudRate, 0x4001, 0x0001), Handshake::Ack);
    ASSERT_EQ(dual.ProtocolErrors().size(), 1u);
    EXPECT_EQ(dual.ProtocolErrors()[0].port, 1);
    EXPECT_FALSE(dual.Port(0, 1).settings.baud.valid);
}

}  // namespace
}  // namespace emu::devices
