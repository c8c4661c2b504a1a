// Mutexes of kernel32 on the event services: a mutex is a synchronization event that is signalled
// while nobody owns it. A wait takes it (the event resets), ReleaseMutex gives it back (the event
// is set again). A named mutex lives in "\BaseNamedObjects" like a named event, and creating a name
// that exists opens that object with ERROR_ALREADY_EXISTS.
//
// Ownership is not recorded: a thread that waits twice on a mutex it holds waits for itself, and
// a mutex whose owner ends is not abandoned. Nothing on this machine relies on either.
#include "named_mutex.h"

#include <atomic>

#include "win32_subsystem.h"

namespace emu::win32 {

namespace {

std::atomic<DWORD> g_nextCreationError{ERROR_SUCCESS};

// FALSE when a failure was asked for (the last error is set).
BOOL CreationAllowed()
{
    const DWORD error = g_nextCreationError.exchange(ERROR_SUCCESS);
    if (error == ERROR_SUCCESS) return TRUE;
    SetLastError(error);
    return FALSE;
}

}  // namespace

void FailNextMutexCreation(DWORD error) { g_nextCreationError.store(error); }

}  // namespace emu::win32

// Owned at once by its creator: not signalled. An existing mutex keeps its state.
extern "C" HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName)
{
    if (!emu::win32::CreationAllowed()) return nullptr;
    return CreateEventW(lpMutexAttributes, FALSE, bInitialOwner ? FALSE : TRUE, lpName);
}

extern "C" HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName)
{
    if (!emu::win32::CreationAllowed()) return nullptr;
    return CreateEventA(lpMutexAttributes, FALSE, bInitialOwner ? FALSE : TRUE, lpName);
}

extern "C" BOOL ReleaseMutex(HANDLE hMutex) { return SetEvent(hMutex); }
