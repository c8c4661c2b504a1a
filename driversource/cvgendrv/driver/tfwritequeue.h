// Write side of a serial port: queued write requests handed to the device in blocks limited by a
// transmit credit, completed once the device confirms their bytes, timed out by the serial write
// total time-out, plus the held flush and XOFF-counter requests that finish when the write side
// reaches a state.
//
// Locks: the write mutex (a kernel mutex, so the owner's write callback may report bytes written on
// the same thread) serialises block building; record A is taken around confirmation, time-out and
// purge processing; record B guards every queue and counter. Order: mutex, A, B. No lock is held
// while an owner callback runs or a request is completed.
#pragma once

#include <wdm.h>

#include "tfbuffer.h"
#include "tfcsqhelpers.h"
#include "tfobject.h"
#include "tfpassivelevelexecutor.h"
#include "tfpointerlist.h"
#include "tfspinlock.h"
#include "tftimerlist.h"

// Owner write callback: receives one block and takes ownership of it (also when it answers FALSE).
// PASSIVE_LEVEL, with the write mutex held. TRUE when the block went to the device.
typedef BOOLEAN (*PTF_WRITE_QUEUE_WRITE_ROUTINE)(PVOID pContext, CTfBuffer* pChunk);
// Owner transmitter-empty callback: TRUE when the device has nothing left to send. At or below
// DISPATCH_LEVEL, no queue lock held.
typedef BOOLEAN (*PTF_WRITE_QUEUE_TRANSMITTER_EMPTY_ROUTINE)(PVOID pContext);
// XOFF-counter send callback: sends the XOFF character ahead of other data. No queue lock held;
// PASSIVE_LEVEL from the queue's executor (at the caller's IRQL when no executor takes the call).
typedef void (*PTF_WRITE_QUEUE_XOFF_SEND_ROUTINE)(PVOID pContext, UCHAR ucXoffChar);

// Points at which the block builder holds a request out of the queues with no lock held: its bytes
// are copied into the block and the checks for a purge or a total time-out that ran meanwhile
// follow (COPIED); those checks passed and the request goes back into a queue next (CHECKED).
#define TF_WQ_OUTSIDE_COPIED 1
#define TF_WQ_OUTSIDE_CHECKED 2
// Test hook called at those points on the builder's thread (PASSIVE_LEVEL, write mutex held), so a
// test can run a purge or a time-out exactly there. Drivers leave it unset.
typedef void (*PTF_WRITE_QUEUE_OUTSIDE_HOOK)(PVOID pContext, ULONG ulPoint, PIRP pIrp);

// Poll interval of a held flush while the transmitter is busy: 5 ms in 100-ns units.
#define TF_WRITE_QUEUE_FLUSH_POLL_TIME 50000
// Retry delay after a block could not be built or was refused by the device: 10 ms in 100-ns units.
#define TF_WRITE_QUEUE_RETRY_TIME 100000

// Insert contexts of the pending and in-flight queues.
#define TF_WQ_INSERT_HANDED_OVER ((PVOID)0)  // wholly handed over (in-flight queue)
#define TF_WQ_INSERT_NEW ((PVOID)1)          // a new write
#define TF_WQ_INSERT_PARTIAL ((PVOID)2)      // the request a block took only part of

// Counter arithmetic of the queue: saturating addition, and milliseconds to a 100-ns due time
// (64-bit, saturating, so a long time-out never wraps to a short one).
ULONG TfWqAddSaturated(ULONG ulA, ULONG ulB);
ULONGLONG TfWqMillisecondsToDueTime(ULONGLONG ullMilliseconds);

class CTfWriteQueue : public CTfObject {
public:
    // Accept flag set, reject status STATUS_CANCELLED, no owner callbacks, credit 0, time-outs 0.
    // Cannot fail. The queue starts with an executor of its own (thread mode, no device object);
    // m_Init or m_SetExecutor replaces it. Without any executor the next block is started directly
    // from m_QueueIrp at PASSIVE_LEVEL.
    CTfWriteQueue();
    // Purges (writes, XOFF counter and flush requests complete with STATUS_CANCELLED), stops the
    // timers, waits for their DPCs and deletes the executor. PASSIVE_LEVEL.
    virtual ~CTfWriteQueue();

    // A write request (length > 0 expected; buffered I/O). STATUS_PENDING when queued (marked
    // pending), else the status with which the request was completed. At or below DISPATCH_LEVEL.
    virtual NTSTATUS m_QueueIrp(PIRP pIrp);

    // Gives the queue an executor created on pDeviceObject (work items when the system allows).
    // PASSIVE_LEVEL, before requests arrive. FALSE when it could not be created (the previous
    // executor is kept).
    BOOLEAN m_Init(PDEVICE_OBJECT pDeviceObject);
    // Gives the queue an initialised executor it then owns (and deletes); the previous one is
    // deleted. PASSIVE_LEVEL, before requests arrive. Null leaves the queue without an executor.
    void m_SetExecutor(CTfPassiveLevelExecutor* pExecutor);

    // Builds one block from the pending requests (as many bytes as the credit allows) and hands it
    // to the owner. FALSE when no block could be allocated (a retry is scheduled) or when no
    // owner took it; otherwise TRUE or the owner's answer. PASSIVE_LEVEL.
    BOOLEAN m_StartNextWrite();
    // The device confirms ulCount bytes. Above PASSIVE_LEVEL the work is deferred to the executor.
    void m_DataWritten(ULONG ulCount);
    // Completes every write with STATUS_CANCELLED and ends the held XOFF-counter request; with
    // bCancelFlush the held flush requests complete with STATUS_CANCELLED too (cleanup, removal).
    void m_CancelAllIrps(BOOLEAN bCancelFlush = FALSE);

    // Flush request (IRP_MJ_FLUSH_BUFFERS): completed at once with STATUS_SUCCESS when no write is
    // pending or in flight, else held (cancellable) and STATUS_PENDING returned.
    NTSTATUS m_QueueFlushIrp(PIRP pIrp);
    // Completes the held flush requests when the write side is idle and the transmitter empty;
    // polls the transmitter every 5 ms while it is busy.
    void m_CheckFlushIrp();
    // Completes every held flush request with STATUS_CANCELLED.
    void m_CancelFlushIrps();

    // XOFF-counter request (IOCTL_SERIAL_XOFF_COUNTER), using the values staged by
    // m_SetXoffCounter. A request held before completes with STATUS_SERIAL_MORE_WRITES. Always
    // STATUS_PENDING (the request is marked pending; it may already be completed).
    NTSTATUS m_QueueXoffCounterIrp(PIRP pIrp);
    // Evaluates the held XOFF-counter request; a reason ends it (more writes, time-out, cancel).
    void m_ResolveXoffCounterIrp(BOOLEAN bMoreWrites, BOOLEAN bTimeout, BOOLEAN bCancel);
    // Received data: lowers the held XOFF-counter request's remaining count (once its XOFF was
    // sent) and evaluates it. At or below DISPATCH_LEVEL.
    void m_XoffCounterBytesReceived(ULONG ulByteCount);
    // Stages the values for the next XOFF-counter request (under B): send routine and context,
    // time-out in milliseconds (0: none), count, XOFF character. They are taken (and cleared) when
    // the request is queued.
    void m_SetXoffCounter(PTF_WRITE_QUEUE_XOFF_SEND_ROUTINE pRoutine, PVOID pContext, ULONG ulTimeout,
                          ULONG ulCount, UCHAR ucXoffChar);

    // Owner callbacks, set and cleared under B. Clearing them all before the owner goes away keeps
    // later purges and time-outs from calling into it.
    void m_SetWriteCallback(PTF_WRITE_QUEUE_WRITE_ROUTINE pRoutine, PVOID pContext);
    void m_SetTransmitterEmptyCallback(PTF_WRITE_QUEUE_TRANSMITTER_EMPTY_ROUTINE pRoutine, PVOID pContext);
    void m_ClearOwnerCallbacks();
    // The test hook of the block builder (TF_WQ_OUTSIDE_*), set and cleared under B; null clears it.
    void m_SetOutsideHook(PTF_WRITE_QUEUE_OUTSIDE_HOOK pHook, PVOID pContext);

    // Write total time-out multiplier and constant in milliseconds (the port's
    // WriteTotalTimeoutMultiplier and WriteTotalTimeoutConstant); both 0: no time-out. Take effect
    // when the timer is next armed. PASSIVE_LEVEL (taken under the write mutex and B).
    void m_SetTotalTimeouts(ULONG ulMultiplier, ULONG ulConstant);
    void m_GetTotalTimeouts(PULONG pulMultiplier, PULONG pulConstant);

    // Accept flag: with it off, new writes complete at once with the reject status.
    void m_SetAccept(BOOLEAN bAccept, NTSTATUS RejectStatus = STATUS_CANCELLED);
    BOOLEAN m_IsAccepting();

    // Reset at every open (create dispatch), under B: the next report is the initial credit
    // (accumulator MAXULONG), credit 0, discard 0, bytes handed over 0, no timed request.
    void m_ResetForOpen();

    // Bytes of pending requests not yet handed to the device, read under B.
    ULONG m_GetQueuedByteCount();
    // Snapshots under B (diagnostics and tests).
    ULONG m_GetCredit();
    ULONG m_GetDiscardCount();
    ULONG m_GetAccumulator();
    ULONG m_GetPendingCount();
    ULONG m_GetInFlightCount();
    ULONG m_GetFlushCount();
    BOOLEAN m_IsXoffCounterHeld();
    BOOLEAN m_IsTotalTimerArmed();
    // TRUE when no write is pending, in flight or being handed over.
    BOOLEAN m_IsIdle();

private:
    CTfWriteQueue(const CTfWriteQueue&) = delete;
    CTfWriteQueue& operator=(const CTfWriteQueue&) = delete;

    // Cancel-safe queue callbacks (the queue is the owner recorded in each TF_CSQ).
    static NTSTATUS sm_PendingCsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pInsertContext);
    static void sm_PendingCsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp);
    static PIRP sm_PendingCsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pPeekContext);
    static void sm_PendingCsqAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql);
    static void sm_PendingCsqReleaseLock(PIO_CSQ pCsq, KIRQL Irql);
    static void sm_PendingCsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp);
    static NTSTATUS sm_InFlightCsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pInsertContext);
    NTSTATUS m_CheckReturningIrp(PIRP pIrp);
    static void sm_InFlightCsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp);
    static PIRP sm_InFlightCsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pPeekContext);
    static void sm_InFlightCsqAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql);
    static void sm_InFlightCsqReleaseLock(PIO_CSQ pCsq, KIRQL Irql);
    static void sm_InFlightCsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp);
    // Held flush requests and the held XOFF-counter request.
    static NTSTATUS sm_FlushCsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pInsertContext);
    static void sm_FlushCsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp);
    static PIRP sm_FlushCsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pPeekContext);
    static void sm_FlushCsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp);
    static NTSTATUS sm_XoffCsqInsertIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pInsertContext);
    static void sm_XoffCsqRemoveIrp(PIO_CSQ pCsq, PIRP pIrp);
    static PIRP sm_XoffCsqPeekNextIrp(PIO_CSQ pCsq, PIRP pIrp, PVOID pPeekContext);
    static void sm_XoffCsqCompleteCanceledIrp(PIO_CSQ pCsq, PIRP pIrp);
    // Lock callbacks shared by the held-request queues (record B).
    static void sm_HeldCsqAcquireLock(PIO_CSQ pCsq, PKIRQL pIrql);
    static void sm_HeldCsqReleaseLock(PIO_CSQ pCsq, KIRQL Irql);

    // Deferred routines.
    static void sm_StartNextWriteWorker(PVOID pContext, PVOID pArgument);
    static void sm_DataWrittenWorker(PVOID pContext, PVOID pArgument);
    static void sm_CancelWorker(PVOID pContext, PVOID pArgument);
    static void sm_XoffSendWorker(PVOID pContext, PVOID pArgument);
    static void sm_FlushPollTimer(PVOID pContext);
    static void sm_XoffCounterTimeout(PVOID pContext);
    static void sm_RetryTimer(PVOID pContext);
    static void sm_TotalTimeoutDpc(PKDPC pDpc, PVOID pContext, PVOID pArgument1, PVOID pArgument2);

    // With B held.
    BOOLEAN m_IsIdleLocked();
    PIRP m_NextInList(CTfPointerList* pList, PIRP pIrp);
    void m_StartTotalTimer(PIRP pInserting = NULL);
    void m_ArmTotalTimer(PIRP pIrp, ULONG ulBytes);
    void m_DisarmTotalTimer();
    void m_ClearTimedIrp(PIRP pIrp);
    void m_JoinBlock(PIRP pIrp, ULONG ulBytes);
    void m_LeaveBlock(PIRP pIrp, BOOLEAN bDiscarded);
    void m_AddDiscard(ULONG ulBytes);
    void m_SettleBlock();
    void m_FinishCanceledWriteLocked(PIRP pIrp);
    void m_AccumulateConfirmedLocked(ULONG ulCount);
    void m_SettleConfirmedLocked(PIRP* ppDone, PIRP* ppDoneTail);
    BOOLEAN m_QueueWorkerLocked(PTF_EXECUTOR_ROUTINE pRoutine);
    // Without locks.
    static ULONG m_GetLength(PIRP pIrp);
    static void m_PushIrp(PIRP* ppHead, PIRP* ppTail, PIRP pIrp);
    static void m_CompleteList(PIRP pList, NTSTATUS Status, BOOLEAN bKeepInformation);
    static void m_CompleteIrp(PIRP pIrp, NTSTATUS Status, ULONG_PTR ulInformation);
    BOOLEAN m_HandOverBlock(PBOOLEAN pbResult, PBOOLEAN pbWriteSideChanged);
    BOOLEAN m_GiveBlockToOwner(CTfBuffer* pChunk, ULONG ulCopied);
    ULONG m_FillBlock(PUCHAR pucBlock, ULONG ulBlock, PBOOLEAN pbWriteSideChanged);
    // The block builder's steps for one request (PASSIVE_LEVEL, write mutex held): what it saw of the
    // request under B when it took it out of the queues, then joining the block and going back.
    struct TF_WQ_TAKEN {
        PIRP pIrp;
        ULONG ulLength;
        ULONG ulSent;
        ULONG ulPurgeSequence;
        PTF_WRITE_QUEUE_OUTSIDE_HOOK pHook;
        PVOID pHookContext;
    };
    BOOLEAN m_TakeOutForBlock(TF_WQ_TAKEN* pTaken);
    BOOLEAN m_JoinBlockUnlessEnded(const TF_WQ_TAKEN* pTaken, ULONG ulTake);
    BOOLEAN m_PutBackTakenIrp(const TF_WQ_TAKEN* pTaken, BOOLEAN bWhole);
    void m_DropTakenIrpLocked(PIRP pIrp);
    void m_SettleFailedBlock(ULONG ulBlock);
    BOOLEAN m_DeferDataWritten(ULONG ulCount);
    void m_CompleteCanceledWrite(PIRP pIrp);
    void m_RunDeferredCancels(BOOLEAN bTakeMutex);
    // Starts the next block when the flag (under B) says one is owed, and clears it: here at
    // PASSIVE_LEVEL, else through the retry.
    void m_StartIfOwed(PBOOLEAN pbOwed);
    void m_ScheduleRetry();
    void m_TotalTimeoutExpired();
    void m_SendXoffCharacter();
    void m_AfterWriteSideChange();

    // Beside each field: what guards it. "B" is spin-lock record B, "mutex" the write mutex, "B +
    // mutex" a field written only with both held (so either one is enough to read it); "own" an
    // object with a lock of its own.

    // Accept flag and reject status.
    BOOLEAN m_bAccept;        // B
    NTSTATUS m_RejectStatus;  // B
    // Owner callbacks, copied out under B and called with no lock held.
    PTF_WRITE_QUEUE_WRITE_ROUTINE m_pWriteRoutine;                        // B
    PVOID m_pWriteContext;                                                // B
    PTF_WRITE_QUEUE_TRANSMITTER_EMPTY_ROUTINE m_pTransmitterEmptyRoutine; // B
    PVOID m_pTransmitterEmptyContext;                                     // B
    // Counters.
    ULONG m_ulQueuedBytes;  // B
    ULONG m_ulCredit;       // B
    ULONG m_ulDiscard;      // B
    CTfPassiveLevelExecutor* m_pExecutor;  // B (replaced by m_SetExecutor, taken by the destructor)
    KMUTEX m_WriteMutex;    // the write mutex itself: serialises block building
    CTfSpinLock m_LockA;    // record A: confirmation, time-out and purge processing
    CTfSpinLock m_LockB;    // record B: every queue and counter
    // Pending requests: the request a block took only part of (taken first) and the rest in order.
    PIRP m_pPartialIrp;            // B
    CTfPointerList m_PendingList;  // B (through the pending cancel-safe queue)
    CTfPointerList m_InFlightList; // B (through the in-flight cancel-safe queue)
    ULONG m_ulAccumulator;         // B
    ULONG m_ulBytesHandedOver;     // B
    ULONG m_ulTotalMultiplier;     // B + mutex
    ULONG m_ulTotalConstant;       // B + mutex
    // Total time-out: the timer runs for m_pTimedIrp until m_ullTimedDeadline (interrupt time); the
    // DPC acts only while armed and due, so a stale firing does nothing.
    KTIMER m_TotalTimer;           // set and cancelled under B
    KDPC m_TotalTimerDpc;          // initialised once, in the constructor
    PIRP m_pTimedIrp;              // B
    ULONGLONG m_ullTimedDeadline;  // B
    BOOLEAN m_bTimedArmed;         // B
    // Held flush requests.
    CTfPointerList m_FlushList;    // B (through the flush cancel-safe queue)
    BOOLEAN m_bFlushPollRunning;   // B
    // XOFF counter: values staged by the owner, and those of the held request.
    PTF_WRITE_QUEUE_XOFF_SEND_ROUTINE m_pStagedXoffRoutine;  // B
    PVOID m_pStagedXoffContext;                              // B
    ULONG m_ulStagedXoffTimeout;                             // B
    ULONG m_ulStagedXoffCount;                               // B
    UCHAR m_ucStagedXoffChar;                                // B
    PIRP m_pXoffIrp;                                         // B (through the XOFF cancel-safe queue)
    PTF_WRITE_QUEUE_XOFF_SEND_ROUTINE m_pXoffRoutine;        // B
    PVOID m_pXoffContext;                                    // B
    ULONG m_ulXoffTimeout;                                   // B
    ULONG m_ulXoffCount;                                     // B
    UCHAR m_ucXoffChar;                                      // B
    BOOLEAN m_bXoffSendPending;                              // B
    BOOLEAN m_bXoffSent;                                     // B
    BOOLEAN m_bXoffTimerArmed;                               // B
    ULONGLONG m_ullXoffDeadline;                             // B
    TF_TIMER_HANDLE m_hXoffTimer;                            // B
    ULONG m_ulXoffSequence;                                  // B
    // Cancel-safe queues and the insert context that marks the partly handed-over request. Each
    // queue's lock callbacks take record B.
    TF_CSQ m_PendingCsq;
    IO_CSQ_IRP_CONTEXT m_PendingInsertContext;  // B
    TF_CSQ m_InFlightCsq;
    TF_CSQ m_FlushCsq;
    TF_CSQ m_XoffCsq;
    // The block being handed over (write mutex held): its requests, linked through
    // Tail.Overlay.ListEntry with their bytes in it in DriverContext[0], and the bytes of it that
    // other paths already put into the discard count.
    LIST_ENTRY m_BlockIrps;            // B
    ULONG m_ulBlockDiscarded;          // B
    PIRP m_pOutsideIrp;                // B: taken out by the block builder and not yet put back
    BOOLEAN m_bOutsideTimedOut;        // B: its total time-out expired meanwhile
    ULONG m_ulOutsidePurgeSequence;    // B: the purge sequence when it was taken out
    PTF_WRITE_QUEUE_OUTSIDE_HOOK m_pOutsideHook;  // B (a test hook, set before requests arrive)
    PVOID m_pOutsideHookContext;                  // B
    BOOLEAN m_bInWriteCallback;        // mutex
    BOOLEAN m_bRestartAfterCallback;   // mutex
    ULONG m_ulPurgeSequence;           // B
    // Deferred work.
    PIRP m_pDeferredCancels;           // B; linked through DriverContext[2]
    BOOLEAN m_bCancelWorkerQueued;     // B
    ULONG m_ulDeferredWritten;         // B
    BOOLEAN m_bDataWrittenWorkerQueued;  // B
    BOOLEAN m_bStartKickFailed;        // B
    // The block builder stopped at a partly sent request a cancellation owns; the cancellation
    // starts the next block once it has taken the request out.
    BOOLEAN m_bStartAfterCancel;       // B
    BOOLEAN m_bRetryScheduled;         // B
    BOOLEAN m_bDeleting;               // B; set once, by the destructor
    // Timer lists last, so they are destroyed (waiting for their callbacks) first. Flush polls, the
    // XOFF-counter time-out and the block retry each have their own, so stopping one kind never
    // stops another.
    CTfTimerList m_FlushPollTimerList;  // own
    CTfTimerList m_XoffTimerList;       // own
    CTfTimerList m_RetryTimerList;      // own
};
