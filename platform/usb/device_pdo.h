// The PDO of a plugged device, made and reported by the hub. Its URBs reach the whole device. A
// composite device gets the composite splitter as its function driver.
#pragma once

#include <memory>

#include "usb_node.h"

namespace emu::usb {

class HubFdo;
class UsbDevice;

class DevicePdo final : public UsbPdo {
public:
    // Null when no device object could be made.
    static DevicePdo* Make(UsbHost& host, HubFdo& hub, std::shared_ptr<UsbDevice> device);
    UsbDevice& Usb() { return *m_usb; }
    NTSTATUS AddFunction(PDRIVER_OBJECT driver) override;
    // Deletes the device object (at its REMOVE when gone, else at the hub's REMOVE).
    void Delete();

protected:
    const NodeIdentity& Identity() const override;
    void FillCapabilities(DEVICE_CAPABILITIES& capabilities) const override;
    NTSTATUS Start() override;
    void SurpriseRemove() override;
    NTSTATUS Remove(PIRP irp) override;
    NTSTATUS InternalDeviceControl(PIRP irp) override;

private:
    DevicePdo(UsbHost& host, HubFdo& hub, std::shared_ptr<UsbDevice> device);
    // Fails what waits on the device's pipes with that status; with `unconfigure` the device
    // also loses its configuration.
    void EndTransfers(USBD_STATUS status, bool unconfigure);

    HubFdo& m_hub;
    std::shared_ptr<UsbDevice> m_usb;
};

}  // namespace emu::usb
