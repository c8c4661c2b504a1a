// Helpers shared by the framework's cancel-safe queues.
#include "tfcsqhelpers.h"

#include "tfdebug.h"

BOOLEAN TfCsqRemoveIrpLocked(PIRP pIrp, PIO_CSQ_IRP_CONTEXT pContext)
{
    CTfRoutineLog Log("TfCsqRemoveIrpLocked");
    if (pIrp == NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("no request");
        return FALSE;
    }
    if (IoSetCancelRoutine(pIrp, NULL) == NULL) {
        // IoCancelIrp took the routine first: the cancellation removes and completes the request.
        Log.m_Fail("a cancellation owns the request");
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
    Log.m_Success();
    return TRUE;
}

PIRP TfCsqRemoveNextIrpLocked(PIO_CSQ pCsq, PVOID pPeekContext)
{
    CTfRoutineLog Log("TfCsqRemoveNextIrpLocked");
    PIRP pIrp = pCsq->CsqPeekNextIrp(pCsq, NULL, pPeekContext);
    while (pIrp != NULL) {
        if (TfCsqRemoveIrpLocked(pIrp, NULL)) {
            pCsq->CsqRemoveIrp(pCsq, pIrp);
            Log.m_Success();
            return pIrp;
        }
        pIrp = pCsq->CsqPeekNextIrp(pCsq, pIrp, pPeekContext);
    }
    Log.m_Fail("no request to take");
    return NULL;
}

BOOLEAN TfCsqRemoveGivenIrpLocked(PIO_CSQ pCsq, PIRP pIrp, PIO_CSQ_IRP_CONTEXT pContext)
{
    CTfRoutineLog Log("TfCsqRemoveGivenIrpLocked");
    if (!TfCsqRemoveIrpLocked(pIrp, pContext)) {
        Log.m_Fail("a cancellation owns the request");
        return FALSE;
    }
    pCsq->CsqRemoveIrp(pCsq, pIrp);
    Log.m_Success();
    return TRUE;
}
