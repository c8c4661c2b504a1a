// Tests of the kernel object wrappers: event, spin lock, reference gate, object holder, byte buffer
// and pointer list.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "ke/clock.h"
#include "ex/pool.h"
#include "machine_test.h"
#include "tfbuffer.h"
#include "tfevent.h"
#include "tfmemorytracker.h"
#include "tfobjectholder.h"
#include "tfpointerlist.h"
#include "tfreferencegate.h"
#include "tfspinlock.h"

namespace {

using emu::Violation;
using emu::testing::ScopedIrql;

// Each test runs as one driver image holding a library reference; nothing tracked may outlive it.
class TfWrapperTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(TfLibraryAddReference());
    }
    void TearDown() override
    {
        TfLibraryRelease();
        EXPECT_EQ(0u, machine().GetPool().LiveCount(TF_TAG_TRACKED));
        MachineTest::TearDown();
    }
    size_t LiveTracked() { return machine().GetPool().LiveCount(TF_TAG_TRACKED); }
    void FailNextTrackedAllocation() { machine().GetPool().FailNextWithTag(TF_TAG_TRACKED); }
};

// A framework object that reports its destruction.
class CProbeObject : public CTfObject {
public:
    explicit CProbeObject(std::atomic<int>* pDestroyed) : m_pDestroyed(pDestroyed) {}
    ~CProbeObject() override { ++*m_pDestroyed; }

private:
    std::atomic<int>* m_pDestroyed;
};

// ---------------------------------------------------------------------------------------------
// CTfEvent
// ---------------------------------------------------------------------------------------------

using TfEventTest = TfWrapperTest;

TEST_F(TfEventTest, WaitSucceedsOnlyWhenSignalledAndTimesOutOtherwise)
{
    machine().GetClock().SetScale(1e6);  // the time-outs below pass in microseconds
    CTfEvent Event;
    EXPECT_EQ(0, Event.m_ReadState());
    EXPECT_FALSE(Event.m_Wait(-10000000));  // 1 s, relative
    EXPECT_FALSE(Event.m_Wait(10000000));   // positive is relative too, not an absolute past time

    Event.m_Set();
    EXPECT_TRUE(Event.m_Wait(0));
    EXPECT_TRUE(Event.m_Wait(-1));  // notification: stays set
    Event.m_Clear();
    EXPECT_FALSE(Event.m_Wait(-1));
}

// ---------------------------------------------------------------------------------------------
// CTfSpinLock
// ---------------------------------------------------------------------------------------------

using TfSpinLockTest = TfWrapperTest;

TEST_F(TfSpinLockTest, AcquireRaisesToDispatchAndReleaseRestoresTheCallersIrql)
{
    CTfSpinLock Lock;
    Lock.m_Acquire();
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    EXPECT_TRUE(Lock.m_IsHeld());
    Lock.m_Release();
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    EXPECT_FALSE(Lock.m_IsHeld());

    {
        ScopedIrql Dpc(DISPATCH_LEVEL);
        Lock.m_Acquire();
        Lock.m_Release();
        EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
        Lock.m_AcquireAtDpcLevel();
        EXPECT_TRUE(Lock.m_IsHeld());
        Lock.m_ReleaseFromDpcLevel();
        EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    }
    EXPECT_EQ(0u, verifier().Count(Violation::DbgBreakPoint));
}

TEST_F(TfSpinLockTest, ReleaseOfALockNotHeldBreaksOnceAndLeavesIrqlAndLockAlone)
{
    CTfSpinLock Lock;
    {
        ScopedIrql Dpc(DISPATCH_LEVEL);
        Lock.m_Release();
        EXPECT_EQ(1u, Take(Violation::DbgBreakPoint));
        // A caller inside a DPC must not be dropped to PASSIVE_LEVEL.
        EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
        Lock.m_ReleaseFromDpcLevel();
        EXPECT_EQ(1u, Take(Violation::DbgBreakPoint));
        EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    }
    // The lock still works normally.
    Lock.m_Acquire();
    Lock.m_Release();
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

TEST_F(TfSpinLockTest, DpcFormBelowDispatchBreaksOnceButStillExcludesAndRestoresIrql)
{
    CTfSpinLock Lock;
    Lock.m_AcquireAtDpcLevel();
    EXPECT_EQ(1u, Take(Violation::DbgBreakPoint));
    EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
    EXPECT_TRUE(Lock.m_IsHeld());
    Lock.m_ReleaseFromDpcLevel();
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    EXPECT_FALSE(Lock.m_IsHeld());
    EXPECT_EQ(0u, verifier().Count(Violation::DbgBreakPoint));
}

TEST_F(TfSpinLockTest, DpcFormReleaseOfANormallyAcquiredLockBreaksOnceAndFreesTheLock)
{
    CTfSpinLock Lock;
    Lock.m_Acquire();
    Lock.m_ReleaseFromDpcLevel();
    EXPECT_EQ(1u, Take(Violation::DbgBreakPoint));
    EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    EXPECT_FALSE(Lock.m_IsHeld());
    Lock.m_Acquire();
    Lock.m_Release();
}

// ---------------------------------------------------------------------------------------------
// CTfReferenceGate
// ---------------------------------------------------------------------------------------------

using TfReferenceGateTest = TfWrapperTest;

TEST_F(TfReferenceGateTest, MaximumOneAdmitsOneHolderUntilItReleases)
{
    CTfReferenceGate Gate(1);
    EXPECT_NE(0, Gate.m_ReadEventState());
    EXPECT_TRUE(Gate.m_Acquire());
    EXPECT_EQ(0, Gate.m_ReadEventState());  // cleared when the count leaves 0
    EXPECT_FALSE(Gate.m_Acquire());
    EXPECT_EQ(1, Gate.m_GetCount());
    Gate.m_Release();
    EXPECT_NE(0, Gate.m_ReadEventState());
    EXPECT_TRUE(Gate.m_Acquire());
    Gate.m_Release();
}

TEST_F(TfReferenceGateTest, ReleaseWithoutHolderBreaksAndKeepsTheCount)
{
    CTfReferenceGate Gate;
    Gate.m_Release();
    EXPECT_EQ(1u, Take(Violation::DbgBreakPoint));
    EXPECT_EQ(0, Gate.m_GetCount());
    // The next holder is still seen by a closing owner.
    EXPECT_TRUE(Gate.m_Acquire());
    EXPECT_EQ(0, Gate.m_ReadEventState());
    {
        ScopedIrql Dpc(DISPATCH_LEVEL);
        EXPECT_EQ(STATUS_TIMEOUT, Gate.m_CloseAndWait(FALSE));
    }
    Gate.m_Release();
}

TEST_F(TfReferenceGateTest, CloseAndWaitWithoutHoldersSucceedsAtOnceAndLeavesTheEventSignalled)
{
    CTfReferenceGate Gate;
    EXPECT_EQ(STATUS_SUCCESS, Gate.m_CloseAndWait(FALSE));
    EXPECT_NE(0, Gate.m_ReadEventState());
    EXPECT_FALSE(Gate.m_IsOpen());

    CTfReferenceGate KeptOpen;
    EXPECT_EQ(STATUS_SUCCESS, KeptOpen.m_CloseAndWait(TRUE));
    EXPECT_TRUE(KeptOpen.m_IsOpen());
}

TEST_F(TfReferenceGateTest, CloseAndWaitAtDispatchPollsInsteadOfBlocking)
{
    CTfReferenceGate Gate;
    ASSERT_TRUE(Gate.m_Acquire());
    {
        ScopedIrql Dpc(DISPATCH_LEVEL);
        EXPECT_EQ(STATUS_TIMEOUT, Gate.m_CloseAndWait(FALSE));
    }
    EXPECT_FALSE(Gate.m_Acquire());  // closed all the same
    Gate.m_Release();
    EXPECT_EQ(STATUS_SUCCESS, Gate.m_CloseAndWait(FALSE));
}

TEST_F(TfReferenceGateTest, CloseAndWaitAtPassiveBlocksUntilTheLastHolderReleases)
{
    CTfReferenceGate Gate;
    ASSERT_TRUE(Gate.m_Acquire());
    ASSERT_TRUE(Gate.m_Acquire());
    std::atomic<bool> bLastReleased{false};
    std::atomic<NTSTATUS> WaitStatus{STATUS_PENDING};
    std::atomic<bool> bReleasedWhenWoken{false};
    std::thread Closer([&] {
        WaitStatus = Gate.m_CloseAndWait(FALSE);
        bReleasedWhenWoken = bLastReleased.load();
    });
    Gate.m_Release();
    bLastReleased = true;
    Gate.m_Release();
    Closer.join();
    EXPECT_EQ(STATUS_SUCCESS, WaitStatus.load());
    EXPECT_TRUE(bReleasedWhenWoken);
    EXPECT_EQ(0, Gate.m_GetCount());
}

// ---------------------------------------------------------------------------------------------
// CTfObjectHolder
// ---------------------------------------------------------------------------------------------

using TfObjectHolderTest = TfWrapperTest;

TEST_F(TfObjectHolderTest, AcquireFailsAfterSetObjectUntilTheOwnerOpensTheGate)
{
    std::atomic<int> Destroyed{0};
    CTfObjectHolder Holder;
    CProbeObject* pObject = new (NonPagedPool) CProbeObject(&Destroyed);
    ASSERT_NE(nullptr, pObject);
    ASSERT_TRUE(Holder.m_SetObject(pObject));
    EXPECT_EQ(nullptr, Holder.m_Acquire());

    Holder.m_GetGate()->m_SetOpen(TRUE);
    EXPECT_EQ(pObject, Holder.m_Acquire());
    EXPECT_EQ(1, Holder.m_GetGate()->m_GetCount());
    Holder.m_Release();

    Holder.m_WaitForRelease();
    EXPECT_EQ(1, Destroyed.load());
    EXPECT_EQ(nullptr, Holder.m_PeekObject());
    EXPECT_EQ(0, Holder.m_GetGate()->m_ReadEventState());
}

TEST_F(TfObjectHolderTest, AcquireOfAnEmptyOpenHolderLeavesNoReference)
{
    CTfObjectHolder Holder;
    EXPECT_EQ(nullptr, Holder.m_Acquire());
    EXPECT_EQ(0, Holder.m_GetGate()->m_GetCount());
}

TEST_F(TfObjectHolderTest, DetachAtDispatchWithAHolderKeepsTheObject)
{
    std::atomic<int> Destroyed{0};
    CTfObjectHolder Holder;
    CProbeObject* pObject = new (NonPagedPool) CProbeObject(&Destroyed);
    ASSERT_TRUE(Holder.m_SetObject(pObject));
    Holder.m_GetGate()->m_SetOpen(TRUE);
    ASSERT_EQ(pObject, Holder.m_Acquire());

    {
        ScopedIrql Dpc(DISPATCH_LEVEL);
        EXPECT_EQ(nullptr, Holder.m_Detach(TRUE));
        EXPECT_EQ(nullptr, Holder.m_Detach(FALSE));
    }
    EXPECT_EQ(2u, Take(Violation::AssertReport));
    EXPECT_EQ(0, Destroyed.load());
    EXPECT_EQ(pObject, Holder.m_PeekObject());

    Holder.m_Release();
    EXPECT_EQ(pObject, Holder.m_Detach(FALSE));
    EXPECT_EQ(nullptr, Holder.m_PeekObject());
    EXPECT_EQ(0, Destroyed.load());
    delete pObject;
}

TEST_F(TfObjectHolderTest, DetachAtPassiveWaitsForTheHolderBeforeDeleting)
{
    std::atomic<int> Destroyed{0};
    CTfObjectHolder Holder;
    CProbeObject* pObject = new (NonPagedPool) CProbeObject(&Destroyed);
    ASSERT_TRUE(Holder.m_SetObject(pObject));
    Holder.m_GetGate()->m_SetOpen(TRUE);
    ASSERT_EQ(pObject, Holder.m_Acquire());

    std::atomic<int> DestroyedWhileHeld{-1};
    std::thread User([&] {
        // Still usable until released; the owner is closing meanwhile.
        DestroyedWhileHeld = Destroyed.load();
        Holder.m_Release();
    });
    Holder.m_WaitForRelease();
    User.join();
    EXPECT_EQ(0, DestroyedWhileHeld.load());
    EXPECT_EQ(1, Destroyed.load());
    EXPECT_EQ(nullptr, Holder.m_Acquire());
}

TEST_F(TfObjectHolderTest, SetObjectWhileOneIsHeldIsRefused)
{
    std::atomic<int> Destroyed{0};
    CTfObjectHolder Holder;
    CProbeObject* pFirst = new (NonPagedPool) CProbeObject(&Destroyed);
    CProbeObject* pSecond = new (NonPagedPool) CProbeObject(&Destroyed);
    ASSERT_TRUE(Holder.m_SetObject(pFirst));
    EXPECT_FALSE(Holder.m_SetObject(pSecond));
    EXPECT_EQ(1u, Take(Violation::AssertReport));
    EXPECT_EQ(pFirst, Holder.m_PeekObject());
    delete pSecond;
    Holder.m_WaitForRelease();
    EXPECT_EQ(2, Destroyed.load());
}

// ---------------------------------------------------------------------------------------------
// CTfBuffer
// ---------------------------------------------------------------------------------------------

using TfBufferTest = TfWrapperTest;

static std::vector<UCHAR> Bytes(const CTfBuffer& Buffer)
{
    const UCHAR* p = Buffer.m_GetBytes();
    return p ? std::vector<UCHAR>(p, p + Buffer.m_GetLength()) : std::vector<UCHAR>();
}

static const UCHAR kDigits[] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};

TEST_F(TfBufferTest, KeepTailWithoutCopyTwiceThenAppendAndFreeLeaksNothing)
{
    size_t ulBaseline = LiveTracked();
    CTfBuffer Buffer;
    ASSERT_TRUE(Buffer.m_Assign(kDigits, sizeof(kDigits)));
    PVOID pFirst = Buffer.m_GetData();

    ASSERT_TRUE(Buffer.m_KeepTail(7, TRUE));
    ASSERT_TRUE(Buffer.m_KeepTail(4, TRUE));
    EXPECT_EQ((PUCHAR)pFirst + 6, Buffer.m_GetData());
    EXPECT_EQ((std::vector<UCHAR>{'6', '7', '8', '9'}), Bytes(Buffer));
    EXPECT_EQ(ulBaseline + 1, LiveTracked());

    // Freeing through the moved pointer would be a bad free; the original block must go.
    Buffer.m_Free();
    EXPECT_EQ(ulBaseline, LiveTracked());
    EXPECT_TRUE(Buffer.m_IsEmpty());
    EXPECT_EQ(0u, Buffer.m_GetLength());

    ASSERT_TRUE(Buffer.m_Assign(kDigits, sizeof(kDigits)));
    ASSERT_TRUE(Buffer.m_KeepTail(3, TRUE));
    const UCHAR Extra[] = {'x', 'y'};
    ASSERT_TRUE(Buffer.m_Append(Extra, sizeof(Extra)));
    EXPECT_EQ((std::vector<UCHAR>{'7', '8', '9', 'x', 'y'}), Bytes(Buffer));
    EXPECT_EQ(ulBaseline + 1, LiveTracked());

    // Keeping the head without copy only shortens the length; the block is freed by its start.
    PVOID pData = Buffer.m_GetData();
    ASSERT_TRUE(Buffer.m_KeepHead(2, TRUE));
    EXPECT_EQ(pData, Buffer.m_GetData());
    EXPECT_EQ((std::vector<UCHAR>{'7', '8'}), Bytes(Buffer));
    Buffer.m_Free();
    EXPECT_EQ(ulBaseline, LiveTracked());
}

TEST_F(TfBufferTest, RemoveRangeRefusesTheWholeBufferAndRangesOutside)
{
    CTfBuffer Buffer;
    ASSERT_TRUE(Buffer.m_Assign(kDigits, sizeof(kDigits)));
    EXPECT_FALSE(Buffer.m_RemoveRange(0, 10));
    EXPECT_FALSE(Buffer.m_RemoveRange(10, 1));
    EXPECT_FALSE(Buffer.m_RemoveRange(3, 0));
    EXPECT_FALSE(Buffer.m_RemoveRange(8, 3));
    EXPECT_FALSE(Buffer.m_RemoveRange(5, 0xFFFFFFFF));
    EXPECT_FALSE(Buffer.m_RemoveRange(0xFFFFFFFF, 2));
    EXPECT_EQ(10u, Buffer.m_GetLength());

    ASSERT_TRUE(Buffer.m_RemoveRange(2, 5));
    EXPECT_EQ((std::vector<UCHAR>{'0', '1', '7', '8', '9'}), Bytes(Buffer));
    ASSERT_TRUE(Buffer.m_RemoveRange(0, 4));
    EXPECT_EQ((std::vector<UCHAR>{'9'}), Bytes(Buffer));
}

TEST_F(TfBufferTest, AssignFromItsOwnStorageCopiesBeforeFreeing)
{
    CTfBuffer Buffer;
    ASSERT_TRUE(Buffer.m_Assign(kDigits, sizeof(kDigits)));
    ASSERT_TRUE(Buffer.m_Assign(Buffer.m_GetBytes() + 4, 3));
    EXPECT_EQ((std::vector<UCHAR>{'4', '5', '6'}), Bytes(Buffer));
    ASSERT_TRUE(Buffer.m_Append(Buffer.m_GetBytes(), 2));
    EXPECT_EQ((std::vector<UCHAR>{'4', '5', '6', '4', '5'}), Bytes(Buffer));
}

TEST_F(TfBufferTest, FailedReallocationLeavesTheBufferUnchanged)
{
    CTfBuffer Buffer;
    ASSERT_TRUE(Buffer.m_Assign(kDigits, sizeof(kDigits)));
    ASSERT_TRUE(Buffer.m_KeepTail(8, TRUE));
    std::vector<UCHAR> Before = Bytes(Buffer);
    PVOID pData = Buffer.m_GetData();
    const UCHAR Extra[] = {'z'};

    FailNextTrackedAllocation();
    EXPECT_FALSE(Buffer.m_Assign(Extra, 1));
    FailNextTrackedAllocation();
    EXPECT_FALSE(Buffer.m_Append(Extra, 1));
    FailNextTrackedAllocation();
    EXPECT_FALSE(Buffer.m_RemoveRange(1, 2));
    FailNextTrackedAllocation();
    EXPECT_FALSE(Buffer.m_KeepHead(2, FALSE));
    FailNextTrackedAllocation();
    EXPECT_FALSE(Buffer.m_KeepTail(2, FALSE));

    EXPECT_EQ(pData, Buffer.m_GetData());
    EXPECT_EQ(Before, Bytes(Buffer));
    EXPECT_FALSE(Buffer.m_Allocate(4));  // only an empty buffer allocates
    Buffer.m_Free();  // still frees the original block
    EXPECT_FALSE(Buffer.m_Allocate(0));
}

TEST_F(TfBufferTest, BufferObjectsCrossImagesAndAreFreedThroughTheirOwnTrackers)
{
    // This image ("A", the fixture's) and a second image "B" with a library state of its own.
    CTfMemoryTracker* pTrackerA = TfGetMemoryTracker();
    TF_LIBRARY_STATE StateB = {0, NULL};
    PTF_LIBRARY_STATE pStateA = TfSwapLibraryState(&StateB);
    ASSERT_TRUE(TfLibraryAddReference());
    CTfMemoryTracker* pTrackerB = TfGetMemoryTracker();
    TfSwapLibraryState(pStateA);

    // Made in A without a tracker: data and object belong to A. Deleted by B.
    CTfBuffer* pFromA = new (NonPagedPool) CTfBuffer();
    ASSERT_NE(nullptr, pFromA);
    ASSERT_TRUE(pFromA->m_Assign(kDigits, sizeof(kDigits)));
    ASSERT_TRUE(pFromA->m_KeepTail(5, TRUE));
    EXPECT_EQ(pTrackerA, pFromA->m_GetTracker());
    EXPECT_EQ(2u, pTrackerA->m_GetRecordCount());

    // Made in A with B's tracker for the data: the object is still A's.
    CTfBuffer* pMixed = new (NonPagedPool) CTfBuffer(pTrackerB);
    ASSERT_NE(nullptr, pMixed);
    ASSERT_TRUE(pMixed->m_Assign(kDigits, 4));
    EXPECT_EQ(3u, pTrackerA->m_GetRecordCount());
    EXPECT_EQ(1u, pTrackerB->m_GetRecordCount());

    TfSwapLibraryState(&StateB);
    pFromA->m_Delete();
    pMixed->m_Delete();
    // Made in B, deleted by A below.
    CTfBuffer* pFromB = new (NonPagedPool) CTfBuffer();
    ASSERT_NE(nullptr, pFromB);
    ASSERT_TRUE(pFromB->m_Assign(kDigits, 2));
    TfSwapLibraryState(pStateA);

    EXPECT_EQ(0u, pTrackerA->m_GetRecordCount());
    EXPECT_EQ(2u, pTrackerB->m_GetRecordCount());
    pFromB->m_Delete();
    EXPECT_EQ(0u, pTrackerB->m_GetRecordCount());

    // Unloading B frees nothing twice; neither tracker leaves a block behind.
    TfSwapLibraryState(&StateB);
    TfLibraryRelease();
    TfSwapLibraryState(pStateA);
    EXPECT_EQ(0u, LiveTracked());
}

// ---------------------------------------------------------------------------------------------
// CTfPointerList
// ---------------------------------------------------------------------------------------------

using TfPointerListTest = TfWrapperTest;

static std::vector<PVOID> Items(CTfPointerList& List)
{
    std::vector<PVOID> Result;
    for (PVOID p = List.m_GetFirst(); p != nullptr; p = List.m_GetNext())
        Result.push_back(p);
    return Result;
}

static PVOID Item(uintptr_t n) { return reinterpret_cast<PVOID>(n * 16); }

TEST_F(TfPointerListTest, RemovingTheCurrentItemWhileIteratingVisitsEveryOtherItem)
{
    CTfPointerList List;
    for (uintptr_t n = 1; n <= 6; n++)
        ASSERT_TRUE(List.m_AddTail(Item(n)));

    // Remove the head, a middle item, and the tail, each while standing on it.
    std::vector<PVOID> Visited;
    for (PVOID p = List.m_GetFirst(); p != nullptr; p = List.m_GetNext()) {
        Visited.push_back(p);
        if (p == Item(1) || p == Item(3) || p == Item(4) || p == Item(6)) {
            EXPECT_EQ(p, List.m_RemoveCurrent());
        }
    }
    EXPECT_EQ((std::vector<PVOID>{Item(1), Item(2), Item(3), Item(4), Item(5), Item(6)}), Visited);
    EXPECT_EQ((std::vector<PVOID>{Item(2), Item(5)}), Items(List));
    EXPECT_EQ(2u, List.m_GetCount());
    EXPECT_EQ(Item(5), List.m_GetTail());
    List.m_FreeNodes();
}

TEST_F(TfPointerListTest, FindThenUnlinkAtTheCursorIsHowQueuesRemoveAnItem)
{
    CTfPointerList List;
    for (uintptr_t n = 1; n <= 3; n++)
        ASSERT_TRUE(List.m_AddTail(Item(n)));
    EXPECT_FALSE(List.m_Find(Item(9)));
    ASSERT_TRUE(List.m_Find(Item(2)));
    EXPECT_EQ(Item(2), List.m_GetCurrent());
    EXPECT_EQ(Item(2), List.m_RemoveCurrent());
    EXPECT_EQ(Item(1), List.m_GetCurrent());
    EXPECT_EQ(Item(3), List.m_GetNext());

    EXPECT_TRUE(List.m_Remove(Item(3)));
    EXPECT_FALSE(List.m_Remove(Item(3)));
    EXPECT_FALSE(List.m_Replace(Item(3), Item(8)));
    EXPECT_TRUE(List.m_Replace(Item(1), Item(8)));
    EXPECT_EQ((std::vector<PVOID>{Item(8)}), Items(List));
    EXPECT_EQ(Item(8), List.m_RemoveHead());
    EXPECT_EQ(nullptr, List.m_RemoveHead());
    EXPECT_EQ(0u, List.m_GetCount());
    EXPECT_TRUE(List.m_IsEmpty());
    EXPECT_EQ(nullptr, List.m_GetNext());
}

TEST_F(TfPointerListTest, GetNextAtTheEndReturnsNullAndKeepsTheCursor)
{
    CTfPointerList List;
    EXPECT_EQ(nullptr, List.m_GetFirst());
    ASSERT_TRUE(List.m_AddTail(Item(1)));
    ASSERT_TRUE(List.m_AddTail(Item(2)));
    EXPECT_EQ(Item(1), List.m_GetFirst());
    EXPECT_EQ(Item(2), List.m_GetNext());
    EXPECT_EQ(nullptr, List.m_GetNext());
    EXPECT_EQ(Item(2), List.m_GetCurrent());
    // An item appended afterwards is found from there.
    ASSERT_TRUE(List.m_AddTail(Item(3)));
    EXPECT_EQ(Item(3), List.m_GetCurrent());
    List.m_FreeNodes();
}

TEST_F(TfPointerListTest, RemoveAllFreesItemsAndNodesAndResetsTheCount)
{
    size_t ulBaseline = LiveTracked();
    CTfPointerList List;
    for (int i = 0; i < 3; i++) {
        PVOID pItem = AllocateTrackedPool(NonPagedPool, 24);
        ASSERT_NE(nullptr, pItem);
        ASSERT_TRUE(List.m_AddTail(pItem));
    }
    PULONG pNew = (PULONG)List.m_AddNew(56);
    ASSERT_NE(nullptr, pNew);
    for (int i = 0; i < 14; i++)
        EXPECT_EQ(0u, pNew[i]);
    EXPECT_EQ(4u, List.m_GetCount());
    EXPECT_EQ(ulBaseline + 8, LiveTracked());

    List.m_RemoveAll();
    EXPECT_EQ(0u, List.m_GetCount());
    EXPECT_EQ(nullptr, List.m_GetFirst());
    EXPECT_EQ(ulBaseline, LiveTracked());

    ASSERT_TRUE(List.m_AddTail(Item(1)));
    List.m_FreeNodes();
    EXPECT_EQ(0u, List.m_GetCount());
    EXPECT_EQ(ulBaseline, LiveTracked());
}

TEST_F(TfPointerListTest, NodeAllocationFailureLeavesTheListUnchanged)
{
    size_t ulBaseline = LiveTracked();
    CTfPointerList List;
    ASSERT_TRUE(List.m_AddTail(Item(1)));
    ASSERT_TRUE(List.m_AddTail(Item(2)));
    ASSERT_EQ(Item(1), List.m_GetFirst());

    FailNextTrackedAllocation();
    EXPECT_FALSE(List.m_AddTail(Item(3)));
    EXPECT_EQ(2u, List.m_GetCount());
    EXPECT_EQ(Item(2), List.m_GetTail());
    EXPECT_EQ(Item(1), List.m_GetCurrent());

    // m_AddNew: the item comes first, then the node fails; the item is given back.
    machine().GetPool().FailNth(2);
    EXPECT_EQ(nullptr, List.m_AddNew(56));
    EXPECT_EQ(2u, List.m_GetCount());
    EXPECT_EQ(ulBaseline + 2, LiveTracked());
    EXPECT_EQ((std::vector<PVOID>{Item(1), Item(2)}), Items(List));
    List.m_FreeNodes();
}

}  // namespace
