// Nonpaged byte buffer.
#include "tfbuffer.h"

#include "tfdebug.h"

CTfBuffer::CTfBuffer(CTfMemoryTracker* pTracker)
    : m_pData(NULL), m_pFirstAllocation(NULL), m_ulLength(0)
{
    TfDebugLog(7, "CTfBuffer::CTfBuffer - IN");
    // Constructed right after new, in the image that allocated the object.
    m_pObjectTracker = TfGetMemoryTracker();
    m_pTracker = (pTracker != NULL) ? pTracker : m_pObjectTracker;
    TfDebugLog(7, "CTfBuffer::CTfBuffer - OUT (Success)");
}

CTfBuffer::CTfBuffer(PVOID pData, ULONG ulLength, CTfMemoryTracker* pTracker)
    : m_pData(pData), m_pFirstAllocation(NULL), m_ulLength(pData != NULL ? ulLength : 0)
{
    TfDebugLog(7, "CTfBuffer::CTfBuffer - IN");
    m_pObjectTracker = TfGetMemoryTracker();
    m_pTracker = (pTracker != NULL) ? pTracker : m_pObjectTracker;
    TfDebugLog(7, "CTfBuffer::CTfBuffer - OUT (Success)");
}

CTfBuffer::~CTfBuffer()
{
    TfDebugLog(7, "CTfBuffer::~CTfBuffer - IN");
    m_Free();
    TfDebugLog(7, "CTfBuffer::~CTfBuffer - OUT (Success)");
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
    TfDebugLog(7, "CTfBuffer::m_Allocate - IN");
    if (m_pData != NULL || ulLength == 0) {
        TfDebugLog(7, "CTfBuffer::m_Allocate - OUT - Fail-> not empty or no length");
        return FALSE;
    }
    PVOID pNew = m_AllocateStorage(ulLength);
    if (pNew == NULL) {
        TfDebugLog(7, "CTfBuffer::m_Allocate - OUT - Fail-> no memory");
        return FALSE;
    }
    m_pData = pNew;
    m_pFirstAllocation = NULL;
    m_ulLength = ulLength;
    TfDebugLog(7, "CTfBuffer::m_Allocate - OUT (Success)");
    return TRUE;
}

void CTfBuffer::m_Free()
{
    TfDebugLog(7, "CTfBuffer::m_Free - IN");
    m_ReplaceStorage(NULL, 0);
    TfDebugLog(7, "CTfBuffer::m_Free - OUT (Success)");
}

BOOLEAN CTfBuffer::m_Assign(const void* pData, ULONG ulLength)
{
    TfDebugLog(7, "CTfBuffer::m_Assign - IN");
    if (pData == NULL || ulLength == 0) {
        TfDebugLog(7, "CTfBuffer::m_Assign - OUT - Fail-> no data");
        return FALSE;
    }
    // Copy before freeing: the source may lie in the old storage, and a failed allocation must
    // leave the old content.
    PVOID pNew = m_AllocateStorage(ulLength);
    if (pNew == NULL) {
        TfDebugLog(7, "CTfBuffer::m_Assign - OUT - Fail-> no memory");
        return FALSE;
    }
    RtlCopyMemory(pNew, pData, ulLength);
    m_ReplaceStorage(pNew, ulLength);
    TfDebugLog(7, "CTfBuffer::m_Assign - OUT (Success)");
    return TRUE;
}

BOOLEAN CTfBuffer::m_Append(const void* pData, ULONG ulLength)
{
    TfDebugLog(7, "CTfBuffer::m_Append - IN");
    if (pData == NULL || ulLength == 0) {
        TfDebugLog(7, "CTfBuffer::m_Append - OUT - Fail-> no data");
        return FALSE;
    }
    if (m_pData == NULL) {
        BOOLEAN bAssigned = m_Assign(pData, ulLength);
        TfDebugLog(7, bAssigned ? "CTfBuffer::m_Append - OUT (Success)" : "CTfBuffer::m_Append - OUT - Fail-> no memory");
        return bAssigned;
    }
    ULONGLONG ullTotal = (ULONGLONG)m_ulLength + ulLength;
    if (ullTotal > MAXULONG) {
        TfDebugLog(7, "CTfBuffer::m_Append - OUT - Fail-> length overflow");
        return FALSE;
    }
    PUCHAR pNew = (PUCHAR)m_AllocateStorage((ULONG)ullTotal);
    if (pNew == NULL) {
        TfDebugLog(7, "CTfBuffer::m_Append - OUT - Fail-> no memory");
        return FALSE;
    }
    RtlCopyMemory(pNew, m_pData, m_ulLength);
    RtlCopyMemory(pNew + m_ulLength, pData, ulLength);
    m_ReplaceStorage(pNew, (ULONG)ullTotal);
    TfDebugLog(7, "CTfBuffer::m_Append - OUT (Success)");
    return TRUE;
}

BOOLEAN CTfBuffer::m_RemoveRange(ULONG ulOffset, ULONG ulCount)
{
    TfDebugLog(7, "CTfBuffer::m_RemoveRange - IN");
    if (ulOffset >= m_ulLength || ulCount == 0 || ulCount >= m_ulLength ||
        (ULONGLONG)ulOffset + ulCount > m_ulLength) {
        TfDebugLog(7, "CTfBuffer::m_RemoveRange - OUT - Fail-> range outside the buffer");
        return FALSE;
    }
    ULONG ulNewLength = m_ulLength - ulCount;
    PUCHAR pNew = (PUCHAR)m_AllocateStorage(ulNewLength);
    if (pNew == NULL) {
        TfDebugLog(7, "CTfBuffer::m_RemoveRange - OUT - Fail-> no memory");
        return FALSE;
    }
    PUCHAR pOld = (PUCHAR)m_pData;
    RtlCopyMemory(pNew, pOld, ulOffset);
    RtlCopyMemory(pNew + ulOffset, pOld + ulOffset + ulCount, m_ulLength - ulOffset - ulCount);
    m_ReplaceStorage(pNew, ulNewLength);
    TfDebugLog(7, "CTfBuffer::m_RemoveRange - OUT (Success)");
    return TRUE;
}

BOOLEAN CTfBuffer::m_KeepHead(ULONG ulLength, BOOLEAN bWithoutCopy)
{
    TfDebugLog(7, "CTfBuffer::m_KeepHead - IN");
    if (ulLength == 0 || ulLength >= m_ulLength) {
        TfDebugLog(7, "CTfBuffer::m_KeepHead - OUT - Fail-> length out of range");
        return FALSE;
    }
    if (bWithoutCopy) {
        m_ulLength = ulLength;
        TfDebugLog(7, "CTfBuffer::m_KeepHead - OUT (Success)");
        return TRUE;
    }
    PVOID pNew = m_AllocateStorage(ulLength);
    if (pNew == NULL) {
        TfDebugLog(7, "CTfBuffer::m_KeepHead - OUT - Fail-> no memory");
        return FALSE;
    }
    RtlCopyMemory(pNew, m_pData, ulLength);
    m_ReplaceStorage(pNew, ulLength);
    TfDebugLog(7, "CTfBuffer::m_KeepHead - OUT (Success)");
    return TRUE;
}

BOOLEAN CTfBuffer::m_KeepTail(ULONG ulLength, BOOLEAN bWithoutCopy)
{
    TfDebugLog(7, "CTfBuffer::m_KeepTail - IN");
    if (ulLength == 0 || ulLength >= m_ulLength) {
        TfDebugLog(7, "CTfBuffer::m_KeepTail - OUT - Fail-> length out of range");
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
        TfDebugLog(7, "CTfBuffer::m_KeepTail - OUT (Success)");
        return TRUE;
    }
    PVOID pNew = m_AllocateStorage(ulLength);
    if (pNew == NULL) {
        TfDebugLog(7, "CTfBuffer::m_KeepTail - OUT - Fail-> no memory");
        return FALSE;
    }
    RtlCopyMemory(pNew, pTail, ulLength);
    m_ReplaceStorage(pNew, ulLength);
    TfDebugLog(7, "CTfBuffer::m_KeepTail - OUT (Success)");
    return TRUE;
}

void CTfBuffer::m_Delete()
{
    TfDebugLog(7, "CTfBuffer::m_Delete - IN");
    // The object belongs to the image that created it, whichever image deletes it.
    CTfMemoryTracker* pObjectTracker = m_pObjectTracker;
    this->~CTfBuffer();
    if (pObjectTracker != NULL) {
        TfFreeWithTracker(this, pObjectTracker);
    } else {
        CTfObjectBase::operator delete(this);
    }
    TfDebugLog(7, "CTfBuffer::m_Delete - OUT (Success)");
}
