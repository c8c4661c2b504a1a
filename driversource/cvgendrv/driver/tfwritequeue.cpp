// Write queue: construction, owner settings, accepting writes, block building, time-out and purge.
#include "tfwritequeue.h"

#include "tfdebug.h"
#include "tfinterlocked.h"

// Longest total time-out the timer is armed for (about 3,650 years); longer ones saturate here.
#define TF_WQ_MAX_DUE_TIME 0x0FFFFFFFFFFFFFFFULL

ULONG TfWqAddSaturated(ULONG ulA, ULONG ulB)
{
    return (ulA > MAXULONG - ulB) ? MAXULONG : ulA + ulB;
}

ULONGLONG TfWqMillisecondsToDueTime(ULONGLONG ullMilliseconds)
{
    if (ullMilliseconds > TF_WQ_MAX_DUE_TIME / 10000) {
        return TF_WQ_MAX_DUE_TIME;
    }
    return ullMilliseconds * 10000;
}

// ---------------------------------------------------------------------------------------------
// Construction and owner settings
// ---------------------------------------------------------------------------------------------

CTfWriteQueue::CTfWriteQueue()
    : m_bAccept(TRUE),
      m_RejectStatus(STATUS_CANCELLED),
      m_pWriteRoutine(NULL),
      m_pWriteContext(NULL),
      m_pTransmitterEmptyRoutine(NULL),
      m_pTransmitterEmptyContext(NULL),
      m_ulQueuedBytes(0),
      m_ulCredit(0),
      m_ulDiscard(0),
      m_pExecutor(NULL),
      m_pPartialIrp(NULL),
      m_ulAccumulator(MAXULONG),
      m_ulBytesHandedOver(0),
      m_ulTotalMultiplier(0),
      m_ulTotalConstant(0),
      m_pTimedIrp(NULL),
      m_ullTimedDeadline(0),
      m_bTimedArmed(FALSE),
      m_bFlushPollRunning(FALSE),
      m_pStagedXoffRoutine(NULL),
      m_pStagedXoffContext(NULL),
      m_ulStagedXoffTimeout(0),
      m_ulStagedXoffCount(0),
      m_ucStagedXoffChar(0),
      m_pXoffIrp(NULL),
      m_pXoffRoutine(NULL),
      m_pXoffContext(NULL),
      m_ulXoffTimeout(0),
      m_ulXoffCount(0),
      m_ucXoffChar(0),
      m_bXoffSendPending(FALSE),
      m_bXoffSent(FALSE),
      m_bXoffTimerArmed(FALSE),
      m_ullXoffDeadline(0),
      m_hXoffTimer(TF_NO_TIMER),
      m_ulXoffSequence(0),
      m_ulBlockDiscarded(0),
      m_pOutsideIrp(NULL),
      m_bOutsideTimedOut(FALSE),
      m_ulOutsidePurgeSequence(0),
      m_pOutsideHook(NULL),
      m_pOutsideHookContext(NULL),
      m_bInWriteCallback(FALSE),
      m_bRestartAfterCallback(FALSE),
      m_ulPurgeSequence(0),
      m_pDeferredCancels(NULL),
      m_bCancelWorkerQueued(FALSE),
      m_ulDeferredWritten(0),
      m_bDataWrittenWorkerQueued(FALSE),
      m_bStartKickFailed(FALSE),
      m_bStartAfterCancel(FALSE),
      m_bRetryScheduled(FALSE),
      m_bDeleting(FALSE)
{
    TfDebugLog(7, "CTfWriteQueue::CTfWriteQueue - IN");
    KeInitializeMutex(&m_WriteMutex, 0);
    m_PendingList.m_Init(NonPagedPool);
    m_InFlightList.m_Init(NonPagedPool);
    m_FlushList.m_Init(NonPagedPool);
    KeInitializeTimer(&m_TotalTimer);
    KeInitializeDpc(&m_TotalTimerDpc, sm_TotalTimeoutDpc, this);
    InitializeListHead(&m_BlockIrps);

    RtlZeroMemory(&m_PendingInsertContext, sizeof(m_PendingInsertContext));
    IoCsqInitializeEx(&m_PendingCsq.Csq, sm_PendingCsqInsertIrp, sm_PendingCsqRemoveIrp, sm_PendingCsqPeekNextIrp,
                      sm_PendingCsqAcquireLock, sm_PendingCsqReleaseLock, sm_PendingCsqCompleteCanceledIrp);
    TfCsqSetOwner(&m_PendingCsq, this);
    IoCsqInitializeEx(&m_InFlightCsq.Csq, sm_InFlightCsqInsertIrp, sm_InFlightCsqRemoveIrp,
                      sm_InFlightCsqPeekNextIrp, sm_InFlightCsqAcquireLock, sm_InFlightCsqReleaseLock,
                      sm_InFlightCsqCompleteCanceledIrp);
    TfCsqSetOwner(&m_InFlightCsq, this);
    IoCsqInitializeEx(&m_FlushCsq.Csq, sm_FlushCsqInsertIrp, sm_FlushCsqRemoveIrp, sm_FlushCsqPeekNextIrp,
                      sm_HeldCsqAcquireLock, sm_HeldCsqReleaseLock, sm_FlushCsqCompleteCanceledIrp);
    TfCsqSetOwner(&m_FlushCsq, this);
    IoCsqInitializeEx(&m_XoffCsq.Csq, sm_XoffCsqInsertIrp, sm_XoffCsqRemoveIrp, sm_XoffCsqPeekNextIrp,
                      sm_HeldCsqAcquireLock, sm_HeldCsqReleaseLock, sm_XoffCsqCompleteCanceledIrp);
    TfCsqSetOwner(&m_XoffCsq, this);

    // An executor of our own until the device gives one on its device object. A queue without one
    // still works: the next block is then started from the caller's thread.
    CTfPassiveLevelExecutor* pExecutor = new (NonPagedPool) CTfPassiveLevelExecutor(NULL, 0);
    if (pExecutor != NULL && !pExecutor->m_Init()) {
        delete pExecutor;
        pExecutor = NULL;
    }
    m_pExecutor = pExecutor;
    if (pExecutor == NULL) {
        TfDebugLog(7, "CTfWriteQueue::CTfWriteQueue - OUT - Fail-> no executor");
        return;
    }
    TfDebugLog(7, "CTfWriteQueue::CTfWriteQueue - OUT (Success)");
}

CTfWriteQueue::~CTfWriteQueue()
{
    TfDebugLog(7, "CTfWriteQueue::~CTfWriteQueue - IN");
    // Everything still held ends now; afterwards nothing starts a timer or queues work.
    m_CancelAllIrps(TRUE);
    m_LockB.m_Acquire();
    m_bDeleting = TRUE;
    m_DisarmTotalTimer();
    m_pTimedIrp = NULL;
    CTfPassiveLevelExecutor* pExecutor = m_pExecutor;
    m_pExecutor = NULL;
    m_LockB.m_Release();

    m_RetryTimerList.m_StopAllTimers();
    m_FlushPollTimerList.m_StopAllTimers();
    m_XoffTimerList.m_StopAllTimers();
    KeCancelTimer(&m_TotalTimer);
    // A total time-out DPC that already fired must be done before the queue goes away.
    KeFlushQueuedDpcs();

    if (pExecutor != NULL) {
        // Work items still queued run now (they find nothing to do); a worker thread drops its calls.
        pExecutor->m_DeInit();
        delete pExecutor;
    }
    // Cancellations deferred to the executor that it dropped.
    m_RunDeferredCancels(TRUE);
    // Anything that arrived while the executor drained.
    m_CancelAllIrps(TRUE);

    m_PendingList.m_FreeNodes();
    m_InFlightList.m_FreeNodes();
    m_FlushList.m_FreeNodes();
    TfDebugLog(7, "CTfWriteQueue::~CTfWriteQueue - OUT (Success)");
}

BOOLEAN CTfWriteQueue::m_Init(PDEVICE_OBJECT pDeviceObject)
{
    TfDebugLog(7, "CTfWriteQueue::m_Init - IN");
    CTfPassiveLevelExecutor* pExecutor = new (NonPagedPool) CTfPassiveLevelExecutor(pDeviceObject, 0);
    if (pExecutor == NULL) {
        TfDebugLog(7, "CTfWriteQueue::m_Init - OUT - Fail-> no memory for the executor");
        return FALSE;
    }
    if (!pExecutor->m_Init()) {
        delete pExecutor;
        TfDebugLog(7, "CTfWriteQueue::m_Init - OUT - Fail-> executor did not start");
        return FALSE;
    }
    m_SetExecutor(pExecutor);
    TfDebugLog(7, "CTfWriteQueue::m_Init - OUT (Success)");
    return TRUE;
}

void CTfWriteQueue::m_SetExecutor(CTfPassiveLevelExecutor* pExecutor)
{
    TfDebugLog(7, "CTfWriteQueue::m_SetExecutor - IN");
    m_LockB.m_Acquire();
    CTfPassiveLevelExecutor* pOld = m_pExecutor;
    m_pExecutor = pExecutor;
    m_LockB.m_Release();
    if (pOld != NULL) {
        pOld->m_DeInit();
        delete pOld;
    }
    // Work the old executor may have dropped: deferred cancellations, confirmations, a block start.
    m_RunDeferredCancels(TRUE);
    m_LockB.m_Acquire();
    ULONG ulWritten = m_ulDeferredWritten;
    m_ulDeferredWritten = 0;
    m_bDataWrittenWorkerQueued = FALSE;
    BOOLEAN bStart = (m_ulQueuedBytes != 0);
    m_LockB.m_Release();
    if (ulWritten != 0) {
        m_DataWritten(ulWritten);
    } else if (bStart) {
        m_StartNextWrite();
    }
    TfDebugLog(7, "CTfWriteQueue::m_SetExecutor - OUT (Success)");
}

void CTfWriteQueue::m_SetWriteCallback(PTF_WRITE_QUEUE_WRITE_ROUTINE pRoutine, PVOID pContext)
{
    TfDebugLog(7, "CTfWriteQueue::m_SetWriteCallback - IN");
    m_LockB.m_Acquire();
    m_pWriteRoutine = pRoutine;
    m_pWriteContext = pContext;
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_SetWriteCallback - OUT (Success)");
}

void CTfWriteQueue::m_SetTransmitterEmptyCallback(PTF_WRITE_QUEUE_TRANSMITTER_EMPTY_ROUTINE pRoutine,
                                                  PVOID pContext)
{
    TfDebugLog(7, "CTfWriteQueue::m_SetTransmitterEmptyCallback - IN");
    m_LockB.m_Acquire();
    m_pTransmitterEmptyRoutine = pRoutine;
    m_pTransmitterEmptyContext = pContext;
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_SetTransmitterEmptyCallback - OUT (Success)");
}

void CTfWriteQueue::m_SetOutsideHook(PTF_WRITE_QUEUE_OUTSIDE_HOOK pHook, PVOID pContext)
{
    TfDebugLog(7, "CTfWriteQueue::m_SetOutsideHook - IN");
    m_LockB.m_Acquire();
    m_pOutsideHook = pHook;
    m_pOutsideHookContext = pContext;
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_SetOutsideHook - OUT (Success)");
}

void CTfWriteQueue::m_ClearOwnerCallbacks()
{
    TfDebugLog(7, "CTfWriteQueue::m_ClearOwnerCallbacks - IN");
    m_LockB.m_Acquire();
    m_pWriteRoutine = NULL;
    m_pWriteContext = NULL;
    m_pTransmitterEmptyRoutine = NULL;
    m_pTransmitterEmptyContext = NULL;
    m_pStagedXoffRoutine = NULL;
    m_pStagedXoffContext = NULL;
    m_pXoffRoutine = NULL;
    m_pXoffContext = NULL;
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_ClearOwnerCallbacks - OUT (Success)");
}

void CTfWriteQueue::m_SetTotalTimeouts(ULONG ulMultiplier, ULONG ulConstant)
{
    TfDebugLog(7, "CTfWriteQueue::m_SetTotalTimeouts - IN");
    // Under the mutex too, so a block being built sees one pair of values.
    BOOLEAN bMutex = (KeGetCurrentIrql() == PASSIVE_LEVEL);
    if (bMutex) {
        KeWaitForSingleObject(&m_WriteMutex, Executive, KernelMode, FALSE, NULL);
    }
    m_LockB.m_Acquire();
    m_ulTotalMultiplier = ulMultiplier;
    m_ulTotalConstant = ulConstant;
    m_LockB.m_Release();
    if (bMutex) {
        KeReleaseMutex(&m_WriteMutex, FALSE);
    }
    TfDebugLog(7, "CTfWriteQueue::m_SetTotalTimeouts - OUT (Success)");
}

void CTfWriteQueue::m_GetTotalTimeouts(PULONG pulMultiplier, PULONG pulConstant)
{
    TfDebugLog(7, "CTfWriteQueue::m_GetTotalTimeouts - IN");
    m_LockB.m_Acquire();
    if (pulMultiplier != NULL) {
        *pulMultiplier = m_ulTotalMultiplier;
    }
    if (pulConstant != NULL) {
        *pulConstant = m_ulTotalConstant;
    }
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_GetTotalTimeouts - OUT (Success)");
}

void CTfWriteQueue::m_SetAccept(BOOLEAN bAccept, NTSTATUS RejectStatus)
{
    TfDebugLog(7, "CTfWriteQueue::m_SetAccept - IN");
    m_LockB.m_Acquire();
    m_bAccept = bAccept;
    m_RejectStatus = RejectStatus;
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_SetAccept - OUT (Success)");
}

BOOLEAN CTfWriteQueue::m_IsAccepting()
{
    TfDebugLog(7, "CTfWriteQueue::m_IsAccepting - IN");
    m_LockB.m_Acquire();
    BOOLEAN bAccept = m_bAccept;
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_IsAccepting - OUT (Success)");
    return bAccept;
}

void CTfWriteQueue::m_ResetForOpen()
{
    TfDebugLog(7, "CTfWriteQueue::m_ResetForOpen - IN");
    m_LockB.m_Acquire();
    m_ulAccumulator = MAXULONG;
    m_ulCredit = 0;
    m_ulDiscard = 0;
    m_ulBytesHandedOver = 0;
    m_ulDeferredWritten = 0;
    m_pTimedIrp = NULL;
    m_DisarmTotalTimer();
    m_StartTotalTimer();
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_ResetForOpen - OUT (Success)");
}

ULONG CTfWriteQueue::m_GetQueuedByteCount()
{
    TfDebugLog(7, "CTfWriteQueue::m_GetQueuedByteCount - IN");
    m_LockB.m_Acquire();
    ULONG ulQueued = m_ulQueuedBytes;
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_GetQueuedByteCount - OUT (Success)");
    return ulQueued;
}

ULONG CTfWriteQueue::m_GetCredit()
{
    TfDebugLog(7, "CTfWriteQueue::m_GetCredit - IN");
    m_LockB.m_Acquire();
    ULONG ulCredit = m_ulCredit;
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_GetCredit - OUT (Success)");
    return ulCredit;
}

ULONG CTfWriteQueue::m_GetDiscardCount()
{
    TfDebugLog(7, "CTfWriteQueue::m_GetDiscardCount - IN");
    m_LockB.m_Acquire();
    ULONG ulDiscard = m_ulDiscard;
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_GetDiscardCount - OUT (Success)");
    return ulDiscard;
}

ULONG CTfWriteQueue::m_GetAccumulator()
{
    TfDebugLog(7, "CTfWriteQueue::m_GetAccumulator - IN");
    m_LockB.m_Acquire();
    ULONG ulAccumulator = m_ulAccumulator;
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_GetAccumulator - OUT (Success)");
    return ulAccumulator;
}

ULONG CTfWriteQueue::m_GetPendingCount()
{
    TfDebugLog(7, "CTfWriteQueue::m_GetPendingCount - IN");
    m_LockB.m_Acquire();
    ULONG ulCount = m_PendingList.m_GetCount() + ((m_pPartialIrp != NULL) ? 1 : 0);
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_GetPendingCount - OUT (Success)");
    return ulCount;
}

ULONG CTfWriteQueue::m_GetInFlightCount()
{
    TfDebugLog(7, "CTfWriteQueue::m_GetInFlightCount - IN");
    m_LockB.m_Acquire();
    ULONG ulCount = m_InFlightList.m_GetCount();
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_GetInFlightCount - OUT (Success)");
    return ulCount;
}

BOOLEAN CTfWriteQueue::m_IsTotalTimerArmed()
{
    TfDebugLog(7, "CTfWriteQueue::m_IsTotalTimerArmed - IN");
    m_LockB.m_Acquire();
    BOOLEAN bArmed = m_bTimedArmed;
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_IsTotalTimerArmed - OUT (Success)");
    return bArmed;
}

BOOLEAN CTfWriteQueue::m_IsIdle()
{
    TfDebugLog(7, "CTfWriteQueue::m_IsIdle - IN");
    m_LockB.m_Acquire();
    BOOLEAN bIdle = m_IsIdleLocked();
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_IsIdle - OUT (Success)");
    return bIdle;
}

// ---------------------------------------------------------------------------------------------
// Helpers with B held
// ---------------------------------------------------------------------------------------------

BOOLEAN CTfWriteQueue::m_IsIdleLocked()
{
    TfDebugLog(7, "CTfWriteQueue::m_IsIdleLocked - IN");
    BOOLEAN bIdle = m_pPartialIrp == NULL && m_PendingList.m_IsEmpty() && m_InFlightList.m_IsEmpty() &&
                    m_pOutsideIrp == NULL;
    TfDebugLog(7, "CTfWriteQueue::m_IsIdleLocked - OUT (Success)");
    return bIdle;
}

PIRP CTfWriteQueue::m_NextInList(CTfPointerList* pList, PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::m_NextInList - IN");
    PIRP pNext = NULL;
    if (pIrp == NULL) {
        pNext = (PIRP)pList->m_GetFirst();
    } else if (pList->m_Find(pIrp)) {
        pNext = (PIRP)pList->m_GetNext();
    } else {
        TfDebugLog(7, "CTfWriteQueue::m_NextInList - OUT - Fail-> request not listed");
        return NULL;
    }
    TfDebugLog(7, "CTfWriteQueue::m_NextInList - OUT (Success)");
    return pNext;
}

ULONG CTfWriteQueue::m_GetLength(PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::m_GetLength - IN");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    TfDebugLog(7, "CTfWriteQueue::m_GetLength - OUT (Success)");
    return (pStack != NULL) ? pStack->Parameters.Write.Length : 0;
}

void CTfWriteQueue::m_AddDiscard(ULONG ulBytes)
{
    TfDebugLog(7, "CTfWriteQueue::m_AddDiscard - IN");
    m_ulDiscard = TfWqAddSaturated(m_ulDiscard, ulBytes);
    TfDebugLog(7, "CTfWriteQueue::m_AddDiscard - OUT (Success)");
}

void CTfWriteQueue::m_JoinBlock(PIRP pIrp, ULONG ulBytes)
{
    TfDebugLog(7, "CTfWriteQueue::m_JoinBlock - IN");
    pIrp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)ulBytes;
    pIrp->Tail.Overlay.DriverContext[1] = this;
    InsertTailList(&m_BlockIrps, &pIrp->Tail.Overlay.ListEntry);
    TfDebugLog(7, "CTfWriteQueue::m_JoinBlock - OUT (Success)");
}

void CTfWriteQueue::m_LeaveBlock(PIRP pIrp, BOOLEAN bDiscarded)
{
    TfDebugLog(7, "CTfWriteQueue::m_LeaveBlock - IN");
    if (pIrp->Tail.Overlay.DriverContext[1] == NULL) {
        TfDebugLog(7, "CTfWriteQueue::m_LeaveBlock - OUT (Success)");
        return;
    }
    RemoveEntryList(&pIrp->Tail.Overlay.ListEntry);
    if (bDiscarded) {
        // Its bytes of the block now count as sent; should the block fail, they were not.
        m_ulBlockDiscarded = TfWqAddSaturated(m_ulBlockDiscarded, (ULONG)(ULONG_PTR)pIrp->Tail.Overlay.DriverContext[0]);
    }
    pIrp->Tail.Overlay.DriverContext[0] = NULL;
    pIrp->Tail.Overlay.DriverContext[1] = NULL;
    TfDebugLog(7, "CTfWriteQueue::m_LeaveBlock - OUT (Success)");
}

void CTfWriteQueue::m_ArmTotalTimer(PIRP pIrp, ULONG ulBytes)
{
    TfDebugLog(7, "CTfWriteQueue::m_ArmTotalTimer - IN");
    // 64-bit and saturating: bytes x multiplier + constant never wraps to a short time-out.
    ULONGLONG ullMilliseconds = (ULONGLONG)ulBytes * m_ulTotalMultiplier + m_ulTotalConstant;
    ULONGLONG ullDue = TfWqMillisecondsToDueTime(ullMilliseconds);
    m_pTimedIrp = pIrp;
    m_ullTimedDeadline = KeQueryInterruptTime() + ullDue;
    m_bTimedArmed = TRUE;
    LARGE_INTEGER DueTime;
    DueTime.QuadPart = -(LONGLONG)ullDue;
    if (DueTime.QuadPart == 0) {
        DueTime.QuadPart = -1;
    }
    KeSetTimer(&m_TotalTimer, DueTime, &m_TotalTimerDpc);
    TfDebugLog(7, "CTfWriteQueue::m_ArmTotalTimer - OUT (Success)");
}

void CTfWriteQueue::m_DisarmTotalTimer()
{
    TfDebugLog(7, "CTfWriteQueue::m_DisarmTotalTimer - IN");
    if (m_bTimedArmed) {
        // A DPC that already fired still runs; it finds the timer disarmed and does nothing.
        KeCancelTimer(&m_TotalTimer);
        m_bTimedArmed = FALSE;
    }
    TfDebugLog(7, "CTfWriteQueue::m_DisarmTotalTimer - OUT (Success)");
}

void CTfWriteQueue::m_ClearTimedIrp(PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::m_ClearTimedIrp - IN");
    if (m_pTimedIrp == pIrp) {
        m_pTimedIrp = NULL;
        m_DisarmTotalTimer();
    }
    TfDebugLog(7, "CTfWriteQueue::m_ClearTimedIrp - OUT (Success)");
}

void CTfWriteQueue::m_StartTotalTimer(PIRP pInserting)
{
    TfDebugLog(7, "CTfWriteQueue::m_StartTotalTimer - IN");
    if (m_pTimedIrp != NULL || m_bDeleting) {
        TfDebugLog(7, "CTfWriteQueue::m_StartTotalTimer - OUT (Success)");
        return;
    }
    if (m_ulTotalMultiplier == 0 && m_ulTotalConstant == 0) {
        TfDebugLog(7, "CTfWriteQueue::m_StartTotalTimer - OUT - Fail-> no total time-out");
        return;
    }
    // The oldest request in flight runs on its unconfirmed bytes; with none in flight the first
    // pending one runs on its unsent bytes. Requests a cancellation owns are on their way out (a
    // request being inserted has no cancel routine yet).
    for (PIRP pIrp = m_NextInList(&m_InFlightList, NULL); pIrp != NULL; pIrp = m_NextInList(&m_InFlightList, pIrp)) {
        if (TfIrpHasCancelRoutine(pIrp)) {
            m_ArmTotalTimer(pIrp, (ULONG)pIrp->IoStatus.Information);
            TfDebugLog(7, "CTfWriteQueue::m_StartTotalTimer - OUT (Success)");
            return;
        }
    }
    if (m_pPartialIrp != NULL && TfIrpHasCancelRoutine(m_pPartialIrp)) {
        m_ArmTotalTimer(m_pPartialIrp, m_GetLength(m_pPartialIrp) - (ULONG)m_pPartialIrp->IoStatus.Information);
        TfDebugLog(7, "CTfWriteQueue::m_StartTotalTimer - OUT (Success)");
        return;
    }
    for (PIRP pIrp = m_NextInList(&m_PendingList, NULL); pIrp != NULL; pIrp = m_NextInList(&m_PendingList, pIrp)) {
        if (TfIrpHasCancelRoutine(pIrp) || pIrp == pInserting) {
            m_ArmTotalTimer(pIrp, m_GetLength(pIrp) - (ULONG)pIrp->IoStatus.Information);
            TfDebugLog(7, "CTfWriteQueue::m_StartTotalTimer - OUT (Success)");
            return;
        }
    }
    TfDebugLog(7, "CTfWriteQueue::m_StartTotalTimer - OUT - Fail-> no request to time");
}

BOOLEAN CTfWriteQueue::m_QueueWorkerLocked(PTF_EXECUTOR_ROUTINE pRoutine)
{
    TfDebugLog(7, "CTfWriteQueue::m_QueueWorkerLocked - IN");
    if (m_bDeleting || m_pExecutor == NULL) {
        TfDebugLog(7, "CTfWriteQueue::m_QueueWorkerLocked - OUT - Fail-> no executor");
        return FALSE;
    }
    if (!m_pExecutor->m_QueueFunction(pRoutine, this, NULL, NULL)) {
        TfDebugLog(7, "CTfWriteQueue::m_QueueWorkerLocked - OUT - Fail-> call dropped");
        return FALSE;
    }
    TfDebugLog(7, "CTfWriteQueue::m_QueueWorkerLocked - OUT (Success)");
    return TRUE;
}

void CTfWriteQueue::m_PushIrp(PIRP* ppHead, PIRP* ppTail, PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::m_PushIrp - IN");
    pIrp->Tail.Overlay.DriverContext[2] = NULL;
    if (*ppTail == NULL) {
        *ppHead = pIrp;
    } else {
        (*ppTail)->Tail.Overlay.DriverContext[2] = pIrp;
    }
    *ppTail = pIrp;
    TfDebugLog(7, "CTfWriteQueue::m_PushIrp - OUT (Success)");
}

void CTfWriteQueue::m_CompleteList(PIRP pList, NTSTATUS Status, BOOLEAN bKeepInformation)
{
    TfDebugLog(7, "CTfWriteQueue::m_CompleteList - IN");
    while (pList != NULL) {
        PIRP pIrp = pList;
        pList = (PIRP)pIrp->Tail.Overlay.DriverContext[2];
        pIrp->Tail.Overlay.DriverContext[2] = NULL;
        pIrp->IoStatus.Status = Status;
        if (!bKeepInformation) {
            pIrp->IoStatus.Information = 0;
        }
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    }
    TfDebugLog(7, "CTfWriteQueue::m_CompleteList - OUT (Success)");
}

void CTfWriteQueue::m_CompleteIrp(PIRP pIrp, NTSTATUS Status, ULONG_PTR ulInformation)
{
    TfDebugLog(7, "CTfWriteQueue::m_CompleteIrp - IN");
    pIrp->IoStatus.Status = Status;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    TfDebugLog(7, "CTfWriteQueue::m_CompleteIrp - OUT (Success)");
}

void CTfWriteQueue::m_AfterWriteSideChange()
{
    TfDebugLog(7, "CTfWriteQueue::m_AfterWriteSideChange - IN");
    m_CheckFlushIrp();
    m_ResolveXoffCounterIrp(FALSE, FALSE, FALSE);
    TfDebugLog(7, "CTfWriteQueue::m_AfterWriteSideChange - OUT (Success)");
}

// ---------------------------------------------------------------------------------------------
// Accepting a write
// ---------------------------------------------------------------------------------------------

NTSTATUS CTfWriteQueue::m_QueueIrp(PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::m_QueueIrp - IN");
    if (pIrp == NULL) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CTfWriteQueue::m_QueueIrp - OUT - Fail-> no request");
        return STATUS_INVALID_PARAMETER;
    }
    pIrp->IoStatus.Information = 0;
    pIrp->Tail.Overlay.DriverContext[0] = NULL;
    pIrp->Tail.Overlay.DriverContext[1] = NULL;
    pIrp->Tail.Overlay.DriverContext[2] = NULL;

    // A write ends a held XOFF-counter request.
    m_ResolveXoffCounterIrp(TRUE, FALSE, FALSE);

    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    if (pStack == NULL) {
        m_CompleteIrp(pIrp, STATUS_INVALID_PARAMETER, 0);
        TfDebugLog(7, "CTfWriteQueue::m_QueueIrp - OUT - Fail-> no stack location");
        return STATUS_INVALID_PARAMETER;
    }
    ULONG ulLength = pStack->Parameters.Write.Length;
    if (ulLength != 0 && pIrp->AssociatedIrp.SystemBuffer == NULL) {
        m_CompleteIrp(pIrp, STATUS_INVALID_PARAMETER, 0);
        TfDebugLog(7, "CTfWriteQueue::m_QueueIrp - OUT - Fail-> no system buffer");
        return STATUS_INVALID_PARAMETER;
    }

    m_LockB.m_Acquire();
    BOOLEAN bAccept = m_bAccept;
    NTSTATUS RejectStatus = m_RejectStatus;
    m_LockB.m_Release();
    if (!bAccept) {
        m_CompleteIrp(pIrp, RejectStatus, 0);
        TfDebugLog(7, "CTfWriteQueue::m_QueueIrp - OUT - Fail-> not accepting writes");
        return RejectStatus;
    }
    if (ulLength == 0) {
        // Nothing to send, and nothing would ever confirm it.
        m_CompleteIrp(pIrp, STATUS_SUCCESS, 0);
        TfDebugLog(7, "CTfWriteQueue::m_QueueIrp - OUT (Success)");
        return STATUS_SUCCESS;
    }

    NTSTATUS Status = IoCsqInsertIrpEx(&m_PendingCsq.Csq, pIrp, NULL, TF_WQ_INSERT_NEW);
    if (!NT_SUCCESS(Status)) {
        m_CompleteIrp(pIrp, Status, 0);
        TfDebugLog(7, "CTfWriteQueue::m_QueueIrp - OUT - Fail-> request could not be queued");
        return Status;
    }

    // The insertion queues the block start on the executor; without one it starts here.
    m_StartIfOwed(&m_bStartKickFailed);
    TfDebugLog(7, "CTfWriteQueue::m_QueueIrp - OUT (Success)");
    return STATUS_PENDING;
}

// ---------------------------------------------------------------------------------------------
// Building and sending a block
// ---------------------------------------------------------------------------------------------

BOOLEAN CTfWriteQueue::m_StartNextWrite()
{
    TfDebugLog(7, "CTfWriteQueue::m_StartNextWrite - IN");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        // The mutex cannot be waited for here: start from the executor instead.
        m_LockB.m_Acquire();
        BOOLEAN bQueued = m_QueueWorkerLocked(sm_StartNextWriteWorker);
        m_LockB.m_Release();
        if (!bQueued) {
            m_ScheduleRetry();
        }
        TfDebugLog(7, "CTfWriteQueue::m_StartNextWrite - OUT - Fail-> above PASSIVE_LEVEL, deferred");
        return TRUE;
    }
    KeWaitForSingleObject(&m_WriteMutex, Executive, KernelMode, FALSE, NULL);
    if (m_bInWriteCallback) {
        // Bytes confirmed from inside the owner's write callback on this thread: the block being
        // handed over is finished first, then the next one is built.
        m_bRestartAfterCallback = TRUE;
        KeReleaseMutex(&m_WriteMutex, FALSE);
        TfDebugLog(7, "CTfWriteQueue::m_StartNextWrite - OUT (Success)");
        return TRUE;
    }

    BOOLEAN bResult = TRUE;
    BOOLEAN bWriteSideChanged = FALSE;
    for (;;) {
        m_bRestartAfterCallback = FALSE;
        m_LockB.m_Acquire();
        ULONG ulBlock = (m_ulQueuedBytes < m_ulCredit) ? m_ulQueuedBytes : m_ulCredit;
        if (m_bDeleting) {
            ulBlock = 0;
        }
        m_LockB.m_Release();
        if (ulBlock == 0) {
            break;
        }

        CTfBuffer* pChunk = new (NonPagedPool) CTfBuffer();
        if (pChunk == NULL || !pChunk->m_Allocate(ulBlock)) {
            if (pChunk != NULL) {
                pChunk->m_Delete();
            }
            // The requests stay pending; nothing may come to start them again, so retry shortly.
            m_ScheduleRetry();
            bResult = FALSE;
            TfDebugLog(7, "CTfWriteQueue::m_StartNextWrite - no memory for a block of %u bytes", ulBlock);
            break;
        }
        ULONG ulCopied = m_FillBlock(pChunk->m_GetBytes(), ulBlock, &bWriteSideChanged);
        if (ulCopied == 0) {
            // Every pending request went away meanwhile.
            pChunk->m_Delete();
            m_LockB.m_Acquire();
            m_StartTotalTimer();
            m_LockB.m_Release();
            break;
        }
        if (ulCopied < ulBlock) {
            pChunk->m_KeepHead(ulCopied, TRUE);
        }

        m_LockB.m_Acquire();
        m_ulCredit = (ulCopied < m_ulCredit) ? m_ulCredit - ulCopied : 0;
        m_StartTotalTimer();
        PTF_WRITE_QUEUE_WRITE_ROUTINE pRoutine = m_pWriteRoutine;
        PVOID pContext = m_pWriteContext;
        m_LockB.m_Release();

        m_bInWriteCallback = TRUE;
        if (pRoutine != NULL) {
            bResult = pRoutine(pContext, pChunk);
        } else {
            pChunk->m_Delete();
            bResult = FALSE;
        }
        m_bInWriteCallback = FALSE;

        if (!bResult) {
            m_SettleFailedBlock(ulCopied);
            bWriteSideChanged = TRUE;
            TfDebugLog(7, "CTfWriteQueue::m_StartNextWrite - the owner refused a block of %u bytes", ulCopied);
            break;
        }
        m_LockB.m_Acquire();
        m_SettleBlock();
        m_LockB.m_Release();
        if (!m_bRestartAfterCallback) {
            break;
        }
    }
    KeReleaseMutex(&m_WriteMutex, FALSE);

    if (bWriteSideChanged) {
        m_AfterWriteSideChange();
    }
    if (!bResult) {
        TfDebugLog(7, "CTfWriteQueue::m_StartNextWrite - OUT - Fail-> block not handed over");
        return FALSE;
    }
    TfDebugLog(7, "CTfWriteQueue::m_StartNextWrite - OUT (Success)");
    return TRUE;
}

ULONG CTfWriteQueue::m_FillBlock(PUCHAR pucBlock, ULONG ulBlock, PBOOLEAN pbWriteSideChanged)
{
    TfDebugLog(7, "CTfWriteQueue::m_FillBlock - IN");
    ULONG ulCopied = 0;
    m_LockB.m_Acquire();
    m_ulBlockDiscarded = 0;
    m_LockB.m_Release();

    while (ulCopied < ulBlock) {
        // The request a block took only part of comes first (the peek puts it at the front).
        m_LockB.m_Acquire();
        if (m_pPartialIrp != NULL && !TfIrpHasCancelRoutine(m_pPartialIrp)) {
            // A cancellation owns it and waits for this lock to take it out. No later request may
            // go ahead of it, and none can become the partly sent one while it holds that place:
            // the cancellation starts the next block.
            m_bStartAfterCancel = TRUE;
            m_LockB.m_Release();
            break;
        }
        PIRP pIrp = TfCsqRemoveNextIrpLocked(&m_PendingCsq.Csq, NULL);
        if (pIrp == NULL) {
            m_LockB.m_Release();
            break;
        }
        m_pOutsideIrp = pIrp;
        m_bOutsideTimedOut = FALSE;
        ULONG ulPurgeSequence = m_ulPurgeSequence;
        m_ulOutsidePurgeSequence = ulPurgeSequence;
        ULONG ulLength = m_GetLength(pIrp);
        ULONG ulSent = (ULONG)pIrp->IoStatus.Information;
        PTF_WRITE_QUEUE_OUTSIDE_HOOK pHook = m_pOutsideHook;
        PVOID pHookContext = m_pOutsideHookContext;
        m_LockB.m_Release();

        ULONG ulTake = ulLength - ulSent;
        if (ulTake > ulBlock - ulCopied) {
            ulTake = ulBlock - ulCopied;
        }
        RtlCopyMemory(pucBlock + ulCopied, (PUCHAR)pIrp->AssociatedIrp.SystemBuffer + ulSent, ulTake);
        ulCopied += ulTake;
        BOOLEAN bWhole = (ulSent + ulTake == ulLength);
        if (pHook != NULL) {
            pHook(pHookContext, TF_WQ_OUTSIDE_COPIED, pIrp);
        }

        m_LockB.m_Acquire();
        pIrp->IoStatus.Information = ulSent + ulTake;
        m_ulBytesHandedOver = TfWqAddSaturated(m_ulBytesHandedOver, ulTake);
        m_JoinBlock(pIrp, ulTake);
        NTSTATUS EndStatus = STATUS_SUCCESS;
        if (m_ulPurgeSequence != ulPurgeSequence) {
            EndStatus = STATUS_CANCELLED;  // a purge ran while the request was out of the queue
        } else if (m_bOutsideTimedOut) {
            EndStatus = STATUS_TIMEOUT;
        }
        if (EndStatus != STATUS_SUCCESS) {
            ULONG_PTR ulInformation = (EndStatus == STATUS_TIMEOUT) ? pIrp->IoStatus.Information : 0;
            m_AddDiscard((ULONG)pIrp->IoStatus.Information);
            m_LeaveBlock(pIrp, TRUE);
            m_ClearTimedIrp(pIrp);
            m_pOutsideIrp = NULL;
            m_bOutsideTimedOut = FALSE;
            m_StartTotalTimer();
            m_LockB.m_Release();
            m_CompleteIrp(pIrp, EndStatus, ulInformation);
            *pbWriteSideChanged = TRUE;
            if (!bWhole) {
                break;
            }
            continue;
        }
        m_LockB.m_Release();
        if (pHook != NULL) {
            pHook(pHookContext, TF_WQ_OUTSIDE_CHECKED, pIrp);
        }

        NTSTATUS Status;
        if (bWhole) {
            Status = IoCsqInsertIrpEx(&m_InFlightCsq.Csq, pIrp, NULL, TF_WQ_INSERT_HANDED_OVER);
        } else {
            // The block is full: the rest of this request is taken first next time.
            Status = IoCsqInsertIrpEx(&m_PendingCsq.Csq, pIrp, &m_PendingInsertContext, TF_WQ_INSERT_PARTIAL);
        }
        if (!NT_SUCCESS(Status)) {
            // Refused by the insert callback because a purge or the total time-out caught the request
            // while it was out of the queue, or no memory: its bytes are in the block, and their
            // confirmation must not be credited to later requests.
            m_LockB.m_Acquire();
            ULONG_PTR ulInformation = 0;
            if (Status == STATUS_IO_TIMEOUT) {
                Status = STATUS_TIMEOUT;
                ulInformation = pIrp->IoStatus.Information;
            }
            m_AddDiscard((ULONG)pIrp->IoStatus.Information);
            m_LeaveBlock(pIrp, TRUE);
            m_ClearTimedIrp(pIrp);
            m_pOutsideIrp = NULL;
            m_bOutsideTimedOut = FALSE;
            m_StartTotalTimer();
            m_LockB.m_Release();
            m_CompleteIrp(pIrp, Status, ulInformation);
            *pbWriteSideChanged = TRUE;
        }
        if (!bWhole) {
            break;
        }
    }
    TfDebugLog(7, "CTfWriteQueue::m_FillBlock - OUT (Success)");
    return ulCopied;
}

void CTfWriteQueue::m_SettleBlock()
{
    TfDebugLog(7, "CTfWriteQueue::m_SettleBlock - IN");
    while (!IsListEmpty(&m_BlockIrps)) {
        PLIST_ENTRY pEntry = RemoveHeadList(&m_BlockIrps);
        PIRP pIrp = CONTAINING_RECORD(pEntry, IRP, Tail.Overlay.ListEntry);
        pIrp->Tail.Overlay.DriverContext[0] = NULL;
        pIrp->Tail.Overlay.DriverContext[1] = NULL;
    }
    m_ulBlockDiscarded = 0;
    TfDebugLog(7, "CTfWriteQueue::m_SettleBlock - OUT (Success)");
}

void CTfWriteQueue::m_SettleFailedBlock(ULONG ulBlock)
{
    TfDebugLog(7, "CTfWriteQueue::m_SettleFailedBlock - IN");
    PIRP pFailed = NULL;
    PIRP pFailedTail = NULL;
    m_LockB.m_Acquire();
    // None of the block reached the device.
    m_ulCredit = TfWqAddSaturated(m_ulCredit, ulBlock);
    while (!IsListEmpty(&m_BlockIrps)) {
        PLIST_ENTRY pEntry = RemoveHeadList(&m_BlockIrps);
        PIRP pIrp = CONTAINING_RECORD(pEntry, IRP, Tail.Overlay.ListEntry);
        ULONG ulInBlock = (ULONG)(ULONG_PTR)pIrp->Tail.Overlay.DriverContext[0];
        pIrp->Tail.Overlay.DriverContext[0] = NULL;
        pIrp->Tail.Overlay.DriverContext[1] = NULL;
        ULONG ulInformation = (ULONG)pIrp->IoStatus.Information;
        ULONG ulTakeBack = (ulInBlock < ulInformation) ? ulInBlock : ulInformation;

        if (pIrp == m_pPartialIrp) {
            // Still pending: its bytes of this block go out again with the next block.
            pIrp->IoStatus.Information = ulInformation - ulTakeBack;
            m_ulQueuedBytes = TfWqAddSaturated(m_ulQueuedBytes, ulTakeBack);
            m_ulBytesHandedOver = (ulTakeBack < m_ulBytesHandedOver) ? m_ulBytesHandedOver - ulTakeBack : 0;
        } else if (m_InFlightList.m_Find(pIrp) && TfCsqRemoveGivenIrpLocked(&m_InFlightCsq.Csq, pIrp, NULL)) {
            // It became in flight with this block and cannot finish: bytes of earlier blocks are
            // on the wire and their confirmation is discarded.
            m_AddDiscard(ulInformation - ulTakeBack);
            pIrp->IoStatus.Information = m_GetLength(pIrp) - ulInBlock;
            m_ClearTimedIrp(pIrp);
            m_PushIrp(&pFailed, &pFailedTail, pIrp);
        } else {
            // A cancellation owns it: it discards only the bytes that did reach the device.
            pIrp->IoStatus.Information = ulInformation - ulTakeBack;
        }
    }
    // Bytes of this block that time-outs, purges or cancellations already put into the discard count.
    m_ulDiscard = (m_ulBlockDiscarded < m_ulDiscard) ? m_ulDiscard - m_ulBlockDiscarded : 0;
    m_ulBlockDiscarded = 0;
    m_StartTotalTimer();
    BOOLEAN bRetry = (m_ulQueuedBytes != 0);
    m_LockB.m_Release();

    m_CompleteList(pFailed, STATUS_UNSUCCESSFUL, TRUE);
    if (bRetry) {
        m_ScheduleRetry();
    }
    TfDebugLog(7, "CTfWriteQueue::m_SettleFailedBlock - OUT (Success)");
}

void CTfWriteQueue::m_ScheduleRetry()
{
    TfDebugLog(7, "CTfWriteQueue::m_ScheduleRetry - IN");
    m_LockB.m_Acquire();
    BOOLEAN bStart = !m_bRetryScheduled && !m_bDeleting && m_pExecutor != NULL;
    if (bStart) {
        m_bRetryScheduled = TRUE;
    }
    m_LockB.m_Release();
    if (!bStart) {
        TfDebugLog(7, "CTfWriteQueue::m_ScheduleRetry - OUT (Success)");
        return;
    }
    if (m_RetryTimerList.m_StartTimer(sm_RetryTimer, this, TF_WRITE_QUEUE_RETRY_TIME) == TF_NO_TIMER) {
        m_LockB.m_Acquire();
        m_bRetryScheduled = FALSE;
        m_LockB.m_Release();
        TfDebugLog(7, "CTfWriteQueue::m_ScheduleRetry - OUT - Fail-> no retry timer");
        return;
    }
    TfDebugLog(7, "CTfWriteQueue::m_ScheduleRetry - OUT (Success)");
}

void CTfWriteQueue::sm_RetryTimer(PVOID pContext)
{
    TfDebugLog(7, "CTfWriteQueue::sm_RetryTimer - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)pContext;
    pThis->m_LockB.m_Acquire();
    pThis->m_bRetryScheduled = FALSE;
    pThis->m_QueueWorkerLocked(sm_StartNextWriteWorker);
    pThis->m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::sm_RetryTimer - OUT (Success)");
}

void CTfWriteQueue::sm_StartNextWriteWorker(PVOID pContext, PVOID pArgument)
{
    TfDebugLog(7, "CTfWriteQueue::sm_StartNextWriteWorker - IN");
    ((CTfWriteQueue*)pContext)->m_StartNextWrite();
    TfDebugLog(7, "CTfWriteQueue::sm_StartNextWriteWorker - OUT (Success)");
}

void CTfWriteQueue::sm_DataWrittenWorker(PVOID pContext, PVOID pArgument)
{
    TfDebugLog(7, "CTfWriteQueue::sm_DataWrittenWorker - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)pContext;
    pThis->m_LockB.m_Acquire();
    ULONG ulWritten = pThis->m_ulDeferredWritten;
    pThis->m_ulDeferredWritten = 0;
    pThis->m_bDataWrittenWorkerQueued = FALSE;
    pThis->m_LockB.m_Release();
    if (ulWritten != 0) {
        pThis->m_DataWritten(ulWritten);
    }
    TfDebugLog(7, "CTfWriteQueue::sm_DataWrittenWorker - OUT (Success)");
}

// ---------------------------------------------------------------------------------------------
// Total time-out
// ---------------------------------------------------------------------------------------------

void CTfWriteQueue::sm_TotalTimeoutDpc(PKDPC pDpc, PVOID pContext, PVOID pArgument1, PVOID pArgument2)
{
    TfDebugLog(7, "CTfWriteQueue::sm_TotalTimeoutDpc - IN");
    ((CTfWriteQueue*)pContext)->m_TotalTimeoutExpired();
    TfDebugLog(7, "CTfWriteQueue::sm_TotalTimeoutDpc - OUT (Success)");
}

void CTfWriteQueue::m_TotalTimeoutExpired()
{
    TfDebugLog(7, "CTfWriteQueue::m_TotalTimeoutExpired - IN");
    PIRP pTimedOut = NULL;
    m_LockA.m_Acquire();
    m_LockB.m_AcquireAtDpcLevel();
    if (!m_bTimedArmed || KeQueryInterruptTime() < m_ullTimedDeadline) {
        // Fired for an arming that was cancelled or replaced.
        m_LockB.m_ReleaseFromDpcLevel();
        m_LockA.m_Release();
        TfDebugLog(7, "CTfWriteQueue::m_TotalTimeoutExpired - OUT - Fail-> stale timer");
        return;
    }
    m_bTimedArmed = FALSE;
    PIRP pIrp = m_pTimedIrp;
    if (pIrp != NULL) {
        if (pIrp == m_pOutsideIrp) {
            // The block builder holds it; it completes the request when it puts it back.
            m_bOutsideTimedOut = TRUE;
            m_pTimedIrp = NULL;
        } else if (m_InFlightList.m_Find(pIrp)) {
            if (TfCsqRemoveGivenIrpLocked(&m_InFlightCsq.Csq, pIrp, NULL)) {
                // All of it went to the device; what is still unconfirmed is discarded.
                m_AddDiscard((ULONG)pIrp->IoStatus.Information);
                m_LeaveBlock(pIrp, TRUE);
                pIrp->IoStatus.Information = m_GetLength(pIrp);
                m_pTimedIrp = NULL;
                pTimedOut = pIrp;
            }
        } else if (pIrp == m_pPartialIrp || m_PendingList.m_Find(pIrp)) {
            if (TfCsqRemoveGivenIrpLocked(&m_PendingCsq.Csq, pIrp, &m_PendingInsertContext)) {
                m_AddDiscard((ULONG)pIrp->IoStatus.Information);
                m_LeaveBlock(pIrp, TRUE);
                m_pTimedIrp = NULL;
                pTimedOut = pIrp;
            }
        }
        // Otherwise a cancellation owns it and arms the timer for the next request when done.
    }
    if (pTimedOut != NULL) {
        m_ulBytesHandedOver = 0;
    }
    m_StartTotalTimer();
    m_LockB.m_ReleaseFromDpcLevel();
    m_LockA.m_Release();

    if (pTimedOut != NULL) {
        pTimedOut->IoStatus.Status = STATUS_TIMEOUT;
        IoCompleteRequest(pTimedOut, IO_NO_INCREMENT);
    }
    m_AfterWriteSideChange();
    TfDebugLog(7, "CTfWriteQueue::m_TotalTimeoutExpired - OUT (Success)");
}

// ---------------------------------------------------------------------------------------------
// Purge and cancellation
// ---------------------------------------------------------------------------------------------

void CTfWriteQueue::m_CancelAllIrps(BOOLEAN bCancelFlush)
{
    TfDebugLog(7, "CTfWriteQueue::m_CancelAllIrps - IN");
    PIRP pDone = NULL;
    PIRP pDoneTail = NULL;
    ULONG ulHandedOver = 0;
    m_LockA.m_Acquire();
    m_LockB.m_AcquireAtDpcLevel();
    m_pTimedIrp = NULL;
    m_DisarmTotalTimer();
    // A request the block builder holds right now is ended by it when it puts it back.
    m_ulPurgeSequence++;
    PIRP pIrp;
    while ((pIrp = TfCsqRemoveNextIrpLocked(&m_InFlightCsq.Csq, NULL)) != NULL) {
        ulHandedOver = TfWqAddSaturated(ulHandedOver, (ULONG)pIrp->IoStatus.Information);
        m_LeaveBlock(pIrp, TRUE);
        m_PushIrp(&pDone, &pDoneTail, pIrp);
    }
    while ((pIrp = TfCsqRemoveNextIrpLocked(&m_PendingCsq.Csq, NULL)) != NULL) {
        ulHandedOver = TfWqAddSaturated(ulHandedOver, (ULONG)pIrp->IoStatus.Information);
        m_LeaveBlock(pIrp, TRUE);
        m_PushIrp(&pDone, &pDoneTail, pIrp);
    }
    m_AddDiscard(ulHandedOver);
    m_ulBytesHandedOver = 0;
    m_LockB.m_ReleaseFromDpcLevel();
    m_LockA.m_Release();

    m_CompleteList(pDone, STATUS_CANCELLED, FALSE);
    if (bCancelFlush) {
        m_CancelFlushIrps();
    }
    m_CheckFlushIrp();
    m_ResolveXoffCounterIrp(FALSE, FALSE, TRUE);
    TfDebugLog(7, "CTfWriteQueue::m_CancelAllIrps - OUT (Success)");
}

void CTfWriteQueue::m_FinishCanceledWriteLocked(PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::m_FinishCanceledWriteLocked - IN");
    m_ClearTimedIrp(pIrp);
    // Bytes handed over and not confirmed: their confirmation must not count for later requests.
    m_AddDiscard((ULONG)pIrp->IoStatus.Information);
    m_LeaveBlock(pIrp, TRUE);
    m_StartTotalTimer();
    TfDebugLog(7, "CTfWriteQueue::m_FinishCanceledWriteLocked - OUT (Success)");
}

void CTfWriteQueue::m_CompleteCanceledWrite(PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::m_CompleteCanceledWrite - IN");
    if (KeGetCurrentIrql() > APC_LEVEL) {
        // The mutex cannot be waited for here: the executor finishes the cancellation.
        m_LockB.m_Acquire();
        BOOLEAN bDeferred = TRUE;
        if (!m_bCancelWorkerQueued) {
            bDeferred = m_QueueWorkerLocked(sm_CancelWorker);
            m_bCancelWorkerQueued = bDeferred;
        }
        if (bDeferred) {
            pIrp->Tail.Overlay.DriverContext[2] = m_pDeferredCancels;
            m_pDeferredCancels = pIrp;
            m_LockB.m_Release();
            TfDebugLog(7, "CTfWriteQueue::m_CompleteCanceledWrite - OUT (Success)");
            return;
        }
        // No executor: the block list keeps the accounting right without the mutex.
        m_FinishCanceledWriteLocked(pIrp);
        m_LockB.m_Release();
    } else {
        KeWaitForSingleObject(&m_WriteMutex, Executive, KernelMode, FALSE, NULL);
        m_LockB.m_Acquire();
        m_FinishCanceledWriteLocked(pIrp);
        m_LockB.m_Release();
        KeReleaseMutex(&m_WriteMutex, FALSE);
    }
    m_CompleteIrp(pIrp, STATUS_CANCELLED, 0);
    m_AfterWriteSideChange();
    m_StartIfOwed(&m_bStartAfterCancel);
    TfDebugLog(7, "CTfWriteQueue::m_CompleteCanceledWrite - OUT (Success)");
}

void CTfWriteQueue::m_RunDeferredCancels(BOOLEAN bTakeMutex)
{
    TfDebugLog(7, "CTfWriteQueue::m_RunDeferredCancels - IN");
    if (bTakeMutex) {
        KeWaitForSingleObject(&m_WriteMutex, Executive, KernelMode, FALSE, NULL);
    }
    m_LockB.m_Acquire();
    PIRP pList = m_pDeferredCancels;
    m_pDeferredCancels = NULL;
    m_bCancelWorkerQueued = FALSE;
    for (PIRP pIrp = pList; pIrp != NULL; pIrp = (PIRP)pIrp->Tail.Overlay.DriverContext[2]) {
        m_FinishCanceledWriteLocked(pIrp);
    }
    m_LockB.m_Release();
    if (bTakeMutex) {
        KeReleaseMutex(&m_WriteMutex, FALSE);
    }
    if (pList != NULL) {
        m_CompleteList(pList, STATUS_CANCELLED, FALSE);
        m_AfterWriteSideChange();
    }
    if (bTakeMutex) {
        m_StartIfOwed(&m_bStartAfterCancel);
    }
    TfDebugLog(7, "CTfWriteQueue::m_RunDeferredCancels - OUT (Success)");
}

void CTfWriteQueue::m_StartIfOwed(PBOOLEAN pbOwed)
{
    TfDebugLog(7, "CTfWriteQueue::m_StartIfOwed - IN");
    m_LockB.m_Acquire();
    BOOLEAN bStart = *pbOwed;
    *pbOwed = FALSE;
    m_LockB.m_Release();
    if (bStart) {
        if (KeGetCurrentIrql() == PASSIVE_LEVEL) {
            m_StartNextWrite();
        } else {
            m_ScheduleRetry();
        }
    }
    TfDebugLog(7, "CTfWriteQueue::m_StartIfOwed - OUT (Success)");
}

void CTfWriteQueue::sm_CancelWorker(PVOID pContext, PVOID pArgument)
{
    TfDebugLog(7, "CTfWriteQueue::sm_CancelWorker - IN");
    ((CTfWriteQueue*)pContext)->m_RunDeferredCancels(TRUE);
    TfDebugLog(7, "CTfWriteQueue::sm_CancelWorker - OUT (Success)");
}
