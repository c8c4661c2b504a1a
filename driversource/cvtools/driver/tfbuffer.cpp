// Nonpaged byte buffer.
#include "tfbuffer.h"

#include "tfdebug.h"

CTfBuffer::CTfBuffer(CTfMemoryTracker* pTracker)
    : m_pData(NULL), m_pFirstAllocation(NULL), m_ulLength(0)
{
    CTfRoutineLog Log("CTfBuffer::CTfBuffer");
    // Constructed right after new, in the image that allocated the object.
    m_pObjectTracker = TfGetMemoryTracker();
    m_pTracker = (pTracker != NULL) ? pTracker : m_pObjectTracker;
    Log.m_Success();
}

CTfBuffer::CTfBuffer(PVOID pData, ULONG ulLength, CTfMemoryTracker* pTracker)
    : m_pData(pData), m_pFirstAllocation(NULL), m_ulLength(pData != NULL ? ulLength : 0)
{
    CTfRoutineLog Log("CTfBuffer::CTfBuffer");
    m_pObjectTracker = TfGetMemoryTracker();
    m_pTracker = (pTracker != NULL) ? pTracker : m_pObjectTracker;
    Log.m_Success();
}

CTfBuffer::~CTfBuffer()
{
    CTfRoutineLog Log("CTfBuffer::~CTfBuffer");
    m_Free();
    Log.m_Success();
}

PVOID CTfBuffer::m_AllocateStorage(ULONG ulLength)
{
    if (m_pTracker != NULL) {
        return m_pTracker->m_AllocateBuffer(NonPagedPool, ulLength);
    }
    // No library reference when the buffer was made; the image may have one by now.
    return AllocateTrackedPool(NonPagedPool, ulLength);
}

void CTfBuffer::m_ReplaceStorage(PVOID pNew, ULONG ulLength)
{
    PVOID pOld = (m_pFirstAllocation != NULL) ? m_pFirstAllocation : m_pData;
    if (pOld != NULL) {
        TfFreeWithTracker(pOld, m_pTracker);
    }
    m_pData = pNew;
    m_pFirstAllocation = NULL;
    m_ulLength = (pNew != NULL) ? ulLength : 0;
}

BOOLEAN CTfBuffer::m_Allocate(ULONG ulLength)
{
    CTfRoutineLog Log("CTfBuffer::m_Allocate");
    if (m_pData != NULL || ulLength == 0) {
        Log.m_Fail("not empty or no length");
        return FALSE;
    }
    PVOID pNew = m_AllocateStorage(ulLength);
    if (pNew == NULL) {
        Log.m_Fail("no memory");
        return FALSE;
    }
    m_pData = pNew;
    m_pFirstAllocation = NULL;
    m_ulLength = ulLength;
    Log.m_Success();
    return TRUE;
}

void CTfBuffer::m_Free()
{
    CTfRoutineLog Log("CTfBuffer::m_Free");
    m_ReplaceStorage(NULL, 0);
    Log.m_Success();
}

BOOLEAN CTfBuffer::m_Assign(const void* pData, ULONG ulLength)
{
    CTfRoutineLog Log("CTfBuffer::m_Assign");
    if (pData == NULL || ulLength == 0) {
        Log.m_Fail("no data");
        return FALSE;
    }
    // Copy before freeing: the source may lie in the old storage, and a failed allocation must
    // leave the old content.
    PVOID pNew = m_AllocateStorage(ulLength);
    if (pNew == NULL) {
        Log.m_Fail("no memory");
        return FALSE;
    }
    RtlCopyMemory(pNew, pData, ulLength);
    m_ReplaceStorage(pNew, ulLength);
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfBuffer::m_Append(const void* pData, ULONG ulLength)
{
    CTfRoutineLog Log("CTfBuffer::m_Append");
    if (pData == NULL || ulLength == 0) {
        Log.m_Fail("no data");
        return FALSE;
    }
    if (m_pData == NULL) {
        BOOLEAN bAssigned = m_Assign(pData, ulLength);
        if (bAssigned) {
            Log.m_Success();
        } else {
            Log.m_Fail("no memory");
        }
        return bAssigned;
    }
    ULONGLONG ullTotal = (ULONGLONG)m_ulLength + ulLength;
    if (ullTotal > MAXULONG) {
        Log.m_Fail("length overflow");
        return FALSE;
    }
    PUCHAR pNew = (PUCHAR)m_AllocateStorage((ULONG)ullTotal);
    if (pNew == NULL) {
        Log.m_Fail("no memory");
        return FALSE;
    }
    RtlCopyMemory(pNew, m_pData, m_ulLength);
    RtlCopyMemory(pNew + m_ulLength, pData, ulLength);
    m_ReplaceStorage(pNew, (ULONG)ullTotal);
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfBuffer::m_RemoveRange(ULONG ulOffset, ULONG ulCount)
{
    CTfRoutineLog Log("CTfBuffer::m_RemoveRange");
    if (ulOffset >= m_ulLength || ulCount == 0 || ulCount >= m_ulLength ||
        (ULONGLONG)ulOffset + ulCount > m_ulLength) {
        Log.m_Fail("range outside the buffer");
        return FALSE;
    }
    ULONG ulNewLength = m_ulLength - ulCount;
    PUCHAR pNew = (PUCHAR)m_AllocateStorage(ulNewLength);
    if (pNew == NULL) {
        Log.m_Fail("no memory");
        return FALSE;
    }
    PUCHAR pOld = (PUCHAR)m_pData;
    RtlCopyMemory(pNew, pOld, ulOffset);
    RtlCopyMemory(pNew + ulOffset, pOld + ulOffset + ulCount, m_ulLength - ulOffset - ulCount);
    m_ReplaceStorage(pNew, ulNewLength);
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfBuffer::m_KeepHead(ULONG ulLength, BOOLEAN bWithoutCopy)
{
    CTfRoutineLog Log("CTfBuffer::m_KeepHead");
    if (ulLength == 0 || ulLength >= m_ulLength) {
        Log.m_Fail("length out of range");
        return FALSE;
    }
    if (bWithoutCopy) {
        m_ulLength = ulLength;
        Log.m_Success();
        return TRUE;
    }
    PVOID pNew = m_AllocateStorage(ulLength);
    if (pNew == NULL) {
        Log.m_Fail("no memory");
        return FALSE;
    }
    RtlCopyMemory(pNew, m_pData, ulLength);
    m_ReplaceStorage(pNew, ulLength);
    Log.m_Success();
    return TRUE;
}

BOOLEAN CTfBuffer::m_KeepTail(ULONG ulLength, BOOLEAN bWithoutCopy)
{
    CTfRoutineLog Log("CTfBuffer::m_KeepTail");
    if (ulLength == 0 || ulLength >= m_ulLength) {
        Log.m_Fail("length out of range");
        return FALSE;
    }
    PUCHAR pTail = (PUCHAR)m_pData + (m_ulLength - ulLength);
    if (bWithoutCopy) {
        // The block is freed by its start, which a second move must not forget.
        if (m_pFirstAllocation == NULL) {
            m_pFirstAllocation = m_pData;
        }
        m_pData = pTail;
        m_ulLength = ulLength;
        Log.m_Success();
        return TRUE;
    }
    PVOID pNew = m_AllocateStorage(ulLength);
    if (pNew == NULL) {
        Log.m_Fail("no memory");
        return FALSE;
    }
    RtlCopyMemory(pNew, pTail, ulLength);
    m_ReplaceStorage(pNew, ulLength);
    Log.m_Success();
    return TRUE;
}

void CTfBuffer::m_Delete()
{
    CTfRoutineLog Log("CTfBuffer::m_Delete");
    // The object belongs to the image that created it, whichever image deletes it.
    CTfMemoryTracker* pObjectTracker = m_pObjectTracker;
    this->~CTfBuffer();
    if (pObjectTracker != NULL) {
        TfFreeWithTracker(this, pObjectTracker);
    } else {
        CTfObjectBase::operator delete(this);
    }
    Log.m_Success();
}
