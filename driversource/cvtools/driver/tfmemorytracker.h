// Allocation tracker of a driver image and the library reference that owns it.
//
// Every kernel allocation of the framework is recorded by the image's tracker, so that a block can
// be freed by pointer alone and whatever is still recorded is freed at the last library release.
// The record is a chain of pointer blocks packed towards the front; removal fills the hole with the
// last recorded pointer.
#pragma once

#include <wdm.h>

// Pool tags: four characters in memory order ("TfKi" has 'T' in the low byte).
#define TF_MAKE_POOL_TAG(a, b, c, d) \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) | ((ULONG)(UCHAR)(d) << 24))
#define TF_TAG_TRACKED TF_MAKE_POOL_TAG('T', 'f', 'K', 'i')   // every tracked allocation
#define TF_TAG_BLOCK TF_MAKE_POOL_TAG('T', 'f', 'K', 'P')     // the tracker's pointer blocks
#define TF_TAG_TRACKER TF_MAKE_POOL_TAG('T', 'f', 'K', 'O')   // the tracker and its block list
#define TF_TAG_COPY TF_MAKE_POOL_TAG('T', 'f', 'O', 'C')      // untracked string copies for callers

// A pointer block: word 0 links to the next block, words 1 .. 100 are slots.
#define TF_BLOCK_WORDS 101
#define TF_BLOCK_SLOTS 100

class CTfMemoryTracker;

// Block list of a tracker (nonpaged, "TfKO"). Guarded by its spin lock, except while the tracker is
// built and when everything is freed at the last release.
typedef struct _TF_BLOCK_LIST {
    NTSTATUS Status;
    ULONG ulFailureCount;  // new blocks that could not be had
    ULONG ulNextSlot;      // next free slot of the tail block, 1 .. 101 (101: the tail is full)
    PVOID* pFirstBlock;
    PVOID* pTailBlock;
    KSPIN_LOCK SpinLock;
} TF_BLOCK_LIST, *PTF_BLOCK_LIST;

class CTfMemoryTracker {
public:
    // The tracker and its block list come straight from nonpaged pool ("TfKO"); they are not
    // recorded in themselves.
    static void* operator new(size_t cbSize, POOL_TYPE PoolType) noexcept;
    static void operator delete(void* p);
    static void operator delete(void* p, POOL_TYPE PoolType);

    // Builds the block list and its first block; m_GetStatus() is 0 when the tracker is usable.
    CTfMemoryTracker();
    // Frees everything still recorded, the blocks and the block list.
    ~CTfMemoryTracker();

    NTSTATUS m_GetStatus() const { return m_Status; }

    // Allocate from pool with tag "TfKi" and record the block; null on failure.
    PVOID m_AllocateObject(SIZE_T cbSize, POOL_TYPE PoolType);
    PVOID m_AllocateBuffer(POOL_TYPE PoolType, SIZE_T cbLength);
    // Remove from the record (when recorded) and free to the pool; null does nothing.
    void m_FreeObject(PVOID p);
    void m_FreeBuffer(PVOID p);
    // Frees every recorded allocation and empties the record. Only when no other code uses the
    // tracker (it does not take the lock).
    void m_FreeAll();

    // Inspection of the record (diagnostics and tests).
    ULONG m_GetFailureCount();
    ULONG m_GetNextSlot();
    ULONG m_GetBlockCount();
    ULONG m_GetRecordCount();
    BOOLEAN m_IsRecorded(PVOID p);
    // The pointer in one slot (block 0 is the first block, slot 1 .. 100); null when out of range.
    PVOID m_GetSlot(ULONG ulBlock, ULONG ulSlot);

private:
    NTSTATUS m_Record(PVOID p);
    NTSTATUS m_Remove(PVOID p);
    PVOID m_RemoveLast();
    NTSTATUS m_AddBlock();
    void m_Reset();
    void m_DestroyBlockList();

    CTfMemoryTracker(const CTfMemoryTracker&) = delete;
    CTfMemoryTracker& operator=(const CTfMemoryTracker&) = delete;

    NTSTATUS m_Status;
    PTF_BLOCK_LIST m_pBlockList;
};

// Library state of one driver image: the reference count and the tracker, kept together.
typedef struct _TF_LIBRARY_STATE {
    volatile LONG lReferenceCount;
    CTfMemoryTracker* pTracker;
} TF_LIBRARY_STATE, *PTF_LIBRARY_STATE;

// Takes a library reference; the first builds the tracker. TRUE when the library is usable.
BOOLEAN TfLibraryAddReference(void);
// Drops a library reference; the last frees every recorded allocation and the tracker.
void TfLibraryRelease(void);
// Destroys and frees the tracker, if there is one.
void TfLibraryDelete(void);

// The image's tracker (null when the library is not referenced).
CTfMemoryTracker* TfGetMemoryTracker(void);
// Makes pState the image's library state and returns the previous one (a test acting as a second
// image). Null restores the image's own state.
PTF_LIBRARY_STATE TfSwapLibraryState(PTF_LIBRARY_STATE pState);

// Raw tracked buffers ("TfKi"). Null when the pool is exhausted or the library is not referenced.
PVOID AllocateTrackedPool(POOL_TYPE PoolType, SIZE_T cbLength);
// Frees a tracked buffer; with no tracker, straight to the pool. Null does nothing.
void FreeTrackedPool(PVOID p);
// Frees through the given tracker; null means the image's tracker.
void TfFreeWithTracker(PVOID p, CTfMemoryTracker* pTracker);
