// Test control of kernel32's mutexes.
#pragma once

#include <windows.h>

#include <string_view>

namespace emu::win32 {

// The next CreateMutexW/CreateMutexA fails with `error` (ERROR_ACCESS_DENIED: a mutex of that name
// exists with a security descriptor that keeps the caller out).
void FailNextMutexCreation(DWORD error);
// CreateMutexW of that name gives no handle and ERROR_ACCESS_DENIED from now on (the mutex was made
// under a security context the caller cannot open).
void DenyNamedObject(std::u16string_view name);

}  // namespace emu::win32
