// Copying registry values. The enumeration's name and data lengths are in and out, so they are
// set again before every call; a value too large for the buffers (a long binary blob, say) is
// passed over, so the values after it are still copied.
#include "registryvaluecopy.h"

#include <vector>

namespace {

const DWORD NAME_CHARS = 16383;
const DWORD DATA_BYTES = 16383;

}  // namespace

void ForEachRegistryValue(HKEY hKey, const std::function<void(LPCWSTR, DWORD, const BYTE*, DWORD)>& visit)
{
    std::vector<WCHAR> name(NAME_CHARS + 1);
    std::vector<BYTE> data(DATA_BYTES + sizeof(WCHAR));
    for (DWORD dwIndex = 0;; ++dwIndex) {
        DWORD cchName = NAME_CHARS;
        DWORD cbData = DATA_BYTES;
        DWORD dwType = REG_NONE;
        const LSTATUS lResult = RegEnumValueW(hKey, dwIndex, name.data(), &cchName, nullptr, &dwType, data.data(), &cbData);
        if (lResult == ERROR_MORE_DATA) continue;
        if (lResult != ERROR_SUCCESS) return;
        visit(name.data(), dwType, data.data(), cbData);
    }
}

CString TextOfRegistryData(const BYTE* pbData, DWORD cbData)
{
    const WCHAR* pszText = reinterpret_cast<const WCHAR*>(pbData);
    DWORD dwChars = 0;
    while (dwChars < cbData / sizeof(WCHAR) && pszText[dwChars]) ++dwChars;
    return CString(std::u16string(pszText, dwChars));
}

BOOL WriteCopiedValue(HKEY hKey, LPCWSTR pszName, DWORD dwType, const BYTE* pbData, DWORD cbData)
{
    if (dwType == REG_DWORD) {
        if (cbData != sizeof(DWORD)) return FALSE;
        return RegSetValueExW(hKey, pszName, 0, REG_DWORD, pbData, cbData) == ERROR_SUCCESS;
    }
    if (dwType != REG_SZ) return FALSE;
    const CString strText = TextOfRegistryData(pbData, cbData);
    return RegSetValueExW(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(static_cast<LPCWSTR>(strText)),
                          2 * strText.GetLength() + 2) == ERROR_SUCCESS;
}

void CopyDwordAndStringValues(HKEY hFrom, HKEY hTo)
{
    ForEachRegistryValue(hFrom, [hTo](LPCWSTR pszName, DWORD dwType, const BYTE* pbData, DWORD cbData) {
        WriteCopiedValue(hTo, pszName, dwType, pbData, cbData);
    });
}
