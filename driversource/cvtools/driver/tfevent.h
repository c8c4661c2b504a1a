// Notification event of the framework.
#pragma once

#include <wdm.h>

class CTfEvent {
public:
    // A notification event, created not signalled.
    CTfEvent();

    // Signals the event (no priority increment, no wait following). Returns the previous state.
    LONG m_Set();
    // Resets the event to not signalled.
    void m_Clear();
    // Waits for the event. llTimeout in 100-nanosecond units, always taken as relative (a positive
    // value is negated); 0 waits without time-out. TRUE only when the event was signalled.
    BOOLEAN m_Wait(LONGLONG llTimeout = 0);
    // Non-zero when the event is signalled; does not change the state.
    LONG m_ReadState();

    // The event itself, for kernel calls that take a dispatcher object.
    PKEVENT m_GetEvent() { return m_pEvent; }

private:
    CTfEvent(const CTfEvent&) = delete;
    CTfEvent& operator=(const CTfEvent&) = delete;

    KEVENT m_Event;
    PKEVENT m_pEvent;
};
