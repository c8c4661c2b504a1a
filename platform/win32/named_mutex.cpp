// Mutexes of kernel32 on the event services: a mutex is a synchronization event that is signalled
// while nobody owns it. A wait takes it (the event resets), ReleaseMutex gives it back (the event
// is set again). A named mutex lives in "\BaseNamedObjects" like a named event (names compared
// with case, as on Windows), and creating a name that exists opens that object with
// ERROR_ALREADY_EXISTS.
//
// Ownership is not recorded: a thread that waits twice on a mutex it holds waits for itself, and
// a mutex whose owner ends is not abandoned. The programs use mutexes only to run once or to keep
// two co-installer calls apart, and rely on neither.
#include "named_mutex.h"

#include <atomic>
#include <mutex>
#include <set>
#include <string>

#include "machine_state.h"
#include "win32_subsystem.h"

namespace emu::win32 {

namespace {

std::atomic<DWORD> g_nextCreationError{ERROR_SUCCESS};

struct DeniedNames {
    std::mutex mutex;  // guards names
    std::set<std::u16string> names;
};

PerMachine<DeniedNames> g_denied;

bool Denied(LPCWSTR name)
{
    if (!name) return false;
    DeniedNames& denied = g_denied.Get();
    std::lock_guard lock(denied.mutex);
    return denied.names.count(name) != 0;
}

// FALSE when a failure was asked for or the name is denied (the last error is set).
BOOL CreationAllowed(LPCWSTR name)
{
    DWORD error = g_nextCreationError.exchange(ERROR_SUCCESS);
    if (error == ERROR_SUCCESS && Denied(name)) error = ERROR_ACCESS_DENIED;
    if (error == ERROR_SUCCESS) return TRUE;
    SetLastError(error);
    return FALSE;
}

}  // namespace

void FailNextMutexCreation(DWORD error) { g_nextCreationError.store(error); }

void DenyNamedObject(std::u16string_view name)
{
    DeniedNames& denied = g_denied.Get();
    std::lock_guard lock(denied.mutex);
    denied.names.insert(std::u16string(name));
}

}  // namespace emu::win32

// Owned at once by its creator: not signalled. An existing mutex keeps its state.
extern "C" HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName)
{
    if (!emu::win32::CreationAllowed(lpName)) return nullptr;
    return CreateEventW(lpMutexAttributes, FALSE, bInitialOwner ? FALSE : TRUE, lpName);
}

extern "C" HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName)
{
    if (!emu::win32::CreationAllowed(nullptr)) return nullptr;
    return CreateEventA(lpMutexAttributes, FALSE, bInitialOwner ? FALSE : TRUE, lpName);
}

extern "C" BOOL ReleaseMutex(HANDLE hMutex)
{
    if (!hMutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return SetEvent(hMutex);
}
