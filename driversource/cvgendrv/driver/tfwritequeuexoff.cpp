// Write queue: the held flush requests and the XOFF-counter request. Both are kept in cancel-safe
// queues of their own under spin-lock record B, so they can be cancelled while held.
#include "tfwritequeue.h"

#include <ntddser.h>

#include "tfdebug.h"

// Insert answer of the flush queue when no write is pending or in flight (not an error the caller
// sees: the flush then completes at once).
#define TF_WQ_STATUS_WRITE_SIDE_IDLE ((NTSTATUS)0xE0000001L)
// Insert answer of the XOFF-counter queue while another request is still held.
#define TF_WQ_STATUS_XOFF_HELD ((NTSTATUS)0xE0000002L)

// ---------------------------------------------------------------------------------------------
// Flush
// ---------------------------------------------------------------------------------------------

NTSTATUS CTfWriteQueue::m_QueueFlushIrp(PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::m_QueueFlushIrp - IN");
    pIrp->IoStatus.Information = 0;
    // The insertion decides under B whether anything is left to wait for.
    NTSTATUS Status = IoCsqInsertIrpEx(&m_FlushCsq.Csq, pIrp, NULL, NULL);
    if (Status == TF_WQ_STATUS_WRITE_SIDE_IDLE) {
        m_CompleteIrp(pIrp, STATUS_SUCCESS, 0);
        TfDebugLog(7, "CTfWriteQueue::m_QueueFlushIrp - OUT (Success)");
        return STATUS_SUCCESS;
    }
    if (!NT_SUCCESS(Status)) {
        m_CompleteIrp(pIrp, Status, 0);
        TfDebugLog(7, "CTfWriteQueue::m_QueueFlushIrp - OUT - Fail-> request could not be held");
        return Status;
    }
    TfDebugLog(7, "CTfWriteQueue::m_QueueFlushIrp - OUT (Success)");
    return STATUS_PENDING;
}

void CTfWriteQueue::m_CheckFlushIrp()
{
    TfDebugLog(7, "CTfWriteQueue::m_CheckFlushIrp - IN");
    m_LockB.m_Acquire();
    if (m_FlushList.m_IsEmpty() || !m_IsIdleLocked()) {
        m_LockB.m_Release();
        TfDebugLog(7, "CTfWriteQueue::m_CheckFlushIrp - OUT (Success)");
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
            TfDebugLog(7, "CTfWriteQueue::m_CheckFlushIrp - OUT - Fail-> no poll timer");
            return;
        }
        TfDebugLog(7, "CTfWriteQueue::m_CheckFlushIrp - OUT (Success)");
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
    TfDebugLog(7, "CTfWriteQueue::m_CheckFlushIrp - OUT (Success)");
}

void CTfWriteQueue::m_CancelFlushIrps()
{
    TfDebugLog(7, "CTfWriteQueue::m_CancelFlushIrps - IN");
    PIRP pDone = NULL;
    PIRP pDoneTail = NULL;
    m_LockB.m_Acquire();
    PIRP pIrp;
    while ((pIrp = TfCsqRemoveNextIrpLocked(&m_FlushCsq.Csq, NULL)) != NULL) {
        m_PushIrp(&pDone, &pDoneTail, pIrp);
    }
    m_LockB.m_Release();
    m_CompleteList(pDone, STATUS_CANCELLED, FALSE);
    TfDebugLog(7, "CTfWriteQueue::m_CancelFlushIrps - OUT (Success)");
}

ULONG CTfWriteQueue::m_GetFlushCount()
{
    TfDebugLog(7, "CTfWriteQueue::m_GetFlushCount - IN");
    m_LockB.m_Acquire();
    ULONG ulCount = m_FlushList.m_GetCount();
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_GetFlushCount - OUT (Success)");
    return ulCount;
}

void CTfWriteQueue::sm_FlushPollTimer(PVOID pContext)
{
    TfDebugLog(7, "CTfWriteQueue::sm_FlushPollTimer - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)pContext;
    pThis->m_LockB.m_Acquire();
    pThis->m_bFlushPollRunning = FALSE;
    pThis->m_LockB.m_Release();
    pThis->m_CheckFlushIrp();
    TfDebugLog(7, "CTfWriteQueue::sm_FlushPollTimer - OUT (Success)");
}

NTSTATUS CTfWriteQueue::sm_FlushCsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pInsertContext)
{
    TfDebugLog(7, "CTfWriteQueue::sm_FlushCsqInsertIrp - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    if (pThis->m_IsIdleLocked()) {
        TfDebugLog(7, "CTfWriteQueue::sm_FlushCsqInsertIrp - OUT - Fail-> nothing to wait for");
        return TF_WQ_STATUS_WRITE_SIDE_IDLE;
    }
    if (!pThis->m_FlushList.m_AddTail(pIrp)) {
        TfDebugLog(7, "CTfWriteQueue::sm_FlushCsqInsertIrp - OUT - Fail-> no memory for a list node");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    TfDebugLog(7, "CTfWriteQueue::sm_FlushCsqInsertIrp - OUT (Success)");
    return STATUS_PENDING;
}

void CTfWriteQueue::sm_FlushCsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::sm_FlushCsqRemoveIrp - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    if (!pThis->m_FlushList.m_Remove(pIrp)) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CTfWriteQueue::sm_FlushCsqRemoveIrp - OUT - Fail-> request not listed");
        return;
    }
    TfDebugLog(7, "CTfWriteQueue::sm_FlushCsqRemoveIrp - OUT (Success)");
}

PIRP CTfWriteQueue::sm_FlushCsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pPeekContext)
{
    TfDebugLog(7, "CTfWriteQueue::sm_FlushCsqPeekNextIrp - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    PIRP pNext = pThis->m_NextInList(&pThis->m_FlushList, pIrp);
    TfDebugLog(7, "CTfWriteQueue::sm_FlushCsqPeekNextIrp - OUT (Success)");
    return pNext;
}

void CTfWriteQueue::sm_FlushCsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::sm_FlushCsqCompleteCanceledIrp - IN");
    m_CompleteIrp(pIrp, STATUS_CANCELLED, 0);
    TfDebugLog(7, "CTfWriteQueue::sm_FlushCsqCompleteCanceledIrp - OUT (Success)");
}

void CTfWriteQueue::sm_HeldCsqAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql)
{
    TfDebugLog(7, "CTfWriteQueue::sm_HeldCsqAcquireLock - IN");
    ((CTfWriteQueue*)TfCsqGetOwner(pCsq))->m_LockB.m_Acquire();
    *pIrql = DISPATCH_LEVEL;
    TfDebugLog(7, "CTfWriteQueue::sm_HeldCsqAcquireLock - OUT (Success)");
}

void CTfWriteQueue::sm_HeldCsqReleaseLock(PIO_CSQ pCsq, KIRQL Irql)
{
    TfDebugLog(7, "CTfWriteQueue::sm_HeldCsqReleaseLock - IN");
    ((CTfWriteQueue*)TfCsqGetOwner(pCsq))->m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::sm_HeldCsqReleaseLock - OUT (Success)");
}

// ---------------------------------------------------------------------------------------------
// XOFF counter
// ---------------------------------------------------------------------------------------------

void CTfWriteQueue::m_SetXoffCounter(PTF_WRITE_QUEUE_XOFF_SEND_ROUTINE pRoutine, PVOID pContext, ULONG ulTimeout,
                                     ULONG ulCount, UCHAR ucXoffChar)
{
    TfDebugLog(7, "CTfWriteQueue::m_SetXoffCounter - IN");
    m_LockB.m_Acquire();
    m_pStagedXoffRoutine = pRoutine;
    m_pStagedXoffContext = pContext;
    m_ulStagedXoffTimeout = ulTimeout;
    m_ulStagedXoffCount = ulCount;
    m_ucStagedXoffChar = ucXoffChar;
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_SetXoffCounter - OUT (Success)");
}

BOOLEAN CTfWriteQueue::m_IsXoffCounterHeld()
{
    TfDebugLog(7, "CTfWriteQueue::m_IsXoffCounterHeld - IN");
    m_LockB.m_Acquire();
    BOOLEAN bHeld = (m_pXoffIrp != NULL);
    m_LockB.m_Release();
    TfDebugLog(7, "CTfWriteQueue::m_IsXoffCounterHeld - OUT (Success)");
    return bHeld;
}

NTSTATUS CTfWriteQueue::m_QueueXoffCounterIrp(PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::m_QueueXoffCounterIrp - IN");
    pIrp->IoStatus.Information = 0;
    NTSTATUS Status;
    for (;;) {
        // A request held before ends; one being cancelled is gone once its cancellation ran.
        m_ResolveXoffCounterIrp(TRUE, FALSE, FALSE);
        Status = IoCsqInsertIrpEx(&m_XoffCsq.Csq, pIrp, NULL, NULL);
        if (Status != TF_WQ_STATUS_XOFF_HELD) {
            break;
        }
    }
    if (!NT_SUCCESS(Status)) {
        // Never published: answer it here, still as a pending request.
        IoMarkIrpPending(pIrp);
        m_CompleteIrp(pIrp, Status, 0);
        TfDebugLog(7, "CTfWriteQueue::m_QueueXoffCounterIrp - OUT - Fail-> request could not be held");
        return STATUS_PENDING;
    }
    // Marked pending by the insertion, before anyone else could complete it.
    m_ResolveXoffCounterIrp(FALSE, FALSE, FALSE);
    TfDebugLog(7, "CTfWriteQueue::m_QueueXoffCounterIrp - OUT (Success)");
    return STATUS_PENDING;
}

void CTfWriteQueue::m_ResolveXoffCounterIrp(BOOLEAN bMoreWrites, BOOLEAN bTimeout, BOOLEAN bCancel)
{
    TfDebugLog(7, "CTfWriteQueue::m_ResolveXoffCounterIrp - IN");
    m_LockB.m_Acquire();
    PIRP pIrp = m_pXoffIrp;
    if (pIrp == NULL) {
        m_LockB.m_Release();
        TfDebugLog(7, "CTfWriteQueue::m_ResolveXoffCounterIrp - OUT (Success)");
        return;
    }
    NTSTATUS Status = STATUS_PENDING;
    BOOLEAN bSend = FALSE;
    ULONGLONG ullDue = 0;
    ULONG ulSequence = m_ulXoffSequence;
    if (bMoreWrites) {
        Status = STATUS_SERIAL_MORE_WRITES;
    } else if (bCancel) {
        Status = STATUS_CANCELLED;
    } else if (bTimeout) {
        // Only the time-out of this request, once due.
        if (m_bXoffTimerArmed && KeQueryInterruptTime() >= m_ullXoffDeadline) {
            Status = STATUS_SERIAL_COUNTER_TIMEOUT;
        }
    }
    if (Status == STATUS_PENDING) {
        if (m_ulXoffCount == 0) {
            Status = STATUS_SUCCESS;
        } else if (!m_bXoffSendPending && !m_bXoffSent && m_IsIdleLocked()) {
            // The write side is idle: the XOFF goes out now, exactly once, and the time-out runs.
            m_bXoffSendPending = TRUE;
            if (m_ulXoffTimeout != 0) {
                ullDue = TfWqMillisecondsToDueTime(m_ulXoffTimeout);
                m_ullXoffDeadline = KeQueryInterruptTime() + ullDue;
                m_bXoffTimerArmed = TRUE;
            }
            bSend = TRUE;
        }
    }
    if (Status != STATUS_PENDING) {
        // The remove callback clears the request's fields and stops its timer.
        if (!TfCsqRemoveGivenIrpLocked(&m_XoffCsq.Csq, pIrp, NULL)) {
            pIrp = NULL;  // a cancellation owns it
        }
    }
    BOOLEAN bSendHere = FALSE;
    if (bSend) {
        // At PASSIVE_LEVEL from the executor: the owner's send may report bytes written at once.
        bSendHere = !m_QueueWorkerLocked(sm_XoffSendWorker);
    }
    m_LockB.m_Release();

    if (ullDue != 0) {
        TF_TIMER_HANDLE hTimer = m_XoffTimerList.m_StartTimer(sm_XoffCounterTimeout, this, ullDue);
        m_LockB.m_Acquire();
        if (m_pXoffIrp != NULL && m_ulXoffSequence == ulSequence) {
            m_hXoffTimer = hTimer;
            hTimer = TF_NO_TIMER;
        }
        m_LockB.m_Release();
        // The request ended before its timer was recorded.
        m_XoffTimerList.m_StopTimer(hTimer);
    }
    if (bSendHere) {
        m_SendXoffCharacter();
    }
    if (Status != STATUS_PENDING && pIrp != NULL) {
        if (Status == STATUS_CANCELLED) {
            pIrp->Cancel = TRUE;
        }
        m_CompleteIrp(pIrp, Status, 0);
    }
    TfDebugLog(7, "CTfWriteQueue::m_ResolveXoffCounterIrp - OUT (Success)");
}

void CTfWriteQueue::m_XoffCounterBytesReceived(ULONG ulByteCount)
{
    TfDebugLog(7, "CTfWriteQueue::m_XoffCounterBytesReceived - IN");
    m_LockB.m_Acquire();
    // Only data that arrives after the XOFF went out counts.
    if (m_pXoffIrp != NULL && m_bXoffSent) {
        m_ulXoffCount = (ulByteCount < m_ulXoffCount) ? m_ulXoffCount - ulByteCount : 0;
    }
    m_LockB.m_Release();
    m_ResolveXoffCounterIrp(FALSE, FALSE, FALSE);
    TfDebugLog(7, "CTfWriteQueue::m_XoffCounterBytesReceived - OUT (Success)");
}

void CTfWriteQueue::m_SendXoffCharacter()
{
    TfDebugLog(7, "CTfWriteQueue::m_SendXoffCharacter - IN");
    m_LockB.m_Acquire();
    if (m_pXoffIrp == NULL || !m_bXoffSendPending) {
        // The request ended before its XOFF went out.
        m_LockB.m_Release();
        TfDebugLog(7, "CTfWriteQueue::m_SendXoffCharacter - OUT - Fail-> no request waits for it");
        return;
    }
    PTF_WRITE_QUEUE_XOFF_SEND_ROUTINE pRoutine = m_pXoffRoutine;
    PVOID pContext = m_pXoffContext;
    UCHAR ucXoffChar = m_ucXoffChar;
    m_bXoffSendPending = FALSE;
    m_bXoffSent = TRUE;
    m_LockB.m_Release();
    if (pRoutine == NULL || pContext == NULL) {
        TfDebugLog(7, "CTfWriteQueue::m_SendXoffCharacter - OUT - Fail-> no send routine");
        return;
    }
    pRoutine(pContext, ucXoffChar);
    TfDebugLog(7, "CTfWriteQueue::m_SendXoffCharacter - OUT (Success)");
}

void CTfWriteQueue::sm_XoffSendWorker(PVOID pContext, PVOID pArgument)
{
    TfDebugLog(7, "CTfWriteQueue::sm_XoffSendWorker - IN");
    ((CTfWriteQueue*)pContext)->m_SendXoffCharacter();
    TfDebugLog(7, "CTfWriteQueue::sm_XoffSendWorker - OUT (Success)");
}

void CTfWriteQueue::sm_XoffCounterTimeout(PVOID pContext)
{
    TfDebugLog(7, "CTfWriteQueue::sm_XoffCounterTimeout - IN");
    ((CTfWriteQueue*)pContext)->m_ResolveXoffCounterIrp(FALSE, TRUE, FALSE);
    TfDebugLog(7, "CTfWriteQueue::sm_XoffCounterTimeout - OUT (Success)");
}

NTSTATUS CTfWriteQueue::sm_XoffCsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pInsertContext)
{
    TfDebugLog(7, "CTfWriteQueue::sm_XoffCsqInsertIrp - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    if (pThis->m_pXoffIrp != NULL) {
        TfDebugLog(7, "CTfWriteQueue::sm_XoffCsqInsertIrp - OUT - Fail-> another request is held");
        return TF_WQ_STATUS_XOFF_HELD;
    }
    // The request takes the staged values; a later request without fresh ones finds count 0.
    pThis->m_pXoffIrp = pIrp;
    pThis->m_ulXoffSequence++;
    pThis->m_pXoffRoutine = pThis->m_pStagedXoffRoutine;
    pThis->m_pXoffContext = pThis->m_pStagedXoffContext;
    pThis->m_ulXoffTimeout = pThis->m_ulStagedXoffTimeout;
    pThis->m_ulXoffCount = pThis->m_ulStagedXoffCount;
    pThis->m_ucXoffChar = pThis->m_ucStagedXoffChar;
    pThis->m_pStagedXoffRoutine = NULL;
    pThis->m_pStagedXoffContext = NULL;
    pThis->m_ulStagedXoffTimeout = 0;
    pThis->m_ulStagedXoffCount = 0;
    pThis->m_ucStagedXoffChar = 0;
    pThis->m_bXoffSendPending = FALSE;
    pThis->m_bXoffSent = FALSE;
    pThis->m_bXoffTimerArmed = FALSE;
    pThis->m_hXoffTimer = TF_NO_TIMER;
    TfDebugLog(7, "CTfWriteQueue::sm_XoffCsqInsertIrp - OUT (Success)");
    return STATUS_PENDING;
}

void CTfWriteQueue::sm_XoffCsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::sm_XoffCsqRemoveIrp - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    if (pIrp != pThis->m_pXoffIrp) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CTfWriteQueue::sm_XoffCsqRemoveIrp - OUT - Fail-> request not held");
        return;
    }
    // Whichever way the request ends, its values end with it.
    pThis->m_XoffTimerList.m_StopTimer(pThis->m_hXoffTimer);
    pThis->m_hXoffTimer = TF_NO_TIMER;
    pThis->m_pXoffIrp = NULL;
    pThis->m_pXoffRoutine = NULL;
    pThis->m_pXoffContext = NULL;
    pThis->m_ulXoffTimeout = 0;
    pThis->m_ulXoffCount = 0;
    pThis->m_ucXoffChar = 0;
    pThis->m_bXoffSendPending = FALSE;
    pThis->m_bXoffSent = FALSE;
    pThis->m_bXoffTimerArmed = FALSE;
    TfDebugLog(7, "CTfWriteQueue::sm_XoffCsqRemoveIrp - OUT (Success)");
}

PIRP CTfWriteQueue::sm_XoffCsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pPeekContext)
{
    TfDebugLog(7, "CTfWriteQueue::sm_XoffCsqPeekNextIrp - IN");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    PIRP pNext = (pIrp == NULL) ? pThis->m_pXoffIrp : NULL;
    TfDebugLog(7, "CTfWriteQueue::sm_XoffCsqPeekNextIrp - OUT (Success)");
    return pNext;
}

void CTfWriteQueue::sm_XoffCsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    TfDebugLog(7, "CTfWriteQueue::sm_XoffCsqCompleteCanceledIrp - IN");
    m_CompleteIrp(pIrp, STATUS_CANCELLED, 0);
    TfDebugLog(7, "CTfWriteQueue::sm_XoffCsqCompleteCanceledIrp - OUT (Success)");
}
