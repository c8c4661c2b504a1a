// advapi32's registry: user-mode key handles over the kernel's configuration manager. An HKEY is
// a user-mode handle of a key object; the predefined keys name the tops of the tree.
#pragma once

#include <winreg.h>

#include <optional>
#include <string>
#include <string_view>

namespace emu::advapi {

// The absolute path of a predefined key ("\Registry\Machine" for HKEY_LOCAL_MACHINE), or nothing.
std::optional<std::u16string_view> PredefinedKeyPath(HKEY key);
// Opens (or, asked to, creates) a key by its absolute path for user mode. Rights of the generic
// kind are mapped to the key's own. Returns a Win32 error.
LSTATUS OpenKeyByPath(std::u16string_view absolutePath, REGSAM access, bool create, HKEY* key,
                      DWORD* disposition = nullptr);

// The Win32 error of a registry call's NTSTATUS. A key that cannot be deleted (it has subkeys)
// answers ERROR_ACCESS_DENIED, as RegDeleteKeyW does on Windows.
LSTATUS RegistryError(NTSTATUS status);

}  // namespace emu::advapi
