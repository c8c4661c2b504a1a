// Write queue: construction, owner settings, accepting writes, block building, time-out and purge.
// The device's confirmation of bytes is in tfwritequeueconfirmation.cpp, the held flush requests in
// tfwritequeueflush.cpp, the XOFF-counter request in tfwritequeuexoff.cpp and the cancel-safe
// queues' callbacks in tfwritequeuecsq.cpp.
//
// Rules the code below keeps:
//  - Locks are taken in the order write mutex, record A, record B. No lock is held while an owner
//    callback runs or a request is completed.
//  - A write is in exactly one place: pending (the request a block took only part of comes first),
//    out with the block builder (m_pOutsideIrp, no lock held), in flight, or on a list of requests
//    being completed. Whoever takes it out of a queue under B owns it.
//  - Blocks are built only at PASSIVE_LEVEL under the write mutex, one at a time and in arrival
//    order; above PASSIVE_LEVEL the start is handed to the executor, or to the retry timer when the
//    executor takes nothing.
//  - A block never holds more bytes than the credit; the credit of a block the owner refused is
//    given back and its bytes go out again.
//  - A request the builder has out of the queues is checked when it goes back: a purge (the purge
//    sequence moved) or its total time-out (the flag) that ran meanwhile ends it there.
//  - Confirmed bytes first pay the bytes of requests that ended before their confirmation (the
//    discard count), then settle the requests in flight, oldest first.
//  - The total timer belongs to one request; its DPC acts only while armed and due, so a firing
//    that was cancelled or re-armed does nothing.
//  - Flush and XOFF-counter requests are held until the write side reaches the state they wait
//    for, and are looked at again (m_AfterWriteSideChange) after the write side changes.
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
    CTfRoutineLog Log("CTfWriteQueue::CTfWriteQueue");
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
        Log.m_Fail("no executor");
        return;
    }
    Log.m_Success();
}

CTfWriteQueue::~CTfWriteQueue()
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfWriteQueue::~CTfWriteQueue");
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
    Log.m_Success();
}

BOOLEAN CTfWriteQueue::m_Init(PDEVICE_OBJECT pDeviceObject)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfWriteQueue::m_Init");
    CTfPassiveLevelExecutor* pExecutor = new (NonPagedPool) CTfPassiveLevelExecutor(pDeviceObject, 0);
    if (pExecutor == NULL) {
        Log.m_Fail("no memory for the executor");
        return FALSE;
    }
    if (!pExecutor->m_Init()) {
        delete pExecutor;
        Log.m_Fail("executor did not start");
        return FALSE;
    }
    m_SetExecutor(pExecutor);
    Log.m_Success();
    return TRUE;
}

void CTfWriteQueue::m_SetExecutor(CTfPassiveLevelExecutor* pExecutor)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfWriteQueue::m_SetExecutor");
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
    Log.m_Success();
}

void CTfWriteQueue::m_SetWriteCallback(PTF_WRITE_QUEUE_WRITE_ROUTINE pRoutine, PVOID pContext)
{
    CTfRoutineLog Log("CTfWriteQueue::m_SetWriteCallback");
    m_LockB.m_Acquire();
    m_pWriteRoutine = pRoutine;
    m_pWriteContext = pContext;
    m_LockB.m_Release();
    Log.m_Success();
}

void CTfWriteQueue::m_SetTransmitterEmptyCallback(PTF_WRITE_QUEUE_TRANSMITTER_EMPTY_ROUTINE pRoutine,
                                                  PVOID pContext)
{
    CTfRoutineLog Log("CTfWriteQueue::m_SetTransmitterEmptyCallback");
    m_LockB.m_Acquire();
    m_pTransmitterEmptyRoutine = pRoutine;
    m_pTransmitterEmptyContext = pContext;
    m_LockB.m_Release();
    Log.m_Success();
}

void CTfWriteQueue::m_SetOutsideHook(PTF_WRITE_QUEUE_OUTSIDE_HOOK pHook, PVOID pContext)
{
    CTfRoutineLog Log("CTfWriteQueue::m_SetOutsideHook");
    m_LockB.m_Acquire();
    m_pOutsideHook = pHook;
    m_pOutsideHookContext = pContext;
    m_LockB.m_Release();
    Log.m_Success();
}

void CTfWriteQueue::m_ClearOwnerCallbacks()
{
    CTfRoutineLog Log("CTfWriteQueue::m_ClearOwnerCallbacks");
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
    Log.m_Success();
}

void CTfWriteQueue::m_SetTotalTimeouts(ULONG ulMultiplier, ULONG ulConstant)
{
    CTfRoutineLog Log("CTfWriteQueue::m_SetTotalTimeouts");
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
    Log.m_Success();
}

void CTfWriteQueue::m_GetTotalTimeouts(PULONG pulMultiplier, PULONG pulConstant)
{
    CTfRoutineLog Log("CTfWriteQueue::m_GetTotalTimeouts");
    m_LockB.m_Acquire();
    if (pulMultiplier != NULL) {
        *pulMultiplier = m_ulTotalMultiplier;
    }
    if (pulConstant != NULL) {
        *pulConstant = m_ulTotalConstant;
    }
    m_LockB.m_Release();
    Log.m_Success();
}

void CTfWriteQueue::m_SetAccept(BOOLEAN bAccept, NTSTATUS RejectStatus)
{
    CTfRoutineLog Log("CTfWriteQueue::m_SetAccept");
    m_LockB.m_Acquire();
    m_bAccept = bAccept;
    m_RejectStatus = RejectStatus;
    m_LockB.m_Release();
    Log.m_Success();
}

BOOLEAN CTfWriteQueue::m_IsAccepting()
{
    CTfRoutineLog Log("CTfWriteQueue::m_IsAccepting");
    m_LockB.m_Acquire();
    BOOLEAN bAccept = m_bAccept;
    m_LockB.m_Release();
    Log.m_Success();
    return bAccept;
}

void CTfWriteQueue::m_ResetForOpen()
{
    CTfRoutineLog Log("CTfWriteQueue::m_ResetForOpen");
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
    Log.m_Success();
}

ULONG CTfWriteQueue::m_GetQueuedByteCount()
{
    CTfRoutineLog Log("CTfWriteQueue::m_GetQueuedByteCount");
    m_LockB.m_Acquire();
    ULONG ulQueued = m_ulQueuedBytes;
    m_LockB.m_Release();
    Log.m_Success();
    return ulQueued;
}

ULONG CTfWriteQueue::m_GetCredit()
{
    CTfRoutineLog Log("CTfWriteQueue::m_GetCredit");
    m_LockB.m_Acquire();
    ULONG ulCredit = m_ulCredit;
    m_LockB.m_Release();
    Log.m_Success();
    return ulCredit;
}

ULONG CTfWriteQueue::m_GetDiscardCount()
{
    CTfRoutineLog Log("CTfWriteQueue::m_GetDiscardCount");
    m_LockB.m_Acquire();
    ULONG ulDiscard = m_ulDiscard;
    m_LockB.m_Release();
    Log.m_Success();
    return ulDiscard;
}

ULONG CTfWriteQueue::m_GetAccumulator()
{
    CTfRoutineLog Log("CTfWriteQueue::m_GetAccumulator");
    m_LockB.m_Acquire();
    ULONG ulAccumulator = m_ulAccumulator;
    m_LockB.m_Release();
    Log.m_Success();
    return ulAccumulator;
}

ULONG CTfWriteQueue::m_GetPendingCount()
{
    CTfRoutineLog Log("CTfWriteQueue::m_GetPendingCount");
    m_LockB.m_Acquire();
    ULONG ulCount = m_PendingList.m_GetCount() + ((m_pPartialIrp != NULL) ? 1 : 0);
    m_LockB.m_Release();
    Log.m_Success();
    return ulCount;
}

ULONG CTfWriteQueue::m_GetInFlightCount()
{
    CTfRoutineLog Log("CTfWriteQueue::m_GetInFlightCount");
    m_LockB.m_Acquire();
    ULONG ulCount = m_InFlightList.m_GetCount();
    m_LockB.m_Release();
    Log.m_Success();
    return ulCount;
}

BOOLEAN CTfWriteQueue::m_IsTotalTimerArmed()
{
    CTfRoutineLog Log("CTfWriteQueue::m_IsTotalTimerArmed");
    m_LockB.m_Acquire();
    BOOLEAN bArmed = m_bTimedArmed;
    m_LockB.m_Release();
    Log.m_Success();
    return bArmed;
}

BOOLEAN CTfWriteQueue::m_IsIdle()
{
    CTfRoutineLog Log("CTfWriteQueue::m_IsIdle");
    m_LockB.m_Acquire();
    BOOLEAN bIdle = m_IsIdleLocked();
    m_LockB.m_Release();
    Log.m_Success();
    return bIdle;
}

// ---------------------------------------------------------------------------------------------
// Helpers with B held
// ---------------------------------------------------------------------------------------------

BOOLEAN CTfWriteQueue::m_IsIdleLocked()
{
    CTfRoutineLog Log("CTfWriteQueue::m_IsIdleLocked");
    BOOLEAN bIdle = m_pPartialIrp == NULL && m_PendingList.m_IsEmpty() && m_InFlightList.m_IsEmpty() &&
                    m_pOutsideIrp == NULL;
    Log.m_Success();
    return bIdle;
}

PIRP CTfWriteQueue::m_NextInList(CTfPointerList* pList, PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::m_NextInList");
    PIRP pNext = NULL;
    if (pIrp == NULL) {
        pNext = (PIRP)pList->m_GetFirst();
    } else if (pList->m_Find(pIrp)) {
        pNext = (PIRP)pList->m_GetNext();
    } else {
        Log.m_Fail("request not listed");
        return NULL;
    }
    Log.m_Success();
    return pNext;
}

ULONG CTfWriteQueue::m_GetLength(PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::m_GetLength");
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    Log.m_Success();
    return (pStack != NULL) ? pStack->Parameters.Write.Length : 0;
}

void CTfWriteQueue::m_AddDiscard(ULONG ulBytes)
{
    CTfRoutineLog Log("CTfWriteQueue::m_AddDiscard");
    m_ulDiscard = TfWqAddSaturated(m_ulDiscard, ulBytes);
    Log.m_Success();
}

void CTfWriteQueue::m_JoinBlock(PIRP pIrp, ULONG ulBytes)
{
    CTfRoutineLog Log("CTfWriteQueue::m_JoinBlock");
    pIrp->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)ulBytes;
    pIrp->Tail.Overlay.DriverContext[1] = this;
    InsertTailList(&m_BlockIrps, &pIrp->Tail.Overlay.ListEntry);
    Log.m_Success();
}

void CTfWriteQueue::m_LeaveBlock(PIRP pIrp, BOOLEAN bDiscarded)
{
    CTfRoutineLog Log("CTfWriteQueue::m_LeaveBlock");
    if (pIrp->Tail.Overlay.DriverContext[1] == NULL) {
        Log.m_Success();
        return;
    }
    RemoveEntryList(&pIrp->Tail.Overlay.ListEntry);
    if (bDiscarded) {
        // Its bytes of the block now count as sent; should the block fail, they were not.
        m_ulBlockDiscarded = TfWqAddSaturated(m_ulBlockDiscarded, (ULONG)(ULONG_PTR)pIrp->Tail.Overlay.DriverContext[0]);
    }
    pIrp->Tail.Overlay.DriverContext[0] = NULL;
    pIrp->Tail.Overlay.DriverContext[1] = NULL;
    Log.m_Success();
}

void CTfWriteQueue::m_ArmTotalTimer(PIRP pIrp, ULONG ulBytes)
{
    CTfRoutineLog Log("CTfWriteQueue::m_ArmTotalTimer");
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
    Log.m_Success();
}

void CTfWriteQueue::m_DisarmTotalTimer()
{
    CTfRoutineLog Log("CTfWriteQueue::m_DisarmTotalTimer");
    if (m_bTimedArmed) {
        // A DPC that already fired still runs; it finds the timer disarmed and does nothing.
        KeCancelTimer(&m_TotalTimer);
        m_bTimedArmed = FALSE;
    }
    Log.m_Success();
}

void CTfWriteQueue::m_ClearTimedIrp(PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::m_ClearTimedIrp");
    if (m_pTimedIrp == pIrp) {
        m_pTimedIrp = NULL;
        m_DisarmTotalTimer();
    }
    Log.m_Success();
}

void CTfWriteQueue::m_StartTotalTimer(PIRP pInserting)
{
    CTfRoutineLog Log("CTfWriteQueue::m_StartTotalTimer");
    if (m_pTimedIrp != NULL || m_bDeleting) {
        Log.m_Success();
        return;
    }
    if (m_ulTotalMultiplier == 0 && m_ulTotalConstant == 0) {
        Log.m_Fail("no total time-out");
        return;
    }
    // The oldest request in flight runs on its unconfirmed bytes; with none in flight the first
    // pending one runs on its unsent bytes. Requests a cancellation owns are on their way out (a
    // request being inserted has no cancel routine yet).
    for (PIRP pIrp = m_NextInList(&m_InFlightList, NULL); pIrp != NULL; pIrp = m_NextInList(&m_InFlightList, pIrp)) {
        if (TfIrpHasCancelRoutine(pIrp)) {
            m_ArmTotalTimer(pIrp, (ULONG)pIrp->IoStatus.Information);
            Log.m_Success();
            return;
        }
    }
    if (m_pPartialIrp != NULL && TfIrpHasCancelRoutine(m_pPartialIrp)) {
        m_ArmTotalTimer(m_pPartialIrp, m_GetLength(m_pPartialIrp) - (ULONG)m_pPartialIrp->IoStatus.Information);
        Log.m_Success();
        return;
    }
    for (PIRP pIrp = m_NextInList(&m_PendingList, NULL); pIrp != NULL; pIrp = m_NextInList(&m_PendingList, pIrp)) {
        if (TfIrpHasCancelRoutine(pIrp) || pIrp == pInserting) {
            m_ArmTotalTimer(pIrp, m_GetLength(pIrp) - (ULONG)pIrp->IoStatus.Information);
            Log.m_Success();
            return;
        }
    }
    Log.m_Fail("no request to time");
}

BOOLEAN CTfWriteQueue::m_QueueWorkerLocked(PTF_EXECUTOR_ROUTINE pRoutine)
{
    CTfRoutineLog Log("CTfWriteQueue::m_QueueWorkerLocked");
    if (m_bDeleting || m_pExecutor == NULL) {
        Log.m_Fail("no executor");
        return FALSE;
    }
    if (!m_pExecutor->m_QueueFunction(pRoutine, this, NULL, NULL)) {
        Log.m_Fail("call dropped");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

void CTfWriteQueue::m_PushIrp(PIRP* ppHead, PIRP* ppTail, PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::m_PushIrp");
    pIrp->Tail.Overlay.DriverContext[2] = NULL;
    if (*ppTail == NULL) {
        *ppHead = pIrp;
    } else {
        (*ppTail)->Tail.Overlay.DriverContext[2] = pIrp;
    }
    *ppTail = pIrp;
    Log.m_Success();
}

void CTfWriteQueue::m_CompleteList(PIRP pList, NTSTATUS Status, BOOLEAN bKeepInformation)
{
    CTfRoutineLog Log("CTfWriteQueue::m_CompleteList");
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
    Log.m_Success();
}

void CTfWriteQueue::m_CompleteIrp(PIRP pIrp, NTSTATUS Status, ULONG_PTR ulInformation)
{
    CTfRoutineLog Log("CTfWriteQueue::m_CompleteIrp");
    pIrp->IoStatus.Status = Status;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    Log.m_Success();
}

void CTfWriteQueue::m_AfterWriteSideChange()
{
    CTfRoutineLog Log("CTfWriteQueue::m_AfterWriteSideChange");
    m_CheckFlushIrp();
    m_ResolveXoffCounterIrp(FALSE, FALSE, FALSE);
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------
// Accepting a write
// ---------------------------------------------------------------------------------------------

// The write dispatch hands a write over. At or below DISPATCH_LEVEL. The caller owns the request
// until it is inserted into the pending queue; from then on whoever removes it under B does (the
// block builder, a confirmation, a time-out, a purge or the cancel-safe queue's cancellation).
NTSTATUS CTfWriteQueue::m_QueueIrp(PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::m_QueueIrp");
    if (pIrp == NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("no request");
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
        Log.m_Fail("no stack location");
        return STATUS_INVALID_PARAMETER;
    }
    ULONG ulLength = pStack->Parameters.Write.Length;
    if (ulLength != 0 && pIrp->AssociatedIrp.SystemBuffer == NULL) {
        m_CompleteIrp(pIrp, STATUS_INVALID_PARAMETER, 0);
        Log.m_Fail("no system buffer");
        return STATUS_INVALID_PARAMETER;
    }

    m_LockB.m_Acquire();
    BOOLEAN bAccept = m_bAccept;
    NTSTATUS RejectStatus = m_RejectStatus;
    m_LockB.m_Release();
    if (!bAccept) {
        m_CompleteIrp(pIrp, RejectStatus, 0);
        Log.m_Fail("not accepting writes");
        return RejectStatus;
    }
    if (ulLength == 0) {
        // Nothing to send, and nothing would ever confirm it.
        m_CompleteIrp(pIrp, STATUS_SUCCESS, 0);
        Log.m_Success();
        return STATUS_SUCCESS;
    }

    NTSTATUS Status = IoCsqInsertIrpEx(&m_PendingCsq.Csq, pIrp, NULL, TF_WQ_INSERT_NEW);
    if (!NT_SUCCESS(Status)) {
        m_CompleteIrp(pIrp, Status, 0);
        Log.m_Fail("request could not be queued");
        return Status;
    }

    // The insertion queues the block start on the executor; without one it starts here.
    m_StartIfOwed(&m_bStartKickFailed);
    Log.m_Success();
    return STATUS_PENDING;
}

// ---------------------------------------------------------------------------------------------
// Building and sending a block
// ---------------------------------------------------------------------------------------------

BOOLEAN CTfWriteQueue::m_StartNextWrite()
{
    CTfRoutineLog Log("CTfWriteQueue::m_StartNextWrite");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        // The mutex cannot be waited for here: start from the executor instead.
        m_LockB.m_Acquire();
        BOOLEAN bQueued = m_QueueWorkerLocked(sm_StartNextWriteWorker);
        m_LockB.m_Release();
        if (!bQueued) {
            m_ScheduleRetry();
        }
        Log.m_Fail("above PASSIVE_LEVEL, deferred");
        return TRUE;
    }
    KeWaitForSingleObject(&m_WriteMutex, Executive, KernelMode, FALSE, NULL);
    if (m_bInWriteCallback) {
        // Bytes confirmed from inside the owner's write callback on this thread: the block being
        // handed over is finished first, then the next one is built.
        m_bRestartAfterCallback = TRUE;
        KeReleaseMutex(&m_WriteMutex, FALSE);
        Log.m_Success();
        return TRUE;
    }

    BOOLEAN bResult = TRUE;
    BOOLEAN bWriteSideChanged = FALSE;
    for (;;) {
        m_bRestartAfterCallback = FALSE;
        if (!m_HandOverBlock(&bResult, &bWriteSideChanged) || !m_bRestartAfterCallback) {
            break;
        }
    }
    KeReleaseMutex(&m_WriteMutex, FALSE);

    if (bWriteSideChanged) {
        m_AfterWriteSideChange();
    }
    if (!bResult) {
        Log.m_Fail("block not handed over");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

// Builds one block and hands it to the owner. TRUE when the owner took it and it was settled;
// FALSE when there was nothing to send (credit or requests), no memory (*pbResult FALSE, a retry is
// scheduled) or the owner refused it (*pbResult FALSE). PASSIVE_LEVEL, write mutex held.
BOOLEAN CTfWriteQueue::m_HandOverBlock(PBOOLEAN pbResult, PBOOLEAN pbWriteSideChanged)
{
    m_LockB.m_Acquire();
    ULONG ulBlock = (m_ulQueuedBytes < m_ulCredit) ? m_ulQueuedBytes : m_ulCredit;
    if (m_bDeleting) {
        ulBlock = 0;
    }
    m_LockB.m_Release();
    if (ulBlock == 0) {
        return FALSE;
    }

    CTfBuffer* pChunk = new (NonPagedPool) CTfBuffer();
    if (pChunk == NULL || !pChunk->m_Allocate(ulBlock)) {
        if (pChunk != NULL) {
            pChunk->m_Delete();
        }
        // The requests stay pending; nothing may come to start them again, so retry shortly.
        m_ScheduleRetry();
        *pbResult = FALSE;
        TfDebugLog(TF_LOG_FLOW, "CTfWriteQueue::m_StartNextWrite - no memory for a block of %u bytes", ulBlock);
        return FALSE;
    }
    ULONG ulCopied = m_FillBlock(pChunk->m_GetBytes(), ulBlock, pbWriteSideChanged);
    if (ulCopied == 0) {
        // Every pending request went away meanwhile.
        pChunk->m_Delete();
        m_LockB.m_Acquire();
        m_StartTotalTimer();
        m_LockB.m_Release();
        return FALSE;
    }
    if (ulCopied < ulBlock) {
        pChunk->m_KeepHead(ulCopied, TRUE);
    }

    *pbResult = m_GiveBlockToOwner(pChunk, ulCopied);
    if (!*pbResult) {
        m_SettleFailedBlock(ulCopied);
        *pbWriteSideChanged = TRUE;
        TfDebugLog(TF_LOG_FLOW, "CTfWriteQueue::m_StartNextWrite - the owner refused a block of %u bytes", ulCopied);
        return FALSE;
    }
    m_LockB.m_Acquire();
    m_SettleBlock();
    m_LockB.m_Release();
    return TRUE;
}

// The block's bytes leave the credit and the total timer starts; then the owner's write callback
// takes the block (and owns it, whatever it answers). The owner may confirm bytes from inside the
// callback on this thread. TRUE when the block went to the device. PASSIVE_LEVEL, write mutex held.
BOOLEAN CTfWriteQueue::m_GiveBlockToOwner(CTfBuffer* pChunk, ULONG ulCopied)
{
    m_LockB.m_Acquire();
    m_ulCredit = (ulCopied < m_ulCredit) ? m_ulCredit - ulCopied : 0;
    m_StartTotalTimer();
    PTF_WRITE_QUEUE_WRITE_ROUTINE pRoutine = m_pWriteRoutine;
    PVOID pContext = m_pWriteContext;
    m_LockB.m_Release();

    BOOLEAN bResult;
    m_bInWriteCallback = TRUE;
    if (pRoutine != NULL) {
        bResult = pRoutine(pContext, pChunk);
    } else {
        pChunk->m_Delete();
        bResult = FALSE;
    }
    m_bInWriteCallback = FALSE;
    return bResult;
}

ULONG CTfWriteQueue::m_FillBlock(PUCHAR pucBlock, ULONG ulBlock, PBOOLEAN pbWriteSideChanged)
{
    CTfRoutineLog Log("CTfWriteQueue::m_FillBlock");
    ULONG ulCopied = 0;
    m_LockB.m_Acquire();
    m_ulBlockDiscarded = 0;
    m_LockB.m_Release();

    while (ulCopied < ulBlock) {
        TF_WQ_TAKEN Taken;
        if (!m_TakeOutForBlock(&Taken)) {
            break;
        }
        // Copied with no lock held: nobody else can reach the request while it is out.
        ULONG ulTake = Taken.ulLength - Taken.ulSent;
        if (ulTake > ulBlock - ulCopied) {
            ulTake = ulBlock - ulCopied;
        }
        RtlCopyMemory(pucBlock + ulCopied, (PUCHAR)Taken.pIrp->AssociatedIrp.SystemBuffer + Taken.ulSent, ulTake);
        ulCopied += ulTake;
        BOOLEAN bWhole = (Taken.ulSent + ulTake == Taken.ulLength);
        if (Taken.pHook != NULL) {
            Taken.pHook(Taken.pHookContext, TF_WQ_OUTSIDE_COPIED, Taken.pIrp);
        }

        if (!m_JoinBlockUnlessEnded(&Taken, ulTake) || !m_PutBackTakenIrp(&Taken, bWhole)) {
            *pbWriteSideChanged = TRUE;
        }
        if (!bWhole) {
            break;
        }
    }
    Log.m_Success();
    return ulCopied;
}

// Takes the next pending request out of the queues for the block being built, and notes under B
// what the builder needs of it. FALSE when there is none, or when the request a block took only
// part of is owned by a cancellation: no later request may go ahead of it, and none can become the
// partly sent one while it holds that place, so the cancellation starts the next block.
// PASSIVE_LEVEL, write mutex held; the caller owns the request taken until it puts it back.
BOOLEAN CTfWriteQueue::m_TakeOutForBlock(TF_WQ_TAKEN* pTaken)
{
    m_LockB.m_Acquire();
    // The request a block took only part of comes first (the peek puts it at the front).
    if (m_pPartialIrp != NULL && !TfIrpHasCancelRoutine(m_pPartialIrp)) {
        m_bStartAfterCancel = TRUE;
        m_LockB.m_Release();
        return FALSE;
    }
    PIRP pIrp = TfCsqRemoveNextIrpLocked(&m_PendingCsq.Csq, NULL);
    if (pIrp == NULL) {
        m_LockB.m_Release();
        return FALSE;
    }
    m_pOutsideIrp = pIrp;
    m_bOutsideTimedOut = FALSE;
    m_ulOutsidePurgeSequence = m_ulPurgeSequence;
    pTaken->pIrp = pIrp;
    pTaken->ulPurgeSequence = m_ulPurgeSequence;
    pTaken->ulLength = m_GetLength(pIrp);
    pTaken->ulSent = (ULONG)pIrp->IoStatus.Information;
    pTaken->pHook = m_pOutsideHook;
    pTaken->pHookContext = m_pOutsideHookContext;
    m_LockB.m_Release();
    return TRUE;
}

// The taken request's ulTake bytes are in the block: it joins the block, unless a purge or its
// total time-out ran while it was out, which ends it here (its bytes are discarded when confirmed).
// FALSE when it ended. Write mutex held; B is taken here.
BOOLEAN CTfWriteQueue::m_JoinBlockUnlessEnded(const TF_WQ_TAKEN* pTaken, ULONG ulTake)
{
    PIRP pIrp = pTaken->pIrp;
    m_LockB.m_Acquire();
    pIrp->IoStatus.Information = pTaken->ulSent + ulTake;
    m_ulBytesHandedOver = TfWqAddSaturated(m_ulBytesHandedOver, ulTake);
    m_JoinBlock(pIrp, ulTake);
    NTSTATUS EndStatus = STATUS_SUCCESS;
    if (m_ulPurgeSequence != pTaken->ulPurgeSequence) {
        EndStatus = STATUS_CANCELLED;  // a purge ran while the request was out of the queue
    } else if (m_bOutsideTimedOut) {
        EndStatus = STATUS_TIMEOUT;
    }
    if (EndStatus == STATUS_SUCCESS) {
        m_LockB.m_Release();
        return TRUE;
    }
    ULONG_PTR ulInformation = (EndStatus == STATUS_TIMEOUT) ? pIrp->IoStatus.Information : 0;
    m_DropTakenIrpLocked(pIrp);
    m_LockB.m_Release();
    m_CompleteIrp(pIrp, EndStatus, ulInformation);
    return FALSE;
}

// Puts the taken request back: in flight when the block took all of it, else at the front of the
// pending queue. FALSE when it ended instead, because the insert callback found that a purge or
// the total time-out caught it while it was out of the queue (or there was no memory): its bytes
// are in the block, and their confirmation must not be credited to later requests.
BOOLEAN CTfWriteQueue::m_PutBackTakenIrp(const TF_WQ_TAKEN* pTaken, BOOLEAN bWhole)
{
    PIRP pIrp = pTaken->pIrp;
    if (pTaken->pHook != NULL) {
        pTaken->pHook(pTaken->pHookContext, TF_WQ_OUTSIDE_CHECKED, pIrp);
    }
    NTSTATUS Status;
    if (bWhole) {
        Status = IoCsqInsertIrpEx(&m_InFlightCsq.Csq, pIrp, NULL, TF_WQ_INSERT_HANDED_OVER);
    } else {
        // The block is full: the rest of this request is taken first next time.
        Status = IoCsqInsertIrpEx(&m_PendingCsq.Csq, pIrp, &m_PendingInsertContext, TF_WQ_INSERT_PARTIAL);
    }
    if (NT_SUCCESS(Status)) {
        return TRUE;
    }
    m_LockB.m_Acquire();
    ULONG_PTR ulInformation = 0;
    if (Status == STATUS_IO_TIMEOUT) {
        Status = STATUS_TIMEOUT;
        ulInformation = pIrp->IoStatus.Information;
    }
    m_DropTakenIrpLocked(pIrp);
    m_LockB.m_Release();
    m_CompleteIrp(pIrp, Status, ulInformation);
    return FALSE;
}

// The taken request ends before it went back: its bytes are discarded when confirmed, it leaves
// the block and the total timer, and the builder has nothing out any more. B held.
void CTfWriteQueue::m_DropTakenIrpLocked(PIRP pIrp)
{
    m_AddDiscard((ULONG)pIrp->IoStatus.Information);
    m_LeaveBlock(pIrp, TRUE);
    m_ClearTimedIrp(pIrp);
    m_pOutsideIrp = NULL;
    m_bOutsideTimedOut = FALSE;
    m_StartTotalTimer();
}

void CTfWriteQueue::m_SettleBlock()
{
    CTfRoutineLog Log("CTfWriteQueue::m_SettleBlock");
    while (!IsListEmpty(&m_BlockIrps)) {
        PLIST_ENTRY pEntry = RemoveHeadList(&m_BlockIrps);
        PIRP pIrp = CONTAINING_RECORD(pEntry, IRP, Tail.Overlay.ListEntry);
        pIrp->Tail.Overlay.DriverContext[0] = NULL;
        pIrp->Tail.Overlay.DriverContext[1] = NULL;
    }
    m_ulBlockDiscarded = 0;
    Log.m_Success();
}

void CTfWriteQueue::m_SettleFailedBlock(ULONG ulBlock)
{
    CTfRoutineLog Log("CTfWriteQueue::m_SettleFailedBlock");
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
    Log.m_Success();
}

void CTfWriteQueue::m_ScheduleRetry()
{
    CTfRoutineLog Log("CTfWriteQueue::m_ScheduleRetry");
    m_LockB.m_Acquire();
    BOOLEAN bStart = !m_bRetryScheduled && !m_bDeleting && m_pExecutor != NULL;
    if (bStart) {
        m_bRetryScheduled = TRUE;
    }
    m_LockB.m_Release();
    if (!bStart) {
        Log.m_Success();
        return;
    }
    if (m_RetryTimerList.m_StartTimer(sm_RetryTimer, this, TF_WRITE_QUEUE_RETRY_TIME) == TF_NO_TIMER) {
        m_LockB.m_Acquire();
        m_bRetryScheduled = FALSE;
        m_LockB.m_Release();
        Log.m_Fail("no retry timer");
        return;
    }
    Log.m_Success();
}

void CTfWriteQueue::sm_RetryTimer(PVOID pContext)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_RetryTimer");
    CTfWriteQueue* pThis = (CTfWriteQueue*)pContext;
    pThis->m_LockB.m_Acquire();
    pThis->m_bRetryScheduled = FALSE;
    pThis->m_QueueWorkerLocked(sm_StartNextWriteWorker);
    pThis->m_LockB.m_Release();
    Log.m_Success();
}

void CTfWriteQueue::sm_StartNextWriteWorker(PVOID pContext, PVOID pArgument)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_StartNextWriteWorker");
    ((CTfWriteQueue*)pContext)->m_StartNextWrite();
    Log.m_Success();
}

void CTfWriteQueue::sm_DataWrittenWorker(PVOID pContext, PVOID pArgument)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_DataWrittenWorker");
    CTfWriteQueue* pThis = (CTfWriteQueue*)pContext;
    pThis->m_LockB.m_Acquire();
    ULONG ulWritten = pThis->m_ulDeferredWritten;
    pThis->m_ulDeferredWritten = 0;
    pThis->m_bDataWrittenWorkerQueued = FALSE;
    pThis->m_LockB.m_Release();
    if (ulWritten != 0) {
        pThis->m_DataWritten(ulWritten);
    }
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------
// Total time-out
// ---------------------------------------------------------------------------------------------

void CTfWriteQueue::sm_TotalTimeoutDpc(PKDPC pDpc, PVOID pContext, PVOID pArgument1, PVOID pArgument2)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_TotalTimeoutDpc");
    ((CTfWriteQueue*)pContext)->m_TotalTimeoutExpired();
    Log.m_Success();
}

// The total timer's DPC: DISPATCH_LEVEL. Owns nothing until it takes the timed request out of its
// queue under A and B; a request the block builder has out is only marked, and ended by the builder.
void CTfWriteQueue::m_TotalTimeoutExpired()
{
    CTfRoutineLog Log("CTfWriteQueue::m_TotalTimeoutExpired");
    PIRP pTimedOut = NULL;
    m_LockA.m_Acquire();
    m_LockB.m_AcquireAtDpcLevel();
    if (!m_bTimedArmed || KeQueryInterruptTime() < m_ullTimedDeadline) {
        // Fired for an arming that was cancelled or replaced.
        m_LockB.m_ReleaseFromDpcLevel();
        m_LockA.m_Release();
        Log.m_Fail("stale timer");
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
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------
// Purge and cancellation
// ---------------------------------------------------------------------------------------------

void CTfWriteQueue::m_CancelAllIrps(BOOLEAN bCancelFlush)
{
    CTfRoutineLog Log("CTfWriteQueue::m_CancelAllIrps");
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
    Log.m_Success();
}

// The accounting of a cancelled write the cancel-safe queue has already taken out. B held; the
// caller owns the request and completes it.
void CTfWriteQueue::m_FinishCanceledWriteLocked(PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::m_FinishCanceledWriteLocked");
    m_ClearTimedIrp(pIrp);
    // Bytes handed over and not confirmed: their confirmation must not count for later requests.
    m_AddDiscard((ULONG)pIrp->IoStatus.Information);
    m_LeaveBlock(pIrp, TRUE);
    m_StartTotalTimer();
    Log.m_Success();
}

// A pending or in-flight write was cancelled: the cancel-safe queue took it out and hands it over,
// so the caller owns it. Any IRQL up to DISPATCH_LEVEL; above APC_LEVEL the write mutex cannot be
// waited for, and the executor finishes the cancellation.
void CTfWriteQueue::m_CompleteCanceledWrite(PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::m_CompleteCanceledWrite");
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
            Log.m_Success();
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
    Log.m_Success();
}

void CTfWriteQueue::m_RunDeferredCancels(BOOLEAN bTakeMutex)
{
    CTfRoutineLog Log("CTfWriteQueue::m_RunDeferredCancels");
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
    Log.m_Success();
}

void CTfWriteQueue::m_StartIfOwed(PBOOLEAN pbOwed)
{
    CTfRoutineLog Log("CTfWriteQueue::m_StartIfOwed");
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
    Log.m_Success();
}

void CTfWriteQueue::sm_CancelWorker(PVOID pContext, PVOID pArgument)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_CancelWorker");
    ((CTfWriteQueue*)pContext)->m_RunDeferredCancels(TRUE);
    Log.m_Success();
}
