// Item operations of registry information sets.
#include "tfregistryinformationset.h"

#include "tfdebug.h"
#include "tfmemorytracker.h"

CTfRegistryInformationSet::CTfRegistryInformationSet(HANDLE hKey) : m_hBoundKey(hKey)
{
    TfDebugLog(7, "CTfRegistryInformationSet::CTfRegistryInformationSet - IN");
    TfDebugLog(7, "CTfRegistryInformationSet::CTfRegistryInformationSet - OUT (Success)");
}

CTfRegistryInformationSet::~CTfRegistryInformationSet()
{
    TfDebugLog(7, "CTfRegistryInformationSet::~CTfRegistryInformationSet - IN");
    TfDebugLog(7, "CTfRegistryInformationSet::~CTfRegistryInformationSet - OUT (Success)");
}

BOOLEAN CTfRegistryInformationSet::m_Validate()
{
    TfDebugLog(7, "CTfRegistryInformationSet::m_Validate - IN");
    TfDebugLog(7, "CTfRegistryInformationSet::m_Validate - OUT (Success)");
    return TRUE;
}

BOOLEAN CTfRegistryInformationSet::m_AddEntry(BOOLEAN bRequired, PCWSTR pszName, PVOID pTarget, ULONG ulKind,
                                              CTfRegistryValueConstraint* pConstraint, PVOID pDefault)
{
    TfDebugLog(7, "CTfRegistryInformationSet::m_AddEntry - IN");
    if (pszName == NULL || pTarget == NULL || (ulKind != TF_ITEM_KIND_DWORD && ulKind != TF_ITEM_KIND_STRING)) {
        TF_ASSERT_AT();
        TfDebugLog(7, "CTfRegistryInformationSet::m_AddEntry - OUT - Fail-> bad entry (kind %u)", ulKind);
        return FALSE;
    }

    CTfInformationSetItem* pEntry = new (NonPagedPool) CTfInformationSetItem();
    if (pEntry == NULL) {
        TfDebugLog(7, "CTfRegistryInformationSet::m_AddEntry - OUT - Fail-> no memory for the entry");
        return FALSE;
    }
    pEntry->m_ulRequired = bRequired ? 1 : 0;
    pEntry->m_pTarget = pTarget;
    pEntry->m_ulKind = ulKind;
    pEntry->m_pConstraint = pConstraint;

    // The default is attached only once the entry is listed, so a failed add never frees it.
    if (pEntry->m_Name.m_AssignWide(pszName) != STATUS_SUCCESS) {
        delete pEntry;
        TfDebugLog(7, "CTfRegistryInformationSet::m_AddEntry - OUT - Fail-> name not stored");
        return FALSE;
    }
    if (!m_AppendItem(pEntry)) {
        delete pEntry;
        TfDebugLog(7, "CTfRegistryInformationSet::m_AddEntry - OUT - Fail-> entry not listed");
        return FALSE;
    }
    pEntry->m_pDefault = pDefault;
    TfDebugLog(7, "CTfRegistryInformationSet::m_AddEntry - OUT (Success)");
    return TRUE;
}

BOOLEAN CTfRegistryInformationSet::m_AddDwordEntry(PCWSTR pszName, PULONG pulTarget, ULONG ulDefault,
                                                   CTfRegistryValueConstraint* pConstraint)
{
    TfDebugLog(7, "CTfRegistryInformationSet::m_AddDwordEntry - IN");
    PULONG pulDefault = (PULONG)AllocateTrackedPool(NonPagedPool, sizeof(ULONG));
    if (pulDefault == NULL) {
        TfDebugLog(7, "CTfRegistryInformationSet::m_AddDwordEntry - OUT - Fail-> no memory for the default");
        return FALSE;
    }
    *pulDefault = ulDefault;
    if (!m_AddEntry(FALSE, pszName, pulTarget, TF_ITEM_KIND_DWORD, pConstraint, pulDefault)) {
        FreeTrackedPool(pulDefault);
        TfDebugLog(7, "CTfRegistryInformationSet::m_AddDwordEntry - OUT - Fail-> entry not added");
        return FALSE;
    }
    TfDebugLog(7, "CTfRegistryInformationSet::m_AddDwordEntry - OUT (Success)");
    return TRUE;
}

BOOLEAN CTfRegistryInformationSet::m_AddStringEntry(PCWSTR pszName, CTfString* pTarget, const CHAR* pszDefault,
                                                    CTfRegistryValueConstraint* pConstraint)
{
    TfDebugLog(7, "CTfRegistryInformationSet::m_AddStringEntry - IN");
    CTfString* pDefault = new (NonPagedPool) CTfString(NonPagedPool, pszDefault);
    if (pDefault == NULL) {
        TfDebugLog(7, "CTfRegistryInformationSet::m_AddStringEntry - OUT - Fail-> no memory for the default");
        return FALSE;
    }
    if (pDefault->m_GetStatus() != STATUS_SUCCESS) {
        delete pDefault;
        TfDebugLog(7, "CTfRegistryInformationSet::m_AddStringEntry - OUT - Fail-> default not stored");
        return FALSE;
    }
    if (!m_AddEntry(FALSE, pszName, pTarget, TF_ITEM_KIND_STRING, pConstraint, pDefault)) {
        delete pDefault;
        TfDebugLog(7, "CTfRegistryInformationSet::m_AddStringEntry - OUT - Fail-> entry not added");
        return FALSE;
    }
    TfDebugLog(7, "CTfRegistryInformationSet::m_AddStringEntry - OUT (Success)");
    return TRUE;
}

void CTfRegistryInformationSet::m_DeleteEntry(CTfInformationSetItem* pEntry)
{
    TfDebugLog(7, "CTfRegistryInformationSet::m_DeleteEntry - IN");
    if (pEntry == NULL) {
        TfDebugLog(7, "CTfRegistryInformationSet::m_DeleteEntry - OUT - Fail-> no entry");
        return;
    }
    // A listed entry must not be left behind as a dangling pointer.
    m_RemoveItem(pEntry);
    delete pEntry;
    TfDebugLog(7, "CTfRegistryInformationSet::m_DeleteEntry - OUT (Success)");
}
