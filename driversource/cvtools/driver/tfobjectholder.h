// One framework object behind a reference gate: users acquire the object through the gate, and
// the owner detaches it only when the last user has released it.
#pragma once

#include <wdm.h>

#include "tfobject.h"
#include "tfreferencegate.h"

class CTfObjectHolder {
public:
    // No object; the gate has no maximum and is open.
    CTfObjectHolder();

    // Stores the object and re-initialises the gate closed; the owner opens it with
    // m_GetGate()->m_SetOpen(TRUE) when the object may be used. Refused (assertion report, FALSE)
    // while another object is held: detach it first.
    BOOLEAN m_SetObject(CTfObject* pObject);

    // The object when there is one and the gate admits the caller, else null. Every object
    // returned is paired with m_Release.
    CTfObject* m_Acquire();
    void m_Release() { m_Gate.m_Release(); }

    // Closes the gate and waits for the holders; then deletes the object (bDelete, result null) or
    // takes it out of the holder and returns it. When holders remain (a poll at DISPATCH_LEVEL
    // timed out), the object stays in the holder, the result is null and an assertion is
    // reported: detach at PASSIVE_LEVEL.
    CTfObject* m_Detach(BOOLEAN bDelete);
    // Deletes the held object through its virtual destructor and clears the pointer.
    void m_DeleteObject();
    // m_Detach with deletion, then clears the gate's event; called by the owners' destructors.
    void m_WaitForRelease();

    // The held pointer without admission (the owner's own use, e.g. tests and diagnostics).
    CTfObject* m_PeekObject() const { return m_pObject; }
    CTfReferenceGate* m_GetGate() { return &m_Gate; }

private:
    CTfObjectHolder(const CTfObjectHolder&) = delete;
    CTfObjectHolder& operator=(const CTfObjectHolder&) = delete;

    CTfObject* volatile m_pObject;
    CTfReferenceGate m_Gate;
};
