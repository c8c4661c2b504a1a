// Write queue: the callbacks of its cancel-safe queues: pending and in flight, and the lock of
// the two held queues (flush and XOFF counter). Every one of them is guarded by spin-lock record B.
#include "tfwritequeue.h"

#include "tfdebug.h"

// ---------------------------------------------------------------------------------------------
// Pending queue
// ---------------------------------------------------------------------------------------------

// A request the block builder put back after a purge or its total time-out caught it out of the
// queue is refused here, under the queue lock, so neither can slip in between the check and the insert.
NTSTATUS CTfWriteQueue::m_CheckReturningIrp(PIRP pIrp)
{
    if (pIrp != m_pOutsideIrp) {
        return STATUS_SUCCESS;
    }
    if (m_ulPurgeSequence != m_ulOutsidePurgeSequence) {
        return STATUS_CANCELLED;
    }
    if (m_bOutsideTimedOut) {
        return STATUS_IO_TIMEOUT;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CTfWriteQueue::sm_PendingCsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pInsertContext)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_PendingCsqInsertIrp");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    NTSTATUS Returning = pThis->m_CheckReturningIrp(pIrp);
    if (!NT_SUCCESS(Returning)) {
        Log.m_Fail("purged or timed out meanwhile");
        return Returning;
    }
    if (pInsertContext == TF_WQ_INSERT_PARTIAL) {
        // The request a block took only part of: kept apart and taken first by the next block.
        if (pThis->m_pPartialIrp != NULL) {
            TF_ASSERT_AT();
            Log.m_Fail("a partial request is held");
            return STATUS_INVALID_DEVICE_STATE;
        }
        pThis->m_pPartialIrp = pIrp;
    } else if (!pThis->m_PendingList.m_AddTail(pIrp)) {
        Log.m_Fail("no memory for a list node");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (pThis->m_pOutsideIrp == pIrp) {
        pThis->m_pOutsideIrp = NULL;
    }
    ULONG ulUnsent = pThis->m_GetLength(pIrp) - (ULONG)pIrp->IoStatus.Information;
    pThis->m_ulQueuedBytes = TfWqAddSaturated(pThis->m_ulQueuedBytes, ulUnsent);
    if (pInsertContext == TF_WQ_INSERT_NEW) {
        pThis->m_StartTotalTimer(pIrp);
        if (!pThis->m_QueueWorkerLocked(sm_StartNextWriteWorker)) {
            pThis->m_bStartKickFailed = TRUE;
        }
    }
    Log.m_Success();
    return STATUS_PENDING;
}

void CTfWriteQueue::sm_PendingCsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_PendingCsqRemoveIrp");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    if (pIrp == pThis->m_pPartialIrp) {
        pThis->m_pPartialIrp = NULL;
    } else if (!pThis->m_PendingList.m_Remove(pIrp)) {
        TF_ASSERT_AT();
        Log.m_Fail("request not listed");
        return;
    }
    ULONG ulUnsent = pThis->m_GetLength(pIrp) - (ULONG)pIrp->IoStatus.Information;
    pThis->m_ulQueuedBytes = (ulUnsent < pThis->m_ulQueuedBytes) ? pThis->m_ulQueuedBytes - ulUnsent : 0;
    Log.m_Success();
}

PIRP CTfWriteQueue::sm_PendingCsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pPeekContext)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_PendingCsqPeekNextIrp");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    PIRP pNext;
    if (pIrp == NULL) {
        pNext = (pThis->m_pPartialIrp != NULL) ? pThis->m_pPartialIrp : pThis->m_NextInList(&pThis->m_PendingList, NULL);
    } else if (pIrp == pThis->m_pPartialIrp) {
        pNext = pThis->m_NextInList(&pThis->m_PendingList, NULL);
    } else {
        pNext = pThis->m_NextInList(&pThis->m_PendingList, pIrp);
    }
    Log.m_Success();
    return pNext;
}

void CTfWriteQueue::sm_PendingCsqAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_PendingCsqAcquireLock");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    // The spin-lock record keeps the IRQL it raised from itself.
    pThis->m_LockB.m_Acquire();
    *pIrql = DISPATCH_LEVEL;
    Log.m_Success();
}

void CTfWriteQueue::sm_PendingCsqReleaseLock(PIO_CSQ pCsq, KIRQL Irql)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_PendingCsqReleaseLock");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    pThis->m_LockB.m_Release();
    Log.m_Success();
}

void CTfWriteQueue::sm_PendingCsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_PendingCsqCompleteCanceledIrp");
    ((CTfWriteQueue*)TfCsqGetOwner(pCsq))->m_CompleteCanceledWrite(pIrp);
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------
// In-flight queue
// ---------------------------------------------------------------------------------------------

NTSTATUS CTfWriteQueue::sm_InFlightCsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pInsertContext)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_InFlightCsqInsertIrp");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    NTSTATUS Returning = pThis->m_CheckReturningIrp(pIrp);
    if (!NT_SUCCESS(Returning)) {
        Log.m_Fail("purged or timed out meanwhile");
        return Returning;
    }
    if (!pThis->m_InFlightList.m_AddTail(pIrp)) {
        Log.m_Fail("no memory for a list node");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (pThis->m_pOutsideIrp == pIrp) {
        pThis->m_pOutsideIrp = NULL;
    }
    Log.m_Success();
    return STATUS_PENDING;
}

void CTfWriteQueue::sm_InFlightCsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_InFlightCsqRemoveIrp");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    if (!pThis->m_InFlightList.m_Remove(pIrp)) {
        TF_ASSERT_AT();
        Log.m_Fail("request not listed");
        return;
    }
    Log.m_Success();
}

PIRP CTfWriteQueue::sm_InFlightCsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pPeekContext)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_InFlightCsqPeekNextIrp");
    if (pPeekContext != NULL) {
        DbgPrint("ASSERT at - %s %d\n", "tfwritequeuecsq.cpp", 814);
        Log.m_Fail("peek context not supported");
        return NULL;
    }
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    PIRP pNext = pThis->m_NextInList(&pThis->m_InFlightList, pIrp);
    Log.m_Success();
    return pNext;
}

void CTfWriteQueue::sm_InFlightCsqAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_InFlightCsqAcquireLock");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    pThis->m_LockB.m_Acquire();
    *pIrql = DISPATCH_LEVEL;
    Log.m_Success();
}

void CTfWriteQueue::sm_InFlightCsqReleaseLock(PIO_CSQ pCsq, KIRQL Irql)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_InFlightCsqReleaseLock");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    pThis->m_LockB.m_Release();
    Log.m_Success();
}

void CTfWriteQueue::sm_InFlightCsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_InFlightCsqCompleteCanceledIrp");
    ((CTfWriteQueue*)TfCsqGetOwner(pCsq))->m_CompleteCanceledWrite(pIrp);
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------
// Held queues (flush and XOFF counter): one lock, record B
// ---------------------------------------------------------------------------------------------

void CTfWriteQueue::sm_HeldCsqAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_HeldCsqAcquireLock");
    ((CTfWriteQueue*)TfCsqGetOwner(pCsq))->m_LockB.m_Acquire();
    *pIrql = DISPATCH_LEVEL;
    Log.m_Success();
}

void CTfWriteQueue::sm_HeldCsqReleaseLock(PIO_CSQ pCsq, KIRQL Irql)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_HeldCsqReleaseLock");
    ((CTfWriteQueue*)TfCsqGetOwner(pCsq))->m_LockB.m_Release();
    Log.m_Success();
}
