// Tests of the passive-level executor in its two modes: a thread of its own (first in, first out)
// and work items on the system's delayed work queue (any order).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "ke/dispatcher.h"
#include "ex/pool.h"
#include "ex/work_queues.h"
#include "vf/verifier.h"
#include "machine_test.h"
#include "test_driver.h"
#include "tfmemorytracker.h"
#include "tfpassivelevelexecutor.h"

namespace {

// What the queued calls did. A call blocks while Hold is not signalled.
struct Calls {
    std::mutex Mutex;
    std::vector<int> Made;
    std::vector<int> Discarded;
    std::vector<KIRQL> Irqls;
    std::vector<KPRIORITY> Priorities;
    std::atomic<int> Running{0};
    int iMaxRunning = 0;
    size_t Expected = 0;
    KEVENT Done;  // set when Expected calls were made
    KEVENT Hold;

    Calls()
    {
        KeInitializeEvent(&Done, NotificationEvent, FALSE);
        KeInitializeEvent(&Hold, NotificationEvent, TRUE);
    }
    static void Routine(PVOID pContext, PVOID pArgument)
    {
        Calls* p = static_cast<Calls*>(pContext);
        int iRunning = ++p->Running;
        KeWaitForSingleObject(&p->Hold, Executive, KernelMode, FALSE, NULL);
        {
            std::lock_guard<std::mutex> Guard(p->Mutex);
            p->iMaxRunning = std::max(p->iMaxRunning, iRunning);
            p->Made.push_back((int)(intptr_t)pArgument);
            p->Irqls.push_back(KeGetCurrentIrql());
            p->Priorities.push_back(KeQueryPriorityThread(KeGetCurrentThread()));
            if (p->Made.size() == p->Expected)
                KeSetEvent(&p->Done, 0, FALSE);
        }
        --p->Running;
    }
    static void Discard(PVOID pContext, PVOID pArgument)
    {
        Calls* p = static_cast<Calls*>(pContext);
        std::lock_guard<std::mutex> Guard(p->Mutex);
        p->Discarded.push_back((int)(intptr_t)pArgument);
    }
    void WaitDone() { KeWaitForSingleObject(&Done, Executive, KernelMode, FALSE, NULL); }
    std::vector<int> MadeSorted()
    {
        std::lock_guard<std::mutex> Guard(Mutex);
        std::vector<int> v = Made;
        std::sort(v.begin(), v.end());
        return v;
    }
};

static PVOID Arg(int i) { return (PVOID)(intptr_t)i; }

static std::vector<int> Range(int iFirst, int iLast)
{
    std::vector<int> v;
    for (int i = iFirst; i <= iLast; i++)
        v.push_back(i);
    return v;
}

class TfExecutorTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(TfLibraryAddReference());
        m_Baseline = LiveTracked();
    }
    void TearDown() override
    {
        EXPECT_EQ(m_Baseline, LiveTracked());
        TfLibraryRelease();
        MachineTest::TearDown();
    }
    size_t LiveTracked() { return machine().GetPool().LiveCount(TF_TAG_TRACKED); }
    PDEVICE_OBJECT Device()
    {
        if (m_pDevice == nullptr)
            m_pDevice = m_Driver.CreateDevice(u"\\Device\\TfExecutorTest");
        return m_pDevice;
    }
    CTfPassiveLevelExecutor* NewExecutor(PDEVICE_OBJECT pDevice, ULONG ulPriority = 0)
    {
        CTfPassiveLevelExecutor* p = new (NonPagedPool) CTfPassiveLevelExecutor(pDevice, ulPriority);
        EXPECT_NE(nullptr, p);
        if (p != nullptr) {
            EXPECT_TRUE(p->m_Init());
        }
        return p;
    }

    size_t m_Baseline = 0;
    emu::testing::TestDriver m_Driver;
    PDEVICE_OBJECT m_pDevice = nullptr;
};

TEST_F(TfExecutorTest, ThreadModeRunsCallsInQueueOrderAtPassiveLevelWithItsPriority)
{
    CTfPassiveLevelExecutor* pExecutor = NewExecutor(nullptr, 31);
    EXPECT_FALSE(pExecutor->m_UsesWorkItems());
    Calls calls;
    calls.Expected = 40;
    {
        // Queued from DISPATCH_LEVEL, as a DPC or a spin-lock holder would.
        emu::testing::ScopedIrql Dispatch(DISPATCH_LEVEL);
        for (int i = 1; i <= 40; i++)
            EXPECT_TRUE(pExecutor->m_QueueFunction(Calls::Routine, &calls, Arg(i), Calls::Discard));
    }
    calls.WaitDone();
    EXPECT_EQ(Range(1, 40), calls.Made);
    EXPECT_EQ(1, calls.iMaxRunning);
    for (size_t i = 0; i < calls.Irqls.size(); i++) {
        EXPECT_EQ(PASSIVE_LEVEL, calls.Irqls[i]);
        EXPECT_EQ(31, calls.Priorities[i]);
    }
    pExecutor->m_DeInit();
    EXPECT_TRUE(calls.Discarded.empty());
    delete pExecutor;
}

TEST_F(TfExecutorTest, WithADeviceButWithoutWdm110TheExecutorUsesAThread)
{
    machine().SetWdmVersion(1, 0);
    CTfPassiveLevelExecutor* pExecutor = NewExecutor(Device());
    EXPECT_FALSE(pExecutor->m_UsesWorkItems());
    machine().GetWorkQueues().SetDeterministic(true);
    Calls calls;
    calls.Expected = 10;
    for (int i = 1; i <= 10; i++)
        pExecutor->m_QueueFunction(Calls::Routine, &calls, Arg(i));
    calls.WaitDone();
    EXPECT_EQ(Range(1, 10), calls.Made);
    EXPECT_EQ(0u, machine().GetWorkQueues().ItemsRun());
    delete pExecutor;
}

TEST_F(TfExecutorTest, WorkItemModeQueuesOneWorkItemPerCallOnTheDelayedQueue)
{
    emu::WorkQueues& Queues = machine().GetWorkQueues();
    Queues.SetDeterministic(true);
    CTfPassiveLevelExecutor* pExecutor = NewExecutor(Device());
    EXPECT_TRUE(pExecutor->m_UsesWorkItems());
    Calls calls;
    calls.Expected = 5;
    for (int i = 1; i <= 5; i++)
        EXPECT_TRUE(pExecutor->m_QueueFunction(Calls::Routine, &calls, Arg(i)));
    EXPECT_EQ(5u, Queues.QueuedCount());
    EXPECT_TRUE(calls.Made.empty());
    EXPECT_EQ(5u, Queues.DrainWorkQueues());
    // No order is promised; each call is made once, at PASSIVE_LEVEL.
    EXPECT_EQ(Range(1, 5), calls.MadeSorted());
    for (KIRQL Irql : calls.Irqls)
        EXPECT_EQ(PASSIVE_LEVEL, Irql);
    pExecutor->m_DeInit();
    delete pExecutor;
}

TEST_F(TfExecutorTest, WorkItemModeDeInitWaitsForEveryQueuedCall)
{
    CTfPassiveLevelExecutor* pExecutor = NewExecutor(Device());
    ASSERT_TRUE(pExecutor->m_UsesWorkItems());
    Calls calls;
    calls.Expected = 30;
    KeClearEvent(&calls.Hold);
    for (int i = 1; i <= 30; i++)
        EXPECT_TRUE(pExecutor->m_QueueFunction(Calls::Routine, &calls, Arg(i)));
    std::thread Releaser([&] { KeSetEvent(&calls.Hold, 0, FALSE); });
    pExecutor->m_DeInit();
    // Every call ran before m_DeInit returned, whatever their order.
    EXPECT_EQ(Range(1, 30), calls.MadeSorted());
    Releaser.join();
    // Afterwards calls are refused and handed to their discard routine.
    EXPECT_FALSE(pExecutor->m_QueueFunction(Calls::Routine, &calls, Arg(99), Calls::Discard));
    EXPECT_EQ(std::vector<int>{99}, calls.Discarded);
    delete pExecutor;
}

TEST_F(TfExecutorTest, ThreadModeDeInitFinishesTheRunningCallAndDropsTheQueuedOnes)
{
    CTfPassiveLevelExecutor* pExecutor = NewExecutor(nullptr);
    Calls calls;
    KeClearEvent(&calls.Hold);
    for (int i = 1; i <= 6; i++)
        EXPECT_TRUE(pExecutor->m_QueueFunction(Calls::Routine, &calls, Arg(i), Calls::Discard));
    // The first call is running and blocked.
    ASSERT_TRUE(machine().GetDispatcher().AwaitWaiters(&calls.Hold, 1));

    std::thread DeInit([&] { pExecutor->m_DeInit(); });
    // Once m_DeInit has begun, new calls are refused.
    int iProbe = 100;
    while (pExecutor->m_QueueFunction(Calls::Routine, &calls, Arg(iProbe), Calls::Discard))
        iProbe++;
    KeSetEvent(&calls.Hold, 0, FALSE);
    DeInit.join();

    EXPECT_EQ(std::vector<int>{1}, calls.Made);
    // The refused call was discarded at once; the queued ones after the running call, in queue order.
    std::vector<int> Expected{iProbe};
    for (int i : Range(2, 6))
        Expected.push_back(i);
    for (int i = 100; i < iProbe; i++)
        Expected.push_back(i);
    EXPECT_EQ(Expected, calls.Discarded);
    EXPECT_EQ(0u, pExecutor->m_GetQueuedCount());
    delete pExecutor;
}

TEST_F(TfExecutorTest, WorkItemModeCallQueuedDuringDeInitIsRefusedAndFreed)
{
    CTfPassiveLevelExecutor* pExecutor = NewExecutor(Device());
    ASSERT_TRUE(pExecutor->m_UsesWorkItems());
    Calls calls;
    KeClearEvent(&calls.Hold);
    EXPECT_TRUE(pExecutor->m_QueueFunction(Calls::Routine, &calls, Arg(1), Calls::Discard));
    ASSERT_TRUE(machine().GetDispatcher().AwaitWaiters(&calls.Hold, 1));

    std::thread DeInit([&] { pExecutor->m_DeInit(); });
    int iProbe = 100;
    while (pExecutor->m_QueueFunction(Calls::Routine, &calls, Arg(iProbe), Calls::Discard))
        iProbe++;
    // The refused call's entry is already gone; m_DeInit still waits for the running call.
    EXPECT_EQ(std::vector<int>{iProbe}, calls.Discarded);
    KeSetEvent(&calls.Hold, 0, FALSE);
    DeInit.join();
    // The call that was running, and any accepted before m_DeInit began, were all made.
    EXPECT_EQ(Range(1, 1).size() + (size_t)(iProbe - 100), calls.Made.size());
    delete pExecutor;
}

TEST_F(TfExecutorTest, OutOfMemoryOrNoInitDropsTheCallWithoutMakingIt)
{
    Calls calls;
    CTfPassiveLevelExecutor* pThread = new (NonPagedPool) CTfPassiveLevelExecutor();
    ASSERT_NE(nullptr, pThread);
    EXPECT_FALSE(pThread->m_QueueFunction(Calls::Routine, &calls, Arg(0), Calls::Discard));
    ASSERT_TRUE(pThread->m_Init());
    CTfPassiveLevelExecutor* pItems = NewExecutor(Device());
    machine().GetPool().FailNextWithTag(TF_TAG_TRACKED);  // the entry
    EXPECT_FALSE(pThread->m_QueueFunction(Calls::Routine, &calls, Arg(1), Calls::Discard));
    machine().GetPool().FailNth(2);  // the list node after the entry
    EXPECT_FALSE(pThread->m_QueueFunction(Calls::Routine, &calls, Arg(2), Calls::Discard));
    machine().GetPool().FailNextWithTag(TF_TAG_TRACKED);
    EXPECT_FALSE(pItems->m_QueueFunction(Calls::Routine, &calls, Arg(3), Calls::Discard));
    machine().GetPool().FailNextWithTag(TF_MAKE_POOL_TAG('I', 'o', 'W', 'I'));  // the work item
    EXPECT_FALSE(pItems->m_QueueFunction(Calls::Routine, &calls, Arg(4), Calls::Discard));
    // Without a discard routine the drop is silent.
    machine().GetPool().FailNextWithTag(TF_TAG_TRACKED);
    EXPECT_FALSE(pThread->m_QueueFunction(Calls::Routine, &calls, Arg(5)));
    EXPECT_EQ(Range(0, 4), calls.Discarded);

    // Both still work, and m_DeInit of the work-item executor is not held up by the failures.
    calls.Expected = 2;
    EXPECT_TRUE(pThread->m_QueueFunction(Calls::Routine, &calls, Arg(6)));
    EXPECT_TRUE(pItems->m_QueueFunction(Calls::Routine, &calls, Arg(7)));
    calls.WaitDone();
    EXPECT_EQ((std::vector<int>{6, 7}), calls.MadeSorted());
    // No m_DeInit: the destructors do it.
    delete pItems;
    delete pThread;
}

}  // namespace
