// Dispatcher objects and waits: events, semaphores, mutexes, time-outs on the machine clock.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "ke/clock.h"
#include "ke/dispatcher.h"
#include "machine_test.h"

namespace emu {
namespace {

constexpr LONGLONG kSecond = 10000000;

LARGE_INTEGER Relative(LONGLONG hundredNs)
{
    LARGE_INTEGER t;
    t.QuadPart = -hundredNs;
    return t;
}

LARGE_INTEGER Poll()
{
    LARGE_INTEGER t;
    t.QuadPart = 0;
    return t;
}

NTSTATUS PollOne(PVOID object)
{
    LARGE_INTEGER zero = Poll();
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

NTSTATUS WaitOne(PVOID object, LARGE_INTEGER* timeout = nullptr)
{
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout);
}

// A host thread that runs one wait and keeps its result.
class Waiter {
public:
    explicit Waiter(std::function<NTSTATUS()> wait) : m_thread([this, wait] { m_status = wait(); }) {}
    ~Waiter()
    {
        if (m_thread.joinable()) m_thread.join();
    }
    NTSTATUS Join()
    {
        m_thread.join();
        return m_status;
    }
    NTSTATUS Status() const { return m_status; }

private:
    std::atomic<NTSTATUS> m_status{STATUS_PENDING};
    std::thread m_thread;
};

class DispatcherTest : public testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        machine().GetClock().SetScale(0);  // time moves only when a test advances it
    }
    Dispatcher& dispatcher() { return machine().GetDispatcher(); }
    Clock& clock() { return machine().GetClock(); }
};

// ---------------------------------------------------------------------------------------------
// Events
// ---------------------------------------------------------------------------------------------

TEST_F(DispatcherTest, NotificationEventStaysSignalledAndSynchronizationEventIsConsumed)
{
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    EXPECT_EQ(PollOne(&notification), STATUS_SUCCESS);
    EXPECT_EQ(PollOne(&notification), STATUS_SUCCESS);
    EXPECT_EQ(PollOne(&synchronization), STATUS_SUCCESS);
    EXPECT_EQ(PollOne(&synchronization), STATUS_TIMEOUT);

    EXPECT_EQ(KeResetEvent(&notification), 1);  // test-and-clear
    EXPECT_EQ(KeResetEvent(&notification), 0);
    EXPECT_EQ(PollOne(&notification), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&synchronization, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&synchronization, 0, FALSE), 1);  // set twice still lets one wait through
    EXPECT_EQ(PollOne(&synchronization), STATUS_SUCCESS);
    EXPECT_EQ(PollOne(&synchronization), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, SettingASynchronizationEventReleasesExactlyOneWaiter)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::vector<std::unique_ptr<Waiter>> waiters;
    for (int i = 0; i < 3; ++i) waiters.push_back(std::make_unique<Waiter>([&] { return WaitOne(&event); }));
    ASSERT_TRUE(dispatcher().AwaitWaiters(&event, 3));

    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(dispatcher().WaiterCount(&event), 2u);  // one released, under the lock, at once
    EXPECT_EQ(KeReadStateEvent(&event), 0);           // and the event went with it
    KeSetEvent(&event, 0, FALSE);
    KeSetEvent(&event, 0, FALSE);
    for (auto& waiter : waiters) EXPECT_EQ(waiter->Join(), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(DispatcherTest, NotificationReleasesEveryWaiterEvenWhenClearedAtOnce)
{
    for (bool pulse : {true, false}) {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        std::vector<std::unique_ptr<Waiter>> waiters;
        for (int i = 0; i < 4; ++i) waiters.push_back(std::make_unique<Waiter>([&] { return WaitOne(&event); }));
        ASSERT_TRUE(dispatcher().AwaitWaiters(&event, 4));

        if (pulse) {
            EXPECT_EQ(KePulseEvent(&event, 0, FALSE), 0);
        } else {
            KeSetEvent(&event, 0, FALSE);
            KeClearEvent(&event);  // a gate closing again straight after opening
        }
        EXPECT_EQ(KeReadStateEvent(&event), 0);
        for (auto& waiter : waiters) EXPECT_EQ(waiter->Join(), STATUS_SUCCESS) << (pulse ? "pulse" : "set+clear");
    }
}

TEST_F(DispatcherTest, WaiterMayFreeItsEventTheMomentItWakes)
{
    for (int round = 0; round < 100; ++round) {
        auto* event = new KEVENT;
        KeInitializeEvent(event, round % 2 ? SynchronizationEvent : NotificationEvent, FALSE);
        Waiter waiter([event] {
            NTSTATUS status = WaitOne(event);
            delete event;
            return status;
        });
        if (round % 4 < 2) {
            ASSERT_TRUE(dispatcher().AwaitWaiters(event, 1));
        }  // else the set races the waiter's arrival
        KeSetEvent(event, 0, FALSE);
        EXPECT_EQ(waiter.Join(), STATUS_SUCCESS);
    }
}

// ---------------------------------------------------------------------------------------------
// Multiple objects
// ---------------------------------------------------------------------------------------------

TEST_F(DispatcherTest, WaitAnyTakesTheLowestSignalledIndexAndConsumesOnlyThatObject)
{
    KEVENT notification, first, second;
    KSEMAPHORE semaphore;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&first, SynchronizationEvent, TRUE);
    KeInitializeEvent(&second, SynchronizationEvent, TRUE);
    KeInitializeSemaphore(&semaphore, 1, 5);
    PVOID objects[] = {&notification, &first, &second, &semaphore};
    KWAIT_BLOCK blocks[4];
    LARGE_INTEGER zero = Poll();
    auto waitAny = [&] { return KeWaitForMultipleObjects(4, objects, WaitAny, Executive, KernelMode, FALSE, &zero, blocks); };

    EXPECT_EQ(waitAny(), STATUS_WAIT_1);
    EXPECT_EQ(KeReadStateEvent(&first), 0);
    EXPECT_EQ(KeReadStateEvent(&second), 1);  // untouched
    EXPECT_EQ(waitAny(), STATUS_WAIT_2);
    EXPECT_EQ(waitAny(), STATUS_WAIT_3);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 0);
    EXPECT_EQ(waitAny(), STATUS_TIMEOUT);
    KeSetEvent(&notification, 0, FALSE);
    EXPECT_EQ(waitAny(), STATUS_WAIT_0);
    EXPECT_EQ(waitAny(), STATUS_WAIT_0);  // a notification event is not consumed
}

TEST_F(DispatcherTest, WaitAnyWokenByALaterObjectReportsItsIndex)
{
    KEVENT events[3];
    for (KEVENT& e : events) KeInitializeEvent(&e, SynchronizationEvent, FALSE);
    PVOID objects[] = {&events[0], &events[1], &events[2]};
    Waiter waiter([&] { return KeWaitForMultipleObjects(3, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr); });
    ASSERT_TRUE(dispatcher().AwaitWaiters(&events[2], 1));
    KeSetEvent(&events[2], 0, FALSE);
    EXPECT_EQ(waiter.Join(), STATUS_WAIT_2);
    for (KEVENT& e : events) EXPECT_EQ(dispatcher().WaiterCount(&e), 0u);  // every block unlinked
    EXPECT_EQ(KeReadStateEvent(&events[2]), 0);
}

TEST_F(DispatcherTest, WaitAllNeedsEveryObjectAndConsumesThemTogether)
{
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    PVOID objects[] = {&notification, &synchronization};
    LARGE_INTEGER zero = Poll();
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr), STATUS_TIMEOUT);

    KeClearEvent(&notification);
    Waiter waiter([&] { return KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr); });
    ASSERT_TRUE(dispatcher().AwaitWaiters(&synchronization, 1));
    KeSetEvent(&synchronization, 0, FALSE);
    EXPECT_EQ(dispatcher().WaiterCount(&synchronization), 1u);  // not yet: one object is still clear
    EXPECT_EQ(KeReadStateEvent(&synchronization), 1);
    KeSetEvent(&notification, 0, FALSE);
    EXPECT_EQ(waiter.Join(), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
    EXPECT_EQ(KeReadStateEvent(&notification), 1);
}

TEST_F(DispatcherTest, ObjectCountLimits)
{
    std::vector<KEVENT> events(65);
    std::vector<PVOID> objects;
    for (KEVENT& e : events) {
        KeInitializeEvent(&e, NotificationEvent, FALSE);
        objects.push_back(&e);
    }
    KeSetEvent(&events[3], 0, FALSE);
    std::vector<KWAIT_BLOCK> blocks(65);
    LARGE_INTEGER zero = Poll();

    EXPECT_EQ(KeWaitForMultipleObjects(65, objects.data(), WaitAny, Executive, KernelMode, FALSE, &zero, blocks.data()),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Take(Violation::TooManyWaitObjects), 1u);
    EXPECT_EQ(KeWaitForMultipleObjects(64, objects.data(), WaitAny, Executive, KernelMode, FALSE, &zero, blocks.data()),
              STATUS_WAIT_3);
    // Over THREAD_WAIT_OBJECTS without an array of wait blocks: reported, and served anyway.
    EXPECT_EQ(KeWaitForMultipleObjects(4, objects.data(), WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_3);
    EXPECT_EQ(Take(Violation::TooManyWaitObjects), 1u);
}

TEST_F(DispatcherTest, WaitOnSomethingThatIsNoDispatcherObjectIsRefused)
{
    KEVENT zeroed = {};
    EXPECT_EQ(PollOne(&zeroed), STATUS_INVALID_PARAMETER);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PVOID twice[] = {&event, &event};
    LARGE_INTEGER zero = Poll();
    EXPECT_EQ(KeWaitForMultipleObjects(2, twice, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Take(Violation::Bugcheck), 2u);
}

// ---------------------------------------------------------------------------------------------
// Time-outs on the machine clock
// ---------------------------------------------------------------------------------------------

TEST_F(DispatcherTest, RelativeTimeoutExpiresWhenTheClockIsAdvancedPastIt)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Waiter waiter([&] {
        LARGE_INTEGER timeout = Relative(kSecond);
        return WaitOne(&event, &timeout);
    });
    ASSERT_TRUE(dispatcher().AwaitWaiters(&event, 1));
    clock().Advance(kSecond / 2);
    EXPECT_EQ(dispatcher().WaiterCount(&event), 1u);
    EXPECT_EQ(waiter.Status(), STATUS_PENDING);
    clock().Advance(kSecond / 2);
    // Over as soon as Advance returns, so a test can wait for the next wait without mistaking this one.
    EXPECT_EQ(dispatcher().WaiterCount(&event), 0u);
    EXPECT_EQ(dispatcher().TimedWaiterCount(), 0u);
    EXPECT_EQ(waiter.Join(), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, AbsoluteTimeoutIsSystemTime)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER past;
    past.QuadPart = clock().SystemTime() - 1;
    EXPECT_EQ(WaitOne(&event, &past), STATUS_TIMEOUT);

    LARGE_INTEGER due;
    due.QuadPart = clock().SystemTime() + 2 * kSecond;
    Waiter waiter([&] { return WaitOne(&event, &due); });
    ASSERT_TRUE(dispatcher().AwaitTimedWaiters(1));
    clock().Advance(2 * kSecond);
    EXPECT_EQ(waiter.Join(), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, ResumingAPausedClockLetsTimedWaitsRunOut)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    Waiter waiter([&] {
        LARGE_INTEGER timeout = Relative(kSecond);
        return WaitOne(&event, &timeout);
    });
    ASSERT_TRUE(dispatcher().AwaitWaiters(&event, 1));
    clock().SetScale(1000);  // the sleeper had no real deadline while paused: it must be told
    EXPECT_EQ(waiter.Join(), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, DelayExecutionFollowsTheClock)
{
    std::atomic<bool> done{false};
    std::thread sleeper([&] {
        LARGE_INTEGER interval = Relative(5 * kSecond);
        EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
        done = true;
    });
    ASSERT_TRUE(dispatcher().AwaitTimedWaiters(1));
    clock().Advance(4 * kSecond);
    EXPECT_FALSE(done);
    clock().Advance(kSecond);
    EXPECT_EQ(dispatcher().TimedWaiterCount(), 0u);
    sleeper.join();
    EXPECT_TRUE(done);
}

TEST_F(DispatcherTest, WaitsAtDispatchLevelAreReportedAndPoll)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    testing::ScopedIrql dpc(DISPATCH_LEVEL);
    EXPECT_EQ(PollOne(&event), STATUS_TIMEOUT);  // a poll is allowed
    EXPECT_EQ(verifier().Count(Violation::WaitAtDispatch), 0u);

    EXPECT_EQ(WaitOne(&event), STATUS_TIMEOUT);  // infinite: would hang the processor
    LARGE_INTEGER timeout = Relative(kSecond);
    EXPECT_EQ(WaitOne(&event, &timeout), STATUS_TIMEOUT);
    LARGE_INTEGER interval = Relative(kSecond);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(Take(Violation::WaitAtDispatch), 3u);

    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(WaitOne(&event), STATUS_SUCCESS);  // signalled: satisfied without waiting
    EXPECT_EQ(Take(Violation::WaitAtDispatch), 1u);
}

// A poll and KeClearEvent are allowed up to DISPATCH_LEVEL, and reported above it.
TEST_F(DispatcherTest, PollsAndClearingAnEventAboveDispatchLevelAreReported)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    struct Case {
        const char* name;
        std::function<void()> call;
    };
    const Case cases[] = {
        {"poll", [&] { EXPECT_EQ(PollOne(&event), STATUS_TIMEOUT); }},
        {"poll of several",
         [&] {
             PVOID objects[] = {&event};
             LARGE_INTEGER zero = Poll();
             EXPECT_EQ(KeWaitForMultipleObjects(1, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
                       STATUS_TIMEOUT);
         }},
        {"KeClearEvent", [&] { KeClearEvent(&event); }},
    };
    for (const Case& c : cases) {
        {
            testing::ScopedIrql dpc(DISPATCH_LEVEL);
            c.call();
        }
        EXPECT_EQ(Take(Violation::IrqlTooHigh), 0u) << c.name;
        {
            testing::ScopedIrql device(DISPATCH_LEVEL + 1);
            c.call();
        }
        EXPECT_EQ(Take(Violation::IrqlTooHigh), 1u) << c.name;
    }
}

// ---------------------------------------------------------------------------------------------
// Semaphores and mutexes
// ---------------------------------------------------------------------------------------------

TEST_F(DispatcherTest, SemaphoreCountsAndRefusesToPassItsLimit)
{
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    Waiter waiter([&] { return WaitOne(&semaphore); });
    ASSERT_TRUE(dispatcher().AwaitWaiters(&semaphore, 1));
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 0);
    EXPECT_EQ(waiter.Join(), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1);

    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 1);  // 3 > limit 2
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 1);
}

TEST_F(DispatcherTest, MutexIsRecursiveForItsOwnerOnly)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(WaitOne(&mutex), STATUS_SUCCESS);
    EXPECT_EQ(WaitOne(&mutex), STATUS_SUCCESS);  // the owner again
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());

    Waiter stranger([&] { return WaitOne(&mutex); });
    ASSERT_TRUE(dispatcher().AwaitWaiters(&mutex, 1));
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    EXPECT_EQ(dispatcher().WaiterCount(&mutex), 1u);  // still held once
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_EQ(stranger.Join(), STATUS_SUCCESS);  // handed over on the last release
    EXPECT_EQ(KeReadStateMutex(&mutex), 0);
    EXPECT_NE(mutex.OwnerThread, KeGetCurrentThread());
}

TEST_F(DispatcherTest, ReleasingAMutexOneDoesNotOwnIsReportedAndChangesNothing)
{
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 1);  // free
    std::thread owner([&] { EXPECT_EQ(WaitOne(&mutex), STATUS_SUCCESS); });
    owner.join();
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);  // owned by the other thread
    EXPECT_EQ(Take(Violation::Bugcheck), 2u);
    EXPECT_EQ(KeReadStateMutex(&mutex), 0);
}

}  // namespace
}  // namespace emu
