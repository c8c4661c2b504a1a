// shlwapi's registry helper: deleting a key with everything below it.
#pragma once

#include <winreg.h>

extern "C" LSTATUS WINAPI SHDeleteKeyW(HKEY hkey, LPCWSTR pszSubKey);

#ifdef UNICODE
#define SHDeleteKey SHDeleteKeyW
#endif
