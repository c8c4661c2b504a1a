// Throughput of the framework's serial queues on an emulated machine: the read queue delivering
// received chunks into waiting reads, and the write queue handing requests to the device in blocks
// that the device confirms at once. Reported as bytes and requests per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "machine.h"
#include "tfbuffer.h"
#include "tfmemorytracker.h"
#include "tfreadqueue.h"
#include "tfwritequeue.h"

namespace {

// One machine with the framework library referenced, for one benchmark run.
class Session {
public:
    Session() : m_referenced(TfLibraryAddReference()) {}
    ~Session()
    {
        if (m_referenced) TfLibraryRelease();
    }
    bool Ok() const { return m_referenced; }

private:
    emu::Machine m_machine;
    bool m_referenced;
};

// A request the benchmark reuses: one stack location over its own system buffer.
class Request {
public:
    explicit Request(ULONG length) : m_buffer(length, 0), m_irp(IoAllocateIrp(1, FALSE)) {}
    ~Request()
    {
        if (m_irp) IoFreeIrp(m_irp);
    }
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    PIRP Prepare(UCHAR major)
    {
        IoReuseIrp(m_irp, STATUS_SUCCESS);
        IoSetCompletionRoutine(m_irp, &Request::OnComplete, this, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(m_irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(m_irp);
        stack->MajorFunction = major;
        if (major == IRP_MJ_READ) {
            stack->Parameters.Read.Length = static_cast<ULONG>(m_buffer.size());
        } else {
            stack->Parameters.Write.Length = static_cast<ULONG>(m_buffer.size());
        }
        m_irp->AssociatedIrp.SystemBuffer = m_buffer.data();
        return m_irp;
    }
    bool Ok() const { return m_irp != nullptr; }
    uint64_t Completions() const { return m_completions; }
    uint64_t Failures() const { return m_failures; }

private:
    static NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* self = static_cast<Request*>(context);
        ++self->m_completions;
        if (irp->IoStatus.Status != STATUS_SUCCESS) ++self->m_failures;
        return STATUS_MORE_PROCESSING_REQUIRED;  // the benchmark keeps the IRP
    }

    std::vector<UCHAR> m_buffer;
    PIRP m_irp;
    uint64_t m_completions = 0;
    uint64_t m_failures = 0;
};

void Report(benchmark::State& state, uint64_t requests, uint64_t bytes, uint64_t failures)
{
    state.SetItemsProcessed(static_cast<int64_t>(requests));
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    if (failures != 0) state.SkipWithError("a request did not complete with STATUS_SUCCESS");
}

// ----- read queue ----------------------------------------------------------------------------------

// Each iteration: a read of N bytes waits, then a chunk of N bytes arrives and completes it.
void BM_ReadQueueDeliversIntoPendingReads(benchmark::State& state)
{
    const ULONG length = static_cast<ULONG>(state.range(0));
    Session session;
    if (!session.Ok()) return state.SkipWithError("no framework library");
    CTfReadQueue* queue = new (NonPagedPool) CTfReadQueue();
    queue->m_SetAccept(TRUE);
    Request read(length);
    std::vector<UCHAR> data(length, 0x5A);

    uint64_t waited = 0;
    for (auto _ : state) {
        if (queue->m_QueueIrp(read.Prepare(IRP_MJ_READ)) == STATUS_PENDING) ++waited;
        CTfBuffer* chunk = new (NonPagedPool) CTfBuffer();
        chunk->m_Assign(data.data(), length);
        queue->m_DataForPendingIrpArrived(chunk);
    }
    delete queue;
    if (waited != read.Completions()) state.SkipWithError("a read did not wait for its data");
    Report(state, read.Completions(), read.Completions() * length, read.Failures());
}
BENCHMARK(BM_ReadQueueDeliversIntoPendingReads)->Arg(1)->Arg(62)->Arg(4096);

// Each iteration: a chunk of N bytes is buffered, then a read of N bytes takes it at once.
void BM_ReadQueueServesBufferedData(benchmark::State& state)
{
    const ULONG length = static_cast<ULONG>(state.range(0));
    Session session;
    if (!session.Ok()) return state.SkipWithError("no framework library");
    CTfReadQueue* queue = new (NonPagedPool) CTfReadQueue();
    queue->m_SetAccept(TRUE);
    Request read(length);
    std::vector<UCHAR> data(length, 0x5A);

    for (auto _ : state) {
        CTfBuffer* chunk = new (NonPagedPool) CTfBuffer();
        chunk->m_Assign(data.data(), length);
        queue->m_DataForPendingIrpArrived(chunk);
        queue->m_QueueIrp(read.Prepare(IRP_MJ_READ));
    }
    delete queue;
    Report(state, read.Completions(), read.Completions() * length, read.Failures());
}
BENCHMARK(BM_ReadQueueServesBufferedData)->Arg(1)->Arg(62)->Arg(4096);

// ----- write queue ---------------------------------------------------------------------------------

// The device: takes every block and confirms it at once, on the sending thread.
struct Device {
    CTfWriteQueue* queue = nullptr;
    uint64_t blocks = 0;
    uint64_t bytes = 0;

    static BOOLEAN OnWrite(PVOID context, CTfBuffer* chunk)
    {
        auto* self = static_cast<Device*>(context);
        ULONG length = chunk->m_GetLength();
        ++self->blocks;
        self->bytes += length;
        chunk->m_Delete();
        self->queue->m_DataWritten(length);
        return TRUE;
    }
};

// A write queue that starts blocks on the queuing thread, with the device above attached.
CTfWriteQueue* NewWriteQueue(Device& device)
{
    CTfWriteQueue* queue = new (NonPagedPool) CTfWriteQueue();
    queue->m_SetExecutor(NULL);
    device.queue = queue;
    queue->m_SetWriteCallback(&Device::OnWrite, &device);
    queue->m_ResetForOpen();
    return queue;
}

// Each iteration: one write of N bytes goes out as one block and is confirmed.
void BM_WriteQueueSendsSingleWrites(benchmark::State& state)
{
    const ULONG length = static_cast<ULONG>(state.range(0));
    Session session;
    if (!session.Ok()) return state.SkipWithError("no framework library");
    Device device;
    CTfWriteQueue* queue = NewWriteQueue(device);
    queue->m_DataWritten(1 << 20);  // the initial credit
    Request write(length);

    for (auto _ : state) {
        queue->m_QueueIrp(write.Prepare(IRP_MJ_WRITE));
    }
    uint64_t blocks = device.blocks;
    delete queue;
    if (blocks != write.Completions()) state.SkipWithError("writes were not sent one block each");
    Report(state, write.Completions(), write.Completions() * length, write.Failures());
    state.counters["blocks"] = benchmark::Counter(static_cast<double>(blocks), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WriteQueueSendsSingleWrites)->Arg(1)->Arg(64)->Arg(4096);

// Each iteration: eight writes of N bytes wait for the port's first credit after an open, then go
// out joined in one block.
void BM_WriteQueueJoinsWritesIntoBlocks(benchmark::State& state)
{
    constexpr int kBatch = 8;
    const ULONG length = static_cast<ULONG>(state.range(0));
    Session session;
    if (!session.Ok()) return state.SkipWithError("no framework library");
    Device device;
    CTfWriteQueue* queue = NewWriteQueue(device);
    std::vector<std::unique_ptr<Request>> writes;
    for (int i = 0; i < kBatch; ++i) writes.push_back(std::make_unique<Request>(length));

    for (auto _ : state) {
        queue->m_ResetForOpen();
        for (auto& write : writes) queue->m_QueueIrp(write->Prepare(IRP_MJ_WRITE));
        queue->m_DataWritten(kBatch * length);
    }
    uint64_t blocks = device.blocks;
    delete queue;
    uint64_t completions = 0, failures = 0;
    for (auto& write : writes) {
        completions += write->Completions();
        failures += write->Failures();
    }
    if (completions != blocks * kBatch) state.SkipWithError("writes were not joined into blocks");
    Report(state, completions, completions * length, failures);
    state.counters["blocks"] = benchmark::Counter(static_cast<double>(blocks), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WriteQueueJoinsWritesIntoBlocks)->Arg(1)->Arg(64)->Arg(512);

}  // namespace

BENCHMARK_MAIN();
