// WOW64: a 32-bit program on a 64-bit system. These exports exist only on a 64-bit system's
// kernel32 (a program finds them with GetProcAddress); a 32-bit system has none of them.
#pragma once

#include <windows.h>

WINBASEAPI BOOL WINAPI Wow64DisableWow64FsRedirection(PVOID* OldValue);
WINBASEAPI BOOL WINAPI Wow64RevertWow64FsRedirection(PVOID OlValue);
WINBASEAPI BOOLEAN WINAPI Wow64EnableWow64FsRedirection(BOOLEAN Wow64FsEnableRedirection);
WINBASEAPI BOOL WINAPI IsWow64Process(HANDLE hProcess, PBOOL Wow64Process);
