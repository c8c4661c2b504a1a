// The cancel-safe IRP queue library, driven as a driver drives it: a dispatch routine queues the
// IRPs it receives, the driver takes them out again, and cancellations race it.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <functional>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include "io/io_manager.h"
#include "fake_lower_device.h"
#include "machine_test.h"

namespace emu::testing {
namespace {

// What the sender knows about one IRP it sent.
struct Sent {
    PIRP irp = nullptr;
    IO_CSQ_IRP_CONTEXT context{};
    PVOID tag = nullptr;  // the queue's peek contexts select IRPs by it
    std::atomic<int> completions{0};
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN pendingReturned = FALSE;
};

struct TestQueue;

// The IO_CSQ with a way back to its queue, as a driver embeds it in its extension.
struct QueueHeader {
    IO_CSQ csq;
    TestQueue* owner;
};

// A driver's queue: a list through Tail.Overlay.ListEntry under a spin lock, with hooks.
struct TestQueue {
    QueueHeader header{{}, this};
    IO_CSQ& csq = header.csq;
    KSPIN_LOCK lock = 0;
    LIST_ENTRY head{};
    std::atomic<std::thread::id> lockOwner{};

    NTSTATUS insertAnswer = STATUS_PENDING;
    PVOID lastInsertContext = nullptr;
    int inserts = 0;
    // Runs on every lock acquisition before the lock is taken (to hold a canceller up).
    std::function<void()> beforeAcquire;

    // What CsqCompleteCanceledIrp saw.
    std::atomic<int> cancelled{0};
    std::atomic<KIRQL> cancelIrql{PASSIVE_LEVEL};
    std::atomic<bool> completedUnderLock{false};

    explicit TestQueue(bool withStatus = true)
    {
        InitializeListHead(&head);
        KeInitializeSpinLock(&lock);
        if (withStatus)
            IoCsqInitializeEx(&csq, InsertEx, Remove, Peek, Acquire, Release, CompleteCanceled);
        else
            IoCsqInitialize(&csq, Insert, Remove, Peek, Acquire, Release, CompleteCanceled);
    }

    static TestQueue& Of(PIO_CSQ csq) { return *CONTAINING_RECORD(csq, QueueHeader, csq)->owner; }

    static NTSTATUS InsertEx(PIO_CSQ csq, PIRP irp, PVOID insertContext)
    {
        TestQueue& q = Of(csq);
        q.lastInsertContext = insertContext;
        ++q.inserts;
        if (!NT_SUCCESS(q.insertAnswer)) return q.insertAnswer;
        InsertTailList(&q.head, &irp->Tail.Overlay.ListEntry);
        return q.insertAnswer;
    }
    static void Insert(PIO_CSQ csq, PIRP irp) { (void)InsertEx(csq, irp, nullptr); }
    static void Remove(PIO_CSQ, PIRP irp) { RemoveEntryList(&irp->Tail.Overlay.ListEntry); }
    static PIRP Peek(PIO_CSQ csq, PIRP irp, PVOID peekContext)
    {
        TestQueue& q = Of(csq);
        for (PLIST_ENTRY entry = irp ? irp->Tail.Overlay.ListEntry.Flink : q.head.Flink; entry != &q.head;
             entry = entry->Flink) {
            PIRP candidate = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
            if (!peekContext || IoGetCurrentIrpStackLocation(candidate)->Parameters.Others.Argument2 == peekContext)
                return candidate;
        }
        return nullptr;
    }
    static void Acquire(PIO_CSQ csq, PKIRQL irql)
    {
        TestQueue& q = Of(csq);
        if (q.beforeAcquire) q.beforeAcquire();
        KeAcquireSpinLock(&q.lock, irql);
        q.lockOwner = std::this_thread::get_id();
    }
    static void Release(PIO_CSQ csq, KIRQL irql)
    {
        TestQueue& q = Of(csq);
        q.lockOwner = std::thread::id{};
        KeReleaseSpinLock(&q.lock, irql);
    }
    static void CompleteCanceled(PIO_CSQ csq, PIRP irp)
    {
        TestQueue& q = Of(csq);
        if (q.lockOwner.load() == std::this_thread::get_id()) q.completedUnderLock = true;
        q.cancelIrql = KeGetCurrentIrql();
        ++q.cancelled;
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    size_t Length()
    {
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        size_t count = 0;
        for (PLIST_ENTRY entry = head.Flink; entry != &head; entry = entry->Flink) ++count;
        KeReleaseSpinLock(&lock, irql);
        return count;
    }
};

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class CsqTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        m_device = std::make_unique<FakeLowerDevice>(1);
        // The driver's read dispatch: queue with the sender's context, or fail the request.
        m_device->SetBehaviour(FakeLowerDevice::Behaviour::Custom([this](PDEVICE_OBJECT, PIRP irp) {
            auto* sent = static_cast<Sent*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
            NTSTATUS status = IoCsqInsertIrpEx(&m_queue->csq, irp, m_useContext ? &sent->context : nullptr, sent);
            return NT_SUCCESS(status) ? STATUS_PENDING : CompleteWith(irp, status);
        }));
    }
    void TearDown() override
    {
        for (auto& sent : m_sent)
            if (sent->irp) IoFreeIrp(sent->irp);
        m_device.reset();
        MachineTest::TearDown();
    }

    static NTSTATUS OnCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* sent = static_cast<Sent*>(context);
        sent->status = irp->IoStatus.Status;
        sent->pendingReturned = irp->PendingReturned;
        ++sent->completions;
        return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is the sender's own
    }

    Sent& NewIrp(PVOID tag = nullptr)
    {
        m_sent.push_back(std::make_unique<Sent>());
        Sent& sent = *m_sent.back();
        sent.irp = IoAllocateIrp(1, FALSE);
        sent.tag = tag;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(sent.irp);
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Others.Argument1 = &sent;
        next->Parameters.Others.Argument2 = tag;
        IoSetCompletionRoutine(sent.irp, OnCompletion, &sent, TRUE, TRUE, TRUE);
        return sent;
    }
    NTSTATUS Send(Sent& sent) { return IoCallDriver(m_device->Device(), sent.irp); }
    Sent& SendNew(PVOID tag = nullptr)
    {
        Sent& sent = NewIrp(tag);
        EXPECT_EQ(Send(sent), STATUS_PENDING);
        return sent;
    }
    // The driver finishes a request it took out of the queue.
    static void Finish(PIRP irp) { CompleteWith(irp, STATUS_SUCCESS); }
    // Makes the IRP reusable for another round.
    void Recycle(Sent& sent)
    {
        IoReuseIrp(sent.irp, STATUS_SUCCESS);
        sent.completions = 0;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(sent.irp);
        next->MajorFunction = IRP_MJ_READ;
        next->Parameters.Others.Argument1 = &sent;
        next->Parameters.Others.Argument2 = sent.tag;
        IoSetCompletionRoutine(sent.irp, OnCompletion, &sent, TRUE, TRUE, TRUE);
    }

    std::unique_ptr<TestQueue> m_queue = std::make_unique<TestQueue>();
    std::unique_ptr<FakeLowerDevice> m_device;
    std::vector<std::unique_ptr<Sent>> m_sent;
    bool m_useContext = true;
};

TEST_F(CsqTest, RefusedInsertionLeavesTheIrpToTheCaller)
{
    m_queue->insertAnswer = STATUS_INSUFFICIENT_RESOURCES;
    Sent& sent = NewIrp();
    PIRP irp = sent.irp;
    sent.context.Irp = reinterpret_cast<PIRP>(0x1234);  // an out parameter nobody filled yet
    m_device->SetBehaviour(FakeLowerDevice::Behaviour::Custom([&](PDEVICE_OBJECT, PIRP received) {
        NTSTATUS status = IoCsqInsertIrpEx(&m_queue->csq, received, &sent.context, &sent);
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(IoGetCurrentIrpStackLocation(received)->Control & SL_PENDING_RETURNED, 0);
        EXPECT_EQ(received->CancelRoutine, nullptr);
        EXPECT_EQ(received->Tail.Overlay.DriverContext[3], nullptr);
        EXPECT_EQ(sent.context.Irp, reinterpret_cast<PIRP>(0x1234));
        EXPECT_NE(m_queue->lockOwner.load(), std::this_thread::get_id()) << "lock left held";
        return CompleteWith(received, status);
    }));
    EXPECT_EQ(Send(sent), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(m_queue->lastInsertContext, &sent);
    EXPECT_EQ(sent.completions, 1);
    EXPECT_EQ(sent.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(sent.pendingReturned);
    EXPECT_EQ(m_queue->Length(), 0u);
    EXPECT_EQ(irp->CancelRoutine, nullptr);
}

TEST_F(CsqTest, QueuedIrpIsPendingBoundAndCancellable)
{
    Sent& sent = SendNew();
    EXPECT_EQ(m_queue->lastInsertContext, &sent);
    EXPECT_EQ(sent.context.Type, ULONG{IO_TYPE_CSQ_IRP_CONTEXT});
    EXPECT_EQ(sent.context.Irp, sent.irp);
    EXPECT_EQ(sent.context.Csq, &m_queue->csq);
    EXPECT_EQ(sent.irp->Tail.Overlay.DriverContext[3], &sent.context);
    EXPECT_NE(sent.irp->CancelRoutine, nullptr);
    EXPECT_EQ(sent.completions, 0);

    EXPECT_TRUE(IoCancelIrp(sent.irp));
    EXPECT_EQ(sent.completions, 1);
    EXPECT_EQ(sent.status, STATUS_CANCELLED);
    EXPECT_TRUE(sent.pendingReturned);
    EXPECT_EQ(sent.context.Irp, nullptr);
    EXPECT_EQ(m_queue->Length(), 0u);
    EXPECT_FALSE(m_queue->completedUnderLock);
    // Removal finds nothing once the cancellation has taken the IRP.
    EXPECT_EQ(IoCsqRemoveIrp(&m_queue->csq, &sent.context), nullptr);
}

TEST_F(CsqTest, WithoutContextTheIrpNamesItsQueue)
{
    m_useContext = false;
    Sent& sent = SendNew();
    EXPECT_EQ(sent.irp->Tail.Overlay.DriverContext[3], &m_queue->csq);
    EXPECT_TRUE(IoCancelIrp(sent.irp));
    EXPECT_EQ(sent.status, STATUS_CANCELLED);
    EXPECT_EQ(m_queue->cancelled, 1);
}

TEST_F(CsqTest, AlreadyCancelledIrpIsCompletedDuringInsertion)
{
    Sent& sent = NewIrp();
    EXPECT_FALSE(IoCancelIrp(sent.irp));  // nobody has a cancel routine on it yet
    EXPECT_TRUE(sent.irp->Cancel);

    EXPECT_EQ(Send(sent), STATUS_PENDING);
    // Completed before the dispatch returned, with the lock released.
    EXPECT_EQ(sent.completions, 1);
    EXPECT_EQ(sent.status, STATUS_CANCELLED);
    EXPECT_TRUE(sent.pendingReturned);
    EXPECT_FALSE(m_queue->completedUnderLock);
    EXPECT_EQ(m_queue->inserts, 1);
    EXPECT_EQ(m_queue->Length(), 0u);
    EXPECT_EQ(sent.context.Irp, nullptr);
    EXPECT_EQ(sent.irp->Tail.Overlay.DriverContext[3], nullptr);
    EXPECT_EQ(sent.irp->CancelRoutine, nullptr);
}

TEST_F(CsqTest, RemovalByContextTakesTheIrpAwayFromCancellation)
{
    Sent& first = SendNew();
    Sent& second = SendNew();
    PIRP irp = IoCsqRemoveIrp(&m_queue->csq, &second.context);
    ASSERT_EQ(irp, second.irp);
    EXPECT_EQ(irp->CancelRoutine, nullptr);
    EXPECT_EQ(irp->Tail.Overlay.DriverContext[3], nullptr);
    EXPECT_EQ(second.context.Irp, nullptr);
    EXPECT_EQ(IoCsqRemoveIrp(&m_queue->csq, &second.context), nullptr);
    EXPECT_FALSE(IoCancelIrp(irp));
    Finish(irp);
    EXPECT_EQ(second.completions, 1);
    EXPECT_EQ(second.status, STATUS_SUCCESS);

    EXPECT_EQ(m_queue->Length(), 1u);
    EXPECT_EQ(IoCsqRemoveNextIrp(&m_queue->csq, nullptr), first.irp);
    EXPECT_EQ(first.context.Irp, nullptr);
    EXPECT_EQ(IoCsqRemoveNextIrp(&m_queue->csq, nullptr), nullptr);
    Finish(first.irp);
    EXPECT_EQ(m_queue->cancelled, 0);
}

TEST_F(CsqTest, PeekContextSelectsWhichIrpComesNext)
{
    int a = 0, b = 0;
    Sent& a1 = SendNew(&a);
    Sent& b1 = SendNew(&b);
    Sent& a2 = SendNew(&a);
    EXPECT_EQ(IoCsqRemoveNextIrp(&m_queue->csq, &b), b1.irp);
    EXPECT_EQ(IoCsqRemoveNextIrp(&m_queue->csq, &b), nullptr);
    EXPECT_EQ(IoCsqRemoveNextIrp(&m_queue->csq, &a), a1.irp);
    EXPECT_EQ(IoCsqRemoveNextIrp(&m_queue->csq, &a), a2.irp);
    EXPECT_EQ(IoCsqRemoveNextIrp(&m_queue->csq, &a), nullptr);
    for (Sent* sent : {&a1, &b1, &a2}) Finish(sent->irp);
}

// Holds a cancellation between taking the IRP's cancel routine and taking the queue lock: the
// window in which the driver still sees the IRP in its list.
class HeldCancellation {
public:
    explicit HeldCancellation(TestQueue& queue, PIRP irp) : m_queue(queue)
    {
        m_queue.beforeAcquire = [this] {
            if (std::this_thread::get_id() != m_canceller.load()) return;
            m_inWindow.count_down();
            m_release.wait();
        };
        m_thread = std::thread([this, irp] {
            m_canceller = std::this_thread::get_id();
            m_result = IoCancelIrp(irp);
        });
        m_inWindow.wait();
    }
    ~HeldCancellation() { Finish(); }
    bool Finish()
    {
        if (m_thread.joinable()) {
            m_release.count_down();
            m_thread.join();
            m_queue.beforeAcquire = nullptr;
        }
        return m_result;
    }

private:
    TestQueue& m_queue;
    std::latch m_inWindow{1};
    std::latch m_release{1};
    std::atomic<std::thread::id> m_canceller{};
    std::thread m_thread;
    bool m_result = false;
};

TEST_F(CsqTest, IrpBeingCancelledIsLeftToItsCancellation)
{
    Sent& cancelled = SendNew();
    Sent& next = SendNew();
    HeldCancellation cancellation(*m_queue, cancelled.irp);

    // Still listed, but the cancellation owns it.
    EXPECT_EQ(m_queue->Length(), 2u);
    EXPECT_EQ(IoCsqRemoveIrp(&m_queue->csq, &cancelled.context), nullptr);
    EXPECT_EQ(cancelled.context.Irp, cancelled.irp);
    EXPECT_EQ(IoCsqRemoveNextIrp(&m_queue->csq, nullptr), next.irp);
    EXPECT_EQ(IoCsqRemoveNextIrp(&m_queue->csq, nullptr), nullptr);
    EXPECT_EQ(cancelled.completions, 0);

    EXPECT_TRUE(cancellation.Finish());
    EXPECT_EQ(cancelled.completions, 1);
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled.context.Irp, nullptr);
    EXPECT_EQ(m_queue->Length(), 0u);
    Finish(next.irp);
    EXPECT_EQ(next.status, STATUS_SUCCESS);
}

TEST_F(CsqTest, CancellationRacingRemovalCompletesEachIrpOnce)
{
    constexpr int kRounds = 1000;
    Sent& sent = NewIrp();
    std::atomic<bool> removed{false};
    std::atomic<KIRQL> cancellerIrql{PASSIVE_LEVEL};
    std::barrier start(3), done(3);
    std::atomic<bool> stop{false};
    // Widens the window between a cancellation taking the routine and taking the queue lock,
    // where a removal that ignores the routine would take the IRP too.
    std::atomic<std::thread::id> cancellerId{};
    m_queue->beforeAcquire = [&] {
        if (std::this_thread::get_id() != cancellerId.load()) return;
        for (int i = 0; i < 20; ++i) std::this_thread::yield();
    };

    std::thread canceller([&] {
        cancellerId = std::this_thread::get_id();
        for (int round = 0;; ++round) {
            start.arrive_and_wait();
            if (stop) return;
            // Every other round cancels from DISPATCH_LEVEL, as a timer DPC would.
            const KIRQL irql = (round & 1) ? DISPATCH_LEVEL : PASSIVE_LEVEL;
            cancellerIrql = irql;
            {
                KIRQL old;
                KeRaiseIrql(irql, &old);
                IoCancelIrp(sent.irp);
                KeLowerIrql(old);
            }
            done.arrive_and_wait();
        }
    });
    std::thread remover([&] {
        for (int round = 0;; ++round) {
            start.arrive_and_wait();
            if (stop) return;
            // Alternate the two ways a driver takes requests out.
            PIRP irp = (round & 2) ? IoCsqRemoveNextIrp(&m_queue->csq, nullptr)
                                   : IoCsqRemoveIrp(&m_queue->csq, &sent.context);
            if (irp) {
                removed = true;
                Finish(irp);
            }
            done.arrive_and_wait();
        }
    });

    for (int round = 0; round < kRounds; ++round) {
        removed = false;
        m_queue->cancelled = 0;
        ASSERT_EQ(Send(sent), STATUS_PENDING);
        start.arrive_and_wait();
        done.arrive_and_wait();
        ASSERT_EQ(sent.completions, 1) << "round " << round;
        ASSERT_EQ(sent.status, removed ? STATUS_SUCCESS : STATUS_CANCELLED) << "round " << round;
        if (!removed) {
            ASSERT_EQ(m_queue->cancelIrql.load(), cancellerIrql.load()) << "round " << round;
        }
        ASSERT_EQ(m_queue->Length(), 0u);
        ASSERT_EQ(sent.context.Irp, nullptr);
        Recycle(sent);
    }
    stop = true;
    start.arrive_and_wait();
    canceller.join();
    remover.join();
    m_queue->beforeAcquire = nullptr;
    EXPECT_FALSE(m_queue->completedUnderLock);
}

TEST_F(CsqTest, CancellationRacingInsertionCompletesEachIrpOnce)
{
    constexpr int kRounds = 1000;
    Sent& sent = NewIrp();
    std::barrier start(2), done(2);
    std::atomic<bool> stop{false};
    std::thread canceller([&] {
        for (;;) {
            start.arrive_and_wait();
            if (stop) return;
            IoCancelIrp(sent.irp);
            done.arrive_and_wait();
        }
    });
    for (int round = 0; round < kRounds; ++round) {
        start.arrive_and_wait();
        ASSERT_EQ(Send(sent), STATUS_PENDING);
        done.arrive_and_wait();
        // Whether the cancellation came before the routine was set or after, it ends the IRP.
        ASSERT_EQ(sent.completions, 1) << "round " << round;
        ASSERT_EQ(sent.status, STATUS_CANCELLED) << "round " << round;
        ASSERT_EQ(m_queue->Length(), 0u);
        Recycle(sent);
    }
    stop = true;
    start.arrive_and_wait();
    canceller.join();
}

// An IRP queued on one processor and cancelled later on another, with nothing else ordering the
// two: the queue's check of Cancel and IoCancelIrp's setting of it must not race (ThreadSanitizer
// sees a plain access here whatever the timing, since the flag below orders nothing).
TEST_F(CsqTest, IrpQueuedOnOneProcessorIsCancelledFromAnother)
{
    Sent& sent = NewIrp();
    std::atomic<bool> queued{false}, cancelled{false};
    // Both threads live until both are done: a thread's end would order it before the other.
    std::thread inserter([&] {
        EXPECT_EQ(Send(sent), STATUS_PENDING);
        queued.store(true, std::memory_order_relaxed);
        while (!cancelled.load(std::memory_order_relaxed)) std::this_thread::yield();
    });
    std::thread canceller([&] {
        while (!queued.load(std::memory_order_relaxed)) std::this_thread::yield();
        EXPECT_TRUE(IoCancelIrp(sent.irp));
        cancelled.store(true, std::memory_order_relaxed);
    });
    inserter.join();
    canceller.join();
    EXPECT_EQ(sent.completions, 1);
    EXPECT_EQ(sent.status, STATUS_CANCELLED);
    EXPECT_EQ(m_queue->Length(), 0u);
}

TEST_F(CsqTest, InsertionWithoutStatusFormAlwaysSucceeds)
{
    m_queue = std::make_unique<TestQueue>(false);
    EXPECT_EQ(m_queue->csq.Type, ULONG{IO_TYPE_CSQ});
    Sent& sent = SendNew();
    EXPECT_EQ(m_queue->lastInsertContext, nullptr);  // the plain form has no insert context
    EXPECT_EQ(sent.context.Irp, sent.irp);
    EXPECT_EQ(IoCsqRemoveIrp(&m_queue->csq, &sent.context), sent.irp);
    Finish(sent.irp);

    // The void form on its own: queued, pending, bound.
    m_device->SetBehaviour(FakeLowerDevice::Behaviour::Custom([this](PDEVICE_OBJECT, PIRP irp) {
        auto* s = static_cast<Sent*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        IoCsqInsertIrp(&m_queue->csq, irp, &s->context);
        return STATUS_PENDING;
    }));
    Sent& plain = SendNew();
    EXPECT_EQ(plain.context.Irp, plain.irp);
    EXPECT_TRUE(IoCancelIrp(plain.irp));
    EXPECT_EQ(plain.status, STATUS_CANCELLED);
}

TEST_F(CsqTest, IrpWithoutCurrentStackLocationIsReportedNotOverrun)
{
    PIRP irp = IoAllocateIrp(1, FALSE);  // never sent: it has no current location
    IO_CSQ_IRP_CONTEXT context{};
    EXPECT_EQ(IoCsqInsertIrpEx(&m_queue->csq, irp, &context, nullptr), STATUS_PENDING);
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
    EXPECT_EQ(IoCsqRemoveIrp(&m_queue->csq, &context), irp);
    IoFreeIrp(irp);
}

}  // namespace
}  // namespace emu::testing
