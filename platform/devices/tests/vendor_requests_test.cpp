// The chip's control pipe: what it refuses and records, status and latency answers, the request
// log and the injected faults.
#include <gtest/gtest.h>

#include "chip_test_support.h"

namespace emu::devices {
namespace {

using namespace testing;

struct BadRequestCase {
    const char* what;
    bool dualPort;
    SetupPacket setup;
    Handshake answer;  // Stall: refused; Ack: carried out but recorded
};

class BadVendorRequests : public ::testing::TestWithParam<BadRequestCase> {};

TEST_P(BadVendorRequests, AreRecordedAsProtocolErrors)
{
    const BadRequestCase& c = GetParam();
    FtdiChip chip(c.dualPort ? ChipConfig::DualPort() : ChipConfig::SinglePort());
    const std::vector<std::uint8_t> data(c.setup.length, 0);
    EXPECT_EQ(chip.Control(0, c.setup, (c.setup.requestType & usb::kDirectionIn) ? std::span<const std::uint8_t>{}
                                                                                   : std::span(data))
                  .handshake,
              c.answer);
    EXPECT_EQ(chip.ProtocolErrors().size(), 1u) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadVendorRequests,
    ::testing::Values(BadRequestCase{"unknown request 8", false, VendorOut(8, 0), Handshake::Stall},
                      BadRequestCase{"unknown request 0x90", false, VendorIn(0x90, 2), Handshake::Stall},
                      BadRequestCase{"GET_MODEM_STATUS as out", false, VendorOut(vendor::kGetModemStatus, 0),
                                     Handshake::Stall},
                      BadRequestCase{"SET_DATA as in", false, VendorIn(vendor::kSetData, 0), Handshake::Stall},
                      BadRequestCase{"flow word 0xFFFF", false, VendorOut(vendor::kSetFlowControl, 0x1311, 0xFFFF),
                                     Handshake::Stall},
                      BadRequestCase{"port 3 of two", true, VendorOut(vendor::kModemControl, 0x0101, 3),
                                     Handshake::Stall},
                      BadRequestCase{"port 0 of two", true, VendorOut(vendor::kModemControl, 0x0101, 0),
                                     Handshake::Stall},
                      BadRequestCase{"RESET 3", false, VendorOut(vendor::kReset, 3), Handshake::Stall},
                      BadRequestCase{"9 data bits", false, VendorOut(vendor::kSetData, 0x0009), Handshake::Stall},
                      BadRequestCase{"parity 5", false, VendorOut(vendor::kSetData, 0x0508), Handshake::Stall},
                      BadRequestCase{"stop bits 3", false, VendorOut(vendor::kSetData, 0x1808), Handshake::Stall},
                      BadRequestCase{"latency 0", false, VendorOut(vendor::kSetLatencyTimer, 0), Handshake::Stall},
                      BadRequestCase{"latency 256", false, VendorOut(vendor::kSetLatencyTimer, 256),
                                     Handshake::Stall},
                      BadRequestCase{"class request", false, {0x21, 0x20, 0, 0, 0}, Handshake::Stall},
                      BadRequestCase{"data on an out request", false,
                                     {0x41, vendor::kModemControl, 0x0101, 1, 4}, Handshake::Ack},
                      BadRequestCase{"flow mode bit 0x08", false, VendorOut(vendor::kSetFlowControl, 0x1311, 0x0901),
                                     Handshake::Ack},
                      BadRequestCase{"baud wIndex bit 8 on one port", false,
                                     VendorOut(vendor::kSetBaudRate, 0x001A, 0x0101), Handshake::Ack},
                      BadRequestCase{"latency with a high wIndex byte", false,
                                     VendorOut(vendor::kSetLatencyTimer, 16, 0x0101), Handshake::Ack},
                      BadRequestCase{"event char bit 9", false, VendorOut(vendor::kSetEventChar, 0x020D),
                                     Handshake::Ack}));

TEST(VendorRequests, ModemControlChangesOnlyTheMaskedLinesAndGetModemStatusReadsThemBack)
{
    FtdiChip chip;
    PlugLoopback(0, chip, 1);  // RTS -> CTS, DTR -> DSR and DCD
    auto status = [&] { return chip.Control(0, VendorIn(vendor::kGetModemStatus, 2)).data; };
    EXPECT_EQ(status(), (std::vector<std::uint8_t>{0x01, 0x60}));  // idle: THRE | TEMT

    Vendor(chip, 0, vendor::kModemControl, 0x0202);  // RTS on
    EXPECT_EQ(status()[0], 0x01 | status::kCts);
    Vendor(chip, 0, vendor::kModemControl, 0x0103);  // DTR on; the RTS bit is not in the mask
    EXPECT_EQ(status()[0], 0x01 | status::kCts | status::kDsr | status::kDcd);
    Vendor(chip, 0, vendor::kModemControl, 0x0300);  // both off
    EXPECT_EQ(status()[0], 0x01);
    EXPECT_EQ(chip.Control(0, VendorIn(vendor::kGetModemStatus, 1)).data.size(), 1u);  // cut to wLength
    EXPECT_TRUE(chip.ProtocolErrors().empty());
}

TEST(VendorRequests, SettingsAreStoredPerPort)
{
    FtdiChip chip(ChipConfig::DualPort());
    Vendor(chip, 0, vendor::kSetLatencyTimer, 2, 2);
    Vendor(chip, 0, vendor::kSetData, 0x4000 | 0x1000 | 0x0200 | 7, 2);  // 7E2, break
    Vendor(chip, 0, vendor::kSetFlowControl, 0x1311, 0x0402);
    Vendor(chip, 0, vendor::kSetEventChar, 0x017E, 2);
    Vendor(chip, 0, vendor::kSetErrorChar, 0x003F, 2);

    EXPECT_EQ(chip.Control(0, VendorIn(vendor::kGetLatencyTimer, 1, 2)).data, std::vector<std::uint8_t>{2});
    EXPECT_EQ(chip.Control(0, VendorIn(vendor::kGetLatencyTimer, 1, 1)).data, std::vector<std::uint8_t>{16});
    const PortSettings settings = chip.Port(0, 2).settings;
    EXPECT_EQ(settings.line.dataBits, 7);
    EXPECT_EQ(settings.line.parity, Parity::Even);
    EXPECT_EQ(settings.line.stopBits, StopBits::Two);
    EXPECT_TRUE(settings.line.breakOn);
    EXPECT_TRUE(settings.flow.xonXoff);
    EXPECT_FALSE(settings.flow.rtsCts);
    EXPECT_EQ(settings.flow.xon, 0x11);
    EXPECT_EQ(settings.flow.xoff, 0x13);
    EXPECT_TRUE(settings.eventCharacter.enabled);
    EXPECT_EQ(settings.eventCharacter.value, 0x7E);
    EXPECT_FALSE(settings.errorCharacter.enabled);
    EXPECT_FALSE(chip.Port(0, 1).settings.line.breakOn);
    EXPECT_TRUE(chip.ProtocolErrors().empty());
}

TEST(VendorRequests, TheLogHoldsEveryRequestInOrderWithItsPortAndAnswer)
{
    FtdiChip chip(ChipConfig::DualPort());
    chip.Control(5 * kMs, VendorOut(vendor::kReset, 0, 2));
    chip.Control(6 * kMs, VendorIn(vendor::kGetLatencyTimer, 1, 1));
    chip.Control(7 * kMs, VendorOut(8, 0, 1));
    const auto log = chip.RequestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].time, 5 * kMs);
    EXPECT_EQ(log[0].setup.request, vendor::kReset);
    EXPECT_EQ(log[0].setup.index, 2);
    EXPECT_EQ(log[0].port, 2);
    EXPECT_EQ(log[1].inData, std::vector<std::uint8_t>{16});
    EXPECT_EQ(log[1].port, 1);
    EXPECT_EQ(log[2].handshake, Handshake::Stall);
    chip.ClearRequestLog();
    EXPECT_TRUE(chip.RequestLog().empty());
}

TEST(VendorRequests, InjectedControlFaultsReplaceTheAnswerOfTheNthRequest)
{
    FtdiChip chip;
    chip.InjectControlFault(2, {Handshake::NoResponse, {}});
    chip.InjectControlFault(3, {Handshake::Ack, 1});
    EXPECT_EQ(Vendor(chip, 0, vendor::kSetLatencyTimer, 5), Handshake::Ack);
    EXPECT_EQ(Vendor(chip, 0, vendor::kSetLatencyTimer, 7), Handshake::NoResponse);  // not carried out
    const ControlResult shortAnswer = chip.Control(0, VendorIn(vendor::kGetModemStatus, 2));
    EXPECT_EQ(shortAnswer.data.size(), 1u);
    EXPECT_EQ(chip.Port(0, 1).settings.latencyMs, 5);

    chip.InjectControlFault(1, {});
    EXPECT_EQ(Vendor(chip, 0, vendor::kSetLatencyTimer, 9), Handshake::Stall);
    EXPECT_EQ(Vendor(chip, 0, vendor::kSetLatencyTimer, 9), Handshake::Ack);  // only once
    const auto log = chip.RequestLog();
    EXPECT_TRUE(log[1].injected && log[2].injected && log[3].injected);
    EXPECT_FALSE(log[0].injected || log[4].injected);
    EXPECT_TRUE(chip.ProtocolErrors().empty());
}

TEST(VendorRequests, BulkFaultsAndHaltedEndpointsUntilTheHostClearsThem)
{
    FtdiChip chip;
    Configure(chip);
    chip.InjectBulkFault(kOut1, 2, Handshake::NoResponse);
    chip.InjectBulkFault(kOut1, 3, Handshake::Stall);
    EXPECT_EQ(chip.BulkOut(0, kOut1, Counting(1)).accepted, 1u);
    EXPECT_EQ(chip.BulkOut(0, kOut1, Counting(1)).handshake, Handshake::NoResponse);
    EXPECT_EQ(chip.BulkOut(0, kOut1, Counting(1)).handshake, Handshake::Stall);
    EXPECT_TRUE(chip.EndpointStalled(kOut1));
    EXPECT_EQ(chip.BulkOut(0, kOut1, Counting(1)).handshake, Handshake::Stall);
    const PortState state = chip.Port(0, 1);  // only the first byte was taken
    EXPECT_EQ(state.transmitLevel + (state.transmitterBusy ? 1 : 0) + state.charactersSent, 1u);

    chip.Control(0, {usb::kRecipientEndpoint, 1, 0, kOut1, 0});  // CLEAR_FEATURE(ENDPOINT_HALT)
    EXPECT_FALSE(chip.EndpointStalled(kOut1));
    EXPECT_EQ(chip.BulkOut(0, kOut1, Counting(1)).handshake, Handshake::Ack);

    chip.StallEndpoint(kIn1);
    EXPECT_EQ(chip.BulkIn(100 * kMs, kIn1).handshake, Handshake::Stall);
    chip.BusReset(100 * kMs);
    EXPECT_FALSE(chip.Configured());
    EXPECT_FALSE(chip.EndpointStalled(kIn1));
}

TEST(VendorRequests, ScriptedInPacketsGoOutVerbatimAheadOfTheChipsOwn)
{
    FtdiChip chip;
    Configure(chip);
    chip.ScriptInPackets(kIn1, {{0x02, 0x60, 'x'}, {0x01, 0x60}});
    EXPECT_EQ(chip.BulkIn(0, kIn1).packet, (std::vector<std::uint8_t>{0x02, 0x60, 'x'}));
    EXPECT_EQ(chip.BulkIn(0, kIn1).packet, (std::vector<std::uint8_t>{0x01, 0x60}));
    EXPECT_EQ(chip.BulkIn(0, kIn1).handshake, Handshake::Nak);  // the latency timer has not run out
}

}  // namespace
}  // namespace emu::devices
