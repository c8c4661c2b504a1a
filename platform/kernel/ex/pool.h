// Kernel pool of the emulated machine.
//
// Every block comes from the process allocator (so AddressSanitizer sees overruns), aligned to 16
// and filled with 0xCD, and is listed with its tag, pool type and size. Tests read the census per
// tag and inject allocation failures. Freeing anything that is not a live block is reported to the
// verifier and ignored.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace emu {

class Kernel;

// A four-character pool tag as drivers write it: the characters in memory order, so
// PoolTag("TfKi") == ('i' << 24 | 'K' << 16 | 'f' << 8 | 'T').
constexpr ULONG PoolTag(const char (&text)[5])
{
    return static_cast<ULONG>(static_cast<UCHAR>(text[0])) |
           static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24;
}

// The tag as text, unprintable bytes shown as '.', for messages.
std::string PoolTagText(ULONG tag);

inline bool IsPagedPool(POOL_TYPE type) { return (static_cast<ULONG>(type) & 1u) != 0; }

struct PoolBlock {
    const void* address;
    ULONG tag;
    POOL_TYPE type;
    size_t size;
    uint64_t sequence;  // allocation order, from 1
    uint32_t owner = 0;  // the driver image that allocated it (0: none known)
};

class Pool {
public:
    static constexpr unsigned char kFillByte = 0xCD;
    // Blocks larger than this are refused, as a real pool would refuse them.
    static constexpr size_t kMaxBlockSize = size_t{1} << 30;

    explicit Pool(Kernel& machine);
    // Frees every live block: a machine that shuts down takes its pool with it.
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // The kernel's entry points. Allocate returns null on failure (or injected failure).
    void* Allocate(POOL_TYPE type, size_t size, ULONG tag);
    // The same, telling the address the allocation was made from, so the block can be charged to
    // the driver image that made it (see SetOwnerResolver).
    void* Allocate(POOL_TYPE type, size_t size, ULONG tag, const void* caller);
    // A tag of 0 means "any" (ExFreePool). A pointer that is not a live block is reported and
    // left alone.
    void Free(void* block, ULONG expectedTag = 0);

    // Census.
    bool IsLive(const void* block) const;
    // The live block that starts at `block`, if any (its tag, type and size).
    std::optional<PoolBlock> Find(const void* block) const;
    size_t LiveCount() const;
    size_t LiveCount(ULONG tag) const;
    size_t LiveBytes() const;
    size_t LiveBytes(ULONG tag) const;
    std::vector<PoolBlock> LiveBlocks() const;  // in allocation order
    std::vector<PoolBlock> LiveBlocks(ULONG tag) const;
    uint64_t AllocationCount() const;  // allocations served since the machine started

    // Fault injection. FailNth(1) fails the next allocation, FailNth(3) the third from now;
    // FailNth(0) cancels it. FailNextWithTag fails the next allocation with that tag (once per
    // call; several calls queue up).
    void FailNth(size_t n);
    void FailNextWithTag(ULONG tag);
    void ClearFaults();
    uint64_t FailedCount() const;  // allocations refused so far, injected or not

    // Told of every live block about to be freed (its start and size), before it is freed, so
    // kernel objects still in use inside it can be caught. One observer; null removes it.
    void SetFreeObserver(std::function<void(const void*, size_t)> observer);

    // Maps a calling address to the driver image it lies in (0 for none); blocks remember it.
    void SetOwnerResolver(std::function<uint32_t(const void*)> resolver);
    std::vector<PoolBlock> LiveBlocksOfOwner(uint32_t owner) const;  // in allocation order
    // Forgets the owner of that image's blocks (once their leak has been reported).
    void DisownBlocks(uint32_t owner);

private:
    struct Block {
        ULONG tag;
        POOL_TYPE type;
        size_t size;
        uint64_t sequence;
        uint32_t owner = 0;
    };
    static constexpr size_t kFreedHistory = 4096;

    bool ShouldFail(ULONG tag);  // called with the lock held
    void RememberFreed(const void* block);
    static PoolBlock Describe(const void* address, const Block& block);

    Kernel& m_kernel;
    mutable std::mutex m_mutex;
    std::unordered_map<const void*, Block> m_live;
    // Recently freed addresses (bounded), to tell a double free from a wild one. An address is
    // forgotten when the allocator hands it out again.
    std::deque<std::pair<const void*, uint64_t>> m_freedOrder;
    std::unordered_map<const void*, uint64_t> m_freed;
    uint64_t m_freeSequence = 0;
    uint64_t m_sequence = 0;
    uint64_t m_failed = 0;
    size_t m_failCountdown = 0;
    std::vector<ULONG> m_failTags;
    std::function<void(const void*, size_t)> m_freeObserver;
    std::function<uint32_t(const void*)> m_ownerResolver;
    mutable std::mutex m_resolverMutex;
};

}  // namespace emu
