// Read side of a serial port: received data chunks, waiting read requests in a cancel-safe
// queue, and the serial read time-outs (interval, total multiplier and constant).
#pragma once

#include <wdm.h>

#include "tfbuffer.h"
#include "tfcsqhelpers.h"
#include "tfobject.h"
#include "tfpassivelevelexecutor.h"
#include "tfpointerlist.h"
#include "tfspinlock.h"

// Owner hook: the amount of buffered received data changed. Called with no queue lock held.
typedef void (*PTF_READ_AMOUNT_CHANGED_ROUTINE)(PVOID pContext, ULONG ulNewAmount, ULONG ulOldAmount);

class CTfReadQueue : public CTfObject {
public:
    // Accept flag off, reject status STATUS_CANCELLED, time-outs zero, no owner hook. Cannot fail;
    // without an executor the owner hook after a time-out is skipped.
    CTfReadQueue();
    // m_DeInit.
    virtual ~CTfReadQueue();

    // A read request (IRP_MJ_READ, buffered I/O). STATUS_SUCCESS when completed at once,
    // STATUS_PENDING when queued (the request is marked pending), else the status the request was
    // completed with: the reject status, STATUS_INVALID_PARAMETER without a system buffer,
    // STATUS_INSUFFICIENT_RESOURCES, or STATUS_TIMEOUT for time-outs (MAXULONG, MAXULONG, 0)
    // when the buffer cannot fill the read (a total time-out of 0 ms). At or below DISPATCH_LEVEL.
    virtual NTSTATUS m_QueueIrp(PIRP pIrp);

    // Received data: ownership of pBuffer passes to the queue (freed here when it cannot be kept).
    // Null only re-runs the delivery into waiting requests. At or below DISPATCH_LEVEL.
    void m_DataForPendingIrpArrived(CTfBuffer* pBuffer);

    // Completes every waiting read with STATUS_CANCELLED; each keeps in Information the bytes
    // already copied into it. Stops both timers.
    void m_CancelAllIrps();

    // Frees every buffered chunk (purge of the receive buffer); the owner hook hears (0, old).
    void m_ClearData();

    // Bytes held in the data list, read under the lock.
    ULONG m_GetDataAmount();

    // Accept flag: with it off, reads complete at once with the reject status.
    void m_SetAccept(BOOLEAN bAccept, NTSTATUS RejectStatus = STATUS_CANCELLED);
    BOOLEAN m_IsAccepting();

    // Time-outs in milliseconds (MAXULONG allowed) for the next read: staged, and latched at once
    // too when no read waits, so they are in force for the next request.
    void m_SetTimeouts(ULONG ulInterval, ULONG ulMultiplier, ULONG ulConstant);
    // Staged only; latched at the next m_QueueIrp.
    void m_SetStagedTimeouts(ULONG ulInterval, ULONG ulMultiplier, ULONG ulConstant);
    void m_GetLatchedTimeouts(PULONG pulInterval, PULONG pulMultiplier, PULONG pulConstant);

    // Owner hook and its context (null routine: none), set under the lock. A call already under
    // way on another thread is not waited for: an owner going away clears the hook first and
    // keeps its object alive until such calls have returned.
    void m_SetDataAmountChangedCallback(PTF_READ_AMOUNT_CHANGED_ROUTINE pRoutine, PVOID pContext);

    // Number of waiting read requests (diagnostics and tests).
    ULONG m_GetWaitingCount();

    // Tear-down (the destructor's work): stops the timers, cancels every waiting read, frees the
    // buffered data, waits for running time-out DPCs and stops the executor. PASSIVE_LEVEL;
    // a second call does nothing.
    void m_DeInit();

private:
    CTfReadQueue(const CTfReadQueue&) = delete;
    CTfReadQueue& operator=(const CTfReadQueue&) = delete;

    // Cancel-safe queue callbacks; the queue is the owner recorded in its TF_CSQ.
    static NTSTATUS sm_CsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pInsertContext);
    static void sm_CsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp);
    static PIRP sm_CsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pPeekContext);
    static void sm_CsqAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql);
    static void sm_CsqReleaseLock(PIO_CSQ pCsq, KIRQL Irql);
    static void sm_CsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp);

    // Both timers' DPC routine; the context is the queue.
    static void sm_TimeoutDpc(PKDPC pDpc, PVOID pContext, PVOID pArgument1, PVOID pArgument2);
    void m_TimeoutExpired(BOOLEAN bInterval);
    // Executor routine after a time-out: reports the current amount to the owner (new == old).
    static void sm_DataAmountChangedWorker(PVOID pContext, PVOID pArgument);

    // The routines below run with m_Lock held.
    // Copies buffered data into pIrp from its byte cursor (IoStatus.Information) until it is full
    // or nothing is buffered; returns the bytes copied.
    ULONG m_CopyDataToIrp(PIRP pIrp);
    // Fills waiting requests in order; finished ones are taken out of the cancel-safe queue and
    // chained on pFinished (through Tail.Overlay.ListEntry). Re-arms the head's interval timer when
    // it received bytes.
    void m_DeliverLocked(PLIST_ENTRY pFinished);
    void m_StartTotalTimer(PIRP pIrp);
    void m_StartIntervalTimer();
    void m_StopTimers();
    BOOLEAN m_IsImmediateMode() const;
    BOOLEAN m_IsFirstByteMode() const;
    BOOLEAN m_IsConstantOnlyZeroMode() const;
    // Frees every buffered chunk and returns the amount they held.
    ULONG m_FreeAllChunks();

    // Without lock: the owner hook when the amount changed.
    void m_NotifyAmountChanged(ULONG ulNewAmount, ULONG ulOldAmount);
    // Completes the chained requests in order with Status (lock not held), logging each as a
    // delivery (bDelivered) or as a cancellation; ulAmount and lElapsed were taken under the lock.
    void m_CompleteChain(PLIST_ENTRY pChain, NTSTATUS Status, BOOLEAN bDelivered, ULONG ulAmount, LONG lElapsed);
    void m_DeleteDataList();

    static ULONG sm_RequestLength(PIRP pIrp);

    // Beside each field: what guards it. "lock" is m_Lock (also the cancel-safe queue's lock).
    BOOLEAN m_bAccept;         // lock
    NTSTATUS m_RejectStatus;   // lock
    CTfSpinLock m_Lock;
    CTfPointerList m_RequestList;  // lock; PIRP, arrival order (through the cancel-safe queue)
    PTF_READ_AMOUNT_CHANGED_ROUTINE m_pAmountChanged;  // lock
    PVOID m_pAmountChangedContext;                     // lock

    // In force for the requests being served.
    ULONG m_ulIntervalTimeout;    // lock
    ULONG m_ulMultiplierTimeout;  // lock
    ULONG m_ulConstantTimeout;    // lock
    // Written by the owner, latched at every m_QueueIrp.
    ULONG m_ulStagedIntervalTimeout;    // lock
    ULONG m_ulStagedMultiplierTimeout;  // lock
    ULONG m_ulStagedConstantTimeout;    // lock

    KTIMER m_IntervalTimer;  // set and cancelled under the lock
    KDPC m_IntervalDpc;      // set once, in the constructor
    KTIMER m_TotalTimer;     // set and cancelled under the lock
    KDPC m_TotalDpc;         // set once, in the constructor
    // Logical state of each timer: a DPC acts only while its timer is armed and the deadline
    // (interrupt time, 100 ns) has passed, so a firing that was cancelled or re-armed is ignored.
    BOOLEAN m_bIntervalArmed;        // lock
    BOOLEAN m_bTotalArmed;           // lock
    ULONGLONG m_ullIntervalDeadline; // lock
    ULONGLONG m_ullTotalDeadline;    // lock

    CTfPointerList m_DataList;  // lock; CTfBuffer*, arrival order
    ULONG m_ulDataInQueue;      // lock
    // Bytes already copied into the first waiting request (its Information; kept for the logs).
    ULONG m_ulCurrentLength;    // lock

    CTfPassiveLevelExecutor m_Executor;  // own lock; thread mode
    BOOLEAN m_bExecutorReady;            // set once, in the constructor
    TF_CSQ m_Csq;

    BOOLEAN m_bClosing;     // lock; set by m_DeInit: no timer is armed any more
    BOOLEAN m_bDeInitDone;  // the owner's thread only (m_DeInit and the destructor)
    // Stamps for the "D=%dys" intervals of the log lines, kept under the lock.
    LARGE_INTEGER m_QueueStamp;     // lock
    LARGE_INTEGER m_CompleteStamp;  // lock
    LARGE_INTEGER m_DataStamp;      // lock
};
