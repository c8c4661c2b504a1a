// Helpers shared by the framework's cancel-safe queues.
#include "tfcsqhelpers.h"

#include "tfdebug.h"

BOOLEAN TfCsqRemoveIrpLocked(PIRP pIrp, PIO_CSQ_IRP_CONTEXT pContext)
{
    TfDebugLog(7, "TfCsqRemoveIrpLocked - IN");
    if (pIrp == NULL) {
        TF_ASSERT_AT();
        TfDebugLog(7, "TfCsqRemoveIrpLocked - OUT - Fail-> no request");
        return FALSE;
    }
    if (IoSetCancelRoutine(pIrp, NULL) == NULL) {
        // IoCancelIrp took the routine first: the cancellation removes and completes the request.
        TfDebugLog(7, "TfCsqRemoveIrpLocked - OUT - Fail-> a cancellation owns the request");
        return FALSE;
    }
    // The library records the context (or the queue itself) in DriverContext[3].
    PIO_CSQ_IRP_CONTEXT pRecorded = (PIO_CSQ_IRP_CONTEXT)pIrp->Tail.Overlay.DriverContext[3];
    if (pContext == NULL && pRecorded != NULL && pRecorded->Type == IO_TYPE_CSQ_IRP_CONTEXT) {
        pContext = pRecorded;
    }
    if (pContext != NULL && pContext->Irp == pIrp) {
        pContext->Irp = NULL;
    }
    pIrp->Tail.Overlay.DriverContext[3] = NULL;
    TfDebugLog(7, "TfCsqRemoveIrpLocked - OUT (Success)");
    return TRUE;
}

PIRP TfCsqRemoveNextIrpLocked(PIO_CSQ pCsq, PVOID pPeekContext)
{
    TfDebugLog(7, "TfCsqRemoveNextIrpLocked - IN");
    PIRP pIrp = pCsq->CsqPeekNextIrp(pCsq, NULL, pPeekContext);
    while (pIrp != NULL) {
        if (TfCsqRemoveIrpLocked(pIrp, NULL)) {
            pCsq->CsqRemoveIrp(pCsq, pIrp);
            TfDebugLog(7, "TfCsqRemoveNextIrpLocked - OUT (Success)");
            return pIrp;
        }
        pIrp = pCsq->CsqPeekNextIrp(pCsq, pIrp, pPeekContext);
    }
    TfDebugLog(7, "TfCsqRemoveNextIrpLocked - OUT - Fail-> no request to take");
    return NULL;
}

BOOLEAN TfCsqRemoveGivenIrpLocked(PIO_CSQ pCsq, PIRP pIrp, PIO_CSQ_IRP_CONTEXT pContext)
{
    TfDebugLog(7, "TfCsqRemoveGivenIrpLocked - IN");
    if (!TfCsqRemoveIrpLocked(pIrp, pContext)) {
        TfDebugLog(7, "TfCsqRemoveGivenIrpLocked - OUT - Fail-> a cancellation owns the request");
        return FALSE;
    }
    pCsq->CsqRemoveIrp(pCsq, pIrp);
    TfDebugLog(7, "TfCsqRemoveGivenIrpLocked - OUT (Success)");
    return TRUE;
}
