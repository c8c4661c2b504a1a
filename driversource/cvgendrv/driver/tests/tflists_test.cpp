// Tests of the pointer-list variants: owned framework objects, the locked list and the record list.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "ex/pool.h"
#include "vf/verifier.h"
#include "machine_test.h"
#include "tfevent.h"
#include "tflockedlist.h"
#include "tfmemorytracker.h"
#include "tfobjectlist.h"
#include "tfrecordlist.h"

namespace {

class TfListTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(TfLibraryAddReference());
        m_Baseline = LiveTracked();
    }
    void TearDown() override
    {
        EXPECT_EQ(m_Baseline, LiveTracked());
        TfLibraryRelease();
        EXPECT_EQ(0u, machine().GetPool().LiveCount(TF_TAG_TRACKED));
        MachineTest::TearDown();
    }
    size_t LiveTracked() { return machine().GetPool().LiveCount(TF_TAG_TRACKED); }

    size_t m_Baseline = 0;
};

// A framework object that counts its destruction and owns a tracked buffer, so that freeing it
// without its destructor shows up as a leak.
class CProbeObject : public CTfObject {
public:
    explicit CProbeObject(std::atomic<int>* pDestroyed)
        : m_pDestroyed(pDestroyed), m_pOwned(AllocateTrackedPool(NonPagedPool, 32))
    {
    }
    ~CProbeObject() override
    {
        FreeTrackedPool(m_pOwned);
        ++*m_pDestroyed;
    }

private:
    std::atomic<int>* m_pDestroyed;
    PVOID m_pOwned;
};

TEST_F(TfListTest, ObjectListDeletesItsObjectsThroughTheirDestructorsEvenThroughTheBaseClass)
{
    std::atomic<int> Destroyed{0};
    CTfObjectList* pList = new (NonPagedPool) CTfObjectList();
    ASSERT_NE(nullptr, pList);
    for (int i = 0; i < 3; i++)
        ASSERT_TRUE(pList->m_AddObject(new (NonPagedPool) CProbeObject(&Destroyed)));
    EXPECT_FALSE(pList->m_AddObject(nullptr));
    EXPECT_EQ(1u, Take(emu::Violation::AssertReport));
    EXPECT_EQ(3u, pList->m_GetCount());

    // A caller holding only the pointer list still gets the objects' destructors.
    CTfPointerList* pBase = pList;
    pBase->m_DeleteAll();
    EXPECT_EQ(3, Destroyed.load());
    EXPECT_TRUE(pList->m_IsEmpty());

    // Objects still listed at destruction are deleted too; one taken out first is the caller's.
    ASSERT_TRUE(pList->m_AddObject(new (NonPagedPool) CProbeObject(&Destroyed)));
    ASSERT_TRUE(pList->m_AddObject(new (NonPagedPool) CProbeObject(&Destroyed)));
    CTfObjectBase* pTaken = pList->m_RemoveHeadObject();
    ASSERT_NE(nullptr, pTaken);
    delete pList;
    EXPECT_EQ(4, Destroyed.load());
    delete pTaken;
    EXPECT_EQ(5, Destroyed.load());
}

TEST_F(TfListTest, ObjectListRefusesAnObjectWithoutANodeAndLeavesItToTheCaller)
{
    std::atomic<int> Destroyed{0};
    CTfObjectList List;
    CProbeObject* pObject = new (NonPagedPool) CProbeObject(&Destroyed);
    machine().GetPool().FailNextWithTag(TF_TAG_TRACKED);
    EXPECT_FALSE(List.m_AddObject(pObject));
    EXPECT_TRUE(List.m_IsEmpty());
    EXPECT_EQ(0, Destroyed.load());
    delete pObject;
}

TEST_F(TfListTest, LockedListDeleteAllFreesItemsUnderItsLockAndClearsTheEvent)
{
    CTfLockedList OwnList;
    ASSERT_TRUE(OwnList.m_LockedAddTail(AllocateTrackedPool(NonPagedPool, 16)));
    ASSERT_TRUE(OwnList.m_LockedAddTail(AllocateTrackedPool(NonPagedPool, 16)));
    EXPECT_EQ(2u, OwnList.m_LockedGetCount());
    OwnList.m_GetEvent()->m_Set();
    OwnList.m_DeleteAll();
    EXPECT_EQ(0, OwnList.m_GetEvent()->m_ReadState());
    EXPECT_EQ(0u, OwnList.m_LockedGetCount());
    EXPECT_FALSE(OwnList.m_GetLock()->m_IsHeld());

    // With the owner's lock and event.
    CTfSpinLock Lock;
    CTfEvent Event;
    {
        CTfLockedList List(&Lock, &Event);
        EXPECT_EQ(&Lock, List.m_GetLock());
        PVOID pItem = AllocateTrackedPool(NonPagedPool, 16);
        ASSERT_TRUE(List.m_LockedAddTail(pItem));
        ASSERT_TRUE(List.m_LockedAddTail(AllocateTrackedPool(NonPagedPool, 16)));
        EXPECT_TRUE(List.m_LockedRemove(pItem));
        EXPECT_FALSE(List.m_LockedRemove(pItem));
        FreeTrackedPool(pItem);
        Event.m_Set();
        // The destructor frees what is left and clears the owner's event.
    }
    EXPECT_EQ(0, Event.m_ReadState());
    EXPECT_FALSE(Lock.m_IsHeld());
}

TEST_F(TfListTest, RecordListStartsWithTenZeroedRecordsOfTheRecordSize)
{
    CTfRecordList* pList = new (NonPagedPool) CTfRecordList();
    ASSERT_NE(nullptr, pList);
    EXPECT_EQ((ULONG)TF_RECORD_LIST_COUNT, pList->m_GetRecordCount());
    EXPECT_EQ((ULONG)TF_RECORD_LIST_COUNT, pList->m_GetCount());
    EXPECT_EQ(sizeof(TF_LIST_RECORD), pList->m_GetRecordSize());
    if (sizeof(PVOID) == 8) {
        EXPECT_EQ(56u, sizeof(TF_LIST_RECORD));
    }
    static const UCHAR Zero[sizeof(TF_LIST_RECORD)] = {};
    int iRecords = 0;
    for (PVOID p = pList->m_GetFirst(); p != nullptr; p = pList->m_GetNext()) {
        EXPECT_EQ(0, memcmp(p, Zero, sizeof(Zero)));
        // The user's fields are the whole record.
        auto pRecord = static_cast<PTF_LIST_RECORD>(p);
        pRecord->ulId = 7;
        pRecord->Pair[1].bHeld = 1;
        iRecords++;
    }
    EXPECT_EQ(TF_RECORD_LIST_COUNT, iRecords);
    EXPECT_TRUE(pList->m_GetGate()->m_Acquire());
    pList->m_GetGate()->m_Release();

    pList->m_DeleteAll();
    EXPECT_EQ(0u, pList->m_GetRecordCount());
    EXPECT_TRUE(pList->m_IsEmpty());
    delete pList;
}

TEST_F(TfListTest, RecordListFillThatFailsOnTheSeventhRecordLeavesNoRecordAndCountZero)
{
    // The list object comes first, then each record is an item and a node: the seventh record's
    // item is the 14th allocation, its node the 15th.
    for (size_t Nth : {14u, 15u}) {
        machine().GetPool().FailNth(Nth);
        CTfRecordList* pList = new (NonPagedPool) CTfRecordList();
        ASSERT_NE(nullptr, pList);
        EXPECT_EQ(0u, pList->m_GetRecordCount()) << Nth;
        EXPECT_EQ(0u, pList->m_GetCount()) << Nth;
        EXPECT_EQ(nullptr, pList->m_GetFirst()) << Nth;
        // Everything allocated for the first six records was given back.
        EXPECT_EQ(m_Baseline + 1, LiveTracked()) << Nth;
        delete pList;
        EXPECT_EQ(m_Baseline, LiveTracked()) << Nth;
    }
    EXPECT_EQ(2u, machine().GetPool().FailedCount());
}

}  // namespace
