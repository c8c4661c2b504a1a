// Dispatch routines for a test's physical device object that plays a bus driver's child: PnP
// requests are accepted (the device is removable and may be surprise-removed, works in D0 only),
// power requests succeed. And a synchronous device-control request sent the way a kernel caller
// builds one.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <vector>

namespace emu::testing {

NTSTATUS AcceptingPdoPnp(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS AcceptingPdoPower(PDEVICE_OBJECT device, PIRP irp);

struct DeviceControlResult {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<uint8_t> output;
};

// IoBuildDeviceIoControlRequest (buffered), sent to `device` at PASSIVE_LEVEL and waited for;
// STATUS_INSUFFICIENT_RESOURCES when the request cannot be built.
DeviceControlResult SendDeviceControl(PDEVICE_OBJECT device, ULONG code, const std::vector<uint8_t>& input,
                                      ULONG outputLength, bool internal);

}  // namespace emu::testing
