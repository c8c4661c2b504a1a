// Spin lock that remembers the IRQL it raised from and breaks into the debugger on misuse.
#include "tfspinlock.h"

#include "tfdebug.h"

// Saved byte of a lock that m_AcquireAtDpcLevel had to take below DISPATCH_LEVEL: the misuse was
// reported there, and the IRQL to return to is kept in the low bits.
#define TF_SPINLOCK_RAISED 0x80

CTfSpinLock::CTfSpinLock()
{
    CTfRoutineLog Log("CTfSpinLock::CTfSpinLock");
    KeInitializeSpinLock(&m_Lock);
    m_ucSavedIrql = TF_SPINLOCK_NOT_HELD;
    Log.m_Success();
}

void CTfSpinLock::m_Acquire()
{
    CTfRoutineLog Log("CTfSpinLock::m_Acquire");
    KIRQL OldIrql = KfAcquireSpinLock(&m_Lock);
    if (m_ucSavedIrql != TF_SPINLOCK_NOT_HELD) {
        DbgBreakPoint();
    }
    m_ucSavedIrql = OldIrql;
    Log.m_Success();
}

void CTfSpinLock::m_Release()
{
    CTfRoutineLog Log("CTfSpinLock::m_Release");
    UCHAR ucSaved = m_ucSavedIrql;
    if (ucSaved == TF_SPINLOCK_NOT_HELD) {
        // Releasing anyway would drop a caller at DISPATCH_LEVEL to PASSIVE_LEVEL.
        DbgBreakPoint();
        Log.m_Fail("lock not held");
        return;
    }
    KIRQL NewIrql = (ucSaved & TF_SPINLOCK_RAISED) ? (KIRQL)(ucSaved & ~TF_SPINLOCK_RAISED) : (KIRQL)ucSaved;
    m_ucSavedIrql = TF_SPINLOCK_NOT_HELD;
    KfReleaseSpinLock(&m_Lock, NewIrql);
    Log.m_Success();
}

void CTfSpinLock::m_AcquireAtDpcLevel()
{
    CTfRoutineLog Log("CTfSpinLock::m_AcquireAtDpcLevel");
    KIRQL CurrentIrql = KeGetCurrentIrql();
    if (CurrentIrql < DISPATCH_LEVEL) {
        // The caller is not at DISPATCH_LEVEL: take the lock the ordinary way so the exclusion
        // holds, and remember to return to the caller's IRQL on release.
        DbgBreakPoint();
        KIRQL OldIrql = KfAcquireSpinLock(&m_Lock);
        m_ucSavedIrql = (UCHAR)(TF_SPINLOCK_RAISED | OldIrql);
        Log.m_Fail("called below DISPATCH_LEVEL");
        return;
    }
    if (CurrentIrql != DISPATCH_LEVEL) {
        DbgBreakPoint();
    }
    KefAcquireSpinLockAtDpcLevel(&m_Lock);
    if (m_ucSavedIrql != TF_SPINLOCK_NOT_HELD) {
        DbgBreakPoint();
    }
    m_ucSavedIrql = DISPATCH_LEVEL;
    Log.m_Success();
}

void CTfSpinLock::m_ReleaseFromDpcLevel()
{
    CTfRoutineLog Log("CTfSpinLock::m_ReleaseFromDpcLevel");
    UCHAR ucSaved = m_ucSavedIrql;
    if (ucSaved == DISPATCH_LEVEL) {
        m_ucSavedIrql = TF_SPINLOCK_NOT_HELD;
        KefReleaseSpinLockFromDpcLevel(&m_Lock);
        Log.m_Success();
        return;
    }
    if (ucSaved == TF_SPINLOCK_NOT_HELD) {
        DbgBreakPoint();
        Log.m_Fail("lock not held");
        return;
    }
    if (!(ucSaved & TF_SPINLOCK_RAISED)) {
        // Taken by m_Acquire below DISPATCH_LEVEL.
        DbgBreakPoint();
    }
    // Return to the IRQL the lock was taken from, so neither the lock nor the IRQL is lost.
    m_ucSavedIrql = TF_SPINLOCK_NOT_HELD;
    KfReleaseSpinLock(&m_Lock, (KIRQL)(ucSaved & ~TF_SPINLOCK_RAISED));
    Log.m_Fail("lock was not taken at DISPATCH_LEVEL");
}
