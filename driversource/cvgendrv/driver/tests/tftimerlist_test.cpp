// Tests of the timer list: due times on the machine clock, stopping timers whose DPC is already
// queued or running, handles that outlive their timers.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ke/clock.h"
#include "ke/dpc_manager.h"
#include "ex/pool.h"
#include "machine_test.h"
#include "tfmemorytracker.h"
#include "tftimerlist.h"

namespace {

// What one timer's callback saw.
struct Shot {
    std::atomic<int> Calls{0};
    KIRQL Irql = PASSIVE_LEVEL;
    LONGLONG Time = 0;
    // Optional action inside the callback.
    CTfTimerList* pList = nullptr;
    TF_TIMER_HANDLE hStop = TF_NO_TIMER;
    bool bStopAll = false;

    static void Routine(PVOID pContext)
    {
        Shot* pShot = static_cast<Shot*>(pContext);
        pShot->Irql = KeGetCurrentIrql();
        pShot->Time = (LONGLONG)KeQueryInterruptTime();
        if (pShot->pList != nullptr) {
            if (pShot->bStopAll)
                pShot->pList->m_StopAllTimers();
            else
                EXPECT_TRUE(pShot->pList->m_StopTimer(pShot->hStop));
        }
        ++pShot->Calls;
    }
};

class TfTimerListTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        machine().GetClock().SetScale(0);
        ASSERT_TRUE(TfLibraryAddReference());
        m_Baseline = LiveTracked();
        m_pList = new (NonPagedPool) CTfTimerList();
        ASSERT_NE(nullptr, m_pList);
    }
    void TearDown() override
    {
        if (m_pList != nullptr) {
            // Nothing may be left armed or queued when the list goes.
            Dpcs().HoldDpcs(false);
            delete m_pList;
        }
        EXPECT_EQ(m_Baseline, LiveTracked());
        TfLibraryRelease();
        MachineTest::TearDown();
    }
    size_t LiveTracked() { return machine().GetPool().LiveCount(TF_TAG_TRACKED); }
    emu::DpcManager& Dpcs() { return machine().GetDpcs(); }
    void Advance(LONGLONG ll100ns) { machine().GetClock().Advance(ll100ns); }
    LONGLONG Now() { return machine().GetClock().InterruptTime(); }
    TF_TIMER_HANDLE Start(Shot& shot, ULONGLONG ullDue) { return m_pList->m_StartTimer(Shot::Routine, &shot, ullDue); }

    size_t m_Baseline = 0;
    CTfTimerList* m_pList = nullptr;
};

TEST_F(TfTimerListTest, DueTimeIsIn100NanosecondUnitsAndTheCallbackRunsOnceAtDispatchLevel)
{
    Shot Five;
    LONGLONG llStart = Now();
    TF_TIMER_HANDLE h = Start(Five, 50000);
    ASSERT_NE(TF_NO_TIMER, h);
    EXPECT_EQ(1u, m_pList->m_GetTimerCount());

    Advance(49999);
    EXPECT_EQ(0, Five.Calls.load());
    Advance(1);
    EXPECT_EQ(1, Five.Calls.load());
    EXPECT_EQ(llStart + 50000, Five.Time);
    EXPECT_EQ(DISPATCH_LEVEL, Five.Irql);
    // One-shot: the record is gone and nothing fires again.
    EXPECT_EQ(0u, m_pList->m_GetTimerCount());
    Advance(10 * 50000);
    EXPECT_EQ(1, Five.Calls.load());
    // Stopping a timer that fired changes nothing.
    EXPECT_TRUE(m_pList->m_StopTimer(h));
    EXPECT_TRUE(m_pList->m_StopTimer(TF_NO_TIMER));
    EXPECT_EQ(m_Baseline + 1, LiveTracked());
}

TEST_F(TfTimerListTest, DueTimesBeyond32BitsDoNotWrapToAShortDelay)
{
    // 500,000 ms: 5,000,000,000 units, beyond 2^32.
    const ULONGLONG ullLong = 5000000000ULL;
    Shot Long, Zero;
    ASSERT_NE(TF_NO_TIMER, Start(Long, ullLong));
    ASSERT_NE(TF_NO_TIMER, Start(Zero, 0));
    Advance(1);
    EXPECT_EQ(1, Zero.Calls.load());
    Advance((LONGLONG)(ullLong & 0xFFFFFFFF));
    Advance(1000000000);
    EXPECT_EQ(0, Long.Calls.load());
    // Up to one unit before the due time.
    Advance((LONGLONG)ullLong - 2 - (LONGLONG)(ullLong & 0xFFFFFFFF) - 1000000000);
    EXPECT_EQ(0, Long.Calls.load());
    Advance(1);
    EXPECT_EQ(1, Long.Calls.load());

    // The largest due time is taken as "never" in practice, not as a negative number.
    Shot Never;
    ASSERT_NE(TF_NO_TIMER, Start(Never, ~0ULL));
    Advance(1000000000);
    EXPECT_EQ(0, Never.Calls.load());
    m_pList->m_StopAllTimers();
}

TEST_F(TfTimerListTest, StopAfterTheTimerFiredWithItsDpcQueuedSkipsTheCallbackAndFreesOnlyAfterTheDpc)
{
    Shot A, B;
    Dpcs().HoldDpcs(true);
    TF_TIMER_HANDLE hA = Start(A, 1000);
    ASSERT_NE(TF_NO_TIMER, Start(B, 1000));
    Advance(1000);
    ASSERT_EQ(2u, Dpcs().QueuedDpcCount());

    // The KDPC lives in the record: freeing it now would leave a queued DPC in freed memory (the
    // pool check reports that as a fault).
    EXPECT_TRUE(m_pList->m_StopTimer(hA));
    EXPECT_EQ(1u, m_pList->m_GetTimerCount());
    // The list, both records and B's node.
    EXPECT_EQ(m_Baseline + 4, LiveTracked());
    m_pList->m_StopAllTimers();
    EXPECT_EQ(0u, m_pList->m_GetTimerCount());

    EXPECT_EQ(2u, Dpcs().RunQueuedDpcs());
    EXPECT_EQ(0, A.Calls.load());
    EXPECT_EQ(0, B.Calls.load());
    EXPECT_EQ(m_Baseline + 1, LiveTracked());
}

TEST_F(TfTimerListTest, DestroyingTheListWaitsForDpcsOfStoppedTimers)
{
    Shot A;
    Dpcs().HoldDpcs(true);
    ASSERT_NE(TF_NO_TIMER, Start(A, 1000));
    Advance(1000);
    m_pList->m_StopAllTimers();

    std::atomic<bool> bDestroyed{false};
    CTfTimerList* pList = m_pList;
    m_pList = nullptr;
    std::thread Destroyer([&] {
        delete pList;
        bDestroyed = true;
    });
    // Whether the destructor is already waiting or not, the DPC finds its record orphaned.
    EXPECT_EQ(1u, Dpcs().RunQueuedDpcs());
    Destroyer.join();
    EXPECT_TRUE(bDestroyed.load());
    EXPECT_EQ(0, A.Calls.load());
}

TEST_F(TfTimerListTest, StoppedTimersNeverFireAndDestroyingTheListStopsTheRest)
{
    Shot A, B, C;
    ASSERT_NE(TF_NO_TIMER, Start(A, 1000));
    TF_TIMER_HANDLE hB = Start(B, 2000);
    ASSERT_NE(TF_NO_TIMER, Start(C, 5000));
    EXPECT_TRUE(m_pList->m_StopTimer(hB));
    EXPECT_EQ(2u, m_pList->m_GetTimerCount());
    // Freeing a record whose KTIMER is still armed would be reported by the pool check.
    delete m_pList;
    m_pList = nullptr;
    EXPECT_EQ(0u, Dpcs().ArmedTimerCount());
    Advance(10000);
    EXPECT_EQ(0, A.Calls + B.Calls + C.Calls);
}

TEST_F(TfTimerListTest, ACallbackMayStopItsOwnTimerOrAllTimersOfItsList)
{
    Shot Self;
    Self.pList = m_pList;
    Self.hStop = Start(Self, 100);
    ASSERT_NE(TF_NO_TIMER, Self.hStop);

    Shot All, Other;
    All.pList = m_pList;
    All.bStopAll = true;
    ASSERT_NE(TF_NO_TIMER, Start(All, 200));
    ASSERT_NE(TF_NO_TIMER, Start(Other, 300));

    Advance(100);
    EXPECT_EQ(1, Self.Calls.load());
    EXPECT_EQ(2u, m_pList->m_GetTimerCount());
    Advance(100);
    EXPECT_EQ(1, All.Calls.load());
    EXPECT_EQ(0u, m_pList->m_GetTimerCount());
    Advance(1000);
    EXPECT_EQ(0, Other.Calls.load());
    EXPECT_EQ(m_Baseline + 1, LiveTracked());
}

TEST_F(TfTimerListTest, AStaleHandleNeverStopsALaterTimer)
{
    // A fired timer's handle, then one stopped while its DPC was queued: each record is freed and
    // a new timer may well get its memory.
    for (int iRound = 0; iRound < 2; iRound++) {
        Shot First;
        TF_TIMER_HANDLE hFirst = Start(First, 100);
        if (iRound == 1)
            Dpcs().HoldDpcs(true);
        Advance(100);
        if (iRound == 1) {
            EXPECT_TRUE(m_pList->m_StopTimer(hFirst));
            Dpcs().RunQueuedDpcs();
            Dpcs().HoldDpcs(false);
        }
        EXPECT_EQ(iRound == 0 ? 1 : 0, First.Calls.load());

        std::vector<Shot> Later(8);
        std::vector<TF_TIMER_HANDLE> Handles;
        for (Shot& shot : Later) {
            Handles.push_back(Start(shot, 100));
            ASSERT_NE(TF_NO_TIMER, Handles.back());
            EXPECT_NE(hFirst, Handles.back());
        }
        EXPECT_TRUE(m_pList->m_StopTimer(hFirst));
        EXPECT_EQ(8u, m_pList->m_GetTimerCount());
        Advance(100);
        for (Shot& shot : Later)
            EXPECT_EQ(1, shot.Calls.load());
    }
}

TEST_F(TfTimerListTest, OutOfMemoryGivesNoHandleAndLeavesNothingBehind)
{
    Shot A;
    machine().GetPool().FailNextWithTag(TF_TAG_TRACKED);  // the record
    EXPECT_EQ(TF_NO_TIMER, Start(A, 100));
    machine().GetPool().FailNth(2);  // the list node
    EXPECT_EQ(TF_NO_TIMER, Start(A, 100));
    EXPECT_EQ(0u, m_pList->m_GetTimerCount());
    EXPECT_EQ(0u, Dpcs().ArmedTimerCount());
    Advance(1000);
    EXPECT_EQ(0, A.Calls.load());
    EXPECT_EQ(m_Baseline + 1, LiveTracked());
}

TEST_F(TfTimerListTest, CallbacksOnTheDpcThreadRaceStopsWithoutLosingRecords)
{
    // The clock runs on its own: timers fire on the machine's DPC thread while this thread starts
    // and stops them.
    machine().GetClock().SetScale(1000);
    std::vector<Shot> Shots(200);
    for (size_t i = 0; i < Shots.size(); i++) {
        TF_TIMER_HANDLE h = Start(Shots[i], 10000 + (i % 7) * 1000);
        ASSERT_NE(TF_NO_TIMER, h);
        if (i % 2 == 0) {
            EXPECT_TRUE(m_pList->m_StopTimer(h));
        }
    }
    delete m_pList;
    m_pList = nullptr;
    for (size_t i = 0; i < Shots.size(); i++)
        EXPECT_LE(Shots[i].Calls.load(), 1) << i;
}

}  // namespace
