// Allocation tracker, library reference and the allocation doors of the framework's root classes.
#include "tfmemorytracker.h"

#include "tfdebug.h"
#include "tfinterlocked.h"
#include "tfobject.h"

// The image's own library state, and the state in force (a test may swap in another image's).
static TF_LIBRARY_STATE g_TfImageLibraryState = {0, NULL};
static PTF_LIBRARY_STATE g_pTfLibraryState = &g_TfImageLibraryState;

// ---------------------------------------------------------------------------------------------
// CTfMemoryTracker
// ---------------------------------------------------------------------------------------------

void* CTfMemoryTracker::operator new(size_t cbSize, POOL_TYPE PoolType) noexcept
{
    return ExAllocatePoolWithTag(PoolType, cbSize, TF_TAG_TRACKER);
}

void CTfMemoryTracker::operator delete(void* p)
{
    if (p != NULL) {
        ExFreePool(p);
    }
}

void CTfMemoryTracker::operator delete(void* p, POOL_TYPE PoolType)
{
    CTfMemoryTracker::operator delete(p);
}

CTfMemoryTracker::CTfMemoryTracker() : m_Status(STATUS_UNSUCCESSFUL), m_pBlockList(NULL)
{
    CTfRoutineLog Log("CTfMemoryTracker::CTfMemoryTracker");

    m_pBlockList = (PTF_BLOCK_LIST)ExAllocatePoolWithTag(NonPagedPool, sizeof(TF_BLOCK_LIST), TF_TAG_TRACKER);
    if (m_pBlockList == NULL) {
        Log.m_Fail("no block list");
        return;
    }

    m_pBlockList->Status = STATUS_SUCCESS;
    m_pBlockList->ulFailureCount = 0;
    m_pBlockList->ulNextSlot = 1;
    m_pBlockList->pFirstBlock = NULL;
    m_pBlockList->pTailBlock = NULL;
    KeInitializeSpinLock(&m_pBlockList->SpinLock);

    if (!NT_SUCCESS(m_AddBlock())) {
        m_pBlockList->Status = STATUS_NO_MEMORY;
        m_DestroyBlockList();
        Log.m_Fail("no first block");
        return;
    }

    m_Status = STATUS_SUCCESS;
    Log.m_Success();
}

CTfMemoryTracker::~CTfMemoryTracker()
{
    CTfRoutineLog Log("CTfMemoryTracker::~CTfMemoryTracker");
    m_DestroyBlockList();
    m_Status = STATUS_UNSUCCESSFUL;
    Log.m_Success();
}

void CTfMemoryTracker::m_DestroyBlockList()
{
    CTfRoutineLog Log("CTfMemoryTracker::m_DestroyBlockList");

    if (m_pBlockList == NULL) {
        Log.m_Success();
        return;
    }
    // A list whose first block was never had has nothing recorded.
    if (m_pBlockList->pFirstBlock != NULL) {
        m_FreeAll();
        ExFreePool(m_pBlockList->pFirstBlock);
        m_pBlockList->pFirstBlock = NULL;
        m_pBlockList->pTailBlock = NULL;
    }
    ExFreePool(m_pBlockList);
    m_pBlockList = NULL;

    Log.m_Success();
}

PVOID CTfMemoryTracker::m_AllocateObject(SIZE_T cbSize, POOL_TYPE PoolType)
{
    CTfRoutineLog Log("CTfMemoryTracker::m_AllocateObject");

    if (m_pBlockList == NULL) {
        Log.m_Fail("tracker not usable");
        return NULL;
    }

    PVOID p = ExAllocatePoolWithTag(PoolType, cbSize, TF_TAG_TRACKED);
    if (p == NULL) {
        Log.m_Fail("pool exhausted");
        return NULL;
    }
    // A block the tracker cannot record would escape the free at the last release.
    if (!NT_SUCCESS(m_Record(p))) {
        ExFreePool(p);
        Log.m_Fail("cannot record");
        return NULL;
    }

    Log.m_Success();
    return p;
}

PVOID CTfMemoryTracker::m_AllocateBuffer(POOL_TYPE PoolType, SIZE_T cbLength)
{
    CTfRoutineLog Log("CTfMemoryTracker::m_AllocateBuffer");
    PVOID p = m_AllocateObject(cbLength, PoolType);
    if (p == NULL) {
        Log.m_Fail("no memory");
        return NULL;
    }
    Log.m_Success();
    return p;
}

void CTfMemoryTracker::m_FreeObject(PVOID p)
{
    CTfRoutineLog Log("CTfMemoryTracker::m_FreeObject");

    if (p == NULL) {
        Log.m_Success();
        return;
    }
    // A block that is not recorded (the record was full once) is still ours to free.
    if (m_pBlockList != NULL) {
        (void)m_Remove(p);
    }
    ExFreePool(p);

    Log.m_Success();
}

void CTfMemoryTracker::m_FreeBuffer(PVOID p)
{
    CTfRoutineLog Log("CTfMemoryTracker::m_FreeBuffer");
    m_FreeObject(p);
    Log.m_Success();
}

void CTfMemoryTracker::m_FreeAll()
{
    CTfRoutineLog Log("CTfMemoryTracker::m_FreeAll");

    if (m_pBlockList == NULL || m_pBlockList->pFirstBlock == NULL) {
        Log.m_Success();
        return;
    }

    // Runs without the lock: only at the last release, when no other driver code runs.
    for (PVOID* pBlock = m_pBlockList->pFirstBlock; pBlock != NULL; pBlock = (PVOID*)pBlock[0]) {
        for (ULONG ulSlot = 1; ulSlot <= TF_BLOCK_SLOTS; ulSlot++) {
            if (pBlock[ulSlot] != NULL) {
                ExFreePool(pBlock[ulSlot]);
                pBlock[ulSlot] = NULL;
            }
        }
    }
    m_Reset();

    Log.m_Success();
}

NTSTATUS CTfMemoryTracker::m_AddBlock()
{
    CTfRoutineLog Log("CTfMemoryTracker::m_AddBlock");

    PVOID* pBlock = (PVOID*)ExAllocatePoolWithTag(NonPagedPool, TF_BLOCK_WORDS * sizeof(PVOID), TF_TAG_BLOCK);
    if (pBlock == NULL) {
        m_pBlockList->ulFailureCount++;
        Log.m_Fail("no block");
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(pBlock, TF_BLOCK_WORDS * sizeof(PVOID));

    if (m_pBlockList->pTailBlock != NULL) {
        m_pBlockList->pTailBlock[0] = pBlock;
    } else {
        m_pBlockList->pFirstBlock = pBlock;
    }
    m_pBlockList->pTailBlock = pBlock;
    m_pBlockList->ulNextSlot = 1;

    Log.m_Success();
    return STATUS_SUCCESS;
}

NTSTATUS CTfMemoryTracker::m_Record(PVOID p)
{
    CTfRoutineLog Log("CTfMemoryTracker::m_Record");

    KIRQL OldIrql = KfAcquireSpinLock(&m_pBlockList->SpinLock);

    if (m_pBlockList->ulNextSlot > TF_BLOCK_SLOTS) {
        // The record stays as it is: everything in it is still freed at the last release.
        if (!NT_SUCCESS(m_AddBlock())) {
            KfReleaseSpinLock(&m_pBlockList->SpinLock, OldIrql);
            Log.m_Fail("no new block");
            return STATUS_NO_MEMORY;
        }
    }
    m_pBlockList->pTailBlock[m_pBlockList->ulNextSlot] = p;
    m_pBlockList->ulNextSlot++;

    KfReleaseSpinLock(&m_pBlockList->SpinLock, OldIrql);

    Log.m_Success();
    return STATUS_SUCCESS;
}

NTSTATUS CTfMemoryTracker::m_Remove(PVOID p)
{
    CTfRoutineLog Log("CTfMemoryTracker::m_Remove");

    KIRQL OldIrql = KfAcquireSpinLock(&m_pBlockList->SpinLock);

    for (PVOID* pBlock = m_pBlockList->pFirstBlock; pBlock != NULL; pBlock = (PVOID*)pBlock[0]) {
        BOOLEAN bTail = (pBlock == m_pBlockList->pTailBlock);
        ULONG ulEnd = bTail ? m_pBlockList->ulNextSlot : TF_BLOCK_SLOTS + 1;
        for (ULONG ulSlot = 1; ulSlot < ulEnd; ulSlot++) {
            if (pBlock[ulSlot] != p) {
                continue;
            }
            if (bTail && ulSlot == m_pBlockList->ulNextSlot - 1) {
                (void)m_RemoveLast();
            } else {
                // The last recorded pointer fills the hole, so the record stays packed.
                pBlock[ulSlot] = m_RemoveLast();
            }
            KfReleaseSpinLock(&m_pBlockList->SpinLock, OldIrql);
            Log.m_Success();
            return STATUS_SUCCESS;
        }
    }

    KfReleaseSpinLock(&m_pBlockList->SpinLock, OldIrql);
    Log.m_Fail("not recorded");
    return STATUS_INVALID_PARAMETER;
}

PVOID CTfMemoryTracker::m_RemoveLast()
{
    CTfRoutineLog Log("CTfMemoryTracker::m_RemoveLast");

    PVOID* pTail = m_pBlockList->pTailBlock;
    PVOID* pPrevious = NULL;
    for (PVOID* pBlock = m_pBlockList->pFirstBlock; pBlock != pTail; pBlock = (PVOID*)pBlock[0]) {
        pPrevious = pBlock;
    }

    if (m_pBlockList->ulNextSlot <= 1) {
        TF_ASSERT_AT();
        Log.m_Fail("record empty");
        return NULL;
    }

    PVOID p;
    if (m_pBlockList->ulNextSlot == 2) {
        p = pTail[1];
        if (pPrevious == NULL) {
            pTail[1] = NULL;
            m_pBlockList->ulNextSlot = 1;
        } else {
            // The emptied tail goes; its predecessor is full.
            pPrevious[0] = NULL;
            ExFreePool(pTail);
            m_pBlockList->pTailBlock = pPrevious;
            m_pBlockList->ulNextSlot = TF_BLOCK_SLOTS + 1;
        }
    } else {
        m_pBlockList->ulNextSlot--;
        p = pTail[m_pBlockList->ulNextSlot];
        pTail[m_pBlockList->ulNextSlot] = NULL;
    }

    Log.m_Success();
    return p;
}

void CTfMemoryTracker::m_Reset()
{
    CTfRoutineLog Log("CTfMemoryTracker::m_Reset");

    PVOID* pFirst = m_pBlockList->pFirstBlock;
    PVOID* pBlock = (PVOID*)pFirst[0];
    while (pBlock != NULL) {
        PVOID* pNext = (PVOID*)pBlock[0];
        ExFreePool(pBlock);
        pBlock = pNext;
    }
    RtlZeroMemory(pFirst, TF_BLOCK_WORDS * sizeof(PVOID));
    m_pBlockList->pTailBlock = pFirst;
    m_pBlockList->ulNextSlot = 1;

    Log.m_Success();
}

ULONG CTfMemoryTracker::m_GetFailureCount()
{
    return m_pBlockList != NULL ? m_pBlockList->ulFailureCount : 0;
}

ULONG CTfMemoryTracker::m_GetNextSlot()
{
    if (m_pBlockList == NULL) {
        return 0;
    }
    KIRQL OldIrql = KfAcquireSpinLock(&m_pBlockList->SpinLock);
    ULONG ulNextSlot = m_pBlockList->ulNextSlot;
    KfReleaseSpinLock(&m_pBlockList->SpinLock, OldIrql);
    return ulNextSlot;
}

ULONG CTfMemoryTracker::m_GetBlockCount()
{
    if (m_pBlockList == NULL) {
        return 0;
    }
    ULONG ulBlocks = 0;
    KIRQL OldIrql = KfAcquireSpinLock(&m_pBlockList->SpinLock);
    for (PVOID* pBlock = m_pBlockList->pFirstBlock; pBlock != NULL; pBlock = (PVOID*)pBlock[0]) {
        ulBlocks++;
    }
    KfReleaseSpinLock(&m_pBlockList->SpinLock, OldIrql);
    return ulBlocks;
}

ULONG CTfMemoryTracker::m_GetRecordCount()
{
    if (m_pBlockList == NULL) {
        return 0;
    }
    ULONG ulBlocks = 0;
    KIRQL OldIrql = KfAcquireSpinLock(&m_pBlockList->SpinLock);
    for (PVOID* pBlock = m_pBlockList->pFirstBlock; pBlock != NULL; pBlock = (PVOID*)pBlock[0]) {
        ulBlocks++;
    }
    ULONG ulCount = (ulBlocks - 1) * TF_BLOCK_SLOTS + m_pBlockList->ulNextSlot - 1;
    KfReleaseSpinLock(&m_pBlockList->SpinLock, OldIrql);
    return ulCount;
}

BOOLEAN CTfMemoryTracker::m_IsRecorded(PVOID p)
{
    if (m_pBlockList == NULL || p == NULL) {
        return FALSE;
    }
    BOOLEAN bFound = FALSE;
    KIRQL OldIrql = KfAcquireSpinLock(&m_pBlockList->SpinLock);
    for (PVOID* pBlock = m_pBlockList->pFirstBlock; pBlock != NULL && !bFound; pBlock = (PVOID*)pBlock[0]) {
        for (ULONG ulSlot = 1; ulSlot <= TF_BLOCK_SLOTS; ulSlot++) {
            if (pBlock[ulSlot] == p) {
                bFound = TRUE;
                break;
            }
        }
    }
    KfReleaseSpinLock(&m_pBlockList->SpinLock, OldIrql);
    return bFound;
}

PVOID CTfMemoryTracker::m_GetSlot(ULONG ulBlock, ULONG ulSlot)
{
    if (m_pBlockList == NULL || ulSlot < 1 || ulSlot > TF_BLOCK_SLOTS) {
        return NULL;
    }
    PVOID p = NULL;
    KIRQL OldIrql = KfAcquireSpinLock(&m_pBlockList->SpinLock);
    PVOID* pBlock = m_pBlockList->pFirstBlock;
    for (ULONG ul = 0; pBlock != NULL && ul < ulBlock; ul++) {
        pBlock = (PVOID*)pBlock[0];
    }
    if (pBlock != NULL) {
        p = pBlock[ulSlot];
    }
    KfReleaseSpinLock(&m_pBlockList->SpinLock, OldIrql);
    return p;
}

// ---------------------------------------------------------------------------------------------
// Library reference
// ---------------------------------------------------------------------------------------------

BOOLEAN TfLibraryAddReference(void)
{
    CTfRoutineLog Log("TfLibraryAddReference");

    PTF_LIBRARY_STATE pState = g_pTfLibraryState;
    if (InterlockedIncrement(&pState->lReferenceCount) == 1) {
        CTfMemoryTracker* pTracker = new (NonPagedPool) CTfMemoryTracker;
        if (pTracker != NULL && !NT_SUCCESS(pTracker->m_GetStatus())) {
            delete pTracker;
            pTracker = NULL;
        }
        pState->pTracker = pTracker;
    }
    // The count stays taken even when the build failed (the caller releases it); a later
    // reference must not report a library without a tracker as usable.
    if (pState->pTracker == NULL) {
        Log.m_Fail("no memory tracker");
        return FALSE;
    }

    Log.m_Success();
    return TRUE;
}

void TfLibraryRelease(void)
{
    CTfRoutineLog Log("TfLibraryRelease");

    PTF_LIBRARY_STATE pState = g_pTfLibraryState;
    LONG lOld;
    LONG lNew;
    do {
        lOld = TfInterlockedRead(&pState->lReferenceCount);
        lNew = (lOld > 0) ? lOld - 1 : 0;
    } while (InterlockedCompareExchange(&pState->lReferenceCount, lNew, lOld) != lOld);

    if (lOld <= 0) {
        // A release without a reference: nothing of ours to free.
        TF_ASSERT_AT();
        Log.m_Fail("not referenced");
        return;
    }
    if (lNew == 0 && pState->pTracker != NULL) {
        pState->pTracker->m_FreeAll();
        TfLibraryDelete();
    }

    Log.m_Success();
}

void TfLibraryDelete(void)
{
    CTfRoutineLog Log("TfLibraryDelete");

    PTF_LIBRARY_STATE pState = g_pTfLibraryState;
    CTfMemoryTracker* pTracker = pState->pTracker;
    pState->pTracker = NULL;
    if (pTracker != NULL) {
        delete pTracker;
    }

    Log.m_Success();
}

CTfMemoryTracker* TfGetMemoryTracker(void)
{
    return g_pTfLibraryState->pTracker;
}

PTF_LIBRARY_STATE TfSwapLibraryState(PTF_LIBRARY_STATE pState)
{
    PTF_LIBRARY_STATE pOld = g_pTfLibraryState;
    g_pTfLibraryState = (pState != NULL) ? pState : &g_TfImageLibraryState;
    return pOld;
}

// ---------------------------------------------------------------------------------------------
// Raw tracked buffers
// ---------------------------------------------------------------------------------------------

PVOID AllocateTrackedPool(POOL_TYPE PoolType, SIZE_T cbLength)
{
    CTfMemoryTracker* pTracker = TfGetMemoryTracker();
    if (pTracker == NULL) {
        TfDebugLog(TF_LOG_FLOW, "AllocateTrackedPool - OUT - Fail-> library not referenced");
        return NULL;
    }
    return pTracker->m_AllocateBuffer(PoolType, cbLength);
}

void FreeTrackedPool(PVOID p)
{
    TfFreeWithTracker(p, NULL);
}

void TfFreeWithTracker(PVOID p, CTfMemoryTracker* pTracker)
{
    if (p == NULL) {
        return;
    }
    if (pTracker == NULL) {
        pTracker = TfGetMemoryTracker();
    }
    if (pTracker != NULL) {
        pTracker->m_FreeBuffer(p);
    } else {
        ExFreePool(p);
    }
}

// ---------------------------------------------------------------------------------------------
// Allocation operators of the root classes
// ---------------------------------------------------------------------------------------------

void* CTfObjectBase::operator new(size_t cbSize, POOL_TYPE PoolType) noexcept
{
    CTfMemoryTracker* pTracker = TfGetMemoryTracker();
    if (pTracker == NULL) {
        TfDebugLog(TF_LOG_FLOW, "CTfObjectBase::operator new - OUT - Fail-> library not referenced");
        return NULL;
    }
    return pTracker->m_AllocateObject(cbSize, PoolType);
}

void* CTfObjectBase::operator new[](size_t cbSize, POOL_TYPE PoolType) noexcept
{
    return CTfObjectBase::operator new(cbSize, PoolType);
}

void CTfObjectBase::operator delete(void* p)
{
    if (p == NULL) {
        return;
    }
    CTfMemoryTracker* pTracker = TfGetMemoryTracker();
    if (pTracker != NULL) {
        pTracker->m_FreeObject(p);
    } else {
        ExFreePool(p);
    }
}

void CTfObjectBase::operator delete[](void* p)
{
    CTfObjectBase::operator delete(p);
}

void CTfObjectBase::operator delete(void* p, POOL_TYPE PoolType)
{
    CTfObjectBase::operator delete(p);
}

void CTfObjectBase::operator delete[](void* p, POOL_TYPE PoolType)
{
    CTfObjectBase::operator delete(p);
}
