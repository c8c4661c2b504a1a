// Sleep on the machine's clock.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

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
    emu::Clock& clock = emu::Kernel::Current().GetClock();
    const LONGLONG length = LONGLONG(dwMilliseconds) * 10000;
    if (emu::win32::SleepJumpsClock()) {
        clock.Advance(length);
        return;
    }
    const LONGLONG deadline = clock.InterruptTime() + length;
    std::mutex mutex;
    std::condition_variable changed;
    const emu::Clock::SubscriptionId id = clock.Subscribe([&] {
        std::lock_guard lock(mutex);
        changed.notify_all();
    });
    {
        std::unique_lock lock(mutex);
        clock.SleepUntil(lock, changed, deadline, [] { return false; });
    }
    clock.Unsubscribe(id);
}
