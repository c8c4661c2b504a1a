// The write queue as the port driver drives it: credit-limited blocks, confirmations, the discard
// count, cancellation, purge and the owner refusing a block.
#include <atomic>
#include <random>
#include <thread>

#include "dbg/debug_output.h"
#include "tfwritequeue_harness.h"

namespace tfwq_test {
namespace {

using emu::Violation;
using emu::testing::ScopedIrql;

// ---- Credit and blocks --------------------------------------------------------------------------

TEST_F(WriteQueueTest, WritesWaitForTheInitialCreditWhichConfirmsNothing)
{
    Request& write = Write(Pattern(10, 0));
    EXPECT_EQ(write.returned, STATUS_PENDING);
    EXPECT_TRUE(m_blocks.empty()) << "credit is 0 until the first report";
    EXPECT_EQ(m_queue->m_GetQueuedByteCount(), 10u);

    Confirm(4);  // the initial credit
    ASSERT_EQ(m_blocks.size(), 1u);
    EXPECT_EQ(m_blocks[0], Pattern(4, 0));
    EXPECT_FALSE(write.Done());
    EXPECT_EQ(m_queue->m_GetCredit(), 0u);

    Confirm(4);
    Confirm(4);
    EXPECT_EQ(Sent(), write.data);
    EXPECT_FALSE(write.Done()) << "two bytes are still unconfirmed";
    Confirm(2);
    ASSERT_TRUE(write.Done());
    EXPECT_EQ(write.status, STATUS_SUCCESS);
    EXPECT_EQ(write.information, 10u);
    EXPECT_EQ(m_queue->m_GetCredit(), 4u);
}

TEST_F(WriteQueueTest, ABlockJoinsRequestsAndThePartlySentOneGoesFirstNextTime)
{
    Request& first = Write(Pattern(10, 0));
    Request& second = Write(Pattern(20, 100));
    Request& third = Write(Pattern(30, 200));
    Confirm(25);
    ASSERT_EQ(m_blocks.size(), 1u);
    Bytes expected = first.data;
    expected.insert(expected.end(), second.data.begin(), second.data.begin() + 15);
    EXPECT_EQ(m_blocks[0], expected);
    EXPECT_EQ(m_queue->m_GetInFlightCount(), 1u);
    EXPECT_EQ(m_queue->m_GetPendingCount(), 2u);
    EXPECT_EQ(m_queue->m_GetQueuedByteCount(), 5u + 30u);

    // A new write now must not overtake the rest of the second request.
    Request& fourth = Write(Pattern(5, 50));
    Confirm(25);
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.information, 10u);
    ASSERT_EQ(m_blocks.size(), 2u);
    Bytes next(second.data.begin() + 15, second.data.end());
    next.insert(next.end(), third.data.begin(), third.data.begin() + 20);
    EXPECT_EQ(m_blocks[1], next);

    Confirm(25);
    Confirm(40);
    EXPECT_EQ(Sent(), Concat({&first, &second, &third, &fourth}));
    for (Request* request : {&second, &third, &fourth}) {
        ASSERT_TRUE(request->Done());
        EXPECT_EQ(request->status, STATUS_SUCCESS);
        EXPECT_EQ(request->information, request->data.size());
    }
}

TEST_F(WriteQueueTest, AConfirmationRetiresWholeRequestsAndLowersThePartlyConfirmedOne)
{
    Confirm(100);  // initial credit
    Request& first = Write(Pattern(10, 0));
    Request& second = Write(Pattern(20, 10));
    EXPECT_EQ(Sent(), Concat({&first, &second}));

    Confirm(12);
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.information, 10u);
    EXPECT_FALSE(second.Done());
    Confirm(17);
    EXPECT_FALSE(second.Done()) << "one of its 18 unconfirmed bytes is still out";
    Confirm(1);
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(second.information, 20u);
    EXPECT_EQ(m_queue->m_GetCredit(), 100u);
}

TEST_F(WriteQueueTest, BytesOfACancelledRequestAreDiscardedBeforeLaterRequestsAreCredited)
{
    Confirm(8);
    Request& cancelled = Write(Pattern(20, 0));
    EXPECT_EQ(Sent(), Pattern(8, 0));
    EXPECT_TRUE(Cancel(cancelled));
    ASSERT_TRUE(cancelled.Done());
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled.information, 0u);
    EXPECT_EQ(m_queue->m_GetDiscardCount(), 8u);
    EXPECT_EQ(m_queue->m_GetQueuedByteCount(), 0u);

    Request& later = Write(Pattern(5, 50));
    Confirm(8);  // the cancelled request's bytes leaving the device
    EXPECT_FALSE(later.Done());
    EXPECT_EQ(m_queue->m_GetDiscardCount(), 0u);
    ASSERT_EQ(SentCount(), 13u);
    Confirm(5);
    ASSERT_TRUE(later.Done());
    EXPECT_EQ(later.status, STATUS_SUCCESS);
}

TEST_F(WriteQueueTest, ConfirmationsFromInsideTheWriteCallbackSendTheRestInOrder)
{
    // The device confirms every block at once from inside the hand-over (the bus driver does so at
    // low baud rates): the mutex is taken again on the same thread, and blocks are never nested.
    m_onWrite = [this](ULONG length) { m_queue->m_DataWritten(length); };
    Confirm(7);
    Request& a = WriteNoDrain(Pattern(10, 0));
    Request& b = WriteNoDrain(Pattern(3, 40));
    Request& c = WriteNoDrain(Pattern(25, 80));
    Drain();
    EXPECT_EQ(Sent(), Concat({&a, &b, &c}));
    for (const Bytes& block : m_blocks) EXPECT_LE(block.size(), 7u);
    for (Request* request : {&a, &b, &c}) {
        ASSERT_TRUE(request->Done());
        EXPECT_EQ(request->status, STATUS_SUCCESS);
        EXPECT_EQ(request->information, request->data.size());
    }
    EXPECT_TRUE(m_queue->m_IsIdle());
    EXPECT_EQ(m_queue->m_GetCredit(), 7u);
}

TEST_F(WriteQueueTest, RandomWritesAndConfirmationsKeepOrderAndCompleteEachRequestOnce)
{
    std::mt19937 random(12345);
    Confirm(64);
    std::vector<Request*> writes;
    size_t handed = 0;
    for (int round = 0; round < 300; ++round) {
        int action = static_cast<int>(random() % 3);
        if (action == 0 || writes.size() < 3) {
            size_t length = 1 + random() % 40;
            writes.push_back(&Write(Pattern(length, static_cast<uint8_t>(random()))));
        } else if (SentCount() > handed) {
            ULONG count = static_cast<ULONG>(1 + random() % (SentCount() - handed));
            handed += count;
            Confirm(count);
        }
    }
    while (SentCount() > handed || !m_queue->m_IsIdle()) {
        ASSERT_GT(SentCount(), handed) << "writes left with nothing handed over";
        ULONG count = static_cast<ULONG>(SentCount() - handed);
        handed += count;
        Confirm(count);
    }
    Bytes all;
    for (Request* request : writes) {
        all.insert(all.end(), request->data.begin(), request->data.end());
        EXPECT_EQ(request->completions, 1);
        EXPECT_EQ(request->status, STATUS_SUCCESS);
        EXPECT_EQ(request->information, request->data.size());
    }
    EXPECT_EQ(Sent(), all);
    for (const Bytes& block : m_blocks) EXPECT_LE(block.size(), 64u);
}

// ---- Accepting writes ---------------------------------------------------------------------------

TEST_F(WriteQueueTest, RequestsTheQueueCannotTakeCompleteAtOnce)
{
    m_queue->m_SetAccept(FALSE, STATUS_CANCELLED);
    Request& rejected = Write(Pattern(4, 0));
    EXPECT_EQ(rejected.returned, STATUS_CANCELLED);
    EXPECT_EQ(rejected.status, STATUS_CANCELLED);
    m_queue->m_SetAccept(TRUE, STATUS_CANCELLED);

    Request& empty = Write({});
    EXPECT_EQ(empty.returned, STATUS_SUCCESS);
    EXPECT_EQ(empty.information, 0u);

    // A device without buffered I/O gives no system buffer: refused, not dereferenced.
    Request& noBuffer = Send(IRP_MJ_WRITE, 16, nullptr);
    EXPECT_EQ(noBuffer.returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(noBuffer.status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(m_queue->m_IsIdle());
}

TEST_F(WriteQueueTest, OutOfMemoryForTheListNodeCompletesTheRequest)
{
    machine().GetPool().FailNextWithTag(TF_TAG_TRACKED);
    Request& write = Write(Pattern(4, 0));
    EXPECT_EQ(write.returned, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(write.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(m_queue->m_GetQueuedByteCount(), 0u);
}

TEST_F(WriteQueueTest, ARequestThatCannotBeKeptInFlightHasItsBytesDiscarded)
{
    Confirm(20);
    Request& lost = WriteNoDrain(Pattern(10, 0));
    // The block object, its buffer, then the in-flight list node.
    machine().GetPool().FailNth(3);
    Drain();
    ASSERT_TRUE(lost.Done());
    EXPECT_EQ(lost.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Sent(), lost.data) << "its bytes were in the block all the same";
    EXPECT_EQ(m_queue->m_GetDiscardCount(), 10u);

    Request& next = Write(Pattern(5, 50));
    Confirm(10);
    EXPECT_FALSE(next.Done()) << "credited with the bytes of the failed request";
    Confirm(5);
    ASSERT_TRUE(next.Done());
    EXPECT_EQ(next.status, STATUS_SUCCESS);
}

TEST_F(WriteQueueTest, TheOpenResetMakesTheNextReportTheInitialCreditAgain)
{
    Confirm(10);
    Request& first = Write(Pattern(10, 0));
    m_queue->m_CancelAllIrps();
    EXPECT_EQ(first.status, STATUS_CANCELLED);
    m_queue->m_ResetForOpen();
    EXPECT_EQ(m_queue->m_GetCredit(), 0u);
    EXPECT_EQ(m_queue->m_GetDiscardCount(), 0u);
    EXPECT_EQ(m_queue->m_GetAccumulator(), MAXULONG);

    Request& second = Write(Pattern(6, 20));
    Confirm(6);  // initial credit of the new open
    EXPECT_FALSE(second.Done());
    Confirm(6);
    EXPECT_TRUE(second.Done());
}

// ---- Confirmation edge cases --------------------------------------------------------------------

TEST_F(WriteQueueTest, AZeroConfirmationIsReportedAndChangesNothing)
{
    Confirm(5);
    Confirm(0);
    EXPECT_EQ(Take(Violation::AssertReport), 1u);
    EXPECT_EQ(machine().GetDebugOutput().CountContaining("ASSERT at - tfwritequeuecsq.cpp 277"), 1u);
    EXPECT_EQ(m_queue->m_GetCredit(), 5u);
}

TEST_F(WriteQueueTest, AConfirmationAbovePassiveLevelIsProcessedByTheExecutor)
{
    Confirm(10);
    Request& write = Write(Pattern(10, 0));
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);
        m_queue->m_DataWritten(6);
        m_queue->m_DataWritten(4);
    }
    EXPECT_FALSE(write.Done()) << "deferred, not processed at DISPATCH_LEVEL";
    Drain();
    ASSERT_TRUE(write.Done());
    EXPECT_EQ(write.status, STATUS_SUCCESS);
    EXPECT_EQ(m_queue->m_GetCredit(), 10u);
}

TEST_F(WriteQueueTest, WithoutAnExecutorBlocksStartFromTheCallerAndCancelsFinishAtOnce)
{
    m_queue->m_SetExecutor(NULL);
    m_queue->m_DataWritten(10);
    Request& first = WriteNoDrain(Pattern(6, 0));
    EXPECT_EQ(Sent(), first.data) << "started from the write dispatch itself";
    Request& second = WriteNoDrain(Pattern(10, 10));
    EXPECT_EQ(SentCount(), 10u);
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_TRUE(IoCancelIrp(second.irp));
        ASSERT_TRUE(second.Done());
        EXPECT_EQ(second.status, STATUS_CANCELLED);
        EXPECT_EQ(m_queue->m_GetDiscardCount(), 4u);
        m_queue->m_DataWritten(10);  // retired here; nothing can wait for the mutex
    }
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(m_queue->m_GetDiscardCount(), 0u);
}

// ---- Cancellation and purge ---------------------------------------------------------------------

TEST_F(WriteQueueTest, CancellingAnInFlightRequestDiscardsOnlyItsUnconfirmedBytes)
{
    Confirm(30);
    Request& first = Write(Pattern(10, 0));
    Request& second = Write(Pattern(10, 10));
    Confirm(4);  // 4 of the first confirmed
    Cancel(first);
    EXPECT_EQ(first.status, STATUS_CANCELLED);
    EXPECT_EQ(m_queue->m_GetDiscardCount(), 6u);
    Confirm(6);
    EXPECT_FALSE(second.Done());
    Confirm(10);
    EXPECT_TRUE(second.Done());
}

TEST_F(WriteQueueTest, CancellingAtDispatchLevelNeverWaitsForTheMutex)
{
    Confirm(4);
    Request& write = Write(Pattern(10, 0));
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_TRUE(IoCancelIrp(write.irp));
    }
    EXPECT_FALSE(write.Done()) << "the executor finishes it";
    Drain();
    ASSERT_TRUE(write.Done());
    EXPECT_EQ(write.status, STATUS_CANCELLED);
    EXPECT_EQ(m_queue->m_GetDiscardCount(), 4u);
}

// The block builder meets the partly sent request after a cancellation took its cancel routine and
// before it took the request out (which waits for the queue's lock). No later request may be sent
// ahead of it or take its place as the partly sent one; once the cancellation has taken it out, at
// PASSIVE_LEVEL or deferred from DISPATCH_LEVEL, the next block goes out.
class PartlySentCancelTest : public WriteQueueTest, public ::testing::WithParamInterface<KIRQL> {};

TEST_P(PartlySentCancelTest, TheNextRequestWaitsForTheCancellationAndThenGoesOut)
{
    Confirm(4);  // initial credit
    Request& part = Write(Pattern(10, 0));
    Request& next = Write(Pattern(5, 100));
    ASSERT_EQ(Sent(), Bytes(part.data.begin(), part.data.begin() + 4));
    PDRIVER_CANCEL routine = TakeCancelRoutine(part);
    ASSERT_NE(routine, nullptr);

    Confirm(4);  // credit for 4 more while the cancellation owns the part
    EXPECT_EQ(SentCount(), 4u);
    EXPECT_FALSE(next.Done());
    {
        ScopedIrql level(GetParam());
        RunCancelRoutine(part, routine);
    }
    Drain();
    ASSERT_TRUE(part.Done());
    EXPECT_EQ(part.status, STATUS_CANCELLED);
    Bytes expected(part.data.begin(), part.data.begin() + 4);
    expected.insert(expected.end(), next.data.begin(), next.data.begin() + 4);
    EXPECT_EQ(Sent(), expected) << "the next request goes out once the part is taken out";
    ASSERT_FALSE(next.Done());
    Confirm(4);
    Confirm(1);
    ASSERT_TRUE(next.Done());
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(Sent().size(), 9u);
}

INSTANTIATE_TEST_SUITE_P(CancelAt, PartlySentCancelTest, ::testing::Values(KIRQL(PASSIVE_LEVEL), KIRQL(DISPATCH_LEVEL)),
                         [](const ::testing::TestParamInfo<KIRQL>& info) {
                             return info.param == PASSIVE_LEVEL ? std::string("Passive") : std::string("Dispatch");
                         });

TEST_F(WriteQueueTest, PurgeCancelsEverythingAndDiscardsWhatWasHandedOver)
{
    Confirm(15);
    Request& inFlight = Write(Pattern(10, 0));
    Request& partial = Write(Pattern(10, 10));
    Request& pending = Write(Pattern(10, 20));
    m_queue->m_CancelAllIrps();
    for (Request* request : {&inFlight, &partial, &pending}) {
        ASSERT_TRUE(request->Done());
        EXPECT_EQ(request->status, STATUS_CANCELLED);
        EXPECT_EQ(request->information, 0u);
    }
    EXPECT_EQ(m_queue->m_GetDiscardCount(), 15u);
    EXPECT_EQ(m_queue->m_GetQueuedByteCount(), 0u);
    EXPECT_TRUE(m_queue->m_IsIdle());

    Request& next = Write(Pattern(3, 0));
    Confirm(15);
    EXPECT_FALSE(next.Done());
    Confirm(3);
    EXPECT_TRUE(next.Done());
}

TEST_F(WriteQueueTest, RacingWritesConfirmationsCancelsAndPurgesCompleteEveryRequestOnce)
{
    // Writes race with confirmations and purges (one thread, so no confirmation completes a request
    // while a purge runs) and with cancellations. A request sent before a purge and still not
    // completed when the purge returned was in the queue or out of it with the block builder: it
    // must end cancelled; success would mean it survived the purge. In the end the device confirms
    // everything it was given, and every request must have finished without a final purge.
    machine().GetWorkQueues().SetDeterministic(false);
    constexpr int kWrites = 400;
    std::vector<std::unique_ptr<Bytes>> data;
    for (int i = 0; i < kWrites; ++i) data.push_back(std::make_unique<Bytes>(Pattern(1 + i % 37, static_cast<uint8_t>(i))));
    std::atomic<size_t> handedOver{0};
    std::atomic<size_t> confirmed{0};
    m_onWrite = [&](ULONG length) { handedOver += length; };
    std::vector<Request*> requests(kWrites, nullptr);
    std::vector<std::atomic<bool>> purgedWhileQueued(kWrites);
    std::atomic<int> published{0};
    std::atomic<bool> writing{true};
    m_queue->m_DataWritten(64);

    std::thread confirmer([&] {
        std::mt19937 random(7);
        while (writing || confirmed < handedOver) {
            size_t open = handedOver - confirmed;
            if (open == 0) {
                std::this_thread::yield();
                continue;
            }
            if (writing && random() % 50 == 0) {
                int sent = published;
                m_queue->m_CancelAllIrps();
                for (int i = 0; i < sent; ++i)
                    if (requests[i]->completions == 0) purgedWhileQueued[i] = true;
            }
            ULONG count = static_cast<ULONG>(1 + random() % open);
            confirmed += count;
            m_queue->m_DataWritten(count);
        }
    });
    std::thread canceller([&] {
        std::mt19937 random(11);
        while (writing) {
            int count = published;
            if (count == 0) continue;
            Request* victim = requests[random() % count];
            if (random() % 2 == 0) {
                ScopedIrql dispatch(DISPATCH_LEVEL);
                IoCancelIrp(victim->irp);
            } else {
                IoCancelIrp(victim->irp);
            }
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < kWrites; ++i) {
        requests[i] = &Send(IRP_MJ_WRITE, static_cast<ULONG>(data[i]->size()), data[i]->data());
        requests[i]->data = *data[i];
        published = i + 1;
    }
    writing = false;
    canceller.join();
    confirmer.join();
    // The device confirms what it was given until nothing is left to send or confirm.
    for (int round = 0;; ++round) {
        ASSERT_TRUE(machine().GetWorkQueues().WaitIdle());
        if (m_queue->m_IsIdle()) break;
        size_t open = handedOver - confirmed;
        ASSERT_GT(open, 0u) << "requests wait, but the device has nothing to confirm";
        ASSERT_LT(round, kWrites) << "the queue never runs empty";
        confirmed += open;
        m_queue->m_DataWritten(static_cast<ULONG>(open));
    }

    int succeeded = 0;
    for (int i = 0; i < kWrites; ++i) {
        const Request* request = requests[i];
        ASSERT_EQ(request->completions, 1) << "request " << i;
        if (request->status == STATUS_SUCCESS) {
            ++succeeded;
            EXPECT_FALSE(purgedWhileQueued[i]) << "request " << i << " survived a purge";
            EXPECT_EQ(request->information, request->data.size());
        } else {
            EXPECT_EQ(request->status, STATUS_CANCELLED) << "request " << i;
            EXPECT_EQ(request->information, 0u);
        }
    }
    EXPECT_GT(succeeded, 0);
}

// ---- The owner refusing a block -----------------------------------------------------------------

TEST_F(WriteQueueTest, ARefusedBlockFailsItsRequestsRestoresTheCreditAndResendsThePartOne)
{
    Confirm(10);
    Request& sent = Write(Pattern(4, 0));  // an earlier block, accepted
    m_writeAnswers = {false};
    Request& whole = WriteNoDrain(Pattern(3, 10));
    Request& part = WriteNoDrain(Pattern(8, 20));  // the refused block holds 3 + 3 of these
    Drain();
    ASSERT_EQ(m_blocks.size(), 3u);
    EXPECT_EQ(m_blocks[1], Bytes({10, 11, 12, 20, 21, 22}));
    ASSERT_TRUE(whole.Done());
    EXPECT_EQ(whole.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(whole.information, 0u);
    // The credit came back and the part of the second request went out again from its start.
    EXPECT_EQ(m_blocks[2], Bytes(part.data.begin(), part.data.begin() + 6));
    EXPECT_FALSE(part.Done());
    EXPECT_EQ(m_queue->m_GetCredit(), 0u);
    EXPECT_EQ(m_queue->m_GetDiscardCount(), 0u);

    Confirm(4);
    EXPECT_TRUE(sent.Done());
    Confirm(6);
    Confirm(2);
    EXPECT_EQ(Sent(), Concat({&sent, &part}));
    ASSERT_TRUE(part.Done());
    EXPECT_EQ(part.status, STATUS_SUCCESS);
    EXPECT_EQ(part.information, 8u);
}

TEST_F(WriteQueueTest, ARefusedBlockReportsTheBytesThatDidGoOutAndIsRetried)
{
    Confirm(4);
    Request& write = Write(Pattern(10, 0));  // 4 bytes go out
    Confirm(4);                              // 4 more go out
    Request& later = Write(Pattern(5, 50));
    m_writeAnswers = {false};
    Confirm(4);  // the refused block: the last 2 of the first request and 2 of the later one
    ASSERT_EQ(m_blocks.size(), 3u);
    EXPECT_EQ(m_blocks[2], Bytes({8, 9, 50, 51}));
    ASSERT_TRUE(write.Done());
    EXPECT_EQ(write.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(write.information, 8u) << "the bytes that did reach the device";
    EXPECT_FALSE(later.Done());
    EXPECT_EQ(m_queue->m_GetQueuedByteCount(), 5u);

    // Nothing else would start the later request again: the retry does.
    AdvanceMs(10);
    ASSERT_EQ(m_blocks.size(), 4u);
    EXPECT_EQ(m_blocks[3], Bytes({50, 51, 52, 53}));
    Confirm(4);
    EXPECT_FALSE(later.Done());
    Confirm(1);
    ASSERT_TRUE(later.Done());
    EXPECT_EQ(later.status, STATUS_SUCCESS);
    EXPECT_EQ(m_queue->m_GetDiscardCount(), 0u);
}

TEST_F(WriteQueueTest, ABlockThatCannotBeAllocatedIsRetriedShortly)
{
    Confirm(10);
    Request& write = WriteNoDrain(Pattern(8, 0));
    machine().GetPool().FailNextWithTag(TF_TAG_TRACKED);  // the block object
    Drain();
    EXPECT_TRUE(m_blocks.empty());
    EXPECT_FALSE(write.Done());
    AdvanceMs(10);
    ASSERT_EQ(m_blocks.size(), 1u);
    Confirm(8);
    EXPECT_TRUE(write.Done());
}

}  // namespace
}  // namespace tfwq_test
