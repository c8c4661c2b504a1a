// Spin locks: real mutual exclusion between host threads. An acquired KSPIN_LOCK holds its owner's
// identity, so misuse (recursion, release by a stranger) is caught instead of hanging or corrupting.
#include <wdm.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "ke/kthread.h"
#include "ke/spin_lock_holders.h"

namespace {

// Identities carry a tag in the high half so that an uninitialised lock word is recognised.
constexpr ULONG_PTR kIdentityTag = 0x5350494E00000000ull;  // "SPIN"
constexpr ULONG_PTR kIdentityTagMask = 0xFFFFFFFF00000000ull;
constexpr auto kSpinReportAfter = std::chrono::seconds(5);

std::atomic<ULONG_PTR> g_nextIdentity{1};
thread_local ULONG_PTR t_identity = 0;

std::atomic_ref<ULONG_PTR> LockWord(PKSPIN_LOCK lock) { return std::atomic_ref<ULONG_PTR>(*lock); }

std::string Describe(PKSPIN_LOCK lock)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", static_cast<void*>(lock));
    return text;
}

bool IsIdentity(ULONG_PTR value) { return (value & kIdentityTagMask) == kIdentityTag; }

// Takes the lock word for the caller; returns false (after a report) on recursive acquisition.
bool Take(PKSPIN_LOCK lock, const char* caller)
{
    ULONG_PTR me = emu::SpinLockOwnerIdentity();
    auto word = LockWord(lock);
    auto started = std::chrono::steady_clock::now();
    bool reportedLong = false;
    for (;;) {
        ULONG_PTR seen = word.load(std::memory_order_relaxed);
        if (seen == me) {
            emu::ReportViolation(emu::Violation::SpinLockRecursive,
                                 std::string(caller) + ": spin lock " + Describe(lock) + " is already held by this thread");
            return false;
        }
        if (seen != 0 && !IsIdentity(seen)) {
            emu::ReportViolation(emu::Violation::Bugcheck,
                                 std::string(caller) + ": spin lock " + Describe(lock) + " was never initialised");
            if (word.compare_exchange_strong(seen, me, std::memory_order_acquire)) {
                emu::NoteSpinLockTaken(lock);
                return true;
            }
            continue;
        }
        if (seen == 0 && word.compare_exchange_weak(seen, me, std::memory_order_acquire)) {
            emu::NoteSpinLockTaken(lock);
            return true;
        }
        std::this_thread::yield();
        if (!reportedLong && std::chrono::steady_clock::now() - started > kSpinReportAfter) {
            reportedLong = true;  // a deadlock: say so, then keep spinning as the hardware would
            emu::ReportViolation(emu::Violation::Bugcheck,
                                 std::string(caller) + ": spin lock " + Describe(lock) + " held for over 5 s (deadlock?)");
            std::fprintf(stderr, "%s: spin lock %s held for over 5 s\n", caller, Describe(lock).c_str());
        }
    }
}

// Clears the lock word if the caller owns it; otherwise reports and leaves it alone.
bool Give(PKSPIN_LOCK lock, const char* caller)
{
    ULONG_PTR me = emu::SpinLockOwnerIdentity();
    ULONG_PTR expected = me;
    if (LockWord(lock).compare_exchange_strong(expected, 0, std::memory_order_release)) {
        emu::NoteSpinLockGiven(lock);
        return true;
    }
    emu::ReportViolation(emu::Violation::SpinLockNotOwner,
                         std::string(caller) + ": spin lock " + Describe(lock) +
                             (expected == 0 ? " is not held" : " is held by another thread"));
    return false;
}

bool RequireDispatchLevel(const char* caller)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql >= DISPATCH_LEVEL) return true;
    emu::ReportViolation(emu::Violation::Bugcheck, std::string(caller) + " called at IRQL " +
                                                       std::to_string(static_cast<unsigned>(irql)) +
                                                       "; it requires DISPATCH_LEVEL");
    return false;
}

}  // namespace

namespace emu {

ULONG_PTR SpinLockOwnerIdentity()
{
    if (t_identity == 0) t_identity = kIdentityTag | (g_nextIdentity.fetch_add(1) & ~kIdentityTagMask);
    return t_identity;
}

}  // namespace emu

extern "C" void KeInitializeSpinLock(PKSPIN_LOCK spinLock) { LockWord(spinLock).store(0); }

extern "C" KIRQL KfAcquireSpinLock(PKSPIN_LOCK spinLock)
{
    KIRQL old = KeGetCurrentIrql();
    emu::CheckIrqlAtMost(DISPATCH_LEVEL, "KfAcquireSpinLock");
    if (!Take(spinLock, "KfAcquireSpinLock")) return old;
    if (old < DISPATCH_LEVEL) emu::SetCurrentIrql(DISPATCH_LEVEL);
    return old;
}

extern "C" void KfReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql)
{
    Give(spinLock, "KfReleaseSpinLock");
    // The caller's IRQL is restored even when the lock was not its own, so a misuse does not
    // leave the thread raised for everything that follows.
    KeLowerIrql(newIrql);
}

extern "C" void KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK spinLock)
{
    RequireDispatchLevel("KefAcquireSpinLockAtDpcLevel");
    Take(spinLock, "KefAcquireSpinLockAtDpcLevel");
}

extern "C" void KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK spinLock)
{
    RequireDispatchLevel("KefReleaseSpinLockFromDpcLevel");
    Give(spinLock, "KefReleaseSpinLockFromDpcLevel");
}
