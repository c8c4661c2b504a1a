// Logging entry points every kernel class of an image uses. The debug manager behind them is created
// by the driver entry point; with none, log calls do nothing.
#pragma once

#include <wdm.h>

class CTfDebugManager;

// The image's debug manager (null before the driver entry point creates it and after unload).
extern CTfDebugManager* g_pTfDebugManager;

// Logs one line at a level through the image's debug manager (CTfDebugManager::m_Log).
void TfDebugLog(ULONG ulLevel, const char* pszFormat, ...);

// Report of an impossible state to the kernel debugger; the caller goes on.
#define TF_ASSERT_AT() DbgPrint("ASSERT at - %s %d\n", __FILE__, __LINE__)

// Named log levels and the entry and exit lines of a routine.
#include "tfroutinelog.h"
