// The cancel-safe IRP queue library. The driver keeps the queue and its lock (through the IO_CSQ
// callbacks); the library ties each queued IRP to its cancel routine so that exactly one of the
// driver's removal and a cancellation owns the IRP: whoever takes the cancel routine out of it.
//
// Conventions drivers may rely on, as they can on Windows: a queued IRP's
// Tail.Overlay.DriverContext[3] points at its IO_CSQ_IRP_CONTEXT, or at the IO_CSQ itself when it
// was queued without one (the first ULONG, Type, tells which), and the context's Irp is cleared
// when the IRP leaves the queue.
#include <wdm.h>

#include "io/irp_shared_fields.h"
#include "kernel.h"
#include "vf/verifier.h"

#include <string>
#include <utility>

namespace {

using emu::Kernel;
using emu::Violation;

// The insert routine slot holds either form; Type says which. A cast through void(*)() keeps the
// compiler from taking the reinterpretation for a mistake.
using AnyRoutine = void (*)();

void Report(Violation kind, std::string detail) { Kernel::Current().GetVerifier().Report(kind, std::move(detail)); }

void CheckIrql(const char* function)
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL) Report(Violation::IrqlTooHigh, std::string(function) + " called at IRQL " + std::to_string(irql));
}

bool IsQueue(PIO_CSQ csq) { return csq && (csq->Type == IO_TYPE_CSQ || csq->Type == IO_TYPE_CSQ_EX); }

bool CheckQueue(PIO_CSQ csq, const char* function)
{
    if (IsQueue(csq)) return true;
    Report(Violation::Bugcheck, std::string(function) + " on a queue that IoCsqInitialize has not set up");
    return false;
}

PVOID& BindingOf(PIRP irp) { return irp->Tail.Overlay.DriverContext[3]; }

PIO_CSQ_IRP_CONTEXT ContextOf(PVOID binding)
{
    if (binding && *static_cast<const ULONG*>(binding) == IO_TYPE_CSQ_IRP_CONTEXT)
        return static_cast<PIO_CSQ_IRP_CONTEXT>(binding);
    return nullptr;
}

PIO_CSQ QueueOf(PIRP irp)
{
    PVOID binding = BindingOf(irp);
    if (PIO_CSQ_IRP_CONTEXT context = ContextOf(binding)) return context->Csq;
    return static_cast<PIO_CSQ>(binding);
}

// Called with the queue lock held, once the IRP's cancel routine has been taken out of it.
void Unlink(PIO_CSQ csq, PIRP irp)
{
    csq->CsqRemoveIrp(csq, irp);
    if (PIO_CSQ_IRP_CONTEXT context = ContextOf(BindingOf(irp))) context->Irp = nullptr;
    BindingOf(irp) = nullptr;
}

void CsqCancelRoutine(PDEVICE_OBJECT, PIRP irp)
{
    // The cancel spin lock is held on entry; drop it first, back to the canceller's IRQL.
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PIO_CSQ csq = QueueOf(irp);
    if (!IsQueue(csq)) {
        // The binding was overwritten while the IRP was queued: there is no queue to take it from.
        Report(Violation::Bugcheck, "cancel-safe queue: a cancelled IRP no longer names its queue "
                                    "(Tail.Overlay.DriverContext[3] was changed)");
        return;
    }
    KIRQL irql;
    csq->CsqAcquireLock(csq, &irql);
    Unlink(csq, irp);
    csq->CsqReleaseLock(csq, irql);
    csq->CsqCompleteCanceledIrp(csq, irp);
}

}  // namespace

extern "C" NTSTATUS IoCsqInitialize(PIO_CSQ csq, PIO_CSQ_INSERT_IRP insertIrp, PIO_CSQ_REMOVE_IRP removeIrp,
                                    PIO_CSQ_PEEK_NEXT_IRP peekNextIrp, PIO_CSQ_ACQUIRE_LOCK acquireLock,
                                    PIO_CSQ_RELEASE_LOCK releaseLock,
                                    PIO_CSQ_COMPLETE_CANCELED_IRP completeCanceledIrp)
{
    if (!csq) {
        Report(Violation::Bugcheck, "IoCsqInitialize with no queue");
        return STATUS_INVALID_PARAMETER;
    }
    csq->Type = IO_TYPE_CSQ;
    csq->CsqInsertIrp = insertIrp;
    csq->CsqRemoveIrp = removeIrp;
    csq->CsqPeekNextIrp = peekNextIrp;
    csq->CsqAcquireLock = acquireLock;
    csq->CsqReleaseLock = releaseLock;
    csq->CsqCompleteCanceledIrp = completeCanceledIrp;
    csq->ReservePointer = nullptr;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoCsqInitializeEx(PIO_CSQ csq, PIO_CSQ_INSERT_IRP_EX insertIrp, PIO_CSQ_REMOVE_IRP removeIrp,
                                      PIO_CSQ_PEEK_NEXT_IRP peekNextIrp, PIO_CSQ_ACQUIRE_LOCK acquireLock,
                                      PIO_CSQ_RELEASE_LOCK releaseLock,
                                      PIO_CSQ_COMPLETE_CANCELED_IRP completeCanceledIrp)
{
    NTSTATUS status = IoCsqInitialize(csq, reinterpret_cast<PIO_CSQ_INSERT_IRP>(reinterpret_cast<AnyRoutine>(insertIrp)), removeIrp, peekNextIrp,
                                      acquireLock, releaseLock, completeCanceledIrp);
    if (NT_SUCCESS(status)) csq->Type = IO_TYPE_CSQ_EX;
    return status;
}

extern "C" NTSTATUS IoCsqInsertIrpEx(PIO_CSQ csq, PIRP irp, PIO_CSQ_IRP_CONTEXT context, PVOID insertContext)
{
    CheckIrql("IoCsqInsertIrpEx");
    if (!CheckQueue(csq, "IoCsqInsertIrpEx")) return STATUS_INVALID_PARAMETER;
    if (!irp) {
        Report(Violation::Bugcheck, "IoCsqInsertIrpEx with no IRP");
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL irql;
    csq->CsqAcquireLock(csq, &irql);
    NTSTATUS status = STATUS_SUCCESS;
    if (csq->Type == IO_TYPE_CSQ_EX) {
        status = reinterpret_cast<PIO_CSQ_INSERT_IRP_EX>(reinterpret_cast<AnyRoutine>(csq->CsqInsertIrp))(csq, irp, insertContext);
        if (!NT_SUCCESS(status)) {
            // Refused: the IRP stays the caller's, untouched.
            csq->CsqReleaseLock(csq, irql);
            return status;
        }
    } else {
        csq->CsqInsertIrp(csq, irp);
    }

    if (irp->CurrentLocation <= irp->StackCount)
        IoMarkIrpPending(irp);
    else
        Report(Violation::Bugcheck, "IoCsqInsertIrpEx of an IRP without a current stack location");
    if (context) {
        context->Type = IO_TYPE_CSQ_IRP_CONTEXT;
        context->Irp = irp;
        context->Csq = csq;
        BindingOf(irp) = context;
    } else {
        BindingOf(irp) = csq;
    }
    IoSetCancelRoutine(irp, CsqCancelRoutine);

    // Cancelled before the routine was in place: IoCancelIrp found none to call, so the IRP is
    // finished here. If the routine is already gone, a cancellation running now has it.
    if (emu::IsIrpCancelled(irp) && IoSetCancelRoutine(irp, nullptr)) {
        Unlink(csq, irp);
        csq->CsqReleaseLock(csq, irql);
        csq->CsqCompleteCanceledIrp(csq, irp);
        return status;
    }
    csq->CsqReleaseLock(csq, irql);
    return status;
}

extern "C" void IoCsqInsertIrp(PIO_CSQ csq, PIRP irp, PIO_CSQ_IRP_CONTEXT context)
{
    (void)IoCsqInsertIrpEx(csq, irp, context, nullptr);
}

extern "C" PIRP IoCsqRemoveIrp(PIO_CSQ csq, PIO_CSQ_IRP_CONTEXT context)
{
    CheckIrql("IoCsqRemoveIrp");
    if (!CheckQueue(csq, "IoCsqRemoveIrp")) return nullptr;
    if (!context) {
        Report(Violation::Bugcheck, "IoCsqRemoveIrp with no context");
        return nullptr;
    }
    KIRQL irql;
    csq->CsqAcquireLock(csq, &irql);
    PIRP irp = context->Irp;
    if (irp && context->Csq != csq) {
        Report(Violation::Bugcheck, "IoCsqRemoveIrp with a context that belongs to another queue");
        irp = nullptr;
    }
    // Null when no IRP is bound, or when a cancellation has taken the IRP's routine: the
    // cancellation then owns it and will unlink it itself.
    if (irp && IoSetCancelRoutine(irp, nullptr)) {
        csq->CsqRemoveIrp(csq, irp);
        context->Irp = nullptr;
        BindingOf(irp) = nullptr;
    } else {
        irp = nullptr;
    }
    csq->CsqReleaseLock(csq, irql);
    return irp;
}

extern "C" PIRP IoCsqRemoveNextIrp(PIO_CSQ csq, PVOID peekContext)
{
    CheckIrql("IoCsqRemoveNextIrp");
    if (!CheckQueue(csq, "IoCsqRemoveNextIrp")) return nullptr;
    KIRQL irql;
    csq->CsqAcquireLock(csq, &irql);
    PIRP irp = csq->CsqPeekNextIrp(csq, nullptr, peekContext);
    while (irp) {
        if (IoSetCancelRoutine(irp, nullptr)) {
            Unlink(csq, irp);
            break;
        }
        // Being cancelled: it stays queued until its cancel routine takes it out.
        PIRP next = csq->CsqPeekNextIrp(csq, irp, peekContext);
        if (next == irp) {
            Report(Violation::Bugcheck, "CsqPeekNextIrp returned the IRP it was asked to look past");
            next = nullptr;
        }
        irp = next;
    }
    csq->CsqReleaseLock(csq, irql);
    return irp;
}
