// The request path of the I/O manager: sending IRPs down, completion routines, the requests the
// I/O manager builds and finishes for its caller, cancellation, and the ownership checks.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "io/io_manager.h"
#include "fake_lower_device.h"
#include "machine_test.h"

namespace emu::testing {
namespace {

using Behaviour = FakeLowerDevice::Behaviour;

// A completion routine that notes how it was called.
struct Probe {
    std::string name;
    std::vector<std::string>* log = nullptr;
    NTSTATUS result = STATUS_SUCCESS;
    std::atomic<int> calls{0};
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
    NTSTATUS status = 0;
};

NTSTATUS ProbeRoutine(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context)
{
    auto* probe = static_cast<Probe*>(context);
    ++probe->calls;
    probe->device = deviceObject;
    probe->pendingReturned = irp->PendingReturned;
    probe->status = irp->IoStatus.Status;
    if (probe->log) probe->log->push_back(probe->name);
    if (probe->result != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned) IoMarkIrpPending(irp);
    return probe->result;
}

// A driver layer that passes every IRP down, with the probe as its completion routine (or none).
Behaviour ForwardTo(PDEVICE_OBJECT lower, Probe* probe)
{
    return Behaviour::Custom([lower, probe](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        if (probe) IoSetCompletionRoutine(irp, ProbeRoutine, probe, TRUE, TRUE, TRUE);
        return IoCallDriver(lower, irp);
    });
}

// The routine with which a sender takes its own IRP back from completion.
NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

// An IRP of the sender's own, with the probe (or a routine that keeps it) on the first location it
// fills.
PIRP SenderIrp(CCHAR stackSize, UCHAR major, Probe* probe)
{
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    if (probe)
        IoSetCompletionRoutine(irp, ProbeRoutine, probe, TRUE, TRUE, TRUE);
    else
        IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    return irp;
}

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeitherCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool WaitFor(KEVENT& event)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10LL * 10000000;  // a bound, so a broken test fails instead of hanging
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

using IrpAllocationTest = MachineTest;

TEST_F(IrpAllocationTest, FreshIrpIsZeroedAndItsFirstLocationIsTheTopmost)
{
    PIRP irp = IoAllocateIrp(3, FALSE);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    EXPECT_EQ(irp->CancelRoutine, nullptr);

    FakeLowerDevice lower(3);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = irp;
    IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
    lower.SetBehaviour(Behaviour::Custom([irp](PDEVICE_OBJECT self, PIRP received) {
        EXPECT_EQ(received, irp);
        EXPECT_EQ(received->CurrentLocation, 3);
        EXPECT_EQ(IoGetCurrentIrpStackLocation(received)->DeviceObject, self);
        EXPECT_EQ(IoGetCurrentIrpStackLocation(received)->Parameters.Others.Argument1, irp);
        return CompleteNow(received, STATUS_SUCCESS);
    }));
    EXPECT_EQ(IoCallDriver(lower.Device(), irp), STATUS_SUCCESS);
    IoFreeIrp(irp);
    EXPECT_EQ(machine().GetIo().LiveIrpCount(), 0u);
}


TEST_F(IrpAllocationTest, InjectedFailureRefusesTheNextAllocationOnly)
{
    FakeLowerDevice lower;
    machine().GetIo().FailNextAllocate();
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    machine().GetIo().FailNextAllocate();
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(IoBuildDeviceIoControlRequest(kBufferedCode, lower.Device(), nullptr, 0, nullptr, 0, FALSE, nullptr,
                                            &iosb),
              nullptr);
    PIRP irp = IoAllocateIrp(1, FALSE);
    EXPECT_NE(irp, nullptr);
    IoFreeIrp(irp);
}

TEST_F(IrpAllocationTest, FreeingTwiceOrWhileALowerDriverOwnsItIsReportedAndHarmless)
{
    FakeLowerDevice lower;
    lower.SetBehaviour(Behaviour::Pend());
    PIRP irp = SenderIrp(1, IRP_MJ_READ, nullptr);
    ASSERT_EQ(IoCallDriver(lower.Device(), irp), STATUS_PENDING);

    IoFreeIrp(irp);
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
    EXPECT_TRUE(machine().GetIo().IsLiveIrp(irp));  // still there for the driver that holds it
    EXPECT_EQ(machine().GetIo().InFlightIrpCount(lower.Device()), 1u);

    ASSERT_TRUE(lower.CompletePending(STATUS_SUCCESS));
    EXPECT_EQ(machine().GetIo().InFlightIrpCount(), 0u);
    IoFreeIrp(irp);
    IoFreeIrp(irp);
    EXPECT_EQ(Take(Violation::Bugcheck), 1u);
}

TEST_F(IrpAllocationTest, ReusedIrpStartsAfreshWithTheGivenStatus)
{
    FakeLowerDevice lower;
    lower.SetBehaviour(Behaviour::Complete(STATUS_UNSUCCESSFUL, 5));
    Probe probe;
    probe.result = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = SenderIrp(1, IRP_MJ_READ, &probe);
    EXPECT_EQ(IoCallDriver(lower.Device(), irp), STATUS_UNSUCCESSFUL);

    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    EXPECT_EQ(irp->CurrentLocation, 2);
    lower.SetBehaviour(Behaviour::Complete(STATUS_SUCCESS, 9));
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, ProbeRoutine, &probe, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(lower.Device(), irp), STATUS_SUCCESS);
    EXPECT_EQ(probe.calls, 2);
    EXPECT_EQ(irp->IoStatus.Information, 9u);
    IoFreeIrp(irp);
}

using IrpCallTest = MachineTest;

TEST_F(IrpCallTest, RunningOffTheStackIsReportedAndRefused)
{
    FakeLowerDevice lower(1);
    FakeLowerDevice middle(1);  // claims one location although it forwards
    middle.SetBehaviour(ForwardTo(lower.Device(), nullptr));
    PIRP irp = SenderIrp(middle.Device()->StackSize, IRP_MJ_READ, nullptr);
    NTSTATUS status = IoCallDriver(middle.Device(), irp);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(Take(Violation::IrpStackOverrun), 1u);
    EXPECT_EQ(lower.ReceivedCount(), 0u);
    CompleteNow(irp, status);  // the middle driver finishes the request with the lower's answer
    IoFreeIrp(irp);
}

TEST_F(IrpCallTest, MajorFunctionWithoutDispatchIsRefusedAsInvalid)
{
    FakeLowerDevice lower;
    lower.Driver()->MajorFunction[IRP_MJ_WRITE] = nullptr;
    Probe probe;
    probe.result = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = SenderIrp(1, IRP_MJ_WRITE, &probe);
    EXPECT_EQ(IoCallDriver(lower.Device(), irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(probe.status, STATUS_INVALID_DEVICE_REQUEST);
    IoFreeIrp(irp);
}

// The I/O verifier's view of a dispatch routine: STATUS_PENDING goes with IoMarkIrpPending both
// ways, judged once the routine has returned and completion has passed its location, whichever
// comes first; and the routine returns at the IRQL it was called at.
TEST_F(IrpCallTest, PendingProtocolAndIrqlOfEachDispatchAreChecked)
{
    FakeLowerDevice lower(1), top(2);
    lower.SetBehaviour(Behaviour::Pend());
    PIRP held = nullptr;  // a request the top driver keeps, completed after its dispatch returned
    Probe propagating;    // passes PendingReturned on, as a completion routine must
    struct Case {
        const char* name;
        Behaviour topDriver;
        size_t mismatches;
        size_t irqlChanges;
    };
    const Case cases[] = {
        {"pends without marking", Behaviour::Custom([&](PDEVICE_OBJECT, PIRP irp) {
             held = irp;
             return STATUS_PENDING;
         }),
         1, 0},
        {"marks and pends", Behaviour::Custom([&](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             held = irp;
             return STATUS_PENDING;
         }),
         0, 0},
        {"marks, completes and returns success", Behaviour::Custom([](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             return CompleteNow(irp, STATUS_SUCCESS);
         }),
         1, 0},
        {"completes and returns its status",
         Behaviour::Custom([](PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_SUCCESS); }), 0, 0},
        {"skips down to a driver that pends", Behaviour::Custom([&](PDEVICE_OBJECT, PIRP irp) {
             IoSkipCurrentIrpStackLocation(irp);
             return IoCallDriver(lower.Device(), irp);
         }),
         0, 0},
        {"forwards with a routine that passes the mark on", ForwardTo(lower.Device(), &propagating), 0, 0},
        {"forwards with a routine that drops the mark", Behaviour::Custom([&](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             IoSetCompletionRoutine(
                 irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_SUCCESS; }, nullptr, TRUE, TRUE,
                 TRUE);
             return IoCallDriver(lower.Device(), irp);
         }),
         1, 0},
        {"returns at DISPATCH_LEVEL", Behaviour::Custom([](PDEVICE_OBJECT, PIRP irp) {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             return CompleteNow(irp, STATUS_SUCCESS);
         }),
         0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        top.SetBehaviour(c.topDriver);
        held = nullptr;
        PIRP irp = SenderIrp(2, IRP_MJ_READ, nullptr);
        IoCallDriver(top.Device(), irp);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        if (held) CompleteNow(held, STATUS_SUCCESS);
        if (lower.PendingCount()) {
            ASSERT_TRUE(lower.CompletePending(STATUS_SUCCESS));
        }
        EXPECT_EQ(Take(Violation::IrpPendingMismatch), c.mismatches);
        EXPECT_EQ(Take(Violation::DispatchIrqlChanged), c.irqlChanges);
        IoFreeIrp(irp);
    }
}

using IrpCompletionTest = MachineTest;

// An IRP from IoAllocateIrp belongs to its sender: a completion routine of the sender must stop the
// completion with STATUS_MORE_PROCESSING_REQUIRED, or it runs past the top, which is reported.
TEST_F(IrpCompletionTest, AllocatedIrpCompletedToTheTopIsReportedAsLeaked)
{
    struct Case {
        const char* name;
        bool routine;
        NTSTATUS routineResult;
        size_t leaked;
    };
    const Case cases[] = {
        {"no completion routine", false, STATUS_SUCCESS, 1},
        {"a routine that lets completion go on", true, STATUS_SUCCESS, 1},
        {"a routine that keeps the IRP", true, STATUS_MORE_PROCESSING_REQUIRED, 0},
    };
    FakeLowerDevice lower;
    lower.SetBehaviour(Behaviour::Complete(STATUS_SUCCESS));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Probe sender;
        sender.result = c.routineResult;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        if (c.routine) IoSetCompletionRoutine(irp, ProbeRoutine, &sender, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(lower.Device(), irp), STATUS_SUCCESS);
        EXPECT_EQ(Take(Violation::IrpLeaked), c.leaked);
        IoFreeIrp(irp);
    }
}

TEST_F(IrpCompletionTest, RoutinesRunBottomUpAndMoreProcessingRequiredStopsTheWalk)
{
    std::vector<std::string> log;
    Probe top{"top", &log}, middle{"middle", &log}, sender{"sender", &log};
    middle.result = STATUS_MORE_PROCESSING_REQUIRED;
    sender.result = STATUS_MORE_PROCESSING_REQUIRED;
    FakeLowerDevice lowerDevice(1), middleDevice(2), topDevice(3);
    lowerDevice.SetBehaviour(Behaviour::Complete(STATUS_SUCCESS, 4));
    middleDevice.SetBehaviour(ForwardTo(lowerDevice.Device(), &middle));
    topDevice.SetBehaviour(ForwardTo(middleDevice.Device(), &top));

    PIRP irp = SenderIrp(3, IRP_MJ_READ, &sender);
    EXPECT_EQ(IoCallDriver(topDevice.Device(), irp), STATUS_SUCCESS);
    EXPECT_EQ(log, std::vector<std::string>{"middle"});
    EXPECT_EQ(middle.device, middleDevice.Device());
    EXPECT_EQ(machine().GetIo().InFlightIrpCount(), 1u);  // the middle driver holds it again

    // The middle driver finishes the request it kept.
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(log, (std::vector<std::string>{"middle", "top", "sender"}));
    EXPECT_EQ(top.device, topDevice.Device());
    EXPECT_EQ(sender.device, nullptr);  // the sender owns no location of its own
    EXPECT_EQ(machine().GetIo().InFlightIrpCount(), 0u);
    IoFreeIrp(irp);
}

struct InvokeCase {
    NTSTATUS status;
    bool cancel;
    bool onSuccess, onError, onCancel;
    bool invoked;
};

TEST_F(IrpCompletionTest, InvokeFlagsChooseTheRoutinesThatRun)
{
    const InvokeCase cases[] = {
        {STATUS_SUCCESS, false, true, false, false, true},   {STATUS_SUCCESS, false, false, true, true, false},
        {STATUS_UNSUCCESSFUL, false, false, true, false, true}, {STATUS_UNSUCCESSFUL, false, true, false, true, false},
        {STATUS_CANCELLED, true, false, false, true, true},  {STATUS_BUFFER_OVERFLOW, false, true, false, false, false},
    };
    for (const InvokeCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.status << " cancel " << c.cancel);
        FakeLowerDevice lower;
        lower.SetBehaviour(Behaviour::Complete(c.status));
        Probe probe;
        probe.result = STATUS_MORE_PROCESSING_REQUIRED;
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(irp, ProbeRoutine, &probe, c.onSuccess, c.onError, c.onCancel);
        irp->Cancel = c.cancel;
        IoCallDriver(lower.Device(), irp);
        EXPECT_EQ(probe.calls, c.invoked ? 1 : 0);
        // A routine the sender's flags leave out cannot keep its IRP: it runs past the top.
        EXPECT_EQ(Take(Violation::IrpLeaked), c.invoked ? 0u : 1u);
        IoFreeIrp(irp);
    }
}

// Completion clears the location it has finished before the routine of the driver above runs:
// that driver cannot read back what it sent down. An error is kept there (SL_ERROR_RETURNED, the
// status in Argument4).
TEST_F(IrpCompletionTest, CompletedLocationIsClearedBeforeTheRoutineAboveRuns)
{
    struct Seen {
        IO_STACK_LOCATION below;
    };
    FakeLowerDevice lower(1), upper(2);
    FILE_OBJECT file{};
    Seen seen{};
    upper.SetBehaviour(Behaviour::Custom([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        next->Flags = 0x02;
        next->Parameters.Others.Argument1 = &file;
        next->Parameters.Others.Argument4 = &file;
        next->FileObject = &file;
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP completed, PVOID context) -> NTSTATUS {
                static_cast<Seen*>(context)->below = *IoGetNextIrpStackLocation(completed);
                return STATUS_SUCCESS;
            },
            &seen, TRUE, TRUE, TRUE);
        return IoCallDriver(lower.Device(), irp);
    }));
    for (NTSTATUS status : {STATUS_SUCCESS, STATUS_DEVICE_NOT_CONNECTED}) {
        SCOPED_TRACE(::testing::Message() << std::hex << status);
        lower.SetBehaviour(Behaviour::Complete(status));
        seen = Seen{};
        PIRP irp = SenderIrp(2, IRP_MJ_PNP, nullptr);
        IoCallDriver(upper.Device(), irp);
        EXPECT_EQ(seen.below.MajorFunction, IRP_MJ_PNP);
        EXPECT_EQ(seen.below.DeviceObject, lower.Device());
        EXPECT_EQ(seen.below.MinorFunction, 0);
        EXPECT_EQ(seen.below.Flags, 0);
        EXPECT_EQ(seen.below.Parameters.Others.Argument1, nullptr);
        EXPECT_EQ(seen.below.FileObject, nullptr);
        EXPECT_EQ(seen.below.CompletionRoutine, nullptr);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(seen.below.Control, 0);
            EXPECT_EQ(seen.below.Parameters.Others.Argument4, nullptr);
        } else {
            EXPECT_EQ(seen.below.Control, SL_ERROR_RETURNED);
            EXPECT_EQ(seen.below.Parameters.Others.Argument4,
                      reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(status))));
        }
        IoFreeIrp(irp);
    }
}

TEST_F(IrpCompletionTest, PendingReturnedReachesTheSenderThroughLayersWithoutRoutines)
{
    for (bool pend : {false, true}) {
        SCOPED_TRACE(pend ? "pending lower driver" : "synchronous lower driver");
        FakeLowerDevice lower(1), skipping(2), copying(3);
        lower.SetBehaviour(pend ? Behaviour::Pend() : Behaviour::Complete(STATUS_SUCCESS));
        skipping.SetBehaviour(Behaviour::Custom([&lower](PDEVICE_OBJECT, PIRP irp) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(lower.Device(), irp);
        }));
        copying.SetBehaviour(ForwardTo(skipping.Device(), nullptr));
        Probe sender;
        sender.result = STATUS_MORE_PROCESSING_REQUIRED;
        PIRP irp = SenderIrp(3, IRP_MJ_READ, &sender);
        NTSTATUS status = IoCallDriver(copying.Device(), irp);
        EXPECT_EQ(status, pend ? STATUS_PENDING : STATUS_SUCCESS);
        if (pend) {
            ASSERT_TRUE(lower.CompletePending(STATUS_SUCCESS));
        }
        EXPECT_EQ(sender.calls, 1);
        EXPECT_EQ(sender.pendingReturned, pend ? TRUE : FALSE);
        IoFreeIrp(irp);
    }
}

TEST_F(IrpCompletionTest, SecondCompletionIsReportedAndIgnored)
{
    FakeLowerDevice lower;
    lower.SetBehaviour(Behaviour::Complete(STATUS_SUCCESS));
    PIRP irp = SenderIrp(1, IRP_MJ_READ, nullptr);
    IoCallDriver(lower.Device(), irp);
    EXPECT_EQ(verifier().Count(Violation::IrpCompletedTwice), 0u);  // the sender frees its own IRP
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(Take(Violation::IrpCompletedTwice), 1u);
    IoFreeIrp(irp);

    // A built request is gone once completed: completing it again touches no freed memory.
    IO_STATUS_BLOCK iosb{};
    PIRP built = IoBuildDeviceIoControlRequest(kBufferedCode, lower.Device(), nullptr, 0, nullptr, 0, FALSE,
                                               nullptr, &iosb);
    IoCallDriver(lower.Device(), built);
    IoCompleteRequest(built, IO_NO_INCREMENT);
    EXPECT_EQ(Take(Violation::IrpCompletedTwice), 1u);
}

TEST_F(IrpCompletionTest, CompletionWithCancelRoutineSetIsReportedAndTheRoutineDropped)
{
    FakeLowerDevice lower;
    lower.SetBehaviour(Behaviour::Custom([](PDEVICE_OBJECT, PIRP irp) {
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) { ADD_FAILURE() << "cancel routine ran"; });
        return CompleteNow(irp, STATUS_SUCCESS);
    }));
    Probe sender;
    sender.result = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = SenderIrp(1, IRP_MJ_READ, &sender);
    IoCallDriver(lower.Device(), irp);
    EXPECT_EQ(Take(Violation::IrpCancelRoutineSet), 1u);
    EXPECT_FALSE(IoCancelIrp(irp));
    IoFreeIrp(irp);
}

using BuiltRequestTest = MachineTest;

TEST_F(BuiltRequestTest, BufferedDeviceControlCopiesBackAndFinishesBeforeReturning)
{
    FakeLowerDevice lower(2);
    lower.SetBehaviour(Behaviour::Complete(STATUS_SUCCESS, 3, {'a', 'b', 'c'}));
    uint8_t input[2] = {0x11, 0x22};
    uint8_t output[4] = {0, 0, 0, 0xEE};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, lower.Device(), input, sizeof(input), output,
                                             sizeof(output), FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, 2);
    EXPECT_EQ(IoCallDriver(lower.Device(), irp), STATUS_SUCCESS);

    ReceivedIrp received = lower.Received().at(0);
    EXPECT_EQ(received.major, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(received.ioControlCode, kBufferedCode);
    EXPECT_EQ(received.outputLength, 4u);
    EXPECT_EQ(received.input, (std::vector<uint8_t>{0x11, 0x22}));
    // Filled before IoCallDriver returned: the caller need not wait.
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(std::memcmp(output, "abc\xEE", 4), 0);
    EXPECT_EQ(machine().GetIo().LiveIrpCount(), 0u);
}

TEST_F(BuiltRequestTest, PendingRequestCompletedOnAnotherThreadSignalsTheCaller)
{
    FakeLowerDevice lower;
    lower.SetBehaviour(Behaviour::Pend());
    uint8_t output[8] = {};
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, lower.Device(), nullptr, 0, output, sizeof(output),
                                             TRUE, &event, &iosb);
    ASSERT_EQ(IoCallDriver(lower.Device(), irp), STATUS_PENDING);
    EXPECT_EQ(lower.Received().at(0).major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    std::thread completer([&lower] { lower.CompletePending(STATUS_SUCCESS, 2, {7, 8}); });
    ASSERT_TRUE(WaitFor(event));
    completer.join();
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 2u);
    EXPECT_EQ(output[0], 7);
    EXPECT_EQ(output[1], 8);
}

TEST_F(BuiltRequestTest, FailedRequestCopiesNothingBack)
{
    FakeLowerDevice lower;
    lower.SetBehaviour(Behaviour::Complete(STATUS_INVALID_PARAMETER, 2, {1, 2}));
    uint8_t output[2] = {0xAA, 0xAA};
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, lower.Device(), nullptr, 0, output, sizeof(output),
                                             FALSE, nullptr, &iosb);
    EXPECT_EQ(IoCallDriver(lower.Device(), irp), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(iosb.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(output[0], 0xAA);
}

TEST_F(BuiltRequestTest, AnswerLongerThanTheOutputBufferIsReportedAndCut)
{
    FakeLowerDevice lower;
    // The input is the longer buffer, so the system buffer has room for the lower driver's overrun.
    std::vector<uint8_t> answer(16, 0x5A);
    lower.SetBehaviour(Behaviour::Complete(STATUS_SUCCESS, answer.size(), answer));
    uint8_t input[16] = {};
    uint8_t output[8 + 4] = {};
    std::memset(output + 8, 0xC3, 4);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, lower.Device(), input, sizeof(input), output, 8, FALSE,
                                             nullptr, &iosb);
    IoCallDriver(lower.Device(), irp);
    EXPECT_EQ(Take(Violation::IrpBufferOverrun), 1u);
    EXPECT_EQ(iosb.Information, 8u);
    EXPECT_EQ(output[7], 0x5A);
    EXPECT_EQ(output[8], 0xC3);  // nothing beyond the caller's buffer
}

TEST_F(BuiltRequestTest, MethodNeitherHandsTheCallersBuffersOver)
{
    FakeLowerDevice lower;
    uint8_t input[3] = {1, 2, 3};
    uint8_t output[5] = {};
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(kNeitherCode, lower.Device(), input, sizeof(input), output,
                                             sizeof(output), TRUE, nullptr, &iosb);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    EXPECT_EQ(next->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(next->Parameters.DeviceIoControl.Type3InputBuffer, input);
    EXPECT_EQ(next->Parameters.DeviceIoControl.InputBufferLength, 3u);
    EXPECT_EQ(next->Parameters.DeviceIoControl.OutputBufferLength, 5u);
    EXPECT_EQ(irp->UserBuffer, output);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    lower.SetBehaviour(Behaviour::Complete(STATUS_SUCCESS, 1, {9}));
    IoCallDriver(lower.Device(), irp);
    EXPECT_EQ(lower.Received().at(0).input, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(output[0], 9);
}

TEST_F(BuiltRequestTest, BuildingAboveIrqlPassiveIsReported)
{
    FakeLowerDevice lower;
    IO_STATUS_BLOCK iosb{};
    PIRP irp;
    {
        ScopedIrql dispatch(DISPATCH_LEVEL);
        irp = IoBuildDeviceIoControlRequest(kBufferedCode, lower.Device(), nullptr, 0, nullptr, 0, FALSE, nullptr,
                                            &iosb);
    }
    EXPECT_EQ(Take(Violation::IrqlTooHigh), 1u);
    IoCallDriver(lower.Device(), irp);
}

TEST_F(BuiltRequestTest, SynchronousReadUsesASystemBufferOnlyForBufferedDevices)
{
    for (ULONG flags : {ULONG{DO_BUFFERED_IO}, ULONG{0}}) {
        SCOPED_TRACE(flags ? "buffered" : "not buffered");
        FakeLowerDevice lower(1, flags);
        lower.SetBehaviour(Behaviour::Complete(STATUS_SUCCESS, 4, {'d', 'a', 't', 'a'}));
        char buffer[6] = {};
        LARGE_INTEGER offset;
        offset.QuadPart = 12;
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, lower.Device(), buffer, sizeof(buffer), &offset,
                                                nullptr, &iosb);
        EXPECT_EQ(irp->AssociatedIrp.SystemBuffer != nullptr, flags != 0);
        IoCallDriver(lower.Device(), irp);
        EXPECT_EQ(lower.Received().at(0).length, 6u);
        EXPECT_EQ(lower.Received().at(0).byteOffset, 12);
        EXPECT_EQ(iosb.Information, 4u);
        EXPECT_STREQ(buffer, "data");
    }
}

using IrpCancelTest = MachineTest;

TEST_F(IrpCancelTest, CancelRoutineRunsWithTheCancelLockAndCompletesTheIrp)
{
    FakeLowerDevice lower;
    lower.SetBehaviour(Behaviour::PendUntilCancelled());
    Probe sender;
    sender.result = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = SenderIrp(1, IRP_MJ_READ, &sender);
    ASSERT_EQ(IoCallDriver(lower.Device(), irp), STATUS_PENDING);

    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(sender.calls, 1);
    EXPECT_EQ(sender.status, STATUS_CANCELLED);
    EXPECT_TRUE(sender.pendingReturned);
    EXPECT_TRUE(irp->Cancel);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_FALSE(IoCancelIrp(irp));  // nothing left to cancel
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);  // the routine gave the lock back
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    IoReleaseCancelSpinLock(irql);
    IoFreeIrp(irp);
}

// Cancellations and completions on two processors with nothing but the IRP between them: the I/O
// manager's own reads and writes of Cancel and CancelRoutine must not race. ThreadSanitizer sees a
// plain access here whatever the timing: the threads take turns through flags that order nothing,
// and both live until both are done (a thread's end would order it before the other).
struct TakingTurns {
    std::atomic<bool> first{false}, second{false}, done{false};
    static void Await(const std::atomic<bool>& flag)
    {
        while (!flag.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
    static void Set(std::atomic<bool>& flag) { flag.store(true, std::memory_order_relaxed); }
};

TEST_F(IrpCancelTest, WithoutCancelRoutineTheIrpStaysWithItsDriver)
{
    FakeLowerDevice lower;
    lower.SetBehaviour(Behaviour::Pend());
    Probe sender;
    sender.result = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = SenderIrp(1, IRP_MJ_READ, &sender);
    IoCallDriver(lower.Device(), irp);

    // Cancelled on one processor, completed by its driver later on another.
    TakingTurns turns;
    std::thread canceller([&] {
        EXPECT_FALSE(IoCancelIrp(irp));
        TakingTurns::Set(turns.first);
        TakingTurns::Await(turns.done);
    });
    std::thread completer([&] {
        TakingTurns::Await(turns.first);
        EXPECT_TRUE(ReadBooleanAcquire(&irp->Cancel));
        EXPECT_EQ(sender.calls, 0);
        EXPECT_TRUE(lower.CompletePending(STATUS_SUCCESS, 1));
        TakingTurns::Set(turns.done);
    });
    canceller.join();
    completer.join();
    EXPECT_EQ(sender.calls, 1);
    EXPECT_EQ(sender.status, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

// A layer's completion routine that lets a cancellation in while the IRP is on its way up.
NTSTATUS LetACancellationIn(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* turns = static_cast<TakingTurns*>(context);
    TakingTurns::Set(turns->first);
    TakingTurns::Await(turns->second);
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

TEST_F(IrpCancelTest, CancellationOnAnotherProcessorDuringCompletion)
{
    FakeLowerDevice lower;
    lower.SetBehaviour(Behaviour::Pend());
    TakingTurns turns;
    FakeLowerDevice upper(2);
    upper.SetBehaviour(Behaviour::Custom([&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, LetACancellationIn, &turns, TRUE, TRUE, TRUE);
        return IoCallDriver(lower.Device(), irp);
    }));
    Probe sender;
    sender.result = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = SenderIrp(2, IRP_MJ_READ, &sender);
    ASSERT_EQ(IoCallDriver(upper.Device(), irp), STATUS_PENDING);

    std::thread completer([&] {
        EXPECT_TRUE(lower.CompletePending(STATUS_SUCCESS, 1));
        TakingTurns::Set(turns.done);
    });
    std::thread canceller([&] {
        TakingTurns::Await(turns.first);
        EXPECT_FALSE(IoCancelIrp(irp));
        TakingTurns::Set(turns.second);
        TakingTurns::Await(turns.done);
    });
    completer.join();
    canceller.join();
    EXPECT_EQ(sender.calls, 1);
    EXPECT_EQ(sender.status, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

TEST_F(IrpCancelTest, IrpCancelledBeforeItArrivesIsCompletedAtOnce)
{
    FakeLowerDevice lower;
    lower.SetBehaviour(Behaviour::PendUntilCancelled());
    Probe sender;
    sender.result = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = SenderIrp(1, IRP_MJ_READ, &sender);
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_EQ(IoCallDriver(lower.Device(), irp), STATUS_PENDING);
    EXPECT_EQ(sender.status, STATUS_CANCELLED);
    EXPECT_EQ(lower.PendingCount(), 0u);
    IoFreeIrp(irp);
}

TEST_F(IrpCancelTest, CancelRacingCompletionCompletesExactlyOnce)
{
    for (int round = 0; round < 200; ++round) {
        FakeLowerDevice lower;
        lower.SetBehaviour(Behaviour::PendUntilCancelled());
        Probe sender;
        sender.result = STATUS_MORE_PROCESSING_REQUIRED;
        PIRP irp = SenderIrp(1, IRP_MJ_READ, &sender);
        ASSERT_EQ(IoCallDriver(lower.Device(), irp), STATUS_PENDING);

        std::latch start(2);
        bool completed = false;
        BOOLEAN cancelled = FALSE;
        std::thread completer([&] {
            start.arrive_and_wait();
            completed = lower.CompletePending(STATUS_SUCCESS, 7);
        });
        std::thread canceller([&] {
            start.arrive_and_wait();
            cancelled = IoCancelIrp(irp);
        });
        completer.join();
        canceller.join();

        ASSERT_EQ(sender.calls, 1) << "round " << round;
        ASSERT_NE(completed, cancelled == TRUE) << "round " << round;
        EXPECT_EQ(sender.status, completed ? STATUS_SUCCESS : STATUS_CANCELLED);
        EXPECT_EQ(irp->IoStatus.Information, completed ? 7u : 0u);
        IoFreeIrp(irp);
    }
}

TEST_F(IrpCancelTest, DeviceGoingAwayCompletesWhatIsStillPending)
{
    Probe sender;
    sender.result = STATUS_MORE_PROCESSING_REQUIRED;
    PIRP irp = SenderIrp(1, IRP_MJ_READ, &sender);
    {
        FakeLowerDevice lower;
        lower.SetBehaviour(Behaviour::Pend());
        IoCallDriver(lower.Device(), irp);
    }
    EXPECT_EQ(sender.status, STATUS_CANCELLED);
    IoFreeIrp(irp);
}

}  // namespace
}  // namespace emu::testing
