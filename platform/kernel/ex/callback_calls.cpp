// Callback-object calls of the kernel interface.
#include <wdm.h>

#include "ex/callback_manager.h"
#include "kernel.h"

using emu::Kernel;

extern "C" NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* callbackObject, POBJECT_ATTRIBUTES objectAttributes,
                                     BOOLEAN create, BOOLEAN allowMultipleCallbacks)
{
    return Kernel::Current().GetCallbacks().Create(callbackObject, objectAttributes, create, allowMultipleCallbacks);
}

extern "C" PVOID ExRegisterCallback(PCALLBACK_OBJECT callbackObject, PCALLBACK_FUNCTION callbackFunction,
                                    PVOID callbackContext)
{
    return Kernel::Current().GetCallbacks().Register(callbackObject, callbackFunction, callbackContext);
}

extern "C" void ExUnregisterCallback(PVOID callbackRegistration)
{
    Kernel::Current().GetCallbacks().Unregister(callbackRegistration);
}

extern "C" void ExNotifyCallback(PVOID callbackObject, PVOID argument1, PVOID argument2)
{
    Kernel::Current().GetCallbacks().Notify(callbackObject, argument1, argument2);
}
