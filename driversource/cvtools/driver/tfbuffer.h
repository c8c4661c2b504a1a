// Nonpaged byte buffer. Buffer objects cross from one driver image to the other, so each one
// remembers the tracker its data came from and the tracker of the image that created the object,
// and frees through those whichever image deletes it.
#pragma once

#include <wdm.h>

#include "tfmemorytracker.h"
#include "tfobject.h"

class CTfBuffer : public CTfObjectBase {
public:
    // Empty buffer. pTracker: the tracker to allocate from, null for the image's tracker.
    explicit CTfBuffer(CTfMemoryTracker* pTracker = NULL);
    // Takes over pData (ulLength bytes), which must come from pTracker (or from the image's
    // tracker when pTracker is null).
    CTfBuffer(PVOID pData, ULONG ulLength, CTfMemoryTracker* pTracker = NULL);
    // Frees the data.
    virtual ~CTfBuffer();

    // Allocates ulLength bytes (not initialised) when the buffer is empty; FALSE otherwise, for 0
    // bytes, or when the pool is exhausted.
    BOOLEAN m_Allocate(ULONG ulLength);
    // Frees the data and leaves the buffer empty.
    void m_Free();

    ULONG m_GetLength() const { return m_ulLength; }
    PVOID m_GetData() const { return m_pData; }
    PUCHAR m_GetBytes() const { return (PUCHAR)m_pData; }
    BOOLEAN m_IsEmpty() const { return m_pData == NULL; }
    CTfMemoryTracker* m_GetTracker() const { return m_pTracker; }

    // The reallocating operations below return FALSE and leave the buffer unchanged on bad
    // arguments or when the new storage cannot be had. pData may point into the buffer itself.

    // Replaces the content with a copy of pData.
    BOOLEAN m_Assign(const void* pData, ULONG ulLength);
    // Appends a copy of pData (an empty buffer is assigned).
    BOOLEAN m_Append(const void* pData, ULONG ulLength);
    // Removes ulCount bytes at ulOffset; removing everything is refused.
    BOOLEAN m_RemoveRange(ULONG ulOffset, ULONG ulCount);
    // Keeps the first ulLength bytes (0 < ulLength < length). Without copy only the length shrinks.
    BOOLEAN m_KeepHead(ULONG ulLength, BOOLEAN bWithoutCopy);
    // Keeps the last ulLength bytes (0 < ulLength < length). Without copy the data pointer moves
    // forward and the original allocation is kept for freeing.
    BOOLEAN m_KeepTail(ULONG ulLength, BOOLEAN bWithoutCopy);

    // Destroys a buffer object made with new and frees the object through the tracker of the image
    // that created it.
    void m_Delete();

private:
    CTfBuffer(const CTfBuffer&) = delete;
    CTfBuffer& operator=(const CTfBuffer&) = delete;

    PVOID m_AllocateStorage(ULONG ulLength);
    // Frees the current storage (the first allocation when the pointer was moved forward) and
    // makes pNew of ulLength bytes the content.
    void m_ReplaceStorage(PVOID pNew, ULONG ulLength);

    PVOID m_pData;
    PVOID m_pFirstAllocation;  // set only while m_pData was moved forward by m_KeepTail
    ULONG m_ulLength;
    CTfMemoryTracker* m_pTracker;        // the data's tracker
    CTfMemoryTracker* m_pObjectTracker;  // tracker of the image that created the object
};
