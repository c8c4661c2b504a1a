// The root hub: a PDO of the host's own (the root of its part of the device tree) and the hub
// driver's FDO above it, which reports a PDO for each plugged device.
#pragma once

#include <vector>

#include "usb_node.h"

namespace emu::usb {

class DevicePdo;

class RootHubPdo final : public UsbPdo {
public:
    explicit RootHubPdo(UsbHost& host);
    NTSTATUS Create(PDRIVER_OBJECT hubDriver);
    NTSTATUS AddFunction(PDRIVER_OBJECT driver) override;

protected:
    const NodeIdentity& Identity() const override { return m_identity; }
    void FillCapabilities(DEVICE_CAPABILITIES& capabilities) const override;
    NTSTATUS Start() override;
    void SurpriseRemove() override { m_state = State::SurpriseRemoved; }
    NTSTATUS Remove(PIRP irp) override;
    NTSTATUS InternalDeviceControl(PIRP irp) override { return Complete(irp, STATUS_NOT_SUPPORTED); }

private:
    NodeIdentity m_identity;
};

class HubFdo final : public UsbFdo {
public:
    using UsbFdo::UsbFdo;
    static NTSTATUS Add(UsbHost& host, PDRIVER_OBJECT driver, PDEVICE_OBJECT rootHubPdo);
    // A child whose device is gone was removed: the hub forgets it.
    void Forget(DevicePdo* child);

protected:
    NTSTATUS Start(PIRP irp) override { return Complete(irp, ForwardAndWait(irp)); }
    // A PDO for each plugged device, made at the first report after its plug.
    std::vector<PDEVICE_OBJECT> Children() override;
    // Those whose device is still plugged kept their PDO until the hub's own REMOVE.
    void DeleteChildren() override;

private:
    std::vector<DevicePdo*> m_children;
};

}  // namespace emu::usb
