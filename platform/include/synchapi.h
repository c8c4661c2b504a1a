// kernel32's mutexes and a thread's own waits. A named mutex lives in "\BaseNamedObjects" beside
// the named events, so two programs (or two threads standing for them) that create the same name
// share one object.
#pragma once

#include <windows.h>

WINBASEAPI HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCWSTR lpName);
WINBASEAPI HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner, LPCSTR lpName);
WINBASEAPI BOOL WINAPI ReleaseMutex(HANDLE hMutex);
// Suspends the calling thread for the interval, in the machine's time.
WINBASEAPI void WINAPI Sleep(DWORD dwMilliseconds);

#ifdef UNICODE
#define CreateMutex CreateMutexW
#endif
