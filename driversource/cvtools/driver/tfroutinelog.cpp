// Entry and exit lines of a routine.
#include "tfroutinelog.h"

#include <ntstrsafe.h>

#include "tfdebugmanager.h"

CTfRoutineLog::CTfRoutineLog(const char* pszRoutine, ULONG ulLevel) : m_pszRoutine(pszRoutine), m_ulLevel(ulLevel)
{
    TfDebugLog(m_ulLevel, "%s - IN", m_pszRoutine);
}

void CTfRoutineLog::m_Success() const
{
    TfDebugLog(m_ulLevel, "%s - OUT (Success)", m_pszRoutine);
}

void CTfRoutineLog::m_Fail(const char* pszFormat, ...) const
{
    // The whole line is one format, as if written out in full: a format the debug manager refuses
    // (too long) is refused the same way. One byte more than it accepts tells "too long" apart.
    CHAR szFormat[TF_LOG_MAX_FORMAT + 2];
    RtlStringCbCopyA(szFormat, sizeof(szFormat), m_pszRoutine);
    RtlStringCbCatA(szFormat, sizeof(szFormat), " - OUT - Fail-> ");
    RtlStringCbCatA(szFormat, sizeof(szFormat), pszFormat);

    va_list Arguments;
    va_start(Arguments, pszFormat);
    CTfDebugManager::m_LogV(g_pTfDebugManager, m_ulLevel, szFormat, Arguments);
    va_end(Arguments);
}

void CTfRoutineLog::m_Result(NTSTATUS Status) const
{
    if (NT_SUCCESS(Status)) {
        m_Success();
    } else {
        m_Fail("status 0x%X", (ULONG)Status);
    }
}
