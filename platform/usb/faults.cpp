#include "faults.h"

#include <algorithm>

namespace emu::usb {

Fault Fault::FailNth(RequestKind kind, uint64_t nth, USBD_STATUS status)
{
    Fault fault;
    fault.kind = kind;
    fault.nth = nth;
    fault.status = status;
    return fault;
}

Fault Fault::DropNext(RequestKind kind)
{
    Fault fault;
    fault.kind = kind;
    fault.action = Action::Drop;
    return fault;
}

Fault Fault::DelayNext(RequestKind kind, MachineTime delay)
{
    Fault fault;
    fault.kind = kind;
    fault.action = Action::Delay;
    fault.delay = delay;
    return fault;
}

Fault Fault::UnplugAt(RequestKind kind, uint64_t nth)
{
    Fault fault;
    fault.kind = kind;
    fault.nth = nth;
    fault.action = Action::Unplug;
    return fault;
}

void FaultPlan::Add(const Fault& fault) { m_entries.push_back(Entry{fault, 0}); }

void FaultPlan::Clear() { m_entries.clear(); }

std::optional<Fault> FaultPlan::Take(RequestKind kind, uint8_t endpoint)
{
    std::optional<Fault> applied;
    for (Entry& entry : m_entries) {
        const Fault& fault = entry.fault;
        if (fault.kind != RequestKind::Any && fault.kind != kind) continue;
        if (fault.endpoint >= 0 && fault.endpoint != endpoint) continue;
        const uint64_t ordinal = ++entry.seen;
        const bool inRange = ordinal >= fault.nth && (fault.count == 0 || ordinal < fault.nth + fault.count);
        if (inRange && !applied) applied = fault;
    }
    // A fault whose requests have all passed has nothing left to do.
    std::erase_if(m_entries, [](const Entry& entry) {
        return entry.fault.count != 0 && entry.seen >= entry.fault.nth + entry.fault.count - 1;
    });
    return applied;
}

}  // namespace emu::usb
