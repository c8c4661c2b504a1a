// Timers and DPCs of the emulated machine.
//
// Armed timers sit in one table ordered by due time (interrupt time of the machine clock). A timer
// that comes due leaves the table (a periodic one goes back one period after it fired), is signalled through
// the dispatcher, and queues its DPC. DPCs run at DISPATCH_LEVEL in queue order on the machine's
// DPC thread; a KDPC is queued at most once, and is no longer queued once its routine has begun.
//
// Determinism for tests: every change of the clock (Advance, SetScale) fires the timers it made
// due on the thread that changed it, in due-time order, and - unless DPCs are held - runs each
// timer's DPC before the next timer fires, so Advance returns only after the DPCs that became due
// have run. HoldDpcs(true) lets timers expire and queue their DPCs with nothing running them until
// the test calls RunQueuedDpcs(), so a race between a data path and a queued DPC can be staged.
#pragma once

#include <wdm.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ke/clock.h"

namespace emu {

class Kernel;

class DpcManager {
public:
    explicit DpcManager(Kernel& machine);
    ~DpcManager();
    DpcManager(const DpcManager&) = delete;
    DpcManager& operator=(const DpcManager&) = delete;

    // ---- Kernel entry points --------------------------------------------------------------------
    void InitializeTimer(PKTIMER timer, TIMER_TYPE type);
    // dueTime: negative relative, otherwise absolute system time (100 ns); period in milliseconds.
    BOOLEAN SetTimer(PKTIMER timer, LONGLONG dueTime, LONG period, PKDPC dpc, const char* caller);
    BOOLEAN CancelTimer(PKTIMER timer);
    BOOLEAN ReadStateTimer(PKTIMER timer);
    void InitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context);
    BOOLEAN InsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2);
    BOOLEAN RemoveQueueDpc(PRKDPC dpc);
    void FlushQueuedDpcs();

    // ---- Test controls --------------------------------------------------------------------------
    // While held, expired timers still queue their DPCs, but nothing runs them except
    // RunQueuedDpcs, or KeFlushQueuedDpcs for those queued before it (on the flushing thread).
    // Releasing the hold lets the DPC thread run what is queued.
    void HoldDpcs(bool hold);
    bool DpcsHeld() const;
    // Runs every queued DPC (and those they queue) on the calling thread at DISPATCH_LEVEL, in
    // queue order, held or not. Returns how many ran.
    size_t RunQueuedDpcs();
    size_t QueuedDpcCount() const;
    bool IsDpcQueued(PKDPC dpc) const;
    size_t ArmedTimerCount() const;
    bool IsTimerArmed(PKTIMER timer) const;
    // Interrupt time at which the earliest armed timer is due, if any is armed.
    std::optional<LONGLONG> NextDueTime() const;
    // DPC routines run since the machine started.
    uint64_t DpcsRun() const;
    // Threads inside KeFlushQueuedDpcs, and waiting (bounded in real time) until `count` are.
    size_t FlushWaiterCount() const;
    bool AwaitFlushWaiters(size_t count, std::chrono::milliseconds realBound = std::chrono::seconds(10));
    // Number of DPC threads (1 by default; more lets the same work run on several processors).
    void SetThreadCount(size_t count);

    // ---- Machine ----------------------------------------------------------------------------------
    // From here on no timer fires and no DPC runs; whatever is queued is dropped.
    void Shutdown();
    // The pool is about to free [block, block + size): a timer still armed or a DPC still queued
    // there is a driver fault, reported and taken out of the machine's lists.
    void OnPoolFree(const void* block, size_t size);
    // The same for any memory about to go: `what` names it and what happens to it ("device object
    // X freed"). With `routinesToo` (an image's code) a queued DPC whose routine lies there counts.
    void CheckFreedMemory(const void* memory, size_t size, const std::string& what, bool routinesToo = false);

private:
    // The check itself; `what` is asked for only when there is a fault to report, so that the
    // pool's every free does not pay for a description.
    void CheckFreed(const void* memory, size_t size, const std::function<std::string()>& what, bool routinesToo);

    struct QueuedDpc {
        PKDPC dpc;
        LONGLONG queuedAt;  // interrupt time when it was queued
    };
    using DueKey = std::tuple<LONGLONG, uint64_t, PKTIMER>;  // due time, arming order, timer

    bool IsTimer(PKTIMER timer, const char* caller) const;
    bool IsDpc(PKDPC dpc, const char* caller) const;
    // Under m_mutex.
    void Arm(PKTIMER timer, LONGLONG due);
    bool Disarm(PKTIMER timer);
    bool Queue(PKDPC dpc, PVOID argument1, PVOID argument2);
    void Unqueue(PKDPC dpc);
    bool ExpireNextDue(LONGLONG now);
    bool AllRunBefore(uint64_t sequence) const;
    bool ThreadMayRun() const;
    void RunOne(std::unique_lock<std::mutex>& lock);
    bool InlineMayRun(LONGLONG until) const;
    void RunInlineAndWait(std::unique_lock<std::mutex>& lock, LONGLONG until);
    void EnsureThreads();

    void OnClockChange();
    void ThreadMain();
    static void Invoke(PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context, PVOID argument1, PVOID argument2);

    Kernel& m_kernel;
    Clock& m_clock;
    Clock::SubscriptionId m_clockSubscription = 0;

    mutable std::mutex m_mutex;  // taken before the dispatcher lock, never after it
    std::condition_variable m_changed;
    std::map<PKTIMER, DueKey> m_timers;  // armed timers by address (for the pool check)
    std::set<DueKey> m_dueOrder;
    uint64_t m_nextArming = 1;
    std::map<uint64_t, QueuedDpc> m_queue;      // queued DPCs by queue order
    std::map<PKDPC, uint64_t> m_queuedByAddress;
    std::multiset<uint64_t> m_running;          // queue numbers of DPCs whose routine runs now
    uint64_t m_nextSequence = 1;
    uint64_t m_dpcsRun = 0;
    bool m_held = false;
    size_t m_inlineRunners = 0;  // threads running DPCs themselves; the DPC threads stand back
    size_t m_flushWaiters = 0;
    size_t m_threadCount = 1;
    bool m_shutDown = false;
    std::vector<std::thread> m_threads;
};

}  // namespace emu
