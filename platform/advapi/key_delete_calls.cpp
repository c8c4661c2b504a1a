// Deleting keys: RegDeleteKeyExW (one key, in the view asked for; present from Vista on and on
// 64-bit systems), and shlwapi's SHDeleteKeyW (a key with everything below it, children first).
#include <shlwapi.h>

#include <string>

#include "cm/registry.h"
#include "exports.h"
#include "kernel.h"
#include "registry_keys.h"

namespace {

LSTATUS DeleteTree(HKEY parent, const std::u16string& subKey, REGSAM view)
{
    HKEY key = nullptr;
    LSTATUS error = RegOpenKeyExW(parent, subKey.c_str(), 0, KEY_ENUMERATE_SUB_KEYS | view, &key);
    if (error != ERROR_SUCCESS) return error;
    for (;;) {
        WCHAR name[256];
        DWORD length = 256;
        // Always the first: each one found is gone before the next look.
        if (RegEnumKeyExW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if ((error = DeleteTree(key, name, view)) != ERROR_SUCCESS) break;
    }
    RegCloseKey(key);
    if (error != ERROR_SUCCESS) return error;
    return RegDeleteKeyExW(parent, subKey.c_str(), view, 0);
}

const bool g_registered = [] {
    emu::process::RegisterExport(u"advapi32.dll", "RegDeleteKeyExW",
                                 reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&RegDeleteKeyExW)),
                                 emu::process::OnVistaOr64Bit);
    emu::process::RegisterExport(u"shlwapi.dll", "SHDeleteKeyW",
                                 reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&SHDeleteKeyW)), emu::process::Always);
    return true;
}();

}  // namespace

extern "C" LSTATUS RegDeleteKeyExW(HKEY hKey, LPCWSTR lpSubKey, REGSAM samDesired, DWORD Reserved)
{
    HKEY key = nullptr;
    LSTATUS error = RegOpenKeyExW(hKey, lpSubKey, 0, DELETE | (samDesired & (KEY_WOW64_64KEY | KEY_WOW64_32KEY)), &key);
    if (error != ERROR_SUCCESS) return error;
    NTSTATUS status = emu::Kernel::Current().GetRegistry().NtDeleteKey(key, UserMode);
    RegCloseKey(key);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : emu::advapi::RegistryError(status);
}

extern "C" LSTATUS SHDeleteKeyW(HKEY hkey, LPCWSTR pszSubKey)
{
    if (!pszSubKey) return ERROR_INVALID_PARAMETER;
    return DeleteTree(hkey, pszSubKey, 0);
}
