// The bus-time model on a paused machine clock: 1 ms frames of 19 packet slots shared by every
// device, packets moving as bus time passes, refusals offered again, held-back completions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "ke/clock.h"
#include "usb_test_support.h"

namespace emu::testing {
namespace {

constexpr ULONG kShortIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
constexpr uint8_t kInEndpoint = 0x81;
constexpr uint8_t kOutEndpoint = 0x02;

class UsbBusTimeTest : public UsbHostTest {
protected:
    struct Plugged {
        std::shared_ptr<ScriptedUsbDevice> model;
        usb::UsbDevice* device = nullptr;
        std::unique_ptr<Selection> selection;
        PDEVICE_OBJECT Pdo() const { return device->Pdo(); }
        USBD_PIPE_HANDLE In() const { return selection->Pipe(kInEndpoint); }
        USBD_PIPE_HANDLE Out() const { return selection->Pipe(kOutEndpoint); }
    };

    void SetUp() override
    {
        UsbHostTest::SetUp();
        Bus().SetPaced(true);
    }
    Plugged PlugDevice(uint16_t productId)
    {
        Plugged plugged;
        Bus().SetPaced(false);  // configured without bus time, then paced again
        plugged.model = PlugScripted(ScriptedUsbDevice::SingleInterface(0x0403, productId), &plugged.device);
        plugged.selection = SelectConfiguration(plugged.Pdo());
        Bus().SetPaced(true);
        return plugged;
    }
    // Moves the clock to the start of the next frame; returns that frame.
    int64_t ToFrameStart()
    {
        Settle();
        const usb::MachineTime into = Now() % usb::kFrameLength;
        Advance(usb::kFrameLength - into);
        return Now() / usb::kFrameLength;
    }
    static size_t DoneCount(const std::vector<std::unique_ptr<PendingBulk>>& transfers)
    {
        size_t done = 0;
        for (const auto& transfer : transfers) done += transfer->request.Done() ? 1 : 0;
        return done;
    }
    void WaitAll(std::vector<std::unique_ptr<PendingBulk>>& transfers)
    {
        for (auto& transfer : transfers) EXPECT_TRUE(transfer->request.Wait());
    }
};

TEST_F(UsbBusTimeTest, NineteenPacketsAFrameAreSharedByEveryDevice)
{
    Plugged first = PlugDevice(0x6001);
    Plugged second = PlugDevice(0x6002);
    first.model->FeedInForever(kInEndpoint);
    second.model->FeedInForever(kInEndpoint);
    // Queued just before a frame starts, so every transfer waits for its first slot.
    const int64_t frame = ToFrameStart() + 1;
    Advance(usb::kFrameLength - 100);
    std::vector<std::unique_ptr<PendingBulk>> transfers;
    for (const Plugged* plugged : {&first, &second})
        for (int i = 0; i < 2; ++i) transfers.push_back(StartBulk(plugged->Pdo(), plugged->In(), 4096, kShortIn));

    for (int64_t f = frame; f < frame + 3; ++f) {
        Advance(usb::kFrameLength);
        EXPECT_EQ(Bus().PacketsInFrame(f), usb::kSlotsPerFrame) << "frame " << f - frame;
    }
    const size_t a = first.model->InPacketsGiven(kInEndpoint);
    const size_t b = second.model->InPacketsGiven(kInEndpoint);
    EXPECT_EQ(a + b, 3u * usb::kSlotsPerFrame);
    EXPECT_LE(std::abs(static_cast<long>(a) - static_cast<long>(b)), 1);  // taken in turn
    EXPECT_EQ(DoneCount(transfers), 0u);

    // 4 x 64 packets in all, at 19 a frame: done in the 14th frame.
    Advance(11 * usb::kFrameLength);
    EXPECT_EQ(first.model->InPacketsGiven(kInEndpoint) + second.model->InPacketsGiven(kInEndpoint), 256u);
    WaitAll(transfers);
    for (const auto& transfer : transfers) EXPECT_EQ(transfer->Transferred(), 4096u);
}

TEST_F(UsbBusTimeTest, PacketsMoveThroughTheFrameAsBusTimePasses)
{
    Plugged plugged = PlugDevice(0x6001);
    plugged.model->FeedInForever(kInEndpoint);
    ToFrameStart();
    std::vector<std::unique_ptr<PendingBulk>> transfers;
    for (int i = 0; i < 8; ++i) transfers.push_back(StartBulk(plugged.Pdo(), plugged.In(), 64, kShortIn));
    // Slot k of a frame starts k/19 ms in: slots 0-3 by 0.2 ms, 0-7 by 0.4 ms.
    struct Step {
        usb::MachineTime advance;
        size_t done;
    };
    const Step steps[] = {{0, 1}, {2000, 4}, {1000, 6}, {1000, 8}};
    for (const Step& step : steps) {
        if (step.advance) Advance(step.advance);
        Settle();
        EXPECT_EQ(DoneCount(transfers), step.done) << "at " << step.advance;
    }
}

TEST_F(UsbBusTimeTest, ARefusedOutPacketIsOfferedAgainLaterInTheFrame)
{
    Plugged plugged = PlugDevice(0x6001);
    plugged.model->SetOutRoom(kOutEndpoint, 64);
    const int64_t frame = ToFrameStart();
    std::vector<uint8_t> bytes(128, 7);
    auto out = StartBulk(plugged.Pdo(), plugged.Out(), 128, 0, bytes);
    Advance(2000);  // the first packet went in slot 0; the second is refused
    EXPECT_FALSE(out->request.Done());
    EXPECT_GE(plugged.model->Refusals(), 1u);
    EXPECT_EQ(plugged.model->TakeOut(kOutEndpoint).size(), 64u);  // room again, and the host is told
    Advance(1000);
    ASSERT_TRUE(out->request.Done());
    EXPECT_EQ(out->Transferred(), 128u);
    EXPECT_EQ(Bus().PacketsInFrame(frame), 2u);  // both in the same frame
}

TEST_F(UsbBusTimeTest, TheHostAsksARefusingDeviceAgainWhenItsNextEventComes)
{
    Plugged plugged = PlugDevice(0x6001);
    ToFrameStart();
    plugged.model->QueueIn(kInEndpoint, {1, 2, 3}, Now() + 5 * usb::kMillisecond);
    auto in = StartBulk(plugged.Pdo(), plugged.In(), 64, kShortIn);
    Advance(4 * usb::kMillisecond);
    EXPECT_FALSE(in->request.Done());
    EXPECT_EQ(plugged.model->Refusals(), 1u);  // asked once, then left alone until its event
    Advance(usb::kMillisecond);
    ASSERT_TRUE(in->request.Done());
    EXPECT_EQ(in->Transferred(), 3u);
}

TEST_F(UsbBusTimeTest, ARefusingDeviceWithoutAnEventIsAskedOnceAFrame)
{
    Plugged plugged = PlugDevice(0x6001);
    ToFrameStart();
    auto in = StartBulk(plugged.Pdo(), plugged.In(), 64, kShortIn);
    Advance(5 * usb::kMillisecond - 1);
    EXPECT_EQ(plugged.model->Refusals(), 5u);
    EXPECT_TRUE(in->request.Cancel());
    EXPECT_TRUE(in->request.Wait());
}

TEST_F(UsbBusTimeTest, ADelayedCompletionComesThatMuchLater)
{
    Plugged plugged = PlugDevice(0x6001);
    plugged.device->AddFault(usb::Fault::DelayNext(usb::RequestKind::BulkOut, 3 * usb::kMillisecond));
    ToFrameStart();
    auto out = StartBulk(plugged.Pdo(), plugged.Out(), 64, 0, std::vector<uint8_t>(64, 1));
    Advance(3 * usb::kMillisecond - 1);
    EXPECT_FALSE(out->request.Done());
    EXPECT_EQ(plugged.model->OutPacketsTaken(kOutEndpoint), 1u);  // it went at once; only its completion waits
    Advance(1);
    ASSERT_TRUE(out->request.Done());
    EXPECT_EQ(out->UrbStatus(), USBD_STATUS_SUCCESS);
}

TEST_F(UsbBusTimeTest, AJumpOfTheClockRunsTheSlotsItSkippedAndUnpacedDropsTheBudget)
{
    Plugged plugged = PlugDevice(0x6001);
    plugged.model->FeedInForever(kInEndpoint);
    const int64_t frame = ToFrameStart();
    auto paced = StartBulk(plugged.Pdo(), plugged.In(), 4096, kShortIn);
    Advance(10 * usb::kFrameLength);
    ASSERT_TRUE(paced->request.Done());
    for (int64_t f = frame; f < frame + 3; ++f) EXPECT_EQ(Bus().PacketsInFrame(f), usb::kSlotsPerFrame);
    EXPECT_EQ(Bus().PacketsInFrame(frame + 3), 64u - 3 * usb::kSlotsPerFrame);

    Bus().SetPaced(false);
    auto unpaced = StartBulk(plugged.Pdo(), plugged.In(), 4096, kShortIn);
    ASSERT_TRUE(unpaced->request.Wait());  // no time passes
    EXPECT_EQ(unpaced->Transferred(), 4096u);
}

TEST_F(UsbBusTimeTest, AnInterruptPipeIsPolledOncePerItsPeriod)
{
    ScriptedUsbDevice::Description description = ScriptedUsbDevice::SingleInterface(0x0403, 0x6011);
    description.interfaces[0].endpoints.push_back({0x83, 3, 8, 6});  // bInterval 6: every 4 frames
    Bus().SetPaced(false);
    usb::UsbDevice* device = nullptr;
    auto model = PlugScripted(description, &device);
    std::unique_ptr<Selection> selection = SelectConfiguration(device->Pdo());
    Bus().SetPaced(true);
    model->FeedInForever(0x83);
    ToFrameStart();
    // Each 8-byte transfer takes one transaction; 20 frames allow five.
    std::vector<std::unique_ptr<PendingBulk>> transfers;
    for (int i = 0; i < 8; ++i) transfers.push_back(StartBulk(device->Pdo(), selection->Pipe(0x83), 8, kShortIn));
    Advance(20 * usb::kFrameLength - 1);
    EXPECT_EQ(DoneCount(transfers), 5u);
    for (auto& transfer : transfers)
        if (!transfer->request.Done()) transfer->request.Cancel();
    WaitAll(transfers);
}

TEST_F(UsbBusTimeTest, OnARunningClockTheBusKeepsItsBudget)
{
    Plugged plugged = PlugDevice(0x6001);
    plugged.model->FeedInForever(kInEndpoint);
    const int64_t frame = Now() / usb::kFrameLength;
    machine().GetClock().SetScale(100);  // 1 ms of bus time every 10 us
    auto in = StartBulk(plugged.Pdo(), plugged.In(), 4096, kShortIn);
    ASSERT_TRUE(in->request.Wait());
    machine().GetClock().SetScale(0);
    EXPECT_EQ(in->Transferred(), 4096u);
    unsigned packets = 0;
    for (int64_t f = frame; f < Now() / usb::kFrameLength + 1; ++f) {
        EXPECT_LE(Bus().PacketsInFrame(f), usb::kSlotsPerFrame);
        packets += Bus().PacketsInFrame(f);
    }
    EXPECT_EQ(packets, 64u);
}

}  // namespace
}  // namespace emu::testing
