// The object manager's system services: closing a handle and waiting on the objects of handles.
// They act for user mode: a handle that is not open is an answer (STATUS_INVALID_HANDLE), not a
// verifier report as it is for a driver's ZwClose.
#include <ntifs.h>

#include <vector>

#include "kernel.h"
#include "ob/object_manager.h"

namespace emu {

PVOID WaitableObjectOf(void* body, ObjectType type)
{
    switch (type) {
    case ObjectType::Thread:
    case ObjectType::Event:
        return body;  // both begin with their dispatcher header
    case ObjectType::File:
        return &static_cast<PFILE_OBJECT>(body)->Event;
    default:
        return nullptr;
    }
}

namespace {

// The objects of the handles, each referenced for the wait; all or none.
class WaitedObjects {
public:
    explicit WaitedObjects(ObjectManager& objects) : m_objects(objects) {}
    ~WaitedObjects()
    {
        for (void* body : m_bodies) m_objects.Dereference(body);
    }
    WaitedObjects(const WaitedObjects&) = delete;
    WaitedObjects& operator=(const WaitedObjects&) = delete;

    NTSTATUS Add(HANDLE handle)
    {
        void* body = nullptr;
        ObjectType type = ObjectType::Other;
        NTSTATUS status = m_objects.ReferenceByHandle(handle, nullptr, &body, nullptr, &type);
        if (!NT_SUCCESS(status)) return status;
        m_bodies.push_back(body);
        PVOID waitable = WaitableObjectOf(body, type);
        if (!waitable) return STATUS_OBJECT_TYPE_MISMATCH;
        m_waitables.push_back(waitable);
        return STATUS_SUCCESS;
    }
    PVOID* Waitables() { return m_waitables.data(); }

private:
    ObjectManager& m_objects;
    std::vector<void*> m_bodies;
    std::vector<PVOID> m_waitables;
};

}  // namespace

}  // namespace emu

extern "C" NTSTATUS NtClose(HANDLE handle) { return emu::Kernel::Current().GetObjectManager().CloseHandle(handle); }

extern "C" NTSTATUS NtWaitForMultipleObjects(ULONG count, HANDLE handles[], WAIT_TYPE waitType, BOOLEAN alertable,
                                             PLARGE_INTEGER timeout)
{
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS) return STATUS_INVALID_PARAMETER;
    if (!handles) return STATUS_ACCESS_VIOLATION;
    if (waitType != WaitAll && waitType != WaitAny) return STATUS_INVALID_PARAMETER;
    emu::WaitedObjects objects(emu::Kernel::Current().GetObjectManager());
    for (ULONG i = 0; i < count; ++i) {
        NTSTATUS status = objects.Add(handles[i]);
        if (!NT_SUCCESS(status)) return status;
    }
    std::vector<KWAIT_BLOCK> blocks(count > THREAD_WAIT_OBJECTS ? count : 0);
    return KeWaitForMultipleObjects(count, objects.Waitables(), waitType, UserRequest, UserMode, alertable, timeout,
                                    blocks.empty() ? nullptr : blocks.data());
}

extern "C" NTSTATUS NtWaitForSingleObject(HANDLE handle, BOOLEAN alertable, PLARGE_INTEGER timeout)
{
    return NtWaitForMultipleObjects(1, &handle, WaitAny, alertable, timeout);
}
