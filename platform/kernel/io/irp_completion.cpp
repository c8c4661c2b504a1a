// Completion of an IRP: the walk up its stack through the completion routines, and what the I/O
// manager does once completion reaches the top.
#include <wdm.h>

#include "io/io_manager.h"
#include "io/irp_shared_fields.h"
#include "kernel.h"
#include "vf/verifier.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace emu {

namespace {

bool ShouldInvoke(UCHAR control, NTSTATUS status, BOOLEAN cancel)
{
    if (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) return true;
    if (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) return true;
    return cancel && (control & SL_INVOKE_ON_CANCEL);
}

// A completed location is cleared as Windows clears it, before the routine of the driver above
// runs: what that driver sent down is gone (so it keeps its own copy). The function codes' major
// and the device stay, and an error is kept: SL_ERROR_RETURNED with the status in Argument4.
void ClearCompletedLocation(PIO_STACK_LOCATION finished, NTSTATUS status)
{
    UCHAR control = finished->Control & SL_ERROR_RETURNED;
    PVOID errorStatus = finished->Parameters.Others.Argument4;
    if (!NT_SUCCESS(status)) {
        control |= SL_ERROR_RETURNED;
        errorStatus = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(static_cast<ULONG>(status)));
    }
    finished->MinorFunction = 0;
    finished->Flags = 0;
    std::memset(&finished->Parameters, 0, sizeof finished->Parameters);
    if (control & SL_ERROR_RETURNED) finished->Parameters.Others.Argument4 = errorStatus;
    finished->FileObject = nullptr;
    finished->Control = control;
    finished->CompletionRoutine = nullptr;
    finished->Context = nullptr;
}

}  // namespace

// No driver location is current and the IRP has been down and back: only a second completion of it
// could come now.
bool IoManager::IsBackWithItsSender(PIRP irp, const IrpRecord& record)
{
    return record.state == IrpState::Idle && record.generation > 0 && irp->CurrentLocation == irp->StackCount + 1;
}

IoManager::CompletionTicket IoManager::BeginCompletion(PIRP irp)
{
    std::lock_guard lock(m_mutex);
    auto it = m_irps.find(irp);
    if (it == m_irps.end()) {
        if (WasFreed(irp))
            m_kernel.GetVerifier().Report(Violation::IrpCompletedTwice,
                                           "IoCompleteRequest of an IRP that was completed and freed");
        else
            m_kernel.GetVerifier().Report(Violation::Bugcheck, "IoCompleteRequest of a pointer that is no IRP");
        return {};
    }
    IrpRecord& record = it->second;
    if (record.state == IrpState::Completed || irp->CurrentLocation > irp->StackCount + 1) {
        m_kernel.GetVerifier().Report(Violation::IrpCompletedTwice, "IoCompleteRequest of a completed IRP");
        return {};
    }
    if (IsBackWithItsSender(irp, record)) {
        m_kernel.GetVerifier().Report(Violation::IrpCompletedTwice,
                                       "IoCompleteRequest of an IRP that completion already gave back to its sender");
        return {};
    }
    if (HasCancelRoutine(irp)) {
        // A cancel routine left behind could run on the IRP after its owner has freed it.
        m_kernel.GetVerifier().Report(Violation::IrpCancelRoutineSet,
                                       "IoCompleteRequest of an IRP whose cancel routine is still set");
        IoSetCancelRoutine(irp, nullptr);
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
        m_kernel.GetVerifier().Report(Violation::Bugcheck, "IoCompleteRequest with STATUS_PENDING");

    CompletionTicket ticket;
    ticket.ok = true;
    ticket.generation = record.generation;
    ticket.senderLocation = record.state == IrpState::InFlight ? record.senderLocation : irp->CurrentLocation;
    return ticket;
}

void IoManager::MarkReturned(PIRP irp, uint64_t generation)
{
    std::lock_guard lock(m_mutex);
    auto it = m_irps.find(irp);
    if (it != m_irps.end() && it->second.generation == generation && it->second.state == IrpState::InFlight)
        it->second.state = IrpState::Idle;
}

void IoManager::CompleteRequest(PIRP irp)
{
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        m_kernel.GetVerifier().Report(Violation::IrqlTooHigh,
                                       "IoCompleteRequest called at IRQL " + std::to_string(irql));
    const CompletionTicket ticket = BeginCompletion(irp);
    if (!ticket.ok) return;

    const CHAR top = static_cast<CHAR>(irp->StackCount + 1);
    if (irp->CurrentLocation >= top) {
        FinishAtTop(irp, ticket.generation);
        return;
    }
    IoSkipCurrentIrpStackLocation(irp);
    for (;;) {
        PIO_STACK_LOCATION finished = irp->Tail.Overlay.CurrentStackLocation - 1;
        // Decided before any routine runs: once a routine has let the IRP go, it is not touched.
        const bool last = irp->CurrentLocation == top;
        irp->PendingReturned = (finished->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        NoteLocationCompleted(irp, ticket.generation, static_cast<CHAR>(irp->CurrentLocation - 1), irp->PendingReturned);

        PIO_COMPLETION_ROUTINE routine = finished->CompletionRoutine;
        PVOID context = finished->Context;
        const bool invoke = routine && ShouldInvoke(finished->Control, irp->IoStatus.Status, IsIrpCancelled(irp));
        ClearCompletedLocation(finished, irp->IoStatus.Status);

        // From here on the sender holds the IRP again; its routine may free it or send it anew.
        if (irp->CurrentLocation >= ticket.senderLocation) MarkReturned(irp, ticket.generation);

        if (invoke) {
            PDEVICE_OBJECT deviceObject = last ? nullptr : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            if (routine(deviceObject, irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
        } else if (irp->PendingReturned && !last) {
            IoMarkIrpPending(irp);
        }
        if (last) break;
        IoSkipCurrentIrpStackLocation(irp);
    }
    FinishAtTop(irp, ticket.generation);
}

void IoManager::FinishAtTop(PIRP irp, uint64_t generation)
{
    IrpRecord done;
    bool leaked = false;
    {
        std::lock_guard lock(m_mutex);
        auto it = m_irps.find(irp);
        // Freed or sent anew by its owner meanwhile: the owner has it.
        if (it == m_irps.end() || it->second.generation != generation) return;
        IoSkipCurrentIrpStackLocation(irp);  // past the top: a second completion is recognised
        if (!it->second.built) {
            // The sender of an IoAllocateIrp IRP frees it itself, and must have stopped the
            // completion with its routine: past the top Windows would touch an IRP it never built.
            it->second.state = IrpState::Completed;
            leaked = true;
        } else {
            done = std::move(it->second);
            m_irps.erase(it);
            RememberFreed(irp);
            OrphanFrames(irp);
        }
    }
    if (leaked) {
        m_kernel.GetVerifier().Report(Violation::IrpLeaked,
                                       "IRP from IoAllocateIrp completed to the top: no completion routine stopped it "
                                       "with STATUS_MORE_PROCESSING_REQUIRED");
        return;
    }
    FinishBuilt(irp, done);
}

void IoManager::FinishBuilt(PIRP irp, IrpRecord& record)
{
    IO_STATUS_BLOCK result{};
    result.Status = irp->IoStatus.Status;
    result.Information = irp->IoStatus.Information;
    RequestFinish& finish = record.finish;

    if (finish.copyOutput && !NT_ERROR(result.Status)) {
        if (result.Information > finish.callerOutputLength) {
            m_kernel.GetVerifier().Report(Violation::IrpBufferOverrun,
                                           "buffered answer of " + std::to_string(result.Information) +
                                               " bytes for an output buffer of " +
                                               std::to_string(finish.callerOutputLength));
            result.Information = finish.callerOutputLength;
        }
        const size_t bytes = std::min<size_t>(result.Information, record.systemBufferLength);
        if (bytes != 0 && finish.callerOutput) std::memcpy(finish.callerOutput, record.systemBuffer.get(), bytes);
    }
    if (finish.iosb) {
        finish.iosb->Status = result.Status;
        finish.iosb->Information = result.Information;
    }
    PKEVENT event = finish.event;
    auto onFinished = std::move(finish.onFinished);
    record.memory.reset();
    record.systemBuffer.reset();
    if (onFinished) onFinished(result);
    // Last: the waiter may return and take its event, status block and buffer with it.
    if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace emu

extern "C" void IofCompleteRequest(PIRP irp, CCHAR priorityBoost)
{
    emu::Kernel::Current().GetIo().CompleteRequest(irp);
}
