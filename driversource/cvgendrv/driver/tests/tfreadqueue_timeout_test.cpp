// The read queue's serial time-outs, mode by mode, on the paused machine clock.
#include "tfreadqueue_harness.h"

namespace tfreadqueue_test {
namespace {

using ReadTimeoutTest = ReadQueueTest;

// ---------------------------------------------------------------------------------------------
// Immediate: (MAXULONG, 0, 0)
// ---------------------------------------------------------------------------------------------

TEST_F(ReadTimeoutTest, ImmediateReturnsWhatIsBufferedEvenNothing)
{
    SetTimeouts(kMax, 0, 0);
    NTSTATUS result;
    ReadRequest& empty = Read(10, &result);
    EXPECT_EQ(STATUS_SUCCESS, result);
    EXPECT_EQ(STATUS_SUCCESS, empty.Status());
    EXPECT_EQ(0u, empty.Information());

    Feed(3);
    ReadRequest& partial = Read(10, &result);
    EXPECT_EQ(STATUS_SUCCESS, result);
    EXPECT_EQ(Stream(0, 3), partial.Data());
    EXPECT_EQ(0u, Queue().m_GetDataAmount());
    EXPECT_EQ(0u, Dpcs().ArmedTimerCount());
}

// ---------------------------------------------------------------------------------------------
// First byte: (MAXULONG, MAXULONG, 0 < K < MAXULONG)
// ---------------------------------------------------------------------------------------------

TEST_F(ReadTimeoutTest, FirstByteCompletesOnOneByteOrTimesOutAfterTheConstant)
{
    SetTimeouts(kMax, kMax, 100);
    NTSTATUS result;
    ReadRequest& first = Read(10, &result);
    EXPECT_EQ(STATUS_PENDING, result);
    AdvanceMs(60);
    Feed(1);
    ASSERT_TRUE(first.Completed());
    EXPECT_EQ(STATUS_SUCCESS, first.Status());
    EXPECT_EQ(Stream(0, 1), first.Data());

    // Its timer went with it: nothing fires for the next read at the old deadline.
    ReadRequest& second = Read(10, &result);
    EXPECT_EQ(STATUS_PENDING, result);
    AdvanceMs(99);
    EXPECT_FALSE(second.Completed());
    AdvanceMs(1);
    ASSERT_TRUE(second.Completed());
    EXPECT_EQ(STATUS_TIMEOUT, second.Status());
    EXPECT_EQ(0u, second.Information());
}

TEST_F(ReadTimeoutTest, FirstByteTakesBufferedDataAtOnceAndStopsAtTheRequestLength)
{
    SetTimeouts(kMax, kMax, 100);
    Feed(3);
    NTSTATUS result;
    ReadRequest& buffered = Read(10, &result);
    EXPECT_EQ(STATUS_SUCCESS, result);
    EXPECT_EQ(Stream(0, 3), buffered.Data());

    ReadRequest& waiting = Read(3);
    Feed(5);  // more than the request holds: the rest stays buffered
    ASSERT_TRUE(waiting.Completed());
    EXPECT_EQ(STATUS_SUCCESS, waiting.Status());
    EXPECT_EQ(Stream(3, 3), waiting.Data());
    EXPECT_EQ(2u, Queue().m_GetDataAmount());
    EXPECT_EQ(0u, Dpcs().ArmedTimerCount());
}

// ---------------------------------------------------------------------------------------------
// No total: M = 0 and K = 0, not immediate
// ---------------------------------------------------------------------------------------------

TEST_F(ReadTimeoutTest, NoTimeoutsWaitUntilTheRequestIsFullWithNoTimerRunning)
{
    SetTimeouts(0, 0, 0);
    NTSTATUS result;
    ReadRequest& request = Read(10, &result);
    EXPECT_EQ(STATUS_PENDING, result);
    EXPECT_EQ(0u, Dpcs().ArmedTimerCount());
    Feed(4);
    EXPECT_EQ(0u, Dpcs().ArmedTimerCount());
    AdvanceMs(1000000);
    EXPECT_FALSE(request.Completed());
    Feed(6);
    ASSERT_TRUE(request.Completed());
    EXPECT_EQ(STATUS_SUCCESS, request.Status());
    EXPECT_EQ(Stream(0, 10), request.Data());
}

// ---------------------------------------------------------------------------------------------
// Constant only: (MAXULONG, MAXULONG, 0 or MAXULONG)
// ---------------------------------------------------------------------------------------------

// A total time-out of 0 ms: a read that cannot be answered in full times out at once with what is
// buffered (Windows would wait for data instead).
TEST_F(ReadTimeoutTest, ConstantOnlyZeroTimesOutAtOnceUnlessTheBufferFillsTheRead)
{
    SetTimeouts(kMax, kMax, 0);
    Feed(3);
    NTSTATUS result;
    ReadRequest& partial = Read(10, &result);
    EXPECT_EQ(STATUS_TIMEOUT, result);
    EXPECT_EQ(STATUS_TIMEOUT, partial.Status());
    EXPECT_EQ(Stream(0, 3), partial.Data());

    Feed(10);
    ReadRequest& full = Read(10, &result);
    EXPECT_EQ(STATUS_SUCCESS, result);
    EXPECT_EQ(Stream(3, 10), full.Data());
    EXPECT_EQ(0u, Dpcs().ArmedTimerCount());
}

TEST_F(ReadTimeoutTest, ConstantOnlyMaximumWaitsTheWholeConstant)
{
    SetTimeouts(kMax, kMax, kMax);
    NTSTATUS result;
    ReadRequest& request = Read(10, &result);
    EXPECT_EQ(STATUS_PENDING, result);
    Feed(4);  // no interval timer in this mode, and one byte does not finish it
    EXPECT_FALSE(request.Completed());
    AdvanceMs(ULONGLONG{kMax} - 1);
    EXPECT_FALSE(request.Completed());
    AdvanceMs(1);
    ASSERT_TRUE(request.Completed());
    EXPECT_EQ(STATUS_TIMEOUT, request.Status());
    EXPECT_EQ(Stream(0, 4), request.Data());
}

// ---------------------------------------------------------------------------------------------
// Normal: total = L x M + K
// ---------------------------------------------------------------------------------------------

TEST_F(ReadTimeoutTest, TotalIsLengthTimesMultiplierPlusConstant)
{
    SetTimeouts(0, 10, 100);
    NTSTATUS result;
    ReadRequest& request = Read(5, &result);
    EXPECT_EQ(STATUS_PENDING, result);
    AdvanceMs(10);
    Feed(2);
    AdvanceMs(139);
    EXPECT_FALSE(request.Completed());
    AdvanceMs(1);
    ASSERT_TRUE(request.Completed());
    EXPECT_EQ(STATUS_TIMEOUT, request.Status());
    EXPECT_EQ(Stream(0, 2), request.Data());
}

// 65,536 bytes x 100,000 ms wraps to 2,258,632,704 ms in 32 bits; the read must wait the full
// 6,553,600,000 ms.
TEST_F(ReadTimeoutTest, LargeTotalDoesNotWrapToAShortTimeout)
{
    SetTimeouts(0, 100000, 0);
    ReadRequest& request = Read(65536);
    AdvanceMs(2258632704ull + 1);
    EXPECT_FALSE(request.Completed());
    AdvanceMs(6553600000ull - 2258632704ull - 2);
    EXPECT_FALSE(request.Completed());
    AdvanceMs(1);
    ASSERT_TRUE(request.Completed());
    EXPECT_EQ(STATUS_TIMEOUT, request.Status());
}

// ---------------------------------------------------------------------------------------------
// Interval
// ---------------------------------------------------------------------------------------------

TEST_F(ReadTimeoutTest, IntervalStartsAtTheFirstByteAndRestartsWithEveryChunk)
{
    SetTimeouts(50, 0, 0);
    NTSTATUS result;
    ReadRequest& request = Read(10, &result);
    EXPECT_EQ(STATUS_PENDING, result);
    AdvanceMs(1000);  // no byte yet: no interval running, and no total in this mode
    EXPECT_FALSE(request.Completed());

    Feed(3);
    AdvanceMs(49);
    EXPECT_FALSE(request.Completed());
    Feed(2);
    AdvanceMs(49);
    EXPECT_FALSE(request.Completed());
    AdvanceMs(1);
    ASSERT_TRUE(request.Completed());
    EXPECT_EQ(STATUS_TIMEOUT, request.Status());
    EXPECT_EQ(Stream(0, 5), request.Data());
    EXPECT_EQ(0u, Dpcs().ArmedTimerCount());
}

// Bytes already buffered when the read arrives count as its first bytes.
TEST_F(ReadTimeoutTest, ReadThatTakesBufferedBytesAndWaitsStartsItsInterval)
{
    SetTimeouts(50, 0, 0);
    Feed(3);
    ClearChanges();
    NTSTATUS result;
    ReadRequest& request = Read(10, &result);
    EXPECT_EQ(STATUS_PENDING, result);
    EXPECT_EQ(0u, Queue().m_GetDataAmount());
    EXPECT_EQ((std::vector<AmountChange>{{0, 3, 0}}), Changes());
    AdvanceMs(49);
    EXPECT_FALSE(request.Completed());
    AdvanceMs(1);
    ASSERT_TRUE(request.Completed());
    EXPECT_EQ(STATUS_TIMEOUT, request.Status());
    EXPECT_EQ(Stream(0, 3), request.Data());
}

TEST_F(ReadTimeoutTest, IntervalAndTotalTogetherWhicheverComesFirst)
{
    SetTimeouts(30, 0, 100);
    ReadRequest& trickled = Read(50);
    for (int i = 0; i < 9; ++i) {
        AdvanceMs(10);
        Feed(1);
    }
    AdvanceMs(9);  // 99 ms
    EXPECT_FALSE(trickled.Completed());
    AdvanceMs(1);  // the total wins although bytes keep coming
    ASSERT_TRUE(trickled.Completed());
    EXPECT_EQ(STATUS_TIMEOUT, trickled.Status());
    EXPECT_EQ(Stream(0, 9), trickled.Data());

    ReadRequest& quiet = Read(50);
    AdvanceMs(10);
    Feed(1);
    AdvanceMs(29);
    EXPECT_FALSE(quiet.Completed());
    AdvanceMs(1);  // the interval wins
    ASSERT_TRUE(quiet.Completed());
    EXPECT_EQ(STATUS_TIMEOUT, quiet.Status());
    EXPECT_EQ(Stream(9, 1), quiet.Data());
}

// The next read has received nothing when the previous one is filled exactly: no interval for it.
TEST_F(ReadTimeoutTest, NextReadGetsNoIntervalBeforeItsOwnFirstByte)
{
    SetTimeouts(50, 0, 0);
    ReadRequest& first = Read(5);
    ReadRequest& second = Read(5);
    Feed(5);
    ASSERT_TRUE(first.Completed());
    EXPECT_EQ(STATUS_SUCCESS, first.Status());
    AdvanceMs(60);
    EXPECT_FALSE(second.Completed());
    Feed(1);
    AdvanceMs(50);
    ASSERT_TRUE(second.Completed());
    EXPECT_EQ(STATUS_TIMEOUT, second.Status());
    EXPECT_EQ(Stream(5, 1), second.Data());
}

// A cancelled head leaves no interval timer behind to time out the next read.
TEST_F(ReadTimeoutTest, CancelledHeadTakesItsTimersAlong)
{
    SetTimeouts(50, 0, 0);
    ReadRequest& first = Read(10);
    ReadRequest& second = Read(10);
    Feed(3);
    IoCancelIrp(first.Irp());
    ASSERT_TRUE(first.Completed());
    EXPECT_EQ(STATUS_CANCELLED, first.Status());
    EXPECT_EQ(Stream(0, 3), first.Data());
    AdvanceMs(60);
    EXPECT_FALSE(second.Completed());
    EXPECT_EQ(0u, Dpcs().ArmedTimerCount());
}

// ---------------------------------------------------------------------------------------------
// Which request a timer belongs to
// ---------------------------------------------------------------------------------------------

TEST_F(ReadTimeoutTest, ReadQueuedBehindStartsItsTotalWhenItBecomesFirst)
{
    SetTimeouts(0, 0, 100);
    ReadRequest& first = Read(10);
    AdvanceMs(50);
    ReadRequest& second = Read(10);
    AdvanceMs(50);  // 100 ms: the first times out, the second becomes first now
    ASSERT_TRUE(first.Completed());
    EXPECT_EQ(STATUS_TIMEOUT, first.Status());
    EXPECT_FALSE(second.Completed());
    AdvanceMs(99);
    EXPECT_FALSE(second.Completed());
    AdvanceMs(1);
    ASSERT_TRUE(second.Completed());
    EXPECT_EQ(STATUS_TIMEOUT, second.Status());
}

TEST_F(ReadTimeoutTest, NextReadTotalStartsWhenDataFinishesThePreviousOne)
{
    SetTimeouts(0, 0, 100);
    ReadRequest& first = Read(4);
    ReadRequest& second = Read(4);
    AdvanceMs(30);
    Feed(6);
    ASSERT_TRUE(first.Completed());
    EXPECT_EQ(Stream(0, 4), first.Data());
    AdvanceMs(99);
    EXPECT_FALSE(second.Completed());
    AdvanceMs(1);
    ASSERT_TRUE(second.Completed());
    EXPECT_EQ(STATUS_TIMEOUT, second.Status());
    EXPECT_EQ(Stream(4, 2), second.Data());
}

// A total timer that expired (its DPC queued, not yet run) while data finished its read must not
// time out the read that is first by the time the DPC runs.
TEST_F(ReadTimeoutTest, ExpiredTimerOfAFinishedReadDoesNotTimeOutTheNextOne)
{
    SetTimeouts(0, 0, 100);
    Dpcs().HoldDpcs(true);
    ReadRequest& first = Read(5);
    AdvanceMs(100);
    ASSERT_EQ(1u, Dpcs().QueuedDpcCount());
    Feed(5);
    ASSERT_TRUE(first.Completed());
    EXPECT_EQ(STATUS_SUCCESS, first.Status());

    ReadRequest& second = Read(5);
    Dpcs().RunQueuedDpcs();
    EXPECT_FALSE(second.Completed());

    Dpcs().HoldDpcs(false);
    AdvanceMs(99);
    EXPECT_FALSE(second.Completed());
    AdvanceMs(1);
    ASSERT_TRUE(second.Completed());
    EXPECT_EQ(STATUS_TIMEOUT, second.Status());
}

// An interval DPC queued for a read that then filled up must not end the read behind it either.
TEST_F(ReadTimeoutTest, ExpiredIntervalOfAFilledReadDoesNotTimeOutTheNextOne)
{
    SetTimeouts(20, 0, 0);
    Dpcs().HoldDpcs(true);
    ReadRequest& first = Read(4);
    ReadRequest& second = Read(4);
    Feed(2);
    AdvanceMs(20);
    ASSERT_EQ(1u, Dpcs().QueuedDpcCount());
    Feed(3);  // fills the first, one byte for the second: its own interval starts now
    ASSERT_TRUE(first.Completed());
    Dpcs().RunQueuedDpcs();
    EXPECT_FALSE(second.Completed());
    Dpcs().HoldDpcs(false);
    AdvanceMs(20);
    ASSERT_TRUE(second.Completed());
    EXPECT_EQ(STATUS_TIMEOUT, second.Status());
    EXPECT_EQ(Stream(4, 1), second.Data());
}

// ---------------------------------------------------------------------------------------------
// Latching and the owner report after a time-out
// ---------------------------------------------------------------------------------------------

TEST_F(ReadTimeoutTest, TimeoutsAreStagedWhileAReadWaitsAndLatchedByTheNextRead)
{
    ULONG interval, multiplier, constant;
    SetTimeouts(1, 2, 3);
    Queue().m_GetLatchedTimeouts(&interval, &multiplier, &constant);
    EXPECT_EQ(1u, interval);
    EXPECT_EQ(2u, multiplier);
    EXPECT_EQ(3u, constant);

    ReadRequest& waiting = Read(10);
    SetTimeouts(kMax, kMax, 100);
    Queue().m_GetLatchedTimeouts(&interval, &multiplier, &constant);
    EXPECT_EQ(1u, interval);
    EXPECT_EQ(3u, constant);

    Read(10);  // latches the staged values
    Queue().m_GetLatchedTimeouts(&interval, &multiplier, &constant);
    EXPECT_EQ(kMax, interval);
    EXPECT_EQ(kMax, multiplier);
    EXPECT_EQ(100u, constant);
    EXPECT_FALSE(waiting.Completed());
}

TEST_F(ReadTimeoutTest, TimeoutWithDataReportsTheAmountFromThePassiveLevelExecutor)
{
    SetTimeouts(50, 0, 0);
    ReadRequest& request = Read(10);
    Feed(3);  // straight into the read: the amount held does not change
    EXPECT_TRUE(Changes().empty());
    AdvanceMs(50);
    ASSERT_TRUE(request.Completed());
    EXPECT_EQ(STATUS_TIMEOUT, request.Status());
    EXPECT_EQ(Stream(0, 3), request.Data());
    ASSERT_TRUE(WaitForChanges(1));
    std::vector<AmountChange> changes = Changes();
    ASSERT_EQ(1u, changes.size());
    EXPECT_EQ((AmountChange{0, 0, 0}), changes[0]);
    EXPECT_EQ(PASSIVE_LEVEL, changes[0].irql);
}

}  // namespace
}  // namespace tfreadqueue_test
