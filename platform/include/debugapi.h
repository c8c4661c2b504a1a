// Debug console output of user mode: the text goes to the machine's debug output.
#pragma once

#include <windows.h>

WINBASEAPI void WINAPI OutputDebugStringW(LPCWSTR lpOutputString);

#ifdef UNICODE
#define OutputDebugString OutputDebugStringW
#endif
