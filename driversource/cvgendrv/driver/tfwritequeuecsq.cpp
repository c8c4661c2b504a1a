// Write queue: confirmation of written bytes and the callbacks of the pending and in-flight
// cancel-safe queues. Both queues are guarded by spin-lock record B.
#include "tfwritequeue.h"

#include "tfdebug.h"

// ---------------------------------------------------------------------------------------------
// Confirmation
// ---------------------------------------------------------------------------------------------

void CTfWriteQueue::m_DataWritten(ULONG ulCount)
{
    TfDebugLog(7, "CTfWriteQueue::m_DataWritten - IN");
    if (ulCount == 0) {
        DbgPrint("ASSERT at - %s %d\n", "tfwritequeuecsq.cpp", 277);
        TfDebugLog(7, "CTfWriteQueue::m_DataWritten - OUT - Fail-> zero bytes confirmed");
        return;
    }
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        // The next block is started under the write mutex, and the caller may hold locks of its
        // own: the confirmation is processed at PASSIVE_LEVEL by the executor.
        m_LockB.m_Acquire();
        BOOLEAN bDeferred = TRUE;
        if (!m_bDataWrittenWorkerQueued) {
            bDeferred = m_QueueWorkerLocked(sm_DataWrittenWorker);
            m_bDataWrittenWorkerQueued = bDeferred;
        }
        if (bDeferred) {
            m_ulDeferredWritten = TfWqAddSaturated(m_ulDeferredWritten, ulCount);
            m_LockB.m_Release();
            TfDebugLog(7, "CTfWriteQueue::m_DataWritten - OUT (Success)");
            return;
        }
        // No executor: retire here; the next block is started later.
        m_LockB.m_Release();
    }

    PIRP pDone = NULL;
    PIRP pDoneTail = NULL;
    m_LockA.m_Acquire();
    m_LockB.m_AcquireAtDpcLevel();
    if (m_ulAccumulator == MAXULONG) {
        // First report after an open: the initial credit; it confirms nothing.
        m_ulAccumulator = 0;
    } else {
        m_ulAccumulator = TfWqAddSaturated(m_ulAccumulator, ulCount);
    }
    // Bytes of requests that ended before confirmation are paid first.
    if (m_ulDiscard <= m_ulAccumulator) {
        m_ulAccumulator -= m_ulDiscard;
        m_ulDiscard = 0;
    } else {
        m_ulDiscard -= m_ulAccumulator;
        m_ulAccumulator = 0;
    }

    PIRP pIrp = m_NextInList(&m_InFlightList, NULL);
    while (pIrp != NULL && m_ulAccumulator != 0) {
        if (IoGetCurrentIrpStackLocation(pIrp) == NULL) {
            DbgPrint("ASSERT at - %s %d\n", "tfwritequeuecsq.cpp", 304);
            break;
        }
        PIRP pNext = m_NextInList(&m_InFlightList, pIrp);
        ULONG ulUnconfirmed = (ULONG)pIrp->IoStatus.Information;
        if (ulUnconfirmed > m_ulAccumulator) {
            pIrp->IoStatus.Information = ulUnconfirmed - m_ulAccumulator;
            m_ulAccumulator = 0;
            break;
        }
        m_ulAccumulator -= ulUnconfirmed;
        if (!TfCsqRemoveGivenIrpLocked(&m_InFlightCsq.Csq, pIrp, NULL)) {
            // Being cancelled: its bytes are confirmed, so its cancellation discards nothing.
            pIrp->IoStatus.Information = 0;
            pIrp = pNext;
            continue;
        }
        m_LeaveBlock(pIrp, FALSE);
        m_ClearTimedIrp(pIrp);
        m_ulBytesHandedOver = 0;
        pIrp->IoStatus.Information = m_GetLength(pIrp);
        m_PushIrp(&pDone, &pDoneTail, pIrp);
        pIrp = pNext;
    }
    m_ulCredit = TfWqAddSaturated(m_ulCredit, ulCount);
    // The next request in flight (or pending) is timed from now.
    m_StartTotalTimer();
    BOOLEAN bStart = (m_ulQueuedBytes != 0);
    m_LockB.m_ReleaseFromDpcLevel();
    m_LockA.m_Release();

    m_CompleteList(pDone, STATUS_SUCCESS, TRUE);
    if (bStart) {
        m_StartNextWrite();
    }
    m_AfterWriteSideChange();
    TfDebugLog(7, "CTfWriteQueue::m_DataWritten - OUT (Success)");
}

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
    TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqInsertIrp - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    NTSTATUS Returning = pThis->m_CheckReturningIrp(pIrp);
    if (!NT_SUCCESS(Returning)) {
        TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqInsertIrp - OUT - Fail-> purged or timed out meanwhile");
        return Returning;
    }
    if (pInsertContext == TF_WQ_INSERT_PARTIAL) {
        // The request a block took only part of: kept apart and taken first by the next block.
        if (pThis->m_pPartialIrp != NULL) {
            TF_ASSERT_AT();
            TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqInsertIrp - OUT - Fail-> a partial request is held");
            return STATUS_INVALID_DEVICE_STATE;
        }
        pThis->m_pPartialIrp = pIrp;
    } else if (!pThis->m_PendingList.m_AddTail(pIrp)) {
        TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqInsertIrp - OUT - Fail-> no memory for a list node");
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
    TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqInsertIrp - OUT (Success)");
    return STATUS_PENDING;
}

void CTfWriteQueue::sm_PendingCsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqRemoveIrp - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    if (pIrp == pThis->m_pPartialIrp) {
        pThis->m_pPartialIrp = NULL;
    } else if (!pThis->m_PendingList.m_Remove(pIrp)) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqRemoveIrp - OUT - Fail-> request not listed");
        return;
    }
    ULONG ulUnsent = pThis->m_GetLength(pIrp) - (ULONG)pIrp->IoStatus.Information;
    pThis->m_ulQueuedBytes = (ulUnsent < pThis->m_ulQueuedBytes) ? pThis->m_ulQueuedBytes - ulUnsent : 0;
    TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqRemoveIrp - OUT (Success)");
}

PIRP CTfWriteQueue::sm_PendingCsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pPeekContext)
{
    TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqPeekNextIrp - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    PIRP pNext;
    if (pIrp == NULL) {
        pNext = (pThis->m_pPartialIrp != NULL) ? pThis->m_pPartialIrp : pThis->m_NextInList(&pThis->m_PendingList, NULL);
    } else if (pIrp == pThis->m_pPartialIrp) {
        pNext = pThis->m_NextInList(&pThis->m_PendingList, NULL);
    } else {
        pNext = pThis->m_NextInList(&pThis->m_PendingList, pIrp);
    }
    TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqPeekNextIrp - OUT (Success)");
    return pNext;
}

void CTfWriteQueue::sm_PendingCsqAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql)
{
    TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqAcquireLock - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    // The spin-lock record keeps the IRQL it raised from itself.
    pThis->m_LockB.m_Acquire();
    *pIrql = DISPATCH_LEVEL;
    TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqAcquireLock - OUT (Success)");
}

void CTfWriteQueue::sm_PendingCsqReleaseLock(PIO_CSQ pCsq, KIRQL Irql)
{
    TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqReleaseLock - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    pThis->m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqReleaseLock - OUT (Success)");
}

void CTfWriteQueue::sm_PendingCsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqCompleteCanceledIrp - IN");
    ((CTfWriteQueue*)TfCsqGetOwner(pCsq))->m_CompleteCanceledWrite(pIrp);
    TfDebugLog(7, "CTfWriteQueue::sm_PendingCsqCompleteCanceledIrp - OUT (Success)");
}

// ---------------------------------------------------------------------------------------------
// In-flight queue
// ---------------------------------------------------------------------------------------------

NTSTATUS CTfWriteQueue::sm_InFlightCsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pInsertContext)
{
    TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqInsertIrp - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    NTSTATUS Returning = pThis->m_CheckReturningIrp(pIrp);
    if (!NT_SUCCESS(Returning)) {
        TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqInsertIrp - OUT - Fail-> purged or timed out meanwhile");
        return Returning;
    }
    if (!pThis->m_InFlightList.m_AddTail(pIrp)) {
        TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqInsertIrp - OUT - Fail-> no memory for a list node");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (pThis->m_pOutsideIrp == pIrp) {
        pThis->m_pOutsideIrp = NULL;
    }
    TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqInsertIrp - OUT (Success)");
    return STATUS_PENDING;
}

void CTfWriteQueue::sm_InFlightCsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqRemoveIrp - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    if (!pThis->m_InFlightList.m_Remove(pIrp)) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqRemoveIrp - OUT - Fail-> request not listed");
        return;
    }
    TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqRemoveIrp - OUT (Success)");
}

PIRP CTfWriteQueue::sm_InFlightCsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pPeekContext)
{
    TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqPeekNextIrp - IN");
    if (pPeekContext != NULL) {
        DbgPrint("ASSERT at - %s %d\n", "tfwritequeuecsq.cpp", 814);
        TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqPeekNextIrp - OUT - Fail-> peek context not supported");
        return NULL;
    }
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    PIRP pNext = pThis->m_NextInList(&pThis->m_InFlightList, pIrp);
    TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqPeekNextIrp - OUT (Success)");
    return pNext;
}

void CTfWriteQueue::sm_InFlightCsqAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql)
{
    TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqAcquireLock - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    pThis->m_LockB.m_Acquire();
    *pIrql = DISPATCH_LEVEL;
    TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqAcquireLock - OUT (Success)");
}

void CTfWriteQueue::sm_InFlightCsqReleaseLock(PIO_CSQ pCsq, KIRQL Irql)
{
    TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqReleaseLock - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    pThis->m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqReleaseLock - OUT (Success)");
}

void CTfWriteQueue::sm_InFlightCsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqCompleteCanceledIrp - IN");
    ((CTfWriteQueue*)TfCsqGetOwner(pCsq))->m_CompleteCanceledWrite(pIrp);
    TfDebugLog(7, "CTfWriteQueue::sm_InFlightCsqCompleteCanceledIrp - OUT (Success)");
}
