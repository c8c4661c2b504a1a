// The DPC manager's machinery: its threads, the clock's hand-off, the test controls, shutdown and
// the pool check. Timers are in timer.cpp, the DPC queue in dpc.cpp.
#include "ke/dpc_manager.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "ke/kthread.h"
#include "ex/pool.h"
#include "kernel.h"
#include "vf/verifier.h"

namespace emu {

namespace {
std::string Address(const void* p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}
}  // namespace

DpcManager::DpcManager(Kernel& machine) : m_kernel(machine), m_clock(machine.GetClock())
{
    m_clockSubscription = m_clock.Subscribe([this] { OnClockChange(); });
    m_kernel.GetPool().SetFreeObserver([this](const void* block, size_t size) { OnPoolFree(block, size); });
}

DpcManager::~DpcManager()
{
    Shutdown();
    m_kernel.GetPool().SetFreeObserver(nullptr);
}

void DpcManager::Shutdown()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(m_mutex);
        if (m_shutDown) return;
        m_shutDown = true;
        // The memory of what is still armed or queued belongs to drivers that may be gone: forget
        // it without touching it.
        m_timers.clear();
        m_dueOrder.clear();
        m_queue.clear();
        m_queuedByAddress.clear();
        threads.swap(m_threads);
        m_changed.notify_all();
    }
    for (std::thread& thread : threads)
        if (thread.joinable()) thread.join();
    m_clock.Unsubscribe(m_clockSubscription);
}

// ---------------------------------------------------------------------------------------------
// Running DPCs
// ---------------------------------------------------------------------------------------------

void DpcManager::Invoke(PKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context, PVOID argument1, PVOID argument2)
{
    KIRQL callerIrql = KeGetCurrentIrql();
    SetCurrentIrql(DISPATCH_LEVEL);
    size_t locksBefore = HeldSpinLockCount();

    routine(dpc, context, argument1, argument2);

    KIRQL after = KeGetCurrentIrql();
    if (after != DISPATCH_LEVEL) {
        ReportViolation(Violation::Bugcheck, "DPC routine " + Address(reinterpret_cast<const void*>(routine)) +
                                                 " returned at IRQL " + std::to_string(static_cast<unsigned>(after)) +
                                                 " (it runs at DISPATCH_LEVEL)");
        SetCurrentIrql(DISPATCH_LEVEL);
    }
    if (HeldSpinLockCount() > locksBefore) {
        ReportViolation(Violation::Bugcheck, "DPC routine " + Address(reinterpret_cast<const void*>(routine)) +
                                                 " returned holding " +
                                                 std::to_string(HeldSpinLockCount() - locksBefore) + " spin lock(s)");
        // Give them back, so the rest of the machine does not deadlock on them.
        while (HeldSpinLockCount() > locksBefore) KefReleaseSpinLockFromDpcLevel(HeldSpinLock(HeldSpinLockCount() - 1));
    }
    SetCurrentIrql(callerIrql);
}

// Takes the DPC at the head of the queue and runs it with the lock released.
void DpcManager::RunOne(std::unique_lock<std::mutex>& lock)
{
    auto head = m_queue.begin();
    uint64_t sequence = head->first;
    PKDPC dpc = head->second.dpc;
    m_queue.erase(head);
    m_queuedByAddress.erase(dpc);
    // Once dequeued the KDPC is the driver's again: it may queue it anew or free it in the routine.
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID argument1 = dpc->SystemArgument1;
    PVOID argument2 = dpc->SystemArgument2;
    dpc->DpcData = nullptr;
    auto running = m_running.insert(sequence);
    lock.unlock();

    Invoke(dpc, routine, context, argument1, argument2);

    lock.lock();
    m_running.erase(running);
    ++m_dpcsRun;
    m_changed.notify_all();
}

bool DpcManager::AllRunBefore(uint64_t sequence) const
{
    bool queuedBefore = !m_queue.empty() && m_queue.begin()->first < sequence;
    bool runningBefore = !m_running.empty() && *m_running.begin() < sequence;
    return !queuedBefore && !runningBefore;
}

bool DpcManager::InlineMayRun(LONGLONG until) const
{
    return !m_queue.empty() && m_queue.begin()->second.queuedAt <= until;
}

// Runs what was queued by machine time `until` on the calling thread, and waits for the DPCs other
// threads are running (running too whatever those queue by then), until no such DPC is queued or
// any is running. The caller counts itself in m_inlineRunners, so the DPC threads take nothing new
// meanwhile. On a paused clock that is everything the DPCs queue, however long the chain.
void DpcManager::RunInlineAndWait(std::unique_lock<std::mutex>& lock, LONGLONG until)
{
    for (;;) {
        while (!m_shutDown && !m_held && InlineMayRun(until)) RunOne(lock);
        if (m_shutDown || m_held || m_running.empty()) return;
        m_changed.wait(lock, [&] { return m_shutDown || m_held || InlineMayRun(until) || m_running.empty(); });
    }
}

bool DpcManager::ThreadMayRun() const { return !m_held && m_inlineRunners == 0 && !m_queue.empty(); }

void DpcManager::EnsureThreads()
{
    while (!m_shutDown && m_threads.size() < m_threadCount) m_threads.emplace_back([this] { ThreadMain(); });
}

void DpcManager::ThreadMain()
{
    std::unique_lock lock(m_mutex);
    while (!m_shutDown) {
        if (ThreadMayRun()) {
            RunOne(lock);
            continue;
        }
        if (m_inlineRunners == 0 && ExpireNextDue(m_clock.InterruptTime())) continue;
        std::optional<LONGLONG> due;
        if (m_inlineRunners == 0 && !m_dueOrder.empty()) due = std::get<0>(*m_dueOrder.begin());
        std::optional<Clock::RealClock::time_point> real;
        if (due) real = m_clock.RealTimeOf(*due);
        if (real)
            m_changed.wait_until(lock, *real);
        else
            m_changed.wait(lock);  // a clock change, a new timer or DPC, or shutdown wakes it
    }
}

// A change of the clock fires what it made due on the changing thread, one timer at a time in
// due-time order, each timer's DPC run before the next timer fires. Only what was due when the
// change took effect runs here: while the clock runs, the DPCs' own work keeps making timers due,
// and the changing thread would never get away; the DPC threads take those.
void DpcManager::OnClockChange()
{
    KIRQL irql = KeGetCurrentIrql();
    std::unique_lock lock(m_mutex);
    if (m_shutDown) return;
    const LONGLONG changedAt = m_clock.InterruptTime();
    if (m_held || irql >= DISPATCH_LEVEL) {
        while (ExpireNextDue(changedAt)) {
        }
        m_changed.notify_all();
        return;
    }
    ++m_inlineRunners;
    for (;;) {
        RunInlineAndWait(lock, changedAt);
        if (m_shutDown || !ExpireNextDue(changedAt)) break;
    }
    --m_inlineRunners;
    m_changed.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Test controls
// ---------------------------------------------------------------------------------------------

void DpcManager::HoldDpcs(bool hold)
{
    std::lock_guard lock(m_mutex);
    m_held = hold;
    m_changed.notify_all();
}

bool DpcManager::DpcsHeld() const
{
    std::lock_guard lock(m_mutex);
    return m_held;
}

size_t DpcManager::RunQueuedDpcs()
{
    std::unique_lock lock(m_mutex);
    ++m_inlineRunners;
    size_t ran = 0;
    while (!m_shutDown && !m_queue.empty()) {
        RunOne(lock);
        ++ran;
    }
    --m_inlineRunners;
    m_changed.notify_all();
    return ran;
}

size_t DpcManager::QueuedDpcCount() const
{
    std::lock_guard lock(m_mutex);
    return m_queue.size();
}

bool DpcManager::IsDpcQueued(PKDPC dpc) const
{
    std::lock_guard lock(m_mutex);
    return m_queuedByAddress.count(dpc) != 0;
}

size_t DpcManager::ArmedTimerCount() const
{
    std::lock_guard lock(m_mutex);
    return m_timers.size();
}

bool DpcManager::IsTimerArmed(PKTIMER timer) const
{
    std::lock_guard lock(m_mutex);
    return m_timers.count(timer) != 0;
}

std::optional<LONGLONG> DpcManager::NextDueTime() const
{
    std::lock_guard lock(m_mutex);
    if (m_dueOrder.empty()) return std::nullopt;
    return std::get<0>(*m_dueOrder.begin());
}

uint64_t DpcManager::DpcsRun() const
{
    std::lock_guard lock(m_mutex);
    return m_dpcsRun;
}

size_t DpcManager::FlushWaiterCount() const
{
    std::lock_guard lock(m_mutex);
    return m_flushWaiters;
}

bool DpcManager::AwaitFlushWaiters(size_t count, std::chrono::milliseconds realBound)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, realBound, [&] { return m_flushWaiters >= count; });
}

void DpcManager::SetThreadCount(size_t count)
{
    std::lock_guard lock(m_mutex);
    m_threadCount = std::max<size_t>(count, 1);
    if (!m_threads.empty()) EnsureThreads();
}

// ---------------------------------------------------------------------------------------------
// Pool check
// ---------------------------------------------------------------------------------------------

void DpcManager::OnPoolFree(const void* block, size_t size)
{
    CheckFreed(block, size, [block] { return "pool block " + Address(block) + " freed"; }, false);
}

void DpcManager::CheckFreedMemory(const void* memory, size_t size, const std::string& what, bool routinesToo)
{
    CheckFreed(memory, size, [&what] { return what; }, routinesToo);
}

void DpcManager::CheckFreed(const void* memory, size_t size, const std::function<std::string()>& what,
                            bool routinesToo)
{
    auto begin = reinterpret_cast<uintptr_t>(memory);
    auto end = begin + size;
    auto inside = [&](const void* p) {
        auto address = reinterpret_cast<uintptr_t>(p);
        return address >= begin && address < end;
    };
    auto condemned = [&](PKDPC dpc) {
        return inside(dpc) || (routinesToo && inside(reinterpret_cast<const void*>(dpc->DeferredRoutine)));
    };
    auto dpcText = [&](PKDPC dpc) {
        return (inside(dpc) ? " holding DPC " : " holding the routine of DPC ") + Address(dpc);
    };
    std::vector<std::string> faults;
    {
        std::lock_guard lock(m_mutex);
        if (m_timers.empty() && m_queuedByAddress.empty()) return;
        std::vector<PKTIMER> timers;
        for (auto& [timer, key] : m_timers) {
            if (inside(timer)) {
                timers.push_back(timer);
            } else if (timer->Dpc && condemned(timer->Dpc)) {
                faults.push_back(what() + dpcText(timer->Dpc) + " of armed timer " + Address(timer));
                timer->Dpc = nullptr;  // the timer still fires, but queues nothing
            }
        }
        for (PKTIMER timer : timers) {
            faults.push_back(what() + " holding timer " + Address(timer) + " that is still armed");
            Disarm(timer);
        }
        std::vector<PKDPC> dpcs;
        for (auto& [dpc, sequence] : m_queuedByAddress)
            if (condemned(dpc)) dpcs.push_back(dpc);
        for (PKDPC dpc : dpcs) {
            faults.push_back(what() + dpcText(dpc) + " that is still queued");
            Unqueue(dpc);
        }
        if (!dpcs.empty()) m_changed.notify_all();
    }
    for (std::string& fault : faults) ReportViolation(Violation::TimerOrDpcInFreedMemory, std::move(fault));
}

}  // namespace emu
