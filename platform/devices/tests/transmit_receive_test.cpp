// The two buffers of a port against the clock: the transmit buffer draining at the programmed
// rate, and the receive buffer sent as packets when full, when the latency timer runs out, on a
// modem change or the event character; overrun, line errors and purge.
#include <gtest/gtest.h>

#include "chip_test_support.h"

namespace emu::devices {
namespace {

using namespace testing;

class PortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Configure(chip);
        peer = AttachScriptedPeer(0, chip, 1);
        TakePackets(chip, 16 * kMs);  // the first latency period's status packet
        t0 = 16 * kMs;
    }

    FtdiChip chip;
    std::shared_ptr<ScriptedPeer> peer;
    Time t0 = 0;
};

struct CharacterTimeCase {
    std::uint16_t baudWord;
    std::uint16_t dataWord;
    double bitsPerCharacter;
    double baud;
};

class TransmitDrain : public ::testing::TestWithParam<CharacterTimeCase> {};

// Characters leave one after another, each start + data + parity + stop bits long.
TEST_P(TransmitDrain, CharactersLeaveAtTheProgrammedRate)
{
    const CharacterTimeCase& c = GetParam();
    FtdiChip chip;
    Configure(chip);
    auto peer = AttachScriptedPeer(0, chip, 1);
    Vendor(chip, 0, vendor::kSetBaudRate, c.baudWord, 0);
    Vendor(chip, 0, vendor::kSetData, c.dataWord);
    ASSERT_EQ(chip.BulkOut(0, kOut1, Counting(20)).accepted, 20u);

    const double characterTime = c.bitsPerCharacter / c.baud * kTimePerSecond;
    const auto sent = peer->Received(kTimePerSecond);
    ASSERT_EQ(sent.size(), 20u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].byte, i);
        EXPECT_NEAR(static_cast<double>(sent[i].time), (i + 1) * characterTime, 1.0) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, TransmitDrain,
                         ::testing::Values(CharacterTimeCase{0x4138, 0x0008, 10, 9600},          // 8N1: ~1.04 ms
                                           CharacterTimeCase{0x4138, 0x1207, 11, 9600},          // 7E2
                                           CharacterTimeCase{0x001A, 0x0108, 11, 3e6 / 26},      // 8O1 115200
                                           CharacterTimeCase{0x0000, 0x0805, 7.5, 3e6},          // 5N1.5, 3 Mbaud
                                           CharacterTimeCase{0xC034, 0x0008, 10, 3e6 / 52.125}));

TEST_F(PortTest, TheTransmitBufferTakesWholePacketsWhileTheyFitAndDrainsToEmpty)
{
    const BulkOutResult first = chip.BulkOut(t0, kOut1, Counting(200));
    EXPECT_EQ(first.accepted, 128u);  // two packets; the third does not fit
    EXPECT_EQ(chip.BulkOut(t0, kOut1, Counting(64)).handshake, Handshake::Nak);
    EXPECT_EQ(chip.Port(t0, 1).statusBytes[1] & 0x60, 0);
    // Room for a packet again after 64 characters (one is on the line): about 63 ms at 9600.
    const Time room = chip.OutRoomTime(t0, kOut1);
    EXPECT_GT(room, t0);
    EXPECT_EQ(chip.BulkOut(t0 + 60 * kMs, kOut1, Counting(64)).handshake, Handshake::Nak);
    EXPECT_EQ(chip.BulkOut(t0 + 67 * kMs, kOut1, Counting(64)).accepted, 64u);

    const Time drained = t0 + 200 * kMs;
    EXPECT_EQ(peer->Received(drained).size(), 192u);
    EXPECT_EQ(chip.Port(drained, 1).statusBytes[1], status::kTransmitHoldingEmpty | status::kTransmitterEmpty);
}

TEST_F(PortTest, ShortPacketsWaitForTheLatencyTimerAndFullOnesGoAtOnce)
{
    peer->SendInstantly(t0, Counting(130));
    auto packets = TakePackets(chip, t0);
    ASSERT_EQ(packets.size(), 2u);  // 62 + 62; six bytes wait
    EXPECT_EQ(packets[0].size(), 64u);
    EXPECT_EQ(packets[0][0], 0x01);
    EXPECT_EQ(packets[0][1], status::kDataReady | status::kTransmitHoldingEmpty | status::kTransmitterEmpty);
    EXPECT_EQ(chip.BulkIn(t0 + 15 * kMs, kIn1).handshake, Handshake::Nak);
    EXPECT_EQ(chip.InPacketTime(t0, kIn1), t0 + 16 * kMs);
    packets = TakePackets(chip, t0 + 16 * kMs);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].size(), 8u);
    EXPECT_EQ(DataOf(packets), Counting(6, 124));

    // Idle: a status-only packet every latency period.
    EXPECT_EQ(chip.BulkIn(t0 + 31 * kMs, kIn1).handshake, Handshake::Nak);
    EXPECT_EQ(chip.BulkIn(t0 + 32 * kMs, kIn1).packet,
              (std::vector<std::uint8_t>{0x01, status::kTransmitHoldingEmpty | status::kTransmitterEmpty}));
}

TEST_F(PortTest, AModemChangeOrTheEventCharacterSendsAShortPacketAtOnce)
{
    peer->SendInstantly(t0, Counting(3));
    peer->SetCts(t0 + 1 * kMs, true);
    auto packets = TakePackets(chip, t0 + 1 * kMs);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0][0], 0x01 | status::kCts);
    EXPECT_EQ(packets[0].size(), 5u);

    Vendor(chip, t0 + 2 * kMs, vendor::kSetEventChar, 0x0100 | '\r');
    const std::vector<std::uint8_t> line{'o', 'k', '\r'};
    peer->Send(t0 + 2 * kMs, line);  // paced: the carriage return arrives after three characters
    EXPECT_TRUE(TakePackets(chip, t0 + 4 * kMs).empty());
    packets = TakePackets(chip, t0 + 6 * kMs);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(DataOf(packets), line);
}

TEST_F(PortTest, OverrunAndLineErrorsAreReportedInThePacketThatFollows)
{
    peer->SendInstantly(t0, Counting(400));  // 384 fit
    EXPECT_EQ(chip.Port(t0, 1).overruns, 16u);
    auto packets = TakePackets(chip, t0);
    ASSERT_EQ(packets.size(), 6u);
    EXPECT_TRUE(packets[0][1] & status::kOverrun);
    EXPECT_FALSE(packets[1][1] & status::kOverrun);  // reported once
    EXPECT_EQ(DataOf(TakePackets(chip, t0 + 16 * kMs)).size(), 384u - 6 * 62);

    peer->SendWithErrors(t0 + 20 * kMs, 'p', status::kParityError);
    peer->SendBreak(t0 + 20 * kMs);
    packets = TakePackets(chip, t0 + 40 * kMs);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(DataOf(packets), (std::vector<std::uint8_t>{'p', 0x00}));
    EXPECT_EQ(packets[0][1] & 0x9F,
              status::kDataReady | status::kParityError | status::kBreak | status::kFifoError);

    Vendor(chip, t0 + 40 * kMs, vendor::kSetErrorChar, 0x0100 | '?');
    peer->SendWithErrors(t0 + 40 * kMs, 'f', status::kFramingError);
    EXPECT_EQ(DataOf(TakePackets(chip, t0 + 60 * kMs)), std::vector<std::uint8_t>{'?'});
}

TEST_F(PortTest, ResetEmptiesTheBuffersItNames)
{
    auto fill = [&](Time at) {
        chip.BulkOut(at, kOut1, Counting(64));
        peer->SendInstantly(at, Counting(10));
    };
    fill(t0);
    Vendor(chip, t0, vendor::kReset, 1);
    PortState state = chip.Port(t0, 1);
    EXPECT_EQ(state.transmitLevel, 0u);
    EXPECT_EQ(state.receiveLevel, 10u);
    Vendor(chip, t0, vendor::kReset, 2);
    EXPECT_EQ(chip.Port(t0, 1).receiveLevel, 0u);
    EXPECT_EQ(peer->Received(t0 + 100 * kMs).size(), 1u);  // only the character already on the line

    fill(t0 + 100 * kMs);
    Vendor(chip, t0 + 100 * kMs, vendor::kReset, 0);
    state = chip.Port(t0 + 100 * kMs, 1);
    EXPECT_EQ(state.transmitLevel + state.receiveLevel, 0u);
    EXPECT_TRUE(chip.ProtocolErrors().empty());
}

TEST(UnpacedChip, TheLineIsInstantAndPacketsDoNotWait)
{
    ChipConfig config;
    config.paced = false;
    FtdiChip chip(config);
    Configure(chip);
    PlugLoopback(0, chip, 1);
    EXPECT_EQ(chip.BulkOut(0, kOut1, Counting(300)).accepted, 300u);
    EXPECT_EQ(DataOf(TakePackets(chip, 0)), Counting(300));
    EXPECT_EQ(chip.BulkIn(0, kIn1).handshake, Handshake::Nak);  // nothing new to say
    EXPECT_EQ(chip.NextEventTime(0), kNever);
}

}  // namespace
}  // namespace emu::devices
