// The executive's event services: an event object is a KEVENT the object manager holds (type
// Event), optionally named in the object namespace for as long as it lives.
#include <ntifs.h>

#include <optional>
#include <string>

#include "kernel.h"
#include "ob/object_manager.h"
#include "ob/object_namespace.h"

namespace emu {

namespace {

ACCESS_MASK MapEventAccess(ACCESS_MASK access)
{
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (access & GENERIC_READ) mapped |= STANDARD_RIGHTS_READ | EVENT_QUERY_STATE;
    if (access & GENERIC_WRITE) mapped |= STANDARD_RIGHTS_WRITE | EVENT_MODIFY_STATE;
    if (access & GENERIC_EXECUTE) mapped |= STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= EVENT_ALL_ACCESS;
    return mapped;
}

std::optional<std::u16string> NameOf(POBJECT_ATTRIBUTES attributes)
{
    if (!attributes || !attributes->ObjectName || attributes->ObjectName->Length == 0) return std::nullopt;
    const UNICODE_STRING& name = *attributes->ObjectName;
    return std::u16string(name.Buffer, name.Length / sizeof(WCHAR));
}

// A handle to the event a name already holds: OBJ_OPENIF opens it as it is.
NTSTATUS OpenExisting(const NamespaceEntry& existing, ULONG attributes, ACCESS_MASK access, PHANDLE handle)
{
    if (!(attributes & OBJ_OPENIF)) return STATUS_OBJECT_NAME_COLLISION;
    if (existing.type != ObjectType::Event) return STATUS_OBJECT_TYPE_MISMATCH;
    *handle = Kernel::Current().GetObjectManager().CreateHandle(existing.object, access, UserMode);
    return *handle ? STATUS_OBJECT_NAME_EXISTS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS CreateEventObject(const std::optional<std::u16string>& name, EVENT_TYPE type, BOOLEAN initialState,
                           ACCESS_MASK access, PHANDLE handle)
{
    ObjectManager& objects = Kernel::Current().GetObjectManager();
    auto* event = new KEVENT;
    KeInitializeEvent(event, type, initialState);
    const std::u16string fullName = name ? ObjectNamespace::Canonical(*name) : std::u16string();
    objects.Register(event, ObjectType::Event, [fullName](void* body) {
        if (!fullName.empty())
            if (Kernel* kernel = Kernel::TryCurrent()) kernel->GetNamespace().RemoveIfNames(fullName, body);
        delete static_cast<KEVENT*>(body);
    });
    if (name) {
        NTSTATUS status = Kernel::Current().GetNamespace().Insert(fullName, ObjectType::Event, event);
        if (!NT_SUCCESS(status)) {
            objects.Dereference(event);
            return status;
        }
    }
    *handle = objects.CreateHandle(event, access, UserMode);
    objects.Dereference(event);  // the handle holds it now
    return STATUS_SUCCESS;
}

// The event of a handle, checked against the access the caller needs; referenced.
NTSTATUS ReferenceEvent(HANDLE handle, ACCESS_MASK required, PKEVENT* event)
{
    return ObReferenceObjectByHandle(handle, required, *ExEventObjectType, UserMode, reinterpret_cast<PVOID*>(event),
                                     nullptr);
}

}  // namespace

}  // namespace emu

extern "C" NTSTATUS NtCreateEvent(PHANDLE eventHandle, ACCESS_MASK desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                                  EVENT_TYPE eventType, BOOLEAN initialState)
{
    if (!eventHandle) return STATUS_ACCESS_VIOLATION;
    if (eventType != NotificationEvent && eventType != SynchronizationEvent) return STATUS_INVALID_PARAMETER;
    *eventHandle = nullptr;
    const ACCESS_MASK access = emu::MapEventAccess(desiredAccess);
    const std::optional<std::u16string> name = emu::NameOf(objectAttributes);
    if (!name) return emu::CreateEventObject(name, eventType, initialState, access, eventHandle);

    // The look-up and the insert under one hold of the namespace, so two creators of one name
    // end up with one event.
    emu::ObjectNamespace& names = emu::Kernel::Current().GetNamespace();
    std::lock_guard lock(names.DatabaseLock());
    if (std::optional<emu::NamespaceEntry> existing = names.Lookup(*name))
        return emu::OpenExisting(*existing, objectAttributes->Attributes, access, eventHandle);
    return emu::CreateEventObject(name, eventType, initialState, access, eventHandle);
}

extern "C" NTSTATUS NtSetEvent(HANDLE eventHandle, PLONG previousState)
{
    PKEVENT event = nullptr;
    NTSTATUS status = emu::ReferenceEvent(eventHandle, EVENT_MODIFY_STATE, &event);
    if (!NT_SUCCESS(status)) return status;
    const LONG previous = KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    if (previousState) *previousState = previous;
    ObDereferenceObject(event);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NtResetEvent(HANDLE eventHandle, PLONG previousState)
{
    PKEVENT event = nullptr;
    NTSTATUS status = emu::ReferenceEvent(eventHandle, EVENT_MODIFY_STATE, &event);
    if (!NT_SUCCESS(status)) return status;
    const LONG previous = KeResetEvent(event);
    if (previousState) *previousState = previous;
    ObDereferenceObject(event);
    return STATUS_SUCCESS;
}
