// The read queue as the port driver uses it: accepting reads, delivering received chunks,
// cancellation, purge, the owner's amount report, out-of-memory paths and concurrent use.
#include "tfreadqueue_harness.h"

#include <random>
#include <thread>

#include "dbg/debug_output.h"

namespace tfreadqueue_test {
namespace {

using emu::Violation;
using emu::testing::ScopedIrql;

using ReadQueueBasicTest = ReadQueueTest;

// ---------------------------------------------------------------------------------------------
// Accepting reads
// ---------------------------------------------------------------------------------------------

TEST_F(ReadQueueBasicTest, NewQueueRejectsReadsUntilItsOwnerAcceptsThem)
{
    CTfReadQueue* fresh = new (NonPagedPool) CTfReadQueue();
    ASSERT_NE(nullptr, fresh);
    EXPECT_FALSE(fresh->m_IsAccepting());
    ReadRequest& early = NewRead(10);
    EXPECT_EQ(STATUS_CANCELLED, fresh->m_QueueIrp(early.Irp()));
    EXPECT_EQ(STATUS_CANCELLED, early.Status());
    EXPECT_EQ(0u, early.Information());
    delete fresh;

    Feed(5);
    Queue().m_SetAccept(FALSE);
    NTSTATUS result;
    ReadRequest& stopped = Read(5, &result);
    EXPECT_EQ(STATUS_CANCELLED, result);
    EXPECT_EQ(0u, stopped.Information());
    EXPECT_EQ(5u, Queue().m_GetDataAmount());  // the data stays for the next accepted read

    Queue().m_SetAccept(TRUE);
    ReadRequest& resumed = Read(5, &result);
    EXPECT_EQ(STATUS_SUCCESS, result);
    EXPECT_EQ(Stream(0, 5), resumed.Data());
}

// A device without buffered I/O hands reads over with no system buffer.
TEST_F(ReadQueueBasicTest, ReadWithoutSystemBufferIsRefused)
{
    Feed(4);
    ReadRequest& request = NewRead(4, false);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Queue().m_QueueIrp(request.Irp()));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, request.Status());
    EXPECT_EQ(0u, request.Information());
    EXPECT_EQ(4u, Queue().m_GetDataAmount());
}

// ---------------------------------------------------------------------------------------------
// Delivery
// ---------------------------------------------------------------------------------------------

TEST_F(ReadQueueBasicTest, BufferedDataAnswersAReadAtOnceAndTheOwnerHearsTheAmount)
{
    SetTimeouts(0, 0, 0);
    Feed(30);
    NTSTATUS result;
    ReadRequest& request = Read(10, &result);
    EXPECT_EQ(STATUS_SUCCESS, result);
    EXPECT_EQ(STATUS_SUCCESS, request.Status());
    EXPECT_EQ(Stream(0, 10), request.Data());
    EXPECT_EQ(20u, Queue().m_GetDataAmount());
    EXPECT_EQ((std::vector<AmountChange>{{30, 0, 0}, {20, 30, 0}}), Changes());
}

TEST_F(ReadQueueBasicTest, OneChunkFillsTwoWaitingReadsInOrderAndTheRestStays)
{
    SetTimeouts(0, 0, 0);
    NTSTATUS first, second;
    ReadRequest& ten = Read(10, &first);
    ReadRequest& fifteen = Read(15, &second);
    EXPECT_EQ(STATUS_PENDING, first);
    EXPECT_EQ(STATUS_PENDING, second);
    EXPECT_TRUE(Changes().empty());

    Feed(30);
    ASSERT_TRUE(ten.Completed());
    ASSERT_TRUE(fifteen.Completed());
    EXPECT_LT(ten.Order(), fifteen.Order());
    EXPECT_EQ(STATUS_SUCCESS, ten.Status());
    EXPECT_EQ(STATUS_SUCCESS, fifteen.Status());
    EXPECT_EQ(Stream(0, 10), ten.Data());
    EXPECT_EQ(Stream(10, 15), fifteen.Data());
    EXPECT_EQ(5u, Queue().m_GetDataAmount());
    EXPECT_EQ((std::vector<AmountChange>{{5, 0, 0}}), Changes());
}

TEST_F(ReadQueueBasicTest, ReadGathersSeveralChunksAndLeavesAPartlyUsedChunkInPlace)
{
    SetTimeouts(0, 0, 0);
    ReadRequest& gathering = Read(7);
    Feed(2);
    Feed(3);
    EXPECT_FALSE(gathering.Completed());
    Feed(10);  // 2 for the read, 8 stay
    ASSERT_TRUE(gathering.Completed());
    EXPECT_EQ(Stream(0, 7), gathering.Data());

    // Serving from the partly used chunk allocates nothing: it is advanced, not copied.
    size_t live = machine().GetPool().LiveCount(TF_TAG_TRACKED);
    ReadRequest& next = Read(3);
    EXPECT_EQ(live, machine().GetPool().LiveCount(TF_TAG_TRACKED));
    EXPECT_EQ(Stream(7, 3), next.Data());
    ReadRequest& last = Read(5);
    EXPECT_EQ(Stream(10, 5), last.Data());
    EXPECT_EQ(0u, Queue().m_GetDataAmount());
}

TEST_F(ReadQueueBasicTest, OwnerIsCalledWithoutTheLockAtTheCallersIrql)
{
    struct Probe {
        CTfReadQueue* queue;
        std::vector<std::pair<ULONG, KIRQL>> seen;
        bool refed = false;
    } probe{&Queue(), {}, false};
    Queue().m_SetDataAmountChangedCallback(
        [](PVOID context, ULONG newAmount, ULONG) {
            auto* p = static_cast<Probe*>(context);
            // Taking the queue's lock here would deadlock if the queue still held it.
            p->seen.push_back({p->queue->m_GetDataAmount(), KeGetCurrentIrql()});
            EXPECT_EQ(newAmount, p->seen.back().first);
            if (!p->refed) {
                // The port driver may hand a chunk back from inside the report (error character).
                p->refed = true;
                CTfBuffer* chunk = new (NonPagedPool) CTfBuffer();
                UCHAR byte = 0x7E;
                chunk->m_Assign(&byte, 1);
                p->queue->m_DataForPendingIrpArrived(chunk);
            }
        },
        &probe);
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);
        Feed(3);
    }
    ASSERT_EQ(2u, probe.seen.size());
    EXPECT_EQ(3u, probe.seen[0].first);
    EXPECT_EQ(DISPATCH_LEVEL, probe.seen[0].second);
    EXPECT_EQ(4u, probe.seen[1].first);
    EXPECT_EQ(4u, Queue().m_GetDataAmount());
    Queue().m_SetDataAmountChangedCallback(nullptr, nullptr);
}

TEST_F(ReadQueueBasicTest, EmptyChunkIsReportedAndFreed)
{
    size_t live = machine().GetPool().LiveCount(TF_TAG_TRACKED);
    CTfBuffer* empty = NextChunk(0);
    Queue().m_DataForPendingIrpArrived(empty);
    EXPECT_EQ(1u, Take(Violation::AssertReport));
    EXPECT_EQ(1u, machine().GetDebugOutput().CountContaining("ASSERT at - tfreadqueuecsq.cpp 648"));
    EXPECT_EQ(live, machine().GetPool().LiveCount(TF_TAG_TRACKED));
    EXPECT_EQ(0u, Queue().m_GetDataAmount());
    EXPECT_TRUE(Changes().empty());
}

// ---------------------------------------------------------------------------------------------
// Out of memory
// ---------------------------------------------------------------------------------------------

TEST_F(ReadQueueBasicTest, ReadWithoutAListNodeCompletesWithInsufficientResources)
{
    SetTimeouts(0, 0, 0);
    Feed(2);
    ReadRequest& request = NewRead(10);
    machine().GetPool().FailNextWithTag(TF_TAG_TRACKED);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Queue().m_QueueIrp(request.Irp()));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, request.Status());
    EXPECT_EQ(0u, request.Information());
    // Nothing was taken from the buffer for the refused read.
    EXPECT_EQ(2u, Queue().m_GetDataAmount());
    ReadRequest& next = Read(4);
    Feed(2);
    ASSERT_TRUE(next.Completed());
    EXPECT_EQ(Stream(0, 4), next.Data());
}

TEST_F(ReadQueueBasicTest, ChunkWithoutAListNodeIsDroppedAndFreed)
{
    size_t live = machine().GetPool().LiveCount(TF_TAG_TRACKED);
    CTfBuffer* chunk = NextChunk(5);
    machine().GetPool().FailNextWithTag(TF_TAG_TRACKED);
    Queue().m_DataForPendingIrpArrived(chunk);
    EXPECT_EQ(0u, Queue().m_GetDataAmount());
    EXPECT_EQ(live, machine().GetPool().LiveCount(TF_TAG_TRACKED));
    EXPECT_TRUE(Changes().empty());
}

// ---------------------------------------------------------------------------------------------
// Cancellation, purge, tear-down
// ---------------------------------------------------------------------------------------------

TEST_F(ReadQueueBasicTest, CancelledFirstReadKeepsItsBytesAndTheNextReadContinuesTheStream)
{
    SetTimeouts(0, 0, 0);
    ReadRequest& first = Read(10);
    Feed(3);
    EXPECT_TRUE(IoCancelIrp(first.Irp()));
    ASSERT_TRUE(first.Completed());
    EXPECT_EQ(STATUS_CANCELLED, first.Status());
    EXPECT_EQ(Stream(0, 3), first.Data());

    ReadRequest& next = Read(10);
    Feed(10);
    ASSERT_TRUE(next.Completed());
    EXPECT_EQ(STATUS_SUCCESS, next.Status());
    EXPECT_EQ(Stream(3, 10), next.Data());
}

TEST_F(ReadQueueBasicTest, CancellingAReadBehindTheFirstLeavesTheOthersInOrder)
{
    SetTimeouts(0, 0, 0);
    ReadRequest& first = Read(4);
    ReadRequest& middle = Read(4);
    ReadRequest& last = Read(4);
    EXPECT_TRUE(IoCancelIrp(middle.Irp()));
    EXPECT_EQ(STATUS_CANCELLED, middle.Status());
    EXPECT_EQ(0u, middle.Information());
    Feed(8);
    EXPECT_EQ(Stream(0, 4), first.Data());
    EXPECT_EQ(Stream(4, 4), last.Data());
    EXPECT_EQ(0u, Queue().m_GetWaitingCount());
}

// A read cancelled before it reached the queue is completed by the insertion, and takes no data.
TEST_F(ReadQueueBasicTest, ReadCancelledBeforeQueuingTakesNoData)
{
    SetTimeouts(0, 0, 0);
    Feed(2);
    ReadRequest& request = NewRead(10);
    EXPECT_FALSE(IoCancelIrp(request.Irp()));  // nobody holds it yet
    EXPECT_EQ(STATUS_PENDING, Queue().m_QueueIrp(request.Irp()));
    ASSERT_TRUE(request.Completed());
    EXPECT_EQ(STATUS_CANCELLED, request.Status());
    EXPECT_EQ(0u, request.Information());
    EXPECT_EQ(2u, Queue().m_GetDataAmount());
    EXPECT_EQ(0u, Queue().m_GetWaitingCount());
}

TEST_F(ReadQueueBasicTest, PurgeOfWaitingReadsKeepsTheirBytesAndStopsTheTimers)
{
    SetTimeouts(50, 0, 200);
    ReadRequest& first = Read(10);
    ReadRequest& second = Read(10);
    Feed(4);
    Queue().m_CancelAllIrps();
    ASSERT_TRUE(first.Completed());
    ASSERT_TRUE(second.Completed());
    EXPECT_LT(first.Order(), second.Order());
    EXPECT_EQ(STATUS_CANCELLED, first.Status());
    EXPECT_EQ(Stream(0, 4), first.Data());
    EXPECT_EQ(STATUS_CANCELLED, second.Status());
    EXPECT_EQ(0u, second.Information());
    EXPECT_EQ(0u, Dpcs().ArmedTimerCount());

    SetTimeouts(0, 0, 0);
    ReadRequest& after = Read(3);
    AdvanceMs(1000);
    EXPECT_FALSE(after.Completed());
    Feed(3);
    EXPECT_EQ(Stream(4, 3), after.Data());
}

// Purging the receive buffer must reach the owner, which releases its flow control on that report.
TEST_F(ReadQueueBasicTest, ClearingTheDataReportsTheDropToTheOwner)
{
    Feed(7);
    ReadRequest& request = Read(3);  // immediate time-outs are not set: (0,0,0) with 7 buffered
    EXPECT_EQ(STATUS_SUCCESS, request.Status());
    ClearChanges();
    Queue().m_ClearData();
    EXPECT_EQ(0u, Queue().m_GetDataAmount());
    EXPECT_EQ((std::vector<AmountChange>{{0, 4, 0}}), Changes());
    Queue().m_ClearData();
    EXPECT_EQ(1u, Changes().size());

    ReadRequest& next = Read(2);
    Feed(2);
    EXPECT_EQ(Stream(7, 2), next.Data());
}

TEST_F(ReadQueueBasicTest, TearDownCompletesWaitingReadsAndFreesBufferedData)
{
    SetTimeouts(20, 0, 100);
    ReadRequest& waiting = Read(10);
    Feed(4);
    ReadRequest& behind = Read(10);
    DeleteQueue();
    EXPECT_EQ(STATUS_CANCELLED, waiting.Status());
    EXPECT_EQ(Stream(0, 4), waiting.Data());
    EXPECT_EQ(STATUS_CANCELLED, behind.Status());
    EXPECT_EQ(0u, Dpcs().ArmedTimerCount());
    AdvanceMs(1000);  // nothing left to fire
}

// A time-out DPC already queued when the queue goes away must run (and find nothing to do) before
// the queue's memory is freed.
TEST_F(ReadQueueBasicTest, TearDownWaitsForAQueuedTimeoutDpc)
{
    SetTimeouts(0, 0, 10);
    Dpcs().HoldDpcs(true);
    ReadRequest& request = Read(10);
    AdvanceMs(10);
    ASSERT_EQ(1u, Dpcs().QueuedDpcCount());
    uint64_t ran = Dpcs().DpcsRun();
    DeleteQueue();
    EXPECT_EQ(0u, Dpcs().QueuedDpcCount());
    EXPECT_EQ(ran + 1, Dpcs().DpcsRun());
    EXPECT_EQ(STATUS_CANCELLED, request.Status());
    Dpcs().HoldDpcs(false);
}

// ---------------------------------------------------------------------------------------------
// Concurrent use
// ---------------------------------------------------------------------------------------------

// Reads from several threads, data from another (partly at DISPATCH_LEVEL) and cancellations
// from a third. Every request completes exactly once; each returns an unbroken run of the stream
// with no byte it did not receive, and the runs plus what stays buffered are the stream itself.
TEST_F(ReadQueueBasicTest, ConcurrentReadsDataAndCancellationsKeepEveryByteInOrder)
{
    // Even-sized reads and chunks, and a stream of 16-bit position words: every copy moves whole
    // words, so each word names its own place in the stream.
    constexpr int kThreads = 3;
    constexpr int kReadsPerThread = 60;
    SetTimeouts(0, 0, 0);
    std::mt19937 random(12345);
    std::vector<std::vector<ReadRequest*>> perThread(kThreads);
    size_t totalBytes = 0;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kReadsPerThread; ++i) {
            ULONG length = 2 * (1 + random() % 12);
            perThread[t].push_back(&NewRead(length));
            totalBytes += length;
        }
    }
    std::vector<ReadRequest*> all;
    for (auto& list : perThread) all.insert(all.end(), list.begin(), list.end());

    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (ReadRequest* request : perThread[t]) Queue().m_QueueIrp(request->Irp());
        });
    }
    threads.emplace_back([&] {
        std::mt19937 feedRandom(777);
        while (!go) std::this_thread::yield();
        size_t fedWords = 0;
        const size_t totalWords = totalBytes / 2;
        while (fedWords < totalWords) {
            size_t words = std::min<size_t>(1 + feedRandom() % 16, totalWords - fedWords);
            std::vector<UCHAR> bytes;
            for (size_t w = 0; w < words; ++w) {
                bytes.push_back(static_cast<UCHAR>((fedWords + w) >> 8));
                bytes.push_back(static_cast<UCHAR>(fedWords + w));
            }
            fedWords += words;
            CTfBuffer* chunk = new (NonPagedPool) CTfBuffer();
            chunk->m_Assign(bytes.data(), static_cast<ULONG>(bytes.size()));
            if (feedRandom() % 2) {
                ScopedIrql dispatch(DISPATCH_LEVEL);
                Queue().m_DataForPendingIrpArrived(chunk);
            } else {
                Queue().m_DataForPendingIrpArrived(chunk);
            }
        }
    });
    threads.emplace_back([&] {
        while (!go) std::this_thread::yield();
        for (size_t i = 0; i < all.size(); i += 7) IoCancelIrp(all[i]->Irp());
    });
    go = true;
    for (auto& thread : threads) thread.join();

    // Cancelled reads took less than their length, so the data suffices for all the others.
    size_t returned = 0;
    std::vector<std::pair<size_t, size_t>> runs;  // first word, word count
    for (ReadRequest* request : all) {
        ASSERT_TRUE(request->Completed());
        ASSERT_TRUE(request->Status() == STATUS_SUCCESS || request->Status() == STATUS_CANCELLED);
        std::vector<UCHAR> data = request->Data();
        ASSERT_EQ(0u, data.size() % 2);
        if (request->Status() == STATUS_SUCCESS) {
            ASSERT_EQ(request->Length(), data.size());
        }
        if (data.empty()) continue;
        size_t first = size_t{data[0]} << 8 | data[1];
        for (size_t w = 0; w < data.size() / 2; ++w) {
            size_t word = size_t{data[2 * w]} << 8 | data[2 * w + 1];
            ASSERT_EQ(first + w, word) << "a read returned a broken run or a byte it never received";
        }
        runs.push_back({first, data.size() / 2});
        returned += data.size();
    }
    std::sort(runs.begin(), runs.end());
    size_t next = 0;
    for (auto& run : runs) {
        ASSERT_EQ(next, run.first) << "bytes lost or returned twice";
        next += run.second;
    }
    EXPECT_EQ(totalBytes - returned, Queue().m_GetDataAmount());
    EXPECT_EQ(0u, Queue().m_GetWaitingCount());
}

}  // namespace
}  // namespace tfreadqueue_test
