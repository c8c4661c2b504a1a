// Read side of a serial port.
//
// Rules the code below keeps:
//  - A waiting request's byte cursor is its IoStatus.Information. Only the first waiting request
//    (the head) receives data, so bytes reach the requests in the order they arrived.
//  - A request that cannot be answered at once is inserted first and filled afterwards, under the
//    lock, by a delivery pass; nothing is copied into a request that is not yet in the queue.
//  - Timers belong to the head. Whenever the head changes, both timers stop and the total timer
//    starts for the new head; the interval timer runs only once the head holds a byte.
//  - A timer's DPC acts only when the timer is still armed and its deadline has passed, so a
//    firing that was overtaken by a cancel or a re-arm never times out another request.
//  - Requests are completed, and the owner called, with no lock held.
#include "tfreadqueue.h"

#include "tfdebug.h"
#include "tfdebugmanager.h"
#include "tfinterlocked.h"

// Longest due time a timer is armed for (100-ns units, about 14,600 years): longer time-outs
// saturate instead of wrapping to a short one.
#define TF_READ_MAX_DUE_TIME 0x3FFFFFFFFFFFFFFFULL

// Source name and line the zero-length chunk report has always carried.
#define TF_READ_ZERO_CHUNK_SOURCE "tfreadqueuecsq.cpp"
#define TF_READ_ZERO_CHUNK_LINE 648

static ULONGLONG TfReadMillisecondsToDueTime(ULONGLONG ullMilliseconds)
{
    if (ullMilliseconds >= TF_READ_MAX_DUE_TIME / 10000) {
        return TF_READ_MAX_DUE_TIME;
    }
    return ullMilliseconds * 10000;
}

static PIRP TfReadIrpFromEntry(PLIST_ENTRY pEntry)
{
    return CONTAINING_RECORD(pEntry, IRP, Tail.Overlay.ListEntry);
}

// ---------------------------------------------------------------------------------------------
// Construction and tear-down
// ---------------------------------------------------------------------------------------------

CTfReadQueue::CTfReadQueue()
    : m_bAccept(FALSE),
      m_RejectStatus(STATUS_CANCELLED),
      m_pAmountChanged(NULL),
      m_pAmountChangedContext(NULL),
      m_ulIntervalTimeout(0),
      m_ulMultiplierTimeout(0),
      m_ulConstantTimeout(0),
      m_ulStagedIntervalTimeout(0),
      m_ulStagedMultiplierTimeout(0),
      m_ulStagedConstantTimeout(0),
      m_bIntervalArmed(FALSE),
      m_bTotalArmed(FALSE),
      m_ullIntervalDeadline(0),
      m_ullTotalDeadline(0),
      m_ulDataInQueue(0),
      m_ulCurrentLength(0),
      m_Executor(NULL, 0),
      m_bExecutorReady(FALSE),
      m_bClosing(FALSE),
      m_bDeInitDone(FALSE)
{
    CTfRoutineLog Log("CTfReadQueue::CTfReadQueue");
    KeInitializeTimer(&m_IntervalTimer);
    KeInitializeDpc(&m_IntervalDpc, sm_TimeoutDpc, this);
    KeInitializeTimer(&m_TotalTimer);
    KeInitializeDpc(&m_TotalDpc, sm_TimeoutDpc, this);
    // Without a device object the executor runs its own worker thread.
    m_bExecutorReady = m_Executor.m_Init();
    RtlZeroMemory(&m_Csq, sizeof(m_Csq));
    IoCsqInitializeEx(&m_Csq.Csq, sm_CsqInsertIrp, sm_CsqRemoveIrp, sm_CsqPeekNextIrp, sm_CsqAcquireLock,
                      sm_CsqReleaseLock, sm_CsqCompleteCanceledIrp);
    TfCsqSetOwner(&m_Csq, this);
    m_QueueStamp = KeQueryPerformanceCounter(NULL);
    m_CompleteStamp = m_QueueStamp;
    m_DataStamp = m_QueueStamp;
    if (!m_bExecutorReady) {
        Log.m_Fail("no executor thread");
        return;
    }
    Log.m_Success();
}

CTfReadQueue::~CTfReadQueue()
{
    CTfRoutineLog Log("CTfReadQueue::~CTfReadQueue");
    m_DeInit();
    Log.m_Success();
}

void CTfReadQueue::m_DeInit()
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfReadQueue::m_DeInit");
    if (m_bDeInitDone) {
        Log.m_Success();
        return;
    }
    m_bDeInitDone = TRUE;

    m_Lock.m_Acquire();
    m_bClosing = TRUE;
    m_StopTimers();
    m_Lock.m_Release();

    m_CancelAllIrps();

    // A time-out DPC that fired before the timers were stopped finds nothing armed, but it still
    // touches the queue: let it finish before anything is freed.
    KeFlushQueuedDpcs();
    m_Executor.m_DeInit();

    // The owner is not told about data freed at tear-down: it may be going away itself.
    m_Lock.m_Acquire();
    m_FreeAllChunks();
    m_Lock.m_Release();
    m_DeleteDataList();
    m_RequestList.m_FreeNodes();
    Log.m_Success();
}

void CTfReadQueue::m_DeleteDataList()
{
    CTfRoutineLog Log("CTfReadQueue::m_DeleteDataList");
    CTfBuffer* pChunk;
    while ((pChunk = (CTfBuffer*)m_DataList.m_RemoveHead()) != NULL) {
        pChunk->m_Delete();
    }
    m_DataList.m_FreeNodes();
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------
// Owner settings
// ---------------------------------------------------------------------------------------------

void CTfReadQueue::m_SetAccept(BOOLEAN bAccept, NTSTATUS RejectStatus)
{
    CTfRoutineLog Log("CTfReadQueue::m_SetAccept");
    m_Lock.m_Acquire();
    m_bAccept = bAccept ? TRUE : FALSE;
    m_RejectStatus = RejectStatus;
    m_Lock.m_Release();
    Log.m_Success();
}

BOOLEAN CTfReadQueue::m_IsAccepting()
{
    CTfRoutineLog Log("CTfReadQueue::m_IsAccepting");
    m_Lock.m_Acquire();
    BOOLEAN bAccept = m_bAccept;
    m_Lock.m_Release();
    Log.m_Success();
    return bAccept;
}

void CTfReadQueue::m_SetTimeouts(ULONG ulInterval, ULONG ulMultiplier, ULONG ulConstant)
{
    CTfRoutineLog Log("CTfReadQueue::m_SetTimeouts");
    m_Lock.m_Acquire();
    m_ulStagedIntervalTimeout = ulInterval;
    m_ulStagedMultiplierTimeout = ulMultiplier;
    m_ulStagedConstantTimeout = ulConstant;
    if (m_RequestList.m_IsEmpty()) {
        m_ulIntervalTimeout = ulInterval;
        m_ulMultiplierTimeout = ulMultiplier;
        m_ulConstantTimeout = ulConstant;
    }
    m_Lock.m_Release();
    Log.m_Success();
}

void CTfReadQueue::m_SetStagedTimeouts(ULONG ulInterval, ULONG ulMultiplier, ULONG ulConstant)
{
    CTfRoutineLog Log("CTfReadQueue::m_SetStagedTimeouts");
    m_Lock.m_Acquire();
    m_ulStagedIntervalTimeout = ulInterval;
    m_ulStagedMultiplierTimeout = ulMultiplier;
    m_ulStagedConstantTimeout = ulConstant;
    m_Lock.m_Release();
    Log.m_Success();
}

void CTfReadQueue::m_GetLatchedTimeouts(PULONG pulInterval, PULONG pulMultiplier, PULONG pulConstant)
{
    CTfRoutineLog Log("CTfReadQueue::m_GetLatchedTimeouts");
    m_Lock.m_Acquire();
    if (pulInterval != NULL) {
        *pulInterval = m_ulIntervalTimeout;
    }
    if (pulMultiplier != NULL) {
        *pulMultiplier = m_ulMultiplierTimeout;
    }
    if (pulConstant != NULL) {
        *pulConstant = m_ulConstantTimeout;
    }
    m_Lock.m_Release();
    Log.m_Success();
}

void CTfReadQueue::m_SetDataAmountChangedCallback(PTF_READ_AMOUNT_CHANGED_ROUTINE pRoutine, PVOID pContext)
{
    CTfRoutineLog Log("CTfReadQueue::m_SetDataAmountChangedCallback");
    m_Lock.m_Acquire();
    m_pAmountChanged = pRoutine;
    m_pAmountChangedContext = pContext;
    m_Lock.m_Release();
    Log.m_Success();
}

ULONG CTfReadQueue::m_GetDataAmount()
{
    CTfRoutineLog Log("CTfReadQueue::m_GetDataAmount");
    m_Lock.m_Acquire();
    ULONG ulAmount = m_ulDataInQueue;
    m_Lock.m_Release();
    Log.m_Success();
    return ulAmount;
}

ULONG CTfReadQueue::m_GetWaitingCount()
{
    CTfRoutineLog Log("CTfReadQueue::m_GetWaitingCount");
    m_Lock.m_Acquire();
    ULONG ulCount = m_RequestList.m_GetCount();
    m_Lock.m_Release();
    Log.m_Success();
    return ulCount;
}

// ---------------------------------------------------------------------------------------------
// Time-out modes of the latched values
// ---------------------------------------------------------------------------------------------

BOOLEAN CTfReadQueue::m_IsImmediateMode() const
{
    CTfRoutineLog Log("CTfReadQueue::m_IsImmediateMode");
    BOOLEAN bImmediate = m_ulIntervalTimeout == MAXULONG && m_ulMultiplierTimeout == 0 && m_ulConstantTimeout == 0;
    Log.m_Success();
    return bImmediate;
}

BOOLEAN CTfReadQueue::m_IsFirstByteMode() const
{
    CTfRoutineLog Log("CTfReadQueue::m_IsFirstByteMode");
    BOOLEAN bFirstByte = m_ulIntervalTimeout == MAXULONG && m_ulMultiplierTimeout == MAXULONG &&
                         m_ulConstantTimeout != 0 && m_ulConstantTimeout != MAXULONG;
    Log.m_Success();
    return bFirstByte;
}

// (MAXULONG, MAXULONG, 0): a total time-out of 0 ms. A read that cannot be answered in full
// completes at once with STATUS_TIMEOUT and what is buffered (Windows would rather wait).
BOOLEAN CTfReadQueue::m_IsConstantOnlyZeroMode() const
{
    CTfRoutineLog Log("CTfReadQueue::m_IsConstantOnlyZeroMode");
    BOOLEAN bZero = m_ulIntervalTimeout == MAXULONG && m_ulMultiplierTimeout == MAXULONG && m_ulConstantTimeout == 0;
    Log.m_Success();
    return bZero;
}

ULONG CTfReadQueue::sm_RequestLength(PIRP pIrp)
{
    CTfRoutineLog Log("CTfReadQueue::sm_RequestLength");
    // A request without a current stack location has no length to serve.
    if (pIrp->CurrentLocation < 1 || pIrp->CurrentLocation > pIrp->StackCount) {
        Log.m_Fail("no current stack location");
        return 0;
    }
    ULONG ulLength = IoGetCurrentIrpStackLocation(pIrp)->Parameters.Read.Length;
    Log.m_Success();
    return ulLength;
}

// ---------------------------------------------------------------------------------------------
// Timers (lock held)
// ---------------------------------------------------------------------------------------------

void CTfReadQueue::m_StartTotalTimer(PIRP pIrp)
{
    CTfRoutineLog Log("CTfReadQueue::m_StartTotalTimer");
    ULONGLONG ullMilliseconds;
    if (m_IsImmediateMode()) {
        Log.m_Success();
        return;
    }
    if (m_IsFirstByteMode()) {
        ullMilliseconds = m_ulConstantTimeout;
    } else if (m_ulMultiplierTimeout == 0 && m_ulConstantTimeout == 0) {
        Log.m_Success();
        return;
    } else if (m_ulIntervalTimeout == MAXULONG && m_ulMultiplierTimeout == MAXULONG) {
        ullMilliseconds = m_ulConstantTimeout;  // constant only: 0 or MAXULONG
    } else {
        // At most (2^32 - 1)^2 + 2^32 - 1 < 2^64: exact in 64 bits.
        ullMilliseconds = (ULONGLONG)sm_RequestLength(pIrp) * m_ulMultiplierTimeout + m_ulConstantTimeout;
    }
    ULONGLONG ullDue = TfReadMillisecondsToDueTime(ullMilliseconds);
    if (ullDue == 0) {
        ullDue = 1;
    }
    m_ullTotalDeadline = KeQueryInterruptTime() + ullDue;
    m_bTotalArmed = TRUE;
    LARGE_INTEGER DueTime;
    DueTime.QuadPart = -(LONGLONG)ullDue;
    KeSetTimer(&m_TotalTimer, DueTime, &m_TotalDpc);
    Log.m_Success();
}

void CTfReadQueue::m_StartIntervalTimer()
{
    CTfRoutineLog Log("CTfReadQueue::m_StartIntervalTimer");
    if (m_ulIntervalTimeout == 0 || m_IsImmediateMode() || m_IsFirstByteMode() || m_IsConstantOnlyZeroMode()) {
        Log.m_Success();
        return;
    }
    ULONGLONG ullDue = TfReadMillisecondsToDueTime(m_ulIntervalTimeout);
    m_ullIntervalDeadline = KeQueryInterruptTime() + ullDue;
    m_bIntervalArmed = TRUE;
    LARGE_INTEGER DueTime;
    DueTime.QuadPart = -(LONGLONG)ullDue;
    KeSetTimer(&m_IntervalTimer, DueTime, &m_IntervalDpc);
    Log.m_Success();
}

void CTfReadQueue::m_StopTimers()
{
    CTfRoutineLog Log("CTfReadQueue::m_StopTimers");
    // A DPC that is already queued still runs; the cleared flags make it a no-op.
    m_bIntervalArmed = FALSE;
    m_bTotalArmed = FALSE;
    KeCancelTimer(&m_IntervalTimer);
    KeCancelTimer(&m_TotalTimer);
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------
// Copy and delivery (lock held)
// ---------------------------------------------------------------------------------------------

ULONG CTfReadQueue::m_CopyDataToIrp(PIRP pIrp)
{
    CTfRoutineLog Log("CTfReadQueue::m_CopyDataToIrp");
    ULONG ulLength = sm_RequestLength(pIrp);
    ULONG ulCursor = (ULONG)pIrp->IoStatus.Information;
    PUCHAR pucTarget = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    ULONG ulCopied = 0;
    while (ulCursor < ulLength && pucTarget != NULL) {
        CTfBuffer* pChunk = (CTfBuffer*)m_DataList.m_GetHead();
        if (pChunk == NULL) {
            break;
        }
        ULONG ulChunkLength = pChunk->m_GetLength();
        ULONG ulLengthToCopy = ulLength - ulCursor;
        if (ulChunkLength < ulLengthToCopy) {
            ulLengthToCopy = ulChunkLength;
        }
        TfDebugLog(TF_LOG_READ_DATA, "DQL2 ulLengthToCopy=%d m_ulCurrentLength=%d", ulLengthToCopy, ulCursor);
        RtlCopyMemory(pucTarget + ulCursor, pChunk->m_GetBytes(), ulLengthToCopy);
        ulCursor += ulLengthToCopy;
        ulCopied += ulLengthToCopy;
        m_ulDataInQueue -= ulLengthToCopy;
        if (ulLengthToCopy == ulChunkLength) {
            m_DataList.m_RemoveHead();
            pChunk->m_Delete();
        } else if (!pChunk->m_KeepTail(ulChunkLength - ulLengthToCopy, TRUE)) {
            // Cannot fail without copy; never hand the same bytes out twice.
            TF_ASSERT_AT();
            m_DataList.m_RemoveHead();
            m_ulDataInQueue -= ulChunkLength - ulLengthToCopy;
            pChunk->m_Delete();
        }
    }
    pIrp->IoStatus.Information = ulCursor;
    Log.m_Success();
    return ulCopied;
}

void CTfReadQueue::m_DeliverLocked(PLIST_ENTRY pFinished)
{
    CTfRoutineLog Log("CTfReadQueue::m_DeliverLocked");
    for (;;) {
        PIRP pHead = (PIRP)m_RequestList.m_GetHead();
        if (pHead == NULL || m_DataList.m_IsEmpty()) {
            break;
        }
        if (!TfIrpHasCancelRoutine(pHead)) {
            // A cancellation owns the head and waits for the lock; once it has taken the request
            // out it runs the delivery again for the next one.
            break;
        }
        ULONG ulRequestLength = sm_RequestLength(pHead);
        TfDebugLog(TF_LOG_READ_DATA, "DQL1 DL=%d CIRL=%d", m_ulDataInQueue, ulRequestLength);
        ULONG ulCopied = m_CopyDataToIrp(pHead);
        m_ulCurrentLength = (ULONG)pHead->IoStatus.Information;
        BOOLEAN bFinished = m_ulCurrentLength >= ulRequestLength || (m_IsFirstByteMode() && m_ulCurrentLength != 0);
        TfDebugLog(TF_LOG_READ_DATA, "DQL3 m_ulCurrentLength=%d ulCIRL=%d ulDataLength=%d bRet=%d", m_ulCurrentLength,
                   ulRequestLength, m_ulDataInQueue, bFinished);
        if (!bFinished) {
            // Everything buffered went into the head: the interval runs from this byte on.
            if (ulCopied != 0) {
                KeCancelTimer(&m_IntervalTimer);
                m_bIntervalArmed = FALSE;
                m_StartIntervalTimer();
            }
            break;
        }
        // The remove callback stops the head's timers and starts the next head's total timer.
        if (!TfCsqRemoveGivenIrpLocked(&m_Csq.Csq, pHead, NULL)) {
            break;
        }
        InsertTailList(pFinished, &pHead->Tail.Overlay.ListEntry);
    }
    TfDebugLog(TF_LOG_READ_DATA, "DQLEND");
    Log.m_Success();
}

ULONG CTfReadQueue::m_FreeAllChunks()
{
    CTfRoutineLog Log("CTfReadQueue::m_FreeAllChunks");
    ULONG ulAmount = m_ulDataInQueue;
    CTfBuffer* pChunk;
    while ((pChunk = (CTfBuffer*)m_DataList.m_RemoveHead()) != NULL) {
        pChunk->m_Delete();
    }
    m_ulDataInQueue = 0;
    Log.m_Success();
    return ulAmount;
}

// ---------------------------------------------------------------------------------------------
// Completion and owner notification (no lock held)
// ---------------------------------------------------------------------------------------------

void CTfReadQueue::m_NotifyAmountChanged(ULONG ulNewAmount, ULONG ulOldAmount)
{
    CTfRoutineLog Log("CTfReadQueue::m_NotifyAmountChanged");
    if (ulNewAmount == ulOldAmount) {
        Log.m_Success();
        return;
    }
    m_Lock.m_Acquire();
    PTF_READ_AMOUNT_CHANGED_ROUTINE pRoutine = m_pAmountChanged;
    PVOID pContext = m_pAmountChangedContext;
    m_Lock.m_Release();
    if (pRoutine != NULL) {
        pRoutine(pContext, ulNewAmount, ulOldAmount);
    }
    Log.m_Success();
}

void CTfReadQueue::m_CompleteChain(PLIST_ENTRY pChain, NTSTATUS Status, BOOLEAN bDelivered, ULONG ulAmount,
                                  LONG lElapsed)
{
    CTfRoutineLog Log("CTfReadQueue::m_CompleteChain");
    while (!IsListEmpty(pChain)) {
        PIRP pIrp = TfReadIrpFromEntry(RemoveHeadList(pChain));
        ULONG ulInformation = (ULONG)pIrp->IoStatus.Information;
        if (bDelivered) {
            TfDebugLog(TF_LOG_TIMING_READ, "CTfReadQueue::m_DataForPendingIrpArrived D=%dys L=%d DIQ=%d", lElapsed, ulInformation,
                       ulAmount);
            TfDebugLog(TF_LOG_READ_DATA, "CI5 D=%dys L=%d DIQ=%d", lElapsed, ulInformation, ulAmount);
            if (CTfDebugManager::m_IsLevelEnabled(43) && pIrp->AssociatedIrp.SystemBuffer != NULL) {
                CTfDebugManager::m_LogHexDump(g_pTfDebugManager, 43, pIrp->AssociatedIrp.SystemBuffer,
                                              ulInformation);
            }
        } else {
            TfDebugLog(TF_LOG_READ_DATA, "CI7 D=%dys", lElapsed);
        }
        // The first line of a batch carries the interval; the others follow at once.
        lElapsed = 0;
        pIrp->IoStatus.Status = Status;
        IoCompleteRequest(pIrp, IO_SERIAL_INCREMENT);
    }
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------------------------

NTSTATUS CTfReadQueue::m_QueueIrp(PIRP pIrp)
{
    CTfRoutineLog Log("CTfReadQueue::m_QueueIrp");
    if (pIrp == NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("no request");
        return STATUS_INVALID_PARAMETER;
    }
    BOOLEAN bHasStack = pIrp->CurrentLocation >= 1 && pIrp->CurrentLocation <= pIrp->StackCount;
    ULONG ulLength = sm_RequestLength(pIrp);

    m_Lock.m_Acquire();
    LONG lElapsed = CTfDebugManager::sm_GetElapsedMicroseconds(&m_QueueStamp);
    TfDebugLog(TF_LOG_TIMING_READ, "CTfReadQueue::m_QueueIrp Interval D=%dys L=%d DIQ=%d", lElapsed, ulLength, m_ulDataInQueue);
    TfDebugLog(TF_LOG_READ_DATA, "QI D=%dys L=%d DIQ=%d", lElapsed, ulLength, m_ulDataInQueue);
    m_ulIntervalTimeout = m_ulStagedIntervalTimeout;
    m_ulMultiplierTimeout = m_ulStagedMultiplierTimeout;
    m_ulConstantTimeout = m_ulStagedConstantTimeout;

    NTSTATUS Status;
    if (!m_bAccept) {
        Status = m_RejectStatus;
        m_Lock.m_Release();
        pIrp->IoStatus.Status = Status;
        pIrp->IoStatus.Information = 0;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        Log.m_Fail("not accepting reads");
        return Status;
    }
    // Without a system buffer (a device not set up for buffered I/O) there is nowhere to copy to.
    if (!bHasStack || (ulLength != 0 && pIrp->AssociatedIrp.SystemBuffer == NULL)) {
        m_Lock.m_Release();
        pIrp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        pIrp->IoStatus.Information = 0;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        Log.m_Fail("no system buffer");
        return STATUS_INVALID_PARAMETER;
    }
    pIrp->IoStatus.Information = 0;
    ULONG ulOldAmount = m_ulDataInQueue;

    if (m_RequestList.m_IsEmpty()) {
        BOOLEAN bImmediate = m_IsImmediateMode();
        BOOLEAN bFirstByte = m_IsFirstByteMode();
        BOOLEAN bZeroConstant = m_IsConstantOnlyZeroMode();
        if (m_ulDataInQueue >= ulLength || bImmediate || (bFirstByte && m_ulDataInQueue != 0) || bZeroConstant) {
            m_CopyDataToIrp(pIrp);
            ULONG ulInformation = (ULONG)pIrp->IoStatus.Information;
            Status = (ulInformation >= ulLength || !bZeroConstant) ? STATUS_SUCCESS : STATUS_TIMEOUT;
            m_ulCurrentLength = 0;
            m_StopTimers();
            ULONG ulNewAmount = m_ulDataInQueue;
            LONG lCompleteElapsed = CTfDebugManager::sm_GetElapsedMicroseconds(&m_CompleteStamp);
            m_Lock.m_Release();
            TfDebugLog(TF_LOG_READ_DATA, "CI1 D=%dys", lCompleteElapsed);
            TfDebugLog(TF_LOG_TIMING_READ, "CI1 D=%dys L=%d DIQ=%d", lCompleteElapsed, ulInformation, ulNewAmount);
            pIrp->IoStatus.Status = Status;
            IoCompleteRequest(pIrp, IO_SERIAL_INCREMENT);
            m_NotifyAmountChanged(ulNewAmount, ulOldAmount);
            Log.m_Success();
            return Status;
        }
    }
    m_Lock.m_Release();

    // Queued first, filled afterwards: the delivery pass below copies whatever is buffered, so no
    // request holds bytes while it is outside the queue.
    Status = IoCsqInsertIrpEx(&m_Csq.Csq, pIrp, NULL, NULL);
    if (!NT_SUCCESS(Status)) {
        pIrp->IoStatus.Status = Status;
        pIrp->IoStatus.Information = 0;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        Log.m_Fail("cannot queue the request");
        return Status;
    }

    LIST_ENTRY Finished;
    InitializeListHead(&Finished);
    m_Lock.m_Acquire();
    m_DeliverLocked(&Finished);
    ULONG ulNewAmount = m_ulDataInQueue;
    LONG lCompleteElapsed = IsListEmpty(&Finished) ? 0 : CTfDebugManager::sm_GetElapsedMicroseconds(&m_CompleteStamp);
    m_Lock.m_Release();
    m_NotifyAmountChanged(ulNewAmount, ulOldAmount);
    m_CompleteChain(&Finished, STATUS_SUCCESS, TRUE, ulNewAmount, lCompleteElapsed);
    Log.m_Success();
    return STATUS_PENDING;
}

void CTfReadQueue::m_DataForPendingIrpArrived(CTfBuffer* pBuffer)
{
    CTfRoutineLog Log("CTfReadQueue::m_DataForPendingIrpArrived");
    if (pBuffer != NULL && pBuffer->m_GetLength() == 0) {
        DbgPrint("ASSERT at - %s %d\n", TF_READ_ZERO_CHUNK_SOURCE, TF_READ_ZERO_CHUNK_LINE);
        pBuffer->m_Delete();
        Log.m_Fail("empty chunk");
        return;
    }

    m_Lock.m_Acquire();
    ULONG ulOldAmount = m_ulDataInQueue;
    if (pBuffer != NULL) {
        ULONG ulLength = pBuffer->m_GetLength();
        TfDebugLog(TF_LOG_READ_DATA, "DQ D=%dys L=%d+%d=%d", CTfDebugManager::sm_GetElapsedMicroseconds(&m_DataStamp),
                   m_ulDataInQueue, ulLength, m_ulDataInQueue + ulLength);
        if (CTfDebugManager::m_IsLevelEnabled(43)) {
            CTfDebugManager::m_LogHexDump(g_pTfDebugManager, 43, pBuffer->m_GetData(), ulLength);
        }
        // The amount is a 32-bit count; data that would wrap it is dropped like data without a node.
        if (m_ulDataInQueue + ulLength < m_ulDataInQueue || !m_DataList.m_AddTail(pBuffer)) {
            m_Lock.m_Release();
            pBuffer->m_Delete();
            Log.m_Fail("data dropped");
            return;
        }
        m_ulDataInQueue += ulLength;
    }

    LIST_ENTRY Finished;
    InitializeListHead(&Finished);
    m_DeliverLocked(&Finished);
    ULONG ulNewAmount = m_ulDataInQueue;
    LONG lCompleteElapsed = IsListEmpty(&Finished) ? 0 : CTfDebugManager::sm_GetElapsedMicroseconds(&m_CompleteStamp);
    m_Lock.m_Release();

    m_NotifyAmountChanged(ulNewAmount, ulOldAmount);
    m_CompleteChain(&Finished, STATUS_SUCCESS, TRUE, ulNewAmount, lCompleteElapsed);
    Log.m_Success();
}

void CTfReadQueue::m_CancelAllIrps()
{
    CTfRoutineLog Log("CTfReadQueue::m_CancelAllIrps");
    LIST_ENTRY Cancelled;
    InitializeListHead(&Cancelled);
    m_Lock.m_Acquire();
    BOOLEAN bClosing = m_bClosing;
    m_bClosing = TRUE;  // no timer for the heads that come and go below
    m_StopTimers();
    PIRP pIrp;
    while ((pIrp = TfCsqRemoveNextIrpLocked(&m_Csq.Csq, NULL)) != NULL) {
        InsertTailList(&Cancelled, &pIrp->Tail.Overlay.ListEntry);
    }
    m_bClosing = bClosing;
    m_StopTimers();
    m_ulCurrentLength = 0;
    ULONG ulAmount = m_ulDataInQueue;
    LONG lElapsed = IsListEmpty(&Cancelled) ? 0 : CTfDebugManager::sm_GetElapsedMicroseconds(&m_CompleteStamp);
    m_Lock.m_Release();
    // Each keeps in Information the bytes already moved out of the data list into it.
    m_CompleteChain(&Cancelled, STATUS_CANCELLED, FALSE, ulAmount, lElapsed);
    Log.m_Success();
}

void CTfReadQueue::m_ClearData()
{
    CTfRoutineLog Log("CTfReadQueue::m_ClearData");
    m_Lock.m_Acquire();
    ULONG ulOldAmount = m_FreeAllChunks();
    m_Lock.m_Release();
    // The owner releases its receive flow control from this report.
    m_NotifyAmountChanged(0, ulOldAmount);
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------
// Time-outs
// ---------------------------------------------------------------------------------------------

void CTfReadQueue::sm_TimeoutDpc(PKDPC pDpc, PVOID pContext, PVOID pArgument1, PVOID pArgument2)
{
    CTfRoutineLog Log("CTfReadQueue::sm_TimeoutDpc");
    CTfReadQueue* pQueue = (CTfReadQueue*)pContext;
    if (pQueue == NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("no queue");
        return;
    }
    pQueue->m_TimeoutExpired(pDpc == &pQueue->m_IntervalDpc);
    Log.m_Success();
}

void CTfReadQueue::m_TimeoutExpired(BOOLEAN bInterval)
{
    CTfRoutineLog Log("CTfReadQueue::m_TimeoutExpired");
    m_Lock.m_Acquire();
    BOOLEAN bArmed = bInterval ? m_bIntervalArmed : m_bTotalArmed;
    ULONGLONG ullDeadline = bInterval ? m_ullIntervalDeadline : m_ullTotalDeadline;
    if (!bArmed || KeQueryInterruptTime() < ullDeadline) {
        // Cancelled or re-armed after this firing was queued.
        m_Lock.m_Release();
        Log.m_Fail("stale timer");
        return;
    }
    m_StopTimers();
    PIRP pIrp = (PIRP)m_RequestList.m_GetHead();
    // Taking the head out starts the next head's total timer (remove callback).
    if (pIrp == NULL || !TfCsqRemoveGivenIrpLocked(&m_Csq.Csq, pIrp, NULL)) {
        m_Lock.m_Release();
        Log.m_Fail("no request to time out");
        return;
    }
    m_CopyDataToIrp(pIrp);
    ULONG ulInformation = (ULONG)pIrp->IoStatus.Information;
    m_ulCurrentLength = 0;
    LIST_ENTRY Finished;
    InitializeListHead(&Finished);
    m_DeliverLocked(&Finished);
    ULONG ulAmount = m_ulDataInQueue;
    BOOLEAN bNotify = m_pAmountChanged != NULL && ulInformation != 0 && m_bExecutorReady && !m_bClosing;
    LONG lElapsed = CTfDebugManager::sm_GetElapsedMicroseconds(&m_CompleteStamp);
    m_Lock.m_Release();

    TfDebugLog(TF_LOG_READ_DATA, "CI6 D=%dys DIQ=%d", lElapsed, ulAmount);
    pIrp->IoStatus.Status = STATUS_TIMEOUT;
    IoCompleteRequest(pIrp, IO_SERIAL_INCREMENT);
    m_CompleteChain(&Finished, STATUS_SUCCESS, TRUE, ulAmount, 0);
    if (bNotify) {
        m_Executor.m_QueueFunction(sm_DataAmountChangedWorker, this, NULL);
    }
    Log.m_Success();
}

void CTfReadQueue::sm_DataAmountChangedWorker(PVOID pContext, PVOID pArgument)
{
    CTfRoutineLog Log("CTfReadQueue::sm_DataAmountChangedWorker");
    CTfReadQueue* pQueue = (CTfReadQueue*)pContext;
    pQueue->m_Lock.m_Acquire();
    ULONG ulAmount = pQueue->m_ulDataInQueue;
    PTF_READ_AMOUNT_CHANGED_ROUTINE pRoutine = pQueue->m_pAmountChanged;
    PVOID pRoutineContext = pQueue->m_pAmountChangedContext;
    pQueue->m_Lock.m_Release();
    if (pRoutine != NULL) {
        pRoutine(pRoutineContext, ulAmount, ulAmount);
    }
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------
// Cancel-safe queue callbacks
// ---------------------------------------------------------------------------------------------

NTSTATUS CTfReadQueue::sm_CsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pInsertContext)
{
    CTfRoutineLog Log("CTfReadQueue::sm_CsqInsertIrp");
    CTfReadQueue* pQueue = (CTfReadQueue*)TfCsqGetOwner(pCsq);
    if (!pQueue->m_RequestList.m_AddTail(pIrp)) {
        Log.m_Fail("no list node");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (pQueue->m_RequestList.m_GetHead() == pIrp) {
        // A new head: its total time-out starts now.
        pQueue->m_StopTimers();
        pQueue->m_ulCurrentLength = 0;
        if (!pQueue->m_bClosing) {
            pQueue->m_StartTotalTimer(pIrp);
        }
    }
    Log.m_Success();
    return STATUS_PENDING;
}

void CTfReadQueue::sm_CsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    CTfRoutineLog Log("CTfReadQueue::sm_CsqRemoveIrp");
    CTfReadQueue* pQueue = (CTfReadQueue*)TfCsqGetOwner(pCsq);
    BOOLEAN bWasHead = pQueue->m_RequestList.m_GetHead() == pIrp;
    if (!pQueue->m_RequestList.m_Remove(pIrp)) {
        TF_ASSERT_AT();
        Log.m_Fail("request not listed");
        return;
    }
    if (bWasHead) {
        // The timers and the cursor belonged to the head.
        pQueue->m_StopTimers();
        pQueue->m_ulCurrentLength = 0;
        PIRP pNewHead = (PIRP)pQueue->m_RequestList.m_GetHead();
        if (pNewHead != NULL && !pQueue->m_bClosing) {
            pQueue->m_ulCurrentLength = (ULONG)pNewHead->IoStatus.Information;
            pQueue->m_StartTotalTimer(pNewHead);
        }
    }
    Log.m_Success();
}

PIRP CTfReadQueue::sm_CsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pPeekContext)
{
    CTfRoutineLog Log("CTfReadQueue::sm_CsqPeekNextIrp");
    CTfReadQueue* pQueue = (CTfReadQueue*)TfCsqGetOwner(pCsq);
    PIRP pNext;
    if (pIrp == NULL) {
        pNext = (PIRP)pQueue->m_RequestList.m_GetHead();
    } else if (pQueue->m_RequestList.m_Find(pIrp)) {
        pNext = (PIRP)pQueue->m_RequestList.m_GetNext();
    } else {
        pNext = NULL;
    }
    Log.m_Success();
    return pNext;
}

void CTfReadQueue::sm_CsqAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql)
{
    CTfRoutineLog Log("CTfReadQueue::sm_CsqAcquireLock");
    CTfReadQueue* pQueue = (CTfReadQueue*)TfCsqGetOwner(pCsq);
    // The lock record keeps the IRQL it raised from; the library's copy is not needed.
    pQueue->m_Lock.m_Acquire();
    if (pIrql != NULL) {
        *pIrql = DISPATCH_LEVEL;
    }
    Log.m_Success();
}

void CTfReadQueue::sm_CsqReleaseLock(PIO_CSQ pCsq, KIRQL Irql)
{
    CTfRoutineLog Log("CTfReadQueue::sm_CsqReleaseLock");
    CTfReadQueue* pQueue = (CTfReadQueue*)TfCsqGetOwner(pCsq);
    pQueue->m_Lock.m_Release();
    Log.m_Success();
}

void CTfReadQueue::sm_CsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    CTfRoutineLog Log("CTfReadQueue::sm_CsqCompleteCanceledIrp");
    CTfReadQueue* pQueue = (CTfReadQueue*)TfCsqGetOwner(pCsq);
    // Information keeps the bytes already copied into the request.
    pIrp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    // Data that waited while the cancelled head blocked the queue goes to the next request.
    pQueue->m_DataForPendingIrpArrived(NULL);
    Log.m_Success();
}
