// The framework's doubly linked list of pointers with a cursor. The list owns its nodes; whether
// it owns the items depends on the operation. Not locked: owners hold their own lock around it.
#pragma once

#include <wdm.h>

#include "tfobject.h"

typedef struct _TF_POINTER_NODE {
    PVOID pItem;
    struct _TF_POINTER_NODE* pNext;
    struct _TF_POINTER_NODE* pPrevious;
    PVOID pReserved;  // cleared at insertion
} TF_POINTER_NODE, *PTF_POINTER_NODE;

class CTfPointerList : public CTfObjectBase {
public:
    // Empty list with nonpaged nodes.
    CTfPointerList();
    // Frees the nodes (not the items).
    virtual ~CTfPointerList();

    // Empties the list (nodes still linked are freed, their items are not) and sets the nodes'
    // pool type.
    void m_Init(POOL_TYPE PoolType);

    // Cursor to the head; its item, or null for an empty list.
    PVOID m_GetFirst();
    // Cursor to the next node and its item. At the end: null, the cursor stays. With no cursor on a
    // non-empty list (after the head was removed at the cursor): the head.
    PVOID m_GetNext();
    // The item at the cursor, or null.
    PVOID m_GetCurrent();
    PVOID m_GetHead() const { return m_pHead ? m_pHead->pItem : NULL; }
    PVOID m_GetTail() const { return m_pTail ? m_pTail->pItem : NULL; }

    // Appends a node holding pItem; the cursor and the tail move to it. FALSE (list unchanged)
    // when no node can be allocated.
    BOOLEAN m_AddTail(PVOID pItem);
    // Allocates a zeroed item of cbItemSize bytes through the tracker and appends it; null (list
    // unchanged, item freed again) on failure.
    PVOID m_AddNew(SIZE_T cbItemSize);
    // Unlinks the first node and returns its item (not freed); null for an empty list.
    PVOID m_RemoveHead();
    // Leaves the cursor on the node holding pItem; FALSE when it is not listed.
    BOOLEAN m_Find(PVOID pItem);
    // Unlinks the node at the cursor and returns its item (not freed). The cursor moves to the
    // previous node, or to none when the head was removed. Null when there is no cursor.
    PVOID m_RemoveCurrent();
    // Unlinks the node holding pItem (the item is not freed); FALSE when it is not listed.
    BOOLEAN m_Remove(PVOID pItem);
    // Puts pNewItem in the place of pOldItem; FALSE when pOldItem is not listed.
    BOOLEAN m_Replace(PVOID pOldItem, PVOID pNewItem);

    // Frees every item and every node through the tracker; the list is empty afterwards. Lists whose
    // items need more than freeing (framework objects) override m_DeleteAll.
    void m_RemoveAll();
    virtual void m_DeleteAll();
    // Frees every node but not the items; the list is empty afterwards.
    void m_FreeNodes();

    ULONG m_GetCount() const { return m_ulCount; }
    BOOLEAN m_IsEmpty() const { return m_pHead == NULL; }
    POOL_TYPE m_GetPoolType() const { return m_PoolType; }

protected:
    PTF_POINTER_NODE m_FindNode(PVOID pItem);
    void m_Unlink(PTF_POINTER_NODE pNode);
    // Frees every node, and the items when bFreeItems; head, tail and cursor none, count 0.
    void m_Empty(BOOLEAN bFreeItems);

    PTF_POINTER_NODE m_pHead;
    PTF_POINTER_NODE m_pTail;
    PTF_POINTER_NODE m_pCursor;
    POOL_TYPE m_PoolType;
    ULONG m_ulCount;

private:
    CTfPointerList(const CTfPointerList&) = delete;
    CTfPointerList& operator=(const CTfPointerList&) = delete;
};
