// Object-manager calls of the kernel interface.
#include <wdm.h>

#include "kernel.h"
#include "ob/object_manager.h"
#include "vf/verifier.h"

using emu::Kernel;

extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess,
                                              POBJECT_TYPE objectType, KPROCESSOR_MODE accessMode,
                                              PVOID* object, PVOID handleInformation)
{
    // Kernel-mode callers are not checked against the handle's granted access, as on Windows.
    emu::ObjectType expected = emu::ObjectTypeOf(objectType);
    ACCESS_MASK granted = 0;
    NTSTATUS status = Kernel::Current().GetObjectManager().ReferenceByHandle(
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
    return Kernel::Current().GetObjectManager().Reference(object);
}

extern "C" LONG_PTR ObfDereferenceObject(PVOID object)
{
    return Kernel::Current().GetObjectManager().Dereference(object);
}

extern "C" NTSTATUS ZwClose(HANDLE handle)
{
    NTSTATUS status = Kernel::Current().GetObjectManager().CloseHandle(handle);
    if (!NT_SUCCESS(status))
        Kernel::Current().GetVerifier().Report(emu::Violation::HandleInvalid, "ZwClose of a handle that is not open");
    return status;
}
