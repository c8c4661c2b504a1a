// Sleep: the thread waits on the machine clock, as a kernel delay, so a paused or fast clock
// decides how long it takes in real time. Sleep(0) only gives up the rest of the time slice. A
// test may have sleeps jump the clock instead (sleep_control.h).
#include <synchapi.h>

#include <ntifs.h>

#include <atomic>
#include <thread>

#include "kernel.h"
#include "ke/clock.h"
#include "machine_state.h"
#include "sleep_control.h"

namespace emu::win32 {
namespace {

struct SleepMode {
    std::atomic<bool> jumps{false};
};

PerMachine<SleepMode> g_mode;

}  // namespace

void SetSleepJumpsClock(bool jumps) { g_mode.Get().jumps.store(jumps); }

bool SleepJumpsClock() { return g_mode.Get().jumps.load(); }

}  // namespace emu::win32

extern "C" void Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        std::this_thread::yield();
        return;
    }
    if (emu::win32::SleepJumpsClock()) {
        emu::Kernel::Current().GetClock().Advance(LONGLONG(dwMilliseconds) * 10000);
        return;
    }
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(dwMilliseconds) * 10000;
    KeDelayExecutionThread(UserMode, FALSE, &interval);
}
