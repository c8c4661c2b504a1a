// The security of registry keys as user mode meets it: each open is checked against the key's
// descriptor with the calling program's token (a key without a descriptor of its own belongs to
// the administrators: they and SYSTEM may do anything, users may read), and WOW64's registry view
// (a 32-bit program on a 64-bit system reaches HKLM\Software\Wow6432Node for HKLM\Software, except
// for the keys both views share, unless it asks for the 64-bit view).
#pragma once

#include <winreg.h>

#include <string>
#include <string_view>

namespace emu::advapi {

// Whether the program may open the key of the handle with these rights; ERROR_SUCCESS or
// ERROR_ACCESS_DENIED.
LSTATUS CheckKeyAccess(HANDLE key, REGSAM access);
// The absolute key name the calling program reaches when it names `absolutePath` with `access`.
std::u16string ViewOf(std::u16string_view absolutePath, REGSAM access);

}  // namespace emu::advapi
