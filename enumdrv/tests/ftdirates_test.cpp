// The FTDI port's rate arithmetic: the SET_BAUD_RATE words of every standard rate (checked against
// the chip's own decoding: divisor value 0 is 3,000,000 baud, 1 is 2,000,000 baud), the rates the
// chip cannot run, both latency policies with their defaults and with hostile tuning, the
// character time and rate, and the size of the next receive transfer.
#include <gtest/gtest.h>

#include "baud_divisor.h"
#include "ftdirates.h"

namespace enumdrvtest {
namespace {

TEST(FtdiRates, EachSettableRateGetsTheWordsTheChipRunsWithinOnePercent)
{
    struct Case {
        ULONG rate;
        USHORT value;
        USHORT index;  // single-interface chip
    } cases[] = {{300, 0x2710, 0},     {1200, 0x09C4, 0},    {7200, 0x41A0, 1},   {9600, 0x4138, 0},
                 {14400, 0x00D0, 1},   {19200, 0x809C, 0},   {38400, 0xC04E, 0},  {57600, 0xC034, 0},
                 {115200, 0x001A, 0},  {230400, 0x000D, 0},  {460800, 0x4006, 0}, {921600, 0x8003, 0},
                 {1000000, 0x0003, 0}, {2000000, 0x0001, 0}, {3000000, 0x0000, 0}, {184, 0x3FB0, 0},
                 {2990000, 0x0000, 0}, {1990000, 0x0001, 0}};
    for (const Case& c : cases) {
        FTDI_BAUD_WORDS words{};
        ASSERT_TRUE(FtdiCalculateBaudDivisor(c.rate, 3000000, FALSE, 1, &words)) << c.rate;
        EXPECT_EQ(words.usValue, c.value) << c.rate;
        EXPECT_EQ(words.usIndex, c.index) << c.rate;
        emu::devices::BaudDivisor decoded = emu::devices::DecodeBaudDivisor(words.usValue, words.usIndex & 1);
        EXPECT_TRUE(decoded.valid) << c.rate;
        EXPECT_NEAR(decoded.Baud(), c.rate, c.rate / 100.0) << c.rate;
    }
}

TEST(FtdiRates, AMultiInterfaceChipCarriesThePortIndexAndTheThirdCodeBitInWIndex)
{
    FTDI_BAUD_WORDS words{};
    ASSERT_TRUE(FtdiCalculateBaudDivisor(9600, 3000000, TRUE, 2, &words));
    EXPECT_EQ(words.usIndex, 0x0002);
    ASSERT_TRUE(FtdiCalculateBaudDivisor(14400, 3000000, TRUE, 2, &words));
    EXPECT_EQ(words.usIndex, 0x0102);
}

TEST(FtdiRates, RatesTheChipCannotRunAreRefused)
{
    struct Case {
        ULONG rate;
        ULONG maximum;
    } cases[] = {{0, 3000000},       {3000001, 3000001}, {45, 3000000},      {183, 3000000},
                 {1060000, 3000000}, {1480000, 3000000}, {2400000, 3000000}, {1600000, 3000000},
                 {2500000, 3000000}, {1500000, 1000000}, {1000001, 1000000}};
    for (const Case& c : cases) {
        FTDI_BAUD_WORDS words{};
        EXPECT_FALSE(FtdiCalculateBaudDivisor(c.rate, c.maximum, FALSE, 1, &words)) << c.rate;
    }
}

TEST(FtdiRates, TheLatencyPoliciesGiveTheirTablesAndStayInRangeWhateverTheTuning)
{
    struct Case {
        ULONG policy;
        ULONG maximumLatency;
        ULONG fineTuning;
        ULONG rate;
        ULONG latency;
        ULONG size;
    } cases[] = {
        {FTDI_POLICY_SPECIFIC_LATENCY_TIME, 1040, 0, 300, 255, 4096},
        {FTDI_POLICY_SPECIFIC_LATENCY_TIME, 1040, 0, 1200, 208, 256},
        {FTDI_POLICY_SPECIFIC_LATENCY_TIME, 1040, 0, 9600, 61, 1024},
        {FTDI_POLICY_SPECIFIC_LATENCY_TIME, 1040, 0, 19200, 32, 1984},
        {FTDI_POLICY_SPECIFIC_LATENCY_TIME, 1040, 0, 38400, 16, 3904},
        {FTDI_POLICY_SPECIFIC_LATENCY_TIME, 1040, 0, 57600, 16, 4096},
        {FTDI_POLICY_SPECIFIC_LATENCY_TIME, 1040, 0, 3000000, 16, 4096},
        {FTDI_POLICY_LOW_CPU_USAGE, 0, 192, 9600, 255, 1024},
        {FTDI_POLICY_LOW_CPU_USAGE, 0, 192, 57600, 182, 1024},
        {FTDI_POLICY_LOW_CPU_USAGE, 0, 192, 115200, 91, 1024},
        {FTDI_POLICY_LOW_CPU_USAGE, 0, 192, 230400, 45, 1024},
        {FTDI_POLICY_LOW_CPU_USAGE, 0, 0, 115200, 255, 4096},
    };
    for (const Case& c : cases) {
        FTDI_LATENCY result{};
        ASSERT_TRUE(c.policy == FTDI_POLICY_LOW_CPU_USAGE
                        ? FtdiLowCpuUsage(c.rate, c.fineTuning, &result)
                        : FtdiSpecificLatencyTime(c.maximumLatency, c.rate, c.fineTuning, &result));
        EXPECT_EQ(result.ulLatency, c.latency) << c.policy << " " << c.rate;
        EXPECT_EQ(result.ulRxTransferSize, c.size) << c.policy << " " << c.rate;
    }
    // Values no page offers, as a registry edit could set them: never a division by zero, never
    // a transfer outside 64 .. 4096 or a latency outside 1 .. 255.
    for (ULONG tuning : {0u, 1u, 256u, 257u, 258u, 1000u, 0xFFFFFFFFu}) {
        for (ULONG maximum : {0u, 1u, 1040u, 0xFFFFFFFFu}) {
            for (ULONG rate : {1u, 300u, 115200u, 3000000u}) {
                FTDI_LATENCY result{};
                ASSERT_TRUE(FtdiSpecificLatencyTime(maximum, rate, tuning, &result));
                EXPECT_GE(result.ulLatency, 1u);
                EXPECT_LE(result.ulLatency, 255u);
                EXPECT_GE(result.ulRxTransferSize, 64u);
                EXPECT_LE(result.ulRxTransferSize, 4096u);
                ASSERT_TRUE(FtdiLowCpuUsage(rate, tuning, &result));
                EXPECT_GE(result.ulLatency, 1u);
                EXPECT_LE(result.ulLatency, 255u);
                EXPECT_GE(result.ulRxTransferSize, 64u);
                EXPECT_LE(result.ulRxTransferSize, 4096u);
            }
        }
    }
}

TEST(FtdiRates, CharacterTimeAndCharactersPerMillisecond)
{
    EXPECT_EQ(FtdiCharacterTime(9600, 3, 0, 0), 10420u);
    EXPECT_EQ(FtdiCharacterTime(0, 3, 0, 0), FtdiCharacterTime(115200, 3, 0, 0));
    EXPECT_EQ(FtdiCharacterTime(9600, 0, 2, 2), 1042u * 9);  // 5 data, parity, two stop bits
    EXPECT_EQ(FtdiCharactersPerMillisecond(9600, 3, 0, 0), 2u);
    EXPECT_EQ(FtdiCharactersPerMillisecond(115200, 3, 0, 0), 13u);
    EXPECT_EQ(FtdiCharactersPerMillisecond(3000000, 3, 0, 0), 334u);
}

TEST(FtdiRates, TheNextReceiveTransferFitsTheRoomLeft)
{
    struct Case {
        ULONG free;
        ULONG received;
        ULONG fifo;
        ULONG rxSize;
        ULONG size;
        BOOLEAN suspend;
    } cases[] = {{100, 0, 256, 4096, 64, TRUE},         {10000, 0, 256, 4096, 4096, FALSE},
                 {10000, 0, 256, 1024, 1024, FALSE},    {400, 0, 256, 4096, 64, FALSE}  ,
                 {330, 0, 256, 4096, 64, FALSE},        {50, 60, 256, 4096, 64, TRUE},
                 {0xFFFFFFFF, 0, 0xFFFFFFF0, 4096, 4096, FALSE}, {5000, 0, 0xFFFFFFF0, 4096, 832, FALSE}};
    for (const Case& c : cases) {
        BOOLEAN suspend = !c.suspend;
        EXPECT_EQ(FtdiNextRxTransferSize(c.free, c.received, c.fifo, c.rxSize, &suspend), c.size) << c.free;
        EXPECT_EQ(suspend, c.suspend) << c.free;
    }
}

}  // namespace
}  // namespace enumdrvtest
