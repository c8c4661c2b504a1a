// Tests of the wait-on-mask queue, driven as a serial port driver drives it: IOCTL_SERIAL_WAIT_ON_MASK
// requests reach the queue through a device's dispatch, the owner sets the mask and records events.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <ntddser.h>

#include "io/io_manager.h"
#include "ex/pool.h"
#include "machine_test.h"
#include "test_driver.h"
#include "tfcontrolqueue.h"
#include "tfmemorytracker.h"

namespace {

// Spins until `flag` reads `value`: first without yielding, so two racing threads meet closely, then
// yielding, at most a bounded number of times. False when the other thread never got there: the
// test fails with that rather than hanging.
bool SpinUntil(const std::atomic<int>& flag, int value)
{
    constexpr long kBusySpins = 1L << 16;
    constexpr long kYields = 10'000'000;
    for (long n = 0; n < kBusySpins + kYields; n++) {
        if (flag.load(std::memory_order_acquire) == value) return true;
        if (n >= kBusySpins) std::this_thread::yield();
    }
    return false;
}

// One wait request as its sender sees it. The sender owns the IRP and its system buffer (poisoned),
// so what the queue wrote is visible whatever the status; its completion routine keeps the IRP.
struct Wait {
    PIRP pIrp = nullptr;
    ULONG Buffer[2] = {0xDEADBEEF, 0xDEADBEEF};
    ULONG ulEvents = 0xDEADBEEF;  // the first word, once completed
    IO_STATUS_BLOCK Iosb{};
    KEVENT Done;
    NTSTATUS Returned = STATUS_SUCCESS;

    Wait() { KeInitializeEvent(&Done, NotificationEvent, FALSE); }
    ~Wait()
    {
        if (pIrp != nullptr)
            IoFreeIrp(pIrp);
    }
    bool Finished() { return KeReadStateEvent(&Done) != 0; }

    static NTSTATUS Completed(PDEVICE_OBJECT, PIRP pIrp, PVOID pContext)
    {
        Wait* w = static_cast<Wait*>(pContext);
        w->Iosb = pIrp->IoStatus;
        w->ulEvents = w->Buffer[0];
        KeSetEvent(&w->Done, 0, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
};

class TfControlQueueTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(TfLibraryAddReference());
        m_Baseline = LiveTracked();
        m_pQueue = new (NonPagedPool) CTfControlQueue();
        ASSERT_NE(nullptr, m_pQueue);
        m_Driver.SetDispatch(IRP_MJ_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP pIrp) {
            return m_pQueue->m_QueueIrp(pIrp);
        });
        m_pDevice = m_Driver.CreateDevice(u"\\Device\\TfControlQueueTest");
        ASSERT_NE(nullptr, m_pDevice);
    }
    void TearDown() override
    {
        delete m_pQueue;
        EXPECT_EQ(m_Baseline, LiveTracked());
        TfLibraryRelease();
        MachineTest::TearDown();
    }
    size_t LiveTracked() { return machine().GetPool().LiveCount(TF_TAG_TRACKED); }

    // Sends IOCTL_SERIAL_WAIT_ON_MASK (buffered) with an output buffer of ulOutput bytes.
    std::unique_ptr<Wait> Send(ULONG ulOutput = sizeof(ULONG), bool bSystemBuffer = true)
    {
        auto w = std::make_unique<Wait>();
        Send(*w, ulOutput, bSystemBuffer);
        return w;
    }
    void Send(Wait& w, ULONG ulOutput = sizeof(ULONG), bool bSystemBuffer = true)
    {
        w.pIrp = IoAllocateIrp(m_pDevice->StackSize, FALSE);
        ASSERT_NE(nullptr, w.pIrp);
        w.pIrp->AssociatedIrp.SystemBuffer = bSystemBuffer ? w.Buffer : nullptr;
        PIO_STACK_LOCATION pStack = IoGetNextIrpStackLocation(w.pIrp);
        pStack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        pStack->Parameters.DeviceIoControl.IoControlCode = IOCTL_SERIAL_WAIT_ON_MASK;
        pStack->Parameters.DeviceIoControl.OutputBufferLength = ulOutput;
        pStack->Parameters.DeviceIoControl.InputBufferLength = 0;
        IoSetCompletionRoutine(w.pIrp, Wait::Completed, &w, TRUE, TRUE, TRUE);
        w.Returned = IoCallDriver(m_pDevice, w.pIrp);
    }
    static void ExpectCompleted(Wait& w, NTSTATUS Status, ULONG_PTR ulInformation, ULONG ulEvents)
    {
        ASSERT_TRUE(w.Finished());
        EXPECT_EQ(Status, w.Iosb.Status);
        EXPECT_EQ(ulInformation, w.Iosb.Information);
        EXPECT_EQ(ulEvents, w.ulEvents);
        EXPECT_EQ(0xDEADBEEFu, w.Buffer[1]);
    }

    size_t m_Baseline = 0;
    CTfControlQueue* m_pQueue = nullptr;
    emu::testing::TestDriver m_Driver;
    PDEVICE_OBJECT m_pDevice = nullptr;
};

TEST_F(TfControlQueueTest, MaskedEventsAreReportedAndOnlyThoseAreForgotten)
{
    m_pQueue->m_SetWaitMask(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
    EXPECT_EQ(0x5u, m_pQueue->m_GetWaitMask());
    EXPECT_TRUE(m_pQueue->m_IsInWaitMask(SERIAL_EV_RXCHAR));
    EXPECT_TRUE(m_pQueue->m_IsInWaitMask(0x5));
    EXPECT_FALSE(m_pQueue->m_IsInWaitMask(0x3));

    auto w = Send();
    EXPECT_EQ(STATUS_PENDING, w->Returned);
    EXPECT_FALSE(w->Finished());

    m_pQueue->m_SetCommEventsReceived(0x7);
    EXPECT_TRUE(m_pQueue->m_ResolveCurrentEventMask(NULL));
    ExpectCompleted(*w, STATUS_SUCCESS, 4, 0x5);
    EXPECT_EQ(0x2u, m_pQueue->m_GetEventsReceived());
    // Nothing left to report and nobody waiting.
    EXPECT_FALSE(m_pQueue->m_ResolveCurrentEventMask(NULL));

    m_pQueue->m_ClearCommEvents(0x2);
    EXPECT_EQ(0u, m_pQueue->m_GetEventsReceived());
}

TEST_F(TfControlQueueTest, ParityErrorEventIsNeverReported)
{
    m_pQueue->m_SetWaitMask(SERIAL_EV_PERR);
    m_pQueue->m_SetCommEventsReceived(SERIAL_EV_PERR);
    auto w = Send();
    EXPECT_EQ(STATUS_PENDING, w->Returned);
    EXPECT_FALSE(m_pQueue->m_ResolveCurrentEventMask(NULL));
    EXPECT_FALSE(w->Finished());
    EXPECT_EQ((ULONG)SERIAL_EV_PERR, m_pQueue->m_GetEventsReceived());

    // The highest reportable event still is.
    m_pQueue->m_SetWaitMask(SERIAL_EV_PERR | SERIAL_EV_EVENT2);
    ExpectCompleted(*w, STATUS_SUCCESS, 4, 0);
    m_pQueue->m_SetCommEventsReceived(SERIAL_EV_PERR | SERIAL_EV_EVENT2);
    auto w2 = Send();
    EXPECT_EQ(STATUS_SUCCESS, w2->Returned);
    ExpectCompleted(*w2, STATUS_SUCCESS, 4, SERIAL_EV_EVENT2);
}

TEST_F(TfControlQueueTest, AWaitIssuedWithAMatchingEventRecordedCompletesAtOnce)
{
    m_pQueue->m_SetWaitMask(SERIAL_EV_CTS | SERIAL_EV_RING);
    m_pQueue->m_SetCommEventsReceived(SERIAL_EV_RING | SERIAL_EV_RXCHAR);
    auto w = Send();
    EXPECT_EQ(STATUS_SUCCESS, w->Returned);
    ExpectCompleted(*w, STATUS_SUCCESS, 4, SERIAL_EV_RING);
    EXPECT_EQ((ULONG)SERIAL_EV_RXCHAR, m_pQueue->m_GetEventsReceived());
}

TEST_F(TfControlQueueTest, RefusedWaitsCarryAZeroEventWord)
{
    // Mask 0.
    auto w0 = Send();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, w0->Returned);
    ExpectCompleted(*w0, STATUS_INVALID_PARAMETER, 4, 0);

    // A second wait while one is held; the first one stays.
    m_pQueue->m_SetWaitMask(SERIAL_EV_DSR);
    auto w1 = Send();
    EXPECT_EQ(STATUS_PENDING, w1->Returned);
    auto w2 = Send();
    EXPECT_EQ(STATUS_INVALID_PARAMETER, w2->Returned);
    ExpectCompleted(*w2, STATUS_INVALID_PARAMETER, 4, 0);
    EXPECT_FALSE(w1->Finished());

    // No memory for the list node: the held wait is completed by the new mask first.
    m_pQueue->m_SetWaitMask(SERIAL_EV_DSR);
    ExpectCompleted(*w1, STATUS_SUCCESS, 4, 0);
    machine().GetPool().FailNextWithTag(TF_TAG_TRACKED);
    auto w3 = Send();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, w3->Returned);
    ExpectCompleted(*w3, STATUS_INSUFFICIENT_RESOURCES, 4, 0);

    // No room for the event word: nothing is written, nothing reported.
    auto w4 = Send(2);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, w4->Returned);
    ASSERT_TRUE(w4->Finished());
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, w4->Iosb.Status);
    EXPECT_EQ(0u, w4->Iosb.Information);
    EXPECT_EQ(0xDEADBEEFu, w4->ulEvents);

    // No system buffer at all (a request that is not buffered).
    auto w5 = Send(4, false);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, w5->Returned);
    ASSERT_TRUE(w5->Finished());
    EXPECT_EQ(0u, w5->Iosb.Information);
}

TEST_F(TfControlQueueTest, CancelledWaitCompletesWithNoDataAndANewWaitIsAccepted)
{
    m_pQueue->m_SetWaitMask(SERIAL_EV_RXFLAG);
    auto w = Send();
    ASSERT_EQ(STATUS_PENDING, w->Returned);
    EXPECT_TRUE(IoCancelIrp(w->pIrp));
    ASSERT_TRUE(w->Finished());
    EXPECT_EQ(STATUS_CANCELLED, w->Iosb.Status);
    EXPECT_EQ(0u, w->Iosb.Information);
    EXPECT_EQ(0xDEADBEEFu, w->ulEvents);

    auto w2 = Send();
    EXPECT_EQ(STATUS_PENDING, w2->Returned);
    m_pQueue->m_SetCommEventsReceived(SERIAL_EV_RXFLAG);
    EXPECT_TRUE(m_pQueue->m_ResolveCurrentEventMask(NULL));
    ExpectCompleted(*w2, STATUS_SUCCESS, 4, SERIAL_EV_RXFLAG);

    // Cancelled from DISPATCH_LEVEL as well.
    auto w3 = Send();
    ASSERT_EQ(STATUS_PENDING, w3->Returned);
    {
        emu::testing::ScopedIrql Dispatch(DISPATCH_LEVEL);
        EXPECT_TRUE(IoCancelIrp(w3->pIrp));
    }
    ASSERT_TRUE(w3->Finished());
    EXPECT_EQ(STATUS_CANCELLED, w3->Iosb.Status);
}

TEST_F(TfControlQueueTest, NewMaskCompletesTheHeldWaitWithNoEventsAndForgetsRecordedEvents)
{
    m_pQueue->m_SetWaitMask(SERIAL_EV_BREAK);
    m_pQueue->m_SetCommEventsReceived(SERIAL_EV_ERR);
    auto w = Send();
    ASSERT_EQ(STATUS_PENDING, w->Returned);
    m_pQueue->m_SetWaitMask(SERIAL_EV_ERR);
    ExpectCompleted(*w, STATUS_SUCCESS, 4, 0);
    EXPECT_EQ(0u, m_pQueue->m_GetEventsReceived());
    EXPECT_EQ((ULONG)SERIAL_EV_ERR, m_pQueue->m_GetWaitMask());

    // Clearing the mask also refuses the next wait.
    m_pQueue->m_SetWaitMask(0);
    auto w2 = Send();
    ExpectCompleted(*w2, STATUS_INVALID_PARAMETER, 4, 0);
}

TEST_F(TfControlQueueTest, PurgeAndDestructionCancelTheHeldWait)
{
    m_pQueue->m_SetWaitMask(SERIAL_EV_RLSD);
    auto w = Send();
    ASSERT_EQ(STATUS_PENDING, w->Returned);
    m_pQueue->m_CancelMaskIrps();
    ASSERT_TRUE(w->Finished());
    EXPECT_EQ(STATUS_CANCELLED, w->Iosb.Status);
    EXPECT_EQ(0u, w->Iosb.Information);

    auto w2 = Send();
    ASSERT_EQ(STATUS_PENDING, w2->Returned);
    delete m_pQueue;
    m_pQueue = nullptr;
    ASSERT_TRUE(w2->Finished());
    EXPECT_EQ(STATUS_CANCELLED, w2->Iosb.Status);
}

TEST_F(TfControlQueueTest, AnEventRecordedWhileAWaitIsBeingQueuedIsNeverLost)
{
    // The queuing path looks for events, then inserts the request; an event recorded and resolved
    // by another thread in between finds nobody waiting. Each round races one wait against one
    // event, and whichever way it falls the wait must end with that event. Both threads spin at the
    // start line, and the poster's delay is steered towards the boundary between "before the wait
    // looked" (completed at once) and "after it was queued" (pending), where that window lies.
    m_pQueue->m_SetWaitMask(SERIAL_EV_RXCHAR);
    const int kRounds = 1500;
    std::atomic<int> iGo{-1}, iDone{-1}, iDelay{0};
    std::atomic<bool> bPosterStuck{false};
    std::thread Poster([&] {
        for (int i = 0; i < kRounds; i++) {
            if (!SpinUntil(iGo, i)) {
                bPosterStuck = true;  // the test thread never started round i
                return;
            }
            for (int iSpin = iDelay.load(std::memory_order_relaxed); iSpin > 0; iSpin--)
                std::atomic_signal_fence(std::memory_order_seq_cst);
            m_pQueue->m_SetCommEventsReceived(SERIAL_EV_RXCHAR);
            m_pQueue->m_ResolveCurrentEventMask(NULL);
            iDone.store(i, std::memory_order_release);
        }
    });
    int iLost = 0, iEarly = 0, iLate = 0;
    for (int i = 0; i < kRounds; i++) {
        auto w = std::make_unique<Wait>();
        iGo.store(i, std::memory_order_release);
        Send(*w);
        if (!SpinUntil(iDone, i)) {
            ADD_FAILURE() << "the poster never finished round " << i;
            break;  // the poster gives up waiting for the next round and ends
        }
        int iStep = 1 + iDelay.load() / 8 + (i % 3);
        if (w->Returned == STATUS_SUCCESS) {
            iEarly++;
            iDelay += iStep;
        } else {
            iLate++;
            iDelay = std::max(0, iDelay.load() - iStep);
        }
        if (!w->Finished()) {
            iLost++;
            m_pQueue->m_CancelMaskIrps();
            m_pQueue->m_ClearCommEvents(SERIAL_EV_RXCHAR);
            continue;
        }
        EXPECT_EQ(STATUS_SUCCESS, w->Iosb.Status);
        EXPECT_EQ((ULONG)SERIAL_EV_RXCHAR, w->ulEvents);
        EXPECT_EQ(0u, m_pQueue->m_GetEventsReceived());
    }
    Poster.join();
    EXPECT_FALSE(bPosterStuck.load());
    EXPECT_EQ(0, iLost) << iEarly << " early, " << iLate << " late";
}

}  // namespace
