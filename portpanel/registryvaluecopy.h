// The values of a registry key, one by one, and a value written again under another key: the
// copies between a port's hardware key and the settings saved for it under its card.
#pragma once

#include <windows.h>

#include <atlstr.h>

#include <functional>

// Calls `visit` with every value of the key, by index from 0 (name, type, data, data size). A
// value whose name or data does not fit the buffers is passed over, not taken as the end.
void ForEachRegistryValue(HKEY hKey, const std::function<void(LPCWSTR, DWORD, const BYTE*, DWORD)>& visit);

// Writes a REG_DWORD (exactly 4 bytes of data) or a REG_SZ (its text up to the first null, with a
// terminator) under `hKey`; other types and a REG_DWORD of another size are not written.
BOOL WriteCopiedValue(HKEY hKey, LPCWSTR pszName, DWORD dwType, const BYTE* pbData, DWORD cbData);

// The text of REG_SZ data: up to its first null, never past the data.
CString TextOfRegistryData(const BYTE* pbData, DWORD cbData);

// Copies every REG_DWORD and REG_SZ value from one key to another.
void CopyDwordAndStringValues(HKEY hFrom, HKEY hTo);
