// Provider side of software tracing: the control blocks of a driver image's trace groups.
// A trace consumer (a test, or the main job) enables flags per control GUID; the image then sends
// messages with WmiTraceMessage through the logger handle of the group.
#pragma once

#include <wdm.h>

typedef struct _WPP_TRACE_CONTROL_BLOCK {
    GUID ControlGuid;
    volatile ULONG Flags;      // enable mask of the group, set by the consumer
    volatile UCHAR Level;
    volatile TRACEHANDLE Logger;  // non-zero while a consumer listens to the group
} WPP_TRACE_CONTROL_BLOCK, *PWPP_TRACE_CONTROL_BLOCK;

// Registers (or, for the unregister call, removes) the image's control blocks with the trace system.
// Registration applies the flags a consumer has already enabled for each control GUID.
NTKERNELAPI void WppRegisterControlBlocks(PDRIVER_OBJECT driverObject, PCUNICODE_STRING registryPath,
                                          PWPP_TRACE_CONTROL_BLOCK blocks, ULONG count);
NTKERNELAPI void WppUnregisterControlBlocks(PWPP_TRACE_CONTROL_BLOCK blocks);
