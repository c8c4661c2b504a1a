// Pointer list guarded by a spin lock of its own (or one its owner lends it), with an event that is
// cleared when the list is emptied.
#pragma once

#include <wdm.h>

#include "tfevent.h"
#include "tfpointerlist.h"
#include "tfspinlock.h"

class CTfLockedList : public CTfPointerList {
public:
    // pLock, pEvent: the owner's lock and event, which must outlive the list; null uses the list's own.
    explicit CTfLockedList(CTfSpinLock* pLock = NULL, CTfEvent* pEvent = NULL);
    // Frees every item and node.
    virtual ~CTfLockedList();

    // Under the lock: frees every item and every node through the tracker, then clears the event.
    virtual void m_DeleteAll();

    // The list operations under the lock, for callers that do not hold it.
    BOOLEAN m_LockedAddTail(PVOID pItem);
    PVOID m_LockedRemoveHead();
    BOOLEAN m_LockedRemove(PVOID pItem);
    ULONG m_LockedGetCount();

    // For walks of the list: hold the lock around the unlocked operations.
    CTfSpinLock* m_GetLock() { return m_pLock; }
    CTfEvent* m_GetEvent() { return m_pEvent; }

private:
    CTfLockedList(const CTfLockedList&) = delete;
    CTfLockedList& operator=(const CTfLockedList&) = delete;

    CTfSpinLock m_OwnLock;
    CTfEvent m_OwnEvent;
    CTfSpinLock* m_pLock;
    CTfEvent* m_pEvent;
};
