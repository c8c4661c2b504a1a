// Test control of kernel32's mutexes.
#pragma once

#include <windows.h>

namespace emu::win32 {

// The next CreateMutexW/CreateMutexA fails with `error` (ERROR_ACCESS_DENIED: a mutex of that name
// exists with a security descriptor that keeps the caller out).
void FailNextMutexCreation(DWORD error);

}  // namespace emu::win32
