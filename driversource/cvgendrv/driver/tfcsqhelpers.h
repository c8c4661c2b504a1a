// Helpers shared by the framework's cancel-safe queues.
//
// The library functions (IoCsqRemoveIrp, IoCsqRemoveNextIrp) take the queue's lock themselves, so a
// path that already holds the lock (data delivery, confirmation, a new wait mask) cannot call them.
// These helpers do the same hand-over with the lock held: a request whose cancel routine is already
// gone belongs to a cancellation that is waiting for the lock, and is left where it is.
#pragma once

#include <wdm.h>

// An IO_CSQ with a back pointer to the framework object that owns it. The IO_CSQ comes first, so the
// PIO_CSQ a callback receives is the address of the whole record.
typedef struct _TF_CSQ {
    IO_CSQ Csq;
    PVOID pOwner;
} TF_CSQ, *PTF_CSQ;

// The owner of the queue whose callbacks received pCsq (the pOwner given to TfCsqSetOwner).
inline PVOID TfCsqGetOwner(PIO_CSQ pCsq) { return ((PTF_CSQ)pCsq)->pOwner; }
inline void TfCsqSetOwner(PTF_CSQ pTfCsq, PVOID pOwner) { pTfCsq->pOwner = pOwner; }

// With the queue's lock held: claims pIrp for the caller. TRUE when the caller now owns the request
// (its cancel routine was taken back); the binding to its IO_CSQ_IRP_CONTEXT (pContext, or the one the
// library recorded in the request) is cleared. The request is NOT unlinked: the caller takes it out of
// its own list (or calls its remove callback). FALSE: a cancellation owns it; leave it listed, the
// cancellation will remove and complete it once the lock is free.
BOOLEAN TfCsqRemoveIrpLocked(PIRP pIrp, PIO_CSQ_IRP_CONTEXT pContext);

// With the queue's lock held: IoCsqRemoveNextIrp without taking the lock. Walks the queue through its
// peek-next callback from the start, skips requests a cancellation owns, claims the first other one,
// unlinks it through the remove callback and returns it; null when there is none.
PIRP TfCsqRemoveNextIrpLocked(PIO_CSQ pCsq, PVOID pPeekContext);

// With the queue's lock held: claims and unlinks (remove callback) the given listed request. TRUE when
// the caller now owns it.
BOOLEAN TfCsqRemoveGivenIrpLocked(PIO_CSQ pCsq, PIRP pIrp, PIO_CSQ_IRP_CONTEXT pContext);
