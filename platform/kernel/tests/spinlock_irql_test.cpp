// IRQL rules, spin locks (real exclusion, misuse caught instead of hanging) and interlocked calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "ke/spin_lock_holders.h"
#include "machine_test.h"
#include "test_driver.h"

namespace emu {
namespace {

using SpinLockTest = testing::MachineTest;

TEST_F(SpinLockTest, IrqlIsPerThreadAndOnlyMovesTheRightWay)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old = HIGH_LEVEL;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    KIRQL elsewhere = HIGH_LEVEL;
    std::thread([&] { elsewhere = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(elsewhere, PASSIVE_LEVEL);

    KeRaiseIrql(APC_LEVEL, &old);  // a raise that would lower
    EXPECT_EQ(old, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(HIGH_LEVEL);  // a lower that would raise
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(Take(Violation::Bugcheck), 2u);

    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_EQ(KeRaiseIrqlToDpcLevel(), PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
}

void PagedRoutine() { PAGED_CODE(); }
void PassiveRoutine() { PASSIVE_CODE(); }

TEST_F(SpinLockTest, PagedAndPassiveCodeChecksReportTheRoutineAboveItsIrql)
{
    struct Case {
        KIRQL irql;
        void (*routine)();
        bool reported;
    };
    const Case cases[] = {
        {PASSIVE_LEVEL, PagedRoutine, false},  {APC_LEVEL, PagedRoutine, false},
        {DISPATCH_LEVEL, PagedRoutine, true},  {PASSIVE_LEVEL, PassiveRoutine, false},
        {APC_LEVEL, PassiveRoutine, true},     {DISPATCH_LEVEL, PassiveRoutine, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "IRQL " << int(c.irql));
        KIRQL old = PASSIVE_LEVEL;
        KeRaiseIrql(c.irql, &old);
        c.routine();
        KeLowerIrql(old);
        auto reports = verifier().Take(Violation::IrqlTooHigh);
        ASSERT_EQ(reports.size(), c.reported ? 1u : 0u);
        if (c.reported) {
            const char* name = c.routine == PagedRoutine ? "PagedRoutine (PAGED_CODE)" : "PassiveRoutine (PASSIVE_CODE)";
            EXPECT_EQ(reports[0].detail.rfind(name, 0), 0u) << reports[0].detail;
        }
    }
}

TEST_F(SpinLockTest, ExcludesOtherThreadsUnderContention)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 5000;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // deliberately not atomic: only the lock protects it
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> wrongIrql{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                KIRQL old = PASSIVE_LEVEL;
                bool dpcForm = (t + i) % 3 == 0;
                if (dpcForm) {
                    old = KeRaiseIrqlToDpcLevel();
                    KeAcquireSpinLockAtDpcLevel(&lock);
                } else {
                    KeAcquireSpinLock(&lock, &old);
                }
                if (inside.fetch_add(1) != 0) overlaps++;
                if (KeGetCurrentIrql() != DISPATCH_LEVEL) wrongIrql++;
                counter = counter + 1;
                inside.fetch_sub(1);
                if (dpcForm) {
                    KeReleaseSpinLockFromDpcLevel(&lock);
                    KeLowerIrql(old);
                } else {
                    KeReleaseSpinLock(&lock, old);
                }
                if (KeGetCurrentIrql() != PASSIVE_LEVEL) wrongIrql++;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(wrongIrql.load(), 0);
    EXPECT_EQ(lock, 0u);
}

TEST_F(SpinLockTest, RecursiveAcquireIsReportedInsteadOfHanging)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL outer = KfAcquireSpinLock(&lock);
    KSPIN_LOCK held = lock;
    KIRQL inner = KfAcquireSpinLock(&lock);
    EXPECT_EQ(inner, DISPATCH_LEVEL);  // not raised again, not taken again
    EXPECT_EQ(lock, held);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_EQ(Take(Violation::SpinLockRecursive), 2u);

    KfReleaseSpinLock(&lock, outer);
    EXPECT_EQ(lock, 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, ReleaseByAStrangerOrOfAFreeLockLeavesTheLockAlone)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KfReleaseSpinLock(&lock, PASSIVE_LEVEL);  // nobody holds it
    EXPECT_EQ(lock, 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(Take(Violation::SpinLockNotOwner), 1u);

    KIRQL old = KfAcquireSpinLock(&lock);
    KSPIN_LOCK held = lock;
    std::thread([&] {
        testing::ScopedIrql dpc(DISPATCH_LEVEL);
        KeReleaseSpinLockFromDpcLevel(&lock);
    }).join();
    EXPECT_EQ(lock, held);  // still ours
    EXPECT_EQ(Take(Violation::SpinLockNotOwner), 1u);
    KfReleaseSpinLock(&lock, old);
    EXPECT_EQ(lock, 0u);
    EXPECT_EQ(Take(Violation::SpinLockNotOwner), 0u);
}

TEST_F(SpinLockTest, DpcFormsBelowDispatchLevelAreReportedAndStillWork)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLockAtDpcLevel(&lock);
    EXPECT_NE(lock, 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);  // the DPC form never changes the IRQL
    KeReleaseSpinLockFromDpcLevel(&lock);
    EXPECT_EQ(lock, 0u);
    EXPECT_EQ(Take(Violation::Bugcheck), 2u);
}

TEST_F(SpinLockTest, AcquireAboveDispatchAndAnUninitialisedLockAreReported)
{
    KSPIN_LOCK lock;
    std::memset(&lock, 0xCD, sizeof lock);  // fresh pool content
    KIRQL old = KfAcquireSpinLock(&lock);
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
    KfReleaseSpinLock(&lock, old);
    EXPECT_EQ(lock, 0u);

    {
        testing::ScopedIrql high(HIGH_LEVEL);
        old = KfAcquireSpinLock(&lock);
        EXPECT_EQ(KeGetCurrentIrql(), HIGH_LEVEL);  // never lowered by an acquire
        KfReleaseSpinLock(&lock, old);
    }
    EXPECT_EQ(Take(Violation::IrqlTooHigh), 1u);
}

// Memory that holds a spin lock goes only after every thread that held it is done with it.
struct MemoryWithALock {
    const char* name;
    std::function<PKSPIN_LOCK()> make;  // memory with an initialised spin lock inside
    std::function<void()> free;
};

// A driver that wakes the deleting thread before it releases a lock in the memory being deleted:
// the free waits, so the release never lands in freed memory.
void FreeWhileAnotherThreadHoldsTheLock(const MemoryWithALock& memory)
{
    PKSPIN_LOCK lock = memory.make();
    std::atomic<bool> held{false}, release{false}, freed{false};
    std::thread holder([&] {
        KIRQL old = KfAcquireSpinLock(lock);
        held = true;
        held.notify_all();
        release.wait(false);
        KfReleaseSpinLock(lock, old);
    });
    held.wait(false);
    std::thread freeing([&] {
        memory.free();
        freed = true;
    });
    // Either the free waits for the holder, or (wrongly) it has gone through already.
    while (FreesWaitingForSpinLocks() == 0 && !freed) std::this_thread::yield();
    EXPECT_FALSE(freed);
    release = true;
    release.notify_all();
    holder.join();
    freeing.join();
    EXPECT_TRUE(freed);
    EXPECT_EQ(FreesWaitingForSpinLocks(), 0u);
}

// A lock released earlier on another thread, with nothing else ordering that thread before the
// free (the flags order nothing; both threads live until both are done): the free still comes
// after the release's write of the lock word (ThreadSanitizer checks it).
void FreeAfterAReleaseOnAnotherThread(const MemoryWithALock& memory)
{
    PKSPIN_LOCK lock = memory.make();
    std::atomic<bool> released{false}, freed{false};
    std::thread holder([&] {
        KIRQL old = KfAcquireSpinLock(lock);
        KfReleaseSpinLock(lock, old);
        released.store(true, std::memory_order_relaxed);
        while (!freed.load(std::memory_order_relaxed)) std::this_thread::yield();
    });
    std::thread freeing([&] {
        while (!released.load(std::memory_order_relaxed)) std::this_thread::yield();
        memory.free();
        freed.store(true, std::memory_order_relaxed);
    });
    holder.join();
    freeing.join();
}

TEST_F(SpinLockTest, MemoryHoldingASpinLockIsFreedOnlyAfterItsLastRelease)
{
    testing::TestDriver driver;
    PDEVICE_OBJECT device = nullptr;
    PVOID block = nullptr;
    const MemoryWithALock kinds[] = {
        {"device extension",
         [&] {
             device = driver.CreateDevice(u"\\Device\\Port1", 64);
             auto lock = static_cast<PKSPIN_LOCK>(device->DeviceExtension) + 2;
             KeInitializeSpinLock(lock);
             return lock;
         },
         [&] { IoDeleteDevice(device); }},
        {"pool block",
         [&] {
             block = ExAllocatePoolWithTag(NonPagedPoolNx, 64, 0);
             auto lock = static_cast<PKSPIN_LOCK>(block) + 3;
             KeInitializeSpinLock(lock);
             return lock;
         },
         [&] { ExFreePool(block); }},
    };
    for (const MemoryWithALock& memory : kinds) {
        SCOPED_TRACE(memory.name);
        FreeWhileAnotherThreadHoldsTheLock(memory);
        FreeAfterAReleaseOnAnotherThread(memory);
    }
}

// ---------------------------------------------------------------------------------------------
// Interlocked
// ---------------------------------------------------------------------------------------------

TEST(InterlockedTest, ResultsFollowWindowsIncludingWrapAround)
{
    LONG volatile value = 0x7FFFFFFF;
    EXPECT_EQ(InterlockedIncrement(&value), static_cast<LONG>(0x80000000));  // wraps, no overflow
    EXPECT_EQ(InterlockedDecrement(&value), 0x7FFFFFFF);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 0x7FFFFFFF);  // the value found, unchanged
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 0x7FFFFFFF), 0x7FFFFFFF);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(InterlockedOr(&value, 6), 1);
    EXPECT_EQ(InterlockedAnd(&value, 3), 7);
    EXPECT_EQ(InterlockedExchangeAdd(&value, 3), 3);

    int a = 0;
    PVOID volatile pointer = &a;
    EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, nullptr, nullptr), &a);
    EXPECT_EQ(InterlockedExchangePointer(&pointer, nullptr), &a);
    EXPECT_EQ(pointer, nullptr);
}

// What a thread wrote before a release write is there for the thread whose acquire read sees that
// write. (Under ThreadSanitizer a read without acquire ordering here is a reported race.)
TEST(InterlockedTest, AcquireReadsSeeWhatWasWrittenBeforeTheReleaseWrite)
{
    LONG volatile number = 0;
    PVOID volatile pointer = nullptr;
    BOOLEAN volatile boolean = FALSE;
    int payload[3] = {};
    std::thread writer([&] {
        payload[0] = 1;
        WriteRelease(&number, 1);
        payload[1] = 2;
        WritePointerRelease(&pointer, &payload[1]);
        payload[2] = 3;
        WriteBooleanRelease(&boolean, TRUE);
    });
    while (ReadAcquire(&number) == 0) std::this_thread::yield();
    EXPECT_EQ(payload[0], 1);
    PVOID published;
    while (!(published = ReadPointerAcquire(&pointer))) std::this_thread::yield();
    EXPECT_EQ(*static_cast<int*>(published), 2);
    while (!ReadBooleanAcquire(&boolean)) std::this_thread::yield();
    EXPECT_EQ(payload[2], 3);
    writer.join();
}

}  // namespace
}  // namespace emu
