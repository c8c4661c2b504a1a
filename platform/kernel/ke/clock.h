// The machine clock of the emulated machine. One virtual time line serves interrupt time, system
// time, the tick count, the performance counter and every timed wait:
//     virtual time = scale x real time elapsed + explicit jumps (Advance).
// Tests pause it (SetScale(0)) and jump it forward; every timed wait follows at once.
#pragma once

#include <wdm.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <atomic>
#include <optional>

namespace emu {

class Kernel;

class Clock {
public:
    using RealClock = std::chrono::steady_clock;
    using SubscriptionId = std::uint64_t;

    // 2026-01-01 00:00:00 UTC in 100 ns units since 1601-01-01: the system time at boot.
    static constexpr LONGLONG kBootSystemTime = 134116992000000000LL;
    static constexpr ULONG kTimeIncrement = 156250;  // 15.625 ms per clock tick
    static constexpr LONGLONG kPerformanceFrequency = 10000000;  // 10 MHz

    explicit Clock(Kernel& machine);
    Clock(const Clock&) = delete;
    Clock& operator=(const Clock&) = delete;

    // 0 pauses the clock, 1 runs in real time, 100 runs a hundred times faster. Negative is 0.
    void SetScale(double scale);
    double Scale() const;
    // Jumps forward (100 ns units); a negative jump is ignored, time never runs backwards.
    void Advance(LONGLONG hundredNs);

    LONGLONG InterruptTime() const;  // 100 ns units since boot
    LONGLONG SystemTime() const;     // 100 ns units since 1601
    LONGLONG TickCount() const;
    LONGLONG PerformanceCounter() const;

    // ExSetTimerResolution's requests: each set adds one, each clear takes one away. The clock's
    // timers fire on time whatever the resolution; only the count is kept, for tests.
    LONG TimerResolutionRequests() const { return m_resolutionRequests.load(); }
    LONG ChangeTimerResolutionRequests(LONG delta) { return m_resolutionRequests += delta; }

    // Interrupt time at which a kernel time-out expires: negative is relative to now, positive
    // (or zero) is an absolute system time.
    LONGLONG DeadlineFromTimeout(LONGLONG timeout) const;
    // Real time at which the clock reaches an interrupt time on the current mapping; nothing while
    // the clock is paused short of it (only a change of the clock can bring it nearer).
    std::optional<RealClock::time_point> RealTimeOf(LONGLONG interruptTime) const;

    // Callbacks run after every SetScale and Advance, outside the clock's lock, so a sleeper can be
    // woken to re-check its deadline. A callback must not subscribe or unsubscribe.
    SubscriptionId Subscribe(std::function<void()> onChange);
    void Unsubscribe(SubscriptionId id);

    // Sleeps on `cv` under `lock` until `done()` holds (true) or the interrupt time reaches
    // `deadline` (false). Whoever makes `done()` true, and a clock subscriber, must notify `cv`
    // while holding the mutex of `lock`.
    template <class Done>
    bool SleepUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, LONGLONG deadline,
                    Done done) const
    {
        while (!done()) {
            if (InterruptTime() >= deadline) return false;
            if (auto real = RealTimeOf(deadline))
                cv.wait_until(lock, *real);
            else
                cv.wait(lock);
        }
        return true;
    }

private:
    std::atomic<LONG> m_resolutionRequests{0};

    struct Mapping {
        RealClock::time_point realAnchor;
        LONGLONG virtualAnchor = 0;
        double scale = 1.0;
    };
    static LONGLONG VirtualAt(const Mapping& mapping, RealClock::time_point real);
    void Remap(std::optional<double> scale, LONGLONG jump);
    void NotifySubscribers();

    Kernel& m_kernel;
    mutable std::mutex m_mutex;
    Mapping m_mapping;

    std::mutex m_subscriberMutex;  // held while callbacks run, so Unsubscribe waits for them
    std::map<SubscriptionId, std::function<void()>> m_subscribers;
    SubscriptionId m_nextSubscription = 1;
};

}  // namespace emu
