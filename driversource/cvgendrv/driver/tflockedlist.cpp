// Pointer list guarded by a spin lock.
#include "tflockedlist.h"

#include "tfdebug.h"

CTfLockedList::CTfLockedList(CTfSpinLock* pLock, CTfEvent* pEvent)
    : m_pLock(pLock != NULL ? pLock : &m_OwnLock), m_pEvent(pEvent != NULL ? pEvent : &m_OwnEvent)
{
    CTfRoutineLog Log("CTfLockedList::CTfLockedList");
    Log.m_Success();
}

CTfLockedList::~CTfLockedList()
{
    CTfRoutineLog Log("CTfLockedList::~CTfLockedList");
    m_DeleteAll();
    Log.m_Success();
}

void CTfLockedList::m_DeleteAll()
{
    CTfRoutineLog Log("CTfLockedList::m_DeleteAll");
    m_pLock->m_Acquire();
    m_Empty(TRUE);
    m_pEvent->m_Clear();
    m_pLock->m_Release();
    Log.m_Success();
}

BOOLEAN CTfLockedList::m_LockedAddTail(PVOID pItem)
{
    CTfRoutineLog Log("CTfLockedList::m_LockedAddTail");
    m_pLock->m_Acquire();
    BOOLEAN bAdded = m_AddTail(pItem);
    m_pLock->m_Release();
    Log.m_Success();
    return bAdded;
}

PVOID CTfLockedList::m_LockedRemoveHead()
{
    CTfRoutineLog Log("CTfLockedList::m_LockedRemoveHead");
    m_pLock->m_Acquire();
    PVOID pItem = m_RemoveHead();
    m_pLock->m_Release();
    Log.m_Success();
    return pItem;
}

BOOLEAN CTfLockedList::m_LockedRemove(PVOID pItem)
{
    CTfRoutineLog Log("CTfLockedList::m_LockedRemove");
    m_pLock->m_Acquire();
    BOOLEAN bRemoved = m_Remove(pItem);
    m_pLock->m_Release();
    Log.m_Success();
    return bRemoved;
}

ULONG CTfLockedList::m_LockedGetCount()
{
    CTfRoutineLog Log("CTfLockedList::m_LockedGetCount");
    m_pLock->m_Acquire();
    ULONG ulCount = m_GetCount();
    m_pLock->m_Release();
    Log.m_Success();
    return ulCount;
}
