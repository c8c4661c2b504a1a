// The framework's doubly linked pointer list.
#include "tfpointerlist.h"

#include "tfdebug.h"
#include "tfmemorytracker.h"

CTfPointerList::CTfPointerList()
    : m_pHead(NULL), m_pTail(NULL), m_pCursor(NULL), m_PoolType(NonPagedPool), m_ulCount(0)
{
    CTfRoutineLog Log("CTfPointerList::CTfPointerList");
    m_Init(NonPagedPool);
    Log.m_Success();
}

CTfPointerList::~CTfPointerList()
{
    CTfRoutineLog Log("CTfPointerList::~CTfPointerList");
    m_Empty(FALSE);
    Log.m_Success();
}

void CTfPointerList::m_Init(POOL_TYPE PoolType)
{
    CTfRoutineLog Log("CTfPointerList::m_Init");
    // Nodes still linked would otherwise be lost.
    m_Empty(FALSE);
    m_PoolType = PoolType;
    Log.m_Success();
}

PVOID CTfPointerList::m_GetFirst()
{
    CTfRoutineLog Log("CTfPointerList::m_GetFirst");
    m_pCursor = m_pHead;
    Log.m_Success();
    return (m_pCursor != NULL) ? m_pCursor->pItem : NULL;
}

PVOID CTfPointerList::m_GetNext()
{
    CTfRoutineLog Log("CTfPointerList::m_GetNext");
    if (m_pCursor == NULL) {
        // The node at the cursor was the head and has been removed: go on from the new head.
        m_pCursor = m_pHead;
        Log.m_Success();
        return (m_pCursor != NULL) ? m_pCursor->pItem : NULL;
    }
    if (m_pCursor->pNext == NULL) {
        Log.m_Fail("at the end");
        return NULL;
    }
    m_pCursor = m_pCursor->pNext;
    Log.m_Success();
    return m_pCursor->pItem;
}

PVOID CTfPointerList::m_GetCurrent()
{
    return (m_pCursor != NULL) ? m_pCursor->pItem : NULL;
}

BOOLEAN CTfPointerList::m_AddTail(PVOID pItem)
{
    CTfRoutineLog Log("CTfPointerList::m_AddTail");
    PTF_POINTER_NODE pNode = (PTF_POINTER_NODE)AllocateTrackedPool(m_PoolType, sizeof(TF_POINTER_NODE));
    if (pNode == NULL) {
        Log.m_Fail("no memory for the node");
        return FALSE;
    }
    pNode->pItem = pItem;
    pNode->pNext = NULL;
    pNode->pPrevious = m_pTail;
    pNode->pReserved = NULL;
    if (m_pTail != NULL) {
        m_pTail->pNext = pNode;
    } else {
        m_pHead = pNode;
    }
    m_pTail = pNode;
    m_pCursor = pNode;
    m_ulCount++;
    Log.m_Success();
    return TRUE;
}

PVOID CTfPointerList::m_AddNew(SIZE_T cbItemSize)
{
    CTfRoutineLog Log("CTfPointerList::m_AddNew");
    if (cbItemSize == 0) {
        Log.m_Fail("no item size");
        return NULL;
    }
    PVOID pItem = AllocateTrackedPool(m_PoolType, cbItemSize);
    if (pItem == NULL) {
        Log.m_Fail("no memory for the item");
        return NULL;
    }
    RtlZeroMemory(pItem, cbItemSize);
    if (!m_AddTail(pItem)) {
        FreeTrackedPool(pItem);
        Log.m_Fail("no memory for the node");
        return NULL;
    }
    Log.m_Success();
    return pItem;
}

PTF_POINTER_NODE CTfPointerList::m_FindNode(PVOID pItem)
{
    for (PTF_POINTER_NODE pNode = m_pHead; pNode != NULL; pNode = pNode->pNext) {
        if (pNode->pItem == pItem) {
            return pNode;
        }
    }
    return NULL;
}

void CTfPointerList::m_Unlink(PTF_POINTER_NODE pNode)
{
    if (pNode->pPrevious != NULL) {
        pNode->pPrevious->pNext = pNode->pNext;
    } else {
        m_pHead = pNode->pNext;
    }
    if (pNode->pNext != NULL) {
        pNode->pNext->pPrevious = pNode->pPrevious;
    } else {
        m_pTail = pNode->pPrevious;
    }
    // An iteration standing on this node goes on with the node that followed it.
    if (m_pCursor == pNode) {
        m_pCursor = pNode->pPrevious;
    }
    m_ulCount--;
    FreeTrackedPool(pNode);
}

PVOID CTfPointerList::m_RemoveHead()
{
    CTfRoutineLog Log("CTfPointerList::m_RemoveHead");
    if (m_pHead == NULL) {
        Log.m_Fail("list empty");
        return NULL;
    }
    PVOID pItem = m_pHead->pItem;
    m_Unlink(m_pHead);
    Log.m_Success();
    return pItem;
}

BOOLEAN CTfPointerList::m_Find(PVOID pItem)
{
    CTfRoutineLog Log("CTfPointerList::m_Find");
    PTF_POINTER_NODE pNode = m_FindNode(pItem);
    if (pNode == NULL) {
        Log.m_Fail("item not listed");
        return FALSE;
    }
    m_pCursor = pNode;
    Log.m_Success();
    return TRUE;
}

PVOID CTfPointerList::m_RemoveCurrent()
{
    CTfRoutineLog Log("CTfPointerList::m_RemoveCurrent");
    if (m_pCursor == NULL) {
        Log.m_Fail("no cursor");
        return NULL;
    }
    PVOID pItem = m_pCursor->pItem;
    m_Unlink(m_pCursor);
    Log.m_Success();
    return pItem;
}

BOOLEAN CTfPointerList::m_Remove(PVOID pItem)
{
    CTfRoutineLog Log("CTfPointerList::m_Remove");
    PTF_POINTER_NODE pNode = m_FindNode(pItem);
    if (pNode == NULL) {
        Log.m_Fail("item not listed");
        return FALSE;
    }
    m_Unlink(pNode);
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfPointerList::m_Replace(PVOID pOldItem, PVOID pNewItem)
{
    CTfRoutineLog Log("CTfPointerList::m_Replace");
    PTF_POINTER_NODE pNode = m_FindNode(pOldItem);
    if (pNode == NULL) {
        Log.m_Fail("item not listed");
        return FALSE;
    }
    // The node keeps its place, so the order and the cursor stay as they were.
    pNode->pItem = pNewItem;
    Log.m_Success();
    return TRUE;
}

void CTfPointerList::m_Empty(BOOLEAN bFreeItems)
{
    PTF_POINTER_NODE pNode = m_pHead;
    while (pNode != NULL) {
        PTF_POINTER_NODE pNext = pNode->pNext;
        if (bFreeItems && pNode->pItem != NULL) {
            FreeTrackedPool(pNode->pItem);
        }
        FreeTrackedPool(pNode);
        pNode = pNext;
    }
    m_pHead = NULL;
    m_pTail = NULL;
    m_pCursor = NULL;
    m_ulCount = 0;
}

void CTfPointerList::m_RemoveAll()
{
    CTfRoutineLog Log("CTfPointerList::m_RemoveAll");
    m_Empty(TRUE);
    Log.m_Success();
}

void CTfPointerList::m_DeleteAll()
{
    CTfRoutineLog Log("CTfPointerList::m_DeleteAll");
    m_Empty(TRUE);
    Log.m_Success();
}

void CTfPointerList::m_FreeNodes()
{
    CTfRoutineLog Log("CTfPointerList::m_FreeNodes");
    m_Empty(FALSE);
    Log.m_Success();
}
