// The DOS-device calls of kernel32: the "\??" names of the object namespace as user mode sees them.
#pragma once

#include <windows.h>

#define DDD_RAW_TARGET_PATH 0x00000001
#define DDD_REMOVE_DEFINITION 0x00000002
#define DDD_EXACT_MATCH_ON_REMOVE 0x00000004
#define DDD_NO_BROADCAST_SYSTEM 0x00000008

WINBASEAPI DWORD WINAPI QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax);
WINBASEAPI BOOL WINAPI DefineDosDeviceW(DWORD dwFlags, LPCWSTR lpDeviceName, LPCWSTR lpTargetPath);

#ifdef UNICODE
#define QueryDosDevice QueryDosDeviceW
#define DefineDosDevice DefineDosDeviceW
#endif
