// Flow control inside the chip in both directions, and the cables: loopback and null modem.
#include <gtest/gtest.h>

#include "chip_test_support.h"

namespace emu::devices {
namespace {

using namespace testing;

constexpr std::uint16_t kRtsCts = 0x0100;
constexpr std::uint16_t kDtrDsr = 0x0200;
constexpr std::uint16_t kXonXoff = 0x0400;
constexpr std::uint16_t kXonXoffChars = 0x1311;

struct HoldCase {
    const char* name;
    std::uint16_t mode;
    void (*hold)(ScriptedPeer&, Time);
    void (*release)(ScriptedPeer&, Time);
};

class TransmitHold : public ::testing::TestWithParam<HoldCase> {};

// While held, the character on the line finishes and no further one starts; the release resumes.
TEST_P(TransmitHold, HoldsTheTransmitterUntilReleased)
{
    const HoldCase& c = GetParam();
    FtdiChip chip;
    Configure(chip);
    auto peer = AttachScriptedPeer(0, chip, 1);
    peer->SetLines(0, {true, true, false, false});
    Vendor(chip, 0, vendor::kSetFlowControl, kXonXoffChars, c.mode | 1);
    chip.BulkOut(0, kOut1, Counting(10));
    c.hold(*peer, 0);
    const std::size_t sentWhenHeld = peer->Received(500 * kMs).size();
    EXPECT_EQ(sentWhenHeld, 1u) << c.name;  // the one on the line when the hold came
    EXPECT_EQ(chip.OutRoomTime(500 * kMs, kOut1), 500 * kMs);
    c.release(*peer, 500 * kMs);
    EXPECT_EQ(peer->ReceivedBytes(600 * kMs), Counting(10)) << c.name;
    EXPECT_TRUE(chip.ProtocolErrors().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Modes, TransmitHold,
    ::testing::Values(
        HoldCase{"RTS/CTS", kRtsCts, [](ScriptedPeer& p, Time t) { p.SetCts(t, false); },
                 [](ScriptedPeer& p, Time t) { p.SetCts(t, true); }},
        HoldCase{"DTR/DSR", kDtrDsr, [](ScriptedPeer& p, Time t) { p.SetDsr(t, false); },
                 [](ScriptedPeer& p, Time t) { p.SetDsr(t, true); }},
        HoldCase{"XON/XOFF", kXonXoff,
                 [](ScriptedPeer& p, Time t) { p.SendInstantly(t, std::vector<std::uint8_t>{0x13}); },
                 [](ScriptedPeer& p, Time t) { p.SendInstantly(t, std::vector<std::uint8_t>{0x11}); }}));

TEST(TransmitHold, WithoutFlowControlTheModemLinesDoNotHold)
{
    FtdiChip chip;
    Configure(chip);
    auto peer = AttachScriptedPeer(0, chip, 1);
    chip.BulkOut(0, kOut1, Counting(10));
    EXPECT_EQ(peer->Received(20 * kMs).size(), 10u);
}

struct ReceiveHoldCase {
    const char* name;
    std::uint16_t mode;
    std::uint16_t modemControl;
};

class ReceiveHold : public ::testing::TestWithParam<ReceiveHoldCase> {};

// The chip drops RTS or DTR, or sends XOFF, as its receive buffer fills; it raises the line or
// sends XON once the host has read it down.
TEST_P(ReceiveHold, SignalsTheFarEndWhenTheReceiveBufferFills)
{
    const ReceiveHoldCase& c = GetParam();
    FtdiChip chip;
    Configure(chip);
    auto peer = AttachScriptedPeer(0, chip, 1);
    Vendor(chip, 0, vendor::kModemControl, c.modemControl);
    Vendor(chip, 0, vendor::kSetFlowControl, kXonXoffChars, c.mode | 1);
    const ModemOutputs raised = peer->ChipOutputs(0);

    peer->SendInstantly(0, Counting(351));  // 33 free: not yet
    EXPECT_FALSE(chip.Port(0, 1).receiveHeld) << c.name;
    peer->SendInstantly(0, Counting(1));
    EXPECT_TRUE(chip.Port(0, 1).receiveHeld) << c.name;
    const ModemOutputs held = peer->ChipOutputs(0);

    TakePackets(chip, 0);  // five full packets leave 42 bytes: 342 free
    EXPECT_FALSE(chip.Port(0, 1).receiveHeld) << c.name;
    EXPECT_EQ(peer->ChipOutputs(0), raised) << c.name;
    // Attached with both lines off, raised by MODEM_CTRL, then (not with XON/XOFF) dropped and raised.
    EXPECT_EQ(peer->ChipOutputHistory(0).size(), c.mode == kXonXoff ? 2u : 4u) << c.name;
    if (c.mode == kXonXoff) {
        EXPECT_EQ(held, raised);
        EXPECT_EQ(peer->ReceivedBytes(10 * kMs), (std::vector<std::uint8_t>{0x13, 0x11}));
    } else {
        EXPECT_NE(held, raised) << c.name;
        EXPECT_TRUE(peer->ReceivedBytes(10 * kMs).empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ReceiveHold,
                         ::testing::Values(ReceiveHoldCase{"RTS/CTS", kRtsCts, 0x0303},
                                           ReceiveHoldCase{"DTR/DSR", kDtrDsr, 0x0303},
                                           ReceiveHoldCase{"XON/XOFF", kXonXoff, 0x0303}));

TEST(Loopback, BytesAndModemLinesComeBack)
{
    FtdiChip chip;
    Configure(chip);
    PlugLoopback(0, chip, 1);
    Vendor(chip, 0, vendor::kModemControl, 0x0303);
    EXPECT_EQ(chip.Port(0, 1).inputs, (ModemInputs{true, true, false, true}));
    chip.BulkOut(0, kOut1, Counting(5));
    Vendor(chip, 0, vendor::kSetData, 0x4008);  // break: the character on the line is cut
    Vendor(chip, 10 * kMs, vendor::kSetData, 0x0008);
    auto packets = TakePackets(chip, 30 * kMs);
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(DataOf(packets), (std::vector<std::uint8_t>{0x00, 1, 2, 3, 4}));
    EXPECT_TRUE(packets[0][1] & status::kBreak);
}

TEST(NullModem, CrossesDataAndLinesBetweenTwoChips)
{
    FtdiChip a;
    FtdiChip b(ChipConfig::DualPort());
    Configure(a);
    Configure(b);
    ConnectNullModem(0, a, 1, b, 2);
    Vendor(a, 0, vendor::kModemControl, 0x0202);  // RTS -> CTS
    Vendor(b, 0, vendor::kModemControl, 0x0101, 2);  // DTR -> DSR, DCD
    EXPECT_EQ(b.Port(0, 2).inputs, (ModemInputs{true, false, false, false}));
    EXPECT_EQ(a.Port(0, 1).inputs, (ModemInputs{false, true, false, true}));

    a.BulkOut(0, kOut1, Counting(3));
    b.BulkOut(0, OutEndpointOf(2), Counting(2, 100));
    EXPECT_EQ(DataOf(TakePackets(b, 20 * kMs, InEndpointOf(2))), Counting(3));
    EXPECT_EQ(DataOf(TakePackets(a, 20 * kMs)), Counting(2, 100));

    Vendor(b, 20 * kMs, vendor::kSetBaudRate, 0x001A, 0x0002);  // 115200 against 9600
    a.BulkOut(20 * kMs, kOut1, Counting(1));
    const auto packets = TakePackets(b, 40 * kMs, InEndpointOf(2));
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_TRUE(packets[0][1] & status::kFramingError);
}

struct LosslessCase {
    const char* name;
    std::uint16_t mode;
    bool paced;
};

class NullModemFlowControl : public ::testing::TestWithParam<LosslessCase> {};

// Both chips with the same flow control: the sender is held while the receiving host does not
// read, and no byte is lost, whichever chip the host calls first and whichever end the cable joins
// first. On an unpaced line the receiver's XOFF falls on the same instant as the sender's next
// character and must still stop it in time.
TEST_P(NullModemFlowControl, LosesNothingWhileTheReceiverIsNotRead)
{
    for (bool senderJoinedFirst : {false, true}) {
        SCOPED_TRACE(senderJoinedFirst ? "cable joined from the sender" : "cable joined from the receiver");
        ChipConfig config = ChipConfig::SinglePort();
        config.paced = GetParam().paced;
        FtdiChip a(config);  // sends
        FtdiChip b(config);  // receives
        for (FtdiChip* chip : {&a, &b}) {
            Configure(*chip);
            Vendor(*chip, 0, vendor::kSetBaudRate, 0x0000, 0);  // 3 Mbaud
            Vendor(*chip, 0, vendor::kModemControl, 0x0303);
            Vendor(*chip, 0, vendor::kSetFlowControl, kXonXoffChars, GetParam().mode | 1);
        }
        if (senderJoinedFirst)
            ConnectNullModem(0, a, 1, b, 1);
        else
            ConnectNullModem(0, b, 1, a, 1);
        std::vector<std::uint8_t> message = Counting(2000);
        for (std::uint8_t& byte : message) byte = static_cast<std::uint8_t>(' ' + byte % 95);  // no XON or XOFF
        std::vector<std::uint8_t> received;
        std::size_t offered = 0;
        for (Time now = 0; now < 200 * kMs; now += kMs / 19) {  // one packet slot
            // As much as the transmit buffer takes, the first packet short: the receiver's stop
            // mark (32 bytes free) then falls early in a packet the sender puts on the line.
            for (std::size_t taken = 1; taken != 0 && offered < message.size(); offered += taken) {
                const std::size_t size = std::min<std::size_t>(offered == 0 ? 10 : 64, message.size() - offered);
                taken = a.BulkOut(now, kOut1, std::span(message).subspan(offered, size)).accepted;
            }
            if (now > 50 * kMs) {  // b's host starts reading late
                const auto data = DataOf(TakePackets(b, now));
                received.insert(received.end(), data.begin(), data.end());
            }
        }
        EXPECT_EQ(b.Port(200 * kMs, 1).overruns, 0u);
        EXPECT_EQ(received, message);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, NullModemFlowControl,
                         ::testing::Values(LosslessCase{"RtsCts", kRtsCts, true}, LosslessCase{"DtrDsr", kDtrDsr, true},
                                           LosslessCase{"XonXoff", kXonXoff, true},
                                           LosslessCase{"RtsCtsUnpaced", kRtsCts, false},
                                           LosslessCase{"DtrDsrUnpaced", kDtrDsr, false},
                                           LosslessCase{"XonXoffUnpaced", kXonXoff, false}),
                         [](const ::testing::TestParamInfo<LosslessCase>& info) { return std::string(info.param.name); });

TEST(Cables, UnpluggingOrDestroyingTheFarChipLeavesTheInputsInactive)
{
    FtdiChip a;
    auto b = std::make_unique<FtdiChip>();
    ConnectNullModem(0, a, 1, *b, 1);
    Vendor(*b, 0, vendor::kModemControl, 0x0303);
    EXPECT_TRUE(a.Port(0, 1).inputs.cts);
    b.reset();
    EXPECT_EQ(a.Port(0, 1).inputs, ModemInputs{});

    auto peer = AttachScriptedPeer(0, a, 1);
    peer->SetDcd(0, true);
    EXPECT_TRUE(a.Port(0, 1).inputs.dcd);
    Unplug(0, a, 1);
    EXPECT_FALSE(peer->Attached());
    EXPECT_EQ(a.Port(0, 1).inputs, ModemInputs{});

    auto c = std::make_unique<FtdiChip>();  // a peer may outlive its chip
    peer = AttachScriptedPeer(0, *c, 1);
    c.reset();
    EXPECT_FALSE(peer->Attached());
    peer->Send(kMs, Counting(3));
    EXPECT_TRUE(peer->Received(10 * kMs).empty());
}

}  // namespace
}  // namespace emu::devices
