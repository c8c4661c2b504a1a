// Mutexes of kernel32 on the kernel's event services: a mutex is a synchronization event that is
// signalled while nobody owns it. A wait takes it (the event resets), ReleaseMutex gives it back
// (the event is set again). A named mutex lives in "\BaseNamedObjects" like a named event, and
// creating a name that exists opens that object with ERROR_ALREADY_EXISTS.
//
// Ownership is not recorded: a thread that waits twice on a mutex it holds waits for itself, and
// a mutex whose owner ends is not abandoned. Nothing on this machine relies on either.
#include "named_mutex.h"

#include <atomic>
#include <string>

#include "win32_subsystem.h"

namespace emu::win32 {

namespace {

constexpr char16_t kNamedObjects[] = u"\\BaseNamedObjects\\";

std::atomic<DWORD> g_nextCreationError{ERROR_SUCCESS};

HANDLE NewMutex(BOOL initialOwner, const std::u16string* name)
{
    if (DWORD error = g_nextCreationError.exchange(ERROR_SUCCESS)) {
        SetLastError(error);
        return nullptr;
    }
    std::u16string fullName;
    UNICODE_STRING counted{};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, 0, nullptr, nullptr);
    if (name) {
        if (name->find(u'\\') != std::u16string::npos) {
            SetLastError(ERROR_INVALID_NAME);
            return nullptr;
        }
        fullName = kNamedObjects + *name;
        counted.Buffer = fullName.data();
        counted.Length = counted.MaximumLength = static_cast<USHORT>(fullName.size() * sizeof(WCHAR));
        InitializeObjectAttributes(&attributes, &counted, OBJ_OPENIF, nullptr, nullptr);
    }
    HANDLE handle = nullptr;
    // Owned at once by its creator: not signalled. An existing mutex keeps its state.
    const NTSTATUS status = NtCreateEvent(&handle, EVENT_ALL_ACCESS, &attributes, SynchronizationEvent,
                                          initialOwner ? FALSE : TRUE);
    if (!NT_SUCCESS(status)) {
        SetLastNtError(status);
        return nullptr;
    }
    SetLastError(status == STATUS_OBJECT_NAME_EXISTS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

}  // namespace

void FailNextMutexCreation(DWORD error) { g_nextCreationError.store(error); }

}  // namespace emu::win32

extern "C" HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName)
{
    (void)lpMutexAttributes;
    if (!lpName) return emu::win32::NewMutex(bInitialOwner, nullptr);
    std::u16string name(lpName);
    return emu::win32::NewMutex(bInitialOwner, &name);
}

extern "C" HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName)
{
    (void)lpMutexAttributes;
    if (!lpName) return emu::win32::NewMutex(bInitialOwner, nullptr);
    std::u16string name = emu::win32::FromAnsi(lpName);
    return emu::win32::NewMutex(bInitialOwner, &name);
}

extern "C" BOOL ReleaseMutex(HANDLE hMutex) { return emu::win32::Answer(NtSetEvent(hMutex, nullptr)); }
