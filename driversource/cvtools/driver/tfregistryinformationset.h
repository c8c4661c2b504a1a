// Registry information set: an information set whose items carry a registry value name, a default
// and an optional constraint. This part holds the item operations; the binding to a registry key
// (reading and writing the values) builds on it.
#pragma once

#include <wdm.h>

#include "tfinformationset.h"
#include "tfregistryvalueconstraint.h"

// The entry list of a registry set is the information set's item list.
typedef CTfInformationSet CTfRegistryValueList;

class CTfRegistryInformationSet : public CTfInformationSet {
public:
    // hKey: the key the set is bound to, or null.
    explicit CTfRegistryInformationSet(HANDLE hKey = NULL);
    virtual ~CTfRegistryInformationSet();

    // Checks the values as a whole after a successful read; a derived set refines it.
    virtual BOOLEAN m_Validate();

    // Appends an entry. The set owns pDefault (a tracked ULONG buffer for kind 1, a CTfString for
    // kind 2) once this returns TRUE; on FALSE it stays the caller's. The constraint stays the
    // caller's either way.
    BOOLEAN m_AddEntry(BOOLEAN bRequired, PCWSTR pszName, PVOID pTarget, ULONG ulKind,
                       CTfRegistryValueConstraint* pConstraint, PVOID pDefault);
    // A number entry that is not required, with its own copy of the default.
    BOOLEAN m_AddDwordEntry(PCWSTR pszName, PULONG pulTarget, ULONG ulDefault,
                            CTfRegistryValueConstraint* pConstraint);
    // A string entry that is not required, with its own copy of the default (null: empty).
    BOOLEAN m_AddStringEntry(PCWSTR pszName, CTfString* pTarget, const CHAR* pszDefault,
                             CTfRegistryValueConstraint* pConstraint);
    // Unlinks the entry when it is in the set, then frees its default, its name and the entry.
    void m_DeleteEntry(CTfInformationSetItem* pEntry);

    // Older names of the add operations.
    BOOLEAN m_AddItem(BOOLEAN bRequired, PCWSTR pszName, PVOID pTarget, ULONG ulKind,
                      CTfRegistryValueConstraint* pConstraint, PVOID pDefault)
    {
        return m_AddEntry(bRequired, pszName, pTarget, ulKind, pConstraint, pDefault);
    }
    BOOLEAN m_AddDwordItem(PCWSTR pszName, PULONG pulTarget, ULONG ulDefault,
                           CTfRegistryValueConstraint* pConstraint)
    {
        return m_AddDwordEntry(pszName, pulTarget, ulDefault, pConstraint);
    }
    BOOLEAN m_AddStringItem(PCWSTR pszName, CTfString* pTarget, const CHAR* pszDefault,
                            CTfRegistryValueConstraint* pConstraint)
    {
        return m_AddStringEntry(pszName, pTarget, pszDefault, pConstraint);
    }

protected:
    HANDLE m_hBoundKey;
};
