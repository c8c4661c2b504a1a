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
    TfDebugLog(7, "CTfCallbackObject::CTfCallbackObject - IN");
    // Nothing to notify through until m_Create has opened the object.
    m_Gate.m_Init(FALSE);
    TfDebugLog(7, "CTfCallbackObject::CTfCallbackObject - OUT (Success)");
}

CTfCallbackObject::~CTfCallbackObject()
{
    TfDebugLog(7, "CTfCallbackObject::~CTfCallbackObject - IN");
    // A registration left behind would call into freed memory.
    if (m_pCallbackObject != NULL || m_pRegistration != NULL) {
        m_Delete();
    }
    TfDebugLog(7, "CTfCallbackObject::~CTfCallbackObject - OUT (Success)");
}

BOOLEAN CTfCallbackObject::m_Create(const GUID& Guid, PTF_CALLBACK_ROUTINE pfnRoutine, PVOID pContext)
{
    TfDebugLog(7, "CTfCallbackObject::m_Create - IN");
    if (m_pCallbackObject != NULL) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CTfCallbackObject::m_Create - OUT - Fail-> already created");
        return FALSE;
    }

    CTfString Name(NonPagedPool);
    if (Name.m_AssignGuid(Guid) != STATUS_SUCCESS ||
        Name.m_PrependWide((const WCHAR*)TF_CALLBACK_DIRECTORY) != STATUS_SUCCESS) {
        TfDebugLog(7, "CTfCallbackObject::m_Create - OUT - Fail-> name not built");
        return FALSE;
    }

    OBJECT_ATTRIBUTES ObjectAttributes;
    InitializeObjectAttributes(&ObjectAttributes, Name.m_GetUnicodeString(), OBJ_CASE_INSENSITIVE | OBJ_PERMANENT,
                               NULL, NULL);
    PCALLBACK_OBJECT pCallbackObject = NULL;
    NTSTATUS Status = ExCreateCallback(&pCallbackObject, &ObjectAttributes, TRUE, TRUE);
    if (!NT_SUCCESS(Status) || pCallbackObject == NULL) {
        TfDebugLog(7, "CTfCallbackObject::m_Create - OUT - Fail-> ExCreateCallback %08x", (ULONG)Status);
        return FALSE;
    }
    m_pCallbackObject = pCallbackObject;
    m_Gate.m_Init(TRUE);

    if (pfnRoutine == NULL) {
        TfDebugLog(7, "CTfCallbackObject::m_Create - OUT (Success)");
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
        TfDebugLog(7, "CTfCallbackObject::m_Create - OUT - Fail-> ExRegisterCallback");
        return FALSE;
    }
    m_pRegistration = pRegistration;
    TfDebugLog(7, "CTfCallbackObject::m_Create - OUT (Success)");
    return TRUE;
}

BOOLEAN CTfCallbackObject::m_Notify(PVOID pArgument1, PVOID pArgument2)
{
    TfDebugLog(7, "CTfCallbackObject::m_Notify - IN");
    if (!m_Gate.m_Acquire()) {
        TfDebugLog(7, "CTfCallbackObject::m_Notify - OUT - Fail-> being deleted");
        return FALSE;
    }
    ExNotifyCallback(m_pCallbackObject, pArgument1, pArgument2);
    m_Gate.m_Release();
    TfDebugLog(7, "CTfCallbackObject::m_Notify - OUT (Success)");
    return TRUE;
}

void CTfCallbackObject::sm_CallbackFunction(PVOID pContext, PVOID pArgument1, PVOID pArgument2)
{
    TfDebugLog(7, "CTfCallbackObject::sm_CallbackFunction - IN");
    CTfCallbackObject* pThis = (CTfCallbackObject*)pContext;
    if (pThis == NULL || !pThis->m_Gate.m_Acquire()) {
        TfDebugLog(7, "CTfCallbackObject::sm_CallbackFunction - OUT - Fail-> being deleted");
        return;
    }
    PTF_CALLBACK_ROUTINE pfnRoutine = pThis->m_pfnRoutine;
    if (pfnRoutine != NULL) {
        pfnRoutine(pThis->m_pRoutineContext, pArgument1, pArgument2);
    }
    pThis->m_Gate.m_Release();
    TfDebugLog(7, "CTfCallbackObject::sm_CallbackFunction - OUT (Success)");
}

void CTfCallbackObject::m_Delete()
{
    TfDebugLog(7, "CTfCallbackObject::m_Delete - IN");
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
    TfDebugLog(7, "CTfCallbackObject::m_Delete - OUT (Success)");
}
