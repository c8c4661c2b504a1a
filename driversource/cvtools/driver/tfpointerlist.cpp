// The framework's doubly linked pointer list.
#include "tfpointerlist.h"

#include "tfdebug.h"
#include "tfmemorytracker.h"

CTfPointerList::CTfPointerList()
    : m_pHead(NULL), m_pTail(NULL), m_pCursor(NULL), m_PoolType(NonPagedPool), m_ulCount(0)
{
    TfDebugLog(7, "CTfPointerList::CTfPointerList - IN");
    m_Init(NonPagedPool);
    TfDebugLog(7, "CTfPointerList::CTfPointerList - OUT (Success)");
}

CTfPointerList::~CTfPointerList()
{
    TfDebugLog(7, "CTfPointerList::~CTfPointerList - IN");
    m_Empty(FALSE);
    TfDebugLog(7, "CTfPointerList::~CTfPointerList - OUT (Success)");
}

void CTfPointerList::m_Init(POOL_TYPE PoolType)
{
    TfDebugLog(7, "CTfPointerList::m_Init - IN");
    // Nodes still linked would otherwise be lost.
    m_Empty(FALSE);
    m_PoolType = PoolType;
    TfDebugLog(7, "CTfPointerList::m_Init - OUT (Success)");
}

PVOID CTfPointerList::m_GetFirst()
{
    TfDebugLog(7, "CTfPointerList::m_GetFirst - IN");
    m_pCursor = m_pHead;
    TfDebugLog(7, "CTfPointerList::m_GetFirst - OUT (Success)");
    return (m_pCursor != NULL) ? m_pCursor->pItem : NULL;
}

PVOID CTfPointerList::m_GetNext()
{
    TfDebugLog(7, "CTfPointerList::m_GetNext - IN");
    if (m_pCursor == NULL) {
        // The node at the cursor was the head and has been removed: go on from the new head.
        m_pCursor = m_pHead;
        TfDebugLog(7, "CTfPointerList::m_GetNext - OUT (Success)");
        return (m_pCursor != NULL) ? m_pCursor->pItem : NULL;
    }
    if (m_pCursor->pNext == NULL) {
        TfDebugLog(7, "CTfPointerList::m_GetNext - OUT - Fail-> at the end");
        return NULL;
    }
    m_pCursor = m_pCursor->pNext;
    TfDebugLog(7, "CTfPointerList::m_GetNext - OUT (Success)");
    return m_pCursor->pItem;
}

PVOID CTfPointerList::m_GetCurrent()
{
    return (m_pCursor != NULL) ? m_pCursor->pItem : NULL;
}

BOOLEAN CTfPointerList::m_AddTail(PVOID pItem)
{
    TfDebugLog(7, "CTfPointerList::m_AddTail - IN");
    PTF_POINTER_NODE pNode = (PTF_POINTER_NODE)AllocateTrackedPool(m_PoolType, sizeof(TF_POINTER_NODE));
    if (pNode == NULL) {
        TfDebugLog(7, "CTfPointerList::m_AddTail - OUT - Fail-> no memory for the node");
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
    TfDebugLog(7, "CTfPointerList::m_AddTail - OUT (Success)");
    return TRUE;
}

PVOID CTfPointerList::m_AddNew(SIZE_T cbItemSize)
{
    TfDebugLog(7, "CTfPointerList::m_AddNew - IN");
    if (cbItemSize == 0) {
        TfDebugLog(7, "CTfPointerList::m_AddNew - OUT - Fail-> no item size");
        return NULL;
    }
    PVOID pItem = AllocateTrackedPool(m_PoolType, cbItemSize);
    if (pItem == NULL) {
        TfDebugLog(7, "CTfPointerList::m_AddNew - OUT - Fail-> no memory for the item");
        return NULL;
    }
    RtlZeroMemory(pItem, cbItemSize);
    if (!m_AddTail(pItem)) {
        FreeTrackedPool(pItem);
        TfDebugLog(7, "CTfPointerList::m_AddNew - OUT - Fail-> no memory for the node");
        return NULL;
    }
    TfDebugLog(7, "CTfPointerList::m_AddNew - OUT (Success)");
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
    TfDebugLog(7, "CTfPointerList::m_RemoveHead - IN");
    if (m_pHead == NULL) {
        TfDebugLog(7, "CTfPointerList::m_RemoveHead - OUT - Fail-> list empty");
        return NULL;
    }
    PVOID pItem = m_pHead->pItem;
    m_Unlink(m_pHead);
    TfDebugLog(7, "CTfPointerList::m_RemoveHead - OUT (Success)");
    return pItem;
}

BOOLEAN CTfPointerList::m_Find(PVOID pItem)
{
    TfDebugLog(7, "CTfPointerList::m_Find - IN");
    PTF_POINTER_NODE pNode = m_FindNode(pItem);
    if (pNode == NULL) {
        TfDebugLog(7, "CTfPointerList::m_Find - OUT - Fail-> item not listed");
        return FALSE;
    }
    m_pCursor = pNode;
    TfDebugLog(7, "CTfPointerList::m_Find - OUT (Success)");
    return TRUE;
}

PVOID CTfPointerList::m_RemoveCurrent()
{
    TfDebugLog(7, "CTfPointerList::m_RemoveCurrent - IN");
    if (m_pCursor == NULL) {
        TfDebugLog(7, "CTfPointerList::m_RemoveCurrent - OUT - Fail-> no cursor");
        return NULL;
    }
    PVOID pItem = m_pCursor->pItem;
    m_Unlink(m_pCursor);
    TfDebugLog(7, "CTfPointerList::m_RemoveCurrent - OUT (Success)");
    return pItem;
}

BOOLEAN CTfPointerList::m_Remove(PVOID pItem)
{
    TfDebugLog(7, "CTfPointerList::m_Remove - IN");
    PTF_POINTER_NODE pNode = m_FindNode(pItem);
    if (pNode == NULL) {
        TfDebugLog(7, "CTfPointerList::m_Remove - OUT - Fail-> item not listed");
        return FALSE;
    }
    m_Unlink(pNode);
    TfDebugLog(7, "CTfPointerList::m_Remove - OUT (Success)");
    return TRUE;
}

BOOLEAN CTfPointerList::m_Replace(PVOID pOldItem, PVOID pNewItem)
{
    TfDebugLog(7, "CTfPointerList::m_Replace - IN");
    PTF_POINTER_NODE pNode = m_FindNode(pOldItem);
    if (pNode == NULL) {
        TfDebugLog(7, "CTfPointerList::m_Replace - OUT - Fail-> item not listed");
        return FALSE;
    }
    // The node keeps its place, so the order and the cursor stay as they were.
    pNode->pItem = pNewItem;
    TfDebugLog(7, "CTfPointerList::m_Replace - OUT (Success)");
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
    TfDebugLog(7, "CTfPointerList::m_RemoveAll - IN");
    m_Empty(TRUE);
    TfDebugLog(7, "CTfPointerList::m_RemoveAll - OUT (Success)");
}

void CTfPointerList::m_DeleteAll()
{
    TfDebugLog(7, "CTfPointerList::m_DeleteAll - IN");
    m_Empty(TRUE);
    TfDebugLog(7, "CTfPointerList::m_DeleteAll - OUT (Success)");
}

void CTfPointerList::m_FreeNodes()
{
    TfDebugLog(7, "CTfPointerList::m_FreeNodes - IN");
    m_Empty(FALSE);
    TfDebugLog(7, "CTfPointerList::m_FreeNodes - OUT (Success)");
}
