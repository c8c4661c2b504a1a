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
