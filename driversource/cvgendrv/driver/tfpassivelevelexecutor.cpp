// Runs queued calls later at PASSIVE_LEVEL, on work items or on a thread of its own.
#include "tfpassivelevelexecutor.h"

#include "tfdebug.h"
#include "tfmemorytracker.h"

// One queued call.
typedef struct _TF_EXECUTOR_ENTRY {
    PTF_EXECUTOR_ROUTINE pRoutine;
    PVOID pContext;
    PVOID pArgument;
    PIO_WORKITEM pWorkItem;
    CTfReferenceGate* pGate;
    PTF_EXECUTOR_ROUTINE pDiscardRoutine;
} TF_EXECUTOR_ENTRY, *PTF_EXECUTOR_ENTRY;

// Hands a call that will not be made to its discard routine and frees the entry.
static void TfDropEntry(PTF_EXECUTOR_ENTRY pEntry)
{
    if (pEntry->pDiscardRoutine != NULL) {
        pEntry->pDiscardRoutine(pEntry->pContext, pEntry->pArgument);
    }
    FreeTrackedPool(pEntry);
}

CTfPassiveLevelExecutor::CTfPassiveLevelExecutor(PDEVICE_OBJECT pDeviceObject, ULONG ulPriority)
    : m_pDeviceObject(pDeviceObject), m_ulPriority(ulPriority), m_WorkGate(TF_GATE_NO_MAXIMUM),
      m_bWorkItemMode(FALSE), m_bAccepting(FALSE)
{
    TfDebugLog(7, "CTfPassiveLevelExecutor::CTfPassiveLevelExecutor - IN");
    KeInitializeEvent(&m_WorkEvent, SynchronizationEvent, TRUE);
    m_EntryList.m_Init(NonPagedPool);
    TfDebugLog(7, "CTfPassiveLevelExecutor::CTfPassiveLevelExecutor - OUT (Success)");
}

CTfPassiveLevelExecutor::~CTfPassiveLevelExecutor()
{
    TfDebugLog(7, "CTfPassiveLevelExecutor::~CTfPassiveLevelExecutor - IN");
    m_DeInit();
    TfDebugLog(7, "CTfPassiveLevelExecutor::~CTfPassiveLevelExecutor - OUT (Success)");
}

BOOLEAN CTfPassiveLevelExecutor::m_Init()
{
    TfDebugLog(1, "m_Init IN");
    if (m_bAccepting || m_WorkerThread.m_IsRunning()) {
        TF_ASSERT_AT();
        TfDebugLog(1, "m_Init OUT");
        return TRUE;
    }

    if (m_pDeviceObject != NULL && IoIsWdmVersionAvailable(1, 0x10)) {
        m_Lock.m_Acquire();
        m_bWorkItemMode = TRUE;
        m_bAccepting = TRUE;
        m_Lock.m_Release();
        TfDebugLog(1, "m_Init OUT");
        return TRUE;
    }

    // Without work items the calls run on a thread of our own, in queue order.
    m_pDeviceObject = NULL;
    PVOID pWaitObjects[1] = {&m_WorkEvent};
    if (!m_WorkerThread.m_Create(sm_ThreadRoutine, this, pWaitObjects, 1, NULL, 0, m_ulPriority, 0)) {
        TfDebugLog(1, "m_Init OUT");
        TfDebugLog(7, "CTfPassiveLevelExecutor::m_Init - OUT - Fail-> worker thread not started");
        return FALSE;
    }
    m_Lock.m_Acquire();
    m_bWorkItemMode = FALSE;
    m_bAccepting = TRUE;
    m_Lock.m_Release();
    TfDebugLog(1, "m_Init OUT");
    return TRUE;
}

BOOLEAN CTfPassiveLevelExecutor::m_QueueFunction(PTF_EXECUTOR_ROUTINE pRoutine, PVOID pContext, PVOID pArgument,
                                                 PTF_EXECUTOR_ROUTINE pDiscardRoutine)
{
    TfDebugLog(7, "CTfPassiveLevelExecutor::m_QueueFunction - IN");
    if (pRoutine == NULL) {
        TF_ASSERT_AT();
        if (pDiscardRoutine != NULL) {
            pDiscardRoutine(pContext, pArgument);
        }
        TfDebugLog(7, "CTfPassiveLevelExecutor::m_QueueFunction - OUT - Fail-> no routine");
        return FALSE;
    }

    PTF_EXECUTOR_ENTRY pEntry = (PTF_EXECUTOR_ENTRY)AllocateTrackedPool(NonPagedPool, sizeof(TF_EXECUTOR_ENTRY));
    if (pEntry == NULL) {
        if (pDiscardRoutine != NULL) {
            pDiscardRoutine(pContext, pArgument);
        }
        TfDebugLog(7, "CTfPassiveLevelExecutor::m_QueueFunction - OUT - Fail-> no memory for the entry");
        return FALSE;
    }
    pEntry->pRoutine = pRoutine;
    pEntry->pContext = pContext;
    pEntry->pArgument = pArgument;
    pEntry->pWorkItem = NULL;
    pEntry->pGate = &m_WorkGate;
    pEntry->pDiscardRoutine = pDiscardRoutine;

    m_Lock.m_Acquire();
    if (!m_bAccepting) {
        m_Lock.m_Release();
        TfDropEntry(pEntry);
        TfDebugLog(7, "CTfPassiveLevelExecutor::m_QueueFunction - OUT - Fail-> not accepting calls");
        return FALSE;
    }

    if (m_bWorkItemMode) {
        m_Lock.m_Release();
        // The gate counts queued work items; m_DeInit closes it and waits for them.
        if (!m_WorkGate.m_Acquire()) {
            TfDropEntry(pEntry);
            TfDebugLog(7, "CTfPassiveLevelExecutor::m_QueueFunction - OUT - Fail-> closing");
            return FALSE;
        }
        pEntry->pWorkItem = IoAllocateWorkItem(m_pDeviceObject);
        if (pEntry->pWorkItem == NULL) {
            m_WorkGate.m_Release();
            TfDropEntry(pEntry);
            TfDebugLog(7, "CTfPassiveLevelExecutor::m_QueueFunction - OUT - Fail-> no work item");
            return FALSE;
        }
        IoQueueWorkItem(pEntry->pWorkItem, sm_WorkItemRoutine, DelayedWorkQueue, pEntry);
        TfDebugLog(7, "CTfPassiveLevelExecutor::m_QueueFunction - OUT (Success)");
        return TRUE;
    }

    if (!m_EntryList.m_AddTail(pEntry)) {
        m_Lock.m_Release();
        TfDropEntry(pEntry);
        TfDebugLog(7, "CTfPassiveLevelExecutor::m_QueueFunction - OUT - Fail-> no memory for the list node");
        return FALSE;
    }
    KeSetEvent(&m_WorkEvent, 0, FALSE);
    m_Lock.m_Release();
    TfDebugLog(7, "CTfPassiveLevelExecutor::m_QueueFunction - OUT (Success)");
    return TRUE;
}

void CTfPassiveLevelExecutor::sm_WorkItemRoutine(PDEVICE_OBJECT pDeviceObject, PVOID pContext)
{
    TfDebugLog(7, "CTfPassiveLevelExecutor::sm_WorkItemRoutine - IN");
    PTF_EXECUTOR_ENTRY pEntry = (PTF_EXECUTOR_ENTRY)pContext;
    CTfReferenceGate* pGate = pEntry->pGate;
    pEntry->pRoutine(pEntry->pContext, pEntry->pArgument);
    IoFreeWorkItem(pEntry->pWorkItem);
    FreeTrackedPool(pEntry);
    TfDebugLog(7, "CTfPassiveLevelExecutor::sm_WorkItemRoutine - OUT (Success)");
    // Last touch of the executor: m_DeInit may return as soon as the gate is free.
    pGate->m_Release();
}

void CTfPassiveLevelExecutor::sm_ThreadRoutine(PVOID pContext)
{
    TfDebugLog(7, "CTfPassiveLevelExecutor::sm_ThreadRoutine - IN");
    CTfPassiveLevelExecutor* pThis = (CTfPassiveLevelExecutor*)pContext;
    for (;;) {
        pThis->m_Lock.m_Acquire();
        // Once m_DeInit has begun, calls still queued are dropped, not made.
        PTF_EXECUTOR_ENTRY pEntry =
            pThis->m_bAccepting ? (PTF_EXECUTOR_ENTRY)pThis->m_EntryList.m_RemoveHead() : NULL;
        pThis->m_Lock.m_Release();
        if (pEntry == NULL) {
            break;
        }
        pEntry->pRoutine(pEntry->pContext, pEntry->pArgument);
        FreeTrackedPool(pEntry);
    }
    TfDebugLog(7, "CTfPassiveLevelExecutor::sm_ThreadRoutine - OUT (Success)");
}

void CTfPassiveLevelExecutor::m_DeInit()
{
    TfDebugLog(7, "CTfPassiveLevelExecutor::m_DeInit - IN");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        // The waits below are not allowed above PASSIVE_LEVEL.
        TF_ASSERT_AT();
    }

    m_Lock.m_Acquire();
    m_bAccepting = FALSE;
    BOOLEAN bWorkItemMode = m_bWorkItemMode;
    m_Lock.m_Release();

    if (bWorkItemMode) {
        m_WorkGate.m_CloseAndWait(FALSE);
        // The last work item sets the gate's event with the gate's lock held; taking that lock
        // once more makes sure it has left the gate before the owner frees us.
        m_WorkGate.m_GetCount();
    } else {
        // A call that is running finishes; the thread starts no other.
        m_WorkerThread.m_Close();
        for (;;) {
            m_Lock.m_Acquire();
            PTF_EXECUTOR_ENTRY pEntry = (PTF_EXECUTOR_ENTRY)m_EntryList.m_RemoveHead();
            m_Lock.m_Release();
            if (pEntry == NULL) {
                break;
            }
            TfDropEntry(pEntry);
        }
    }

    KeClearEvent(&m_WorkEvent);
    m_Lock.m_Acquire();
    m_EntryList.m_FreeNodes();
    m_Lock.m_Release();
    TfDebugLog(7, "CTfPassiveLevelExecutor::m_DeInit - OUT (Success)");
}

ULONG CTfPassiveLevelExecutor::m_GetQueuedCount()
{
    TfDebugLog(7, "CTfPassiveLevelExecutor::m_GetQueuedCount - IN");
    m_Lock.m_Acquire();
    ULONG ulCount = m_EntryList.m_GetCount();
    m_Lock.m_Release();
    TfDebugLog(7, "CTfPassiveLevelExecutor::m_GetQueuedCount - OUT (Success)");
    return ulCount;
}
