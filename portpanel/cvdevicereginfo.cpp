// Device registry properties and the hardware key's strings.
//
// Registry data need not be terminated: a property is read into a block two zero bytes longer
// than its data and its text is bounded by the data's size, and a hardware-key string that fills
// the 300-byte buffer without a terminator counts as missing, like a longer one.
#include "cvdevicereginfo.h"

#include <vector>

namespace {

const DWORD PARAMETER_BUFFER_BYTES = 300;

// The text of string data: up to the first null, and never past the data.
CString TextOfData(const BYTE* pbData, DWORD dwBytes)
{
    const WCHAR* pszText = reinterpret_cast<const WCHAR*>(pbData);
    DWORD dwChars = 0;
    while (dwChars < dwBytes / sizeof(WCHAR) && pszText[dwChars]) ++dwChars;
    return CString(std::u16string(pszText, dwChars));
}

// A number property as decimal text: up to 4 bytes of data, zero-extended.
CString NumberOfData(const BYTE* pbData, DWORD dwBytes)
{
    DWORD dwValue = 0;
    for (DWORD i = 0; i < dwBytes && i < sizeof(DWORD); ++i) dwValue |= static_cast<DWORD>(pbData[i]) << (8 * i);
    CString strValue;
    strValue.Format(u"%u", dwValue);
    return strValue;
}

}  // namespace

CCVDeviceRegInfo::CCVDeviceRegInfo(HDEVINFO hDevInfo, SP_DEVINFO_DATA DevInfoData)
    : m_DevInfoData(DevInfoData), m_hDevInfo(hDevInfo)
{
}

CCVDeviceRegInfo::~CCVDeviceRegInfo() {}

BOOL CCVDeviceRegInfo::SetDeviceRegistryProperty(DWORD dwProperty, const CString& strValue)
{
    const DWORD dwSize = 2 * strValue.GetLength() + 2;
    std::vector<BYTE> block(dwSize + 1, 0);
    std::copy_n(reinterpret_cast<const BYTE*>(static_cast<LPCWSTR>(strValue)), dwSize, block.begin());
    if (!SetupDiSetDeviceRegistryPropertyW(m_hDevInfo, &m_DevInfoData, dwProperty, block.data(), dwSize)) {
        (void)GetLastError();
        return FALSE;
    }
    return TRUE;
}

BOOL CCVDeviceRegInfo::GetDeviceRegistryProperty(DWORD dwProperty, CString& strValue)
{
    std::vector<BYTE> buffer;
    DWORD dwType = 0;
    DWORD dwRequired = 0;
    while (!SetupDiGetDeviceRegistryPropertyW(m_hDevInfo, &m_DevInfoData, dwProperty, &dwType,
                                              buffer.empty() ? nullptr : buffer.data(),
                                              buffer.empty() ? 0 : static_cast<DWORD>(buffer.size() - 2), &dwRequired)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return FALSE;
        buffer.assign(dwRequired + 2, 0);
    }
    const DWORD dwBytes = buffer.empty() ? 0 : dwRequired;
    const BYTE* pbData = buffer.empty() ? nullptr : buffer.data();
    switch (dwType) {
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ: strValue = pbData ? TextOfData(pbData, dwBytes) : CString(); return TRUE;
    case REG_BINARY:
    case REG_DWORD: strValue = NumberOfData(pbData, dwBytes); return TRUE;
    default: return FALSE;
    }
}

BOOL CCVDeviceRegInfo::SetDeviceParameterString(LPCWSTR pszValueName, const CString& strValue)
{
    HKEY hKey = SetupDiOpenDevRegKey(m_hDevInfo, &m_DevInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_WRITE);
    if (hKey == INVALID_HANDLE_VALUE) return FALSE;
    const LSTATUS lResult = RegSetValueExW(hKey, pszValueName, 0, REG_SZ,
                                           reinterpret_cast<const BYTE*>(static_cast<LPCWSTR>(strValue)),
                                           2 * strValue.GetLength() + 2);
    RegCloseKey(hKey);
    return lResult == ERROR_SUCCESS;
}

BOOL CCVDeviceRegInfo::GetDeviceParameterString(LPCWSTR pszValueName, CString& strValue)
{
    HKEY hKey = SetupDiOpenDevRegKey(m_hDevInfo, &m_DevInfoData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, GENERIC_READ);
    if (hKey == INVALID_HANDLE_VALUE) return FALSE;
    WCHAR szBuffer[PARAMETER_BUFFER_BYTES / sizeof(WCHAR) + 1] = {};
    DWORD dwSize = PARAMETER_BUFFER_BYTES;
    const LSTATUS lResult = RegQueryValueExW(hKey, pszValueName, nullptr, nullptr, reinterpret_cast<BYTE*>(szBuffer), &dwSize);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS) return FALSE;
    // A full buffer without a terminator held 150 characters or more.
    if (dwSize == PARAMETER_BUFFER_BYTES && szBuffer[PARAMETER_BUFFER_BYTES / sizeof(WCHAR) - 1]) return FALSE;
    strValue = TextOfData(reinterpret_cast<const BYTE*>(szBuffer), dwSize);
    return TRUE;
}

BOOL CCVDeviceRegInfo::GetClass(CString& strClass) { return GetDeviceRegistryProperty(SPDRP_CLASS, strClass) ? 1 : 0; }

BOOL CCVDeviceRegInfo::GetDriverKey(CString& strDriverKey)
{
    return GetDeviceRegistryProperty(SPDRP_DRIVER, strDriverKey) ? 1 : 0;
}

BOOL CCVDeviceRegInfo::GetFriendlyName(CString& strFriendlyName)
{
    return GetDeviceRegistryProperty(SPDRP_FRIENDLYNAME, strFriendlyName) ? 1 : 0;
}

BOOL CCVDeviceRegInfo::SetFriendlyName(const CString& strFriendlyName)
{
    return SetDeviceRegistryProperty(SPDRP_FRIENDLYNAME, strFriendlyName) ? 1 : 0;
}
