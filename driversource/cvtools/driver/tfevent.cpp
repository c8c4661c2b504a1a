// Notification event of the framework.
#include "tfevent.h"

#include "tfdebug.h"

CTfEvent::CTfEvent()
{
    TfDebugLog(7, "CTfEvent::CTfEvent - IN");
    m_pEvent = &m_Event;
    KeInitializeEvent(m_pEvent, NotificationEvent, FALSE);
    TfDebugLog(7, "CTfEvent::CTfEvent - OUT (Success)");
}

LONG CTfEvent::m_Set()
{
    TfDebugLog(7, "CTfEvent::m_Set - IN");
    LONG lPrevious = KeSetEvent(m_pEvent, 0, FALSE);
    TfDebugLog(7, "CTfEvent::m_Set - OUT (Success)");
    return lPrevious;
}

void CTfEvent::m_Clear()
{
    TfDebugLog(7, "CTfEvent::m_Clear - IN");
    KeClearEvent(m_pEvent);
    TfDebugLog(7, "CTfEvent::m_Clear - OUT (Success)");
}

BOOLEAN CTfEvent::m_Wait(LONGLONG llTimeout)
{
    TfDebugLog(7, "CTfEvent::m_Wait - IN");
    LARGE_INTEGER Timeout;
    PLARGE_INTEGER pTimeout = NULL;
    if (llTimeout != 0) {
        // Always relative: a positive value would be an absolute time in the past or far future.
        Timeout.QuadPart = (llTimeout > 0) ? -llTimeout : llTimeout;
        pTimeout = &Timeout;
    }
    NTSTATUS Status = KeWaitForSingleObject(m_pEvent, Executive, KernelMode, FALSE, pTimeout);
    if (Status != STATUS_SUCCESS) {
        TfDebugLog(7, "CTfEvent::m_Wait - OUT - Fail-> wait status 0x%X", (ULONG)Status);
        return FALSE;
    }
    TfDebugLog(7, "CTfEvent::m_Wait - OUT (Success)");
    return TRUE;
}

LONG CTfEvent::m_ReadState()
{
    return KeReadStateEvent(m_pEvent);
}
