// Worker thread: runs a caller's routine on a system thread of its own each time one of the
// caller's dispatcher objects is signalled, or after a time-out.
#pragma once

#include <wdm.h>

#include "tfevent.h"
#include "tfobject.h"

typedef void (*PTF_WORKER_ROUTINE)(PVOID pContext);

// Caller objects a worker can wait for: the wait blocks hold MAXIMUM_WAIT_OBJECTS entries, the
// worker's stop event included.
#define TF_WORKER_MAX_OBJECTS (MAXIMUM_WAIT_OBJECTS - 1)

// First-run flag value: call the routine once before the first wait.
#define TF_WORKER_FIRST_RUN 1

class CTfWorkerThread : public CTfObjectBase {
public:
    CTfWorkerThread();
    // Stops a running thread.
    virtual ~CTfWorkerThread();

    // Starts the thread. ppObjects/ulCount: the dispatcher objects to wait for (at most
    // TF_WORKER_MAX_OBJECTS; they must stay valid while the thread runs); pTimeout: a relative time
    // in 100-nanosecond units (negative) after which the routine runs without a signal, or null;
    // ulFirstRun: TF_WORKER_FIRST_RUN calls the routine once before the first wait; ulPriority: 1 .. 31
    // sets the thread's priority, 0 leaves it; ulIrql: 0 runs the routine at PASSIVE_LEVEL, any other
    // value below 32 at APC_LEVEL. A running thread is stopped first. TRUE when the thread runs.
    BOOLEAN m_Create(PTF_WORKER_ROUTINE pRoutine, PVOID pContext, PVOID* ppObjects, ULONG ulCount,
                     PLARGE_INTEGER pTimeout, ULONG ulFirstRun, ULONG ulPriority, ULONG ulIrql);
    // Stops the thread and waits until it has ended. At PASSIVE_LEVEL, never from the routine.
    void m_Close();
    // Clears routine, context, stop flag and both events, frees the wait array.
    void m_Reset();

    BOOLEAN m_IsRunning() const { return m_hThread != NULL; }

private:
    CTfWorkerThread(const CTfWorkerThread&) = delete;
    CTfWorkerThread& operator=(const CTfWorkerThread&) = delete;

    static void sm_ThreadRoutine(PVOID pContext);
    void m_Run();
    // Stops a thread that was started, waits for it and releases it.
    void m_StopAndRelease();

    // Beside each field: what guards it. Everything but the stop flag is set by m_Create before the
    // thread starts and read by the thread only, or by m_Close after the thread has ended.
    PTF_WORKER_ROUTINE m_pRoutine;  // set once before start
    PVOID m_pContext;               // set once before start
    CTfEvent m_StopEvent;
    volatile LONG m_lStop;          // interlocked
    CTfEvent m_StoppedEvent;
    HANDLE m_hThread;
    PVOID m_pThreadObject;
    PVOID* m_ppWaitObjects;  // the caller's objects, then the stop event
    ULONG m_ulWaitCount;
    LARGE_INTEGER m_Timeout;  // 0 for none
    ULONG m_ulFirstRun;
    KWAIT_BLOCK m_WaitBlocks[MAXIMUM_WAIT_OBJECTS];
    ULONG m_ulPriority;
    ULONG m_ulIrql;
};
