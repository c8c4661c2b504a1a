// The requests the write queue holds until the write side reaches a state: flush (idle and
// transmitter empty) and the XOFF counter (XOFF sent when idle, then a count of received bytes).
#include "tfwritequeue_harness.h"

namespace tfwq_test {
namespace {

using emu::testing::ScopedIrql;

// ---- Flush --------------------------------------------------------------------------------------

TEST_F(WriteQueueTest, AFlushWithNothingQueuedCompletesAtOnce)
{
    Request& flush = Flush();
    EXPECT_EQ(flush.returned, STATUS_SUCCESS);
    EXPECT_EQ(flush.status, STATUS_SUCCESS);
    EXPECT_EQ(m_transmitterAsked, 0);
}

TEST_F(WriteQueueTest, AFlushBehindWritesCompletesWhenTheyAreConfirmed)
{
    Confirm(20);
    Request& write = Write(Pattern(10, 0));
    Request& first = Flush();
    Request& second = Flush();
    EXPECT_EQ(first.returned, STATUS_PENDING);
    EXPECT_EQ(second.returned, STATUS_PENDING);
    EXPECT_EQ(m_queue->m_GetFlushCount(), 2u);
    Confirm(9);
    EXPECT_FALSE(first.Done());
    Confirm(1);
    ASSERT_TRUE(write.Done());
    ASSERT_TRUE(first.Done());
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
}

TEST_F(WriteQueueTest, AFlushPollsTheBusyTransmitterEveryFiveMilliseconds)
{
    Confirm(20);
    Write(Pattern(4, 0));
    Request& flush = Flush();
    m_transmitterAnswers = {false, false, false, false, true};
    Confirm(4);  // idle now; the transmitter is still busy
    EXPECT_EQ(m_transmitterAsked, 1);
    for (int poll = 2; poll <= 4; ++poll) {
        AdvanceMs(4);
        EXPECT_EQ(m_transmitterAsked, poll - 1) << "asked before 5 ms passed";
        AdvanceMs(1);
        EXPECT_EQ(m_transmitterAsked, poll);
        EXPECT_FALSE(flush.Done());
    }
    AdvanceMs(5);
    EXPECT_EQ(m_transmitterAsked, 5);
    ASSERT_TRUE(flush.Done());
    EXPECT_EQ(flush.status, STATUS_SUCCESS);
    AdvanceMs(50);
    EXPECT_EQ(m_transmitterAsked, 5) << "polling goes on after the flush completed";
}

TEST_F(WriteQueueTest, ChecksWhileAPollRunsStartNoFurtherPolls)
{
    Confirm(20);
    Write(Pattern(4, 0));
    Request& flush = Flush();
    m_transmitterAnswers.assign(10, false);
    Confirm(4);
    // Further checks from other paths while the 5 ms poll is pending.
    m_queue->m_CheckFlushIrp();
    m_queue->m_CheckFlushIrp();
    EXPECT_EQ(m_transmitterAsked, 3);
    AdvanceMs(5);
    EXPECT_EQ(m_transmitterAsked, 4) << "one poll at a time";
    m_transmitterAnswers.clear();
    AdvanceMs(5);
    EXPECT_TRUE(flush.Done());
}

TEST_F(WriteQueueTest, CancellingTheLastWriteReleasesTheFlush)
{
    Request& write = Write(Pattern(10, 0));  // no credit: it stays pending
    Request& flush = Flush();
    EXPECT_EQ(flush.returned, STATUS_PENDING);
    Cancel(write);
    ASSERT_TRUE(flush.Done());
    EXPECT_EQ(flush.status, STATUS_SUCCESS);
}

TEST_F(WriteQueueTest, AHeldFlushCanBeCancelled)
{
    Request& write = Write(Pattern(10, 0));
    Request& flush = Flush();
    EXPECT_TRUE(Cancel(flush));
    ASSERT_TRUE(flush.Done());
    EXPECT_EQ(flush.status, STATUS_CANCELLED);
    EXPECT_EQ(m_queue->m_GetFlushCount(), 0u);
    EXPECT_FALSE(write.Done());
}

TEST_F(WriteQueueTest, CleanupAndDestructionEndFlushesTheTransmitterNeverReleases)
{
    Write(Pattern(10, 0));
    Request& atCleanup = Flush();
    m_transmitterAnswers.assign(100, false);
    m_queue->m_CancelAllIrps(TRUE);
    ASSERT_TRUE(atCleanup.Done());
    EXPECT_EQ(atCleanup.status, STATUS_CANCELLED);

    Request& write = Write(Pattern(10, 0));
    Request& atDestruction = Flush();
    DestroyQueue();
    ASSERT_TRUE(atDestruction.Done());
    EXPECT_EQ(atDestruction.status, STATUS_CANCELLED);
    EXPECT_EQ(write.status, STATUS_CANCELLED);
}

TEST_F(WriteQueueTest, APurgeWithoutCleanupKeepsWaitingForTheTransmitter)
{
    Write(Pattern(10, 0));
    Request& flush = Flush();
    m_transmitterAnswers = {false};
    m_queue->m_CancelAllIrps();
    EXPECT_FALSE(flush.Done());
    AdvanceMs(5);
    ASSERT_TRUE(flush.Done());
    EXPECT_EQ(flush.status, STATUS_SUCCESS);
}

// ---- XOFF counter -------------------------------------------------------------------------------

TEST_F(WriteQueueTest, XoffIsSentAtOnceWhenIdleAndReceivedBytesCompleteTheCounter)
{
    Request& xoff = XoffCounter(4, 1000, 0x13);
    EXPECT_EQ(xoff.returned, STATUS_PENDING);
    ASSERT_EQ(m_xoffSent, Bytes({0x13}));
    EXPECT_EQ(m_xoffSendIrql[0], PASSIVE_LEVEL);
    Received(3);
    EXPECT_FALSE(xoff.Done());
    Received(2);
    ASSERT_TRUE(xoff.Done());
    EXPECT_EQ(xoff.status, STATUS_SUCCESS);
    EXPECT_EQ(xoff.information, 0u);
    EXPECT_TRUE(xoff.pendingReturned);
    AdvanceMs(2000);
    EXPECT_EQ(xoff.completions, 1);
}

TEST_F(WriteQueueTest, AWriteEndsTheXoffCounterWithMoreWrites)
{
    Request& xoff = XoffCounter(4, 1000);
    Write(Pattern(3, 0));
    ASSERT_TRUE(xoff.Done());
    EXPECT_EQ(xoff.status, STATUS_SERIAL_MORE_WRITES);
    EXPECT_FALSE(m_queue->m_IsXoffCounterHeld());
}

TEST_F(WriteQueueTest, TheXoffCounterTimesOutAfterItsTimeOut)
{
    Request& xoff = XoffCounter(4, 1000);
    Received(2);
    AdvanceMs(999);
    EXPECT_FALSE(xoff.Done());
    AdvanceMs(1);
    ASSERT_TRUE(xoff.Done());
    EXPECT_EQ(xoff.status, STATUS_SERIAL_COUNTER_TIMEOUT);
}

TEST_F(WriteQueueTest, ALongXoffTimeOutDoesNotWrapToAShortOne)
{
    // 500,000 ms is 5e9 units of 100 ns: more than 32 bits hold.
    Request& xoff = XoffCounter(4, 500000);
    AdvanceMs(500000 - 1);
    EXPECT_FALSE(xoff.Done());
    AdvanceMs(1);
    ASSERT_TRUE(xoff.Done());
    EXPECT_EQ(xoff.status, STATUS_SERIAL_COUNTER_TIMEOUT);
}

TEST_F(WriteQueueTest, ASecondXoffCounterEndsTheFirst)
{
    Request& first = XoffCounter(4, 0, 0x13);
    Request& second = XoffCounter(2, 0, 0x93);
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.status, STATUS_SERIAL_MORE_WRITES);
    EXPECT_FALSE(second.Done());
    EXPECT_EQ(m_xoffSent, Bytes({0x13, 0x93}));
    Received(2);
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(second.status, STATUS_SUCCESS);
}

TEST_F(WriteQueueTest, WithoutATimeOutTheXoffGoesOutExactlyOnce)
{
    Request& xoff = XoffCounter(10, 0);
    for (int chunk = 0; chunk < 3; ++chunk) Received(1);
    m_queue->m_CheckFlushIrp();
    EXPECT_EQ(m_xoffSent.size(), 1u);
    EXPECT_FALSE(xoff.Done());
    m_queue->m_CancelAllIrps();
    EXPECT_EQ(xoff.status, STATUS_CANCELLED);
}

TEST_F(WriteQueueTest, XoffWaitsForQueuedWritesAndCountsOnlyLaterBytes)
{
    Confirm(10);
    Request& write = Write(Pattern(6, 0));
    // The port driver stages and queues; the write stays in flight.
    m_queue->m_SetXoffCounter(OwnerSendXoff, this, 0, 3, 0x13);
    Request& xoff = XoffCounterUnstaged();
    EXPECT_TRUE(m_xoffSent.empty()) << "sent ahead of bytes still queued";
    Received(5);
    EXPECT_FALSE(xoff.Done()) << "bytes received before the XOFF went out counted";
    Confirm(6);
    ASSERT_TRUE(write.Done());
    EXPECT_EQ(m_xoffSent, Bytes({0x13}));
    Received(3);
    ASSERT_TRUE(xoff.Done());
    EXPECT_EQ(xoff.status, STATUS_SUCCESS);
}

TEST_F(WriteQueueTest, AFlushDoesNotStopTheXoffTimeOut)
{
    Confirm(10);
    Write(Pattern(4, 0));
    Request& flush = Flush();
    m_queue->m_SetXoffCounter(OwnerSendXoff, this, 100, 3, 0x13);
    Request& xoff = XoffCounterUnstaged();
    m_transmitterAnswers = {false};
    Confirm(4);  // idle: the XOFF goes out and its timer starts; the flush polls
    ASSERT_EQ(m_xoffSent.size(), 1u);
    AdvanceMs(5);
    ASSERT_TRUE(flush.Done());
    AdvanceMs(95);
    ASSERT_TRUE(xoff.Done());
    EXPECT_EQ(xoff.status, STATUS_SERIAL_COUNTER_TIMEOUT);
}

TEST_F(WriteQueueTest, AHeldXoffCounterCanBeCancelled)
{
    Request& xoff = XoffCounter(4, 0);
    EXPECT_TRUE(Cancel(xoff));
    ASSERT_TRUE(xoff.Done());
    EXPECT_EQ(xoff.status, STATUS_CANCELLED);
    EXPECT_FALSE(m_queue->m_IsXoffCounterHeld());

    // The next request carries no values of its own: nothing is left to count.
    Request& unstaged = XoffCounterUnstaged();
    ASSERT_TRUE(unstaged.Done());
    EXPECT_EQ(unstaged.returned, STATUS_PENDING);
    EXPECT_EQ(unstaged.status, STATUS_SUCCESS);
    EXPECT_EQ(m_xoffSent.size(), 1u);
}

TEST_F(WriteQueueTest, TheXoffSendMayReportBytesWrittenAtOnce)
{
    // The bus driver answers a one-byte send with its queue-time credit on the same call.
    Request& write = Write(Pattern(3, 0));
    m_onXoffSend = [this] { m_queue->m_DataWritten(8); };
    m_queue->m_CancelAllIrps();
    EXPECT_EQ(write.status, STATUS_CANCELLED);
    Request& xoff = XoffCounter(2, 0);
    EXPECT_EQ(m_xoffSent.size(), 1u);
    EXPECT_EQ(m_queue->m_GetCredit(), 8u);
    EXPECT_FALSE(xoff.Done());

    // The write side going idle in the total time-out DPC: the send still runs at PASSIVE_LEVEL.
    m_queue->m_CancelAllIrps();
    m_queue->m_SetTotalTimeouts(0, 50);
    m_queue->m_ResetForOpen();
    Request& stalled = Write(Pattern(3, 0));
    m_queue->m_SetXoffCounter(OwnerSendXoff, this, 0, 2, 0x13);
    Request& again = XoffCounterUnstaged();
    EXPECT_EQ(m_xoffSent.size(), 1u) << "sent while a write was pending";
    AdvanceMs(50);
    EXPECT_EQ(stalled.status, STATUS_TIMEOUT);
    EXPECT_EQ(m_xoffSent.size(), 2u);
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);
        m_queue->m_XoffCounterBytesReceived(2);
    }
    Drain();
    ASSERT_TRUE(again.Done());
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    for (KIRQL irql : m_xoffSendIrql) EXPECT_EQ(irql, PASSIVE_LEVEL);
}

}  // namespace
}  // namespace tfwq_test
