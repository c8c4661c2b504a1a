// Kernel timers: dispatcher objects in the DPC manager's due-time table.
//
// A timer is armed (in the table), or not. When it comes due it leaves the table - a periodic
// timer goes back in one period after the time it fired, so a long jump of the clock gives one
// expiry, not one for each period missed - is signalled under the dispatcher lock, and queues its
// DPC. From then on KeCancelTimer cannot stop the DPC: it is queued or running.
#include <wdm.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "ke/dispatcher.h"
#include "ke/dpc_manager.h"
#include "ke/kthread.h"
#include "kernel.h"
#include "vf/verifier.h"

namespace emu {

namespace {

constexpr LONGLONG kHundredNsPerMillisecond = 10000;

std::string Address(const void* p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

}  // namespace

bool DpcManager::IsTimer(PKTIMER timer, const char* caller) const
{
    if (timer &&
        (timer->Header.Type == DISPATCHER_NOTIFICATION_TIMER || timer->Header.Type == DISPATCHER_SYNCHRONIZATION_TIMER) &&
        timer->Header.Size == sizeof(KTIMER) / sizeof(LONG) && timer->Header.WaitListHead.Flink)
        return true;
    ReportViolation(Violation::Bugcheck, std::string(caller) + " on timer " + Address(timer) +
                                             ", which was never initialised");
    return false;
}

void DpcManager::Arm(PKTIMER timer, LONGLONG due)
{
    DueKey key{due, m_nextArming++, timer};
    m_timers[timer] = key;
    m_dueOrder.insert(key);
    timer->DueTime.QuadPart = static_cast<ULONGLONG>(due < 0 ? 0 : due);
    timer->Header.Inserted = TRUE;
}

bool DpcManager::Disarm(PKTIMER timer)
{
    auto it = m_timers.find(timer);
    if (it == m_timers.end()) return false;
    m_dueOrder.erase(it->second);
    m_timers.erase(it);
    timer->Header.Inserted = FALSE;
    return true;
}

// Fires the earliest armed timer if it is due at `now`; false when none is.
bool DpcManager::ExpireNextDue(LONGLONG now)
{
    if (m_dueOrder.empty()) return false;
    auto [due, arming, timer] = *m_dueOrder.begin();
    if (due > now) return false;
    m_dueOrder.erase(m_dueOrder.begin());
    m_timers.erase(timer);
    timer->Header.Inserted = FALSE;
    if (timer->Period > 0) {
        LONGLONG step = timer->Period * kHundredNsPerMillisecond;
        Arm(timer, now > INT64_MAX - step ? INT64_MAX : now + step);
    }
    PKDPC dpc = timer->Dpc;
    {
        // A waiter may free the timer as soon as it wakes: nothing of it is touched after this.
        Dispatcher& dispatcher = m_kernel.GetDispatcher();
        auto lock = dispatcher.Lock();
        timer->Header.SignalState = 1;
        dispatcher.WakeWaiters(&timer->Header);
    }
    if (dpc) {
        auto systemTime = static_cast<ULONGLONG>(Clock::kBootSystemTime + due);
        Queue(dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime & 0xFFFFFFFFu)),
              reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(systemTime >> 32)));
    }
    return true;
}

void DpcManager::InitializeTimer(PKTIMER timer, TIMER_TYPE type)
{
    if (!timer) {
        ReportViolation(Violation::Bugcheck, "KeInitializeTimer with no timer");
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        if (Disarm(timer))  // the table would keep a timer its owner is reusing
            ReportViolation(Violation::Bugcheck, "KeInitializeTimer of timer " + Address(timer) + ", which is still armed");
    }
    UCHAR kind = type == SynchronizationTimer ? DISPATCHER_SYNCHRONIZATION_TIMER : DISPATCHER_NOTIFICATION_TIMER;
    Dispatcher::InitializeHeader(&timer->Header, kind, sizeof(KTIMER), 0);
    timer->DueTime.QuadPart = 0;
    InitializeListHead(&timer->TimerListEntry);
    timer->Dpc = nullptr;
    timer->Period = 0;
}

BOOLEAN DpcManager::SetTimer(PKTIMER timer, LONGLONG dueTime, LONG period, PKDPC dpc, const char* caller)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, caller);
    if (!IsTimer(timer, caller)) return FALSE;
    if (dpc && !IsDpc(dpc, caller)) dpc = nullptr;  // arm the timer, but queue nothing unknown
    if (period < 0) {
        ReportViolation(Violation::Bugcheck, std::string(caller) + " with a negative period (" +
                                                 std::to_string(period) + " ms)");
        period = 0;
    }
    LONGLONG due = m_clock.DeadlineFromTimeout(dueTime);

    std::lock_guard lock(m_mutex);
    BOOLEAN wasArmed = Disarm(timer) ? TRUE : FALSE;
    if (m_shutDown) return wasArmed;
    timer->Dpc = dpc;
    timer->Period = period;
    timer->Header.Absolute = dueTime >= 0 ? 1 : 0;
    {
        Dispatcher& dispatcher = m_kernel.GetDispatcher();
        auto dispatcherLock = dispatcher.Lock();
        timer->Header.SignalState = 0;
    }
    Arm(timer, due);
    // A due time already past fires at once.
    LONGLONG now = m_clock.InterruptTime();
    while (ExpireNextDue(now)) {
    }
    EnsureThreads();
    m_changed.notify_all();
    return wasArmed;
}

BOOLEAN DpcManager::CancelTimer(PKTIMER timer)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
    if (!IsTimer(timer, "KeCancelTimer")) return FALSE;
    std::lock_guard lock(m_mutex);
    if (!Disarm(timer)) return FALSE;
    m_changed.notify_all();
    return TRUE;
}

BOOLEAN DpcManager::ReadStateTimer(PKTIMER timer)
{
    if (!IsTimer(timer, "KeReadStateTimer")) return FALSE;
    return m_kernel.GetDispatcher().ReadState(&timer->Header) != 0 ? TRUE : FALSE;
}

}  // namespace emu

// ---------------------------------------------------------------------------------------------
// Kernel interface
// ---------------------------------------------------------------------------------------------

namespace {
emu::DpcManager& Dpcs() { return emu::Kernel::Current().GetDpcs(); }
}  // namespace

extern "C" void KeInitializeTimer(PKTIMER timer) { Dpcs().InitializeTimer(timer, NotificationTimer); }

extern "C" void KeInitializeTimerEx(PKTIMER timer, TIMER_TYPE type) { Dpcs().InitializeTimer(timer, type); }

extern "C" BOOLEAN KeSetTimer(PKTIMER timer, LARGE_INTEGER dueTime, PKDPC dpc)
{
    return Dpcs().SetTimer(timer, dueTime.QuadPart, 0, dpc, "KeSetTimer");
}

extern "C" BOOLEAN KeSetTimerEx(PKTIMER timer, LARGE_INTEGER dueTime, LONG period, PKDPC dpc)
{
    return Dpcs().SetTimer(timer, dueTime.QuadPart, period, dpc, "KeSetTimerEx");
}

extern "C" BOOLEAN KeCancelTimer(PKTIMER timer) { return Dpcs().CancelTimer(timer); }

extern "C" BOOLEAN KeReadStateTimer(PKTIMER timer) { return Dpcs().ReadStateTimer(timer); }
