#include "ke/clock.h"

#include <cmath>
#include <utility>

namespace emu {

namespace {
constexpr long double kHundredNsPerSecond = 1e7L;
}

Clock::Clock(Kernel& machine) : m_kernel(machine) { m_mapping.realAnchor = RealClock::now(); }

LONGLONG Clock::VirtualAt(const Mapping& mapping, RealClock::time_point real)
{
    if (mapping.scale == 0 || real <= mapping.realAnchor) return mapping.virtualAnchor;
    std::chrono::duration<long double> elapsed = real - mapping.realAnchor;
    long double units = std::floor(elapsed.count() * kHundredNsPerSecond * mapping.scale);
    return mapping.virtualAnchor + static_cast<LONGLONG>(units);
}

void Clock::Remap(std::optional<double> scale, LONGLONG jump)
{
    {
        std::lock_guard lock(m_mutex);
        RealClock::time_point now = RealClock::now();
        LONGLONG current = VirtualAt(m_mapping, now);
        m_mapping.virtualAnchor = jump > INT64_MAX - current ? INT64_MAX : current + jump;
        m_mapping.realAnchor = now;
        if (scale) m_mapping.scale = *scale;
    }
    NotifySubscribers();
}

void Clock::NotifySubscribers()
{
    std::lock_guard lock(m_subscriberMutex);
    for (auto& [id, onChange] : m_subscribers) onChange();
}

void Clock::SetScale(double scale)
{
    if (!(scale > 0)) scale = 0;  // also catches NaN
    Remap(scale, 0);
}

double Clock::Scale() const
{
    std::lock_guard lock(m_mutex);
    return m_mapping.scale;
}

void Clock::Advance(LONGLONG hundredNs)
{
    if (hundredNs <= 0) return;
    Remap(std::nullopt, hundredNs);
}

LONGLONG Clock::InterruptTime() const
{
    std::lock_guard lock(m_mutex);
    return VirtualAt(m_mapping, RealClock::now());
}

LONGLONG Clock::SystemTime() const { return kBootSystemTime + InterruptTime(); }

LONGLONG Clock::TickCount() const { return InterruptTime() / kTimeIncrement; }

// The counter runs at 10 MHz, one count per 100 ns of interrupt time.
LONGLONG Clock::PerformanceCounter() const { return InterruptTime(); }

LONGLONG Clock::DeadlineFromTimeout(LONGLONG timeout) const
{
    if (timeout < 0) {
        LONGLONG now = InterruptTime();
        // A relative time-out beyond the end of time waits forever in practice.
        return (timeout == INT64_MIN || now > INT64_MAX + timeout) ? INT64_MAX : now - timeout;
    }
    return timeout - kBootSystemTime;
}

std::optional<Clock::RealClock::time_point> Clock::RealTimeOf(LONGLONG interruptTime) const
{
    std::lock_guard lock(m_mutex);
    RealClock::time_point now = RealClock::now();
    LONGLONG current = VirtualAt(m_mapping, now);
    if (interruptTime <= current) return now;
    if (m_mapping.scale == 0) return std::nullopt;
    long double seconds = static_cast<long double>(interruptTime - m_mapping.virtualAnchor) /
                          (kHundredNsPerSecond * m_mapping.scale);
    if (seconds > 1e9L) return std::nullopt;  // decades away: only a change of clock matters
    auto offset = std::chrono::ceil<RealClock::duration>(std::chrono::duration<long double>(seconds));
    return m_mapping.realAnchor + offset;
}

Clock::SubscriptionId Clock::Subscribe(std::function<void()> onChange)
{
    std::lock_guard lock(m_subscriberMutex);
    SubscriptionId id = m_nextSubscription++;
    m_subscribers.emplace(id, std::move(onChange));
    return id;
}

void Clock::Unsubscribe(SubscriptionId id)
{
    std::lock_guard lock(m_subscriberMutex);
    m_subscribers.erase(id);
}

}  // namespace emu
