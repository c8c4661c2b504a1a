// Wait-on-mask queue of a serial port.
//
// Rules the code below keeps:
//  - One lock (m_Lock) guards the wait mask, the events received and the waiting request; it is
//    also the cancel-safe queue's lock, so a cancellation and a completion never both own a request.
//  - At most one request waits. A new one is first checked against the events already recorded,
//    then inserted, then checked again: an event recorded in between finds the request either way.
//  - Events are taken from the record in the same lock hold as the request they are reported to,
//    so no event is reported twice or lost between two requests.
//  - A new wait mask forgets the events received and completes the waiting request with events 0.
//  - Requests are completed with no lock held.
#include "tfcontrolqueue.h"

#include "tfdebug.h"

CTfControlQueue::CTfControlQueue() : m_ulWaitMask(0), m_ulEventsReceived(0)
{
    CTfRoutineLog Log("CTfControlQueue::CTfControlQueue", TF_LOG_CONTROL_QUEUE);
    m_IrpList.m_Init(NonPagedPool);
    RtlZeroMemory(&m_Csq, sizeof(m_Csq));
    TfCsqSetOwner(&m_Csq, this);
    IoCsqInitializeEx(&m_Csq.Csq, sm_CsqInsertIrp, sm_CsqRemoveIrp, sm_CsqPeekNextIrp, sm_CsqAcquireLock,
                      sm_CsqReleaseLock, sm_CsqCompleteCanceledIrp);
    Log.m_Success();
}

CTfControlQueue::~CTfControlQueue()
{
    CTfRoutineLog Log("CTfControlQueue::~CTfControlQueue", TF_LOG_CONTROL_QUEUE);
    m_CancelMaskIrps();
    m_Lock.m_Acquire();
    m_IrpList.m_FreeNodes();
    m_Lock.m_Release();
    Log.m_Success();
}

void CTfControlQueue::sm_CompleteWithEvents(PIRP pIrp, NTSTATUS Status, ULONG ulEvents, ULONG_PTR ulInformation)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    if (ulInformation != 0) {
        if (pIrp->AssociatedIrp.SystemBuffer != NULL &&
            pStack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(ULONG)) {
            *(PULONG)pIrp->AssociatedIrp.SystemBuffer = ulEvents;
        } else {
            // Nowhere to put the event word: report no bytes rather than bytes that were not written.
            ulInformation = 0;
        }
    }
    pIrp->IoStatus.Status = Status;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
}

NTSTATUS CTfControlQueue::m_QueueIrp(PIRP pIrp)
{
    CTfRoutineLog Log("CTfControlQueue::m_QueueIrp", TF_LOG_CONTROL_QUEUE);
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);

    // The dispatch checks the output size; a request from elsewhere must not make us write past it.
    if (pStack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG)) {
        sm_CompleteWithEvents(pIrp, STATUS_BUFFER_TOO_SMALL, 0, 0);
        Log.m_Fail("output buffer too small");
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (pIrp->AssociatedIrp.SystemBuffer == NULL) {
        sm_CompleteWithEvents(pIrp, STATUS_INVALID_PARAMETER, 0, 0);
        Log.m_Fail("no system buffer");
        return STATUS_INVALID_PARAMETER;
    }

    m_Lock.m_Acquire();
    ULONG ulMask = m_ulWaitMask;
    m_Lock.m_Release();
    if (ulMask == 0) {
        sm_CompleteWithEvents(pIrp, STATUS_INVALID_PARAMETER, 0, sizeof(ULONG));
        Log.m_Fail("wait mask is 0");
        return STATUS_INVALID_PARAMETER;
    }

    TfDebugLog(TF_LOG_CONTROL_QUEUE, "CTfControlQueue::m_QueueIrp (m_WaitOnMask) - Queued MaskIrp:0x%X",
               (ULONG)(ULONG_PTR)pIrp);

    if (m_ResolveCurrentEventMask(pIrp)) {
        Log.m_Success();
        return STATUS_SUCCESS;
    }

    NTSTATUS Status = IoCsqInsertIrpEx(&m_Csq.Csq, pIrp, NULL, NULL);
    if (Status != STATUS_PENDING) {
        sm_CompleteWithEvents(pIrp, Status, 0, sizeof(ULONG));
        Log.m_Fail("not queued, status 0x%X", (ULONG)Status);
        return Status;
    }

    // An event recorded between the first resolve and the insertion found no waiting request.
    m_ResolveCurrentEventMask(NULL);
    // The request was marked pending when it was queued, whoever completes it.
    Log.m_Success();
    return STATUS_PENDING;
}

BOOLEAN CTfControlQueue::m_ResolveCurrentEventMask(PIRP pIrp)
{
    CTfRoutineLog Log("CTfControlQueue::m_ResolveCurrentEventMask", TF_LOG_CONTROL_QUEUE);
    m_Lock.m_Acquire();
    if (m_ulEventsReceived == 0 || m_ulWaitMask == 0) {
        m_Lock.m_Release();
        Log.m_Fail("no event or no mask");
        return FALSE;
    }
    ULONG ulReport = m_ulEventsReceived & m_ulWaitMask & TF_REPORTED_EVENTS;
    if (ulReport == 0) {
        m_Lock.m_Release();
        Log.m_Fail("no masked event");
        return FALSE;
    }
    if (pIrp == NULL) {
        // Taken in the same lock hold as the events it reports, so neither can change in between.
        pIrp = TfCsqRemoveNextIrpLocked(&m_Csq.Csq, NULL);
        if (pIrp == NULL) {
            m_Lock.m_Release();
            Log.m_Fail("no waiting request");
            return FALSE;
        }
    }
    m_ulEventsReceived &= ~ulReport;
    ULONG ulEventsReceived = m_ulEventsReceived;
    ULONG ulMask = m_ulWaitMask;
    m_Lock.m_Release();

    TfDebugLog(TF_LOG_CONTROL_QUEUE,
               "CTfControlQueue::m_ResolveCurrentEventMask - ReturnedEvent: 0x%X, EventsReceived:0x%X, CurrentMask:0x%X",
               ulReport, ulEventsReceived, ulMask);
    sm_CompleteWithEvents(pIrp, STATUS_SUCCESS, ulReport, sizeof(ULONG));
    TfDebugLog(TF_LOG_CONTROL_QUEUE, "CTfControlQueue::m_ResolveCurrentEventMask - Completed MaskIrp:0x%X (Reason:Event resolved)",
               (ULONG)(ULONG_PTR)pIrp);
    Log.m_Success();
    return TRUE;
}

void CTfControlQueue::m_SetWaitMask(ULONG ulMask)
{
    CTfRoutineLog Log("CTfControlQueue::m_SetWaitMask", TF_LOG_CONTROL_QUEUE);
    // Requests taken out under the lock are chained through their list entries (ours once taken)
    // and completed after it is released.
    LIST_ENTRY Completed;
    InitializeListHead(&Completed);

    m_Lock.m_Acquire();
    m_ulEventsReceived = 0;
    m_ulWaitMask = ulMask;
    PIRP pIrp;
    while ((pIrp = TfCsqRemoveNextIrpLocked(&m_Csq.Csq, NULL)) != NULL) {
        InsertTailList(&Completed, &pIrp->Tail.Overlay.ListEntry);
    }
    m_Lock.m_Release();

    while (!IsListEmpty(&Completed)) {
        PLIST_ENTRY pEntry = RemoveHeadList(&Completed);
        pIrp = CONTAINING_RECORD(pEntry, IRP, Tail.Overlay.ListEntry);
        sm_CompleteWithEvents(pIrp, STATUS_SUCCESS, 0, sizeof(ULONG));
        TfDebugLog(TF_LOG_CONTROL_QUEUE, "CTfControlQueue::m_SetWaitMask - Completed MaskIrp:0x%X (Reason:New Mask)",
                   (ULONG)(ULONG_PTR)pIrp);
    }
    Log.m_Success();
}

void CTfControlQueue::m_SetCommEventsReceived(ULONG ulEvents)
{
    CTfRoutineLog Log("CTfControlQueue::m_SetCommEventsReceived", TF_LOG_CONTROL_QUEUE);
    m_Lock.m_Acquire();
    m_ulEventsReceived |= ulEvents;
    m_Lock.m_Release();
    Log.m_Success();
}

void CTfControlQueue::m_ClearCommEvents(ULONG ulEvents)
{
    CTfRoutineLog Log("CTfControlQueue::m_ClearCommEvents", TF_LOG_CONTROL_QUEUE);
    m_Lock.m_Acquire();
    m_ulEventsReceived &= ~ulEvents;
    ULONG ulEventsReceived = m_ulEventsReceived;
    ULONG ulMask = m_ulWaitMask;
    m_Lock.m_Release();
    TfDebugLog(TF_LOG_CONTROL_QUEUE, "CTfControlQueue::m_ClearCommEvents - EventsReceived:0x%X, CurrentMask:0x%X",
               ulEventsReceived, ulMask);
    Log.m_Success();
}

BOOLEAN CTfControlQueue::m_IsInWaitMask(ULONG ulEvents)
{
    CTfRoutineLog Log("CTfControlQueue::m_IsInWaitMask", TF_LOG_CONTROL_QUEUE);
    m_Lock.m_Acquire();
    BOOLEAN bIn = ((m_ulWaitMask & ulEvents) == ulEvents) ? TRUE : FALSE;
    m_Lock.m_Release();
    Log.m_Success();
    return bIn;
}

ULONG CTfControlQueue::m_GetWaitMask()
{
    CTfRoutineLog Log("CTfControlQueue::m_GetWaitMask", TF_LOG_CONTROL_QUEUE);
    m_Lock.m_Acquire();
    ULONG ulMask = m_ulWaitMask;
    m_Lock.m_Release();
    TfDebugLog(TF_LOG_CONTROL_QUEUE, "CTfControlQueue::m_GetWaitMask - CurrentMask:0x%X", ulMask);
    Log.m_Success();
    return ulMask;
}

ULONG CTfControlQueue::m_GetEventsReceived()
{
    CTfRoutineLog Log("CTfControlQueue::m_GetEventsReceived", TF_LOG_CONTROL_QUEUE);
    m_Lock.m_Acquire();
    ULONG ulEvents = m_ulEventsReceived;
    m_Lock.m_Release();
    Log.m_Success();
    return ulEvents;
}

void CTfControlQueue::m_CancelMaskIrps()
{
    CTfRoutineLog Log("CTfControlQueue::m_CancelMaskIrps", TF_LOG_CONTROL_QUEUE);
    PIRP pIrp;
    while ((pIrp = IoCsqRemoveNextIrp(&m_Csq.Csq, NULL)) != NULL) {
        sm_CompleteWithEvents(pIrp, STATUS_CANCELLED, 0, 0);
        TfDebugLog(TF_LOG_CONTROL_QUEUE, "CTfControlQueue::m_SetWaitMask - Cancelled MaskIrp:0x%X", (ULONG)(ULONG_PTR)pIrp);
    }
    Log.m_Success();
}

// Cancel-safe queue callbacks; the library calls them with the queue's lock held, except the lock
// callbacks themselves and complete-canceled.

NTSTATUS CTfControlQueue::sm_CsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pInsertContext)
{
    CTfRoutineLog Log("CTfControlQueue::sm_CsqInsertIrp", TF_LOG_CONTROL_QUEUE);
    CTfControlQueue* pThis = (CTfControlQueue*)TfCsqGetOwner(pCsq);
    if (!pThis->m_IrpList.m_IsEmpty()) {
        Log.m_Fail("a wait is already held");
        return STATUS_INVALID_PARAMETER;
    }
    if (pThis->m_ulWaitMask == 0) {
        // The mask was cleared since the caller looked at it.
        Log.m_Fail("wait mask is 0");
        return STATUS_INVALID_PARAMETER;
    }
    if (!pThis->m_IrpList.m_AddTail(pIrp)) {
        Log.m_Fail("no memory for the list node");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoMarkIrpPending(pIrp);
    Log.m_Success();
    return STATUS_PENDING;
}

void CTfControlQueue::sm_CsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    CTfRoutineLog Log("CTfControlQueue::sm_CsqRemoveIrp", TF_LOG_CONTROL_QUEUE);
    CTfControlQueue* pThis = (CTfControlQueue*)TfCsqGetOwner(pCsq);
    if (!pThis->m_IrpList.m_Remove(pIrp)) {
        TF_ASSERT_AT();
        Log.m_Fail("request not listed");
        return;
    }
    Log.m_Success();
}

PIRP CTfControlQueue::sm_CsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pPeekContext)
{
    CTfRoutineLog Log("CTfControlQueue::sm_CsqPeekNextIrp", TF_LOG_CONTROL_QUEUE);
    CTfControlQueue* pThis = (CTfControlQueue*)TfCsqGetOwner(pCsq);
    if (pIrp == NULL) {
        Log.m_Success();
        return (PIRP)pThis->m_IrpList.m_GetFirst();
    }
    if (!pThis->m_IrpList.m_Find(pIrp)) {
        Log.m_Fail("request not listed");
        return NULL;
    }
    Log.m_Success();
    return (PIRP)pThis->m_IrpList.m_GetNext();
}

void CTfControlQueue::sm_CsqAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql)
{
    CTfRoutineLog Log("CTfControlQueue::sm_CsqAcquireLock", TF_LOG_CONTROL_QUEUE);
    CTfControlQueue* pThis = (CTfControlQueue*)TfCsqGetOwner(pCsq);
    // The spin-lock record keeps the IRQL to return to itself.
    *pIrql = KeGetCurrentIrql();
    pThis->m_Lock.m_Acquire();
    Log.m_Success();
}

void CTfControlQueue::sm_CsqReleaseLock(PIO_CSQ pCsq, KIRQL Irql)
{
    CTfRoutineLog Log("CTfControlQueue::sm_CsqReleaseLock", TF_LOG_CONTROL_QUEUE);
    CTfControlQueue* pThis = (CTfControlQueue*)TfCsqGetOwner(pCsq);
    pThis->m_Lock.m_Release();
    Log.m_Success();
}

void CTfControlQueue::sm_CsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp)
{
    CTfRoutineLog Log("CTfControlQueue::sm_CsqCompleteCanceledIrp", TF_LOG_CONTROL_QUEUE);
    sm_CompleteWithEvents(pIrp, STATUS_CANCELLED, 0, 0);
    Log.m_Success();
}
