// kernel32's waits of a thread on its own: Sleep.
#pragma once

#include <windows.h>

// Suspends the calling thread for the interval, in the machine's time.
WINBASEAPI void WINAPI Sleep(DWORD dwMilliseconds);
