// Events and waits of kernel32 on the kernel's dispatcher objects: a user-mode event is a KEVENT
// object of the object manager, a file handle waits on its file object's event, a thread handle
// on its thread object.
#include "win32_subsystem.h"

#include <windows.h>

#include <string>
#include <vector>

#include "ob/object_namespace.h"
#include "kernel.h"
#include "ob/object_manager.h"

namespace emu::win32 {

namespace {

constexpr char16_t kNamedObjects[] = u"\\BaseNamedObjects";

// The dispatcher object a handle waits on, referenced (the body to dereference goes to *body).
NTSTATUS WaitableOf(HANDLE handle, void** object, void** body)
{
    ObjectManager& objects = Kernel::Current().GetObjectManager();
    if (!NT_SUCCESS(objects.ReferenceByHandle(handle, nullptr, body))) return STATUS_INVALID_HANDLE;
    ObjectType type = ObjectType::Other;
    objects.Lookup(handle, &type);
    switch (type) {
    case ObjectType::Event:
    case ObjectType::Thread:
        *object = *body;  // both begin with their dispatcher header
        return STATUS_SUCCESS;
    case ObjectType::File:
        *object = &static_cast<PFILE_OBJECT>(*body)->Event;
        return STATUS_SUCCESS;
    default:
        objects.Dereference(*body);
        *body = nullptr;
        return STATUS_INVALID_HANDLE;
    }
}

HANDLE NewEvent(BOOL manualReset, BOOL initialState, const std::u16string* name)
{
    Kernel& machine = Kernel::Current();
    ObjectManager& objects = machine.GetObjectManager();
    ObjectNamespace& names = machine.GetNamespace();
    std::u16string fullName;
    if (name) {
        if (name->find(u'\\') != std::u16string::npos) {
            SetLastError(ERROR_INVALID_NAME);
            return nullptr;
        }
        fullName = std::u16string(kNamedObjects) + u"\\" + *name;
        std::lock_guard lock(names.DatabaseLock());
        if (!names.Contains(kNamedObjects)) names.CreateDirectory(kNamedObjects);
        if (std::optional<NamespaceEntry> existing = names.Lookup(fullName)) {
            if (existing->type != ObjectType::Event) {
                SetLastError(ERROR_INVALID_HANDLE);
                return nullptr;
            }
            // Opening the event of that name: its state and type stay as they are.
            HANDLE handle = objects.CreateHandle(existing->object, EVENT_ALL_ACCESS, UserMode);
            AddUserHandle(handle, nullptr);
            SetLastError(ERROR_ALREADY_EXISTS);
            return handle;
        }
    }

    auto* event = new KEVENT;
    KeInitializeEvent(event, manualReset ? NotificationEvent : SynchronizationEvent, initialState ? TRUE : FALSE);
    objects.Register(event, ObjectType::Event, [fullName](void* body) {
        if (!fullName.empty())
            if (Kernel* machine = Kernel::TryCurrent()) machine->GetNamespace().RemoveIfNames(fullName, body);
        delete static_cast<KEVENT*>(body);
    });
    if (name) {
        std::lock_guard lock(names.DatabaseLock());
        if (!NT_SUCCESS(names.Insert(fullName, ObjectType::Event, event))) {
            objects.Dereference(event);
            SetLastError(ERROR_INVALID_NAME);
            return nullptr;
        }
    }
    HANDLE handle = objects.CreateHandle(event, EVENT_ALL_ACCESS, UserMode);
    AddUserHandle(handle, nullptr);
    objects.Dereference(event);  // the handle holds it now
    SetLastError(ERROR_SUCCESS);
    return handle;
}

template <class Action>
BOOL WithEvent(HANDLE handle, Action action)
{
    const ObjectType eventType = ObjectType::Event;
    void* body = nullptr;
    ObjectManager& objects = Kernel::Current().GetObjectManager();
    if (!NT_SUCCESS(objects.ReferenceByHandle(handle, &eventType, &body))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    action(static_cast<PKEVENT>(body));
    objects.Dereference(body);
    return TRUE;
}

}  // namespace

}  // namespace emu::win32

extern "C" HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                               LPCWSTR lpName)
{
    (void)lpEventAttributes;
    if (!lpName) return emu::win32::NewEvent(bManualReset, bInitialState, nullptr);
    std::u16string name(lpName);
    return emu::win32::NewEvent(bManualReset, bInitialState, &name);
}

extern "C" HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                               LPCSTR lpName)
{
    (void)lpEventAttributes;
    if (!lpName) return emu::win32::NewEvent(bManualReset, bInitialState, nullptr);
    std::u16string name;
    for (const char* p = lpName; *p; ++p) name.push_back(static_cast<WCHAR>(static_cast<unsigned char>(*p)));
    return emu::win32::NewEvent(bManualReset, bInitialState, &name);
}

extern "C" BOOL SetEvent(HANDLE hEvent)
{
    return emu::win32::WithEvent(hEvent, [](PKEVENT event) { KeSetEvent(event, IO_NO_INCREMENT, FALSE); });
}

extern "C" BOOL ResetEvent(HANDLE hEvent)
{
    return emu::win32::WithEvent(hEvent, [](PKEVENT event) { KeClearEvent(event); });
}

extern "C" DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds)
{
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || !lpHandles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<void*> objects(nCount, nullptr);
    std::vector<void*> bodies(nCount, nullptr);
    auto release = [&] {
        for (void* body : bodies)
            if (body) ObDereferenceObject(body);
    };
    for (DWORD i = 0; i < nCount; ++i) {
        if (!NT_SUCCESS(emu::win32::WaitableOf(lpHandles[i], &objects[i], &bodies[i]))) {
            release();
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    LARGE_INTEGER timeout{};
    timeout.QuadPart = -static_cast<LONGLONG>(dwMilliseconds) * 10000;
    std::vector<KWAIT_BLOCK> blocks(nCount > THREAD_WAIT_OBJECTS ? nCount : 0);
    const NTSTATUS status = KeWaitForMultipleObjects(nCount, objects.data(), bWaitAll ? WaitAll : WaitAny, UserRequest,
                                                     UserMode, FALSE, dwMilliseconds == INFINITE ? nullptr : &timeout,
                                                     blocks.empty() ? nullptr : blocks.data());
    release();
    // The wait statuses are the wait results: WAIT_OBJECT_0 + n, WAIT_ABANDONED_0 + n, WAIT_TIMEOUT.
    const DWORD result = static_cast<DWORD>(status);
    if (result < nCount || (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + nCount) || result == WAIT_TIMEOUT)
        return result;
    emu::win32::SetLastNtError(status);
    return WAIT_FAILED;
}

extern "C" DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}
