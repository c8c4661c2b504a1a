// Loading user-mode modules: LoadLibraryW, GetProcAddress, FreeLibrary and GetModuleHandleW are
// declared with the program calls (<processthreadsapi.h>, FARPROC with them); this header adds the
// loader's error codes.
#pragma once

#include <windows.h>
#include <windef.h>
#include <processthreadsapi.h>

#ifndef ERROR_MOD_NOT_FOUND
#define ERROR_MOD_NOT_FOUND 126L
#endif
#ifndef ERROR_PROC_NOT_FOUND
#define ERROR_PROC_NOT_FOUND 127L
#endif
#ifndef ERROR_BAD_EXE_FORMAT
#define ERROR_BAD_EXE_FORMAT 193L
#endif
