// Pointer list of owned framework objects.
#include "tfobjectlist.h"

#include "tfdebug.h"

CTfObjectList::CTfObjectList()
{
    CTfRoutineLog Log("CTfObjectList::CTfObjectList");
    Log.m_Success();
}

CTfObjectList::~CTfObjectList()
{
    CTfRoutineLog Log("CTfObjectList::~CTfObjectList");
    m_DeleteAll();
    Log.m_Success();
}

BOOLEAN CTfObjectList::m_AddObject(CTfObjectBase* pObject)
{
    CTfRoutineLog Log("CTfObjectList::m_AddObject");
    if (pObject == NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("no object");
        return FALSE;
    }
    if (!m_AddTail(pObject)) {
        Log.m_Fail("no memory for the node");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

CTfObjectBase* CTfObjectList::m_RemoveHeadObject()
{
    CTfRoutineLog Log("CTfObjectList::m_RemoveHeadObject");
    Log.m_Success();
    return (CTfObjectBase*)m_RemoveHead();
}

void CTfObjectList::m_DeleteAll()
{
    CTfRoutineLog Log("CTfObjectList::m_DeleteAll");
    // One at a time from the head, so a destructor that looks at the list sees only live objects.
    while (!m_IsEmpty()) {
        CTfObjectBase* pObject = (CTfObjectBase*)m_RemoveHead();
        if (pObject != NULL) {
            delete pObject;
        }
    }
    m_FreeNodes();
    Log.m_Success();
}
