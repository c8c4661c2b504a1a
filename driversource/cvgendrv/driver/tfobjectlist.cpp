// Pointer list of owned framework objects.
#include "tfobjectlist.h"

#include "tfdebug.h"

CTfObjectList::CTfObjectList()
{
    TfDebugLog(7, "CTfObjectList::CTfObjectList - IN");
    TfDebugLog(7, "CTfObjectList::CTfObjectList - OUT (Success)");
}

CTfObjectList::~CTfObjectList()
{
    TfDebugLog(7, "CTfObjectList::~CTfObjectList - IN");
    m_DeleteAll();
    TfDebugLog(7, "CTfObjectList::~CTfObjectList - OUT (Success)");
}

BOOLEAN CTfObjectList::m_AddObject(CTfObjectBase* pObject)
{
    TfDebugLog(7, "CTfObjectList::m_AddObject - IN");
    if (pObject == NULL) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CTfObjectList::m_AddObject - OUT - Fail-> no object");
        return FALSE;
    }
    if (!m_AddTail(pObject)) {
        TfDebugLog(7, "CTfObjectList::m_AddObject - OUT - Fail-> no memory for the node");
        return FALSE;
    }
    TfDebugLog(7, "CTfObjectList::m_AddObject - OUT (Success)");
    return TRUE;
}

CTfObjectBase* CTfObjectList::m_RemoveHeadObject()
{
    TfDebugLog(7, "CTfObjectList::m_RemoveHeadObject - IN");
    TfDebugLog(7, "CTfObjectList::m_RemoveHeadObject - OUT (Success)");
    return (CTfObjectBase*)m_RemoveHead();
}

void CTfObjectList::m_DeleteAll()
{
    TfDebugLog(7, "CTfObjectList::m_DeleteAll - IN");
    // One at a time from the head, so a destructor that looks at the list sees only live objects.
    while (!m_IsEmpty()) {
        CTfObjectBase* pObject = (CTfObjectBase*)m_RemoveHead();
        if (pObject != NULL) {
            delete pObject;
        }
    }
    m_FreeNodes();
    TfDebugLog(7, "CTfObjectList::m_DeleteAll - OUT (Success)");
}
