// Registry information set: an information set whose items carry a registry value name, a default
// and an optional constraint, bound to a registry key. One call reads every value from the key (a
// missing value takes its default), another writes every value back. The defaults of a set live in
// the key's subkey "Default". PASSIVE_LEVEL.
#pragma once

#include <wdm.h>

#include "tfinformationset.h"
#include "tfregistryvalueconstraint.h"
#include "tfstring.h"

// The entry list of a registry set is the information set's item list.
typedef CTfInformationSet CTfRegistryValueList;

// Supplies the set key for one read (ulWrite 0) or write (non-zero). The set closes the handle it
// gets; null fails the operation. The "Default" subkey is opened below it by the set itself.
typedef HANDLE (*PTF_OPEN_KEY_ROUTINE)(PVOID pContext, BOOLEAN bDefaults, ULONG ulWrite);

// Name of the subkey that holds a set's defaults.
#define TF_REGISTRY_DEFAULTS_SUBKEY "Default"

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

    // FALSE when the defaults subkey name could not be built; such a set cannot be used.
    BOOLEAN m_IsValid() const { return m_bValid; }

    // Where the set's key comes from: an open-key routine (first), the bound handle (next), or a key
    // path opened for each operation (last).
    BOOLEAN m_SetKeyPath(const WCHAR* pszPath);
    void m_SetOpenKeyRoutine(PTF_OPEN_KEY_ROUTINE pfnOpenKey, PVOID pContext);
    void m_BindKey(HANDLE hKey) { m_hBoundKey = hKey; }
    HANDLE m_GetBoundKey() const { return m_hBoundKey; }

    // Every value from the key (bDefaults: from its "Default" subkey). An empty set, a missing
    // required value or a value its constraint rejects fails; the values read before the failure
    // stay in their storage. On success the result is m_Validate's.
    BOOLEAN m_Read(BOOLEAN bDefaults);
    // Every value into the key (bDefaults: into its "Default" subkey, which is created when
    // missing); stops at the first failure.
    BOOLEAN m_Write(BOOLEAN bDefaults);
    // The same on a caller's open key, which stays open.
    BOOLEAN m_ReadFromKey(HANDLE hKey, BOOLEAN bDefaults);
    BOOLEAN m_WriteToKey(HANDLE hKey, BOOLEAN bDefaults);

protected:
    // The key of one operation; *pbClose tells whether the caller closes it afterwards.
    BOOLEAN m_OpenKey(BOOLEAN bDefaults, BOOLEAN bWrite, PHANDLE phKey, PBOOLEAN pbClose);
    BOOLEAN m_ReadValues(HANDLE hKey);
    BOOLEAN m_WriteValues(HANDLE hKey);
    BOOLEAN m_ReadDword(HANDLE hKey, CTfInformationSetItem* pEntry);
    BOOLEAN m_ReadString(HANDLE hKey, CTfInformationSetItem* pEntry);
    // Puts the key sources aside while an operation runs on a caller's key, and back afterwards.
    BOOLEAN m_SaveKey();
    BOOLEAN m_RestoreKey();

    CTfString m_DefaultsName;
    CTfString m_KeyPath;
    HANDLE m_hBoundKey;
    PTF_OPEN_KEY_ROUTINE m_pfnOpenKey;
    PVOID m_pOpenKeyContext;
    HANDLE m_hSavedKey;
    PTF_OPEN_KEY_ROUTINE m_pfnSavedOpenKey;
    PVOID m_pSavedOpenKeyContext;
    BOOLEAN m_bKeySaved;
    BOOLEAN m_bValid;
    UCHAR m_ucRegistryFlags;  // kept for the registry routines; none of them takes it today
};
