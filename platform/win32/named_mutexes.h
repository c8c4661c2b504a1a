// The machine's side of named mutexes: names a program may not open.
#pragma once

#include <string_view>

namespace emu::win32 {

// CreateMutexW of that name gives no handle and ERROR_ACCESS_DENIED (the mutex was made under a
// security context the caller cannot open).
void DenyNamedObject(std::u16string_view name);

}  // namespace emu::win32
