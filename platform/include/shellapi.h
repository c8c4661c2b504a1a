// The shell's ShellExecute: the call is recorded by the machine; nothing is started.
#pragma once

#include <windef.h>

extern "C" HINSTANCE WINAPI ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                                          LPCWSTR lpDirectory, INT nShowCmd);
#ifdef UNICODE
#define ShellExecute ShellExecuteW
#endif
