// Timers and DPCs on the machine clock: arming, re-arming, cancelling in each state, due order,
// periodic and absolute timers, waits on timers, the DPC queue, flushing, and the verifier's checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ke/clock.h"
#include "ke/dispatcher.h"
#include "ke/dpc_manager.h"
#include "ex/pool.h"
#include "machine_test.h"

namespace emu {
namespace {

constexpr LONGLONG kMs = 10000;

LARGE_INTEGER Relative(LONGLONG hundredNs)
{
    LARGE_INTEGER t;
    t.QuadPart = -hundredNs;
    return t;
}

LARGE_INTEGER Absolute(LONGLONG systemTime)
{
    LARGE_INTEGER t;
    t.QuadPart = systemTime;
    return t;
}

// Records which DPCs ran, in order, and how they found the machine.
struct Log {
    std::mutex mutex;
    std::vector<int> order;
    std::vector<KIRQL> irqls;
    std::vector<std::thread::id> threads;

    void Add(int id)
    {
        std::lock_guard lock(mutex);
        order.push_back(id);
        irqls.push_back(KeGetCurrentIrql());
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<int> Order()
    {
        std::lock_guard lock(mutex);
        return order;
    }
};

// A timer and its DPC, logging `id` when the DPC runs; `then` runs inside the DPC.
struct TimedDpc {
    KTIMER timer;
    KDPC dpc;
    Log* log = nullptr;
    int id = 0;
    std::function<void(TimedDpc&)> then;

    TimedDpc(Log& l, int i, TIMER_TYPE type = NotificationTimer) : log(&l), id(i)
    {
        KeInitializeTimerEx(&timer, type);
        KeInitializeDpc(&dpc, Routine, this);
    }
    static void Routine(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto* self = static_cast<TimedDpc*>(context);
        self->log->Add(self->id);
        if (self->then) self->then(*self);
    }
    BOOLEAN Set(LONGLONG relative) { return KeSetTimer(&timer, Relative(relative), &dpc); }
};

class TimerDpcTest : public testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        clock().SetScale(0);  // time moves only when a test advances it
        start = clock().InterruptTime();
    }
    Clock& clock() { return machine().GetClock(); }
    DpcManager& dpcs() { return machine().GetDpcs(); }
    Log log;
    LONGLONG start = 0;
};

// ---------------------------------------------------------------------------------------------
// Arming, re-arming, cancelling
// ---------------------------------------------------------------------------------------------

TEST_F(TimerDpcTest, AdvanceRunsTheDpcOfADueTimerBeforeItReturns)
{
    TimedDpc t(log, 1);
    EXPECT_FALSE(t.Set(100 * kMs));
    EXPECT_FALSE(KeReadStateTimer(&t.timer));
    clock().Advance(100 * kMs - 1);
    EXPECT_TRUE(log.Order().empty());  // never early
    clock().Advance(1);
    ASSERT_EQ(log.Order(), std::vector<int>{1});
    EXPECT_EQ(log.irqls[0], DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(KeReadStateTimer(&t.timer));
    EXPECT_FALSE(dpcs().IsTimerArmed(&t.timer));
}

TEST_F(TimerDpcTest, SettingAnArmedTimerReArmsItAndDropsTheOldExpiry)
{
    TimedDpc t(log, 1);
    EXPECT_FALSE(t.Set(100 * kMs));
    clock().Advance(50 * kMs);
    EXPECT_TRUE(t.Set(100 * kMs));  // was still queued
    clock().Advance(60 * kMs);      // past the first expiry
    EXPECT_TRUE(log.Order().empty());
    clock().Advance(40 * kMs);
    EXPECT_EQ(log.Order(), std::vector<int>{1});

    // Setting an expired (signalled) timer answers FALSE and makes it not signalled again.
    EXPECT_TRUE(KeReadStateTimer(&t.timer));
    EXPECT_FALSE(t.Set(10 * kMs));
    EXPECT_FALSE(KeReadStateTimer(&t.timer));
}

TEST_F(TimerDpcTest, CancelAnswersTrueOnlyWhileTheTimerIsStillArmed)
{
    TimedDpc t(log, 1);
    EXPECT_FALSE(KeCancelTimer(&t.timer));  // never set
    t.Set(10 * kMs);
    EXPECT_TRUE(KeCancelTimer(&t.timer));
    EXPECT_FALSE(KeCancelTimer(&t.timer));
    clock().Advance(20 * kMs);
    EXPECT_TRUE(log.Order().empty());
    EXPECT_FALSE(KeReadStateTimer(&t.timer));
}

TEST_F(TimerDpcTest, AfterExpiryCancelFailsAndTheQueuedDpcStillRuns)
{
    TimedDpc t(log, 1);
    dpcs().HoldDpcs(true);
    t.Set(10 * kMs);
    clock().Advance(10 * kMs);
    EXPECT_TRUE(KeReadStateTimer(&t.timer));  // expired: signalled, its DPC queued, not run
    EXPECT_EQ(dpcs().QueuedDpcCount(), 1u);
    EXPECT_TRUE(dpcs().IsDpcQueued(&t.dpc));
    EXPECT_FALSE(KeCancelTimer(&t.timer));
    EXPECT_TRUE(log.Order().empty());

    EXPECT_EQ(dpcs().RunQueuedDpcs(), 1u);
    ASSERT_EQ(log.Order(), std::vector<int>{1});
    EXPECT_EQ(log.irqls[0], DISPATCH_LEVEL);
    EXPECT_EQ(log.threads[0], std::this_thread::get_id());
    EXPECT_EQ(dpcs().QueuedDpcCount(), 0u);
}

TEST_F(TimerDpcTest, WhileItsDpcRunsTheTimerIsNoLongerArmedButMayBeSetAgain)
{
    TimedDpc t(log, 1);
    std::vector<BOOLEAN> answers;
    t.then = [&](TimedDpc& self) {
        answers.push_back(KeCancelTimer(&self.timer));
        answers.push_back(dpcs().IsDpcQueued(&self.dpc));
        if (log.order.size() == 1) answers.push_back(self.Set(5 * kMs));  // re-arm from its own DPC
    };
    t.Set(10 * kMs);
    clock().Advance(10 * kMs);
    EXPECT_EQ(answers, (std::vector<BOOLEAN>{FALSE, FALSE, FALSE}));
    EXPECT_TRUE(dpcs().IsTimerArmed(&t.timer));
    clock().Advance(5 * kMs);
    EXPECT_EQ(log.Order(), (std::vector<int>{1, 1}));
}

TEST_F(TimerDpcTest, ADueTimeAlreadyPastFiresAtOnce)
{
    TimedDpc relativeZero(log, 1), pastAbsolute(log, 2);
    dpcs().HoldDpcs(true);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_FALSE(KeSetTimer(&relativeZero.timer, zero, &relativeZero.dpc));
    EXPECT_FALSE(KeSetTimer(&pastAbsolute.timer, Absolute(clock().SystemTime() - kMs), &pastAbsolute.dpc));
    EXPECT_TRUE(KeReadStateTimer(&relativeZero.timer));
    EXPECT_TRUE(KeReadStateTimer(&pastAbsolute.timer));
    EXPECT_EQ(dpcs().RunQueuedDpcs(), 2u);
    EXPECT_EQ(log.Order(), (std::vector<int>{1, 2}));
}

TEST_F(TimerDpcTest, AbsoluteDueTimeFollowsTheSystemTime)
{
    TimedDpc t(log, 1);
    clock().Advance(3 * kMs);
    EXPECT_FALSE(KeSetTimer(&t.timer, Absolute(clock().SystemTime() + 5 * kMs), &t.dpc));
    clock().Advance(5 * kMs - 1);
    EXPECT_TRUE(log.Order().empty());
    clock().Advance(1);
    EXPECT_EQ(log.Order(), std::vector<int>{1});
}

// ---------------------------------------------------------------------------------------------
// Order
// ---------------------------------------------------------------------------------------------

TEST_F(TimerDpcTest, OneAdvanceFiresTimersInDueOrderAndEqualDueTimesInArmingOrder)
{
    TimedDpc a(log, 30), b(log, 10), c(log, 20), d(log, 21), late(log, 99);
    a.Set(30 * kMs);
    c.Set(20 * kMs);
    b.Set(10 * kMs);
    d.Set(20 * kMs);
    late.Set(51 * kMs);
    clock().Advance(50 * kMs);
    EXPECT_EQ(log.Order(), (std::vector<int>{10, 20, 21, 30}));
    EXPECT_TRUE(dpcs().IsTimerArmed(&late.timer));
    EXPECT_EQ(dpcs().NextDueTime(), start + 51 * kMs);
}

TEST_F(TimerDpcTest, EachDpcRunsBeforeTheNextTimerFires)
{
    // The race the framework's queues guard against: a DPC cancelling a later timer inside the
    // same stretch of time must win, as it would had the time passed tick by tick.
    TimedDpc first(log, 1), second(log, 2);
    std::vector<BOOLEAN> cancelled;
    first.then = [&](TimedDpc&) { cancelled.push_back(KeCancelTimer(&second.timer)); };
    first.Set(10 * kMs);
    second.Set(20 * kMs);
    clock().Advance(50 * kMs);
    EXPECT_EQ(log.Order(), std::vector<int>{1});
    EXPECT_EQ(cancelled, std::vector<BOOLEAN>{TRUE});
}

TEST_F(TimerDpcTest, HeldDpcsRunInQueueOrderAndOneQueuedDpcServesTwoTimers)
{
    TimedDpc one(log, 1), two(log, 2);
    KTIMER extra;
    KeInitializeTimer(&extra);
    dpcs().HoldDpcs(true);
    two.Set(5 * kMs);
    one.Set(10 * kMs);
    KeSetTimer(&extra, Relative(7 * kMs), &two.dpc);  // a second timer on the same DPC
    clock().Advance(20 * kMs);
    EXPECT_TRUE(KeReadStateTimer(&extra));
    EXPECT_EQ(dpcs().QueuedDpcCount(), 2u);  // two.dpc once, one.dpc once
    EXPECT_TRUE(log.Order().empty());
    dpcs().RunQueuedDpcs();
    EXPECT_EQ(log.Order(), (std::vector<int>{2, 1}));
}

TEST_F(TimerDpcTest, ReleasingTheHoldLetsTheDpcThreadRunWhatWasQueued)
{
    TimedDpc t(log, 1);
    dpcs().HoldDpcs(true);
    t.Set(10 * kMs);
    clock().Advance(10 * kMs);
    dpcs().HoldDpcs(false);
    KeFlushQueuedDpcs();
    ASSERT_EQ(log.Order(), std::vector<int>{1});
    EXPECT_NE(log.threads[0], std::this_thread::get_id());  // the machine's DPC thread
    EXPECT_EQ(log.irqls[0], DISPATCH_LEVEL);
}

// ---------------------------------------------------------------------------------------------
// Periodic timers and waits
// ---------------------------------------------------------------------------------------------

TEST_F(TimerDpcTest, PeriodicTimerFiresEveryPeriodUntilCancelled)
{
    TimedDpc t(log, 1);
    EXPECT_FALSE(KeSetTimerEx(&t.timer, Relative(10 * kMs), 5, &t.dpc));
    clock().Advance(10 * kMs);
    EXPECT_EQ(log.Order().size(), 1u);
    EXPECT_EQ(dpcs().NextDueTime(), start + 15 * kMs);
    clock().Advance(5 * kMs);
    EXPECT_EQ(log.Order().size(), 2u);
    // A jump over several periods fires it once; the next period is counted from then.
    clock().Advance(17 * kMs);
    EXPECT_EQ(log.Order().size(), 3u);
    EXPECT_EQ(dpcs().NextDueTime(), start + 37 * kMs);
    EXPECT_TRUE(KeCancelTimer(&t.timer));
    clock().Advance(100 * kMs);
    EXPECT_EQ(log.Order().size(), 3u);

    // Held, expiries of a periodic timer queue its DPC once.
    dpcs().HoldDpcs(true);
    KeSetTimerEx(&t.timer, Relative(1 * kMs), 1, &t.dpc);
    clock().Advance(10 * kMs);
    EXPECT_EQ(dpcs().QueuedDpcCount(), 1u);
    KeCancelTimer(&t.timer);
    dpcs().RunQueuedDpcs();
    EXPECT_EQ(log.Order().size(), 4u);
}

TEST_F(TimerDpcTest, TimersAreWaitableNotificationAndSynchronizationObjects)
{
    KTIMER notification, synchronization;
    KeInitializeTimer(&notification);
    KeInitializeTimerEx(&synchronization, SynchronizationTimer);
    std::atomic<int> woken{0};
    auto wait = [&](PVOID object) {
        return std::thread([&woken, object] {
            if (KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS) ++woken;
        });
    };
    std::thread n1 = wait(&notification), n2 = wait(&notification), s1 = wait(&synchronization),
                s2 = wait(&synchronization);
    Dispatcher& dispatcher = machine().GetDispatcher();
    ASSERT_TRUE(dispatcher.AwaitWaiters(&notification, 2));
    ASSERT_TRUE(dispatcher.AwaitWaiters(&synchronization, 2));

    KeSetTimer(&notification, Relative(kMs), nullptr);
    KeSetTimer(&synchronization, Relative(kMs), nullptr);
    clock().Advance(kMs);
    n1.join();
    n2.join();
    EXPECT_TRUE(KeReadStateTimer(&notification));
    EXPECT_EQ(dispatcher.WaiterCount(&synchronization), 1u);  // one released, and the state with it
    EXPECT_FALSE(KeReadStateTimer(&synchronization));
    KeSetTimer(&synchronization, Relative(kMs), nullptr);
    clock().Advance(kMs);
    s1.join();
    s2.join();
    EXPECT_EQ(woken.load(), 4);
}

TEST_F(TimerDpcTest, TimersFireOnTheirOwnWhileTheClockRuns)
{
    clock().SetScale(1000);  // one virtual second per real millisecond
    TimedDpc t(log, 1);
    t.Set(2000 * kMs);
    ASSERT_EQ(KeWaitForSingleObject(&t.timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    KeFlushQueuedDpcs();
    EXPECT_EQ(log.Order(), std::vector<int>{1});
    EXPECT_GE(clock().InterruptTime(), 2000 * kMs);
}

TEST_F(TimerDpcTest, AClockChangeRunsOnTheChangingThreadOnlyWhatWasDueWhenItTookEffect)
{
    // The DPC re-arms its timer one millisecond ahead; with the clock this fast the timer is due
    // again before the DPC has returned. The thread that changed the clock must still get away.
    std::atomic<bool> stop{false};
    std::atomic<int> runs{0};
    TimedDpc t(log, 1);
    t.then = [&](TimedDpc& self) {
        if (++runs < 200 && !stop) self.Set(kMs);
    };
    t.Set(kMs);
    clock().SetScale(1e6);  // a millisecond of machine time per nanosecond
    const std::thread::id changer = std::this_thread::get_id();
    stop = true;
    KeFlushQueuedDpcs();
    KeCancelTimer(&t.timer);
    KeFlushQueuedDpcs();
    clock().SetScale(0);
    std::lock_guard lock(log.mutex);
    EXPECT_LE(std::count(log.threads.begin(), log.threads.end(), changer), 1);
}

// ---------------------------------------------------------------------------------------------
// The DPC queue and flushing
// ---------------------------------------------------------------------------------------------

TEST_F(TimerDpcTest, ADpcIsQueuedOnceAndKeepsItsFirstArguments)
{
    dpcs().HoldDpcs(true);
    KDPC dpc;
    std::vector<PVOID> seen;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID context, PVOID a1, PVOID a2) {
            static_cast<std::vector<PVOID>*>(context)->insert(static_cast<std::vector<PVOID>*>(context)->end(), {a1, a2});
        },
        &seen);
    int x = 0, y = 0;
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, &x, &y));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, &y, &x));
    EXPECT_EQ(dpcs().RunQueuedDpcs(), 1u);
    EXPECT_EQ(seen, (std::vector<PVOID>{&x, &y}));

    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&dpc));
    EXPECT_EQ(dpcs().RunQueuedDpcs(), 0u);
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(TimerDpcTest, FlushWaitsForADpcThatIsRunning)
{
    struct Gate {
        std::atomic<bool> entered{false}, release{false}, finished{false};
    } gate;
    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID context, PVOID, PVOID) {
            auto* g = static_cast<Gate*>(context);
            g->entered = true;
            while (!g->release) std::this_thread::yield();
            g->finished = true;
        },
        &gate);
    ASSERT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    while (!gate.entered) std::this_thread::yield();  // it runs on the DPC thread
    EXPECT_FALSE(dpcs().IsDpcQueued(&dpc));

    std::atomic<bool> flushed{false}, finishedFirst{false};
    std::thread flusher([&] {
        KeFlushQueuedDpcs();
        finishedFirst = gate.finished.load();
        flushed = true;
    });
    ASSERT_TRUE(dpcs().AwaitFlushWaiters(1));
    EXPECT_FALSE(flushed);
    gate.release = true;
    flusher.join();
    EXPECT_TRUE(finishedFirst);
}

TEST_F(TimerDpcTest, FlushWhileHeldRunsTheDpcsQueuedBeforeItOnTheFlushingThread)
{
    // A destructor that flushes must not hang a test that holds DPCs; what it flushes runs as it
    // would on Windows, and what is queued later stays held.
    TimedDpc t(log, 1), later(log, 2);
    t.then = [&](TimedDpc&) { KeInsertQueueDpc(&later.dpc, nullptr, nullptr); };
    dpcs().HoldDpcs(true);
    t.Set(kMs);
    clock().Advance(kMs);
    KeFlushQueuedDpcs();
    ASSERT_EQ(log.Order(), std::vector<int>{1});
    EXPECT_EQ(log.threads[0], std::this_thread::get_id());
    EXPECT_TRUE(dpcs().IsDpcQueued(&later.dpc));
    dpcs().RunQueuedDpcs();
    EXPECT_EQ(log.Order(), (std::vector<int>{1, 2}));
}

TEST_F(TimerDpcTest, ManyDpcsFromManyThreadsOnSeveralDpcThreadsAllRun)
{
    dpcs().SetThreadCount(4);
    constexpr int kThreads = 4, kPerThread = 200;
    std::atomic<int> ran{0};
    std::vector<KDPC> dpcsArray(kThreads * kPerThread);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                KDPC& dpc = dpcsArray[t * kPerThread + i];
                KeInitializeDpc(&dpc, [](PKDPC, PVOID c, PVOID, PVOID) { ++*static_cast<std::atomic<int>*>(c); }, &ran);
                KeInsertQueueDpc(&dpc, nullptr, nullptr);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    KeFlushQueuedDpcs();
    EXPECT_EQ(ran.load(), kThreads * kPerThread);
}

// ---------------------------------------------------------------------------------------------
// Verifier checks
// ---------------------------------------------------------------------------------------------

TEST_F(TimerDpcTest, FlushAtDispatchLevelIsReportedAndReturns)
{
    testing::ScopedIrql dispatch(DISPATCH_LEVEL);
    KeFlushQueuedDpcs();
    EXPECT_EQ(Take(Violation::IrqlTooHigh), 1u);
}

TEST_F(TimerDpcTest, UninitialisedTimersAndDpcsAreReported)
{
    KTIMER timer{};
    KDPC dpc{};
    EXPECT_FALSE(KeSetTimer(&timer, Relative(kMs), nullptr));
    EXPECT_FALSE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_EQ(Take(Violation::Bugcheck), 3u);
    EXPECT_EQ(dpcs().ArmedTimerCount(), 0u);
    EXPECT_EQ(dpcs().QueuedDpcCount(), 0u);
}

TEST_F(TimerDpcTest, ReinitialisingAnArmedTimerIsReportedAndDisarmsIt)
{
    TimedDpc t(log, 1);
    t.Set(kMs);
    KeInitializeTimer(&t.timer);
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
    clock().Advance(2 * kMs);
    EXPECT_TRUE(log.Order().empty());
}

TEST_F(TimerDpcTest, ADpcReturningAtAnotherIrqlOrHoldingASpinLockIsReported)
{
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KDPC lowers, holds;
    KeInitializeDpc(&lowers, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
    KeInitializeDpc(&holds, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
    dpcs().HoldDpcs(true);
    KeInsertQueueDpc(&lowers, nullptr, nullptr);
    KeInsertQueueDpc(&holds, nullptr, nullptr);
    dpcs().RunQueuedDpcs();
    EXPECT_EQ(Take(Violation::Bugcheck), 2u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);  // given back, so it can be taken again
    KeReleaseSpinLock(&lock, old);
}

TEST_F(TimerDpcTest, FreeingPoolThatHoldsAnArmedTimerOrQueuedDpcIsReportedAndSafe)
{
    struct Record {
        KTIMER timer;
        KDPC dpc;
    };
    Pool& pool = machine().GetPool();
    auto* armed = static_cast<Record*>(pool.Allocate(NonPagedPool, sizeof(Record), PoolTag("Test")));
    KeInitializeTimer(&armed->timer);
    KeInitializeDpc(&armed->dpc, [](PKDPC, PVOID, PVOID, PVOID) { ADD_FAILURE() << "DPC of freed memory ran"; }, nullptr);
    KeSetTimer(&armed->timer, Relative(kMs), &armed->dpc);
    pool.Free(armed);
    EXPECT_EQ(Take(Violation::TimerOrDpcInFreedMemory), 1u);
    EXPECT_EQ(dpcs().ArmedTimerCount(), 0u);

    auto* queued = static_cast<Record*>(pool.Allocate(NonPagedPool, sizeof(Record), PoolTag("Test")));
    KeInitializeDpc(&queued->dpc, [](PKDPC, PVOID, PVOID, PVOID) { ADD_FAILURE() << "DPC of freed memory ran"; }, nullptr);
    dpcs().HoldDpcs(true);
    KeInsertQueueDpc(&queued->dpc, nullptr, nullptr);
    pool.Free(queued);
    EXPECT_EQ(Take(Violation::TimerOrDpcInFreedMemory), 1u);
    EXPECT_EQ(dpcs().RunQueuedDpcs(), 0u);

    // A DPC may free the memory it lives in: it has left the queue by then.
    auto* self = static_cast<Record*>(pool.Allocate(NonPagedPool, sizeof(Record), PoolTag("Test")));
    KeInitializeTimer(&self->timer);
    KeInitializeDpc(&self->dpc, [](PKDPC dpc, PVOID, PVOID, PVOID) { ExFreePool(CONTAINING_RECORD(dpc, Record, dpc)); },
                    nullptr);
    KeSetTimer(&self->timer, Relative(kMs), &self->dpc);
    dpcs().HoldDpcs(false);
    clock().Advance(kMs);
    EXPECT_EQ(pool.LiveCount(PoolTag("Test")), 0u);
}

TEST_F(TimerDpcTest, ShuttingDownWithArmedTimersAndQueuedDpcsDropsThem)
{
    TimedDpc t(log, 1), queued(log, 2);
    t.Set(kMs);
    dpcs().HoldDpcs(true);
    KeInsertQueueDpc(&queued.dpc, nullptr, nullptr);
    ShutDownMachine();
    EXPECT_TRUE(log.Order().empty());
}

}  // namespace
}  // namespace emu
