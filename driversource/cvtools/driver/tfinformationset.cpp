// Information set: items in list order, serialised field by field.
#include "tfinformationset.h"

#include "tfdebug.h"
#include "tfmemorytracker.h"

CTfInformationSetItem::CTfInformationSetItem()
    : m_ulRequired(0), m_Name(NonPagedPool), m_pTarget(NULL), m_pDefault(NULL), m_ulKind(0), m_pConstraint(NULL)
{
    CTfRoutineLog Log("CTfInformationSetItem::CTfInformationSetItem");
    Log.m_Success();
}

CTfInformationSetItem::~CTfInformationSetItem()
{
    CTfRoutineLog Log("CTfInformationSetItem::~CTfInformationSetItem");
    if (m_pDefault != NULL) {
        if (m_ulKind == TF_ITEM_KIND_DWORD) {
            FreeTrackedPool(m_pDefault);
        } else if (m_ulKind == TF_ITEM_KIND_STRING) {
            delete (CTfString*)m_pDefault;
        } else {
            // No add operation makes such an item; its default cannot be freed safely.
            TF_ASSERT_AT();
        }
        m_pDefault = NULL;
    }
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------

CTfInformationSetSnapshot::CTfInformationSetSnapshot(POOL_TYPE PoolType)
    : m_pValues(NULL), m_ulCount(0), m_PoolType(PoolType)
{
    CTfRoutineLog Log("CTfInformationSetSnapshot::CTfInformationSetSnapshot");
    Log.m_Success();
}

CTfInformationSetSnapshot::~CTfInformationSetSnapshot()
{
    CTfRoutineLog Log("CTfInformationSetSnapshot::~CTfInformationSetSnapshot");
    m_Free();
    Log.m_Success();
}

void CTfInformationSetSnapshot::m_Free()
{
    CTfRoutineLog Log("CTfInformationSetSnapshot::m_Free");
    if (m_pValues != NULL) {
        for (ULONG ulIndex = 0; ulIndex < m_ulCount; ulIndex++) {
            if (m_pValues[ulIndex].pString != NULL) delete m_pValues[ulIndex].pString;
        }
        FreeTrackedPool(m_pValues);
    }
    m_pValues = NULL;
    m_ulCount = 0;
    Log.m_Success();
}

// ---------------------------------------------------------------------------------------------

CTfInformationSet::CTfInformationSet()
{
    CTfRoutineLog Log("CTfInformationSet::CTfInformationSet");
    m_ItemList.m_Init(NonPagedPool);
    Log.m_Success();
}

CTfInformationSet::~CTfInformationSet()
{
    CTfRoutineLog Log("CTfInformationSet::~CTfInformationSet");
    m_DeleteAll();
    Log.m_Success();
}

void CTfInformationSet::m_DeleteAll()
{
    CTfRoutineLog Log("CTfInformationSet::m_DeleteAll");
    // Each item is deleted through its destructor, which frees its default.
    CTfInformationSetItem* pItem;
    while ((pItem = (CTfInformationSetItem*)m_ItemList.m_RemoveHead()) != NULL) delete pItem;
    Log.m_Success();
}

BOOLEAN CTfInformationSet::m_AppendItem(CTfInformationSetItem* pItem)
{
    CTfRoutineLog Log("CTfInformationSet::m_AppendItem");
    if (pItem == NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("no item");
        return FALSE;
    }
    if (!m_ItemList.m_AddTail(pItem)) {
        Log.m_Fail("no list node");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfInformationSet::m_RemoveItem(CTfInformationSetItem* pItem)
{
    CTfRoutineLog Log("CTfInformationSet::m_RemoveItem");
    if (pItem == NULL || !m_ItemList.m_Remove(pItem)) {
        Log.m_Fail("not in the set");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

ULONG CTfInformationSet::m_GetItemCount()
{
    return m_ItemList.m_GetCount();
}

CTfInformationSetItem* CTfInformationSet::m_GetFirstItem()
{
    return (CTfInformationSetItem*)m_ItemList.m_GetFirst();
}

CTfInformationSetItem* CTfInformationSet::m_GetNextItem()
{
    return (CTfInformationSetItem*)m_ItemList.m_GetNext();
}

// Uses the given flags for one operation; 0 keeps the flags in force.
BOOLEAN CTfInformationSet::m_SwitchFlags(ULONG ulFlags, PULONG pulOldFlags)
{
    *pulOldFlags = m_Serialisation.GetFlags();
    if (ulFlags == 0) return TRUE;
    return m_Serialisation.SetFlags(ulFlags);
}

void CTfInformationSet::m_RestoreFlags(ULONG ulFlags, ULONG ulOldFlags)
{
    if (ulFlags != 0) m_Serialisation.SetFlags(ulOldFlags);
}

ULONG CTfInformationSet::GetSerialisedSize(ULONG ulFlags)
{
    CTfRoutineLog Log("CTfInformationSet::GetSerialisedSize");
    ULONG ulOldFlags;
    if (!m_SwitchFlags(ulFlags, &ulOldFlags)) {
        Log.m_Fail("flags refused");
        return 0;
    }

    ULONG ulSize = 0;
    if (m_Serialisation.GetFlags() & TF_SERIALISE_HEADER) ulSize += m_Serialisation.GetHeaderSize();
    for (CTfInformationSetItem* pItem = m_GetFirstItem(); pItem != NULL; pItem = m_GetNextItem()) {
        if (pItem->m_ulKind == TF_ITEM_KIND_DWORD) {
            ulSize += m_Serialisation.GetDwordSize();
        } else if (pItem->m_ulKind == TF_ITEM_KIND_STRING) {
            ulSize += m_Serialisation.GetStringSize((CTfString*)pItem->m_pTarget);
        } else {
            TF_ASSERT_AT();
            ulSize = 0;
            break;
        }
    }

    m_RestoreFlags(ulFlags, ulOldFlags);
    Log.m_Success();
    return ulSize;
}

BOOLEAN CTfInformationSet::Serialise(PVOID pBuffer, ULONG ulLength, ULONG ulFlags)
{
    CTfRoutineLog Log("CTfInformationSet::Serialise");
    if (pBuffer == NULL && ulLength != 0) {
        TF_ASSERT_AT();
        Log.m_Fail("no buffer");
        return FALSE;
    }
    ULONG ulOldFlags;
    if (!m_SwitchFlags(ulFlags, &ulOldFlags)) {
        Log.m_Fail("flags refused");
        return FALSE;
    }

    PUCHAR pucCursor = (PUCHAR)pBuffer;
    ULONG ulRemaining = ulLength;
    BOOLEAN bResult = TRUE;
    if (m_Serialisation.GetFlags() & TF_SERIALISE_HEADER)
        bResult = m_Serialisation.WriteHeader(&pucCursor, &ulRemaining);
    for (CTfInformationSetItem* pItem = bResult ? m_GetFirstItem() : NULL; pItem != NULL; pItem = m_GetNextItem()) {
        if (pItem->m_ulKind == TF_ITEM_KIND_DWORD) {
            bResult = m_Serialisation.WriteDword(&pucCursor, &ulRemaining, *(PULONG)pItem->m_pTarget);
        } else if (pItem->m_ulKind == TF_ITEM_KIND_STRING) {
            bResult = m_Serialisation.WriteString(&pucCursor, &ulRemaining, (CTfString*)pItem->m_pTarget);
        } else {
            TF_ASSERT_AT();
            bResult = FALSE;
        }
        if (!bResult) break;
    }

    m_RestoreFlags(ulFlags, ulOldFlags);
    if (!bResult) {
        Log.m_Fail("buffer too short");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfInformationSet::Deserialise(PVOID pBuffer, ULONG ulLength, ULONG ulFlags)
{
    CTfRoutineLog Log("CTfInformationSet::Deserialise");
    if (pBuffer == NULL && ulLength != 0) {
        TF_ASSERT_AT();
        Log.m_Fail("no buffer");
        return FALSE;
    }
    ULONG ulOldFlags;
    if (!m_SwitchFlags(ulFlags, &ulOldFlags)) {
        Log.m_Fail("flags refused");
        return FALSE;
    }

    PUCHAR pucCursor = (PUCHAR)pBuffer;
    ULONG ulRemaining = ulLength;
    BOOLEAN bResult = TRUE;
    if (m_Serialisation.GetFlags() & TF_SERIALISE_HEADER)
        bResult = m_Serialisation.CheckHeader(&pucCursor, &ulRemaining);
    for (CTfInformationSetItem* pItem = bResult ? m_GetFirstItem() : NULL; pItem != NULL; pItem = m_GetNextItem()) {
        if (pItem->m_ulKind == TF_ITEM_KIND_DWORD) {
            bResult = m_Serialisation.ReadDword(&pucCursor, &ulRemaining, (PULONG)pItem->m_pTarget);
        } else if (pItem->m_ulKind == TF_ITEM_KIND_STRING) {
            bResult = m_Serialisation.ReadString(&pucCursor, &ulRemaining, (CTfString*)pItem->m_pTarget);
        } else {
            TF_ASSERT_AT();
            bResult = FALSE;
        }
        if (!bResult) break;
    }

    m_RestoreFlags(ulFlags, ulOldFlags);
    if (!bResult) {
        Log.m_Fail("malformed data");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfInformationSet::m_SaveValues(CTfInformationSetSnapshot* pSnapshot)
{
    CTfRoutineLog Log("CTfInformationSet::m_SaveValues");
    if (pSnapshot == NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("no snapshot");
        return FALSE;
    }
    pSnapshot->m_Free();

    ULONG ulCount = m_ItemList.m_GetCount();
    if (ulCount == 0) {
        Log.m_Success();
        return TRUE;
    }
    CTfInformationSetSnapshot::PTF_SAVED_VALUE pValues = (CTfInformationSetSnapshot::PTF_SAVED_VALUE)
        AllocateTrackedPool(pSnapshot->m_PoolType, (SIZE_T)ulCount * sizeof(CTfInformationSetSnapshot::TF_SAVED_VALUE));
    if (pValues == NULL) {
        Log.m_Fail("no memory");
        return FALSE;
    }
    RtlZeroMemory(pValues, (SIZE_T)ulCount * sizeof(CTfInformationSetSnapshot::TF_SAVED_VALUE));
    pSnapshot->m_pValues = pValues;
    pSnapshot->m_ulCount = ulCount;

    ULONG ulIndex = 0;
    for (CTfInformationSetItem* pItem = m_GetFirstItem(); pItem != NULL && ulIndex < ulCount;
         pItem = m_GetNextItem(), ulIndex++) {
        CTfInformationSetSnapshot::PTF_SAVED_VALUE pValue = &pValues[ulIndex];
        pValue->pTarget = pItem->m_pTarget;
        pValue->ulKind = pItem->m_ulKind;
        if (pItem->m_ulKind == TF_ITEM_KIND_DWORD) {
            pValue->ulValue = *(PULONG)pItem->m_pTarget;
        } else if (pItem->m_ulKind == TF_ITEM_KIND_STRING) {
            CTfString* pCopy = new (pSnapshot->m_PoolType) CTfString(pSnapshot->m_PoolType);
            if (pCopy == NULL) {
                pSnapshot->m_Free();
                Log.m_Fail("no memory");
                return FALSE;
            }
            pValue->pString = pCopy;
            CTfString* pTarget = (CTfString*)pItem->m_pTarget;
            if (!pTarget->m_IsEmpty() && pCopy->m_Assign(*pTarget) != STATUS_SUCCESS) {
                pSnapshot->m_Free();
                Log.m_Fail("string not copied");
                return FALSE;
            }
        } else {
            TF_ASSERT_AT();
            pSnapshot->m_Free();
            Log.m_Fail("unknown item kind");
            return FALSE;
        }
    }
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfInformationSet::m_RestoreValues(CTfInformationSetSnapshot* pSnapshot)
{
    CTfRoutineLog Log("CTfInformationSet::m_RestoreValues");
    if (pSnapshot == NULL) {
        TF_ASSERT_AT();
        Log.m_Fail("no snapshot");
        return FALSE;
    }

    // A snapshot of another shape would write through stale pointers: check it all first.
    if (pSnapshot->m_ulCount != m_ItemList.m_GetCount()) {
        TF_ASSERT_AT();
        Log.m_Fail("%u values for %u items", pSnapshot->m_ulCount, m_ItemList.m_GetCount());
        return FALSE;
    }
    ULONG ulIndex = 0;
    for (CTfInformationSetItem* pItem = m_GetFirstItem(); pItem != NULL; pItem = m_GetNextItem(), ulIndex++) {
        if (ulIndex >= pSnapshot->m_ulCount || pSnapshot->m_pValues[ulIndex].pTarget != pItem->m_pTarget ||
            pSnapshot->m_pValues[ulIndex].ulKind != pItem->m_ulKind) {
            TF_ASSERT_AT();
            Log.m_Fail("snapshot of another set");
            return FALSE;
        }
    }

    BOOLEAN bResult = TRUE;
    ulIndex = 0;
    for (CTfInformationSetItem* pItem = m_GetFirstItem(); pItem != NULL; pItem = m_GetNextItem(), ulIndex++) {
        CTfInformationSetSnapshot::PTF_SAVED_VALUE pValue = &pSnapshot->m_pValues[ulIndex];
        if (pValue->ulKind == TF_ITEM_KIND_DWORD) {
            *(PULONG)pItem->m_pTarget = pValue->ulValue;
        } else {
            CTfString* pTarget = (CTfString*)pItem->m_pTarget;
            if (pValue->pString->m_IsEmpty()) {
                pTarget->m_Clear();
            } else if (pTarget->m_Assign(*pValue->pString) != STATUS_SUCCESS) {
                // Go on with the others; the caller learns that the set is not as it was.
                bResult = FALSE;
            }
        }
    }
    if (!bResult) {
        Log.m_Fail("a string was not restored");
        return FALSE;
    }
    Log.m_Success();
    return TRUE;
}
