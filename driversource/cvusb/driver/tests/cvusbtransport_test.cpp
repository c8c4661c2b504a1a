// The bulk IN transfer's state machine: registration, creation, start, completion and restart,
// disable and enable, stop and delete; the reused IRP; a stop that meets a completion or a queued
// restart; failed transfers started again after a pause; and the spare IRP.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "io/io_manager.h"
#include "usbfunction_fixture.h"

namespace cvusbtest {
namespace {

// What the transfer's callback saw; it can disable the restart as the port does.
struct Received {
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> transfers;
    bool disableInCallback = false;
    CUsbTransport* pTransport = nullptr;

    static void Callback(PVOID pContext, PVOID pData, ULONG ulLength)
    {
        auto* self = static_cast<Received*>(pContext);
        std::lock_guard lock(self->mutex);
        const uint8_t* bytes = static_cast<const uint8_t*>(pData);
        self->transfers.emplace_back(bytes, bytes + ulLength);
        if (self->disableInCallback) self->pTransport->m_DisableInterruptUrb();
    }
    size_t Count()
    {
        std::lock_guard lock(mutex);
        return transfers.size();
    }
};

class BulkInTest : public UsbFunctionTest {
protected:
    void SetUp() override
    {
        UsbFunctionTest::SetUp();
        WriteRegistry();
        ASSERT_NE(NewDevice(), nullptr);
        m_pTransport = m_pDevice->m_GetTransport();
        m_received.pTransport = m_pTransport;
        ASSERT_TRUE(m_pDevice->m_GetPipeHandle(1, &m_hIn));
    }
    void Create()
    {
        ASSERT_TRUE(m_pTransport->m_RegisterInterruptUrbCallback(Received::Callback, &m_received));
        ASSERT_TRUE(m_pTransport->m_CreateInterruptUrb());
    }
    // Waits until the transfer is pending again (a restart runs on the executor).
    void ExpectPending(size_t total)
    {
        EXPECT_TRUE(m_usb.WaitForPendingBulkIn(1));
        EXPECT_EQ(m_usb.BulkInLengths().size(), total);
    }
    ULONG State() { return m_pTransport->m_GetState(); }

    CUsbTransport* m_pTransport = nullptr;
    USBD_PIPE_HANDLE m_hIn = nullptr;
    Received m_received;
};

std::vector<uint8_t> Bytes(size_t n, uint8_t first = 1)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
    return v;
}

TEST_F(BulkInTest, StatesFromRegistrationToDeletion)
{
    EXPECT_EQ(State(), (ULONG)CVUSB_BULK_IN_UNINITIALISED);
    // Nothing can be created, started or stopped before a callback is registered.
    EXPECT_FALSE(m_pTransport->m_CreateInterruptUrb());
    EXPECT_FALSE(m_pTransport->m_StartInterruptUrb(m_hIn, 64));
    EXPECT_EQ(Take(emu::Violation::AssertReport), 2u);
    ASSERT_TRUE(m_pTransport->m_RegisterInterruptUrbCallback(Received::Callback, &m_received));
    EXPECT_EQ(State(), (ULONG)CVUSB_BULK_IN_REGISTERED);
    // A second registration replaces the first.
    ASSERT_TRUE(m_pTransport->m_RegisterInterruptUrbCallback(Received::Callback, &m_received));
    ASSERT_TRUE(m_pTransport->m_CreateInterruptUrb());
    EXPECT_EQ(State(), (ULONG)CVUSB_BULK_IN_INITIALISED);

    // A stop with nothing pending cancels nothing.
    EXPECT_TRUE(m_pTransport->m_StopInterruptUrb());
    EXPECT_EQ(m_usb.BulkInLengths().size(), 0u);
    EXPECT_FALSE(m_pTransport->m_StartInterruptUrb(m_hIn, 0));
    EXPECT_EQ(State(), (ULONG)CVUSB_BULK_IN_INITIALISED);

    ASSERT_TRUE(m_pTransport->m_StartInterruptUrb(m_hIn, 64));
    EXPECT_EQ(State(), (ULONG)CVUSB_BULK_IN_STARTED);
    EXPECT_TRUE(m_pTransport->m_StartInterruptUrb(m_hIn, 64));  // already started: nothing new
    EXPECT_EQ(m_usb.BulkInLengths(), std::vector<ULONG>{64});
    EXPECT_EQ(m_usb.PendingBulkIn(), 1u);

    EXPECT_TRUE(m_pTransport->m_StopInterruptUrb());
    EXPECT_EQ(State(), (ULONG)CVUSB_BULK_IN_INITIALISED);
    EXPECT_EQ(m_usb.PendingBulkIn(), 0u);
    EXPECT_EQ(m_received.Count(), 0u);

    ASSERT_TRUE(m_pTransport->m_StartInterruptUrb(m_hIn, 64));
    EXPECT_TRUE(m_pTransport->m_DeleteInterruptUrb());  // stops first
    EXPECT_EQ(State(), (ULONG)CVUSB_BULK_IN_REGISTERED);
    EXPECT_EQ(m_usb.PendingBulkIn(), 0u);
}

TEST_F(BulkInTest, EachCompletionIsDeliveredAndStartedAgainWithTheCurrentSize)
{
    Create();
    ASSERT_TRUE(m_pTransport->m_StartInterruptUrb(m_hIn, 64));
    m_pTransport->m_SetInterruptUrbSize(4096);
    // The completion runs on whatever thread the host completes on; it leaves its priority alone.
    KPRIORITY priority = KeQueryPriorityThread(KeGetCurrentThread());
    ASSERT_TRUE(m_usb.CompleteBulkIn(Bytes(130)));
    EXPECT_EQ(KeQueryPriorityThread(KeGetCurrentThread()), priority);
    ExpectPending(2);
    // A transfer that brought nothing is not delivered, only started again.
    ASSERT_TRUE(m_usb.CompleteBulkIn({}));
    ExpectPending(3);
    m_pTransport->m_SetInterruptUrbSize(128);
    ASSERT_TRUE(m_usb.CompleteBulkIn(Bytes(2, 0x11)));
    ExpectPending(4);
    EXPECT_EQ(m_usb.BulkInLengths(), (std::vector<ULONG>{64, 4096, 4096, 128}));
    ASSERT_EQ(m_received.Count(), 2u);
    EXPECT_EQ(m_received.transfers[0], Bytes(64));  // cut to the transfer's length
    EXPECT_EQ(m_received.transfers[1], (std::vector<uint8_t>{0x11, 0x12}));
    EXPECT_TRUE(m_pTransport->m_StopInterruptUrb());
}

TEST_F(BulkInTest, ATransferDisabledInItsCompletionIsDeliveredAndStaysStoppedUntilEnabled)
{
    Create();
    ASSERT_TRUE(m_pTransport->m_StartInterruptUrb(m_hIn, 64));
    m_received.disableInCallback = true;
    ASSERT_TRUE(m_usb.CompleteBulkIn(Bytes(10)));
    EXPECT_EQ(m_received.Count(), 1u);
    EXPECT_EQ(State(), (ULONG)CVUSB_BULK_IN_DISABLED);
    EXPECT_EQ(m_usb.PendingBulkIn(), 0u);
    EXPECT_EQ(m_usb.BulkInLengths().size(), 1u);
    // A second disable finds it not started.
    EXPECT_FALSE(m_pTransport->m_DisableInterruptUrb());

    m_received.disableInCallback = false;
    EXPECT_TRUE(m_pTransport->m_EnableInterruptUrb());
    EXPECT_EQ(State(), (ULONG)CVUSB_BULK_IN_STARTED);
    ExpectPending(2);
    EXPECT_TRUE(m_pTransport->m_EnableInterruptUrb());  // already started
    EXPECT_EQ(m_usb.BulkInLengths().size(), 2u);
    // Disabled while still pending: enabling lets its own completion start it again.
    EXPECT_TRUE(m_pTransport->m_DisableInterruptUrb());
    EXPECT_TRUE(m_pTransport->m_EnableInterruptUrb());
    EXPECT_EQ(m_usb.BulkInLengths().size(), 2u);
    ASSERT_TRUE(m_usb.CompleteBulkIn(Bytes(3)));
    ExpectPending(3);
    EXPECT_TRUE(m_pTransport->m_StopInterruptUrb());
}

TEST_F(BulkInTest, AStoppedTransferStartedAgainDeliversItsData)
{
    // The IRP is reused: the cancellation of the first transfer must not follow it into the next.
    Create();
    ASSERT_TRUE(m_pTransport->m_StartInterruptUrb(m_hIn, 64));
    ASSERT_TRUE(m_pTransport->m_StopInterruptUrb());
    ASSERT_TRUE(m_pTransport->m_StartInterruptUrb(m_hIn, 64));
    ASSERT_TRUE(m_usb.CompleteBulkIn(Bytes(20)));
    ExpectPending(3);
    EXPECT_EQ(m_received.Count(), 1u);
    EXPECT_EQ(State(), (ULONG)CVUSB_BULK_IN_STARTED);
    EXPECT_TRUE(m_pTransport->m_StopInterruptUrb());
}

TEST_F(BulkInTest, AStopMeetingACompletionBeforeItsCancelStillReturns)
{
    Create();
    ASSERT_TRUE(m_pTransport->m_StartInterruptUrb(m_hIn, 64));
    // Holding the cancel spin lock keeps the stop between marking the transfer cancelled and
    // cancelling the IRP; the data arrives in that gap.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    CallWithinBound([&] { EXPECT_TRUE(m_pTransport->m_StopInterruptUrb()); },
                    [&] {
                        auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                        while (State() != CVUSB_BULK_IN_CANCELLED && std::chrono::steady_clock::now() < bound)
                            std::this_thread::yield();
                        EXPECT_EQ(State(), (ULONG)CVUSB_BULK_IN_CANCELLED);
                        EXPECT_TRUE(m_usb.CompleteBulkIn(Bytes(8)));
                        IoReleaseCancelSpinLock(irql);
                    },
                    "the stop");
    EXPECT_EQ(State(), (ULONG)CVUSB_BULK_IN_INITIALISED);
    // Data that came in after the stop began is not delivered, and nothing starts again.
    EXPECT_EQ(m_received.Count(), 0u);
    EXPECT_EQ(m_usb.BulkInLengths().size(), 1u);
}

TEST_F(BulkInTest, AFailedTransferIsStartedAgainAfterAPauseThatGrowsButNeverStops)
{
    Create();
    ASSERT_TRUE(m_pTransport->m_StartInterruptUrb(m_hIn, 64));
    // One transaction error: started again 100 ms later.
    ASSERT_TRUE(m_usb.FailBulkIn(USBD_STATUS_XACT_ERROR));
    EXPECT_EQ(RunWithClock([&] { ASSERT_TRUE(m_usb.WaitForPendingBulkIn(1)); }, 1000000), 1);
    EXPECT_EQ(m_usb.BulkInLengths().size(), 2u);
    // A stall: the pipe is reset first.
    ASSERT_TRUE(m_usb.FailBulkIn(USBD_STATUS_STALL_PID));
    EXPECT_EQ(RunWithClock([&] { ASSERT_TRUE(m_usb.WaitForPendingBulkIn(1)); }, 1000000), 1);
    EXPECT_EQ(m_usb.PipeResets(), std::vector<USBD_PIPE_HANDLE>{m_hIn});
    // A third failure in a row is started again after the short pause; the fourth and later ones
    // after 1 s (ten steps of 100 ms): reception does not end while the device is there.
    ASSERT_TRUE(m_usb.FailBulkIn(USBD_STATUS_XACT_ERROR));
    EXPECT_EQ(RunWithClock([&] { ASSERT_TRUE(m_usb.WaitForPendingBulkIn(1)); }, 1000000), 1);
    for (int failure = 4; failure <= 5; ++failure) {
        ASSERT_TRUE(m_usb.FailBulkIn(USBD_STATUS_XACT_ERROR));
        EXPECT_EQ(RunWithClock([&] { ASSERT_TRUE(m_usb.WaitForPendingBulkIn(1)); }, 1000000), 10);
    }
    // A success in between starts the count again: the next failure waits the short pause.
    ASSERT_TRUE(m_usb.CompleteBulkIn(Bytes(4)));
    ExpectPending(7);
    ASSERT_TRUE(m_usb.FailBulkIn(USBD_STATUS_XACT_ERROR));
    EXPECT_EQ(RunWithClock([&] { ASSERT_TRUE(m_usb.WaitForPendingBulkIn(1)); }, 1000000), 1);
    EXPECT_EQ(m_usb.BulkInLengths().size(), 8u);
    EXPECT_TRUE(m_pTransport->m_StopInterruptUrb());
}

TEST_F(BulkInTest, NothingIsStartedAgainOnceTheDeviceIsGone)
{
    Create();
    ASSERT_TRUE(m_pTransport->m_StartInterruptUrb(m_hIn, 64));
    ASSERT_TRUE(m_usb.FailBulkIn(USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(State(), (ULONG)CVUSB_BULK_IN_INITIALISED);
    // Nothing waits for the clock: no restart was queued.
    EXPECT_FALSE(machine().GetDispatcher().AwaitTimedWaiters(1, std::chrono::milliseconds(50)));
    EXPECT_EQ(m_usb.BulkInLengths().size(), 1u);
}

TEST_F(BulkInTest, ARestartQueuedBeforeAStopDoesNotStartTheTransfer)
{
    Create();
    ASSERT_TRUE(m_pTransport->m_StartInterruptUrb(m_hIn, 64));
    // The failure queues a restart that waits 100 ms on the executor; the stop comes first.
    ASSERT_TRUE(m_usb.FailBulkIn(USBD_STATUS_XACT_ERROR));
    ASSERT_TRUE(machine().GetDispatcher().AwaitTimedWaiters(1));
    EXPECT_TRUE(m_pTransport->m_StopInterruptUrb());
    machine().GetClock().Advance(1000000);
    // The executor finishes the restart before it stops.
    m_pTransport->m_DeInit();
    EXPECT_EQ(m_usb.BulkInLengths().size(), 1u);
    EXPECT_EQ(m_usb.PendingBulkIn(), 0u);
    EXPECT_EQ(State(), (ULONG)CVUSB_BULK_IN_INITIALISED);
}

TEST_F(BulkInTest, TheSpareIrpIsAllocatedAgainAndFreed)
{
    EXPECT_FALSE(m_pTransport->m_IsBulkIrpAllocated());
    ASSERT_TRUE(m_pTransport->m_AllocateBulkIrp());
    ASSERT_TRUE(m_pTransport->m_AllocateBulkIrp());  // the first one is freed
    EXPECT_TRUE(m_pTransport->m_IsBulkIrpAllocated());
    m_pTransport->m_FreeBulkIrp();
    EXPECT_FALSE(m_pTransport->m_IsBulkIrpAllocated());
    m_pTransport->m_FreeBulkIrp();
}

}  // namespace
}  // namespace cvusbtest
