// Write queue: the XOFF-counter request. It is held in a cancel-safe queue of its own under
// spin-lock record B, so it can be cancelled while held.
//
// Rules the code below keeps:
//  - At most one request is held. A new one, or a new write, ends the held one with
//    STATUS_SERIAL_MORE_WRITES; a purge ends it with STATUS_CANCELLED.
//  - Its states: waiting for the write side to go idle; XOFF being sent (m_bXoffSendPending); XOFF
//    sent (m_bXoffSent), counting received bytes down. Only bytes received after the XOFF went out
//    count, and the XOFF goes out exactly once per request.
//  - Every decision is made in m_ResolveXoffCounterIrp under B: the end of the count
//    (STATUS_SUCCESS), its time-out once due (STATUS_SERIAL_COUNTER_TIMEOUT), more writes or a
//    cancel. The request is taken out of its queue in the same lock hold, and completed after.
//  - The time-out runs from the moment the XOFF is sent. A timer started for a request that ended
//    meanwhile (the sequence number moved) is stopped, never recorded.
//  - The XOFF is sent, and requests completed, with no lock held; the send runs at PASSIVE_LEVEL
//    from the executor, since the owner may report bytes written at once.
#include "tfwritequeue.h"

#include <ntddser.h>

#include "tfdebug.h"

// Insert answer of the XOFF-counter queue while another request is still held.
#define TF_WQ_STATUS_XOFF_HELD ((NTSTATUS)0xE0000002L)

// ---------------------------------------------------------------------------------------------
// XOFF counter
// ---------------------------------------------------------------------------------------------

void CTfWriteQueue::m_SetXoffCounter(PTF_WRITE_QUEUE_XOFF_SEND_ROUTINE pRoutine, PVOID pContext, ULONG ulTimeout,
                                     ULONG ulCount, UCHAR ucXoffChar)
{
    CTfRoutineLog Log("CTfWriteQueue::m_SetXoffCounter");
    m_LockB.m_Acquire();
    m_pStagedXoffRoutine = pRoutine;
    m_pStagedXoffContext = pContext;
    m_ulStagedXoffTimeout = ulTimeout;
    m_ulStagedXoffCount = ulCount;
    m_ucStagedXoffChar = ucXoffChar;
    m_LockB.m_Release();
    Log.m_Success();
}

BOOLEAN CTfWriteQueue::m_IsXoffCounterHeld()
{
    CTfRoutineLog Log("CTfWriteQueue::m_IsXoffCounterHeld");
    m_LockB.m_Acquire();
    BOOLEAN bHeld = (m_pXoffIrp != NULL);
    m_LockB.m_Release();
    Log.m_Success();
    return bHeld;
}

NTSTATUS CTfWriteQueue::m_QueueXoffCounterIrp(PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::m_QueueXoffCounterIrp");
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
        Log.m_Fail("request could not be held");
        return STATUS_PENDING;
    }
    // Marked pending by the insertion, before anyone else could complete it.
    m_ResolveXoffCounterIrp(FALSE, FALSE, FALSE);
    Log.m_Success();
    return STATUS_PENDING;
}

void CTfWriteQueue::m_ResolveXoffCounterIrp(BOOLEAN bMoreWrites, BOOLEAN bTimeout, BOOLEAN bCancel)
{
    CTfRoutineLog Log("CTfWriteQueue::m_ResolveXoffCounterIrp");
    m_LockB.m_Acquire();
    PIRP pIrp = m_pXoffIrp;
    if (pIrp == NULL) {
        m_LockB.m_Release();
        Log.m_Success();
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
    Log.m_Success();
}

void CTfWriteQueue::m_XoffCounterBytesReceived(ULONG ulByteCount)
{
    CTfRoutineLog Log("CTfWriteQueue::m_XoffCounterBytesReceived");
    m_LockB.m_Acquire();
    // Only data that arrives after the XOFF went out counts.
    if (m_pXoffIrp != NULL && m_bXoffSent) {
        m_ulXoffCount = (ulByteCount < m_ulXoffCount) ? m_ulXoffCount - ulByteCount : 0;
    }
    m_LockB.m_Release();
    m_ResolveXoffCounterIrp(FALSE, FALSE, FALSE);
    Log.m_Success();
}

void CTfWriteQueue::m_SendXoffCharacter()
{
    CTfRoutineLog Log("CTfWriteQueue::m_SendXoffCharacter");
    m_LockB.m_Acquire();
    if (m_pXoffIrp == NULL || !m_bXoffSendPending) {
        // The request ended before its XOFF went out.
        m_LockB.m_Release();
        Log.m_Fail("no request waits for it");
        return;
    }
    PTF_WRITE_QUEUE_XOFF_SEND_ROUTINE pRoutine = m_pXoffRoutine;
    PVOID pContext = m_pXoffContext;
    UCHAR ucXoffChar = m_ucXoffChar;
    m_bXoffSendPending = FALSE;
    m_bXoffSent = TRUE;
    m_LockB.m_Release();
    if (pRoutine == NULL || pContext == NULL) {
        Log.m_Fail("no send routine");
        return;
    }
    pRoutine(pContext, ucXoffChar);
    Log.m_Success();
}

void CTfWriteQueue::sm_XoffSendWorker(PVOID pContext, PVOID pArgument)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_XoffSendWorker");
    ((CTfWriteQueue*)pContext)->m_SendXoffCharacter();
    Log.m_Success();
}

void CTfWriteQueue::sm_XoffCounterTimeout(PVOID pContext)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_XoffCounterTimeout");
    ((CTfWriteQueue*)pContext)->m_ResolveXoffCounterIrp(FALSE, TRUE, FALSE);
    Log.m_Success();
}

NTSTATUS CTfWriteQueue::sm_XoffCsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pInsertContext)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_XoffCsqInsertIrp");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    if (pThis->m_pXoffIrp != NULL) {
        Log.m_Fail("another request is held");
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
    Log.m_Success();
    return STATUS_PENDING;
}

void CTfWriteQueue::sm_XoffCsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_XoffCsqRemoveIrp");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    if (pIrp != pThis->m_pXoffIrp) {
        TF_ASSERT_AT();
        Log.m_Fail("request not held");
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
    Log.m_Success();
}

PIRP CTfWriteQueue::sm_XoffCsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pPeekContext)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_XoffCsqPeekNextIrp");
    CTfWriteQueue* pThis = (CTfWriteQueue*)TfCsqGetOwner(pCsq);
    PIRP pNext = (pIrp == NULL) ? pThis->m_pXoffIrp : NULL;
    Log.m_Success();
    return pNext;
}

void CTfWriteQueue::sm_XoffCsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    CTfRoutineLog Log("CTfWriteQueue::sm_XoffCsqCompleteCanceledIrp");
    m_CompleteIrp(pIrp, STATUS_CANCELLED, 0);
    Log.m_Success();
}
