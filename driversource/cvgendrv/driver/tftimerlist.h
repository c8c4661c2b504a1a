// One-shot timers whose callbacks run from a DPC at DISPATCH_LEVEL.
//
// A handle names one start of a timer and is never reused by the list, so a handle kept after its
// timer fired or was stopped can never stop another timer. A stopped timer's callback does not run
// unless it had already begun. A callback may start and stop timers of its own list, its own
// included; it must not destroy the list.
#pragma once

#include <wdm.h>

#include "tfobject.h"
#include "tfpointerlist.h"
#include "tfreferencegate.h"
#include "tfspinlock.h"

// Timer callback: routine (context), at DISPATCH_LEVEL without the list's lock.
typedef void (*PTF_TIMER_ROUTINE)(PVOID pContext);

// Opaque handle of a started timer; TF_NO_TIMER for none.
typedef struct _TF_TIMER_ID* TF_TIMER_HANDLE;
#define TF_NO_TIMER ((TF_TIMER_HANDLE)NULL)

struct _TF_TIMER_RECORD;

class CTfTimerList : public CTfObject {
public:
    CTfTimerList();
    // Stops every timer and waits (at PASSIVE_LEVEL) until no callback runs and no DPC of this list
    // is left, then frees the list. Never from a callback of this list.
    virtual ~CTfTimerList();

    // Calls routine (context) once, ullDueTime (100-nanosecond units, relative) from now. Any IRQL up
    // to DISPATCH_LEVEL. TF_NO_TIMER when no memory is left or the list is being destroyed.
    TF_TIMER_HANDLE m_StartTimer(PTF_TIMER_ROUTINE pRoutine, PVOID pContext, ULONGLONG ullDueTime);
    // Stops the timer when it has not fired yet. A handle whose timer already fired or was stopped,
    // or TF_NO_TIMER, changes nothing. Always TRUE.
    BOOLEAN m_StopTimer(TF_TIMER_HANDLE hTimer);
    // Stops every timer of the list.
    void m_StopAllTimers();

    // Started timers not yet fired or stopped (diagnostics and tests).
    ULONG m_GetTimerCount();

private:
    CTfTimerList(const CTfTimerList&) = delete;
    CTfTimerList& operator=(const CTfTimerList&) = delete;

    static KDEFERRED_ROUTINE sm_TimerDpc;
    // With the lock held: unlinks the record and either frees it (its timer was cancelled) or leaves
    // it to its queued DPC.
    void m_StopRecordLocked(struct _TF_TIMER_RECORD* pRecord);

    CTfSpinLock m_Lock;
    CTfReferenceGate m_RunningGate;  // own lock; armed timers and running callbacks
    CTfPointerList m_RecordList;     // under the lock; records of armed timers
    ULONGLONG m_ullNextHandle;       // under the lock; 0 is never handed out
};
