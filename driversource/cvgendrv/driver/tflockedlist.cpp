// Pointer list guarded by a spin lock.
#include "tflockedlist.h"

#include "tfdebug.h"

CTfLockedList::CTfLockedList(CTfSpinLock* pLock, CTfEvent* pEvent)
    : m_pLock(pLock != NULL ? pLock : &m_OwnLock), m_pEvent(pEvent != NULL ? pEvent : &m_OwnEvent)
{
    TfDebugLog(7, "CTfLockedList::CTfLockedList - IN");
    TfDebugLog(7, "CTfLockedList::CTfLockedList - OUT (Success)");
}

CTfLockedList::~CTfLockedList()
{
    TfDebugLog(7, "CTfLockedList::~CTfLockedList - IN");
    m_DeleteAll();
    TfDebugLog(7, "CTfLockedList::~CTfLockedList - OUT (Success)");
}

void CTfLockedList::m_DeleteAll()
{
    TfDebugLog(7, "CTfLockedList::m_DeleteAll - IN");
    m_pLock->m_Acquire();
    m_Empty(TRUE);
    m_pEvent->m_Clear();
    m_pLock->m_Release();
    TfDebugLog(7, "CTfLockedList::m_DeleteAll - OUT (Success)");
}

BOOLEAN CTfLockedList::m_LockedAddTail(PVOID pItem)
{
    TfDebugLog(7, "CTfLockedList::m_LockedAddTail - IN");
    m_pLock->m_Acquire();
    BOOLEAN bAdded = m_AddTail(pItem);
    m_pLock->m_Release();
    TfDebugLog(7, "CTfLockedList::m_LockedAddTail - OUT (Success)");
    return bAdded;
}

PVOID CTfLockedList::m_LockedRemoveHead()
{
    TfDebugLog(7, "CTfLockedList::m_LockedRemoveHead - IN");
    m_pLock->m_Acquire();
    PVOID pItem = m_RemoveHead();
    m_pLock->m_Release();
    TfDebugLog(7, "CTfLockedList::m_LockedRemoveHead - OUT (Success)");
    return pItem;
}

BOOLEAN CTfLockedList::m_LockedRemove(PVOID pItem)
{
    TfDebugLog(7, "CTfLockedList::m_LockedRemove - IN");
    m_pLock->m_Acquire();
    BOOLEAN bRemoved = m_Remove(pItem);
    m_pLock->m_Release();
    TfDebugLog(7, "CTfLockedList::m_LockedRemove - OUT (Success)");
    return bRemoved;
}

ULONG CTfLockedList::m_LockedGetCount()
{
    TfDebugLog(7, "CTfLockedList::m_LockedGetCount - IN");
    m_pLock->m_Acquire();
    ULONG ulCount = m_GetCount();
    m_pLock->m_Release();
    TfDebugLog(7, "CTfLockedList::m_LockedGetCount - OUT (Success)");
    return ulCount;
}
