// One framework object behind a reference gate.
#include "tfobjectholder.h"

#include "tfdebug.h"

CTfObjectHolder::CTfObjectHolder() : m_pObject(NULL), m_Gate(TF_GATE_NO_MAXIMUM)
{
    CTfRoutineLog Log("CTfObjectHolder::CTfObjectHolder");
    Log.m_Success();
}

BOOLEAN CTfObjectHolder::m_SetObject(CTfObject* pObject)
{
    CTfRoutineLog Log("CTfObjectHolder::m_SetObject");
    if (m_pObject != NULL) {
        // Replacing it would strand the object and any holder still using it.
        TF_ASSERT_AT();
        Log.m_Fail("an object is still held");
        return FALSE;
    }
    m_Gate.m_Init(FALSE);
    m_pObject = pObject;
    Log.m_Success();
    return TRUE;
}

CTfObject* CTfObjectHolder::m_Acquire()
{
    CTfRoutineLog Log("CTfObjectHolder::m_Acquire");
    // Admission first: once admitted, m_Detach cannot take the object away until we release.
    if (!m_Gate.m_Acquire()) {
        Log.m_Fail("gate closed");
        return NULL;
    }
    CTfObject* pObject = m_pObject;
    if (pObject == NULL) {
        m_Gate.m_Release();
        Log.m_Fail("no object");
        return NULL;
    }
    Log.m_Success();
    return pObject;
}

CTfObject* CTfObjectHolder::m_Detach(BOOLEAN bDelete)
{
    CTfRoutineLog Log("CTfObjectHolder::m_Detach");
    NTSTATUS Status = m_Gate.m_CloseAndWait(FALSE);
    if (Status != STATUS_SUCCESS) {
        // Holders still use the object: it stays where it is.
        TF_ASSERT_AT();
        Log.m_Fail("holders remain, status 0x%X", (ULONG)Status);
        return NULL;
    }
    if (bDelete) {
        m_DeleteObject();
        Log.m_Success();
        return NULL;
    }
    CTfObject* pObject = m_pObject;
    m_pObject = NULL;
    Log.m_Success();
    return pObject;
}

void CTfObjectHolder::m_DeleteObject()
{
    CTfRoutineLog Log("CTfObjectHolder::m_DeleteObject");
    CTfObject* pObject = m_pObject;
    m_pObject = NULL;
    if (pObject != NULL) {
        delete pObject;
    }
    Log.m_Success();
}

void CTfObjectHolder::m_WaitForRelease()
{
    CTfRoutineLog Log("CTfObjectHolder::m_WaitForRelease");
    m_Detach(TRUE);
    m_Gate.m_ClearEvent();
    Log.m_Success();
}
