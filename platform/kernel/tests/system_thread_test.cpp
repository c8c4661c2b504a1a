// System threads: real host threads behind waitable, reference-counted thread objects.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ke/clock.h"
#include "ke/dispatcher.h"
#include "ke/kthread.h"
#include "ke/thread_manager.h"
#include "ob/object_manager.h"
#include "machine_test.h"

// A driver's frames are compiled without exception support (no landing pads, unwind tables only).
// PsTerminateSystemThread must still leave through them; their destructors do not run.
#pragma GCC push_options
#pragma GCC optimize("no-exceptions")
namespace emu_driver_frames {
struct FrameGuard {
    int* destroyed;
    ~FrameGuard() { ++*destroyed; }
};

struct Progress {
    int destroyed = 0;
    int passedTerminate = 0;
};

__attribute__((noinline)) void Innermost(Progress* progress)
{
    FrameGuard guard{&progress->destroyed};
    PsTerminateSystemThread(STATUS_SUCCESS);
}

__attribute__((noinline)) void Middle(Progress* progress)
{
    FrameGuard guard{&progress->destroyed};
    Innermost(progress);
    progress->passedTerminate++;
}

void DriverRoutine(PVOID context)
{
    auto* progress = static_cast<Progress*>(context);
    Middle(progress);
    progress->passedTerminate++;
}
}  // namespace emu_driver_frames
#pragma GCC pop_options

namespace emu {
namespace {

constexpr LONGLONG kSecond = 10000000;

class SystemThreadTest : public testing::MachineTest {
protected:
    ObjectManager& objects() { return machine().GetObjectManager(); }
    ThreadManager& threads() { return machine().GetThreads(); }

    HANDLE Create(PKSTART_ROUTINE routine, PVOID context, PCLIENT_ID clientId = nullptr)
    {
        HANDLE handle = nullptr;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, clientId, routine, context),
                  STATUS_SUCCESS);
        return handle;
    }

    // Waits for the thread through its handle and closes it.
    void Finish(HANDLE handle)
    {
        EXPECT_EQ(ZwWaitForSingleObject(handle, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    }
};

struct Observed {
    KEVENT release;
    KIRQL irql = HIGH_LEVEL;
    PKTHREAD thread = nullptr;
    HANDLE id = nullptr;
};

void ObservingRoutine(PVOID context)
{
    auto* observed = static_cast<Observed*>(context);
    observed->irql = KeGetCurrentIrql();
    observed->thread = KeGetCurrentThread();
    observed->id = PsGetCurrentThreadId();
    KeWaitForSingleObject(&observed->release, Executive, KernelMode, FALSE, nullptr);
}

TEST_F(SystemThreadTest, RunsAtPassiveLevelBehindAWaitableThreadObject)
{
    Observed observed;
    KeInitializeEvent(&observed.release, NotificationEvent, FALSE);
    CLIENT_ID clientId{};
    HANDLE handle = Create(ObservingRoutine, &observed, &clientId);
    ASSERT_NE(handle, nullptr);

    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    ASSERT_TRUE(machine().GetDispatcher().AwaitWaiters(&observed.release, 1));
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(threads().RunningCount(), 1u);

    KeSetEvent(&observed.release, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);  // stays signalled
    EXPECT_EQ(threads().RunningCount(), 0u);
    EXPECT_EQ(observed.irql, PASSIVE_LEVEL);
    EXPECT_EQ(observed.thread, object);
    EXPECT_EQ(observed.id, clientId.UniqueThread);
    EXPECT_NE(observed.thread, KeGetCurrentThread());
    ObDereferenceObject(object);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(SystemThreadTest, ThreadsTheSystemDidNotStartGetAThreadObjectOnFirstUse)
{
    PKTHREAD mine = KeGetCurrentThread();
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(KeGetCurrentThread(), mine);
    EXPECT_EQ(mine->Header.Type, DISPATCHER_THREAD);
    ULONG_PTR id = reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId());
    EXPECT_NE(id, 0u);
    EXPECT_EQ(id % 4, 0u);
    PKTHREAD other = nullptr;
    std::thread([&] { other = KeGetCurrentThread(); }).join();
    EXPECT_NE(other, mine);
    EXPECT_NE(other->Id, mine->Id);
}

struct Nested {
    int depth = 0;
    int unwound = 0;
    bool passedTerminate = false;
};

struct Unwinding {
    int* count;
    ~Unwinding() { ++*count; }
};

template <int Depth>
void Descend(Nested* nested)
{
    Unwinding guard{&nested->unwound};
    nested->depth = Depth;
    if constexpr (Depth < 5)
        Descend<Depth + 1>(nested);
    else
        PsTerminateSystemThread(STATUS_SUCCESS);
    nested->passedTerminate = true;
}

void NestedRoutine(PVOID context) { Descend<1>(static_cast<Nested*>(context)); }

TEST_F(SystemThreadTest, TerminateFromNestedFramesEndsTheThread)
{
    Nested nested;
    Finish(Create(NestedRoutine, &nested));
    EXPECT_EQ(nested.depth, 5);
    EXPECT_FALSE(nested.passedTerminate);
    EXPECT_EQ(nested.unwound, 5);  // frames with exception support are unwound properly
}

TEST_F(SystemThreadTest, TerminatePassesThroughFramesWithoutExceptionSupport)
{
    emu_driver_frames::Progress progress;
    Finish(Create(emu_driver_frames::DriverRoutine, &progress));
    EXPECT_EQ(progress.passedTerminate, 0);
    EXPECT_EQ(progress.destroyed, 0);  // such frames run no destructors: drivers must not rely on them
    EXPECT_EQ(threads().RunningCount(), 0u);
}

void ReturningRoutine(PVOID context) { static_cast<std::atomic<int>*>(context)->fetch_add(1); }

TEST_F(SystemThreadTest, ThreadObjectGoesWithItsLastReferenceWhicheverSideDropsIt)
{
    std::atomic<int> runs{0};
    // Handle closed at once: the thread drops the last reference itself when it ends.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(ZwClose(Create(ReturningRoutine, &runs)), STATUS_SUCCESS);
    // Handle kept past the end: the waiter drops it.
    for (int i = 0; i < 5; ++i) Finish(Create(ReturningRoutine, &runs));
    ShutDownMachine();  // joins whatever is left; ASan's leak check sees every object freed
    EXPECT_EQ(runs.load(), 10);
}

TEST_F(SystemThreadTest, InjectedFailureFailsOnlyTheNextCreate)
{
    std::atomic<int> runs{0};
    threads().FailNextCreate(STATUS_INSUFFICIENT_RESOURCES);
    HANDLE handle = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ReturningRoutine, &runs),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(handle, reinterpret_cast<HANDLE>(0x1234));
    EXPECT_EQ(objects().ObjectCount(), 0u);
    Finish(Create(ReturningRoutine, &runs));
    EXPECT_EQ(runs.load(), 1);
}

TEST_F(SystemThreadTest, CreateAbovePassiveLevelIsReported)
{
    std::atomic<int> runs{0};
    HANDLE handle = nullptr;
    {
        testing::ScopedIrql dpc(DISPATCH_LEVEL);
        EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ReturningRoutine, &runs),
                  STATUS_SUCCESS);
    }
    EXPECT_EQ(Take(Violation::IrqlTooHigh), 1u);
    Finish(handle);
}

struct Holding {
    KMUTEX mutex;
    bool raise = false;
};

void HoldingRoutine(PVOID context)
{
    auto* holding = static_cast<Holding*>(context);
    KeWaitForSingleObject(&holding->mutex, Executive, KernelMode, FALSE, nullptr);
    if (holding->raise) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
}

TEST_F(SystemThreadTest, EndingWhileHoldingAMutexOrRaisedIsReportedAndCleanedUp)
{
    Holding holding;
    KeInitializeMutex(&holding.mutex, 0);
    holding.raise = true;
    Finish(Create(HoldingRoutine, &holding));
    EXPECT_EQ(Take(Violation::Bugcheck), 2u);
    EXPECT_TRUE(holding.mutex.Abandoned);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&holding.mutex, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    KeReleaseMutex(&holding.mutex, FALSE);
}

void DelayingRoutine(PVOID context)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -kSecond;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    static_cast<std::atomic<bool>*>(context)->store(true);
}

TEST_F(SystemThreadTest, ShutdownWaitsForThreadsStillRunning)
{
    machine().GetClock().SetScale(1000);  // the thread's second passes in a real millisecond
    std::atomic<bool> finished{false};
    ZwClose(Create(DelayingRoutine, &finished));
    ShutDownMachine();
    EXPECT_TRUE(finished);
}

void SpinningRoutine(PVOID context)
{
    auto* release = static_cast<std::atomic<bool>*>(context);
    while (!release->load()) std::this_thread::yield();
}

TEST_F(SystemThreadTest, ShutdownReportsAThreadThatDoesNotEndAndLeavesItSafely)
{
    std::vector<Violation> reported;
    verifier().SetHandler([&](const ViolationRecord& record) { reported.push_back(record.kind); });
    threads().SetShutdownGrace(std::chrono::milliseconds(20));
    std::atomic<bool> release{false};  // read by the thread only before it stops counting as abandoned
    Create(SpinningRoutine, &release);  // handle left open: the machine closes it
    ShutDownMachine();
    EXPECT_EQ(reported, std::vector<Violation>{Violation::Bugcheck});
    EXPECT_EQ(ThreadManager::AbandonedRunning(), 1u);
    release = true;
    while (ThreadManager::AbandonedRunning() != 0) std::this_thread::yield();
}

}  // namespace
}  // namespace emu
