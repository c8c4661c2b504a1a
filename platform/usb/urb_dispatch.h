// IRP_MJ_INTERNAL_DEVICE_CONTROL of a USB PDO: URBs (IOCTL_INTERNAL_USB_SUBMIT_URB) and the port
// requests (reset, status).
//
// A request the host answers by itself (a selection, abort or reset of a pipe, the frame number)
// completes before the dispatch returns. One that crosses the bus (control, bulk and interrupt
// transfers) is queued on its pipe and returns STATUS_PENDING; the bus scheduler completes it
// from its DPC. A URB for a device that is gone, or through a PDO that was removed, fails with
// USBD_STATUS_DEVICE_GONE (STATUS_DEVICE_NOT_CONNECTED).
#pragma once

#include <wdm.h>

namespace emu::usb {

class UsbHost;
class UsbDevice;
struct FunctionScope;

struct UrbTarget {
    UsbHost& host;
    UsbDevice& device;
    const FunctionScope* scope;  // a composite function's interfaces, or null for the whole device
    bool removed;                // the PDO was surprise-removed or removed
};

NTSTATUS DispatchInternalDeviceControl(const UrbTarget& target, PIRP irp);

}  // namespace emu::usb
