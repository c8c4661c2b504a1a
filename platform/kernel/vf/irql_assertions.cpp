// The checked-build IRQL assertions a driver writes at the top of a routine (PAGED_CODE and
// PASSIVE_CODE): a breach is reported as a call at too high an IRQL.
#include <wdm.h>

#include <string>

#include "ke/kthread.h"

extern "C" void VfCheckIrqlAtMost(KIRQL highest, PCSTR routine)
{
    emu::CheckIrqlAtMost(highest, (std::string(routine != nullptr ? routine : "(unnamed routine)") +
                                   (highest == PASSIVE_LEVEL ? " (PASSIVE_CODE)" : " (PAGED_CODE)"))
                                      .c_str());
}
