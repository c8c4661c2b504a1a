#include "ex/pool.h"

#include "ke/spin_lock_holders.h"
#include "kernel.h"
#include "vf/verifier.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace emu {

namespace {

constexpr std::align_val_t kAlignment{16};

std::string Hex(const void* p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

}  // namespace

std::string PoolTagText(ULONG tag)
{
    std::string text(4, '.');
    for (int i = 0; i < 4; ++i) {
        unsigned char c = static_cast<unsigned char>(tag >> (8 * i));
        if (c >= 0x20 && c < 0x7F) text[i] = static_cast<char>(c);
    }
    return text;
}

Pool::Pool(Kernel& machine) : m_kernel(machine) {}

Pool::~Pool()
{
    for (auto& [address, block] : m_live)
        ::operator delete(const_cast<void*>(address), kAlignment);
    m_live.clear();
}

bool Pool::ShouldFail(ULONG tag)
{
    bool fail = false;
    if (m_failCountdown != 0 && --m_failCountdown == 0) fail = true;
    auto it = std::find(m_failTags.begin(), m_failTags.end(), tag);
    if (it != m_failTags.end()) {
        m_failTags.erase(it);
        fail = true;
    }
    return fail;
}

void* Pool::Allocate(POOL_TYPE type, size_t size, ULONG tag) { return Allocate(type, size, tag, nullptr); }

void* Pool::Allocate(POOL_TYPE type, size_t size, ULONG tag, const void* caller)
{
    uint32_t owner = 0;
    if (caller) {
        std::lock_guard lock(m_resolverMutex);
        if (m_ownerResolver) owner = m_ownerResolver(caller);
    }
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (IsPagedPool(type) && irql > APC_LEVEL)) {
        m_kernel.GetVerifier().Report(
            Violation::IrqlTooHigh, "ExAllocatePoolWithTag(" + PoolTagText(tag) + ", " + std::to_string(size) +
                                        " bytes, pool type " + std::to_string(type) + ") at IRQL " +
                                        std::to_string(irql));
    }

    if (size == 0)
        m_kernel.GetVerifier().Report(Violation::PoolZeroBytes,
                                      "ExAllocatePoolWithTag(" + PoolTagText(tag) + ") of zero bytes");

    {
        std::lock_guard lock(m_mutex);
        if (ShouldFail(tag) || size > kMaxBlockSize) {
            ++m_failed;
            return nullptr;
        }
    }

    // A zero-byte request (reported above) still gets a block of its own, as on Windows.
    void* address = ::operator new(std::max<size_t>(size, 1), kAlignment, std::nothrow);
    if (!address) {
        std::lock_guard lock(m_mutex);
        ++m_failed;
        return nullptr;
    }
    std::memset(address, kFillByte, size);

    std::lock_guard lock(m_mutex);
    m_live[address] = Block{tag, type, size, ++m_sequence, owner};
    m_freed.erase(address);
    return address;
}

void Pool::RememberFreed(const void* block)
{
    uint64_t sequence = ++m_freeSequence;
    m_freed[block] = sequence;
    m_freedOrder.emplace_back(block, sequence);
    while (m_freedOrder.size() > kFreedHistory) {
        auto [oldest, oldestSequence] = m_freedOrder.front();
        m_freedOrder.pop_front();
        auto it = m_freed.find(oldest);
        if (it != m_freed.end() && it->second == oldestSequence) m_freed.erase(it);
    }
}

void Pool::Free(void* block, ULONG expectedTag)
{
    Block found{};
    bool live = false;
    bool freedBefore = false;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_live.find(block);
        if (it != m_live.end()) {
            live = true;
            found = it->second;
        } else {
            freedBefore = block && m_freed.count(block) != 0;
        }
    }

    Verifier& verifier = m_kernel.GetVerifier();
    if (!live) {
        if (freedBefore)
            verifier.Report(Violation::DoubleFree, "ExFreePool of " + Hex(block) + ", which was already freed");
        else
            verifier.Report(Violation::BadFree, "ExFreePool of " + Hex(block) + ", which is not a pool block");
        return;
    }

    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (IsPagedPool(found.type) && irql > APC_LEVEL)) {
        verifier.Report(Violation::IrqlTooHigh, "ExFreePool of a " + PoolTagText(found.tag) + " block of pool type " +
                                                    std::to_string(found.type) + " at IRQL " + std::to_string(irql));
    }
    if (expectedTag != 0 && expectedTag != found.tag) {
        // Windows stops here; the block is sound, so freeing it is the safe way on.
        verifier.Report(Violation::BadFree, "ExFreePoolWithTag(" + PoolTagText(expectedTag) + ") of a block tagged " +
                                                PoolTagText(found.tag));
    }
    std::function<void(const void*, size_t)> observer;
    {
        std::lock_guard lock(m_mutex);
        observer = m_freeObserver;
    }
    if (observer) observer(block, found.size);

    {
        std::lock_guard lock(m_mutex);
        // Another thread may have freed it between the look-up and now.
        if (m_live.erase(block) == 0) {
            verifier.Report(Violation::DoubleFree, "ExFreePool of " + Hex(block) + ", freed twice at once");
            return;
        }
        RememberFreed(block);
    }
    SynchroniseWithSpinLocksIn(block, found.size, "a pool block");
    ::operator delete(block, kAlignment);
}

void Pool::SetFreeObserver(std::function<void(const void*, size_t)> observer)
{
    std::lock_guard lock(m_mutex);
    m_freeObserver = std::move(observer);
}

PoolBlock Pool::Describe(const void* address, const Block& block)
{
    return PoolBlock{address, block.tag, block.type, block.size, block.sequence, block.owner};
}

void Pool::SetOwnerResolver(std::function<uint32_t(const void*)> resolver)
{
    std::lock_guard lock(m_resolverMutex);
    m_ownerResolver = std::move(resolver);
}

std::vector<PoolBlock> Pool::LiveBlocksOfOwner(uint32_t owner) const
{
    std::vector<PoolBlock> blocks = LiveBlocks();
    std::erase_if(blocks, [owner](const PoolBlock& block) { return block.owner != owner; });
    return blocks;
}

void Pool::DisownBlocks(uint32_t owner)
{
    std::lock_guard lock(m_mutex);
    for (auto& [address, block] : m_live)
        if (block.owner == owner) block.owner = 0;
}

bool Pool::IsLive(const void* block) const
{
    std::lock_guard lock(m_mutex);
    return m_live.count(block) != 0;
}

std::optional<PoolBlock> Pool::Find(const void* block) const
{
    std::lock_guard lock(m_mutex);
    auto it = m_live.find(block);
    if (it == m_live.end()) return std::nullopt;
    return Describe(it->first, it->second);
}

size_t Pool::LiveCount() const
{
    std::lock_guard lock(m_mutex);
    return m_live.size();
}

size_t Pool::LiveCount(ULONG tag) const
{
    std::lock_guard lock(m_mutex);
    return static_cast<size_t>(std::count_if(m_live.begin(), m_live.end(),
                                             [tag](const auto& entry) { return entry.second.tag == tag; }));
}

size_t Pool::LiveBytes() const
{
    std::lock_guard lock(m_mutex);
    size_t bytes = 0;
    for (const auto& [address, block] : m_live) bytes += block.size;
    return bytes;
}

size_t Pool::LiveBytes(ULONG tag) const
{
    std::lock_guard lock(m_mutex);
    size_t bytes = 0;
    for (const auto& [address, block] : m_live)
        if (block.tag == tag) bytes += block.size;
    return bytes;
}

std::vector<PoolBlock> Pool::LiveBlocks() const
{
    std::vector<PoolBlock> blocks;
    {
        std::lock_guard lock(m_mutex);
        blocks.reserve(m_live.size());
        for (const auto& [address, block] : m_live) blocks.push_back(Describe(address, block));
    }
    std::sort(blocks.begin(), blocks.end(),
              [](const PoolBlock& a, const PoolBlock& b) { return a.sequence < b.sequence; });
    return blocks;
}

std::vector<PoolBlock> Pool::LiveBlocks(ULONG tag) const
{
    std::vector<PoolBlock> blocks = LiveBlocks();
    std::erase_if(blocks, [tag](const PoolBlock& block) { return block.tag != tag; });
    return blocks;
}

uint64_t Pool::AllocationCount() const
{
    std::lock_guard lock(m_mutex);
    return m_sequence;
}

void Pool::FailNth(size_t n)
{
    std::lock_guard lock(m_mutex);
    m_failCountdown = n;
}

void Pool::FailNextWithTag(ULONG tag)
{
    std::lock_guard lock(m_mutex);
    m_failTags.push_back(tag);
}

void Pool::ClearFaults()
{
    std::lock_guard lock(m_mutex);
    m_failCountdown = 0;
    m_failTags.clear();
}

uint64_t Pool::FailedCount() const
{
    std::lock_guard lock(m_mutex);
    return m_failed;
}

}  // namespace emu

// ---------------------------------------------------------------------------------------------
// Kernel entry points
// ---------------------------------------------------------------------------------------------

namespace {
// Untagged allocations carry Windows' default tag, "None".
constexpr ULONG kUntagged = emu::PoolTag("None");
}  // namespace

// The return address charges the block to the image that called (a driver's leak check at unload).
extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag)
{
    return emu::Kernel::Current().GetPool().Allocate(poolType, numberOfBytes, tag, __builtin_return_address(0));
}

extern "C" PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes)
{
    return emu::Kernel::Current().GetPool().Allocate(poolType, numberOfBytes, kUntagged,
                                                      __builtin_return_address(0));
}

extern "C" void ExFreePool(PVOID p) { emu::Kernel::Current().GetPool().Free(p); }

extern "C" void ExFreePoolWithTag(PVOID p, ULONG tag) { emu::Kernel::Current().GetPool().Free(p, tag); }
