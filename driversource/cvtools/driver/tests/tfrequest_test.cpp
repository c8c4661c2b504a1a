// Tests of request completion, passing down, and the synchronous requests to the lower device.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "ke/clock.h"
#include "ke/dispatcher.h"
#include "io/io_manager.h"
#include "fake_lower_device.h"
#include "machine_test.h"
#include "tfrequest.h"

namespace {

using emu::Violation;
using emu::testing::FakeLowerDevice;
using Behaviour = emu::testing::FakeLowerDevice::Behaviour;

constexpr LONGLONG kHalfSecond = 5000000;
constexpr LONGLONG kFiveSeconds = 50000000;
const ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

class TfRequestTest : public emu::testing::MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        machine().GetClock().SetScale(0);
        m_pLower = std::make_unique<FakeLowerDevice>(2, DO_BUFFERED_IO);
    }
    void TearDown() override
    {
        if (m_Helper.joinable())
            m_Helper.join();
        m_pLower.reset();
        EXPECT_EQ(0u, machine().GetIo().LiveIrpCount());
        MachineTest::TearDown();
    }

    FakeLowerDevice& Lower() { return *m_pLower; }
    PDEVICE_OBJECT LowerDevice() { return m_pLower->Device(); }

    // On a helper thread: once the test thread blocks in a timed wait, jumps the clock forward.
    void AdvanceWhenWaiting(LONGLONG llHundredNs)
    {
        m_Helper = std::thread([this, llHundredNs] {
            if (!machine().GetDispatcher().AwaitTimedWaiters(1))
                return;
            machine().GetClock().Advance(llHundredNs);
        });
    }
    void JoinHelper()
    {
        if (m_Helper.joinable())
            m_Helper.join();
    }

    // A received request for the lower device: one stack location of ours above the lower stack.
    // Its sender takes it back when our location completes, as the sender of an IRP it allocated must.
    PIRP NewUpperIrp(UCHAR ucMajor)
    {
        PIRP pIrp = IoAllocateIrp((CCHAR)(LowerDevice()->StackSize + 1), FALSE);
        IoSetCompletionRoutine(
            pIrp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; }, NULL,
            TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(pIrp);
        IoGetCurrentIrpStackLocation(pIrp)->MajorFunction = ucMajor;
        return pIrp;
    }

    std::unique_ptr<FakeLowerDevice> m_pLower;
    std::thread m_Helper;
    CTfObject m_Caller;
};

// ---------------------------------------------------------------------------------------------
// Completion
// ---------------------------------------------------------------------------------------------

static void DummyCancel(PDEVICE_OBJECT, PIRP) {}

TEST_F(TfRequestTest, CompletionClearsTheCancelRoutineAndReturnsTheStatusItCompletedWith)
{
    std::vector<NTSTATUS> Returned;
    Lower().SetBehaviour(Behaviour::Custom([&](PDEVICE_OBJECT, PIRP pIrp) {
        // A cancel routine left from a queue, without the request having been marked pending.
        IoSetCancelRoutine(pIrp, DummyCancel);
        ULONG ulCode = IoGetCurrentIrpStackLocation(pIrp)->Parameters.DeviceIoControl.IoControlCode;
        NTSTATUS Status;
        if (ulCode == kBufferedCode) {
            memcpy(pIrp->AssociatedIrp.SystemBuffer, "abc", 3);
            Status = TfCompleteRequestWithInformation(pIrp, STATUS_SUCCESS, 3);
        } else if (ulCode == kBufferedCode + 4) {
            Status = TfCompleteRequest(pIrp, STATUS_INVALID_PARAMETER);
        } else {
            pIrp->IoStatus.Status = STATUS_DEVICE_REMOVED;
            // The request is freed by its completion; the status must be read before.
            Status = TfCompleteRequestAsIs(pIrp);
        }
        Returned.push_back(Status);
        return Status;
    }));

    UCHAR Output[8] = {};
    ULONG ulLength = sizeof(Output);
    EXPECT_TRUE(TfSendSynchronousDeviceControlWithOutput(LowerDevice(), kBufferedCode, NULL, 0, Output, &ulLength,
                                                         FALSE, NULL));
    EXPECT_EQ(3u, ulLength);
    EXPECT_EQ(0, memcmp(Output, "abc", 3));
    EXPECT_FALSE(TfSendSynchronousDeviceControl(LowerDevice(), kBufferedCode + 4, NULL, 0, FALSE, NULL));
    EXPECT_FALSE(TfSendSynchronousDeviceControl(LowerDevice(), kBufferedCode + 8, NULL, 0, FALSE, NULL));
    EXPECT_EQ((std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_INVALID_PARAMETER, STATUS_DEVICE_REMOVED}), Returned);
}

// ---------------------------------------------------------------------------------------------
// Passing down
// ---------------------------------------------------------------------------------------------

TEST_F(TfRequestTest, CallDriverFormsSkipOurLocationAndSetTheStatusOnlyWhenAsked)
{
    struct Seen {
        UCHAR ucMajor;
        NTSTATUS Status;
    };
    std::vector<Seen> SeenByLower;
    Lower().SetBehaviour(Behaviour::Custom([&](PDEVICE_OBJECT, PIRP pIrp) {
        SeenByLower.push_back({IoGetCurrentIrpStackLocation(pIrp)->MajorFunction, pIrp->IoStatus.Status});
        pIrp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        return STATUS_BUFFER_OVERFLOW;  // told apart from the completion status
    }));

    PIRP pIrp = NewUpperIrp(IRP_MJ_PNP);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, TfCallDriver(pIrp, LowerDevice(), STATUS_NOT_SUPPORTED));
    IoFreeIrp(pIrp);

    pIrp = NewUpperIrp(IRP_MJ_SYSTEM_CONTROL);
    pIrp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, TfCallDriverAsIs(pIrp, LowerDevice()));
    IoFreeIrp(pIrp);

    pIrp = NewUpperIrp(IRP_MJ_POWER);
    pIrp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, TfPoCallDriver(pIrp, LowerDevice()));
    IoFreeIrp(pIrp);

    ASSERT_EQ(3u, SeenByLower.size());
    EXPECT_EQ(IRP_MJ_PNP, SeenByLower[0].ucMajor);
    EXPECT_EQ(STATUS_NOT_SUPPORTED, SeenByLower[0].Status);
    EXPECT_EQ(IRP_MJ_SYSTEM_CONTROL, SeenByLower[1].ucMajor);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SeenByLower[1].Status);
    EXPECT_EQ(IRP_MJ_POWER, SeenByLower[2].ucMajor);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, SeenByLower[2].Status);
}

TEST_F(TfRequestTest, ForwardAndWaitKeepsTheRequestForTheCallerWhetherPendingOrNot)
{
    PIRP pIrp = NewUpperIrp(IRP_MJ_PNP);
    IoGetCurrentIrpStackLocation(pIrp)->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    Lower().SetBehaviour(Behaviour::Pend());
    m_Helper = std::thread([this] {
        if (Lower().WaitForPending(1))
            Lower().CompletePending(STATUS_BUFFER_OVERFLOW, 5);
    });
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, TfSendSynchronousRequest(pIrp, LowerDevice()));
    JoinHelper();
    // Back with us, not completed further: the caller still owns it.
    EXPECT_EQ(5u, pIrp->IoStatus.Information);
    ASSERT_EQ(1u, Lower().Received().size());
    EXPECT_EQ(IRP_MN_QUERY_CAPABILITIES, Lower().Received()[0].minor);
    EXPECT_EQ(STATUS_BUFFER_OVERFLOW, TfCompleteRequestAsIs(pIrp));
    IoFreeIrp(pIrp);

    pIrp = NewUpperIrp(IRP_MJ_PNP);
    Lower().SetBehaviour(Behaviour::Complete(STATUS_INVALID_DEVICE_REQUEST));
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, TfSendSynchronousRequest(pIrp, LowerDevice()));
    IoFreeIrp(pIrp);
}

// ---------------------------------------------------------------------------------------------
// Device control
// ---------------------------------------------------------------------------------------------

TEST_F(TfRequestTest, DeviceControlThatFailsAtOnceReturnsFalseWithoutWaiting)
{
    Lower().SetBehaviour(Behaviour::Complete(STATUS_INVALID_DEVICE_REQUEST));
    ULONG ulIn = 7;
    EXPECT_FALSE(TfSendSynchronousDeviceControl(LowerDevice(), kBufferedCode, &ulIn, sizeof(ulIn), TRUE, NULL));
    UCHAR Output[4];
    ULONG ulLength = sizeof(Output);
    EXPECT_FALSE(TfSendSynchronousDeviceControlWithOutput(LowerDevice(), kBufferedCode, NULL, 0, Output, &ulLength,
                                                          FALSE, NULL));
    EXPECT_EQ(sizeof(Output), ulLength);  // untouched on failure

    auto Received = Lower().Received();
    ASSERT_EQ(2u, Received.size());
    EXPECT_EQ(IRP_MJ_INTERNAL_DEVICE_CONTROL, Received[0].major);
    EXPECT_EQ(kBufferedCode, Received[0].ioControlCode);
    EXPECT_EQ((std::vector<uint8_t>{7, 0, 0, 0}), Received[0].input);
    EXPECT_EQ(IRP_MJ_DEVICE_CONTROL, Received[1].major);
}

TEST_F(TfRequestTest, PendingDeviceControlWaitsAndReturnsTheInformationAndData)
{
    FILE_OBJECT FileObject{};
    Lower().SetBehaviour(Behaviour::Pend());
    m_Helper = std::thread([this] {
        if (Lower().WaitForPending(1))
            Lower().CompletePending(STATUS_SUCCESS, 4, {1, 2, 3, 4});
    });
    UCHAR Output[8] = {};
    ULONG ulLength = sizeof(Output);
    EXPECT_TRUE(TfSendSynchronousDeviceControlWithOutput(LowerDevice(), kBufferedCode, NULL, 0, Output, &ulLength,
                                                         FALSE, &FileObject));
    JoinHelper();
    EXPECT_EQ(4u, ulLength);
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4}), std::vector<uint8_t>(Output, Output + 4));
    ASSERT_EQ(1u, Lower().Received().size());
    EXPECT_EQ(&FileObject, Lower().Received()[0].fileObject);
}

TEST_F(TfRequestTest, DeviceControlAnswerLongerThanTheBufferIsNotPassedOn)
{
    Lower().SetBehaviour(Behaviour::Complete(STATUS_SUCCESS, 16));
    UCHAR Output[4];
    ULONG ulLength = sizeof(Output);
    EXPECT_TRUE(TfSendSynchronousDeviceControlWithOutput(LowerDevice(), kBufferedCode, NULL, 0, Output, &ulLength,
                                                         FALSE, NULL));
    Take(Violation::IrpBufferOverrun);
    EXPECT_EQ(sizeof(Output), ulLength);
}

TEST_F(TfRequestTest, DeviceControlThatCannotBeBuiltReturnsFalse)
{
    machine().GetIo().FailNextAllocate();
    EXPECT_FALSE(TfSendSynchronousDeviceControl(LowerDevice(), kBufferedCode, NULL, 0, FALSE, NULL));
    UCHAR Output[4];
    ULONG ulLength = sizeof(Output);
    machine().GetIo().FailNextAllocate();
    EXPECT_FALSE(TfSendSynchronousDeviceControlWithOutput(LowerDevice(), kBufferedCode, NULL, 0, Output, &ulLength,
                                                          FALSE, NULL));
    EXPECT_EQ(0u, Lower().ReceivedCount());
}

// ---------------------------------------------------------------------------------------------
// Create and close
// ---------------------------------------------------------------------------------------------

TEST_F(TfRequestTest, CreateAndCloseSendTheirMajorFunctionAndSucceedOnSuccess)
{
    EXPECT_TRUE(TfSendSynchronousCreate(&m_Caller, LowerDevice()));
    EXPECT_TRUE(TfSendSynchronousClose(&m_Caller, LowerDevice()));
    Lower().SetBehaviour(Behaviour::Complete(STATUS_ACCESS_DENIED));
    EXPECT_FALSE(TfSendSynchronousCreate(&m_Caller, LowerDevice()));
    auto Received = Lower().Received();
    ASSERT_EQ(3u, Received.size());
    EXPECT_EQ(IRP_MJ_CREATE, Received[0].major);
    EXPECT_EQ(IRP_MJ_CLOSE, Received[1].major);

    machine().GetIo().FailNextAllocate();
    EXPECT_FALSE(TfSendSynchronousClose(&m_Caller, LowerDevice()));
    EXPECT_EQ(3u, Lower().ReceivedCount());
}

TEST_F(TfRequestTest, CreateThatTimesOutIsCancelledWaitedForAndFreed)
{
    Lower().SetBehaviour(Behaviour::PendUntilCancelled());
    LONGLONG llStart = (LONGLONG)KeQueryInterruptTime();
    AdvanceWhenWaiting(kHalfSecond);
    EXPECT_FALSE(TfSendSynchronousCreate(&m_Caller, LowerDevice()));
    JoinHelper();
    EXPECT_EQ(llStart + kHalfSecond, (LONGLONG)KeQueryInterruptTime());
    EXPECT_EQ(0u, Lower().PendingCount());
    EXPECT_EQ(0u, machine().GetIo().LiveIrpCount());
}

TEST_F(TfRequestTest, PendingCreateCompletedInTimeSucceeds)
{
    Lower().SetBehaviour(Behaviour::Pend());
    m_Helper = std::thread([this] {
        if (Lower().WaitForPending(1))
            Lower().CompletePending(STATUS_SUCCESS);
    });
    EXPECT_TRUE(TfSendSynchronousCreate(&m_Caller, LowerDevice()));
}

// ---------------------------------------------------------------------------------------------
// Read
// ---------------------------------------------------------------------------------------------

TEST_F(TfRequestTest, ReadNeedsALowerDeviceThatDoesBufferedIo)
{
    Lower().SetFlags(DO_DIRECT_IO);
    UCHAR Buffer[8];
    ULONG ulRead = 99;
    EXPECT_FALSE(TfSendSynchronousRead(&m_Caller, LowerDevice(), Buffer, sizeof(Buffer), NULL, TF_READ_ONCE, &ulRead));
    EXPECT_EQ(0u, ulRead);
    EXPECT_EQ(0u, Lower().ReceivedCount());
}

TEST_F(TfRequestTest, ReadCompletedAtOnceDeliversTheBytesIntoTheCallersBuffer)
{
    Lower().SetBehaviour(Behaviour::Complete(STATUS_SUCCESS, 3, {9, 8, 7}));
    UCHAR Buffer[8] = {};
    ULONG ulRead = 0;
    EXPECT_TRUE(TfSendSynchronousRead(&m_Caller, LowerDevice(), Buffer, sizeof(Buffer), NULL, TF_READ_RETRY, &ulRead));
    EXPECT_EQ(3u, ulRead);
    EXPECT_EQ((std::vector<uint8_t>{9, 8, 7}), std::vector<uint8_t>(Buffer, Buffer + 3));
    auto Received = Lower().Received();
    ASSERT_EQ(1u, Received.size());
    EXPECT_EQ(IRP_MJ_READ, Received[0].major);
    EXPECT_EQ(sizeof(Buffer), Received[0].length);
    EXPECT_EQ(0, Received[0].byteOffset);

    // A time-out the lower driver reports counts as success only for a caller that takes the count.
    Lower().SetBehaviour(Behaviour::Complete(STATUS_TIMEOUT));
    EXPECT_TRUE(TfSendSynchronousRead(&m_Caller, LowerDevice(), Buffer, sizeof(Buffer), NULL, TF_READ_ONCE, &ulRead));
    EXPECT_EQ(0u, ulRead);
    EXPECT_FALSE(TfSendSynchronousRead(&m_Caller, LowerDevice(), Buffer, sizeof(Buffer), NULL, TF_READ_ONCE, NULL));

    machine().GetIo().FailNextAllocate();
    EXPECT_FALSE(TfSendSynchronousRead(&m_Caller, LowerDevice(), Buffer, sizeof(Buffer), NULL, TF_READ_ONCE, &ulRead));
}

TEST_F(TfRequestTest, ReadOnceNeverCompletedEndsAfterTheCallersTimeOutWithNoBytes)
{
    Lower().SetBehaviour(Behaviour::PendUntilCancelled());
    m_Caller.m_SetDefaultTimeout(-2 * kHalfSecond);
    LONGLONG llStart = (LONGLONG)KeQueryInterruptTime();
    AdvanceWhenWaiting(2 * kHalfSecond);
    UCHAR Buffer[8];
    ULONG ulRead = 99;
    EXPECT_TRUE(TfSendSynchronousRead(&m_Caller, LowerDevice(), Buffer, sizeof(Buffer), NULL, TF_READ_ONCE, &ulRead));
    JoinHelper();
    EXPECT_EQ(0u, ulRead);
    EXPECT_EQ(llStart + 2 * kHalfSecond, (LONGLONG)KeQueryInterruptTime());
    EXPECT_EQ(1u, Lower().ReceivedCount());
    EXPECT_EQ(0u, Lower().PendingCount());
}

TEST_F(TfRequestTest, ReadCompletedInTheRaceWithItsTimeOutKeepsItsData)
{
    // The lower driver has no cancel routine: the cancel only marks the request, and the driver
    // completes it with data after the time-out.
    Lower().SetBehaviour(Behaviour::Pend());
    m_Helper = std::thread([this] {
        if (!machine().GetDispatcher().AwaitTimedWaiters(1) || !Lower().WaitForPending(1))
            return;
        PIRP pIrp = Lower().Received()[0].irp;
        machine().GetClock().Advance(kHalfSecond);
        auto Bound = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        // IoCancelIrp sets the flag on the reading thread.
        while (!std::atomic_ref<BOOLEAN>(pIrp->Cancel).load() && std::chrono::steady_clock::now() < Bound)
            std::this_thread::yield();
        Lower().CompletePending(STATUS_SUCCESS, 2, {0x55, 0x66});
    });
    UCHAR Buffer[4] = {};
    ULONG ulRead = 0;
    EXPECT_TRUE(TfSendSynchronousRead(&m_Caller, LowerDevice(), Buffer, sizeof(Buffer), NULL, TF_READ_ONCE, &ulRead));
    JoinHelper();
    EXPECT_EQ(2u, ulRead);
    EXPECT_EQ((std::vector<uint8_t>{0x55, 0x66}), std::vector<uint8_t>(Buffer, Buffer + 2));
    EXPECT_EQ(1u, Lower().ReceivedCount());
}

TEST_F(TfRequestTest, RetryingReadSendsAgainAfterEachPeriodUntilItCompletes)
{
    Lower().SetBehaviour(Behaviour::PendUntilCancelled());
    KEVENT Stop;
    KeInitializeEvent(&Stop, NotificationEvent, FALSE);
    m_Helper = std::thread([this] {
        if (!machine().GetDispatcher().AwaitTimedWaiters(1))
            return;
        machine().GetClock().Advance(kFiveSeconds);
        // The second read, sent on a fresh request.
        if (!Lower().WaitForReceived(2) || !Lower().WaitForPending(1))
            return;
        Lower().CompletePending(STATUS_SUCCESS, 1, {0x42});
    });
    UCHAR Buffer[4] = {};
    ULONG ulRead = 0;
    EXPECT_TRUE(TfSendSynchronousRead(&m_Caller, LowerDevice(), Buffer, sizeof(Buffer), &Stop, TF_READ_RETRY, &ulRead));
    JoinHelper();
    EXPECT_EQ(1u, ulRead);
    EXPECT_EQ(0x42, Buffer[0]);
    EXPECT_EQ(2u, Lower().ReceivedCount());
}

TEST_F(TfRequestTest, RetryingReadStoppedWhileWaitingEndsAfterThePeriodWithFalseAndKeepsTheStopEvent)
{
    Lower().SetBehaviour(Behaviour::PendUntilCancelled());
    KEVENT Stop;
    KeInitializeEvent(&Stop, NotificationEvent, FALSE);
    LONGLONG llStart = (LONGLONG)KeQueryInterruptTime();
    m_Helper = std::thread([this, &Stop] {
        if (!machine().GetDispatcher().AwaitTimedWaiters(1))
            return;
        KeSetEvent(&Stop, 0, FALSE);
        machine().GetClock().Advance(kFiveSeconds);
    });
    UCHAR Buffer[4];
    ULONG ulRead = 99;
    EXPECT_FALSE(TfSendSynchronousRead(&m_Caller, LowerDevice(), Buffer, sizeof(Buffer), &Stop, TF_READ_RETRY, &ulRead));
    JoinHelper();
    EXPECT_EQ(0u, ulRead);
    EXPECT_EQ(llStart + kFiveSeconds, (LONGLONG)KeQueryInterruptTime());
    // The caller's own loop still sees the stop.
    EXPECT_NE(0, KeReadStateEvent(&Stop));
    EXPECT_EQ(1u, Lower().ReceivedCount());
    EXPECT_EQ(0u, Lower().PendingCount());
}

}  // namespace
