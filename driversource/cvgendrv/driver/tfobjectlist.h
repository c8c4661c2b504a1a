// Pointer list whose items are framework objects that it owns: deleting the list's items runs their
// (virtual) destructors.
#pragma once

#include <wdm.h>

#include "tfobject.h"
#include "tfpointerlist.h"

class CTfObjectList : public CTfPointerList {
public:
    CTfObjectList();
    // Deletes every object still listed.
    virtual ~CTfObjectList();

    // Appends an object (the list owns it from now on); FALSE when no node can be allocated, in
    // which case the caller still owns it. Objects go in through this call, so that the pointer kept
    // is the root-class pointer the destructor is called through.
    BOOLEAN m_AddObject(CTfObjectBase* pObject);
    // Unlinks the first object and hands it back to the caller; null for an empty list.
    CTfObjectBase* m_RemoveHeadObject();

    // Deletes every object through its virtual (deleting) destructor, then frees the nodes.
    virtual void m_DeleteAll();
    // The same: freeing an object without its destructor would leak what it owns.
    void m_RemoveAll() { m_DeleteAll(); }

private:
    CTfObjectList(const CTfObjectList&) = delete;
    CTfObjectList& operator=(const CTfObjectList&) = delete;
};
