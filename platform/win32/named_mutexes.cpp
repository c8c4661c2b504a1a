// Named mutexes in "\BaseNamedObjects" (names compared with case, as on Windows). The wizards use a
// mutex only to tell that another copy of the program runs: it is made without an owner and held
// open, so the model keeps no owner: a mutex is a synchronization object of the kernel's event
// service, free while signalled. A test
// can make a name one the caller may not open (made under another security context).
#include "named_mutexes.h"

#include <set>

#include "machine_state.h"
#include "win32_subsystem.h"

namespace emu::win32 {

namespace {

struct DeniedNames {
    std::mutex mutex;  // guards names
    std::set<std::u16string> names;
};

PerMachine<DeniedNames> g_denied;

bool Denied(const std::u16string& name)
{
    DeniedNames& denied = g_denied.Get();
    std::lock_guard lock(denied.mutex);
    return denied.names.count(name) != 0;
}

}  // namespace

void DenyNamedObject(std::u16string_view name)
{
    DeniedNames& denied = g_denied.Get();
    std::lock_guard lock(denied.mutex);
    denied.names.insert(std::u16string(name));
}

}  // namespace emu::win32

extern "C" HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName)
{
    if (lpName && emu::win32::Denied(lpName)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    // Owned at once: not signalled; free: signalled.
    HANDLE handle = CreateEventW(lpMutexAttributes, FALSE, bInitialOwner ? FALSE : TRUE, lpName);
    return handle;
}

extern "C" BOOL ReleaseMutex(HANDLE hMutex)
{
    if (!hMutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return SetEvent(hMutex);
}
