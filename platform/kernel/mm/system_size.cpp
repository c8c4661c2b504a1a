// MmQuerySystemSize: the size class of the running machine, which a test may change.
#include <wdm.h>

#include "kernel.h"

extern "C" MM_SYSTEMSIZE MmQuerySystemSize(void)
{
    return emu::Kernel::Current().SystemSize();
}
