// Named kernel callback object through which framework devices of different drivers call each
// other: "\Callback\{GUID}", created on first use and shared by every driver that opens the name.
// A device registers its routine on it and notifies the others through it.
#pragma once

#include <wdm.h>

#include "tfobject.h"
#include "tfreferencegate.h"

// Directory of the named callback objects.
#define TF_CALLBACK_DIRECTORY u"\\Callback\\"

// The owner's routine: (owner context, argument 1, argument 2).
typedef void (*PTF_CALLBACK_ROUTINE)(PVOID pContext, PVOID pArgument1, PVOID pArgument2);

class CTfCallbackObject : public CTfObjectBase {
public:
    CTfCallbackObject();
    // Deletes a registration that is still in place.
    virtual ~CTfCallbackObject();

    // Opens or creates "\Callback\" + the GUID's string form and, with a routine, registers it.
    // FALSE leaves nothing registered. PASSIVE_LEVEL.
    BOOLEAN m_Create(const GUID& Guid, PTF_CALLBACK_ROUTINE pfnRoutine, PVOID pContext);
    // Calls every routine registered on the object; FALSE once the object is being deleted (or was
    // never created). Any IRQL the registered routines allow.
    BOOLEAN m_Notify(PVOID pArgument1, PVOID pArgument2);
    // Unregisters, waits until no call through this object is running, and lets go of the object.
    // PASSIVE_LEVEL, never from inside the owner's routine.
    void m_Delete();

    // The routine registered with the system; pContext is the CTfCallbackObject.
    static void sm_CallbackFunction(PVOID pContext, PVOID pArgument1, PVOID pArgument2);

    PCALLBACK_OBJECT m_GetCallbackObject() const { return m_pCallbackObject; }
    BOOLEAN m_IsRegistered() const { return m_pRegistration != NULL; }

private:
    CTfCallbackObject(const CTfCallbackObject&) = delete;
    CTfCallbackObject& operator=(const CTfCallbackObject&) = delete;

    PCALLBACK_OBJECT m_pCallbackObject;  // referenced
    PVOID m_pRegistration;
    PTF_CALLBACK_ROUTINE m_pfnRoutine;
    PVOID m_pRoutineContext;
    CTfReferenceGate m_Gate;
};
