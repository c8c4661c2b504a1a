// Time queries of the kernel interface, all read from the machine clock.
#include <wdm.h>

#include "ke/clock.h"
#include "kernel.h"

namespace {
emu::Clock& KernelClock() { return emu::Kernel::Current().GetClock(); }
}  // namespace

extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency)
{
    if (performanceFrequency) performanceFrequency->QuadPart = emu::Clock::kPerformanceFrequency;
    LARGE_INTEGER counter;
    counter.QuadPart = KernelClock().PerformanceCounter();
    return counter;
}

extern "C" void KeQuerySystemTime(PLARGE_INTEGER currentTime) { currentTime->QuadPart = KernelClock().SystemTime(); }

extern "C" ULONGLONG KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(KernelClock().InterruptTime()); }

extern "C" void KeQueryTickCount(PLARGE_INTEGER tickCount) { tickCount->QuadPart = KernelClock().TickCount(); }

extern "C" ULONG KeQueryTimeIncrement(void) { return emu::Clock::kTimeIncrement; }

extern "C" ULONG ExSetTimerResolution(ULONG desiredTime, BOOLEAN setResolution)
{
    // The default resolution is a clock tick; a request gives at most 1 ms.
    constexpr ULONG kFinest = 10000;
    const LONG requests = KernelClock().ChangeTimerResolutionRequests(setResolution ? 1 : -1);
    if (requests < 0) KernelClock().ChangeTimerResolutionRequests(1);  // a clear without a set changes nothing
    if (!setResolution) return requests > 0 ? kFinest : emu::Clock::kTimeIncrement;
    return desiredTime < kFinest ? kFinest : desiredTime;
}
