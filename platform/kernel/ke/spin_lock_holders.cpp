// The spin locks each thread holds. Every thread that has taken a spin lock has a record in one
// registry; a thread changes only its own record, under the record's mutex, and a thread about to
// free memory reads all of them. Taking a record's mutex after its thread cleared a lock word orders
// the reader after that release, so the free never races with the lock word's last write.
#include "ke/spin_lock_holders.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ke/kthread.h"

namespace {

constexpr auto kHolderReportAfter = std::chrono::seconds(5);

struct HolderRecord {
    std::mutex mutex;                // the owning thread writes `held` under it; others read under it
    std::vector<PKSPIN_LOCK> held;   // in acquisition order
};

struct Registry {
    std::mutex mutex;  // guards `records`; taken before any record's mutex
    std::vector<HolderRecord*> records;
};

// Never destroyed: threads may end after the process's static objects are gone.
Registry& TheRegistry()
{
    static Registry* registry = new Registry;
    return *registry;
}

// The calling thread's record, in the registry from the thread's first use until it ends.
class Registration {
public:
    Registration()
    {
        Registry& registry = TheRegistry();
        std::lock_guard lock(registry.mutex);
        registry.records.push_back(&m_record);
    }
    ~Registration()
    {
        Registry& registry = TheRegistry();
        std::lock_guard lock(registry.mutex);
        std::erase(registry.records, &m_record);
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

    HolderRecord& Record() { return m_record; }

private:
    HolderRecord m_record;
};

HolderRecord& Mine()
{
    thread_local Registration registration;
    return registration.Record();
}

bool Inside(PKSPIN_LOCK lock, const void* memory, size_t bytes)
{
    const auto* begin = static_cast<const std::byte*>(memory);
    const auto* at = reinterpret_cast<const std::byte*>(lock);
    return at >= begin && at < begin + bytes;
}

std::atomic<size_t> g_waitingFrees{0};

// Whether another thread holds a lock inside the memory now. Taking every record's mutex orders the
// caller after each thread's releases so far.
bool OthersHoldOneIn(const void* memory, size_t bytes)
{
    const HolderRecord* mine = &Mine();
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.mutex);
    bool found = false;
    for (HolderRecord* record : registry.records) {
        if (record == mine) continue;
        std::lock_guard recordLock(record->mutex);
        for (PKSPIN_LOCK held : record->held) found = found || Inside(held, memory, bytes);
    }
    return found;
}

// Counts the calling thread among the frees that wait, for as long as it waits.
class WaitingFree {
public:
    WaitingFree() { g_waitingFrees.fetch_add(1); }
    ~WaitingFree() { g_waitingFrees.fetch_sub(1); }
    WaitingFree(const WaitingFree&) = delete;
    WaitingFree& operator=(const WaitingFree&) = delete;
};

}  // namespace

namespace emu {

void NoteSpinLockTaken(PKSPIN_LOCK lock)
{
    HolderRecord& record = Mine();
    std::lock_guard guard(record.mutex);
    record.held.push_back(lock);
}

void NoteSpinLockGiven(PKSPIN_LOCK lock)
{
    HolderRecord& record = Mine();
    std::lock_guard guard(record.mutex);
    auto last = std::find(record.held.rbegin(), record.held.rend(), lock);
    if (last != record.held.rend()) record.held.erase(std::next(last).base());
}

// Only the calling thread changes its own list, so it reads it without the mutex.
size_t HeldSpinLockCount() { return Mine().held.size(); }

PKSPIN_LOCK HeldSpinLock(size_t index)
{
    const std::vector<PKSPIN_LOCK>& held = Mine().held;
    return index < held.size() ? held[index] : nullptr;
}

void SynchroniseWithSpinLocksIn(const void* memory, size_t bytes, const char* what)
{
    if (!OthersHoldOneIn(memory, bytes)) return;
    WaitingFree waiting;
    const auto started = std::chrono::steady_clock::now();
    while (OthersHoldOneIn(memory, bytes)) {
        if (std::chrono::steady_clock::now() - started > kHolderReportAfter) {
            ReportViolation(Violation::Bugcheck, std::string(what) + " is freed while another thread has held a "
                                                                     "spin lock inside it for over 5 s");
            return;
        }
        std::this_thread::yield();
    }
}

size_t FreesWaitingForSpinLocks() { return g_waitingFrees.load(); }

}  // namespace emu
