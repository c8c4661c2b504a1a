// Test harness of the write queue: a machine with a paused clock and deterministic work queues, a
// test driver whose write, flush and device-control dispatch feed the queue, and a scripted owner
// acting as the port driver (records every block, answers the write and transmitter-empty
// callbacks as told, may confirm bytes from inside its write callback), and the builder's hook, on
// which a test stages what another thread does while a request is out of the queues.
#pragma once

#include <gtest/gtest.h>

#include <wdm.h>
#include <ntddser.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

#include "ke/clock.h"
#include "ke/dpc_manager.h"
#include "ex/pool.h"
#include "ex/work_queues.h"
#include "machine_test.h"
#include "test_driver.h"
#include "tfmemorytracker.h"
#include "tfwritequeue.h"

namespace tfwq_test {

using Bytes = std::vector<uint8_t>;

// One request as its sender sees it. The count of completions is atomic: racing tests read it while
// other threads complete requests; the rest is read once every thread has joined.
struct Request {
    PIRP irp = nullptr;
    Bytes data;
    NTSTATUS returned = STATUS_SUCCESS;  // what the dispatch returned
    std::atomic<int> completions{0};
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    bool pendingReturned = false;

    bool Done() const { return completions > 0; }
};

// Bytes 0, 1, 2, ... starting at `first`, so every request's data is recognisable.
inline Bytes Pattern(size_t length, uint8_t first)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

class WriteQueueTest : public emu::testing::MachineTest {
protected:
    emu::MachineOptions Options() const override
    {
        emu::MachineOptions options;
        options.clockScale = 0;  // time moves only when a test advances it
        return options;
    }

    void SetUp() override
    {
        MachineTest::SetUp();
        ASSERT_TRUE(TfLibraryAddReference());
        machine().GetWorkQueues().SetDeterministic(true);
        m_driver = std::make_unique<emu::testing::TestDriver>(u"WqTest");
        m_driver->SetDispatch(IRP_MJ_WRITE, [this](PDEVICE_OBJECT, PIRP irp) { return m_queue->m_QueueIrp(irp); });
        m_driver->SetDispatch(IRP_MJ_FLUSH_BUFFERS,
                              [this](PDEVICE_OBJECT, PIRP irp) { return m_queue->m_QueueFlushIrp(irp); });
        m_driver->SetDispatch(IRP_MJ_DEVICE_CONTROL,
                              [this](PDEVICE_OBJECT, PIRP irp) { return m_queue->m_QueueXoffCounterIrp(irp); });
        m_device = m_driver->CreateDevice();
        ASSERT_NE(m_device, nullptr);
        m_queue = new (NonPagedPool) CTfWriteQueue();
        ASSERT_NE(m_queue, nullptr);
        ASSERT_TRUE(m_queue->m_Init(m_device));
        m_queue->m_SetWriteCallback(OwnerWrite, this);
        m_queue->m_SetTransmitterEmptyCallback(OwnerTransmitterEmpty, this);
    }

    void TearDown() override
    {
        DestroyQueue();
        for (auto& request : m_requests) {
            EXPECT_LE(request->completions, 1) << "completed more than once";
            if (request->irp) IoFreeIrp(request->irp);
        }
        m_driver.reset();
        TfLibraryRelease();
        EXPECT_EQ(0u, machine().GetPool().LiveCount(TF_TAG_TRACKED));
        MachineTest::TearDown();
    }

    void DestroyQueue()
    {
        if (m_queue == nullptr) return;
        // Work items wait for a drain in deterministic mode; the executor's tear-down waits for them.
        Drain();
        delete m_queue;
        m_queue = nullptr;
        Drain();
    }

    // ---- Requests --------------------------------------------------------------------------------
    Request& Send(UCHAR major, ULONG length, PVOID systemBuffer, ULONG ioControlCode = 0)
    {
        m_requests.push_back(std::make_unique<Request>());
        Request& request = *m_requests.back();
        request.irp = IoAllocateIrp(m_device->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request.irp);
        next->MajorFunction = major;
        if (major == IRP_MJ_WRITE) next->Parameters.Write.Length = length;
        if (major == IRP_MJ_DEVICE_CONTROL) {
            next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
            next->Parameters.DeviceIoControl.InputBufferLength = length;
        }
        request.irp->AssociatedIrp.SystemBuffer = systemBuffer;
        IoSetCompletionRoutine(request.irp, OnCompletion, &request, TRUE, TRUE, TRUE);
        request.returned = IoCallDriver(m_device, request.irp);
        return request;
    }
    // A write of `data`; the block start it queues runs before this returns.
    Request& Write(Bytes data)
    {
        Request& request = WriteNoDrain(std::move(data));
        Drain();
        return request;
    }
    Request& WriteNoDrain(Bytes data)
    {
        m_buffers.push_back(std::make_unique<Bytes>(std::move(data)));
        Bytes* bytes = m_buffers.back().get();
        Request& request = Send(IRP_MJ_WRITE, static_cast<ULONG>(bytes->size()), bytes->data());
        request.data = *bytes;
        return request;
    }
    Request& Flush()
    {
        Request& request = Send(IRP_MJ_FLUSH_BUFFERS, 0, nullptr);
        Drain();
        return request;
    }
    // An XOFF-counter request with values staged as the port driver stages them.
    Request& XoffCounter(ULONG count, ULONG timeout, UCHAR xoffChar = 0x13)
    {
        m_queue->m_SetXoffCounter(OwnerSendXoff, this, timeout, count, xoffChar);
        return XoffCounterUnstaged();
    }
    Request& XoffCounterUnstaged()
    {
        Request& request = Send(IRP_MJ_DEVICE_CONTROL, sizeof(SERIAL_XOFF_COUNTER), &m_xoffInput, IOCTL_SERIAL_XOFF_COUNTER);
        Drain();
        return request;
    }
    BOOLEAN Cancel(Request& request)
    {
        BOOLEAN cancelled = IoCancelIrp(request.irp);
        Drain();
        return cancelled;
    }
    // IoCancelIrp in its two halves, as another processor runs it: the first takes the request's
    // cancel routine (from then on the cancellation owns the request), the second calls it, which
    // takes the request out under the queue's lock and completes it. In between, a test stages
    // what the queue does meanwhile.
    PDRIVER_CANCEL TakeCancelRoutine(Request& request)
    {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        std::atomic_ref<BOOLEAN>(request.irp->Cancel).store(TRUE);
        PDRIVER_CANCEL routine = IoSetCancelRoutine(request.irp, nullptr);
        IoReleaseCancelSpinLock(irql);
        return routine;
    }
    void RunCancelRoutine(Request& request, PDRIVER_CANCEL routine)
    {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        request.irp->CancelIrql = irql;
        routine(IoGetCurrentIrpStackLocation(request.irp)->DeviceObject, request.irp);
    }

    // ---- The device side -------------------------------------------------------------------------
    void Confirm(ULONG count)
    {
        m_queue->m_DataWritten(count);
        Drain();
    }
    // Received data as the device base reports it to the XOFF counter.
    void Received(ULONG count)
    {
        m_queue->m_XoffCounterBytesReceived(count);
        Drain();
    }
    size_t Drain() { return machine().GetWorkQueues().DrainWorkQueues(); }
    // Runs `action` on the block builder's thread each time it holds a request out of the queues
    // (TF_WQ_OUTSIDE_COPIED, TF_WQ_OUTSIDE_CHECKED), with no queue lock held.
    void OnOutside(std::function<void(ULONG, PIRP)> action)
    {
        m_onOutside = std::move(action);
        m_queue->m_SetOutsideHook(OutsideHook, this);
    }
    void AdvanceMs(LONGLONG ms)
    {
        machine().GetClock().Advance(ms * 10000);
        Drain();
    }
    // Bytes handed to the owner so far, in order.
    const Bytes& Sent() const { return m_sent; }
    size_t SentCount() const { return m_sent.size(); }
    // The concatenation of the given requests' data.
    static Bytes Concat(std::initializer_list<const Request*> requests)
    {
        Bytes all;
        for (const Request* request : requests) all.insert(all.end(), request->data.begin(), request->data.end());
        return all;
    }

    // ---- Owner callbacks -------------------------------------------------------------------------
    static BOOLEAN OwnerWrite(PVOID context, CTfBuffer* chunk)
    {
        auto* test = static_cast<WriteQueueTest*>(context);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_EQ(test->m_writeDepth, 0) << "a block was handed over from inside the write callback";
        ++test->m_writeDepth;
        Bytes block(chunk->m_GetBytes(), chunk->m_GetBytes() + chunk->m_GetLength());
        chunk->m_Delete();
        test->m_blocks.push_back(block);
        bool result = true;
        if (!test->m_writeAnswers.empty()) {
            result = test->m_writeAnswers.front();
            test->m_writeAnswers.pop_front();
        }
        if (result) test->m_sent.insert(test->m_sent.end(), block.begin(), block.end());
        if (test->m_onWrite) test->m_onWrite(static_cast<ULONG>(block.size()));
        --test->m_writeDepth;
        return result ? TRUE : FALSE;
    }
    static BOOLEAN OwnerTransmitterEmpty(PVOID context)
    {
        auto* test = static_cast<WriteQueueTest*>(context);
        EXPECT_LE(KeGetCurrentIrql(), DISPATCH_LEVEL);
        ++test->m_transmitterAsked;
        if (test->m_transmitterAnswers.empty()) return TRUE;
        bool empty = test->m_transmitterAnswers.front();
        test->m_transmitterAnswers.pop_front();
        return empty ? TRUE : FALSE;
    }
    static void OwnerSendXoff(PVOID context, UCHAR xoffChar)
    {
        auto* test = static_cast<WriteQueueTest*>(context);
        test->m_xoffSent.push_back(xoffChar);
        test->m_xoffSendIrql.push_back(KeGetCurrentIrql());
        if (test->m_onXoffSend) test->m_onXoffSend();
    }

    static void OutsideHook(PVOID context, ULONG point, PIRP irp)
    {
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        static_cast<WriteQueueTest*>(context)->m_onOutside(point, irp);
    }

    static NTSTATUS OnCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        auto* request = static_cast<Request*>(context);
        request->status = irp->IoStatus.Status;
        request->information = irp->IoStatus.Information;
        request->pendingReturned = irp->PendingReturned;
        ++request->completions;  // last: a racing reader that sees it sees the rest
        return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is the test's own
    }

    std::unique_ptr<emu::testing::TestDriver> m_driver;
    PDEVICE_OBJECT m_device = nullptr;
    CTfWriteQueue* m_queue = nullptr;
    std::vector<std::unique_ptr<Request>> m_requests;
    std::vector<std::unique_ptr<Bytes>> m_buffers;
    SERIAL_XOFF_COUNTER m_xoffInput{};

    std::vector<Bytes> m_blocks;  // every block handed to the owner, accepted or not
    Bytes m_sent;                 // the bytes of the accepted blocks
    std::deque<bool> m_writeAnswers;
    std::function<void(ULONG)> m_onWrite;
    int m_writeDepth = 0;
    std::deque<bool> m_transmitterAnswers;
    int m_transmitterAsked = 0;
    Bytes m_xoffSent;
    std::vector<KIRQL> m_xoffSendIrql;
    std::function<void()> m_onXoffSend;
    std::function<void(ULONG, PIRP)> m_onOutside;
};

}  // namespace tfwq_test
