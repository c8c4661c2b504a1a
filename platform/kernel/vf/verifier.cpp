#include "vf/verifier.h"

#include <algorithm>

namespace emu {

const char* ViolationName(Violation v)
{
    switch (v) {
    case Violation::DbgBreakPoint: return "DbgBreakPoint";
    case Violation::AssertReport: return "AssertReport";
    case Violation::Bugcheck: return "Bugcheck";
    case Violation::DoubleFree: return "DoubleFree";
    case Violation::BadFree: return "BadFree";
    case Violation::IrqlTooHigh: return "IrqlTooHigh";
    case Violation::SpinLockRecursive: return "SpinLockRecursive";
    case Violation::SpinLockNotOwner: return "SpinLockNotOwner";
    case Violation::WaitAtDispatch: return "WaitAtDispatch";
    case Violation::TooManyWaitObjects: return "TooManyWaitObjects";
    case Violation::IrpCompletedTwice: return "IrpCompletedTwice";
    case Violation::IrpCancelRoutineSet: return "IrpCancelRoutineSet";
    case Violation::IrpBufferOverrun: return "IrpBufferOverrun";
    case Violation::IrpStackOverrun: return "IrpStackOverrun";
    case Violation::IrpLeaked: return "IrpLeaked";
    case Violation::IrpPendingAtDelete: return "IrpPendingAtDelete";
    case Violation::IrpPendingMismatch: return "IrpPendingMismatch";
    case Violation::DispatchIrqlChanged: return "DispatchIrqlChanged";
    case Violation::TimerOrDpcInFreedMemory: return "TimerOrDpcInFreedMemory";
    case Violation::PoolZeroBytes: return "PoolZeroBytes";
    case Violation::PoolLeak: return "PoolLeak";
    case Violation::HandleInvalid: return "HandleInvalid";
    case Violation::PowerIrpNotStarted: return "PowerIrpNotStarted";
    }
    return "?";
}

void Verifier::Report(Violation kind, std::string detail)
{
    std::function<void(const ViolationRecord&)> handler;
    ViolationRecord record{kind, std::move(detail)};
    {
        std::lock_guard lock(m_mutex);
        m_records.push_back(record);
        handler = m_handler;
    }
    if (handler) handler(record);
}

size_t Verifier::Count(Violation kind) const
{
    std::lock_guard lock(m_mutex);
    return static_cast<size_t>(std::count_if(m_records.begin(), m_records.end(),
                                             [kind](const ViolationRecord& r) { return r.kind == kind; }));
}

std::vector<ViolationRecord> Verifier::Take(Violation kind)
{
    std::lock_guard lock(m_mutex);
    std::vector<ViolationRecord> taken;
    auto keep = std::stable_partition(m_records.begin(), m_records.end(),
                                      [kind](const ViolationRecord& r) { return r.kind != kind; });
    taken.assign(keep, m_records.end());
    m_records.erase(keep, m_records.end());
    return taken;
}

std::vector<ViolationRecord> Verifier::TakeAll()
{
    std::lock_guard lock(m_mutex);
    return std::exchange(m_records, {});
}

void Verifier::SetHandler(std::function<void(const ViolationRecord&)> handler)
{
    std::lock_guard lock(m_mutex);
    m_handler = std::move(handler);
}

}  // namespace emu
