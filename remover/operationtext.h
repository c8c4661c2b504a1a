// Text rules shared by the uninstall operations: upper-case matching, the SUBSYS rule, registry
// strings that need not be terminated, and INF files read whole.
#pragma once

#include <atlstr.h>
#include <windows.h>

#include "uninstalldata.h"

// Whether the upper-cased text contains one of the table's entries, upper-cased.
bool TfContainsAny(const CString& strUpperText, const CTfStringTable& table);
// False for a text whose "SUBSYS_" (at a position of 1 or more) is followed by a number v, read
// from at most 8 hexadecimal digits, with (v & 0xFC000000) == 0x08000000.
bool TfPassesSubsysRule(const CString& strUpperText);
// A string value of at most dwMaxBytes bytes; a value without a terminator is cut at its size.
bool TfReadRegString(HKEY hKey, LPCWSTR pszName, CString& strValue, DWORD dwMaxBytes);
// The first string of a multi-string value (same limits).
bool TfReadRegFirstString(HKEY hKey, LPCWSTR pszName, CString& strValue, DWORD dwMaxBytes);
// The names of the open key's subkeys, each up to nMaxChars characters; longer ones are passed over.
CTfStringTable TfSubKeyNames(HKEY hKey, DWORD nMaxChars);
// The whole file as text: UTF-16LE (with or without its byte-order mark), UTF-8 or 8-bit by its
// byte-order mark. False when the file cannot be read.
bool TfReadTextFile(const CString& strPath, CString& strText);
// The file name after the last backslash.
CString TfFileNameOf(const CString& strPath);
// The path with its extension replaced, whatever the case of either (".INF" -> ".PNF").
CString TfWithExtension(const CString& strPath, LPCWSTR pszExtension);
// Whether the file exists, found with a file search.
bool TfFileExists(const CString& strPath);
