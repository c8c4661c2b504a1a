// Notification event of the framework.
#include "tfevent.h"

#include "tfdebug.h"

CTfEvent::CTfEvent()
{
    CTfRoutineLog Log("CTfEvent::CTfEvent");
    m_pEvent = &m_Event;
    KeInitializeEvent(m_pEvent, NotificationEvent, FALSE);
    Log.m_Success();
}

LONG CTfEvent::m_Set()
{
    CTfRoutineLog Log("CTfEvent::m_Set");
    LONG lPrevious = KeSetEvent(m_pEvent, 0, FALSE);
    Log.m_Success();
    return lPrevious;
}

void CTfEvent::m_Clear()
{
    CTfRoutineLog Log("CTfEvent::m_Clear");
    KeClearEvent(m_pEvent);
    Log.m_Success();
}

BOOLEAN CTfEvent::m_Wait(LONGLONG llTimeout)
{
    CTfRoutineLog Log("CTfEvent::m_Wait");
    LARGE_INTEGER Timeout;
    PLARGE_INTEGER pTimeout = NULL;
    if (llTimeout != 0) {
        // Always relative: a positive value would be an absolute time in the past or far future.
        Timeout.QuadPart = (llTimeout > 0) ? -llTimeout : llTimeout;
        pTimeout = &Timeout;
    }
    NTSTATUS Status = KeWaitForSingleObject(m_pEvent, Executive, KernelMode, FALSE, pTimeout);
    if (Status != STATUS_SUCCESS) {
        Log.m_Fail("wait status 0x%X", (ULONG)Status);
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

LONG CTfEvent::m_ReadState()
{
    return KeReadStateEvent(m_pEvent);
}
