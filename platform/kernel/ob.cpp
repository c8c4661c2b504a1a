// Object-manager calls of the kernel interface.
#include <wdm.h>

#include "machine/machine.h"
#include "machine/object_manager.h"
#include "machine/verifier.h"

using emu::Machine;

extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess,
                                              POBJECT_TYPE objectType, KPROCESSOR_MODE accessMode,
                                              PVOID* object, PVOID handleInformation)
{
    // Kernel-mode callers are not checked against the handle's granted access, as on Windows.
    emu::ObjectType expected = emu::ObjectTypeOf(objectType);
    ACCESS_MASK granted = 0;
    NTSTATUS status = Machine::Current().GetObjectManager().ReferenceByHandle(
        handle, objectType ? &expected : nullptr, object, &granted);
    if (NT_SUCCESS(status) && accessMode == UserMode && (desiredAccess & ~granted) != 0) {
        ObfDereferenceObject(*object);
        *object = nullptr;
        return STATUS_ACCESS_DENIED;
    }
    return status;
}

extern "C" LONG_PTR ObfReferenceObject(PVOID object)
{
    return Machine::Current().GetObjectManager().Reference(object);
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID object)
{
    return Machine::Current().GetObjectManager().Dereference(object);
}

extern "C" NTSTATUS ZwClose(HANDLE handle)
{
    NTSTATUS status = Machine::Current().GetObjectManager().CloseHandle(handle);
    if (!NT_SUCCESS(status))
        Machine::Current().GetVerifier().Report(emu::Violation::HandleInvalid, "ZwClose of a handle that is not open");
    return status;
}
