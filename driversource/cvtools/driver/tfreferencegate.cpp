// Counted admission gate.
#include "tfreferencegate.h"

#include "tfdebug.h"

CTfReferenceGate::CTfReferenceGate(LONG lMaximum) : m_lCount(0), m_lMaximum(lMaximum), m_bOpen(TRUE)
{
    CTfRoutineLog Log("CTfReferenceGate::CTfReferenceGate");
    KeInitializeEvent(&m_Event, NotificationEvent, TRUE);
    m_Init(TRUE);
    Log.m_Success();
}

void CTfReferenceGate::m_Init(BOOLEAN bOpen)
{
    CTfRoutineLog Log("CTfReferenceGate::m_Init");
    m_Lock.m_Acquire();
    KeSetEvent(&m_Event, 0, FALSE);
    m_lCount = 0;
    m_bOpen = bOpen;
    m_Lock.m_Release();
    Log.m_Success();
}

void CTfReferenceGate::m_SetOpen(BOOLEAN bOpen)
{
    CTfRoutineLog Log("CTfReferenceGate::m_SetOpen");
    m_Lock.m_Acquire();
    m_bOpen = bOpen;
    m_Lock.m_Release();
    Log.m_Success();
}

BOOLEAN CTfReferenceGate::m_AcquireLocked()
{
    if (!m_bOpen || m_lCount == m_lMaximum) {
        return FALSE;
    }
    m_lCount++;
    if (m_lCount == 1) {
        KeClearEvent(&m_Event);
    }
    return TRUE;
}

void CTfReferenceGate::m_ReleaseLocked()
{
    if (m_lCount <= 0) {
        // More releases than acquisitions: keep the count, or the next holder would go unseen.
        DbgBreakPoint();
        return;
    }
    m_lCount--;
    if (m_lCount == 0) {
        KeSetEvent(&m_Event, 0, FALSE);
    }
}

BOOLEAN CTfReferenceGate::m_Acquire()
{
    CTfRoutineLog Log("CTfReferenceGate::m_Acquire");
    m_Lock.m_Acquire();
    BOOLEAN bAdmitted = m_AcquireLocked();
    m_Lock.m_Release();
    if (!bAdmitted) {
        Log.m_Fail("gate closed or full");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfReferenceGate::m_AcquireAndSetOpen(BOOLEAN bOpen)
{
    CTfRoutineLog Log("CTfReferenceGate::m_AcquireAndSetOpen");
    m_Lock.m_Acquire();
    BOOLEAN bAdmitted = m_AcquireLocked();
    if (bAdmitted) {
        m_bOpen = bOpen;
    }
    m_Lock.m_Release();
    if (!bAdmitted) {
        Log.m_Fail("gate closed or full");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

void CTfReferenceGate::m_Release()
{
    CTfRoutineLog Log("CTfReferenceGate::m_Release");
    m_Lock.m_Acquire();
    m_ReleaseLocked();
    m_Lock.m_Release();
    Log.m_Success();
}

void CTfReferenceGate::m_ReleaseAndSetOpen(BOOLEAN bOpen)
{
    CTfRoutineLog Log("CTfReferenceGate::m_ReleaseAndSetOpen");
    m_Lock.m_Acquire();
    m_ReleaseLocked();
    m_bOpen = bOpen;
    m_Lock.m_Release();
    Log.m_Success();
}

NTSTATUS CTfReferenceGate::m_CloseAndWait(BOOLEAN bKeepOpen)
{
    CTfRoutineLog Log("CTfReferenceGate::m_CloseAndWait");
    m_Lock.m_Acquire();
    if (!bKeepOpen) {
        m_bOpen = FALSE;
    }
    if (m_lCount == 0) {
        KeSetEvent(&m_Event, 0, FALSE);
        m_Lock.m_Release();
        Log.m_Success();
        return STATUS_SUCCESS;
    }
    m_Lock.m_Release();

    NTSTATUS Status;
    if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
        Status = KeWaitForSingleObject(&m_Event, Executive, KernelMode, FALSE, NULL);
    } else {
        // At DISPATCH_LEVEL only a poll is allowed.
        LARGE_INTEGER Poll;
        Poll.QuadPart = 0;
        Status = KeWaitForSingleObject(&m_Event, Executive, KernelMode, FALSE, &Poll);
    }
    if (Status != STATUS_SUCCESS) {
        Log.m_Fail("holders remain, status 0x%X", (ULONG)Status);
        return Status;
    }
    // The last holder set the event with the lock held and lets go of the lock just after: taking
    // it once waits for that, so the caller may free the gate as soon as this returns.
    m_Lock.m_Acquire();
    m_Lock.m_Release();
    Log.m_Success();
    return Status;
}

void CTfReferenceGate::m_ClearEvent()
{
    CTfRoutineLog Log("CTfReferenceGate::m_ClearEvent");
    KeClearEvent(&m_Event);
    Log.m_Success();
}

LONG CTfReferenceGate::m_GetCount()
{
    m_Lock.m_Acquire();
    LONG lCount = m_lCount;
    m_Lock.m_Release();
    return lCount;
}

BOOLEAN CTfReferenceGate::m_IsOpen()
{
    m_Lock.m_Acquire();
    BOOLEAN bOpen = m_bOpen;
    m_Lock.m_Release();
    return bOpen;
}

LONG CTfReferenceGate::m_ReadEventState()
{
    return KeReadStateEvent(&m_Event);
}
