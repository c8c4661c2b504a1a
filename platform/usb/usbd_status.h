// The NTSTATUS a URB's IRP completes with for each USBD status, as the USB stack maps them.
#pragma once

#include <usb.h>

namespace emu::usb {

NTSTATUS NtStatusOf(USBD_STATUS status);

}  // namespace emu::usb
