// COM names ("COM" and a decimal number) and the decimal texts of the hardware key.
#pragma once

#include <windows.h>

#include <atlstr.h>

// A text's leading decimal number as the C library's wide-string conversion reads it: blanks,
// then an optional sign, then digits up to the first other character; no digits give 0.
int ParseDecimal(LPCWSTR pszText);
// The number of a COM name: its text after the first three characters, parsed as above.
DWORD ComNumberOf(const CString& strName);
// "COM" followed by the number.
CString ComNameOf(DWORD dwNumber);
