// Callback-object calls of the kernel interface.
#include <wdm.h>

#include "kernel/callback_manager.h"
#include "machine/machine.h"

using emu::Machine;

extern "C" NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* callbackObject, POBJECT_ATTRIBUTES objectAttributes,
                                     BOOLEAN create, BOOLEAN allowMultipleCallbacks)
{
    return Machine::Current().GetCallbacks().Create(callbackObject, objectAttributes, create, allowMultipleCallbacks);
}

extern "C" PVOID ExRegisterCallback(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION callbackFunction,
                                    PVOID callbackContext)
{
    return Machine::Current().GetCallbacks().Register(callbackObject, callbackFunction, callbackContext);
}

extern "C" void ExUnregisterCallback(PVOID callbackRegistration)
{
    Machine::Current().GetCallbacks().Unregister(callbackRegistration);
}

extern "C" void ExNotifyCallback(PVOID callbackObject, PVOID argument1, PVOID argument2)
{
    Machine::Current().GetCallbacks().Notify(callbackObject, argument1, argument2);
}
