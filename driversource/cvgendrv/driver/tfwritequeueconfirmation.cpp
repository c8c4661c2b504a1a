// Write queue: the device's confirmation of written bytes. The confirmed bytes settle the requests
// in flight, oldest first; a settled block lets the next one start.
#include "tfwritequeue.h"

#include "tfdebug.h"

// The device confirms ulCount bytes. Any IRQL up to DISPATCH_LEVEL; above PASSIVE_LEVEL the work is
// handed to the executor (the next block is started under the write mutex). The requests it settles
// are taken out of the in-flight queue under A and B, and are then its own to complete.
void CTfWriteQueue::m_DataWritten(ULONG ulCount)
{
    CTfRoutineLog Log("CTfWriteQueue::m_DataWritten");
    if (ulCount == 0) {
        DbgPrint("ASSERT at - %s %d\n", "tfwritequeuecsq.cpp", 277);
        Log.m_Fail("zero bytes confirmed");
        return;
    }
    if (KeGetCurrentIrql() > PASSIVE_LEVEL && m_DeferDataWritten(ulCount)) {
        Log.m_Success();
        return;
    }

    PIRP pDone = NULL;
    PIRP pDoneTail = NULL;
    m_LockA.m_Acquire();
    m_LockB.m_AcquireAtDpcLevel();
    m_AccumulateConfirmedLocked(ulCount);
    m_SettleConfirmedLocked(&pDone, &pDoneTail);
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
    Log.m_Success();
}

// Above PASSIVE_LEVEL: the next block is started under the write mutex, and the caller may hold
// locks of its own, so the confirmation is processed at PASSIVE_LEVEL by the executor. FALSE when
// no executor takes it: the caller retires the bytes itself, and the next block is started later.
BOOLEAN CTfWriteQueue::m_DeferDataWritten(ULONG ulCount)
{
    m_LockB.m_Acquire();
    BOOLEAN bDeferred = TRUE;
    if (!m_bDataWrittenWorkerQueued) {
        bDeferred = m_QueueWorkerLocked(sm_DataWrittenWorker);
        m_bDataWrittenWorkerQueued = bDeferred;
    }
    if (bDeferred) {
        m_ulDeferredWritten = TfWqAddSaturated(m_ulDeferredWritten, ulCount);
    }
    m_LockB.m_Release();
    return bDeferred;
}

// Adds confirmed bytes to the accumulator; the bytes of requests that ended before their
// confirmation are paid from it first. The first report after an open is the initial credit and
// confirms nothing. B held.
void CTfWriteQueue::m_AccumulateConfirmedLocked(ULONG ulCount)
{
    if (m_ulAccumulator == MAXULONG) {
        m_ulAccumulator = 0;
    } else {
        m_ulAccumulator = TfWqAddSaturated(m_ulAccumulator, ulCount);
    }
    if (m_ulDiscard <= m_ulAccumulator) {
        m_ulAccumulator -= m_ulDiscard;
        m_ulDiscard = 0;
    } else {
        m_ulDiscard -= m_ulAccumulator;
        m_ulAccumulator = 0;
    }
}

// Settles the requests in flight, oldest first, from the accumulator: each one wholly confirmed is
// taken out of its queue and chained for completion; the first one partly confirmed keeps the rest
// unconfirmed. A request being cancelled is skipped with nothing left unconfirmed. B held.
void CTfWriteQueue::m_SettleConfirmedLocked(PIRP* ppDone, PIRP* ppDoneTail)
{
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
        m_PushIrp(ppDone, ppDoneTail, pIrp);
        pIrp = pNext;
    }
}
