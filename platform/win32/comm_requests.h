// The one shape of every communications call that takes no OVERLAPPED: a serial control request
// sent through NtDeviceIoControlFile and waited for, whatever way the handle was opened. A handle
// opened for overlapped I/O gets an event of the call's own, so that several threads may use one
// handle at once without taking each other's completions.
#pragma once

#include <ntddser.h>

#include "win32_subsystem.h"

namespace emu::win32 {

struct SerialAnswer {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;  // bytes the driver answered with (success statuses only)
};

// Sends `code` with the input and output buffers and waits for its end.
SerialAnswer SerialControl(HANDLE handle, ULONG code, const void* input = nullptr, ULONG inputLength = 0,
                           void* output = nullptr, ULONG outputLength = 0);

// A control request that answers into `output`; a missing `output` is the caller's error.
BOOL SerialQuery(HANDLE handle, ULONG code, void* output, ULONG outputLength);

// A control request with no buffers, or with one input value.
BOOL SerialCommand(HANDLE handle, ULONG code);
BOOL SerialCommandWith(HANDLE handle, ULONG code, ULONG value);

}  // namespace emu::win32
