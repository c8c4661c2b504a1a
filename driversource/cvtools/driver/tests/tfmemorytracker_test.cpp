// Allocation tracker: the packed record across block boundaries, freeing by pointer, pool failures,
// the library reference and the allocation doors, with the pool's census as the witness.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ex/pool.h"
#include "machine_test.h"
#include "tfmemorytracker.h"
#include "tfobject.h"

namespace {

using emu::PoolTag;
using emu::Violation;

constexpr ULONG kTracked = PoolTag("TfKi");
constexpr ULONG kBlock = PoolTag("TfKP");
constexpr ULONG kTracker = PoolTag("TfKO");

class CTestObject : public CTfObject {
public:
    explicit CTestObject(int* pDestroyed = nullptr) : m_pDestroyed(pDestroyed) {}
    ~CTestObject() override
    {
        if (m_pDestroyed) ++*m_pDestroyed;
    }
    int* m_pDestroyed;
    char m_Payload[40] = {};
};

// Each test acts as a freshly loaded image: its own library state, cleaned up before the machine
// goes away.
class TrackerTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_pPrevious = TfSwapLibraryState(&m_State);
    }
    void TearDown() override
    {
        if (m_State.pTracker != nullptr) TfLibraryDelete();
        TfSwapLibraryState(m_pPrevious);
        MachineTest::TearDown();
    }

    emu::Pool& pool() { return machine().GetPool(); }
    size_t Live(ULONG tag) { return pool().LiveCount(tag); }
    CTfMemoryTracker* tracker() { return TfGetMemoryTracker(); }

    std::vector<PVOID> AllocateMany(size_t count)
    {
        std::vector<PVOID> blocks;
        for (size_t i = 0; i < count; ++i) {
            PVOID p = AllocateTrackedPool(NonPagedPool, 8);
            EXPECT_NE(p, nullptr);
            blocks.push_back(p);
        }
        return blocks;
    }

    TF_LIBRARY_STATE m_State = {0, nullptr};
    PTF_LIBRARY_STATE m_pPrevious = nullptr;
};

// ----- library reference ------------------------------------------------------------------------

TEST_F(TrackerTest, FirstReferenceBuildsTrackerAndOnlyLastReleaseFreesRecordedBlocks)
{
    ASSERT_TRUE(TfLibraryAddReference());
    CTfMemoryTracker* pTracker = tracker();
    ASSERT_NE(pTracker, nullptr);
    EXPECT_EQ(pTracker->m_GetStatus(), STATUS_SUCCESS);
    EXPECT_EQ(Live(kTracker), 2u);  // the tracker and its block list
    EXPECT_EQ(Live(kBlock), 1u);

    ASSERT_TRUE(TfLibraryAddReference());
    EXPECT_EQ(tracker(), pTracker);
    EXPECT_EQ(Live(kTracker), 2u);
    EXPECT_EQ(m_State.lReferenceCount, 2);

    AllocateMany(150);  // forgotten by their owner: reclaimed at the last release
    EXPECT_EQ(Live(kTracked), 150u);

    TfLibraryRelease();
    EXPECT_EQ(tracker(), pTracker);
    EXPECT_EQ(Live(kTracked), 150u);

    TfLibraryRelease();
    EXPECT_EQ(tracker(), nullptr);
    EXPECT_EQ(m_State.lReferenceCount, 0);
    EXPECT_EQ(Live(kTracked), 0u);
    EXPECT_EQ(Live(kBlock), 0u);
    EXPECT_EQ(Live(kTracker), 0u);
}

struct FailedBuild {
    const char* name;
    ULONG tag;
    size_t nth;  // 0: fail the next block with the tag, else the nth allocation
};

class TrackerBuildFailureTest : public TrackerTest, public ::testing::WithParamInterface<FailedBuild> {};

TEST_P(TrackerBuildFailureTest, FailedBuildLeavesNothingAndNeverReportsAUsableLibrary)
{
    if (GetParam().nth != 0)
        pool().FailNth(GetParam().nth);
    else
        pool().FailNextWithTag(GetParam().tag);

    EXPECT_FALSE(TfLibraryAddReference());
    EXPECT_EQ(tracker(), nullptr);
    EXPECT_EQ(Live(kTracker), 0u);
    EXPECT_EQ(Live(kBlock), 0u);

    // The count stays taken; a second reference must not claim a library without a tracker.
    EXPECT_FALSE(TfLibraryAddReference());
    EXPECT_EQ(AllocateTrackedPool(NonPagedPool, 16), nullptr);
    EXPECT_EQ(new (NonPagedPool) CTestObject, nullptr);
    EXPECT_EQ(Live(kTracked), 0u);

    // Both failed references are given back, as the drivers do, and the library starts afresh.
    TfLibraryRelease();
    TfLibraryRelease();
    EXPECT_EQ(m_State.lReferenceCount, 0);
    ASSERT_TRUE(TfLibraryAddReference());
    EXPECT_NE(tracker(), nullptr);
    TfLibraryRelease();
    EXPECT_EQ(Live(kTracker), 0u);
}

INSTANTIATE_TEST_SUITE_P(Pool, TrackerBuildFailureTest,
                         ::testing::Values(FailedBuild{"TrackerObject", kTracker, 0},
                                           FailedBuild{"BlockList", 0, 2},
                                           FailedBuild{"FirstBlock", kBlock, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TrackerTest, ReleaseWithoutReferenceIsReportedAndClampedAtZero)
{
    TfLibraryRelease();
    EXPECT_EQ(Take(Violation::AssertReport), 1u);
    EXPECT_EQ(m_State.lReferenceCount, 0);

    // Still balanced afterwards: one reference, one release.
    ASSERT_TRUE(TfLibraryAddReference());
    EXPECT_EQ(m_State.lReferenceCount, 1);
    TfLibraryRelease();
    EXPECT_EQ(tracker(), nullptr);
    EXPECT_EQ(Live(kTracker), 0u);
}

TEST_F(TrackerTest, EachImageHasItsOwnCountAndTracker)
{
    ASSERT_TRUE(TfLibraryAddReference());
    CTfMemoryTracker* pFirst = tracker();
    PVOID pFirstBlock = AllocateTrackedPool(NonPagedPool, 8);

    TF_LIBRARY_STATE Second = {0, nullptr};
    TfSwapLibraryState(&Second);
    ASSERT_TRUE(TfLibraryAddReference());  // a count shared with the first image would build nothing
    CTfMemoryTracker* pSecond = tracker();
    ASSERT_NE(pSecond, nullptr);
    EXPECT_NE(pSecond, pFirst);
    PVOID pSecondBlock = AllocateTrackedPool(NonPagedPool, 8);
    EXPECT_TRUE(pSecond->m_IsRecorded(pSecondBlock));
    EXPECT_FALSE(pFirst->m_IsRecorded(pSecondBlock));

    // A block of the first image freed while the second runs, through the tracker that made it.
    TfFreeWithTracker(pFirstBlock, pFirst);
    EXPECT_FALSE(pool().IsLive(pFirstBlock));
    EXPECT_EQ(pFirst->m_GetRecordCount(), 0u);
    EXPECT_EQ(pSecond->m_GetRecordCount(), 1u);

    TfLibraryRelease();
    EXPECT_FALSE(pool().IsLive(pSecondBlock));
    TfSwapLibraryState(&m_State);
    EXPECT_EQ(tracker(), pFirst);
    TfLibraryRelease();
    EXPECT_EQ(pool().LiveCount(), 0u);
}

// ----- the record -------------------------------------------------------------------------------

class RecordTest : public TrackerTest {
protected:
    void SetUp() override
    {
        TrackerTest::SetUp();
        ASSERT_TRUE(TfLibraryAddReference());
    }
    void TearDown() override
    {
        if (m_State.pTracker != nullptr) {
            TfLibraryRelease();
            EXPECT_EQ(Live(kTracked), 0u);
            EXPECT_EQ(Live(kBlock), 0u);
            EXPECT_EQ(Live(kTracker), 0u);
        }
        TrackerTest::TearDown();
    }
};

TEST_F(RecordTest, BlockBoundaries)
{
    std::vector<PVOID> blocks = AllocateMany(100);
    EXPECT_EQ(tracker()->m_GetBlockCount(), 1u);
    EXPECT_EQ(tracker()->m_GetNextSlot(), 101u);  // the first block is full

    blocks.push_back(AllocateTrackedPool(NonPagedPool, 8));  // the 101st opens a second block
    EXPECT_EQ(tracker()->m_GetBlockCount(), 2u);
    EXPECT_EQ(Live(kBlock), 2u);
    EXPECT_EQ(tracker()->m_GetNextSlot(), 2u);
    EXPECT_EQ(tracker()->m_GetSlot(1, 1), blocks[100]);

    FreeTrackedPool(blocks[100]);  // and freeing it closes the block again
    EXPECT_EQ(tracker()->m_GetBlockCount(), 1u);
    EXPECT_EQ(Live(kBlock), 1u);
    EXPECT_EQ(tracker()->m_GetNextSlot(), 101u);
    EXPECT_EQ(tracker()->m_GetRecordCount(), 100u);
    EXPECT_FALSE(pool().IsLive(blocks[100]));

    // 102 allocations: freeing the 101st moves the 102nd into its slot; the block stays.
    PVOID p101 = AllocateTrackedPool(NonPagedPool, 8);
    PVOID p102 = AllocateTrackedPool(NonPagedPool, 8);
    EXPECT_EQ(tracker()->m_GetNextSlot(), 3u);
    FreeTrackedPool(p101);
    EXPECT_EQ(tracker()->m_GetBlockCount(), 2u);
    EXPECT_EQ(tracker()->m_GetSlot(1, 1), p102);
    EXPECT_EQ(tracker()->m_GetSlot(1, 2), nullptr);
    EXPECT_EQ(tracker()->m_GetNextSlot(), 2u);
}

TEST_F(RecordTest, FreeingFromTheMiddleMovesTheLastPointerIntoTheHole)
{
    std::vector<PVOID> blocks = AllocateMany(5);
    FreeTrackedPool(blocks[1]);
    EXPECT_EQ(tracker()->m_GetSlot(0, 2), blocks[4]);
    EXPECT_EQ(tracker()->m_GetSlot(0, 5), nullptr);
    EXPECT_EQ(tracker()->m_GetNextSlot(), 5u);

    // The last recorded one only shortens the record.
    FreeTrackedPool(blocks[3]);
    EXPECT_EQ(tracker()->m_GetNextSlot(), 4u);
    EXPECT_EQ(tracker()->m_GetSlot(0, 1), blocks[0]);
    EXPECT_EQ(tracker()->m_GetSlot(0, 2), blocks[4]);
    EXPECT_EQ(tracker()->m_GetSlot(0, 3), blocks[2]);
}

TEST_F(RecordTest, HoleInAnEarlierBlockIsFilledFromTheTailBlock)
{
    std::vector<PVOID> blocks = AllocateMany(201);
    EXPECT_EQ(tracker()->m_GetBlockCount(), 3u);

    FreeTrackedPool(blocks[9]);  // the tail block held only the 201st: it goes
    EXPECT_EQ(tracker()->m_GetSlot(0, 10), blocks[200]);
    EXPECT_EQ(tracker()->m_GetBlockCount(), 2u);
    EXPECT_EQ(tracker()->m_GetNextSlot(), 101u);

    FreeTrackedPool(blocks[150]);
    EXPECT_EQ(tracker()->m_GetSlot(1, 51), blocks[199]);
    EXPECT_EQ(tracker()->m_GetNextSlot(), 100u);
    EXPECT_EQ(tracker()->m_GetRecordCount(), 199u);
    for (PVOID p : blocks) {
        if (p != blocks[9] && p != blocks[150]) {
            EXPECT_TRUE(tracker()->m_IsRecorded(p));
        }
    }
}

TEST_F(RecordTest, UnrecordedBlockIsFreedAndTheRecordIsUntouched)
{
    std::vector<PVOID> blocks = AllocateMany(3);
    PVOID pForeign = ExAllocatePoolWithTag(NonPagedPool, 32, PoolTag("Test"));
    ASSERT_NE(pForeign, nullptr);

    FreeTrackedPool(pForeign);
    EXPECT_FALSE(pool().IsLive(pForeign));
    EXPECT_EQ(tracker()->m_GetRecordCount(), 3u);
    for (ULONG i = 0; i < 3; ++i) EXPECT_EQ(tracker()->m_GetSlot(0, i + 1), blocks[i]);
}

TEST_F(RecordTest, NullFreesDoNothing)
{
    uint64_t before = pool().AllocationCount();
    delete static_cast<CTestObject*>(nullptr);
    FreeTrackedPool(nullptr);
    TfFreeWithTracker(nullptr, nullptr);
    tracker()->m_FreeObject(nullptr);
    EXPECT_EQ(pool().AllocationCount(), before);
    EXPECT_EQ(tracker()->m_GetRecordCount(), 0u);
}

TEST_F(RecordTest, FailedNewBlockKeepsTheRecordAndRefusesOnlyThatAllocation)
{
    std::vector<PVOID> blocks = AllocateMany(100);
    pool().FailNextWithTag(kBlock);

    EXPECT_EQ(AllocateTrackedPool(NonPagedPool, 8), nullptr);
    EXPECT_EQ(Live(kTracked), 100u);  // the unrecordable block went back to the pool
    EXPECT_EQ(tracker()->m_GetFailureCount(), 1u);
    EXPECT_EQ(tracker()->m_GetRecordCount(), 100u);
    EXPECT_EQ(tracker()->m_GetNextSlot(), 101u);
    for (ULONG i = 0; i < 100; ++i) EXPECT_EQ(tracker()->m_GetSlot(0, i + 1), blocks[i]);

    // The next allocation gets its block; everything is still freed at the last release.
    EXPECT_NE(AllocateTrackedPool(NonPagedPool, 8), nullptr);
    EXPECT_EQ(tracker()->m_GetBlockCount(), 2u);
    EXPECT_EQ(tracker()->m_GetFailureCount(), 1u);
}

TEST_F(RecordTest, ExhaustedPoolGivesNullAndRecordsNothing)
{
    pool().FailNextWithTag(kTracked);
    EXPECT_EQ(AllocateTrackedPool(PagedPool, 8), nullptr);
    pool().FailNextWithTag(kTracked);
    EXPECT_EQ(tracker()->m_AllocateObject(8, NonPagedPool), nullptr);
    EXPECT_EQ(tracker()->m_GetRecordCount(), 0u);
    EXPECT_EQ(tracker()->m_GetNextSlot(), 1u);
}

TEST_F(RecordTest, ConcurrentAllocationsAndFreesKeepTheRecordExact)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::vector<std::vector<PVOID>> kept(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::vector<PVOID> mine;
            for (int i = 0; i < kRounds; ++i) {
                mine.push_back(AllocateTrackedPool(NonPagedPool, 16));
                if (i % 3 == 2) {  // free one in the middle now and then
                    FreeTrackedPool(mine[mine.size() / 2]);
                    mine.erase(mine.begin() + static_cast<long>(mine.size() / 2));
                }
            }
            kept[t] = std::move(mine);
        });
    }
    for (auto& thread : threads) thread.join();

    size_t total = 0;
    for (auto& mine : kept) {
        total += mine.size();
        for (PVOID p : mine) EXPECT_TRUE(tracker()->m_IsRecorded(p));
    }
    EXPECT_EQ(tracker()->m_GetRecordCount(), total);
    EXPECT_EQ(Live(kTracked), total);
}

// ----- root classes -----------------------------------------------------------------------------

TEST_F(RecordTest, RootObjectDefaultsAndTrackedLifetime)
{
    int destroyed = 0;
    CTestObject* pObject = new (NonPagedPool) CTestObject(&destroyed);
    ASSERT_NE(pObject, nullptr);
    EXPECT_EQ(pObject->m_GetDefaultTimeout()->QuadPart, -5000000);
    EXPECT_EQ(pObject->m_GetIdentifier(), -1);
    EXPECT_TRUE(tracker()->m_IsRecorded(pObject));
    EXPECT_EQ(pool().LiveBlocks(kTracked).at(0).type, NonPagedPool);

    CTfObjectBase* pBase = pObject;
    delete pBase;  // the virtual destructor reaches the derived class
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(tracker()->m_GetRecordCount(), 0u);
    EXPECT_EQ(Live(kTracked), 0u);
}

TEST_F(RecordTest, ExhaustedPoolGivesNullObjectWithoutConstructing)
{
    int destroyed = 0;
    pool().FailNextWithTag(kTracked);
    EXPECT_EQ(new (PagedPool) CTestObject(&destroyed), nullptr);
    EXPECT_EQ(tracker()->m_GetRecordCount(), 0u);
    EXPECT_EQ(destroyed, 0);
}

TEST_F(RecordTest, FreeWithoutTrackerGoesToTheImageTracker)
{
    PVOID p = AllocateTrackedPool(NonPagedPool, 8);
    TfFreeWithTracker(p, nullptr);
    EXPECT_FALSE(pool().IsLive(p));
    EXPECT_EQ(tracker()->m_GetRecordCount(), 0u);  // no dangling record to free twice later
}

TEST_F(TrackerTest, WithoutTrackerFreesGoStraightToThePool)
{
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTracked);
    FreeTrackedPool(p);
    EXPECT_FALSE(pool().IsLive(p));
    p = ExAllocatePoolWithTag(NonPagedPool, sizeof(CTestObject), kTracked);
    CTestObject* pObject = new (p) CTestObject;
    delete pObject;
    EXPECT_FALSE(pool().IsLive(p));
}

}  // namespace
