// Cancellation of IRPs: the machine's one cancel spin lock and IoCancelIrp.
#include <wdm.h>

#include "io/io_manager.h"
#include "io/irp_shared_fields.h"
#include "kernel.h"
#include "vf/verifier.h"

#include <string>

namespace emu {

void IoManager::AcquireCancelSpinLock(PKIRQL irql) { *irql = KfAcquireSpinLock(&m_cancelLock); }

void IoManager::ReleaseCancelSpinLock(KIRQL irql) { KfReleaseSpinLock(&m_cancelLock, irql); }

BOOLEAN IoManager::CancelIrp(PIRP irp)
{
    KIRQL current = KeGetCurrentIrql();
    if (current > DISPATCH_LEVEL)
        m_kernel.GetVerifier().Report(Violation::IrqlTooHigh, "IoCancelIrp called at IRQL " + std::to_string(current));
    if (!IsLiveIrp(irp)) {
        m_kernel.GetVerifier().Report(Violation::Bugcheck, "IoCancelIrp of a pointer that is no live IRP");
        return FALSE;
    }
    KIRQL irql;
    AcquireCancelSpinLock(&irql);
    MarkIrpCancelled(irp);
    // Whoever takes the routine out of the IRP owns the cancellation; a driver completing the IRP
    // at the same moment finds null and leaves the IRP to the routine.
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (!routine) {
        ReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    PDEVICE_OBJECT deviceObject =
        irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
    routine(deviceObject, irp);  // releases the cancel spin lock
    return TRUE;
}

}  // namespace emu

extern "C" void IoAcquireCancelSpinLock(PKIRQL irql) { emu::Kernel::Current().GetIo().AcquireCancelSpinLock(irql); }

extern "C" void IoReleaseCancelSpinLock(KIRQL irql) { emu::Kernel::Current().GetIo().ReleaseCancelSpinLock(irql); }

extern "C" BOOLEAN IoCancelIrp(PIRP irp) { return emu::Kernel::Current().GetIo().CancelIrp(irp); }
