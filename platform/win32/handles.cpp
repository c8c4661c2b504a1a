// The subsystem's process and its handles: CloseHandle, and the end of the process.
#include "win32_subsystem.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "io/file_objects.h"
#include "io/io_manager.h"
#include "kernel.h"
#include "ob/object_namespace.h"

namespace emu {

namespace {

constexpr char16_t kNamedObjects[] = u"\\BaseNamedObjects";

std::atomic<uint64_t> g_nextSerial{1};
std::atomic<Win32Subsystem*> g_current{nullptr};

}  // namespace

Win32Subsystem::Win32Subsystem(Kernel& kernel) : m_kernel(kernel), m_serial(g_nextSerial.fetch_add(1))
{
    ObjectNamespace& names = kernel.GetNamespace();
    {
        std::lock_guard lock(names.DatabaseLock());
        if (!names.Contains(kNamedObjects)) names.CreateDirectory(kNamedObjects);
    }
    g_current.store(this);
}

Win32Subsystem::~Win32Subsystem()
{
    m_kernel.GetIo().Files().RunDownUserMode();
    g_current.store(nullptr);
}

Win32Subsystem& Win32Subsystem::Current()
{
    Win32Subsystem* subsystem = g_current.load();
    if (!subsystem) {
        std::fprintf(stderr, "emu::Win32Subsystem: a user-mode function was called with no machine running\n");
        std::abort();
    }
    return *subsystem;
}

Win32Subsystem* Win32Subsystem::TryCurrent() { return g_current.load(); }

void Win32Subsystem::AddOverlappedHandle(HANDLE handle)
{
    std::lock_guard lock(m_mutex);
    m_overlapped.insert(handle);
}

bool Win32Subsystem::IsOverlappedHandle(HANDLE handle) const
{
    std::lock_guard lock(m_mutex);
    return m_overlapped.count(handle) != 0;
}

void Win32Subsystem::ForgetHandle(HANDLE handle)
{
    std::lock_guard lock(m_mutex);
    m_overlapped.erase(handle);
}

namespace win32 {

uint64_t CurrentSerial()
{
    Win32Subsystem* subsystem = Win32Subsystem::TryCurrent();
    return subsystem ? subsystem->Serial() : 0;
}

HANDLE EventOf(const OVERLAPPED* overlapped)
{
    return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(overlapped->hEvent) & ~ULONG_PTR{1});
}

}  // namespace win32

}  // namespace emu

extern "C" BOOL CloseHandle(HANDLE hObject)
{
    if (!hObject || hObject == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    emu::Win32Subsystem::Current().ForgetHandle(hObject);
    NTSTATUS status = NtClose(hObject);
    if (!NT_SUCCESS(status)) {
        emu::win32::SetLastNtError(status);
        return FALSE;
    }
    return TRUE;
}
