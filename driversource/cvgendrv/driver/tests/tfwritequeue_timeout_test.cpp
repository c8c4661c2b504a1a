// Write total time-outs on the paused machine clock: which request is timed, from when, with what
// result, and that a stale or early firing never ends a request; and a purge or a time-out staged
// exactly while the block builder holds a request out of the queues.
#include "tfwritequeue_harness.h"

namespace tfwq_test {
namespace {

class WriteTimeoutTest : public WriteQueueTest {
protected:
    emu::DpcManager& Dpcs() { return machine().GetDpcs(); }
};

TEST_F(WriteTimeoutTest, WithoutMultiplierOrConstantNoTimerIsEverArmed)
{
    Request& write = Write(Pattern(10, 0));
    EXPECT_FALSE(m_queue->m_IsTotalTimerArmed());
    Confirm(4);
    EXPECT_FALSE(m_queue->m_IsTotalTimerArmed());
    AdvanceMs(24LL * 3600 * 1000);
    EXPECT_FALSE(write.Done());
}

TEST_F(WriteTimeoutTest, APendingRequestTimesOutWithTheBytesItHandedOver)
{
    m_queue->m_SetTotalTimeouts(10, 50);  // 10 bytes: 150 ms
    Request& untouched = Write(Pattern(10, 0));
    AdvanceMs(149);
    EXPECT_FALSE(untouched.Done());
    AdvanceMs(1);
    ASSERT_TRUE(untouched.Done());
    EXPECT_EQ(untouched.status, STATUS_TIMEOUT);
    EXPECT_EQ(untouched.information, 0u);

    Confirm(4);  // initial credit: 4 of the next request go out
    Request& partial = Write(Pattern(10, 0));
    ASSERT_EQ(SentCount(), 4u);
    AdvanceMs(150);
    ASSERT_TRUE(partial.Done());
    EXPECT_EQ(partial.status, STATUS_TIMEOUT);
    EXPECT_EQ(partial.information, 4u);
    EXPECT_EQ(m_queue->m_GetDiscardCount(), 4u);
}

TEST_F(WriteTimeoutTest, EveryRequestInFlightIsTimedFromWhenItBecomesTheOldest)
{
    m_queue->m_SetTotalTimeouts(0, 100);
    Confirm(100);
    Request& first = Write(Pattern(10, 0));
    Request& second = Write(Pattern(10, 10));  // both handed over in one go
    AdvanceMs(50);
    Confirm(10);  // the first is confirmed; the second is timed from now
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    AdvanceMs(99);
    EXPECT_FALSE(second.Done());
    AdvanceMs(1);
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(second.status, STATUS_TIMEOUT);
    EXPECT_EQ(second.information, 10u) << "all of it went to the device";

    // With the device stalled, a later write is still timed.
    Request& third = Write(Pattern(5, 20));
    AdvanceMs(100);
    ASSERT_TRUE(third.Done());
    EXPECT_EQ(third.status, STATUS_TIMEOUT);
    Request& fourth = Write(Pattern(5, 30));
    AdvanceMs(100);
    ASSERT_TRUE(fourth.Done());
    EXPECT_EQ(fourth.status, STATUS_TIMEOUT);
}

TEST_F(WriteTimeoutTest, ConfirmationsOfATimedOutRequestDoNotCompleteTheNextOne)
{
    m_queue->m_SetTotalTimeouts(0, 100);
    Confirm(100);
    Request& slow = Write(Pattern(10, 0));
    Confirm(3);
    AdvanceMs(100);
    ASSERT_TRUE(slow.Done());
    EXPECT_EQ(slow.status, STATUS_TIMEOUT);
    EXPECT_EQ(slow.information, 10u);
    EXPECT_EQ(m_queue->m_GetDiscardCount(), 7u);

    Request& next = Write(Pattern(4, 50));
    Confirm(7);  // the late bytes of the timed-out request
    EXPECT_FALSE(next.Done());
    Confirm(4);
    ASSERT_TRUE(next.Done());
    EXPECT_EQ(next.status, STATUS_SUCCESS);
}

TEST_F(WriteTimeoutTest, AQueuedDpcOfARetiredRequestDoesNotTimeOutTheNextOne)
{
    m_queue->m_SetTotalTimeouts(0, 100);
    Confirm(100);
    Request& first = Write(Pattern(10, 0));
    Request& second = Write(Pattern(10, 10));
    Dpcs().HoldDpcs(true);
    AdvanceMs(100);  // the timer fires for the first; its DPC waits
    ASSERT_EQ(Dpcs().QueuedDpcCount(), 1u);
    Confirm(10);  // ...while the first is confirmed and the second becomes the timed one
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    Dpcs().RunQueuedDpcs();
    Dpcs().HoldDpcs(false);
    Drain();
    EXPECT_FALSE(second.Done()) << "a stale firing ended the next request";
    AdvanceMs(100);
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(second.status, STATUS_TIMEOUT);
}

TEST_F(WriteTimeoutTest, ANewWriteDoesNotRestartTheTimerOfTheRequestInFlight)
{
    m_queue->m_SetTotalTimeouts(0, 100);
    Confirm(10);
    Request& first = Write(Pattern(10, 0));
    AdvanceMs(60);
    Request& second = Write(Pattern(10, 10));  // waits for credit
    AdvanceMs(40);
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.status, STATUS_TIMEOUT);
    EXPECT_FALSE(second.Done());
    AdvanceMs(100);
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(second.status, STATUS_TIMEOUT);
    EXPECT_EQ(second.information, 0u);
}

TEST_F(WriteTimeoutTest, CancellingTheTimedRequestTimesTheNextFromThen)
{
    m_queue->m_SetTotalTimeouts(0, 100);
    Request& first = Write(Pattern(10, 0));
    Request& second = Write(Pattern(10, 10));
    AdvanceMs(70);
    Cancel(first);
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.status, STATUS_CANCELLED);
    AdvanceMs(99);
    EXPECT_FALSE(second.Done());
    AdvanceMs(1);
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(second.status, STATUS_TIMEOUT);
}

TEST_F(WriteTimeoutTest, LongTimeOutsDoNotWrapToShortOnes)
{
    // 65,536 bytes x 100,000 ms is about 6.6e9 ms, which wraps to about 2.2e9 ms in 32 bits.
    m_queue->m_SetTotalTimeouts(100000, 0);
    Request& big = Write(Bytes(65536, 0x55));
    AdvanceMs(2300000000LL);
    EXPECT_FALSE(big.Done());
    AdvanceMs(6553600000LL - 2300000000LL - 1);
    EXPECT_FALSE(big.Done());
    AdvanceMs(1);
    ASSERT_TRUE(big.Done());
    EXPECT_EQ(big.status, STATUS_TIMEOUT);

    // A constant near MAXULONG with a multiplier: L - 1 ms after 32-bit wrap-around.
    m_queue->m_SetTotalTimeouts(1, MAXULONG);
    Request& small = Write(Pattern(10, 0));
    AdvanceMs(1000);
    EXPECT_FALSE(small.Done());
    m_queue->m_CancelAllIrps();
    EXPECT_EQ(small.status, STATUS_CANCELLED);
}

TEST_F(WriteTimeoutTest, PurgeStopsTheTimer)
{
    m_queue->m_SetTotalTimeouts(0, 100);
    Request& write = Write(Pattern(10, 0));
    EXPECT_TRUE(m_queue->m_IsTotalTimerArmed());
    m_queue->m_CancelAllIrps();
    EXPECT_EQ(write.status, STATUS_CANCELLED);
    EXPECT_FALSE(m_queue->m_IsTotalTimerArmed());
    Request& next = Write(Pattern(10, 0));
    AdvanceMs(99);
    EXPECT_FALSE(next.Done());
    AdvanceMs(1);
    EXPECT_EQ(next.status, STATUS_TIMEOUT);
}

// ---- A purge or the time-out while the block builder holds the request ------------------------

// The builder takes a request out of the pending queue, copies its bytes into the block, checks for a
// purge or a total time-out that ran meanwhile and puts the request back: in flight when the block
// took all of it, first in the pending queue when it took part. A purge or time-out at either point
// must end the request; the check catches one before it, the queue's insert callback (under the
// queue lock) one between the check and the insert.
struct OutsideCase {
    ULONG point;
    bool purge;  // else the total time-out
    bool whole;  // the block takes all of the request, else 4 of its 10 bytes
};

std::string OutsideCaseName(const ::testing::TestParamInfo<OutsideCase>& info)
{
    const OutsideCase& c = info.param;
    return std::string(c.purge ? "Purge" : "TimeOut") + (c.point == TF_WQ_OUTSIDE_COPIED ? "AfterCopy" : "AfterCheck") +
           (c.whole ? "Whole" : "Part");
}

class WriteOutsideTest : public WriteTimeoutTest, public ::testing::WithParamInterface<OutsideCase> {};

TEST_P(WriteOutsideTest, EndsTheRequestAndDiscardsItsBytes)
{
    const OutsideCase& c = GetParam();
    const ULONG taken = c.whole ? 10 : 4;
    m_queue->m_SetTotalTimeouts(0, 100);
    Confirm(taken);  // initial credit
    int staged = 0;
    OnOutside([&](ULONG point, PIRP) {
        if (point != c.point || staged++ != 0) return;
        if (c.purge) {
            m_queue->m_CancelAllIrps();
        } else {
            machine().GetClock().Advance(100 * 10000);  // the time-out's DPC runs before this returns
        }
    });
    Request& write = Write(Pattern(10, 0));
    ASSERT_EQ(staged, 1);
    // The block went out with the request's bytes, but the request is not left in any queue.
    EXPECT_EQ(Sent(), Bytes(write.data.begin(), write.data.begin() + taken));
    ASSERT_EQ(write.completions, 1) << "the request was put back and waits";
    EXPECT_EQ(write.status, c.purge ? STATUS_CANCELLED : STATUS_TIMEOUT);
    EXPECT_EQ(write.information, c.purge ? 0u : taken);
    EXPECT_EQ(m_queue->m_GetPendingCount(), 0u);
    EXPECT_EQ(m_queue->m_GetInFlightCount(), 0u);
    EXPECT_TRUE(m_queue->m_IsIdle());
    EXPECT_FALSE(m_queue->m_IsTotalTimerArmed());
    // Their confirmation must not be credited to a later request.
    EXPECT_EQ(m_queue->m_GetDiscardCount(), taken);
    Request& next = Write(Pattern(3, 50));
    Confirm(taken);
    EXPECT_EQ(m_queue->m_GetDiscardCount(), 0u);
    EXPECT_FALSE(next.Done());
    Confirm(3);
    ASSERT_TRUE(next.Done());
    EXPECT_EQ(next.status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Builder, WriteOutsideTest,
    ::testing::Values(OutsideCase{TF_WQ_OUTSIDE_COPIED, true, true}, OutsideCase{TF_WQ_OUTSIDE_COPIED, true, false},
                      OutsideCase{TF_WQ_OUTSIDE_COPIED, false, true}, OutsideCase{TF_WQ_OUTSIDE_COPIED, false, false},
                      OutsideCase{TF_WQ_OUTSIDE_CHECKED, true, true}, OutsideCase{TF_WQ_OUTSIDE_CHECKED, true, false},
                      OutsideCase{TF_WQ_OUTSIDE_CHECKED, false, true},
                      OutsideCase{TF_WQ_OUTSIDE_CHECKED, false, false}),
    OutsideCaseName);

}  // namespace
}  // namespace tfwq_test
