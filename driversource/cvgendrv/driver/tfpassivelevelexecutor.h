// Runs queued calls later at PASSIVE_LEVEL.
//
// Two modes, fixed by m_Init:
//  - work items: when the system offers WDM 1.10 or later and a device object was given. Every call
//    is a work item on the system's delayed work queue; calls run in ANY order, possibly at the same
//    time. Use it only for work that needs no order.
//  - thread: otherwise. The executor owns a system thread that runs the calls one at a time, first
//    in, first out. Work that must keep its order (received data, status changes) belongs on an
//    executor created without a device object.
//
// Dropped calls: a call is dropped without being made when no memory is left for it, when it is
// queued while m_DeInit runs or after it, and (thread mode) when it is still queued at m_DeInit. A
// call whose argument owns resources must be queued with a discard routine, which then gets the
// (context, argument) of each dropped call so it can free them; without one the resources are lost.
#pragma once

#include <wdm.h>

#include "tfobject.h"
#include "tfpointerlist.h"
#include "tfreferencegate.h"
#include "tfspinlock.h"
#include "tfworkerthread.h"

// A queued call: routine (context, argument), at PASSIVE_LEVEL.
typedef void (*PTF_EXECUTOR_ROUTINE)(PVOID pContext, PVOID pArgument);

class CTfPassiveLevelExecutor : public CTfObject {
public:
    // pDeviceObject: the device for work items, or null (thread mode). ulPriority: the worker
    // thread's priority (1 .. 31) in thread mode, 0 leaves the system's default.
    explicit CTfPassiveLevelExecutor(PDEVICE_OBJECT pDeviceObject = NULL, ULONG ulPriority = 0);
    // Runs m_DeInit when the owner did not.
    virtual ~CTfPassiveLevelExecutor();

    // Chooses the mode and, in thread mode, starts the thread. At PASSIVE_LEVEL. FALSE when the
    // thread could not be started (every call queued afterwards is dropped).
    BOOLEAN m_Init();

    // Queues routine (context, argument), from any IRQL up to DISPATCH_LEVEL. TRUE when the call was
    // queued; FALSE when it was dropped (no memory, not initialised, or m_DeInit has begun), in which
    // case pDiscardRoutine, when given, has already been called with (context, argument) at the
    // caller's IRQL. A queued call that m_DeInit drops is handed to pDiscardRoutine at PASSIVE_LEVEL.
    BOOLEAN m_QueueFunction(PTF_EXECUTOR_ROUTINE pRoutine, PVOID pContext, PVOID pArgument,
                            PTF_EXECUTOR_ROUTINE pDiscardRoutine = NULL);

    // At PASSIVE_LEVEL, never from a queued call. Work-item mode: refuses new calls and waits until
    // every queued work item has run. Thread mode: stops the thread (a call that is running finishes
    // first) and drops the calls still queued without making them. Afterwards every call is refused.
    void m_DeInit();

    // TRUE in work-item mode (after m_Init).
    BOOLEAN m_UsesWorkItems() const { return m_bWorkItemMode; }
    // Calls queued and not yet started (thread mode), for diagnostics and tests.
    ULONG m_GetQueuedCount();

private:
    CTfPassiveLevelExecutor(const CTfPassiveLevelExecutor&) = delete;
    CTfPassiveLevelExecutor& operator=(const CTfPassiveLevelExecutor&) = delete;

    static IO_WORKITEM_ROUTINE sm_WorkItemRoutine;
    static void sm_ThreadRoutine(PVOID pContext);

    PDEVICE_OBJECT m_pDeviceObject;  // set before calls are accepted; null in thread mode
    ULONG m_ulPriority;              // set once, in the constructor
    CTfWorkerThread m_WorkerThread;  // thread mode only
    CTfPointerList m_EntryList;      // thread mode: calls in queue order
    KEVENT m_WorkEvent;              // synchronization event the worker thread waits on
    CTfSpinLock m_Lock;              // guards the list and the flags
    CTfReferenceGate m_WorkGate;     // work-item mode: counts queued work items
    BOOLEAN m_bWorkItemMode;         // m_Lock; written by m_Init before calls are accepted
    BOOLEAN m_bAccepting;            // m_Lock; between a successful m_Init and m_DeInit
};
