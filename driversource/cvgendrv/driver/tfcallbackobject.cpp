// Named callback object shared by the framework devices of every driver.
#include "tfcallbackobject.h"

#include "tfdebug.h"
#include "tfstring.h"

CTfCallbackObject::CTfCallbackObject()
    : m_pCallbackObject(NULL),
      m_pRegistration(NULL),
      m_pfnRoutine(NULL),
      m_pRoutineContext(NULL),
      m_Gate(TF_GATE_NO_MAXIMUM)
{
    CTfRoutineLog Log("CTfCallbackObject::CTfCallbackObject");
    // Nothing to notify through until m_Create has opened the object.
    m_Gate.m_Init(FALSE);
    Log.m_Success();
}

CTfCallbackObject::~CTfCallbackObject()
{
    CTfRoutineLog Log("CTfCallbackObject::~CTfCallbackObject");
    // A registration left behind would call into freed memory.
    if (m_pCallbackObject != NULL || m_pRegistration != NULL) {
        m_Delete();
    }
    Log.m_Success();
}

BOOLEAN CTfCallbackObject::m_Create(const GUID& Guid, PTF_CALLBACK_ROUTINE pfnRoutine, PVOID pContext)
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfCallbackObject::m_Create");
    if (m_pCallbackObject != NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("already created");
        return FALSE;
    }

    CTfString Name(NonPagedPool);
    if (Name.m_AssignGuid(Guid) != STATUS_SUCCESS ||
        Name.m_PrependWide((const WCHAR*)TF_CALLBACK_DIRECTORY) != STATUS_SUCCESS) {
        Log.m_Fail("name not built");
        return FALSE;
    }

    OBJECT_ATTRIBUTES ObjectAttributes;
    InitializeObjectAttributes(&ObjectAttributes, Name.m_GetUnicodeString(), OBJ_CASE_INSENSITIVE | OBJ_PERMANENT,
                               NULL, NULL);
    PCALLBACK_OBJECT pCallbackObject = NULL;
    NTSTATUS Status = ExCreateCallback(&pCallbackObject, &ObjectAttributes, TRUE, TRUE);
    if (!NT_SUCCESS(Status) || pCallbackObject == NULL) {
        Log.m_Fail("ExCreateCallback %08x", (ULONG)Status);
        return FALSE;
    }
    m_pCallbackObject = pCallbackObject;
    m_Gate.m_Init(TRUE);

    if (pfnRoutine == NULL) {
        Log.m_Success();
        return TRUE;
    }

    // Another driver may notify as soon as the registration exists, so the routine is in place
    // before it.
    m_pfnRoutine = pfnRoutine;
    m_pRoutineContext = pContext;
    PVOID pRegistration = ExRegisterCallback(pCallbackObject, &CTfCallbackObject::sm_CallbackFunction, this);
    if (pRegistration == NULL) {
        m_Gate.m_CloseAndWait(FALSE);
        m_Gate.m_ClearEvent();
        m_pfnRoutine = NULL;
        m_pRoutineContext = NULL;
        m_pCallbackObject = NULL;
        ObDereferenceObject(pCallbackObject);
        Log.m_Fail("ExRegisterCallback");
        return FALSE;
    }
    m_pRegistration = pRegistration;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfCallbackObject::m_Notify(PVOID pArgument1, PVOID pArgument2)
{
    CTfRoutineLog Log("CTfCallbackObject::m_Notify");
    if (!m_Gate.m_Acquire()) {
        Log.m_Fail("being deleted");
        return FALSE;
    }
    ExNotifyCallback(m_pCallbackObject, pArgument1, pArgument2);
    m_Gate.m_Release();
    Log.m_Success();
    return TRUE;
}

void CTfCallbackObject::sm_CallbackFunction(PVOID pContext, PVOID pArgument1, PVOID pArgument2)
{
    CTfRoutineLog Log("CTfCallbackObject::sm_CallbackFunction");
    CTfCallbackObject* pThis = (CTfCallbackObject*)pContext;
    if (pThis == NULL || !pThis->m_Gate.m_Acquire()) {
        Log.m_Fail("being deleted");
        return;
    }
    PTF_CALLBACK_ROUTINE pfnRoutine = pThis->m_pfnRoutine;
    if (pfnRoutine != NULL) {
        pfnRoutine(pThis->m_pRoutineContext, pArgument1, pArgument2);
    }
    pThis->m_Gate.m_Release();
    Log.m_Success();
}

void CTfCallbackObject::m_Delete()
{
    PASSIVE_CODE();
    CTfRoutineLog Log("CTfCallbackObject::m_Delete");
    // No new call gets in through the system once unregistered; the gate then keeps out new
    // notifications and lets the calls already inside finish.
    if (m_pRegistration != NULL) {
        ExUnregisterCallback(m_pRegistration);
    }
    m_Gate.m_CloseAndWait(FALSE);
    m_pRegistration = NULL;
    m_pfnRoutine = NULL;
    m_pRoutineContext = NULL;
    if (m_pCallbackObject != NULL) {
        PCALLBACK_OBJECT pCallbackObject = m_pCallbackObject;
        m_pCallbackObject = NULL;
        ObDereferenceObject(pCallbackObject);
    }
    m_Gate.m_ClearEvent();
    Log.m_Success();
}
