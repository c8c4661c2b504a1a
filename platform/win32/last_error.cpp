// The calling thread's last error (GetLastError / SetLastError). Each thread keeps its own; a value
// left by a thread under an earlier machine does not show through on the next one.
#include <windows.h>

#include "kernel.h"
#include "win32_subsystem.h"

namespace {

struct LastError {
    uint64_t serial = 0;
    DWORD value = ERROR_SUCCESS;
};

thread_local LastError t_lastError;

}  // namespace

namespace emu::win32 {

void SetLastNtError(NTSTATUS status) { SetLastError(RtlNtStatusToDosError(status)); }

BOOL Answer(NTSTATUS status)
{
    if (NT_SUCCESS(status)) return TRUE;
    SetLastNtError(status);
    return FALSE;
}

}  // namespace emu::win32

extern "C" DWORD GetLastError(void)
{
    if (t_lastError.serial != emu::win32::CurrentSerial()) return ERROR_SUCCESS;
    return t_lastError.value;
}

extern "C" void SetLastError(DWORD dwErrCode)
{
    t_lastError.serial = emu::win32::CurrentSerial();
    t_lastError.value = dwErrCode;
}
