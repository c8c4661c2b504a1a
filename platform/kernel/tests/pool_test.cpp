#include "ex/pool.h"

#include <cstdint>
#include <cstring>

#include "machine_test.h"

namespace emu {
namespace {

constexpr ULONG kTagA = PoolTag("TfKi");
constexpr ULONG kTagB = PoolTag("TfKP");

class PoolTest : public testing::MachineTest {
protected:
    Pool& pool() { return machine().GetPool(); }
};

TEST(PoolTagTest, CharactersAreInMemoryOrder)
{
    EXPECT_EQ(PoolTag("TfKi"), (ULONG)'i' << 24 | (ULONG)'K' << 16 | (ULONG)'f' << 8 | (ULONG)'T');
    ULONG tag = PoolTag("TfOC");
    EXPECT_EQ(0, std::memcmp(&tag, "TfOC", 4));
    EXPECT_EQ(PoolTagText(PoolTag("TfKO")), "TfKO");
}

TEST_F(PoolTest, CensusFollowsAllocationsAndFrees)
{
    void* a1 = ExAllocatePoolWithTag(NonPagedPool, 10, kTagA);
    void* a2 = ExAllocatePoolWithTag(PagedPool, 30, kTagA);
    void* b1 = ExAllocatePoolWithTag(NonPagedPool, 7, kTagB);
    ASSERT_TRUE(a1 && a2 && b1);

    EXPECT_EQ(pool().LiveCount(kTagA), 2u);
    EXPECT_EQ(pool().LiveBytes(kTagA), 40u);
    EXPECT_EQ(pool().LiveCount(kTagB), 1u);
    EXPECT_EQ(pool().LiveCount(), 3u);
    std::vector<PoolBlock> blocks = pool().LiveBlocks(kTagA);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].address, a1);
    EXPECT_EQ(blocks[1].address, a2);
    EXPECT_EQ(blocks[1].type, PagedPool);
    EXPECT_EQ(blocks[1].size, 30u);

    std::optional<PoolBlock> found = pool().Find(b1);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->tag, kTagB);
    EXPECT_FALSE(pool().Find(static_cast<char*>(b1) + 1));

    ExFreePoolWithTag(a1, kTagA);
    ExFreePool(b1);
    EXPECT_FALSE(pool().IsLive(a1));
    EXPECT_EQ(pool().LiveCount(kTagA), 1u);
    EXPECT_EQ(pool().LiveCount(kTagB), 0u);
    ExFreePool(a2);
    EXPECT_EQ(pool().LiveCount(), 0u);
}

TEST_F(PoolTest, BlocksAreAlignedAndFilledWithThePattern)
{
    for (size_t size : {1u, 3u, 16u, 33u, 4096u}) {
        auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, size, kTagA));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
        for (size_t i = 0; i < size; ++i) ASSERT_EQ(p[i], 0xCD) << "byte " << i << " of " << size;
        ExFreePool(p);
    }
    // A zero-byte request is a driver fault, reported; the block is still one of its own.
    void* empty = ExAllocatePool(NonPagedPool, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(Take(Violation::PoolZeroBytes), 1u);
    EXPECT_EQ(pool().LiveCount(PoolTag("None")), 1u);
    ExFreePool(empty);
}

TEST_F(PoolTest, FailNthFailsExactlyThatAllocation)
{
    pool().FailNth(3);
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
    void* third = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    void* fourth = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    EXPECT_EQ(pool().FailedCount(), 1u);
    EXPECT_EQ(pool().LiveCount(), 3u);
    for (void* p : {first, second, fourth}) ExFreePool(p);
}

TEST_F(PoolTest, FailNextWithTagFailsOnlyThatTagOncePerCall)
{
    pool().FailNextWithTag(kTagB);
    pool().FailNextWithTag(kTagB);
    void* a = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagB), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagB), nullptr);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
    EXPECT_NE(b, nullptr);

    pool().FailNextWithTag(kTagA);
    pool().FailNth(1);
    pool().ClearFaults();
    void* c = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    EXPECT_NE(c, nullptr);
    for (void* p : {a, b, c}) ExFreePool(p);
}

TEST_F(PoolTest, OversizedRequestFails)
{
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, Pool::kMaxBlockSize + 1, kTagA), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, SIZE_MAX, kTagA), nullptr);
}

TEST_F(PoolTest, DoubleFreeIsReportedAndNotRepeated)
{
    void* p = ExAllocatePoolWithTag(NonPagedPool, 24, kTagA);
    ExFreePool(p);
    ExFreePool(p);  // AddressSanitizer would stop here if the pool freed it again
    EXPECT_EQ(Take(Violation::DoubleFree), 1u);
}

TEST_F(PoolTest, FreeingWhatIsNotABlockIsReportedAndIgnored)
{
    int onStack = 0;
    ExFreePool(&onStack);
    ExFreePool(nullptr);
    auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPool, 32, kTagA));
    ExFreePool(p + 8);  // inside a block
    EXPECT_EQ(Take(Violation::BadFree), 3u);
    EXPECT_TRUE(pool().IsLive(p));
    ExFreePool(p);
}

TEST_F(PoolTest, FreeWithTheWrongTagIsReportedButFreed)
{
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    ExFreePoolWithTag(p, kTagB);
    EXPECT_EQ(Take(Violation::BadFree), 1u);
    EXPECT_FALSE(pool().IsLive(p));
}

TEST_F(PoolTest, PagedPoolAboveApcLevelIsReportedAndServed)
{
    void* paged = nullptr;
    void* nonPaged = nullptr;
    {
        testing::ScopedIrql dispatch(DISPATCH_LEVEL);
        nonPaged = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
        EXPECT_EQ(Take(Violation::IrqlTooHigh), 0u);
        paged = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
        EXPECT_EQ(Take(Violation::IrqlTooHigh), 1u);
        ExFreePool(paged);
        EXPECT_EQ(Take(Violation::IrqlTooHigh), 1u);
        ExFreePool(nonPaged);
    }
    EXPECT_NE(paged, nullptr);
    {
        testing::ScopedIrql apc(APC_LEVEL);
        ExFreePool(ExAllocatePoolWithTag(PagedPool, 8, kTagA));
    }
}

TEST_F(PoolTest, ShutdownFreesLiveBlocksWithoutReports)
{
    ExAllocatePoolWithTag(NonPagedPool, 100, kTagA);
    ExAllocatePoolWithTag(PagedPool, 200, kTagB);
    ShutDownMachine();  // LeakSanitizer fails the run if these blocks stay allocated
}

}  // namespace
}  // namespace emu
