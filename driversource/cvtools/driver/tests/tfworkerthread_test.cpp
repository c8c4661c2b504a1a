// Tests of the worker thread.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "ke/clock.h"
#include "ke/dispatcher.h"
#include "ex/pool.h"
#include "ke/thread_manager.h"
#include "machine_test.h"
#include "tfmemorytracker.h"
#include "tfworkerthread.h"

// A gate on the end of system threads. This executable's own PsTerminateSystemThread takes the calls
// of the code linked into it (the worker among them) ahead of the platform's; while the gate is
// armed it holds the ending thread there, after the worker's last touch of its object and before
// the thread ends, until the test opens it.
namespace threadend {
std::mutex g_Mutex;
std::condition_variable g_Changed;
bool g_bArmed = false;
size_t g_ulHeld = 0;

void Arm()
{
    std::lock_guard Lock(g_Mutex);
    g_bArmed = true;
}
void Open()
{
    std::lock_guard Lock(g_Mutex);
    g_bArmed = false;
    g_Changed.notify_all();
}
bool AwaitHeld(size_t ulCount)
{
    std::unique_lock Lock(g_Mutex);
    return g_Changed.wait_for(Lock, std::chrono::seconds(10), [&] { return g_ulHeld >= ulCount; });
}
}  // namespace threadend

extern "C" NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    {
        std::unique_lock Lock(threadend::g_Mutex);
        if (threadend::g_bArmed) {
            threadend::g_ulHeld++;
            threadend::g_Changed.notify_all();
            threadend::g_Changed.wait(Lock, [] { return !threadend::g_bArmed; });
            threadend::g_ulHeld--;
        }
    }
    using Terminate = decltype(&PsTerminateSystemThread);
    static Terminate s_pPlatform = reinterpret_cast<Terminate>(dlsym(RTLD_NEXT, "PsTerminateSystemThread"));
    s_pPlatform(ExitStatus);
    __builtin_unreachable();  // the platform's ends the thread
}

namespace {

using emu::Violation;

constexpr LONGLONG kPeriod = 10000000;  // 1 s

// What the routine saw on each call. The routine signals `Called` (a synchronization event) after
// recording, and blocks on `Hold` while it is not signalled.
struct Probe {
    std::mutex Mutex;
    std::vector<LONGLONG> Times;
    std::vector<KIRQL> Irqls;
    std::vector<KPRIORITY> Priorities;
    KEVENT Called;
    KEVENT Hold;

    Probe()
    {
        KeInitializeEvent(&Called, SynchronizationEvent, FALSE);
        KeInitializeEvent(&Hold, NotificationEvent, TRUE);
    }
    size_t Calls()
    {
        std::lock_guard<std::mutex> Guard(Mutex);
        return Times.size();
    }
    void WaitCalled() { KeWaitForSingleObject(&Called, Executive, KernelMode, FALSE, NULL); }

    static void Routine(PVOID pContext)
    {
        Probe* pProbe = static_cast<Probe*>(pContext);
        {
            std::lock_guard<std::mutex> Guard(pProbe->Mutex);
            pProbe->Times.push_back((LONGLONG)KeQueryInterruptTime());
            pProbe->Irqls.push_back(KeGetCurrentIrql());
            pProbe->Priorities.push_back(KeQueryPriorityThread(KeGetCurrentThread()));
        }
        KeSetEvent(&pProbe->Called, 0, FALSE);
        KeWaitForSingleObject(&pProbe->Hold, Executive, KernelMode, FALSE, NULL);
    }
};

class TfWorkerThreadTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(TfLibraryAddReference());
        m_ulBaseline = LiveTracked();
        KeInitializeEvent(&m_Signal, SynchronizationEvent, FALSE);
        m_pSignal = &m_Signal;
    }
    void TearDown() override
    {
        TfLibraryRelease();
        EXPECT_EQ(0u, machine().GetPool().LiveCount(TF_TAG_TRACKED));
        MachineTest::TearDown();
    }
    size_t LiveTracked() { return machine().GetPool().LiveCount(TF_TAG_TRACKED); }
    // Returns once the worker blocks in its wait again.
    void AwaitWorkerWaiting() { ASSERT_TRUE(machine().GetDispatcher().AwaitWaiters(&m_Signal, 1)); }

    size_t m_ulBaseline = 0;
    KEVENT m_Signal;
    PVOID m_pSignal = nullptr;
    Probe m_Probe;
};

TEST_F(TfWorkerThreadTest, FirstRunFlagCallsTheRoutineOnceBeforeAnySignal)
{
    CTfWorkerThread Worker;
    ASSERT_TRUE(Worker.m_Create(Probe::Routine, &m_Probe, &m_pSignal, 1, NULL, TF_WORKER_FIRST_RUN, 0, 0));
    m_Probe.WaitCalled();
    AwaitWorkerWaiting();
    EXPECT_EQ(1u, m_Probe.Calls());
    Worker.m_Close();
    // Stopping is not a wake-up for the routine.
    EXPECT_EQ(1u, m_Probe.Calls());
    EXPECT_FALSE(Worker.m_IsRunning());
    EXPECT_EQ(m_ulBaseline, LiveTracked());
}

TEST_F(TfWorkerThreadTest, EachWakeCallsOnceAndConsumesTheSynchronizationEvent)
{
    CTfWorkerThread Worker;
    ASSERT_TRUE(Worker.m_Create(Probe::Routine, &m_Probe, &m_pSignal, 1, NULL, 0, 0, 0));
    AwaitWorkerWaiting();
    EXPECT_EQ(0u, m_Probe.Calls());

    // Signalled twice while the routine runs: one more call, and the event is reset by it.
    KeClearEvent(&m_Probe.Hold);
    KeSetEvent(&m_Signal, 0, FALSE);
    m_Probe.WaitCalled();
    KeSetEvent(&m_Signal, 0, FALSE);
    KeSetEvent(&m_Signal, 0, FALSE);
    KeSetEvent(&m_Probe.Hold, 0, FALSE);
    m_Probe.WaitCalled();
    AwaitWorkerWaiting();
    EXPECT_EQ(2u, m_Probe.Calls());
    EXPECT_EQ(0, KeReadStateEvent(&m_Signal));
    Worker.m_Close();
}

TEST_F(TfWorkerThreadTest, TimeOutCallsTheRoutineOncePerPeriodOnTheMachineClock)
{
    machine().GetClock().SetScale(0);
    LARGE_INTEGER Timeout;
    Timeout.QuadPart = -kPeriod;
    CTfWorkerThread Worker;
    ASSERT_TRUE(Worker.m_Create(Probe::Routine, &m_Probe, &m_pSignal, 1, &Timeout, 0, 0, 0));
    LONGLONG llStart = (LONGLONG)KeQueryInterruptTime();

    for (size_t n = 1; n <= 3; n++) {
        AwaitWorkerWaiting();
        machine().GetClock().Advance(kPeriod - 1);
        AwaitWorkerWaiting();
        EXPECT_EQ(n - 1, m_Probe.Calls());
        machine().GetClock().Advance(1);
        m_Probe.WaitCalled();
        EXPECT_EQ(n, m_Probe.Calls());
    }
    AwaitWorkerWaiting();
    Worker.m_Close();
    ASSERT_EQ(3u, m_Probe.Times.size());
    for (size_t i = 0; i < 3; i++)
        EXPECT_EQ(llStart + (LONGLONG)(i + 1) * kPeriod, m_Probe.Times[i]);
}

TEST_F(TfWorkerThreadTest, CreateOnARunningWorkerStopsTheOldThreadFirst)
{
    Probe Second;
    CTfWorkerThread Worker;
    ASSERT_TRUE(Worker.m_Create(Probe::Routine, &m_Probe, &m_pSignal, 1, NULL, TF_WORKER_FIRST_RUN, 0, 0));
    m_Probe.WaitCalled();
    ASSERT_TRUE(Worker.m_Create(Probe::Routine, &Second, &m_pSignal, 1, NULL, TF_WORKER_FIRST_RUN, 0, 0));
    Second.WaitCalled();
    EXPECT_EQ(1u, machine().GetThreads().RunningCount());

    AwaitWorkerWaiting();
    KeSetEvent(&m_Signal, 0, FALSE);
    Second.WaitCalled();
    EXPECT_EQ(1u, m_Probe.Calls());
    EXPECT_EQ(2u, Second.Calls());
    AwaitWorkerWaiting();
    Worker.m_Close();
    EXPECT_EQ(m_ulBaseline, LiveTracked());
}

TEST_F(TfWorkerThreadTest, CloseReturnsOnlyWhenTheThreadHasEnded)
{
    // The thread is held after it set the stopped event: close must still be waiting for the
    // thread object, and return only once the thread has ended.
    struct Seen {
        static void Routine(PVOID pContext) { *static_cast<PKTHREAD*>(pContext) = KeGetCurrentThread(); }
    };
    PKTHREAD pThread = nullptr;
    CTfWorkerThread* pWorker = new (NonPagedPool) CTfWorkerThread;
    ASSERT_NE(nullptr, pWorker);
    ASSERT_TRUE(pWorker->m_Create(Seen::Routine, &pThread, &m_pSignal, 1, NULL, TF_WORKER_FIRST_RUN, 0, 0));
    AwaitWorkerWaiting();
    ASSERT_NE(nullptr, pThread);

    threadend::Arm();
    std::atomic<bool> bClosed{false};
    std::thread Closer([&] {
        pWorker->m_Close();
        bClosed = true;
    });
    EXPECT_TRUE(threadend::AwaitHeld(1));
    EXPECT_TRUE(machine().GetDispatcher().AwaitWaiters(pThread, 1)) << "close does not wait for the thread object";
    EXPECT_FALSE(bClosed.load());
    EXPECT_EQ(1u, machine().GetThreads().RunningCount());
    threadend::Open();
    Closer.join();
    EXPECT_EQ(0u, machine().GetThreads().RunningCount());
    // Freed at once; a thread still touching it would show under AddressSanitizer.
    delete pWorker;

    // Closing an idle worker, even twice, returns at once.
    CTfWorkerThread Idle;
    Idle.m_Close();
    Idle.m_Close();
    EXPECT_FALSE(Idle.m_IsRunning());
}

TEST_F(TfWorkerThreadTest, DestroyingARunningWorkerStopsItsThread)
{
    {
        CTfWorkerThread Worker;
        ASSERT_TRUE(Worker.m_Create(Probe::Routine, &m_Probe, &m_pSignal, 1, NULL, 0, 0, 0));
        AwaitWorkerWaiting();
    }
    EXPECT_EQ(0u, machine().GetThreads().RunningCount());
    EXPECT_EQ(0u, m_Probe.Calls());
}

TEST_F(TfWorkerThreadTest, InvalidArgumentsAreRefusedWithAnAssertionAndNoThread)
{
    PVOID Objects[64];
    KEVENT Events[64];
    for (int i = 0; i < 64; i++) {
        KeInitializeEvent(&Events[i], NotificationEvent, FALSE);
        Objects[i] = &Events[i];
    }
    CTfWorkerThread Worker;
    EXPECT_FALSE(Worker.m_Create(NULL, &m_Probe, Objects, 1, NULL, 0, 0, 0));
    EXPECT_FALSE(Worker.m_Create(Probe::Routine, &m_Probe, Objects, 0, NULL, 0, 0, 0));
    EXPECT_FALSE(Worker.m_Create(Probe::Routine, &m_Probe, NULL, 1, NULL, 0, 0, 0));
    // 64 caller objects and the stop event would overrun the 64 wait blocks.
    EXPECT_FALSE(Worker.m_Create(Probe::Routine, &m_Probe, Objects, 64, NULL, 0, 0, 0));
    EXPECT_FALSE(Worker.m_Create(Probe::Routine, &m_Probe, Objects, 1, NULL, 0, 32, 0));
    EXPECT_FALSE(Worker.m_Create(Probe::Routine, &m_Probe, Objects, 1, NULL, 0, 0, 32));
    EXPECT_EQ(6u, Take(Violation::AssertReport));
    EXPECT_FALSE(Worker.m_IsRunning());
    EXPECT_EQ(0u, machine().GetThreads().RunningCount());
    EXPECT_EQ(m_ulBaseline, LiveTracked());
}

TEST_F(TfWorkerThreadTest, SixtyThreeObjectsAreTheMostAndTheLastOneWakesTheWorker)
{
    PVOID Objects[63];
    KEVENT Events[63];
    for (int i = 0; i < 63; i++) {
        KeInitializeEvent(&Events[i], SynchronizationEvent, FALSE);
        Objects[i] = &Events[i];
    }
    CTfWorkerThread Worker;
    ASSERT_TRUE(Worker.m_Create(Probe::Routine, &m_Probe, Objects, 63, NULL, 0, 0, 0));
    ASSERT_TRUE(machine().GetDispatcher().AwaitWaiters(&Events[62], 1));
    KeSetEvent(&Events[62], 0, FALSE);
    m_Probe.WaitCalled();
    EXPECT_EQ(1u, m_Probe.Calls());
    Worker.m_Close();
}

TEST_F(TfWorkerThreadTest, IrqlAndPrioritySettingsApplyToTheRoutine)
{
    struct Case {
        ULONG ulIrql;
        ULONG ulPriority;
        KIRQL Expected;
    };
    for (Case c : {Case{0, 0, PASSIVE_LEVEL}, Case{1, 0, APC_LEVEL}, Case{5, 0, APC_LEVEL}}) {
        Probe Local;
        CTfWorkerThread Worker;
        ASSERT_TRUE(Worker.m_Create(Probe::Routine, &Local, &m_pSignal, 1, NULL, TF_WORKER_FIRST_RUN, c.ulPriority,
                                    c.ulIrql));
        Local.WaitCalled();
        AwaitWorkerWaiting();
        KeSetEvent(&m_Signal, 0, FALSE);
        Local.WaitCalled();
        AwaitWorkerWaiting();
        Worker.m_Close();
        ASSERT_EQ(2u, Local.Irqls.size());
        EXPECT_EQ(c.Expected, Local.Irqls[0]) << "setting " << c.ulIrql;
        EXPECT_EQ(c.Expected, Local.Irqls[1]) << "setting " << c.ulIrql;
    }

    CTfWorkerThread Worker;
    ASSERT_TRUE(Worker.m_Create(Probe::Routine, &m_Probe, &m_pSignal, 1, NULL, TF_WORKER_FIRST_RUN, 20, 0));
    m_Probe.WaitCalled();
    AwaitWorkerWaiting();
    Worker.m_Close();
    ASSERT_EQ(1u, m_Probe.Priorities.size());
    EXPECT_EQ(20, m_Probe.Priorities[0]);
}

TEST_F(TfWorkerThreadTest, FailuresToStartLeaveNoThreadAndNoMemory)
{
    CTfWorkerThread Worker;
    machine().GetPool().FailNextWithTag(TF_TAG_TRACKED);
    EXPECT_FALSE(Worker.m_Create(Probe::Routine, &m_Probe, &m_pSignal, 1, NULL, TF_WORKER_FIRST_RUN, 0, 0));
    machine().GetThreads().FailNextCreate();
    EXPECT_FALSE(Worker.m_Create(Probe::Routine, &m_Probe, &m_pSignal, 1, NULL, TF_WORKER_FIRST_RUN, 0, 0));
    EXPECT_FALSE(Worker.m_IsRunning());
    EXPECT_EQ(0u, m_Probe.Calls());
    EXPECT_EQ(m_ulBaseline, LiveTracked());

    // The worker is still usable afterwards.
    ASSERT_TRUE(Worker.m_Create(Probe::Routine, &m_Probe, &m_pSignal, 1, NULL, TF_WORKER_FIRST_RUN, 0, 0));
    m_Probe.WaitCalled();
    Worker.m_Close();
}

}  // namespace
