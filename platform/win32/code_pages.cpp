// WideCharToMultiByte and MultiByteToWideChar for the machine's single-byte ANSI and OEM code
// pages. A length of -1 means the text runs to its terminator, which is converted too; an output
// size of 0 asks only for the size.
#include <stringapiset.h>

#include <string>

namespace {

// A thread's ANSI code page is the machine's: no thread has a locale of its own.
bool KnownCodePage(UINT codePage) { return codePage == CP_ACP || codePage == CP_OEMCP || codePage == CP_THREAD_ACP; }

template <class From>
size_t LengthOf(const From* text, int count)
{
    return count >= 0 ? static_cast<size_t>(count) : std::char_traits<From>::length(text) + 1;
}

int Fail(DWORD error)
{
    SetLastError(error);
    return 0;
}

}  // namespace

extern "C" int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                   LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar, LPBOOL lpUsedDefaultChar)
{
    if (!KnownCodePage(CodePage) || !lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0) return Fail(ERROR_INVALID_PARAMETER);
    const size_t length = LengthOf(lpWideCharStr, cchWideChar);
    if (lpUsedDefaultChar) *lpUsedDefaultChar = FALSE;
    if (cbMultiByte == 0) return static_cast<int>(length);
    if (length > static_cast<size_t>(cbMultiByte)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    const char substitute = lpDefaultChar ? *lpDefaultChar : '?';
    for (size_t i = 0; i < length; ++i) {
        const bool mapped = lpWideCharStr[i] < 0x100;
        lpMultiByteStr[i] = mapped ? static_cast<char>(lpWideCharStr[i]) : substitute;
        if (!mapped && lpUsedDefaultChar) *lpUsedDefaultChar = TRUE;
    }
    return static_cast<int>(length);
}

extern "C" int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                   LPWSTR lpWideCharStr, int cchWideChar)
{
    if (!KnownCodePage(CodePage) || !lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0) return Fail(ERROR_INVALID_PARAMETER);
    const size_t length = LengthOf(lpMultiByteStr, cbMultiByte);
    if (cchWideChar == 0) return static_cast<int>(length);
    if (length > static_cast<size_t>(cchWideChar)) return Fail(ERROR_INSUFFICIENT_BUFFER);
    for (size_t i = 0; i < length; ++i) lpWideCharStr[i] = static_cast<WCHAR>(static_cast<unsigned char>(lpMultiByteStr[i]));
    return static_cast<int>(length);
}
