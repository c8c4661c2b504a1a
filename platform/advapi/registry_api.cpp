// RegOpenKeyExW and its siblings: each call becomes the kernel's native registry call made in user
// mode, and its NTSTATUS the Win32 error the call returns (the last error is not touched).
#include "registry_keys.h"

#include <ntifs.h>
#include <shlwapi.h>

#include <cstring>
#include <vector>

#include "cm/registry.h"
#include "kernel.h"
#include "key_security.h"
#include "rtl/rtl_text.h"
#include "system_profile.h"

namespace emu::advapi {

namespace {

Registry& TheRegistry() { return Kernel::Current().GetRegistry(); }

LSTATUS Win32Error(NTSTATUS status) { return RegistryError(status); }

REGSAM KeyRights(REGSAM access)
{
    REGSAM rights = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & (GENERIC_READ | GENERIC_EXECUTE)) rights |= KEY_READ;
    if (access & GENERIC_WRITE) rights |= KEY_WRITE;
    if (access & GENERIC_ALL) rights |= KEY_ALL_ACCESS;
    return rights;
}

// The root handle and name a key call takes: an absolute name for a predefined key.
struct KeyName {
    HANDLE root = nullptr;
    std::u16string name;
};

bool NameOf(HKEY key, LPCWSTR subKey, KeyName& out)
{
    std::u16string_view sub = subKey ? std::u16string_view(subKey) : std::u16string_view();
    if (std::optional<std::u16string_view> top = PredefinedKeyPath(key)) {
        out.name = std::u16string(*top);
        if (!sub.empty()) out.name += u"\\" + std::u16string(sub);
        return true;
    }
    if (!key) return false;
    out.root = key;
    out.name = std::u16string(sub);
    return true;
}

// A handle a value call can use: the key itself, or the predefined key opened for the call.
class ValueKey {
public:
    ValueKey(HKEY key, REGSAM access)
    {
        if (std::optional<std::u16string_view> top = PredefinedKeyPath(key)) {
            m_status = TheRegistry().NtOpenKey(nullptr, *top, access, UserMode, &m_handle);
            m_owned = NT_SUCCESS(m_status);
        } else {
            m_handle = key;
            m_status = key ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
        }
    }
    ~ValueKey()
    {
        if (m_owned) NtClose(m_handle);
    }
    ValueKey(const ValueKey&) = delete;
    ValueKey& operator=(const ValueKey&) = delete;
    NTSTATUS Status() const { return m_status; }
    HANDLE Handle() const { return m_handle; }

private:
    HANDLE m_handle = nullptr;
    NTSTATUS m_status = STATUS_UNSUCCESSFUL;
    bool m_owned = false;
};

std::u16string_view ValueName(LPCWSTR name) { return name ? std::u16string_view(name) : std::u16string_view(); }

LSTATUS OpenOrCreate(HKEY key, LPCWSTR subKey, REGSAM access, bool create, PHKEY result, LPDWORD disposition)
{
    if (!result) return ERROR_INVALID_PARAMETER;
    KeyName name;
    if (!NameOf(key, subKey, name)) return ERROR_INVALID_HANDLE;
    if (!name.root) name.name = ViewOf(name.name, access);
    HANDLE handle = nullptr;
    ULONG created = 0;
    Registry& registry = TheRegistry();
    NTSTATUS status = create
        ? registry.NtCreateKey(name.root, name.name, KeyRights(access), UserMode, &handle, &created)
        : registry.NtOpenKey(name.root, name.name, KeyRights(access), UserMode, &handle);
    if (!NT_SUCCESS(status)) return Win32Error(status);
    if (LSTATUS refused = CheckKeyAccess(handle, KeyRights(access))) {
        if (created == REG_CREATED_NEW_KEY) registry.NtDeleteKey(handle, KernelMode);
        NtClose(handle);
        return refused;
    }
    *result = static_cast<HKEY>(handle);
    if (disposition) *disposition = created;
    return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegistryError(NTSTATUS status)
{
    if (status == STATUS_CANNOT_DELETE) return ERROR_ACCESS_DENIED;
    return static_cast<LSTATUS>(RtlNtStatusToDosError(status));
}

std::optional<std::u16string_view> PredefinedKeyPath(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE) return u"\\Registry\\Machine";
    if (key == HKEY_USERS) return u"\\Registry\\User";
    if (key == HKEY_CURRENT_USER) return u"\\Registry\\User\\.Default";
    if (key == HKEY_CLASSES_ROOT) return u"\\Registry\\Machine\\Software\\Classes";
    return std::nullopt;
}

LSTATUS OpenKeyByPath(std::u16string_view absolutePath, REGSAM access, bool create, HKEY* key, DWORD* disposition)
{
    const std::u16string_view machine = u"\\Registry\\Machine\\";
    if (absolutePath.size() < machine.size() || !EqualNoCase(absolutePath.substr(0, machine.size()), machine))
        return ERROR_BAD_PATHNAME;
    const std::u16string rest(absolutePath.substr(machine.size()));
    return OpenOrCreate(HKEY_LOCAL_MACHINE, rest.c_str(), access, create, key, disposition);
}

}  // namespace emu::advapi

using namespace emu::advapi;

extern "C" LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult)
{
    return OpenOrCreate(hKey, lpSubKey, samDesired, false, phkResult, nullptr);
}

extern "C" LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                                   REGSAM samDesired, LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                   LPDWORD lpdwDisposition)
{
    return OpenOrCreate(hKey, lpSubKey, samDesired, true, phkResult, lpdwDisposition);
}

extern "C" LSTATUS RegCloseKey(HKEY hKey)
{
    if (PredefinedKeyPath(hKey)) return ERROR_SUCCESS;
    if (!hKey) return ERROR_INVALID_HANDLE;
    NTSTATUS status = NtClose(hKey);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : Win32Error(status);
}

extern "C" LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                    LPBYTE lpData, LPDWORD lpcbData)
{
    if (lpData && !lpcbData) return ERROR_INVALID_PARAMETER;
    ValueKey key(hKey, KEY_QUERY_VALUE);
    if (!NT_SUCCESS(key.Status())) return Win32Error(key.Status());
    emu::Registry& registry = TheRegistry();
    ULONG needed = 0;
    NTSTATUS status = registry.NtQueryValueKey(key.Handle(), ValueName(lpValueName), KeyValuePartialInformation,
                                               nullptr, 0, &needed, UserMode);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW && !NT_SUCCESS(status))
        return Win32Error(status);
    std::vector<uint8_t> buffer(std::max<ULONG>(needed, sizeof(KEY_VALUE_PARTIAL_INFORMATION)));
    status = registry.NtQueryValueKey(key.Handle(), ValueName(lpValueName), KeyValuePartialInformation,
                                      buffer.data(), static_cast<ULONG>(buffer.size()), &needed, UserMode);
    if (!NT_SUCCESS(status)) return Win32Error(status);
    const auto* info = reinterpret_cast<const KEY_VALUE_PARTIAL_INFORMATION*>(buffer.data());
    if (lpType) *lpType = info->Type;
    if (!lpcbData) return ERROR_SUCCESS;
    const DWORD room = *lpcbData;
    *lpcbData = info->DataLength;
    if (!lpData) return ERROR_SUCCESS;
    if (info->DataLength > room) return ERROR_MORE_DATA;
    std::memcpy(lpData, info->Data, info->DataLength);
    return ERROR_SUCCESS;
}

extern "C" LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                  DWORD cbData)
{
    if (!lpData && cbData) return ERROR_INVALID_PARAMETER;
    ValueKey key(hKey, KEY_SET_VALUE);
    if (!NT_SUCCESS(key.Status())) return Win32Error(key.Status());
    NTSTATUS status = TheRegistry().NtSetValueKey(key.Handle(), ValueName(lpValueName), dwType, lpData, cbData, UserMode);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : Win32Error(status);
}

extern "C" LSTATUS RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName)
{
    ValueKey key(hKey, KEY_SET_VALUE);
    if (!NT_SUCCESS(key.Status())) return Win32Error(key.Status());
    NTSTATUS status = TheRegistry().NtDeleteValueKey(key.Handle(), ValueName(lpValueName), UserMode);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : Win32Error(status);
}

// On the 9x family the key goes with everything below it.
extern "C" LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey)
{
    if (!emu::process::SystemProfile::Current().IsNtFamily()) return SHDeleteKeyW(hKey, lpSubKey);
    HKEY key = nullptr;
    LSTATUS error = RegOpenKeyExW(hKey, lpSubKey, 0, DELETE, &key);
    if (error != ERROR_SUCCESS) return error;
    NTSTATUS status = TheRegistry().NtDeleteKey(key, UserMode);
    RegCloseKey(key);
    return NT_SUCCESS(status) ? ERROR_SUCCESS : Win32Error(status);
}

extern "C" LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                                 LPWSTR lpClass, LPDWORD lpcchClass, PVOID lpftLastWriteTime)
{
    if (!lpName || !lpcchName) return ERROR_INVALID_PARAMETER;
    ValueKey key(hKey, KEY_ENUMERATE_SUB_KEYS);
    if (!NT_SUCCESS(key.Status())) return Win32Error(key.Status());
    std::vector<uint8_t> buffer(sizeof(KEY_BASIC_INFORMATION) + 512 * sizeof(WCHAR));
    ULONG needed = 0;
    NTSTATUS status = TheRegistry().NtEnumerateKey(key.Handle(), dwIndex, KeyBasicInformation, buffer.data(),
                                                   static_cast<ULONG>(buffer.size()), &needed, UserMode);
    if (!NT_SUCCESS(status)) return Win32Error(status);
    const auto* info = reinterpret_cast<const KEY_BASIC_INFORMATION*>(buffer.data());
    const DWORD characters = info->NameLength / sizeof(WCHAR);
    if (characters + 1 > *lpcchName) return ERROR_MORE_DATA;
    std::memcpy(lpName, info->Name, info->NameLength);
    lpName[characters] = 0;
    *lpcchName = characters;
    return ERROR_SUCCESS;
}
