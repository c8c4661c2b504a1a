// The calling thread's last error (GetLastError / SetLastError) and the status it was last made
// from (RtlGetLastNtStatus). Each thread keeps its own; a value left by a thread under an earlier
// machine does not show through on the next one.
#include <windows.h>

#include "kernel.h"
#include "win32_subsystem.h"

namespace {

struct LastError {
    uint64_t serial = 0;
    DWORD value = ERROR_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;  // of the last error set from a status
};

thread_local LastError t_lastError;

}  // namespace

namespace emu::win32 {

void SetLastNtError(NTSTATUS status)
{
    SetLastError(RtlNtStatusToDosError(status));
    t_lastError.status = status;
}

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

// A new machine's thread starts with no status, as with no error.
extern "C" void SetLastError(DWORD dwErrCode)
{
    const uint64_t serial = emu::win32::CurrentSerial();
    if (t_lastError.serial != serial) t_lastError.status = STATUS_SUCCESS;
    t_lastError.serial = serial;
    t_lastError.value = dwErrCode;
}

extern "C" NTSTATUS RtlGetLastNtStatus(void)
{
    if (t_lastError.serial != emu::win32::CurrentSerial()) return STATUS_SUCCESS;
    return t_lastError.status;
}
