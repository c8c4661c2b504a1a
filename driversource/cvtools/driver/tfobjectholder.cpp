// One framework object behind a reference gate.
#include "tfobjectholder.h"

#include "tfdebug.h"

CTfObjectHolder::CTfObjectHolder() : m_pObject(NULL), m_Gate(TF_GATE_NO_MAXIMUM)
{
    TfDebugLog(7, "CTfObjectHolder::CTfObjectHolder - IN");
    TfDebugLog(7, "CTfObjectHolder::CTfObjectHolder - OUT (Success)");
}

BOOLEAN CTfObjectHolder::m_SetObject(CTfObject* pObject)
{
    TfDebugLog(7, "CTfObjectHolder::m_SetObject - IN");
    if (m_pObject != NULL) {
        // Replacing it would strand the object and any holder still using it.
        TF_ASSERT_AT();
        TfDebugLog(7, "CTfObjectHolder::m_SetObject - OUT - Fail-> an object is still held");
        return FALSE;
    }
    m_Gate.m_Init(FALSE);
    m_pObject = pObject;
    TfDebugLog(7, "CTfObjectHolder::m_SetObject - OUT (Success)");
    return TRUE;
}

CTfObject* CTfObjectHolder::m_Acquire()
{
    TfDebugLog(7, "CTfObjectHolder::m_Acquire - IN");
    // Admission first: once admitted, m_Detach cannot take the object away until we release.
    if (!m_Gate.m_Acquire()) {
        TfDebugLog(7, "CTfObjectHolder::m_Acquire - OUT - Fail-> gate closed");
        return NULL;
    }
    CTfObject* pObject = m_pObject;
    if (pObject == NULL) {
        m_Gate.m_Release();
        TfDebugLog(7, "CTfObjectHolder::m_Acquire - OUT - Fail-> no object");
        return NULL;
    }
    TfDebugLog(7, "CTfObjectHolder::m_Acquire - OUT (Success)");
    return pObject;
}

CTfObject* CTfObjectHolder::m_Detach(BOOLEAN bDelete)
{
    TfDebugLog(7, "CTfObjectHolder::m_Detach - IN");
    NTSTATUS Status = m_Gate.m_CloseAndWait(FALSE);
    if (Status != STATUS_SUCCESS) {
        // Holders still use the object: it stays where it is.
        TF_ASSERT_AT();
        TfDebugLog(7, "CTfObjectHolder::m_Detach - OUT - Fail-> holders remain, status 0x%X", (ULONG)Status);
        return NULL;
    }
    if (bDelete) {
        m_DeleteObject();
        TfDebugLog(7, "CTfObjectHolder::m_Detach - OUT (Success)");
        return NULL;
    }
    CTfObject* pObject = m_pObject;
    m_pObject = NULL;
    TfDebugLog(7, "CTfObjectHolder::m_Detach - OUT (Success)");
    return pObject;
}

void CTfObjectHolder::m_DeleteObject()
{
    TfDebugLog(7, "CTfObjectHolder::m_DeleteObject - IN");
    CTfObject* pObject = m_pObject;
    m_pObject = NULL;
    if (pObject != NULL) {
        delete pObject;
    }
    TfDebugLog(7, "CTfObjectHolder::m_DeleteObject - OUT (Success)");
}

void CTfObjectHolder::m_WaitForRelease()
{
    TfDebugLog(7, "CTfObjectHolder::m_WaitForRelease - IN");
    m_Detach(TRUE);
    m_Gate.m_ClearEvent();
    TfDebugLog(7, "CTfObjectHolder::m_WaitForRelease - OUT (Success)");
}
