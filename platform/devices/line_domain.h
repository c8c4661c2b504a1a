// Lockstep time for everything joined by cables. A port's transmitter and a scripted peer are
// members of a domain; a cable between two chips merges their domains, so that a byte leaving one
// chip, a modem line it drops and the receive buffer filling on the other side happen in time
// order, whichever chip the host happens to call first. Every public call of a model first runs
// its domain up to the caller's time, then acts at that time.
//
// All models share one lock (ModelLock): cables may join any two chips, and calls are short and
// never call out of the models, so one lock is simple and cannot deadlock. It is recursive because
// a member may go away while another holds it (a port dropping the last reference to its peer).
// Chips joined by a cable must be driven by the same machine clock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "device_time.h"

namespace emu::devices {

std::recursive_mutex& ModelLock();

class LineDomain;

class DomainMember {
public:
    DomainMember();
    virtual ~DomainMember();
    DomainMember(const DomainMember&) = delete;
    DomainMember& operator=(const DomainMember&) = delete;

    LineDomain& Domain() const { return *m_domain; }
    // Puts this member and the other's domain into one domain (from now on they run together).
    void JoinDomainOf(DomainMember& other);

    // The next instant at which this member has something to do, or kFineNever.
    virtual FineTime NextEvent() const = 0;
    // Does what is due at `at` (== NextEvent()).
    virtual void RunEvent(FineTime at) = 0;
    // Of the members due at the same instant, the one whose event was scheduled first runs first:
    // on an unpaced line an answer (an XOFF for a character that filled a buffer) falls on the
    // instant of the sender's next character, and must reach the sender before it. A member that
    // does not number its events runs after those that do.
    virtual std::uint64_t EventOrder() const { return UINT64_MAX; }

protected:
    // The order of an event scheduled now: larger than any handed out before (under ModelLock).
    static std::uint64_t NextEventOrder();

private:
    friend class LineDomain;
    std::shared_ptr<LineDomain> m_domain;
};

class LineDomain {
public:
    FineTime Now() const { return m_now; }
    // Runs every member's events up to and including `target`, in time order; time never goes back,
    // so an earlier target leaves the domain where it is.
    void AdvanceTo(FineTime target);
    FineTime NextEvent() const;

private:
    friend class DomainMember;
    DomainMember* Earliest() const;

    std::vector<DomainMember*> m_members;
    FineTime m_now = 0;
};

}  // namespace emu::devices
