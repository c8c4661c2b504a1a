// Work items and the system work queues: deterministic and concurrent modes, the device reference,
// items that free or re-queue themselves, shutdown, and the verifier's checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ke/dpc_manager.h"
#include "ex/pool.h"
#include "ex/work_queues.h"
#include "ob/object_manager.h"
#include "machine_test.h"

namespace emu {
namespace {

constexpr ULONG kWorkItemTag = PoolTag("IoWI");

// A device object known to the object manager, so work items can keep it alive.
struct Device {
    DEVICE_OBJECT object{};
    std::atomic<bool> destroyed{false};

    explicit Device(ObjectManager& objects)
    {
        object.Type = 3;  // IO_TYPE_DEVICE
        object.Size = sizeof(DEVICE_OBJECT);
        objects.Register(&object, ObjectType::Device, [this](void*) { destroyed = true; });
    }
};

struct ItemRun {
    int id;
    PDEVICE_OBJECT device;
    KIRQL irql;
    std::thread::id thread;
    bool deviceAlive;
};

class WorkItemTest : public testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        device = std::make_unique<Device>(machine().GetObjectManager());
    }
    void TearDown() override
    {
        if (Machine* m = Machine::TryCurrent(); m && !device->destroyed) m->GetObjectManager().Dereference(&device->object);
        MachineTest::TearDown();
    }
    WorkQueues& queues() { return machine().GetWorkQueues(); }

    // Context of the recording routine.
    struct Call {
        WorkItemTest* test;
        int id;
        PIO_WORKITEM item = nullptr;
        bool freeItself = false;
    };
    static void Record(PDEVICE_OBJECT deviceObject, PVOID context)
    {
        auto* call = static_cast<Call*>(context);
        WorkItemTest* test = call->test;
        {
            std::lock_guard lock(test->mutex);
            test->runs.push_back(ItemRun{call->id, deviceObject, KeGetCurrentIrql(), std::this_thread::get_id(),
                                     !test->device->destroyed});
        }
        if (call->freeItself) IoFreeWorkItem(call->item);
    }
    std::vector<int> Order()
    {
        std::lock_guard lock(mutex);
        std::vector<int> ids;
        for (const ItemRun& run : runs) ids.push_back(run.id);
        return ids;
    }

    std::unique_ptr<Device> device;
    std::mutex mutex;
    std::vector<ItemRun> runs;
};

// ---------------------------------------------------------------------------------------------
// Deterministic mode
// ---------------------------------------------------------------------------------------------

TEST_F(WorkItemTest, DeterministicItemsWaitForTheDrainAndRunInQueueOrderAtPassiveLevel)
{
    queues().SetDeterministic(true);
    PIO_WORKITEM items[3];
    Call calls[3] = {{this, 1}, {this, 2}, {this, 3}};
    for (PIO_WORKITEM& item : items) ASSERT_NE(item = IoAllocateWorkItem(&device->object), nullptr);
    IoQueueWorkItem(items[0], Record, DelayedWorkQueue, &calls[0]);
    {
        testing::ScopedIrql dispatch(DISPATCH_LEVEL);  // queueing is legal up to DISPATCH_LEVEL
        IoQueueWorkItem(items[1], Record, CriticalWorkQueue, &calls[1]);
    }
    IoQueueWorkItem(items[2], Record, DelayedWorkQueue, &calls[2]);
    EXPECT_EQ(queues().QueuedCount(), 3u);
    EXPECT_TRUE(runs.empty());

    EXPECT_EQ(queues().DrainWorkQueues(), 3u);
    EXPECT_EQ(Order(), (std::vector<int>{1, 2, 3}));
    for (const ItemRun& run : runs) {
        EXPECT_EQ(run.device, &device->object);
        EXPECT_EQ(run.irql, PASSIVE_LEVEL);
        EXPECT_EQ(run.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(queues().QueuedCount(), 0u);
    for (PIO_WORKITEM item : items) IoFreeWorkItem(item);
    EXPECT_EQ(machine().GetPool().LiveCount(kWorkItemTag), 0u);
}

TEST_F(WorkItemTest, AnItemMayFreeItselfOrQueueItselfAgainFromItsRoutine)
{
    queues().SetDeterministic(true);
    Call freeing{this, 1, nullptr, true};
    freeing.item = IoAllocateWorkItem(&device->object);
    IoQueueWorkItem(freeing.item, Record, DelayedWorkQueue, &freeing);

    struct Again {
        PIO_WORKITEM item;
        int runs = 0;
        static void Routine(PDEVICE_OBJECT, PVOID context)
        {
            auto* self = static_cast<Again*>(context);
            if (++self->runs < 3) IoQueueWorkItem(self->item, Routine, DelayedWorkQueue, self);
        }
    } again{IoAllocateWorkItem(&device->object)};
    IoQueueWorkItem(again.item, Again::Routine, DelayedWorkQueue, &again);

    EXPECT_EQ(queues().DrainWorkQueues(), 4u);
    EXPECT_EQ(Order(), std::vector<int>{1});
    EXPECT_EQ(again.runs, 3);
    EXPECT_EQ(machine().GetPool().LiveCount(kWorkItemTag), 1u);  // only `again` is left
    IoFreeWorkItem(again.item);
    EXPECT_EQ(machine().GetPool().LiveCount(kWorkItemTag), 0u);
}

TEST_F(WorkItemTest, TheDeviceStaysReferencedUntilTheRoutineHasReturned)
{
    queues().SetDeterministic(true);
    Call call{this, 1, nullptr, true};
    call.item = IoAllocateWorkItem(&device->object);
    IoQueueWorkItem(call.item, Record, DelayedWorkQueue, &call);
    machine().GetObjectManager().Dereference(&device->object);  // the driver deletes its device
    EXPECT_FALSE(device->destroyed);

    queues().DrainWorkQueues();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_TRUE(runs[0].deviceAlive);
    EXPECT_TRUE(device->destroyed);  // the item's reference was the last
}

TEST_F(WorkItemTest, DeterministicThenConcurrentHandsWaitingItemsToTheWorkers)
{
    queues().SetDeterministic(true);
    std::vector<Call> calls;
    for (int i = 0; i < 6; ++i) calls.push_back(Call{this, i, nullptr, true});
    for (Call& call : calls) {
        call.item = IoAllocateWorkItem(&device->object);
        IoQueueWorkItem(call.item, Record, call.id % 2 ? CriticalWorkQueue : DelayedWorkQueue, &call);
    }
    EXPECT_EQ(queues().QueuedCount(), 6u);
    queues().SetDeterministic(false);
    ASSERT_TRUE(queues().WaitIdle());
    std::vector<int> order = Order();
    std::sort(order.begin(), order.end());
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    for (const ItemRun& run : runs) {
        EXPECT_NE(run.thread, std::this_thread::get_id());
        EXPECT_EQ(run.irql, PASSIVE_LEVEL);
    }
    EXPECT_EQ(machine().GetPool().LiveCount(kWorkItemTag), 0u);
}

// ---------------------------------------------------------------------------------------------
// Concurrent mode
// ---------------------------------------------------------------------------------------------

TEST_F(WorkItemTest, ConcurrentItemsOfOneQueueRunAtTheSameTime)
{
    // Each routine signals its own event and waits for the other's: only workers running side by
    // side get both through.
    struct Pair {
        KEVENT mine;
        KEVENT* theirs;
    } a{}, b{};
    KeInitializeEvent(&a.mine, NotificationEvent, FALSE);
    KeInitializeEvent(&b.mine, NotificationEvent, FALSE);
    a.theirs = &b.mine;
    b.theirs = &a.mine;
    auto routine = [](PDEVICE_OBJECT, PVOID context) {
        auto* pair = static_cast<Pair*>(context);
        KeSetEvent(&pair->mine, 0, FALSE);
        KeWaitForSingleObject(pair->theirs, Executive, KernelMode, FALSE, nullptr);
    };
    PIO_WORKITEM first = IoAllocateWorkItem(&device->object), second = IoAllocateWorkItem(&device->object);
    IoQueueWorkItem(first, routine, DelayedWorkQueue, &a);
    IoQueueWorkItem(second, routine, DelayedWorkQueue, &b);
    EXPECT_TRUE(queues().WaitIdle());
    EXPECT_EQ(queues().ItemsRun(), 2u);
    IoFreeWorkItem(first);
    IoFreeWorkItem(second);
}

TEST_F(WorkItemTest, AWorkItemQueuedFromADpcRunsAtPassiveLevelOnAWorker)
{
    struct Context {
        WorkItemTest* test;
        PIO_WORKITEM item;
        Call call;
    } context{this, IoAllocateWorkItem(&device->object), Call{this, 7}};
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID c, PVOID, PVOID) {
            auto* ctx = static_cast<Context*>(c);
            IoQueueWorkItem(ctx->item, Record, CriticalWorkQueue, &ctx->call);
        },
        &context);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    ASSERT_TRUE(queues().WaitIdle());
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].irql, PASSIVE_LEVEL);
    IoFreeWorkItem(context.item);
}

// Queues four items that wait on a gate, opens the gate, and shuts the machine down.
void ShutDownWithQueuedItems(WorkQueues& queues, PDEVICE_OBJECT device, std::atomic<int>& ran)
{
    static KEVENT gate;
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    for (int i = 0; i < 4; ++i) {
        IoQueueWorkItem(
            IoAllocateWorkItem(device),
            [](PDEVICE_OBJECT, PVOID counter) {
                KeWaitForSingleObject(&gate, Executive, KernelMode, FALSE, nullptr);
                ++*static_cast<std::atomic<int>*>(counter);
            },
            DelayedWorkQueue, &ran);
    }
    KeSetEvent(&gate, 0, FALSE);
}

TEST_F(WorkItemTest, ShutdownRunsWhatIsStillQueuedInDeterministicMode)
{
    queues().SetDeterministic(true);
    std::atomic<int> ran{0};
    ShutDownWithQueuedItems(queues(), &device->object, ran);
    EXPECT_EQ(ran.load(), 0);
    ShutDownMachine();  // the machine's pool takes the items with it
    EXPECT_EQ(ran.load(), 4);
}

TEST_F(WorkItemTest, ShutdownWaitsForQueuedAndRunningItemsInConcurrentMode)
{
    std::atomic<int> ran{0};
    ShutDownWithQueuedItems(queues(), &device->object, ran);
    ShutDownMachine();
    EXPECT_EQ(ran.load(), 4);
}

// ---------------------------------------------------------------------------------------------
// Verifier checks
// ---------------------------------------------------------------------------------------------

TEST_F(WorkItemTest, QueueingAQueuedItemOrFreeingItIsReportedAndTheItemDoesNotRun)
{
    queues().SetDeterministic(true);
    Call call{this, 1};
    PIO_WORKITEM item = IoAllocateWorkItem(&device->object);
    IoQueueWorkItem(item, Record, DelayedWorkQueue, &call);
    IoQueueWorkItem(item, Record, DelayedWorkQueue, &call);
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
    EXPECT_EQ(queues().QueuedCount(), 1u);

    machine().GetObjectManager().Dereference(&device->object);
    IoFreeWorkItem(item);  // still queued
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
    EXPECT_TRUE(device->destroyed);  // the dropped item gave its reference back
    EXPECT_EQ(queues().DrainWorkQueues(), 0u);
    EXPECT_TRUE(runs.empty());

    IoFreeWorkItem(item);
    EXPECT_EQ(Take(Violation::BadFree), 1u);
}

TEST_F(WorkItemTest, ARoutineReturningAtRaisedIrqlOrHoldingASpinLockIsReported)
{
    queues().SetDeterministic(true);
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    PIO_WORKITEM raises = IoAllocateWorkItem(&device->object), holds = IoAllocateWorkItem(&device->object);
    IoQueueWorkItem(raises, [](PDEVICE_OBJECT, PVOID) { KeRaiseIrqlToDpcLevel(); }, DelayedWorkQueue, nullptr);
    IoQueueWorkItem(holds, [](PDEVICE_OBJECT, PVOID) { KIRQL old; KeAcquireSpinLock(&lock, &old); }, DelayedWorkQueue,
                    nullptr);
    queues().DrainWorkQueues();
    EXPECT_EQ(Take(Violation::Bugcheck), 2u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);  // given back
    KeReleaseSpinLock(&lock, old);
    IoFreeWorkItem(raises);
    IoFreeWorkItem(holds);
}

TEST_F(WorkItemTest, AllocationFailsCleanlyWhenThePoolRefuses)
{
    machine().GetPool().FailNextWithTag(kWorkItemTag);
    EXPECT_EQ(IoAllocateWorkItem(&device->object), nullptr);
    IoAllocateWorkItem(nullptr);
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
}

}  // namespace
}  // namespace emu
