#include "line_domain.h"

#include <algorithm>

namespace emu::devices {

std::recursive_mutex& ModelLock()
{
    static std::recursive_mutex lock;
    return lock;
}

DomainMember::DomainMember() : m_domain(std::make_shared<LineDomain>())
{
    std::lock_guard lock(ModelLock());
    m_domain->m_members.push_back(this);
}

DomainMember::~DomainMember()
{
    std::lock_guard lock(ModelLock());
    auto& members = m_domain->m_members;
    members.erase(std::remove(members.begin(), members.end(), this), members.end());
}

void DomainMember::JoinDomainOf(DomainMember& other)
{
    std::shared_ptr<LineDomain> target = other.m_domain;
    std::shared_ptr<LineDomain> source = m_domain;
    if (source == target) return;
    // Bring the one behind up to the other's time first, so that no event runs in the past.
    if (source->m_now < target->m_now)
        source->AdvanceTo(target->m_now);
    else
        target->AdvanceTo(source->m_now);
    for (DomainMember* member : source->m_members) {
        member->m_domain = target;
        target->m_members.push_back(member);
    }
    source->m_members.clear();
}

std::uint64_t DomainMember::NextEventOrder()
{
    static std::uint64_t order = 0;
    return ++order;
}

DomainMember* LineDomain::Earliest() const
{
    DomainMember* earliest = nullptr;
    FineTime when = kFineNever;
    std::uint64_t order = UINT64_MAX;
    for (DomainMember* member : m_members) {
        const FineTime next = member->NextEvent();
        if (next == kFineNever) continue;
        const std::uint64_t memberOrder = member->EventOrder();
        if (next < when || (next == when && memberOrder < order)) {
            when = next;
            order = memberOrder;
            earliest = member;
        }
    }
    return earliest;
}

void LineDomain::AdvanceTo(FineTime target)
{
    while (DomainMember* member = Earliest()) {
        const FineTime at = member->NextEvent();
        if (at > target) break;
        m_now = std::max(m_now, at);
        member->RunEvent(at);
    }
    m_now = std::max(m_now, target);
}

FineTime LineDomain::NextEvent() const
{
    const DomainMember* earliest = Earliest();
    return earliest ? earliest->NextEvent() : kFineNever;
}

}  // namespace emu::devices

