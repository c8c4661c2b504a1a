// The latency curve of the USB page's maximum-latency slider: a slider position (2 to 16640) to
// the maximum latency in milliseconds, through a rising table of 256 factors (0 to 1024).
#pragma once

#include <windows.h>

enum { LATENCY_POSITION_MIN = 2, LATENCY_POSITION_MAX = 16640, LATENCY_TABLE_SIZE = 256 };

// Factor k of the table (k from 0 to 255).
DWORD LatencyFactor(int k);
// The latency of a slider position; positions outside the slider's range are taken at its ends.
DWORD LatencyOfSliderPosition(int nPosition);
