#include "operationtext.h"

#include <fileapi_disk.h>
#include <io.h>

#include <algorithm>
#include <vector>

bool TfContainsAny(const CString& strUpperText, const CTfStringTable& table)
{
    for (CString strEntry : table)
        if (strUpperText.Find(strEntry.MakeUpper()) >= 0) return true;
    return false;
}

bool TfPassesSubsysRule(const CString& strUpperText)
{
    const int nAt = strUpperText.Find(u"SUBSYS_");
    if (nAt < 1) return true;
    // At most the 8 characters that are there, in a terminated buffer.
    const CString strDigits = strUpperText.Mid(nAt + 7, 8);
    DWORD dwValue = 0;
    for (int i = 0; i < strDigits.GetLength(); ++i) {
        const WCHAR c = strDigits[i];
        int nDigit;
        if (c >= u'0' && c <= u'9')
            nDigit = c - u'0';
        else if (c >= u'A' && c <= u'F')
            nDigit = c - u'A' + 10;
        else
            break;
        dwValue = dwValue * 16 + static_cast<DWORD>(nDigit);
    }
    return (dwValue & 0xFC000000) != 0x08000000;
}

namespace {

// A string value's text, bounded by the data's size: the value need not end with a terminator.
bool ReadRegText(HKEY hKey, LPCWSTR pszName, CString& strValue, DWORD dwMaxBytes, DWORD dwType1, DWORD dwType2)
{
    std::vector<WCHAR> text(dwMaxBytes / sizeof(WCHAR) + 1, 0);
    DWORD dwBytes = dwMaxBytes, dwType = 0;
    if (RegQueryValueExW(hKey, pszName, nullptr, &dwType, reinterpret_cast<LPBYTE>(text.data()), &dwBytes) != ERROR_SUCCESS)
        return false;
    if (dwType != dwType1 && dwType != dwType2) return false;
    const WCHAR* pEnd = text.data() + std::min<size_t>(dwBytes / sizeof(WCHAR), text.size());
    const WCHAR* pBegin = text.data();
    strValue = CString(std::u16string(pBegin, std::find(pBegin, pEnd, u'\0')));
    return true;
}

}  // namespace

bool TfReadRegString(HKEY hKey, LPCWSTR pszName, CString& strValue, DWORD dwMaxBytes)
{
    return ReadRegText(hKey, pszName, strValue, dwMaxBytes, REG_SZ, REG_EXPAND_SZ);
}

bool TfReadRegFirstString(HKEY hKey, LPCWSTR pszName, CString& strValue, DWORD dwMaxBytes)
{
    return ReadRegText(hKey, pszName, strValue, dwMaxBytes, REG_MULTI_SZ, REG_SZ);
}

CTfStringTable TfSubKeyNames(HKEY hKey, DWORD nMaxChars)
{
    CTfStringTable names;
    std::vector<WCHAR> name(nMaxChars + 1);
    for (DWORD dwIndex = 0;; ++dwIndex) {
        DWORD dwLength = nMaxChars;
        const LSTATUS status = RegEnumKeyExW(hKey, dwIndex, name.data(), &dwLength, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) continue;  // a longer name is passed over
        if (status != ERROR_SUCCESS) break;
        names.push_back(CString(std::u16string(name.data(), dwLength)));
    }
    return names;
}

namespace {

CString DecodeText(const std::vector<BYTE>& bytes, size_t nSize)
{
    std::u16string text;
    if (nSize >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        for (size_t i = 2; i + 1 < nSize; i += 2) text += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    } else if (nSize >= 2 && bytes[1] == 0 && bytes[0] != 0) {
        for (size_t i = 0; i + 1 < nSize; i += 2) text += static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
    } else {
        // UTF-8 or 8-bit: the names searched for are ASCII, so each byte is widened.
        const size_t nStart = nSize >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
        for (size_t i = nStart; i < nSize; ++i) text += static_cast<char16_t>(bytes[i]);
    }
    // A NUL inside the file ends nothing: the whole text is searched.
    for (char16_t& c : text)
        if (c == 0) c = u' ';
    return CString(text);
}

}  // namespace

bool TfReadTextFile(const CString& strPath, CString& strText)
{
    const int fd = _wopen(strPath, _O_RDONLY | _O_BINARY);
    if (fd < 0) return false;
    const long nLength = _filelength(fd);
    if (nLength < 0) {
        _close(fd);
        return false;
    }
    std::vector<BYTE> bytes(static_cast<size_t>(nLength) + 2, 0);
    const int nRead = _read(fd, bytes.data(), static_cast<unsigned>(nLength));
    _close(fd);
    if (nRead < 0) return false;
    strText = DecodeText(bytes, static_cast<size_t>(nRead));
    return true;
}

CString TfFileNameOf(const CString& strPath)
{
    return strPath.Mid(strPath.ReverseFind(u'\\') + 1);
}

CString TfWithExtension(const CString& strPath, LPCWSTR pszExtension)
{
    const int nDot = strPath.ReverseFind(u'.');
    if (nDot < 0 || nDot < strPath.ReverseFind(u'\\')) return strPath + pszExtension;
    return strPath.Left(nDot) + pszExtension;
}

bool TfFileExists(const CString& strPath)
{
    WIN32_FIND_DATAW data{};
    HANDLE hFind = FindFirstFileW(strPath, &data);
    if (hFind == INVALID_HANDLE_VALUE) return false;
    FindClose(hFind);
    return true;
}
