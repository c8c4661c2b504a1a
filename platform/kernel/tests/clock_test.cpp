// The machine clock: one virtual time line for every time query and timed wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "ke/clock.h"
#include "machine_test.h"

namespace emu {
namespace {

constexpr LONGLONG kSecond = 10000000;

class ClockTest : public testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        clock().SetScale(0);
    }
    Clock& clock() { return machine().GetClock(); }
};

TEST_F(ClockTest, PausedClockStandsStillAndAdvanceMovesEveryTimeQueryTogether)
{
    LARGE_INTEGER system0, ticks0, frequency;
    KeQuerySystemTime(&system0);
    KeQueryTickCount(&ticks0);
    ULONGLONG interrupt0 = KeQueryInterruptTime();
    LONGLONG counter0 = KeQueryPerformanceCounter(&frequency).QuadPart;
    EXPECT_EQ(frequency.QuadPart, 10000000);
    EXPECT_EQ(KeQueryInterruptTime(), interrupt0);

    clock().Advance(3 * kSecond);

    LARGE_INTEGER system1, ticks1;
    KeQuerySystemTime(&system1);
    KeQueryTickCount(&ticks1);
    EXPECT_EQ(system1.QuadPart - system0.QuadPart, 3 * kSecond);
    EXPECT_EQ(KeQueryInterruptTime() - interrupt0, static_cast<ULONGLONG>(3 * kSecond));
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart - counter0, 3 * kSecond);  // 10 MHz
    EXPECT_EQ(ticks1.QuadPart - ticks0.QuadPart, 3 * kSecond / KeQueryTimeIncrement());
    EXPECT_GE(system0.QuadPart, Clock::kBootSystemTime);
    EXPECT_LT(system0.QuadPart, Clock::kBootSystemTime + 3600 * kSecond);

    clock().Advance(-kSecond);  // time never runs backwards
    EXPECT_EQ(KeQueryInterruptTime() - interrupt0, static_cast<ULONGLONG>(3 * kSecond));
}

TEST_F(ClockTest, ScaleChangesKeepTimeContinuousAndScaledRunsFaster)
{
    clock().Advance(kSecond);
    LONGLONG paused = clock().InterruptTime();
    clock().SetScale(1000);
    EXPECT_EQ(clock().Scale(), 1000);
    EXPECT_GE(clock().InterruptTime(), paused);

    // At 1000x, virtual time runs 1000 times as fast as real time. Each virtual reading is taken
    // between two real ones, so the virtual time that passed is bounded by 1000 times the real time
    // between the inner readings and between the outer ones, however long the thread is held up;
    // watch 2 virtual seconds pass (2 real milliseconds) rather than sleep.
    using Real = Clock::RealClock;
    auto hundredNs = [](Real::duration real) {
        return std::chrono::duration<long double, std::ratio<1, 10000000>>(real).count();
    };
    Real::time_point before0 = Real::now();
    LONGLONG virtual0 = clock().InterruptTime();
    Real::time_point after0 = Real::now();
    while (clock().InterruptTime() < virtual0 + 2 * kSecond) std::this_thread::yield();
    Real::time_point before1 = Real::now();
    LONGLONG virtual1 = clock().InterruptTime();
    Real::time_point after1 = Real::now();
    long double elapsed = static_cast<long double>(virtual1 - virtual0);
    EXPECT_GE(elapsed, 2 * kSecond);
    EXPECT_LE(elapsed, 1000 * hundredNs(after1 - before0) + 1);  // + 1: the clock rounds down
    EXPECT_GE(elapsed, 1000 * hundredNs(before1 - after0) - 1);

    clock().SetScale(0);
    LONGLONG stopped = clock().InterruptTime();
    EXPECT_EQ(clock().InterruptTime(), stopped);
    clock().SetScale(-5);
    EXPECT_EQ(clock().Scale(), 0);
}

TEST_F(ClockTest, DeadlinesFromRelativeAndAbsoluteTimeouts)
{
    LONGLONG now = clock().InterruptTime();
    EXPECT_EQ(clock().DeadlineFromTimeout(-2 * kSecond), now + 2 * kSecond);
    EXPECT_EQ(clock().DeadlineFromTimeout(clock().SystemTime() + 5 * kSecond), now + 5 * kSecond);
    EXPECT_LT(clock().DeadlineFromTimeout(Clock::kBootSystemTime - kSecond), now);  // already past
    EXPECT_EQ(clock().DeadlineFromTimeout(INT64_MIN), INT64_MAX);                  // no overflow
}

TEST_F(ClockTest, SleeperOnPausedClockWakesWhenAdvancedPastItsDeadline)
{
    std::mutex mutex;
    std::condition_variable cv;
    Clock::SubscriptionId id = clock().Subscribe([&] {
        std::lock_guard lock(mutex);
        cv.notify_all();
    });
    std::atomic<bool> sleeping{false};
    std::atomic<int> result{-1};
    LONGLONG deadline = clock().InterruptTime() + 10 * kSecond;
    std::thread sleeper([&] {
        std::unique_lock lock(mutex);
        sleeping = true;
        result = clock().SleepUntil(lock, cv, deadline, [] { return false; }) ? 1 : 0;
    });
    while (!sleeping) std::this_thread::yield();
    {
        std::lock_guard lock(mutex);  // the sleeper is inside its wait once it has let go of the mutex
    }
    clock().Advance(5 * kSecond);
    EXPECT_EQ(result.load(), -1);  // not yet: it re-checked and went back to sleep
    clock().Advance(5 * kSecond);
    sleeper.join();
    EXPECT_EQ(result.load(), 0);
    clock().Unsubscribe(id);
}

}  // namespace
}  // namespace emu
