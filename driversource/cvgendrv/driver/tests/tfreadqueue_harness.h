// Test harness for the read queue: the queue acts inside a scripted port driver. Reads are IRPs
// with a poisoned system buffer (so bytes the queue never wrote show up), received data is fed
// as data chunks, and the owner hook records every amount change with the IRQL it came at.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <vector>

#include "ke/clock.h"
#include "ke/dpc_manager.h"
#include "ex/pool.h"
#include "machine_test.h"
#include "tfbuffer.h"
#include "tfmemorytracker.h"
#include "tfreadqueue.h"

namespace tfreadqueue_test {

constexpr UCHAR kPoison = 0xCD;
constexpr ULONG kMax = MAXULONG;

// Byte i of the received stream; never the poison byte.
inline UCHAR StreamByte(size_t i) { return static_cast<UCHAR>(i % 200); }
inline std::vector<UCHAR> Stream(size_t first, size_t count)
{
    std::vector<UCHAR> bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = StreamByte(first + i);
    return bytes;
}

// A read request as the I/O manager hands it to the port driver: IRP_MJ_READ with one stack
// location and a system buffer. A completion routine records the one completion it may have.
class ReadRequest {
public:
    explicit ReadRequest(ULONG length, bool withSystemBuffer = true) : m_buffer(length, kPoison)
    {
        m_irp = IoAllocateIrp(1, FALSE);
        if (!m_irp) return;
        IoSetCompletionRoutine(m_irp, &ReadRequest::OnComplete, this, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(m_irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(m_irp);
        stack->MajorFunction = IRP_MJ_READ;
        stack->Parameters.Read.Length = length;
        m_irp->AssociatedIrp.SystemBuffer = withSystemBuffer ? m_buffer.data() : nullptr;
    }
    ~ReadRequest()
    {
        if (m_irp) IoFreeIrp(m_irp);
    }
    ReadRequest(const ReadRequest&) = delete;
    ReadRequest& operator=(const ReadRequest&) = delete;

    PIRP Irp() const { return m_irp; }
    ULONG Length() const { return static_cast<ULONG>(m_buffer.size()); }

    int Completions() const
    {
        std::lock_guard lock(m_mutex);
        return m_completions;
    }
    bool Completed() const { return Completions() != 0; }
    NTSTATUS Status() const
    {
        std::lock_guard lock(m_mutex);
        return m_status;
    }
    ULONG Information() const
    {
        std::lock_guard lock(m_mutex);
        return m_information;
    }
    // Position of the completion among all completions of the process (to check their order).
    uint64_t Order() const
    {
        std::lock_guard lock(m_mutex);
        return m_order;
    }
    // The bytes the request returned (its first Information bytes at completion).
    std::vector<UCHAR> Data() const
    {
        std::lock_guard lock(m_mutex);
        return m_data;
    }
    // Waits (bounded in real time, for threaded tests) until the request completed.
    bool WaitCompleted(std::chrono::milliseconds bound = std::chrono::seconds(10)) const
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, bound, [&] { return m_completions != 0; });
    }

private:
    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* self = static_cast<ReadRequest*>(context);
        std::lock_guard lock(self->m_mutex);
        ++self->m_completions;
        self->m_order = NextOrder()++;
        self->m_status = irp->IoStatus.Status;
        self->m_information = static_cast<ULONG>(irp->IoStatus.Information);
        size_t count = std::min<size_t>(self->m_information, self->m_buffer.size());
        self->m_data.assign(self->m_buffer.begin(), self->m_buffer.begin() + count);
        self->m_changed.notify_all();
        // The request belongs to the test, which frees it.
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    static std::atomic<uint64_t>& NextOrder()
    {
        static std::atomic<uint64_t> next{1};
        return next;
    }

    PIRP m_irp = nullptr;
    std::vector<UCHAR> m_buffer;
    uint64_t m_order = 0;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    int m_completions = 0;
    NTSTATUS m_status = STATUS_PENDING;
    ULONG m_information = 0;
    std::vector<UCHAR> m_data;
};

struct AmountChange {
    ULONG newAmount;
    ULONG oldAmount;
    KIRQL irql;
    bool operator==(const AmountChange& other) const
    {
        return newAmount == other.newAmount && oldAmount == other.oldAmount;
    }
};

inline void PrintTo(const AmountChange& change, std::ostream* os)
{
    *os << "(new " << change.newAmount << ", old " << change.oldAmount << ")";
}

// Each test is one driver image holding a library reference and one read queue, on a machine whose
// clock stands still unless the test advances it.
class ReadQueueTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        machine().GetClock().SetScale(0);
        ASSERT_TRUE(TfLibraryAddReference());
        m_queue = new (NonPagedPool) CTfReadQueue();
        ASSERT_NE(nullptr, m_queue);
        m_queue->m_SetAccept(TRUE);
        m_queue->m_SetDataAmountChangedCallback(&ReadQueueTest::OnAmountChanged, this);
    }

    void TearDown() override
    {
        DeleteQueue();
        // The queue's tear-down completes whatever still waited: every request exactly once.
        for (auto& request : m_requests) EXPECT_EQ(1, request->Completions());
        m_requests.clear();
        TfLibraryRelease();
        EXPECT_EQ(0u, machine().GetPool().LiveCount(TF_TAG_TRACKED));
        MachineTest::TearDown();
    }

    CTfReadQueue& Queue() { return *m_queue; }
    void DeleteQueue()
    {
        delete m_queue;
        m_queue = nullptr;
    }

    // A new read request owned by the fixture (freed after the queue is gone).
    ReadRequest& NewRead(ULONG length, bool withSystemBuffer = true)
    {
        m_requests.push_back(std::make_unique<ReadRequest>(length, withSystemBuffer));
        return *m_requests.back();
    }
    // Hands a new read to the queue; *result receives m_QueueIrp's answer.
    ReadRequest& Read(ULONG length, NTSTATUS* result = nullptr)
    {
        ReadRequest& request = NewRead(length);
        NTSTATUS status = Queue().m_QueueIrp(request.Irp());
        if (result) *result = status;
        return request;
    }

    // A data chunk holding the next count bytes of the stream (not handed over).
    CTfBuffer* NextChunk(size_t count)
    {
        CTfBuffer* chunk = new (NonPagedPool) CTfBuffer();
        EXPECT_NE(nullptr, chunk);
        if (count) {
            std::vector<UCHAR> bytes = Stream(m_fed, count);
            EXPECT_TRUE(chunk->m_Assign(bytes.data(), static_cast<ULONG>(count)));
        }
        m_fed += count;
        return chunk;
    }
    // Feeds the next count bytes of the stream as one chunk.
    void Feed(size_t count) { Queue().m_DataForPendingIrpArrived(NextChunk(count)); }

    void SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant)
    {
        Queue().m_SetTimeouts(interval, multiplier, constant);
    }
    void AdvanceMs(ULONGLONG ms) { machine().GetClock().Advance(static_cast<LONGLONG>(ms) * 10000); }
    emu::DpcManager& Dpcs() { return machine().GetDpcs(); }

    std::vector<AmountChange> Changes()
    {
        std::lock_guard lock(m_mutex);
        return m_changes;
    }
    void ClearChanges()
    {
        std::lock_guard lock(m_mutex);
        m_changes.clear();
    }
    // Waits (bounded in real time) for the owner hook to have been called count times in all.
    bool WaitForChanges(size_t count)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10), [&] { return m_changes.size() >= count; });
    }

    size_t m_fed = 0;  // stream bytes fed so far

private:
    static void OnAmountChanged(PVOID context, ULONG newAmount, ULONG oldAmount)
    {
        auto* self = static_cast<ReadQueueTest*>(context);
        std::lock_guard lock(self->m_mutex);
        self->m_changes.push_back({newAmount, oldAmount, KeGetCurrentIrql()});
        self->m_changed.notify_all();
    }

    CTfReadQueue* m_queue = nullptr;
    std::vector<std::unique_ptr<ReadRequest>> m_requests;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<AmountChange> m_changes;
};

}  // namespace tfreadqueue_test
