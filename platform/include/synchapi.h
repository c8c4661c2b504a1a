// kernel32's waits on time: part of <windows.h>.
#pragma once

#include <windef.h>

// Suspends the calling thread for that many milliseconds of the machine's clock.
extern "C" void WINAPI Sleep(DWORD dwMilliseconds);
