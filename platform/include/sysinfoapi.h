// The system's directories.
#pragma once

#include <windows.h>

// The system directory ("C:\Windows\system32"): its length without the terminator, or, when the
// buffer is too small, the size it needs with the terminator.
WINBASEAPI UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize);
