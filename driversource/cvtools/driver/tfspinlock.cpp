// Spin lock that remembers the IRQL it raised from and breaks into the debugger on misuse.
#include "tfspinlock.h"

#include "tfdebug.h"

// Saved byte of a lock that m_AcquireAtDpcLevel had to take below DISPATCH_LEVEL: the misuse was
// reported there, and the IRQL to return to is kept in the low bits.
#define TF_SPINLOCK_RAISED 0x80

CTfSpinLock::CTfSpinLock()
{
    TfDebugLog(7, "CTfSpinLock::CTfSpinLock - IN");
    KeInitializeSpinLock(&m_Lock);
    m_ucSavedIrql = TF_SPINLOCK_NOT_HELD;
    TfDebugLog(7, "CTfSpinLock::CTfSpinLock - OUT (Success)");
}

void CTfSpinLock::m_Acquire()
{
    TfDebugLog(7, "CTfSpinLock::m_Acquire - IN");
    KIRQL OldIrql = KfAcquireSpinLock(&m_Lock);
    if (m_ucSavedIrql != TF_SPINLOCK_NOT_HELD) {
        DbgBreakPoint();
    }
    m_ucSavedIrql = OldIrql;
    TfDebugLog(7, "CTfSpinLock::m_Acquire - OUT (Success)");
}

void CTfSpinLock::m_Release()
{
    TfDebugLog(7, "CTfSpinLock::m_Release - IN");
    UCHAR ucSaved = m_ucSavedIrql;
    if (ucSaved == TF_SPINLOCK_NOT_HELD) {
        // Releasing anyway would drop a caller at DISPATCH_LEVEL to PASSIVE_LEVEL.
        DbgBreakPoint();
        TfDebugLog(7, "CTfSpinLock::m_Release - OUT - Fail-> lock not held");
        return;
    }
    KIRQL NewIrql = (ucSaved & TF_SPINLOCK_RAISED) ? (KIRQL)(ucSaved & ~TF_SPINLOCK_RAISED) : (KIRQL)ucSaved;
    m_ucSavedIrql = TF_SPINLOCK_NOT_HELD;
    KfReleaseSpinLock(&m_Lock, NewIrql);
    TfDebugLog(7, "CTfSpinLock::m_Release - OUT (Success)");
}

void CTfSpinLock::m_AcquireAtDpcLevel()
{
    TfDebugLog(7, "CTfSpinLock::m_AcquireAtDpcLevel - IN");
    KIRQL CurrentIrql = KeGetCurrentIrql();
    if (CurrentIrql < DISPATCH_LEVEL) {
        // The caller is not at DISPATCH_LEVEL: take the lock the ordinary way so the exclusion
        // holds, and remember to return to the caller's IRQL on release.
        DbgBreakPoint();
        KIRQL OldIrql = KfAcquireSpinLock(&m_Lock);
        m_ucSavedIrql = (UCHAR)(TF_SPINLOCK_RAISED | OldIrql);
        TfDebugLog(7, "CTfSpinLock::m_AcquireAtDpcLevel - OUT - Fail-> called below DISPATCH_LEVEL");
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
    TfDebugLog(7, "CTfSpinLock::m_AcquireAtDpcLevel - OUT (Success)");
}

void CTfSpinLock::m_ReleaseFromDpcLevel()
{
    TfDebugLog(7, "CTfSpinLock::m_ReleaseFromDpcLevel - IN");
    UCHAR ucSaved = m_ucSavedIrql;
    if (ucSaved == DISPATCH_LEVEL) {
        m_ucSavedIrql = TF_SPINLOCK_NOT_HELD;
        KefReleaseSpinLockFromDpcLevel(&m_Lock);
        TfDebugLog(7, "CTfSpinLock::m_ReleaseFromDpcLevel - OUT (Success)");
        return;
    }
    if (ucSaved == TF_SPINLOCK_NOT_HELD) {
        DbgBreakPoint();
        TfDebugLog(7, "CTfSpinLock::m_ReleaseFromDpcLevel - OUT - Fail-> lock not held");
        return;
    }
    if (!(ucSaved & TF_SPINLOCK_RAISED)) {
        // Taken by m_Acquire below DISPATCH_LEVEL.
        DbgBreakPoint();
    }
    // Return to the IRQL the lock was taken from, so neither the lock nor the IRQL is lost.
    m_ucSavedIrql = TF_SPINLOCK_NOT_HELD;
    KfReleaseSpinLock(&m_Lock, (KIRQL)(ucSaved & ~TF_SPINLOCK_RAISED));
    TfDebugLog(7, "CTfSpinLock::m_ReleaseFromDpcLevel - OUT - Fail-> lock was not taken at DISPATCH_LEVEL");
}
