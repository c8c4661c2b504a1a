// Registry information sets: the entries and their binding to a registry key.
#include "tfregistryinformationset.h"

#include "tfdebug.h"
#include "tfmemorytracker.h"
#include "tfregistry.h"

namespace {

// A set is reloaded in place while the port's callbacks read its values (with atomic reads), so
// each value is stored with an interlocked write.
void TfStoreDword(PULONG pulTarget, ULONG ulValue)
{
    InterlockedExchange((LONG volatile*)pulTarget, (LONG)ulValue);
}

}  // namespace

CTfRegistryInformationSet::CTfRegistryInformationSet(HANDLE hKey)
    : m_DefaultsName(NonPagedPool, TF_REGISTRY_DEFAULTS_SUBKEY),
      m_KeyPath(NonPagedPool),
      m_hBoundKey(hKey),
      m_pfnOpenKey(NULL),
      m_pOpenKeyContext(NULL),
      m_hSavedKey(NULL),
      m_pfnSavedOpenKey(NULL),
      m_pSavedOpenKeyContext(NULL),
      m_bKeySaved(FALSE),
      m_bValid(FALSE),
      m_ucRegistryFlags(1)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::CTfRegistryInformationSet");
    if (m_DefaultsName.m_GetStatus() != STATUS_SUCCESS) {
        Log.m_Fail("defaults name");
        return;
    }
    m_bValid = TRUE;
    Log.m_Success();
}

CTfRegistryInformationSet::~CTfRegistryInformationSet()
{
    CTfRoutineLog Log("CTfRegistryInformationSet::~CTfRegistryInformationSet");
    Log.m_Success();
}

BOOLEAN CTfRegistryInformationSet::m_Validate()
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_Validate");
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistryInformationSet::m_AddEntry(BOOLEAN bRequired, PCWSTR pszName, PVOID pTarget, ULONG ulKind,
                                              CTfRegistryValueConstraint* pConstraint, PVOID pDefault)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_AddEntry");
    if (pszName == NULL || pTarget == NULL || (ulKind != TF_ITEM_KIND_DWORD && ulKind != TF_ITEM_KIND_STRING)) {
        TF_ASSERT_AT();
        Log.m_Fail("bad entry (kind %u)", ulKind);
        return FALSE;
    }

    CTfInformationSetItem* pEntry = new (NonPagedPool) CTfInformationSetItem();
    if (pEntry == NULL) {
        Log.m_Fail("no memory for the entry");
        return FALSE;
    }
    pEntry->m_ulRequired = bRequired ? 1 : 0;
    pEntry->m_pTarget = pTarget;
    pEntry->m_ulKind = ulKind;
    pEntry->m_pConstraint = pConstraint;

    // The default is attached only once the entry is listed, so a failed add never frees it.
    if (pEntry->m_Name.m_AssignWide(pszName) != STATUS_SUCCESS) {
        delete pEntry;
        Log.m_Fail("name not stored");
        return FALSE;
    }
    if (!m_AppendItem(pEntry)) {
        delete pEntry;
        Log.m_Fail("entry not listed");
        return FALSE;
    }
    pEntry->m_pDefault = pDefault;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistryInformationSet::m_AddDwordEntry(PCWSTR pszName, PULONG pulTarget, ULONG ulDefault,
                                                   CTfRegistryValueConstraint* pConstraint)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_AddDwordEntry");
    PULONG pulDefault = (PULONG)AllocateTrackedPool(NonPagedPool, sizeof(ULONG));
    if (pulDefault == NULL) {
        Log.m_Fail("no memory for the default");
        return FALSE;
    }
    *pulDefault = ulDefault;
    if (!m_AddEntry(FALSE, pszName, pulTarget, TF_ITEM_KIND_DWORD, pConstraint, pulDefault)) {
        FreeTrackedPool(pulDefault);
        Log.m_Fail("entry not added");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistryInformationSet::m_AddStringEntry(PCWSTR pszName, CTfString* pTarget, const CHAR* pszDefault,
                                                    CTfRegistryValueConstraint* pConstraint)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_AddStringEntry");
    CTfString* pDefault = new (NonPagedPool) CTfString(NonPagedPool, pszDefault);
    if (pDefault == NULL) {
        Log.m_Fail("no memory for the default");
        return FALSE;
    }
    if (pDefault->m_GetStatus() != STATUS_SUCCESS) {
        delete pDefault;
        Log.m_Fail("default not stored");
        return FALSE;
    }
    if (!m_AddEntry(FALSE, pszName, pTarget, TF_ITEM_KIND_STRING, pConstraint, pDefault)) {
        delete pDefault;
        Log.m_Fail("entry not added");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

void CTfRegistryInformationSet::m_DeleteEntry(CTfInformationSetItem* pEntry)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_DeleteEntry");
    if (pEntry == NULL) {
        Log.m_Fail("no entry");
        return;
    }
    // A listed entry must not be left behind as a dangling pointer.
    m_RemoveItem(pEntry);
    delete pEntry;
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------
// Key binding
// ---------------------------------------------------------------------------------------------

BOOLEAN CTfRegistryInformationSet::m_SetKeyPath(const WCHAR* pszPath)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_SetKeyPath");
    if (pszPath == NULL) {
        m_KeyPath.m_Free();
        Log.m_Success();
        return TRUE;
    }
    if (m_KeyPath.m_AssignWide(pszPath) != STATUS_SUCCESS) {
        Log.m_Fail("path not stored");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

void CTfRegistryInformationSet::m_SetOpenKeyRoutine(PTF_OPEN_KEY_ROUTINE pfnOpenKey, PVOID pContext)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_SetOpenKeyRoutine");
    m_pfnOpenKey = pfnOpenKey;
    m_pOpenKeyContext = pfnOpenKey != NULL ? pContext : NULL;
    Log.m_Success();
}

BOOLEAN CTfRegistryInformationSet::m_OpenKey(BOOLEAN bDefaults, BOOLEAN bWrite, PHANDLE phKey, PBOOLEAN pbClose)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_OpenKey");
    const ACCESS_MASK Access = bWrite ? KEY_ALL_ACCESS : KEY_READ;
    HANDLE hKey = NULL;
    BOOLEAN bClose;

    if (m_pfnOpenKey != NULL) {
        hKey = m_pfnOpenKey(m_pOpenKeyContext, bDefaults, bWrite ? 1 : 0);
        if (hKey == NULL) {
            Log.m_Fail("no key from the routine");
            return FALSE;
        }
        bClose = TRUE;
    } else if (m_hBoundKey != NULL) {
        hKey = m_hBoundKey;
        bClose = FALSE;
    } else if (!m_KeyPath.m_IsEmpty()) {
        if (!CTfRegistry::m_OpenKey(m_KeyPath, &hKey, Access, FALSE)) {
            Log.m_Fail("key path not opened");
            return FALSE;
        }
        bClose = TRUE;
    } else {
        Log.m_Fail("no key");
        return FALSE;
    }

    if (bDefaults) {
        if (!m_IsValid()) {
            if (bClose) CTfRegistry::m_CloseKey(hKey);
            Log.m_Fail("no defaults name");
            return FALSE;
        }
        // The defaults are written when a set key is first filled, so writing creates the subkey;
        // reading only opens it, so missing defaults are reported.
        HANDLE hDefaults = NULL;
        BOOLEAN bOpened = CTfRegistry::m_OpenSubKey(hKey, m_DefaultsName, &hDefaults, Access, bWrite);
        if (bClose) CTfRegistry::m_CloseKey(hKey);
        if (!bOpened) {
            Log.m_Fail("no defaults subkey");
            return FALSE;
        }
        hKey = hDefaults;
        bClose = TRUE;
    }

    *phKey = hKey;
    *pbClose = bClose;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistryInformationSet::m_ReadDword(HANDLE hKey, CTfInformationSetItem* pEntry)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_ReadDword");
    PULONG pulTarget = (PULONG)pEntry->m_pTarget;
    ULONG ulValue = 0;
    if (!CTfRegistry::m_QueryDword(hKey, pEntry->m_Name, &ulValue)) {
        if (pEntry->m_ulRequired) {
            Log.m_Fail("required value missing");
            return FALSE;
        }
        TfStoreDword(pulTarget, pEntry->m_pDefault != NULL ? *(PULONG)pEntry->m_pDefault : 0);
        Log.m_Success();
        return TRUE;
    }

    // A rejected value never reaches the owner's variable.
    CTfRegistryValueConstraint* pConstraint = pEntry->m_pConstraint;
    if (pConstraint != NULL) {
        LONG lMinimum, lMaximum;
        if (pConstraint->m_GetRange(&lMinimum, &lMaximum) && ((LONG)ulValue < lMinimum || (LONG)ulValue > lMaximum)) {
            Log.m_Fail("%d out of range", (LONG)ulValue);
            return FALSE;
        }
        PTF_NUMBER_CHECK_ROUTINE pfnCheck = NULL;
        if (pConstraint->m_GetValidator(&pfnCheck) && pfnCheck != NULL && !pfnCheck(ulValue)) {
            Log.m_Fail("%u rejected", ulValue);
            return FALSE;
        }
    }
    TfStoreDword(pulTarget, ulValue);
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistryInformationSet::m_ReadString(HANDLE hKey, CTfInformationSetItem* pEntry)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_ReadString");
    CTfString* pTarget = (CTfString*)pEntry->m_pTarget;
    CTfString Value(pTarget->m_GetPoolType());

    // A value of another type (REG_EXPAND_SZ, REG_MULTI_SZ) counts as missing.
    if (!CTfRegistry::m_QueryString(hKey, pEntry->m_Name, Value, REG_SZ)) {
        if (pEntry->m_ulRequired) {
            Log.m_Fail("required value missing");
            return FALSE;
        }
        CTfString* pDefault = (CTfString*)pEntry->m_pDefault;
        NTSTATUS Status;
        if (pDefault == NULL || pDefault->m_IsEmpty()) {
            pTarget->m_Clear();
            Status = STATUS_SUCCESS;
        } else {
            Status = pTarget->m_Assign(*pDefault);
        }
        if (Status != STATUS_SUCCESS) {
            Log.m_Fail("default not copied");
            return FALSE;
        }
        Log.m_Success();
        return TRUE;
    }

    CTfRegistryValueConstraint* pConstraint = pEntry->m_pConstraint;
    ULONG ulMaxLength = 0;
    if (pConstraint != NULL && pConstraint->m_GetMaxLength(&ulMaxLength)) {
        ULONG cbLength = Value.m_IsEmpty() ? 0 : Value.m_GetLength();
        if ((ULONGLONG)cbLength > 2ULL * ulMaxLength) {
            Log.m_Fail("%u bytes too long", cbLength);
            return FALSE;
        }
    }
    NTSTATUS Status;
    if (Value.m_IsEmpty()) {
        pTarget->m_Clear();
        Status = STATUS_SUCCESS;
    } else {
        Status = pTarget->m_Assign(Value);
    }
    if (Status != STATUS_SUCCESS) {
        Log.m_Fail("value not stored");
        return FALSE;
    }
    // The check routine sees the owner's own string: a routine may keep what it derives beside it.
    PTF_STRING_CHECK_ROUTINE pfnCheck = NULL;
    if (pConstraint != NULL && pConstraint->m_GetStringValidator(&pfnCheck) && pfnCheck != NULL &&
        !pfnCheck(pTarget)) {
        Log.m_Fail("value rejected");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistryInformationSet::m_ReadValues(HANDLE hKey)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_ReadValues");
    for (CTfInformationSetItem* pEntry = m_GetFirstItem(); pEntry != NULL; pEntry = m_GetNextItem()) {
        BOOLEAN bRead;
        if (pEntry->m_ulKind == TF_ITEM_KIND_DWORD) {
            bRead = m_ReadDword(hKey, pEntry);
        } else if (pEntry->m_ulKind == TF_ITEM_KIND_STRING) {
            bRead = m_ReadString(hKey, pEntry);
        } else {
            bRead = FALSE;
        }
        if (!bRead) {
            Log.m_Fail("entry kind %u", pEntry->m_ulKind);
            return FALSE;
        }
    }
    BOOLEAN bValid = m_Validate();
    if (!bValid) {
        Log.m_Fail("set not valid");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistryInformationSet::m_WriteValues(HANDLE hKey)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_WriteValues");
    for (CTfInformationSetItem* pEntry = m_GetFirstItem(); pEntry != NULL; pEntry = m_GetNextItem()) {
        BOOLEAN bWritten;
        if (pEntry->m_ulKind == TF_ITEM_KIND_DWORD) {
            bWritten = CTfRegistry::m_SetDword(hKey, pEntry->m_Name, *(PULONG)pEntry->m_pTarget);
        } else if (pEntry->m_ulKind == TF_ITEM_KIND_STRING) {
            bWritten = CTfRegistry::m_SetString(hKey, pEntry->m_Name, *(CTfString*)pEntry->m_pTarget, REG_SZ);
        } else {
            bWritten = FALSE;
        }
        if (!bWritten) {
            Log.m_Fail("entry kind %u", pEntry->m_ulKind);
            return FALSE;
        }
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistryInformationSet::m_Read(BOOLEAN bDefaults)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_Read");
    if (m_GetItemCount() == 0) {
        Log.m_Fail("empty set");
        return FALSE;
    }
    HANDLE hKey = NULL;
    BOOLEAN bClose = FALSE;
    if (!m_OpenKey(bDefaults, FALSE, &hKey, &bClose)) {
        Log.m_Fail("no key");
        return FALSE;
    }
    BOOLEAN bResult = m_ReadValues(hKey);
    if (bClose) CTfRegistry::m_CloseKey(hKey);
    if (!bResult) {
        Log.m_Fail("values");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistryInformationSet::m_Write(BOOLEAN bDefaults)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_Write");
    if (m_GetItemCount() == 0) {
        Log.m_Fail("empty set");
        return FALSE;
    }
    HANDLE hKey = NULL;
    BOOLEAN bClose = FALSE;
    if (!m_OpenKey(bDefaults, TRUE, &hKey, &bClose)) {
        Log.m_Fail("no key");
        return FALSE;
    }
    BOOLEAN bResult = m_WriteValues(hKey);
    if (bClose) CTfRegistry::m_CloseKey(hKey);
    if (!bResult) {
        Log.m_Fail("values");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

// The key path needs no saving: a bound handle is preferred to it, so it is not used while the
// caller's key is bound, and keeping it avoids a copy that could fail on the way back.
BOOLEAN CTfRegistryInformationSet::m_SaveKey()
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_SaveKey");
    if (m_bKeySaved) {
        Log.m_Fail("already on a caller's key");
        return FALSE;
    }
    m_hSavedKey = m_hBoundKey;
    m_pfnSavedOpenKey = m_pfnOpenKey;
    m_pSavedOpenKeyContext = m_pOpenKeyContext;
    m_hBoundKey = NULL;
    m_pfnOpenKey = NULL;
    m_pOpenKeyContext = NULL;
    m_bKeySaved = TRUE;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistryInformationSet::m_RestoreKey()
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_RestoreKey");
    if (!m_bKeySaved) {
        Log.m_Fail("nothing saved");
        return FALSE;
    }
    m_hBoundKey = m_hSavedKey;
    m_pfnOpenKey = m_pfnSavedOpenKey;
    m_pOpenKeyContext = m_pSavedOpenKeyContext;
    m_hSavedKey = NULL;
    m_pfnSavedOpenKey = NULL;
    m_pSavedOpenKeyContext = NULL;
    m_bKeySaved = FALSE;
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistryInformationSet::m_ReadFromKey(HANDLE hKey, BOOLEAN bDefaults)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_ReadFromKey");
    if (hKey == NULL) {
        Log.m_Fail("no key");
        return FALSE;
    }
    if (!m_SaveKey()) {
        Log.m_Fail("key not saved");
        return FALSE;
    }
    m_hBoundKey = hKey;
    BOOLEAN bResult = m_Read(bDefaults);
    if (!m_RestoreKey()) bResult = FALSE;
    if (!bResult) {
        Log.m_Fail("read");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfRegistryInformationSet::m_WriteToKey(HANDLE hKey, BOOLEAN bDefaults)
{
    CTfRoutineLog Log("CTfRegistryInformationSet::m_WriteToKey");
    if (hKey == NULL) {
        Log.m_Fail("no key");
        return FALSE;
    }
    if (!m_SaveKey()) {
        Log.m_Fail("key not saved");
        return FALSE;
    }
    m_hBoundKey = hKey;
    BOOLEAN bResult = m_Write(bDefaults);
    if (!m_RestoreKey()) bResult = FALSE;
    if (!bResult) {
        Log.m_Fail("write");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}
