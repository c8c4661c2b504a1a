// IRQL: per-thread state. Raising never lowers and lowering never raises.
#include <wdm.h>

#include <cstdio>
#include <string>

#include "ke/kthread.h"
#include "kernel.h"
#include "vf/verifier.h"

namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;

std::string IrqlText(KIRQL irql) { return std::to_string(static_cast<unsigned>(irql)); }
}  // namespace

namespace emu {

void ReportViolation(Violation kind, std::string detail)
{
    if (Kernel* machine = Kernel::TryCurrent()) {
        machine->GetVerifier().Report(kind, std::move(detail));
        return;
    }
    std::fprintf(stderr, "verifier (no machine running): %s: %s\n", ViolationName(kind), detail.c_str());
}

bool CheckIrqlAtMost(KIRQL highest, const char* caller)
{
    if (t_irql <= highest) return true;
    ReportViolation(Violation::IrqlTooHigh, std::string(caller) + " called at IRQL " + IrqlText(t_irql) +
                                                " (allowed up to " + IrqlText(highest) + ")");
    return false;
}

void SetCurrentIrql(KIRQL irql) { t_irql = irql; }

}  // namespace emu

extern "C" KIRQL KeGetCurrentIrql(void) { return t_irql; }

extern "C" void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql)
{
    KIRQL current = t_irql;
    if (oldIrql) *oldIrql = current;
    if (newIrql < current || newIrql > HIGH_LEVEL) {
        emu::ReportViolation(emu::Violation::Bugcheck, "KeRaiseIrql to IRQL " + IrqlText(newIrql) +
                                                           " from IRQL " + IrqlText(current) +
                                                           (newIrql > HIGH_LEVEL ? " is beyond HIGH_LEVEL"
                                                                                 : " would lower it"));
        return;
    }
    t_irql = newIrql;
}

extern "C" void KeLowerIrql(KIRQL newIrql)
{
    KIRQL current = t_irql;
    if (newIrql > current) {
        emu::ReportViolation(emu::Violation::Bugcheck, "KeLowerIrql to IRQL " + IrqlText(newIrql) +
                                                           " from IRQL " + IrqlText(current) +
                                                           " would raise it");
        return;
    }
    t_irql = newIrql;
}

extern "C" KIRQL KeRaiseIrqlToDpcLevel(void)
{
    KIRQL old = PASSIVE_LEVEL;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}
