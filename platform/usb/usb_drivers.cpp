#include "usb_drivers.h"

#include "usb_node.h"

namespace emu::usb {

namespace {

// The function driver goes above a PDO of the host's (the root hub, a composite device).
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    UsbNode* node = UsbNode::Of(pdo);
    if (!node) return STATUS_NOT_SUPPORTED;
    return node->AddFunction(driver);
}

}  // namespace

NTSTATUS UsbBusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH& dispatch : driver->MajorFunction) dispatch = &UsbNode::DispatchIrp;
    driver->DriverExtension->AddDevice = &AddDevice;
    return STATUS_SUCCESS;
}

}  // namespace emu::usb
