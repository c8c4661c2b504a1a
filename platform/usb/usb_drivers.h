// The host's built-in driver images: the hub driver ("usbhub.sys", function driver of the root
// hub) and the composite splitter ("usbccgp.sys", function driver of multi-interface devices).
// They load through the driver loader like any image, so the PnP manager binds and starts them
// as it does a driver package's.
#pragma once

#include <wdm.h>

namespace emu::usb {

inline constexpr char16_t kHubImage[] = u"usbhub.sys";
inline constexpr char16_t kCompositeImage[] = u"usbccgp.sys";

// DriverEntry of both images: every major function goes to the node of the device object.
NTSTATUS UsbBusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

}  // namespace emu::usb
