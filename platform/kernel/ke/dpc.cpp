// Deferred procedure calls: the machine's DPC queue.
//
// A KDPC is queued at most once at a time (KeInsertQueueDpc answers FALSE for a second insertion
// and keeps the first arguments). Its routine runs at DISPATCH_LEVEL after it has left the queue,
// so the routine may queue it again or free it.
#include <wdm.h>

#include <cstdio>
#include <string>

#include "ke/dpc_manager.h"
#include "ke/kthread.h"
#include "kernel.h"
#include "vf/verifier.h"

namespace emu {

namespace {

constexpr UCHAR kDpcObjectType = 0x13;  // DpcObject

std::string Address(const void* p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

}  // namespace

bool DpcManager::IsDpc(PKDPC dpc, const char* caller) const
{
    if (dpc && dpc->Type == kDpcObjectType && dpc->DeferredRoutine) return true;
    ReportViolation(Violation::Bugcheck, std::string(caller) + " with DPC " + Address(dpc) +
                                             ", which was never initialised");
    return false;
}

bool DpcManager::Queue(PKDPC dpc, PVOID argument1, PVOID argument2)
{
    if (m_shutDown) return true;  // nothing runs any more; the caller need not know
    if (m_queuedByAddress.count(dpc)) return false;
    uint64_t sequence = m_nextSequence++;
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpc->DpcData = this;
    m_queue.emplace(sequence, QueuedDpc{dpc, m_clock.InterruptTime()});
    m_queuedByAddress.emplace(dpc, sequence);
    m_changed.notify_all();
    return true;
}

void DpcManager::Unqueue(PKDPC dpc)
{
    auto it = m_queuedByAddress.find(dpc);
    if (it == m_queuedByAddress.end()) return;
    m_queue.erase(it->second);
    m_queuedByAddress.erase(it);
    dpc->DpcData = nullptr;
}

void DpcManager::InitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE routine, PVOID context)
{
    if (!dpc || !routine) {
        ReportViolation(Violation::Bugcheck, "KeInitializeDpc with no DPC or no routine");
        if (!dpc) return;
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_queuedByAddress.count(dpc)) {  // the queue would keep a DPC its owner is reusing
            ReportViolation(Violation::Bugcheck, "KeInitializeDpc of DPC " + Address(dpc) + ", which is still queued");
            Unqueue(dpc);
            m_changed.notify_all();
        }
    }
    dpc->Type = kDpcObjectType;
    dpc->Importance = 1;  // MediumImportance
    dpc->Number = 0;
    InitializeListHead(&dpc->DpcListEntry);
    dpc->DeferredRoutine = routine;
    dpc->DeferredContext = context;
    dpc->SystemArgument1 = nullptr;
    dpc->SystemArgument2 = nullptr;
    dpc->DpcData = nullptr;
}

BOOLEAN DpcManager::InsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2)
{
    if (!IsDpc(dpc, "KeInsertQueueDpc")) return FALSE;
    std::lock_guard lock(m_mutex);
    if (!Queue(dpc, argument1, argument2)) return FALSE;
    EnsureThreads();
    return TRUE;
}

BOOLEAN DpcManager::RemoveQueueDpc(PRKDPC dpc)
{
    if (!IsDpc(dpc, "KeRemoveQueueDpc")) return FALSE;
    std::lock_guard lock(m_mutex);
    if (!m_queuedByAddress.count(dpc)) return FALSE;
    Unqueue(dpc);
    m_changed.notify_all();  // a flush may have been waiting for it
    return TRUE;
}

// Waits for every DPC queued before the call, including those whose routine runs now. While
// DPCs are held nothing else would run those, so the caller runs them itself: a flush always
// returns.
void DpcManager::FlushQueuedDpcs()
{
    if (!CheckIrqlAtMost(APC_LEVEL, "KeFlushQueuedDpcs")) return;  // waiting here would hang the processor
    std::unique_lock lock(m_mutex);
    uint64_t sequence = m_nextSequence;
    ++m_flushWaiters;
    m_changed.notify_all();
    while (!m_shutDown && !AllRunBefore(sequence)) {
        if (m_held && !m_queue.empty() && m_queue.begin()->first < sequence) {
            ++m_inlineRunners;
            RunOne(lock);
            --m_inlineRunners;
            m_changed.notify_all();
            continue;
        }
        m_changed.wait(lock);
    }
    --m_flushWaiters;
}

}  // namespace emu

// ---------------------------------------------------------------------------------------------
// Kernel interface
// ---------------------------------------------------------------------------------------------

namespace {
emu::DpcManager& Dpcs() { return emu::Kernel::Current().GetDpcs(); }
}  // namespace

extern "C" void KeInitializeDpc(PRKDPC dpc, PKDEFERRED_ROUTINE deferredRoutine, PVOID deferredContext)
{
    Dpcs().InitializeDpc(dpc, deferredRoutine, deferredContext);
}

extern "C" BOOLEAN KeInsertQueueDpc(PRKDPC dpc, PVOID systemArgument1, PVOID systemArgument2)
{
    return Dpcs().InsertQueueDpc(dpc, systemArgument1, systemArgument2);
}

extern "C" BOOLEAN KeRemoveQueueDpc(PRKDPC dpc) { return Dpcs().RemoveQueueDpc(dpc); }

extern "C" void KeFlushQueuedDpcs(void) { Dpcs().FlushQueuedDpcs(); }
