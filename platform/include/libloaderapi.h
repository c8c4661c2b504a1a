// Loading user-mode modules: LoadLibraryW, GetProcAddress, FreeLibrary, GetModuleHandleW.
#pragma once

#include <windows.h>
#include <windef.h>

typedef INT_PTR(WINAPI* FARPROC)();

#ifndef ERROR_MOD_NOT_FOUND
#define ERROR_MOD_NOT_FOUND 126L
#endif
#ifndef ERROR_PROC_NOT_FOUND
#define ERROR_PROC_NOT_FOUND 127L
#endif
#ifndef ERROR_BAD_EXE_FORMAT
#define ERROR_BAD_EXE_FORMAT 193L
#endif

WINBASEAPI HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
WINBASEAPI FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
WINBASEAPI BOOL WINAPI FreeLibrary(HMODULE hLibModule);
WINBASEAPI HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);

#ifdef UNICODE
#define LoadLibrary LoadLibraryW
#define GetModuleHandle GetModuleHandleW
#endif
