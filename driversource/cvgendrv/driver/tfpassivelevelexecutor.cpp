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
    CTfRoutineLog Log("CTfPassiveLevelExecutor::CTfPassiveLevelExecutor");
    KeInitializeEvent(&m_WorkEvent, SynchronizationEvent, TRUE);
    m_EntryList.m_Init(NonPagedPool);
    Log.m_Success();
}

CTfPassiveLevelExecutor::~CTfPassiveLevelExecutor()
{
    CTfRoutineLog Log("CTfPassiveLevelExecutor::~CTfPassiveLevelExecutor");
    m_DeInit();
    Log.m_Success();
}

BOOLEAN CTfPassiveLevelExecutor::m_Init()
{
    PASSIVE_CODE();
    TfDebugLog(TF_LOG_SETUP, "m_Init IN");
    if (m_bAccepting || m_WorkerThread.m_IsRunning()) {
        TF_ASSERT_AT();
        TfDebugLog(TF_LOG_SETUP, "m_Init OUT");
        return TRUE;
    }

    if (m_pDeviceObject != NULL && IoIsWdmVersionAvailable(1, 0x10)) {
        m_Lock.m_Acquire();
        m_bWorkItemMode = TRUE;
        m_bAccepting = TRUE;
        m_Lock.m_Release();
        TfDebugLog(TF_LOG_SETUP, "m_Init OUT");
        return TRUE;
    }

    // Without work items the calls run on a thread of our own, in queue order.
    m_pDeviceObject = NULL;
    PVOID pWaitObjects[1] = {&m_WorkEvent};
    if (!m_WorkerThread.m_Create(sm_ThreadRoutine, this, pWaitObjects, 1, NULL, 0, m_ulPriority, 0)) {
        TfDebugLog(TF_LOG_SETUP, "m_Init OUT");
        TfDebugLog(TF_LOG_FLOW, "CTfPassiveLevelExecutor::m_Init - OUT - Fail-> worker thread not started");
        return FALSE;
    }
    m_Lock.m_Acquire();
    m_bWorkItemMode = FALSE;
    m_bAccepting = TRUE;
    m_Lock.m_Release();
    TfDebugLog(TF_LOG_SETUP, "m_Init OUT");
    return TRUE;
}

BOOLEAN CTfPassiveLevelExecutor::m_QueueFunction(PTF_EXECUTOR_ROUTINE pRoutine, PVOID pContext, PVOID pArgument,
                                                 PTF_EXECUTOR_ROUTINE pDiscardRoutine)
{
    CTfRoutineLog Log("CTfPassiveLevelExecutor::m_QueueFunction");
    if (pRoutine == NULL) {
        TF_ASSERT_AT();
        if (pDiscardRoutine != NULL) {
            pDiscardRoutine(pContext, pArgument);
        }
        Log.m_Fail("no routine");
        return FALSE;
    }

    PTF_EXECUTOR_ENTRY pEntry = (PTF_EXECUTOR_ENTRY)AllocateTrackedPool(NonPagedPool, sizeof(TF_EXECUTOR_ENTRY));
    if (pEntry == NULL) {
        if (pDiscardRoutine != NULL) {
            pDiscardRoutine(pContext, pArgument);
        }
        Log.m_Fail("no memory for the entry");
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
        Log.m_Fail("not accepting calls");
        return FALSE;
    }

    if (m_bWorkItemMode) {
        m_Lock.m_Release();
        // The gate counts queued work items; m_DeInit closes it and waits for them.
        if (!m_WorkGate.m_Acquire()) {
            TfDropEntry(pEntry);
            Log.m_Fail("closing");
            return FALSE;
        }
        pEntry->pWorkItem = IoAllocateWorkItem(m_pDeviceObject);
        if (pEntry->pWorkItem == NULL) {
            m_WorkGate.m_Release();
            TfDropEntry(pEntry);
            Log.m_Fail("no work item");
            return FALSE;
        }
        IoQueueWorkItem(pEntry->pWorkItem, sm_WorkItemRoutine, DelayedWorkQueue, pEntry);
        Log.m_Success();
        return TRUE;
    }

    if (!m_EntryList.m_AddTail(pEntry)) {
        m_Lock.m_Release();
        TfDropEntry(pEntry);
        Log.m_Fail("no memory for the list node");
        return FALSE;
    }
    KeSetEvent(&m_WorkEvent, 0, FALSE);
    m_Lock.m_Release();
    Log.m_Success();
    return TRUE;
}

void CTfPassiveLevelExecutor::sm_WorkItemRoutine(PDEVICE_OBJECT pDeviceObject, PVOID pContext)
{
    CTfRoutineLog Log("CTfPassiveLevelExecutor::sm_WorkItemRoutine");
    PTF_EXECUTOR_ENTRY pEntry = (PTF_EXECUTOR_ENTRY)pContext;
    CTfReferenceGate* pGate = pEntry->pGate;
    pEntry->pRoutine(pEntry->pContext, pEntry->pArgument);
    IoFreeWorkItem(pEntry->pWorkItem);
    FreeTrackedPool(pEntry);
    Log.m_Success();
    // Last touch of the executor: m_DeInit may return as soon as the gate is free.
    pGate->m_Release();
}

void CTfPassiveLevelExecutor::sm_ThreadRoutine(PVOID pContext)
{
    CTfRoutineLog Log("CTfPassiveLevelExecutor::sm_ThreadRoutine");
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
    Log.m_Success();
}

void CTfPassiveLevelExecutor::m_DeInit()
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfPassiveLevelExecutor::m_DeInit");
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
    Log.m_Success();
}

ULONG CTfPassiveLevelExecutor::m_GetQueuedCount()
{
    CTfRoutineLog Log("CTfPassiveLevelExecutor::m_GetQueuedCount");
    m_Lock.m_Acquire();
    ULONG ulCount = m_EntryList.m_GetCount();
    m_Lock.m_Release();
    Log.m_Success();
    return ulCount;
}
