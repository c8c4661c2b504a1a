// Time queries of the kernel interface, all read from the machine clock.
#include <wdm.h>

#include "kernel/clock.h"
#include "machine/machine.h"

namespace {
emu::Clock& MachineClock() { return emu::Machine::Current().GetClock(); }
}  // namespace

extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency)
{
    if (performanceFrequency) performanceFrequency->QuadPart = emu::Clock::kPerformanceFrequency;
    LARGE_INTEGER counter;
    counter.QuadPart = MachineClock().PerformanceCounter();
    return counter;
}

extern "C" void KeQuerySystemTime(PLARGE_INTEGER currentTime) { currentTime->QuadPart = MachineClock().SystemTime(); }

extern "C" ULONGLONG KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(MachineClock().InterruptTime()); }

extern "C" void KeQueryTickCount(PLARGE_INTEGER tickCount) { tickCount->QuadPart = MachineClock().TickCount(); }

extern "C" ULONG KeQueryTimeIncrement(void) { return emu::Clock::kTimeIncrement; }
