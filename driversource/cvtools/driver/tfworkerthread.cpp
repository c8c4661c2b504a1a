// Worker thread on a system thread of its own.
#include "tfworkerthread.h"

#include "tfdebug.h"
#include "tfinterlocked.h"
#include "tfmemorytracker.h"

CTfWorkerThread::CTfWorkerThread()
    : m_pRoutine(NULL), m_pContext(NULL), m_lStop(0), m_hThread(NULL), m_pThreadObject(NULL),
      m_ppWaitObjects(NULL), m_ulWaitCount(0), m_ulFirstRun(0), m_ulPriority(0), m_ulIrql(0)
{
    CTfRoutineLog Log("CTfWorkerThread::CTfWorkerThread");
    m_Timeout.QuadPart = 0;
    RtlZeroMemory(m_WaitBlocks, sizeof(m_WaitBlocks));
    m_Reset();
    Log.m_Success();
}

CTfWorkerThread::~CTfWorkerThread()
{
    CTfRoutineLog Log("CTfWorkerThread::~CTfWorkerThread");
    m_Close();
    m_Reset();
    Log.m_Success();
}

void CTfWorkerThread::m_Reset()
{
    CTfRoutineLog Log("CTfWorkerThread::m_Reset");
    if (m_hThread != NULL) {
        // The thread still waits on the array: it must be closed first.
        TF_ASSERT_AT();
        Log.m_Fail("thread still running");
        return;
    }
    m_pRoutine = NULL;
    m_pContext = NULL;
    m_lStop = 0;
    m_StopEvent.m_Clear();
    m_StoppedEvent.m_Clear();
    if (m_ppWaitObjects != NULL) {
        FreeTrackedPool(m_ppWaitObjects);
        m_ppWaitObjects = NULL;
    }
    m_ulWaitCount = 0;
    m_pThreadObject = NULL;
    m_Timeout.QuadPart = 0;
    m_ulFirstRun = 0;
    m_ulPriority = 0;
    m_ulIrql = 0;
    Log.m_Success();
}

BOOLEAN CTfWorkerThread::m_Create(PTF_WORKER_ROUTINE pRoutine, PVOID pContext, PVOID* ppObjects,
                                  ULONG ulCount, PLARGE_INTEGER pTimeout, ULONG ulFirstRun,
                                  ULONG ulPriority, ULONG ulIrql)
{
    PASSIVE_CODE();
    TfDebugLog(TF_LOG_BASIC, "m_Create IN");
    if (pRoutine == NULL || (ppObjects != NULL && ulCount == 0) || (ulCount != 0 && ppObjects == NULL) ||
        ulCount > TF_WORKER_MAX_OBJECTS || ulPriority >= MAXIMUM_PRIORITY || ulIrql >= 32) {
        TF_ASSERT_AT();
        TfDebugLog(TF_LOG_BASIC, "m_Create OUT - Fail-> invalid argument");
        return FALSE;
    }

    if (m_hThread != NULL) {
        m_Close();
    }
    m_Reset();

    m_pRoutine = pRoutine;
    m_pContext = pContext;
    m_ulFirstRun = ulFirstRun;
    m_ulPriority = ulPriority;
    m_ulIrql = ulIrql;

    m_ppWaitObjects = (PVOID*)AllocateTrackedPool(NonPagedPool, (ulCount + 1) * sizeof(PVOID));
    if (m_ppWaitObjects == NULL) {
        m_Reset();
        TfDebugLog(TF_LOG_BASIC, "m_Create OUT - Fail-> no memory for the wait array");
        return FALSE;
    }
    for (ULONG i = 0; i < ulCount; i++) {
        m_ppWaitObjects[i] = ppObjects[i];
    }
    m_ppWaitObjects[ulCount] = m_StopEvent.m_GetEvent();
    m_ulWaitCount = ulCount + 1;
    m_Timeout.QuadPart = 0;
    if (pTimeout != NULL) {
        // Relative only; a positive value would be an absolute time.
        m_Timeout.QuadPart = (pTimeout->QuadPart > 0) ? -pTimeout->QuadPart : pTimeout->QuadPart;
    }

    OBJECT_ATTRIBUTES ObjectAttributes;
    InitializeObjectAttributes(&ObjectAttributes, NULL, OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE hThread = NULL;
    NTSTATUS Status = PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, &ObjectAttributes, NULL, NULL,
                                           sm_ThreadRoutine, this);
    if (!NT_SUCCESS(Status)) {
        m_Reset();
        TfDebugLog(TF_LOG_BASIC, "m_Create OUT - Fail-> PsCreateSystemThread 0x%X", (ULONG)Status);
        return FALSE;
    }

    PVOID pThreadObject = NULL;
    Status = ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &pThreadObject,
                                       NULL);
    if (!NT_SUCCESS(Status)) {
        // Without the thread object m_Close could not wait for the end: stop it here.
        InterlockedExchange(&m_lStop, 1);
        m_StopEvent.m_Set();
        m_StoppedEvent.m_Wait(0);
        ZwWaitForSingleObject(hThread, FALSE, NULL);
        ZwClose(hThread);
        m_Reset();
        TfDebugLog(TF_LOG_BASIC, "m_Create OUT - Fail-> ObReferenceObjectByHandle 0x%X", (ULONG)Status);
        return FALSE;
    }
    m_hThread = hThread;
    m_pThreadObject = pThreadObject;
    TfDebugLog(TF_LOG_BASIC, "m_Create OUT");
    return TRUE;
}

void CTfWorkerThread::m_Close()
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfWorkerThread::m_Close");
    if (m_hThread == NULL) {
        Log.m_Success();
        return;
    }
    if (m_pThreadObject != NULL && (PVOID)KeGetCurrentThread() == m_pThreadObject) {
        // Called from the routine: waiting for our own end would never return.
        TF_ASSERT_AT();
        Log.m_Fail("called on the worker's own thread");
        return;
    }
    InterlockedExchange(&m_lStop, 1);
    m_StopEvent.m_Set();
    m_StoppedEvent.m_Wait(0);
    // The thread still runs a little after setting the stopped event; it must be gone before the
    // worker (or the image) can be freed.
    KeWaitForSingleObject(m_pThreadObject, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(m_pThreadObject);
    m_pThreadObject = NULL;
    ZwClose(m_hThread);
    m_hThread = NULL;
    m_Reset();
    Log.m_Success();
}

void CTfWorkerThread::sm_ThreadRoutine(PVOID pContext)
{
    ((CTfWorkerThread*)pContext)->m_Run();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void CTfWorkerThread::m_Run()
{
    CTfRoutineLog Log("CTfWorkerThread::m_Run");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        TF_ASSERT_AT();
        // m_Close waits for this event whichever way the thread ends.
        m_StoppedEvent.m_Set();
        Log.m_Fail("not started at PASSIVE_LEVEL");
        return;
    }

    BOOLEAN bRaised = FALSE;
    KIRQL StartIrql = PASSIVE_LEVEL;
    if (m_ulIrql != 0) {
        KeRaiseIrql(APC_LEVEL, &StartIrql);
        bRaised = TRUE;
    } else if (m_ulPriority != 0) {
        KeSetPriorityThread(KeGetCurrentThread(), (KPRIORITY)m_ulPriority);
    }

    if (m_ulFirstRun == TF_WORKER_FIRST_RUN) {
        m_pRoutine(m_pContext);
    }

    for (;;) {
        NTSTATUS Status = KeWaitForMultipleObjects(m_ulWaitCount, m_ppWaitObjects, WaitAny, Executive,
                                                   KernelMode, FALSE,
                                                   (m_Timeout.QuadPart != 0) ? &m_Timeout : NULL, m_WaitBlocks);
        // Set by m_Close with an interlocked exchange.
        if (TfInterlockedRead(&m_lStop) == 1) {
            break;
        }
        if (!NT_SUCCESS(Status)) {
            // A failing wait would call the routine in a tight loop.
            TF_ASSERT_AT();
            break;
        }
        if (m_ulIrql <= APC_LEVEL) {
            KIRQL OldIrql;
            KeRaiseIrql((KIRQL)m_ulIrql, &OldIrql);
            m_pRoutine(m_pContext);
            KeLowerIrql(OldIrql);
        } else {
            m_pRoutine(m_pContext);
        }
    }

    if (bRaised) {
        KeLowerIrql(StartIrql);
    }
    KeSetPriorityThread(KeGetCurrentThread(), HIGH_PRIORITY);
    Log.m_Success();
    // Last touch of the worker: m_Close may free it once the thread object is signalled.
    m_StoppedEvent.m_Set();
}
