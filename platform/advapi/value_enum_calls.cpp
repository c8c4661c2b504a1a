// RegEnumValueW: a key's values by index, in the order they were first set. The name's and the
// data's room are in and out: they come back as the lengths written (the name without its
// terminator). A name or data that does not fit answers ERROR_MORE_DATA and copies nothing.
#include "registry_keys.h"

#include <ntifs.h>

#include <cstring>
#include <vector>

#include "cm/registry.h"
#include "kernel.h"

namespace {

// The handle a value call can use: the key itself, or the predefined key opened for the call.
class EnumeratedKey {
public:
    explicit EnumeratedKey(HKEY key)
    {
        if (std::optional<std::u16string_view> top = emu::advapi::PredefinedKeyPath(key)) {
            HKEY opened = nullptr;
            m_error = emu::advapi::OpenKeyByPath(*top, KEY_QUERY_VALUE, false, &opened);
            m_key = opened;
            m_owned = m_error == ERROR_SUCCESS;
        } else {
            m_key = key;
            m_error = key ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
        }
    }
    ~EnumeratedKey()
    {
        if (m_owned) RegCloseKey(m_key);
    }
    EnumeratedKey(const EnumeratedKey&) = delete;
    EnumeratedKey& operator=(const EnumeratedKey&) = delete;
    LSTATUS Error() const { return m_error; }
    HANDLE Handle() const { return m_key; }

private:
    HKEY m_key = nullptr;
    LSTATUS m_error = ERROR_INVALID_HANDLE;
    bool m_owned = false;
};

}  // namespace

extern "C" LSTATUS RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                                 LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData)
{
    (void)lpReserved;
    if (!lpValueName || !lpcchValueName || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
    EnumeratedKey key(hKey);
    if (key.Error() != ERROR_SUCCESS) return key.Error();
    emu::Registry& registry = emu::Kernel::Current().GetRegistry();
    ULONG needed = 0;
    NTSTATUS status = registry.NtEnumerateValueKey(key.Handle(), dwIndex, KeyValueFullInformation, nullptr, 0, &needed, UserMode);
    if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW && !NT_SUCCESS(status))
        return emu::advapi::RegistryError(status);
    std::vector<uint8_t> buffer(std::max<ULONG>(needed, sizeof(KEY_VALUE_FULL_INFORMATION)));
    status = registry.NtEnumerateValueKey(key.Handle(), dwIndex, KeyValueFullInformation, buffer.data(),
                                         static_cast<ULONG>(buffer.size()), &needed, UserMode);
    if (!NT_SUCCESS(status)) return emu::advapi::RegistryError(status);
    const auto* info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer.data());
    const DWORD characters = info->NameLength / sizeof(WCHAR);
    if (characters + 1 > *lpcchValueName) return ERROR_MORE_DATA;
    if (lpData && info->DataLength > *lpcbData) return ERROR_MORE_DATA;
    std::memcpy(lpValueName, info->Name, info->NameLength);
    lpValueName[characters] = 0;
    *lpcchValueName = characters;
    if (lpType) *lpType = info->Type;
    if (lpData) std::memcpy(lpData, buffer.data() + info->DataOffset, info->DataLength);
    if (lpcbData) *lpcbData = info->DataLength;
    return ERROR_SUCCESS;
}
