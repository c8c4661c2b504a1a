// The system work queues: pending items, worker threads, the deterministic mode and shutdown.
// The work-item calls themselves are in work_item.cpp.
#include "ex/work_queues.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ke/kthread.h"
#include "ex/pool.h"
#include "kernel.h"
#include "ob/object_manager.h"
#include "vf/verifier.h"

// A work item is pool memory the driver owns by pointer; the platform keeps its state aside, so a
// routine may free its own item.
struct _IO_WORKITEM {
    ULONG Magic;
    PDEVICE_OBJECT DeviceObject;
};

namespace emu {

namespace {

constexpr ULONG kWorkItemTag = PoolTag("IoWI");
constexpr size_t kQueueCount = 3;

std::string Address(const void* p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

enum class ItemState { Idle, Queued, Running };

struct ItemRecord {
    uint64_t generation = 0;  // tells an item from a later one at the same address
    ItemState state = ItemState::Idle;
    uint64_t runs = 0;  // tells this run from a later one of the same item
};

struct Pending {
    PIO_WORKITEM item;
    uint64_t generation;
    uint64_t sequence;  // queue order across all queues
    PIO_WORKITEM_ROUTINE routine;
    PVOID context;
    PDEVICE_OBJECT device;
    bool deviceReferenced;  // the device is an object-manager object and holds our reference
};

}  // namespace

struct WorkQueues::State {
    Kernel* machine;
    std::mutex mutex;
    std::condition_variable changed;
    std::unordered_map<PIO_WORKITEM, ItemRecord> items;  // live items
    std::deque<Pending> queues[kQueueCount];
    std::vector<std::thread> workers[kQueueCount];
    std::set<std::thread::id> busy;  // threads inside a routine
    uint64_t nextGeneration = 1;
    uint64_t nextSequence = 1;
    uint64_t itemsRun = 0;
    size_t running = 0;    // items taken off a queue and not finished
    size_t finishing = 0;  // routines returned, the platform's bookkeeping not yet done
    bool deterministic = false;
    bool shutDown = false;
    bool abandoned = false;  // shutdown gave up waiting: the machine may be gone

    explicit State(Kernel* m) : machine(m) {}

    size_t Queued() const
    {
        size_t count = 0;
        for (const auto& queue : queues) count += queue.size();
        return count;
    }

    bool TakeOldest(Pending& out)
    {
        std::deque<Pending>* oldest = nullptr;
        for (auto& queue : queues)
            if (!queue.empty() && (!oldest || queue.front().sequence < oldest->front().sequence)) oldest = &queue;
        if (!oldest) return false;
        out = oldest->front();
        oldest->pop_front();
        return true;
    }

    void ReleaseDevice(const Pending& pending)
    {
        if (pending.deviceReferenced) machine->GetObjectManager().Dereference(pending.device);
    }

    // Runs one item with the lock released and returns with it held; false when shutdown gave up
    // on this thread meanwhile, so nothing of the machine may be touched.
    bool Run(std::unique_lock<std::mutex>& lock, const Pending& pending);
    void CheckReturn(const Pending& pending, size_t locksBefore);
    void StartWorkers(size_t queue, const std::shared_ptr<State>& self);
    static void WorkerMain(std::shared_ptr<State> state, size_t queue);
};

void WorkQueues::State::CheckReturn(const Pending& pending, size_t locksBefore)
{
    std::string routine = Address(reinterpret_cast<const void*>(pending.routine));
    KIRQL irql = KeGetCurrentIrql();
    if (HeldSpinLockCount() > locksBefore) {
        ReportViolation(Violation::Bugcheck, "work item routine " + routine + " returned holding " +
                                                 std::to_string(HeldSpinLockCount() - locksBefore) + " spin lock(s)");
        SetCurrentIrql(DISPATCH_LEVEL);
        while (HeldSpinLockCount() > locksBefore) KefReleaseSpinLockFromDpcLevel(HeldSpinLock(HeldSpinLockCount() - 1));
    } else if (irql != PASSIVE_LEVEL) {
        ReportViolation(Violation::Bugcheck, "work item routine " + routine + " returned at IRQL " +
                                                 std::to_string(static_cast<unsigned>(irql)) +
                                                 " (WORKER_THREAD_RETURNED_AT_BAD_IRQL)");
    }
    SetCurrentIrql(PASSIVE_LEVEL);
}

bool WorkQueues::State::Run(std::unique_lock<std::mutex>& lock, const Pending& pending)
{
    uint64_t run = 0;
    auto it = items.find(pending.item);
    if (it != items.end() && it->second.generation == pending.generation) {
        it->second.state = ItemState::Running;
        run = ++it->second.runs;
    }
    ++running;
    std::thread::id me = std::this_thread::get_id();
    busy.insert(me);
    lock.unlock();

    size_t locksBefore = HeldSpinLockCount();
    pending.routine(pending.device, pending.context);

    lock.lock();
    busy.erase(me);
    if (abandoned) return false;
    ++finishing;
    lock.unlock();
    CheckReturn(pending, locksBefore);
    ReleaseDevice(pending);  // the device stayed referenced until the routine returned
    lock.lock();
    --finishing;
    --running;
    ++itemsRun;
    it = items.find(pending.item);
    if (it != items.end() && it->second.generation == pending.generation && it->second.state == ItemState::Running &&
        it->second.runs == run)
        it->second.state = ItemState::Idle;
    changed.notify_all();
    return true;
}

void WorkQueues::State::StartWorkers(size_t queue, const std::shared_ptr<State>& self)
{
    while (!shutDown && workers[queue].size() < kWorkersPerQueue)
        workers[queue].emplace_back(WorkerMain, self, queue);
}

void WorkQueues::State::WorkerMain(std::shared_ptr<State> state, size_t queue)
{
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->changed.wait(lock, [&] {
            return state->shutDown || (!state->deterministic && !state->queues[queue].empty());
        });
        if (state->shutDown) return;
        Pending pending = state->queues[queue].front();
        state->queues[queue].pop_front();
        if (!state->Run(lock, pending)) return;
    }
}

// ---------------------------------------------------------------------------------------------
// Manager
// ---------------------------------------------------------------------------------------------

WorkQueues::WorkQueues(Kernel& machine) : m_kernel(machine), m_state(std::make_shared<State>(&machine)) {}

WorkQueues::~WorkQueues() { Shutdown(); }

PIO_WORKITEM WorkQueues::AllocateWorkItem(PDEVICE_OBJECT deviceObject)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateWorkItem");
    if (!deviceObject) {
        ReportViolation(Violation::Bugcheck, "IoAllocateWorkItem with no device object");
        return nullptr;
    }
    void* memory = m_kernel.GetPool().Allocate(NonPagedPool, sizeof(IO_WORKITEM), kWorkItemTag);
    if (!memory) return nullptr;
    auto* item = new (memory) IO_WORKITEM{kWorkItemTag, deviceObject};
    std::lock_guard lock(m_state->mutex);
    m_state->items[item] = ItemRecord{m_state->nextGeneration++, ItemState::Idle, 0};
    return item;
}

void WorkQueues::FreeWorkItem(PIO_WORKITEM item)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoFreeWorkItem");
    State& s = *m_state;
    std::vector<Pending> dropped;
    {
        std::lock_guard lock(s.mutex);
        auto it = s.items.find(item);
        if (it == s.items.end()) {
            ReportViolation(Violation::BadFree, "IoFreeWorkItem of " + Address(item) + ", which is not a live work item");
            return;
        }
        if (it->second.state == ItemState::Queued) {
            // Windows would run the routine on freed memory; the item leaves its queue instead.
            ReportViolation(Violation::Bugcheck, "IoFreeWorkItem of work item " + Address(item) +
                                                     ", which is still queued");
            for (auto& queue : s.queues) {
                for (auto pending = queue.begin(); pending != queue.end(); ++pending) {
                    if (pending->item != item) continue;
                    dropped.push_back(*pending);
                    queue.erase(pending);
                    break;
                }
            }
        }
        s.items.erase(it);  // a routine freeing its own item is fine: its run finishes without it
        s.changed.notify_all();
    }
    for (const Pending& pending : dropped) s.ReleaseDevice(pending);
    item->Magic = 0;
    m_kernel.GetPool().Free(item, kWorkItemTag);
}

void WorkQueues::QueueWorkItem(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine, WORK_QUEUE_TYPE queueType,
                               PVOID context)
{
    CheckIrqlAtMost(DISPATCH_LEVEL, "IoQueueWorkItem");
    auto queue = static_cast<size_t>(queueType);
    if (queue >= kQueueCount) {
        ReportViolation(Violation::Bugcheck, "IoQueueWorkItem to unknown queue " + std::to_string(queue));
        queue = DelayedWorkQueue;
    }
    if (!routine) {
        ReportViolation(Violation::Bugcheck, "IoQueueWorkItem with no routine");
        return;
    }
    State& s = *m_state;
    std::lock_guard lock(s.mutex);
    auto it = s.items.find(item);
    if (it == s.items.end()) {
        ReportViolation(Violation::Bugcheck, "IoQueueWorkItem of " + Address(item) + ", which is not a live work item");
        return;
    }
    if (it->second.state == ItemState::Queued) {
        ReportViolation(Violation::Bugcheck, "IoQueueWorkItem of work item " + Address(item) +
                                                 ", which is already queued");
        return;
    }
    if (s.shutDown) return;  // nothing runs any more
    Pending pending{item, it->second.generation, s.nextSequence++, routine, context, item->DeviceObject, false};
    pending.deviceReferenced = m_kernel.GetObjectManager().Reference(pending.device) != 0;
    it->second.state = ItemState::Queued;
    s.queues[queue].push_back(pending);
    if (!s.deterministic) s.StartWorkers(queue, m_state);
    s.changed.notify_all();
}

// ---------------------------------------------------------------------------------------------
// Test controls
// ---------------------------------------------------------------------------------------------

void WorkQueues::SetDeterministic(bool deterministic)
{
    State& s = *m_state;
    std::lock_guard lock(s.mutex);
    s.deterministic = deterministic;
    if (!deterministic)
        for (size_t queue = 0; queue < kQueueCount; ++queue)
            if (!s.queues[queue].empty()) s.StartWorkers(queue, m_state);
    s.changed.notify_all();
}

bool WorkQueues::IsDeterministic() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->deterministic;
}

size_t WorkQueues::DrainWorkQueues()
{
    if (!CheckIrqlAtMost(PASSIVE_LEVEL, "DrainWorkQueues")) return 0;
    State& s = *m_state;
    std::unique_lock lock(s.mutex);
    size_t ran = 0;
    Pending pending{};
    while (s.TakeOldest(pending)) {
        if (!s.Run(lock, pending)) break;
        ++ran;
    }
    return ran;
}

bool WorkQueues::WaitIdle(std::chrono::milliseconds realBound)
{
    auto deadline = std::chrono::steady_clock::now() + realBound;
    bool mayRun = KeGetCurrentIrql() == PASSIVE_LEVEL;
    State& s = *m_state;
    std::unique_lock lock(s.mutex);
    for (;;) {
        Pending pending{};
        while (s.deterministic && mayRun && s.TakeOldest(pending))
            if (!s.Run(lock, pending)) return false;
        if (s.Queued() == 0 && s.running == 0) return true;
        if (s.changed.wait_until(lock, deadline) == std::cv_status::timeout)
            return s.Queued() == 0 && s.running == 0;
    }
}

size_t WorkQueues::QueuedCount() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->Queued();
}

size_t WorkQueues::RunningCount() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->running;
}

uint64_t WorkQueues::ItemsRun() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->itemsRun;
}

// ---------------------------------------------------------------------------------------------
// Shutdown
// ---------------------------------------------------------------------------------------------

void WorkQueues::Shutdown()
{
    State& s = *m_state;
    {
        std::lock_guard lock(s.mutex);
        if (s.shutDown) return;
    }
    // What is queued still runs: on this thread in deterministic mode, else on the workers.
    bool idle = WaitIdle(m_shutdownGrace);

    std::vector<std::thread> joinable;
    std::vector<Pending> dropped;
    {
        std::unique_lock lock(s.mutex);
        s.shutDown = true;
        for (auto& queue : s.queues) {
            dropped.insert(dropped.end(), queue.begin(), queue.end());
            queue.clear();
        }
        if (!idle && s.running > s.finishing) {
            std::string detail = "work item routines still running at shutdown after " +
                                 std::to_string(m_shutdownGrace.count()) + " ms; their threads are left running";
            ReportViolation(Violation::Bugcheck, detail);
            std::fprintf(stderr, "emu::WorkQueues: %s\n", detail.c_str());
            s.abandoned = true;
            s.changed.wait(lock, [&] { return s.finishing == 0; });
        }
        for (auto& workers : s.workers) {
            for (std::thread& worker : workers) {
                if (s.abandoned && s.busy.count(worker.get_id()))
                    worker.detach();  // it holds the shared state and touches nothing else when it returns
                else
                    joinable.push_back(std::move(worker));
            }
            workers.clear();
        }
        s.changed.notify_all();
    }
    for (std::thread& worker : joinable)
        if (worker.joinable()) worker.join();
    for (const Pending& pending : dropped) s.ReleaseDevice(pending);
}

}  // namespace emu
