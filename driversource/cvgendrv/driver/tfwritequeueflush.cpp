// Write queue: the held flush requests. A flush waits in a cancel-safe queue of its own under
// spin-lock record B until every write queued before it has been settled.
//
// Rules the code below keeps:
//  - A flush is held only while a write is pending or in flight; the insertion decides that under
//    B, so a flush never waits on a write side that is already idle.
//  - Held flushes complete together, with STATUS_SUCCESS, once the write side is idle and the owner
//    says the transmitter is empty; idleness is checked again under B after asking, since a write
//    may have arrived meanwhile.
//  - While the transmitter is busy one poll timer runs (m_bFlushPollRunning), whoever asks.
//  - A purge does not cancel held flushes: they complete as soon as the emptied write side allows.
//    Cleanup and removal cancel them.
//  - The owner is asked, and requests are completed, with no lock held.
#include "tfwritequeue.h"

#include <ntddser.h>

#include "tfdebug.h"

// Insert answer of the flush queue when no write is pending or in flight (not an error the caller
// sees: the flush then completes at once).
#define TF_WQ_STATUS_WRITE_SIDE_IDLE ((NTSTATUS)0xE0000001L)

NTSTATUS CTfWriteQueue::m_QueueFlushIrp(PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::m_QueueFlushIrp");
    pIrp->IoStatus.Information = 0;
    // The insertion decides under B whether anything is left to wait for.
    NTSTATUS Status = IoCsqInsertIrpEx(&m_FlushCsq.Csq, pIrp, NULL, NULL);
    if (Status == TF_WQ_STATUS_WRITE_SIDE_IDLE) {
        m_CompleteIrp(pIrp, STATUS_SUCCESS, 0);
        Log.m_Success();
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(Status)) {
        m_CompleteIrp(pIrp, Status, 0);
        Log.m_Fail("request could not be held");
        return Status;
    }
    Log.m_Success();
    return STATUS_PENDING;
}

void CTfWriteQueue::m_CheckFlushIrp()
{
    CTfRoutineLog Log("CTfWriteQueue::m_CheckFlushIrp");
    m_LockB.m_Acquire();
    if (m_FlushList.m_IsEmpty() || !m_IsIdleLocked()) {
        m_LockB.m_Release();
        Log.m_Success();
        return;
    }
    PTF_WRITE_QUEUE_TRANSMITTER_EMPTY_ROUTINE pRoutine = m_pTransmitterEmptyRoutine;
    PVOID pContext = m_pTransmitterEmptyContext;
    m_LockB.m_Release();

    if (pRoutine != NULL && !pRoutine(pContext)) {
        // Ask again in 5 ms; one poll at a time, whoever else asks meanwhile.
        m_LockB.m_Acquire();
        BOOLEAN bStart = !m_bFlushPollRunning && !m_bDeleting;
        if (bStart) {
            m_bFlushPollRunning = TRUE;
        }
        m_LockB.m_Release();
        if (bStart && m_FlushPollTimerList.m_StartTimer(sm_FlushPollTimer, this, TF_WRITE_QUEUE_FLUSH_POLL_TIME) ==
                          TF_NO_TIMER) {
            m_LockB.m_Acquire();
            m_bFlushPollRunning = FALSE;
            m_LockB.m_Release();
            Log.m_Fail("no poll timer");
            return;
        }
        Log.m_Success();
        return;
    }

    PIRP pDone = NULL;
    PIRP pDoneTail = NULL;
    m_LockB.m_Acquire();
    // A write may have arrived while the transmitter was asked.
    if (m_IsIdleLocked()) {
        PIRP pIrp;
        while ((pIrp = TfCsqRemoveNextIrpLocked(&m_FlushCsq.Csq, NULL)) != NULL) {
            m_PushIrp(&pDone, &pDoneTail, pIrp);
        }
    }
    m_LockB.m_Release();
    m_CompleteList(pDone, STATUS_SUCCESS, FALSE);
    Log.m_Success();
}

void CTfWriteQueue::m_CancelFlushIrps()
{
    CTfRoutineLog Log("CTfWriteQueue::m_CancelFlushIrps");
    PIRP pDone = NULL;
    PIRP pDoneTail = NULL;
    m_LockB.m_Acquire();
    PIRP pIrp;
    while ((pIrp = TfCsqRemoveNextIrpLocked(&m_FlushCsq.Csq, NULL)) != NULL) {
        m_PushIrp(&pDone, &pDoneTail, pIrp);
    }
    m_LockB.m_Release();
    m_CompleteList(pDone, STATUS_CANCELLED, FALSE);
    Log.m_Success();
}

ULONG CTfWriteQueue::m_GetFlushCount()
{
    CTfRoutineLog Log("CTfWriteQueue::m_GetFlushCount");
    m_LockB.m_Acquire();
    ULONG ulCount = m_FlushList.m_GetCount();
    m_LockB.m_Release();
    Log.m_Success();
    return ulCount;
}

void CTfWriteQueue::sm_FlushPollTimer(PVOID pContext)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_FlushPollTimer");
    CTfWriteQueue* pThis = (CTfWriteQueue*)pContext;
    pThis->m_LockB.m_Acquire();
    pThis->m_bFlushPollRunning = FALSE;
    pThis->m_LockB.m_Release();
    pThis->m_CheckFlushIrp();
    Log.m_Success();
}

NTSTATUS CTfWriteQueue::sm_FlushCsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pInsertContext)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_FlushCsqInsertIrp");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    if (pThis->m_IsIdleLocked()) {
        Log.m_Fail("nothing to wait for");
        return TF_WQ_STATUS_WRITE_SIDE_IDLE;
    }
    if (!pThis->m_FlushList.m_AddTail(pIrp)) {
        Log.m_Fail("no memory for a list node");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Log.m_Success();
    return STATUS_PENDING;
}

void CTfWriteQueue::sm_FlushCsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_FlushCsqRemoveIrp");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    if (!pThis->m_FlushList.m_Remove(pIrp)) {
        TF_ASSERT_AT();
        Log.m_Fail("request not listed");
        return;
    }
    Log.m_Success();
}

PIRP CTfWriteQueue::sm_FlushCsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pPeekContext)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_FlushCsqPeekNextIrp");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    PIRP pNext = pThis->m_NextInList(&pThis->m_FlushList, pIrp);
    Log.m_Success();
    return pNext;
}

void CTfWriteQueue::sm_FlushCsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_FlushCsqCompleteCanceledIrp");
    m_CompleteIrp(pIrp, STATUS_CANCELLED, 0);
    Log.m_Success();
}
