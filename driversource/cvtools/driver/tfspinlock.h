// Spin lock that remembers the IRQL it raised from and breaks into the debugger on misuse.
#pragma once

#include <wdm.h>

// Saved-IRQL byte of a lock that is not held.
#define TF_SPINLOCK_NOT_HELD 0xFF

class CTfSpinLock {
public:
    CTfSpinLock();

    // Raises to DISPATCH_LEVEL and takes the lock; the previous IRQL is kept for m_Release.
    void m_Acquire();
    // Drops the lock and returns to the IRQL saved by m_Acquire. Releasing a lock that is not
    // held breaks into the debugger and leaves the lock and the IRQL alone.
    void m_Release();
    // Takes the lock when the caller already runs at DISPATCH_LEVEL.
    void m_AcquireAtDpcLevel();
    // Drops a lock taken by m_AcquireAtDpcLevel; the caller stays at DISPATCH_LEVEL.
    void m_ReleaseFromDpcLevel();

    // TRUE while the lock is held through this wrapper (diagnostics; not a synchronisation aid).
    BOOLEAN m_IsHeld() const { return m_ucSavedIrql != TF_SPINLOCK_NOT_HELD; }
    PKSPIN_LOCK m_GetLock() { return &m_Lock; }

private:
    CTfSpinLock(const CTfSpinLock&) = delete;
    CTfSpinLock& operator=(const CTfSpinLock&) = delete;

    KSPIN_LOCK m_Lock;
    volatile UCHAR m_ucSavedIrql;
};
