// One-shot DPC timers of the framework.
#include "tftimerlist.h"

#include "tfdebug.h"
#include "tfmemorytracker.h"

// Longest relative due time (some 14,000 years): far enough to be "never", near enough that adding
// it to the current time cannot overflow.
#define TF_MAX_DUE_TIME 0x4000000000000000ULL

typedef struct _TF_TIMER_RECORD {
    KTIMER Timer;
    KDPC Dpc;
    CTfTimerList* pList;
    PTF_TIMER_ROUTINE pRoutine;
    PVOID pContext;
    ULONGLONG ullDueTime;  // 100-nanosecond units
    ULONGLONG ullHandle;
    // FALSE once the record left the list while its DPC was queued or running: the DPC frees it.
    BOOLEAN bListed;
} TF_TIMER_RECORD, *PTF_TIMER_RECORD;

CTfTimerList::CTfTimerList() : m_RunningGate(TF_GATE_NO_MAXIMUM), m_ullNextHandle(0)
{
    CTfRoutineLog Log("CTfTimerList::CTfTimerList");
    m_RecordList.m_Init(NonPagedPool);
    Log.m_Success();
}

CTfTimerList::~CTfTimerList()
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfTimerList::~CTfTimerList");
    // Closed first, so a callback that is running cannot start a new timer behind our back.
    m_RunningGate.m_SetOpen(FALSE);
    m_StopAllTimers();
    // Timers whose DPC was already queued, and callbacks that are running, still hold the gate.
    m_RunningGate.m_CloseAndWait(FALSE);
    // The last DPC sets the gate's event with the gate's lock held; wait until it has left it.
    m_RunningGate.m_GetCount();
    m_Lock.m_Acquire();
    m_RecordList.m_FreeNodes();
    m_Lock.m_Release();
    m_RunningGate.m_ClearEvent();
    Log.m_Success();
}

TF_TIMER_HANDLE CTfTimerList::m_StartTimer(PTF_TIMER_ROUTINE pRoutine, PVOID pContext, ULONGLONG ullDueTime)
{
    CTfRoutineLog Log("CTfTimerList::m_StartTimer");
    if (pRoutine == NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("no routine");
        return TF_NO_TIMER;
    }

    PTF_TIMER_RECORD pRecord = (PTF_TIMER_RECORD)AllocateTrackedPool(NonPagedPool, sizeof(TF_TIMER_RECORD));
    if (pRecord == NULL) {
        Log.m_Fail("no memory for the timer");
        return TF_NO_TIMER;
    }
    RtlZeroMemory(pRecord, sizeof(TF_TIMER_RECORD));
    KeInitializeTimer(&pRecord->Timer);
    KeInitializeDpc(&pRecord->Dpc, sm_TimerDpc, pRecord);
    pRecord->pList = this;
    pRecord->pRoutine = pRoutine;
    pRecord->pContext = pContext;
    pRecord->ullDueTime = ullDueTime;

    // Relative due times are negative; 0 would be an absolute time, so the shortest wait is one unit.
    LARGE_INTEGER DueTime;
    if (ullDueTime == 0) {
        DueTime.QuadPart = -1;
    } else if (ullDueTime > TF_MAX_DUE_TIME) {
        DueTime.QuadPart = -(LONGLONG)TF_MAX_DUE_TIME;
    } else {
        DueTime.QuadPart = -(LONGLONG)ullDueTime;
    }

    m_Lock.m_Acquire();
    if (!m_RecordList.m_AddTail(pRecord)) {
        m_Lock.m_Release();
        FreeTrackedPool(pRecord);
        Log.m_Fail("no memory for the list node");
        return TF_NO_TIMER;
    }
    if (!m_RunningGate.m_Acquire()) {
        // The list is being destroyed. The timer was never armed, so no DPC will free the record.
        m_RecordList.m_Remove(pRecord);
        m_Lock.m_Release();
        FreeTrackedPool(pRecord);
        Log.m_Fail("the list is closing");
        return TF_NO_TIMER;
    }
    pRecord->ullHandle = ++m_ullNextHandle;
    pRecord->bListed = TRUE;
    ULONGLONG ullHandle = pRecord->ullHandle;
    // Armed under the lock, so a stop never finds a listed record whose timer is not set yet.
    KeSetTimer(&pRecord->Timer, DueTime, &pRecord->Dpc);
    m_Lock.m_Release();

    Log.m_Success();
    return (TF_TIMER_HANDLE)(ULONG_PTR)ullHandle;
}

void CTfTimerList::m_StopRecordLocked(PTF_TIMER_RECORD pRecord)
{
    CTfRoutineLog Log("CTfTimerList::m_StopRecordLocked");
    m_RecordList.m_Remove(pRecord);
    pRecord->bListed = FALSE;
    if (KeCancelTimer(&pRecord->Timer)) {
        // Still in the timer queue: no DPC will come for it.
        FreeTrackedPool(pRecord);
        m_RunningGate.m_Release();
    }
    // Otherwise the timer has fired: its DPC is queued or running, skips or finishes the callback,
    // and frees the record.
    Log.m_Success();
}

BOOLEAN CTfTimerList::m_StopTimer(TF_TIMER_HANDLE hTimer)
{
    CTfRoutineLog Log("CTfTimerList::m_StopTimer");
    if (hTimer == TF_NO_TIMER) {
        Log.m_Success();
        return TRUE;
    }
    ULONGLONG ullHandle = (ULONGLONG)(ULONG_PTR)hTimer;

    m_Lock.m_Acquire();
    PTF_TIMER_RECORD pFound = NULL;
    for (PTF_TIMER_RECORD pRecord = (PTF_TIMER_RECORD)m_RecordList.m_GetFirst(); pRecord != NULL;
         pRecord = (PTF_TIMER_RECORD)m_RecordList.m_GetNext()) {
        if (pRecord->ullHandle == ullHandle) {
            pFound = pRecord;
            break;
        }
    }
    if (pFound != NULL) {
        m_StopRecordLocked(pFound);
    }
    m_Lock.m_Release();

    Log.m_Success();
    return TRUE;
}

void CTfTimerList::m_StopAllTimers()
{
    CTfRoutineLog Log("CTfTimerList::m_StopAllTimers");
    m_Lock.m_Acquire();
    PTF_TIMER_RECORD pRecord;
    while ((pRecord = (PTF_TIMER_RECORD)m_RecordList.m_GetHead()) != NULL) {
        m_StopRecordLocked(pRecord);
    }
    m_Lock.m_Release();
    Log.m_Success();
}

ULONG CTfTimerList::m_GetTimerCount()
{
    CTfRoutineLog Log("CTfTimerList::m_GetTimerCount");
    m_Lock.m_Acquire();
    ULONG ulCount = m_RecordList.m_GetCount();
    m_Lock.m_Release();
    Log.m_Success();
    return ulCount;
}

void CTfTimerList::sm_TimerDpc(PKDPC pDpc, PVOID pDeferredContext, PVOID pSystemArgument1, PVOID pSystemArgument2)
{
    CTfRoutineLog Log("CTfTimerList::sm_TimerDpc");
    PTF_TIMER_RECORD pRecord = (PTF_TIMER_RECORD)pDeferredContext;
    // The record is freed below; the list outlives every DPC of its records (the gate).
    CTfTimerList* pList = pRecord->pList;

    pList->m_Lock.m_Acquire();
    if (!pRecord->bListed) {
        // Stopped after it fired: no callback.
        pList->m_Lock.m_Release();
        FreeTrackedPool(pRecord);
        Log.m_Fail("timer was stopped");
        pList->m_RunningGate.m_Release();
        return;
    }
    pList->m_Lock.m_Release();

    pRecord->pRoutine(pRecord->pContext);

    pList->m_Lock.m_Acquire();
    // The callback may have stopped its own timer, which unlinked the record and left it to us.
    if (pRecord->bListed) {
        pList->m_RecordList.m_Remove(pRecord);
        pRecord->bListed = FALSE;
    }
    pList->m_Lock.m_Release();
    FreeTrackedPool(pRecord);
    Log.m_Success();
    // Last touch of the list: its destructor may go on once the gate is free.
    pList->m_RunningGate.m_Release();
}
