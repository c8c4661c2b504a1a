// Counted admission gate: users acquire and release it; removal closes it and waits until the
// last user has left.
#pragma once

#include <wdm.h>

#include "tfspinlock.h"

// Maximum of a gate that admits any number of holders.
#define TF_GATE_NO_MAXIMUM (-1)

class CTfReferenceGate {
public:
    // lMaximum: the count may not reach it (TF_GATE_NO_MAXIMUM for none). The gate starts open.
    explicit CTfReferenceGate(LONG lMaximum = TF_GATE_NO_MAXIMUM);

    // Count 0, event signalled, open flag as given.
    void m_Init(BOOLEAN bOpen);
    void m_SetOpen(BOOLEAN bOpen);

    // Admits the caller when the gate is open and the count has not reached the maximum.
    BOOLEAN m_Acquire();
    // m_Acquire that also sets the open flag when it admits the caller.
    BOOLEAN m_AcquireAndSetOpen(BOOLEAN bOpen);
    // Ends one admission; the event is set when the count reaches 0. A release with no holder
    // breaks into the debugger and changes nothing.
    void m_Release();
    void m_ReleaseAndSetOpen(BOOLEAN bOpen);

    // Closes the gate (unless bKeepOpen) and waits until no holder is left: without time-out below
    // DISPATCH_LEVEL, as a poll at DISPATCH_LEVEL. STATUS_SUCCESS when free, and then the last
    // holder has left the gate's lock too, so the gate may be freed; else the wait status
    // (STATUS_TIMEOUT for the poll).
    NTSTATUS m_CloseAndWait(BOOLEAN bKeepOpen);
    void m_ClearEvent();

    // Snapshots for diagnostics and tests.
    LONG m_GetCount();
    BOOLEAN m_IsOpen();
    LONG m_ReadEventState();
    // The event m_CloseAndWait waits on, so that a test can tell when a closing caller blocks.
    PVOID m_GetWaitObject() { return &m_Event; }

private:
    CTfReferenceGate(const CTfReferenceGate&) = delete;
    CTfReferenceGate& operator=(const CTfReferenceGate&) = delete;

    // Both with the lock held.
    BOOLEAN m_AcquireLocked();
    void m_ReleaseLocked();

    LONG m_lCount;       // m_Lock
    LONG m_lMaximum;     // set once, in the constructor
    BOOLEAN m_bOpen;     // m_Lock
    CTfSpinLock m_Lock;
    KEVENT m_Event;      // set and cleared under m_Lock; signalled exactly when the count is 0
};
