// The composite splitter: the function driver of a device with several interfaces. At its start
// it selects the device's configuration; it then reports a PDO for each interface, whose driver
// sees that interface only: its configuration descriptor lists that interface alone, its
// selections (re)open that interface's pipes, and pipe handles of the other interfaces are
// foreign to it.
#pragma once

#include <memory>
#include <vector>

#include "usb_device.h"
#include "usb_node.h"

namespace emu::usb {

class FunctionPdo;

class CompositeFdo final : public UsbFdo {
public:
    static NTSTATUS Add(UsbHost& host, PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, std::shared_ptr<UsbDevice> device);

protected:
    // Selects the device's configuration once the stack below has started.
    NTSTATUS Start(PIRP irp) override;
    // A PDO for each interface, made at the first report.
    std::vector<PDEVICE_OBJECT> Children() override;
    void DeleteChildren() override;

private:
    CompositeFdo(UsbHost& host, std::shared_ptr<UsbDevice> device) : UsbFdo(host), m_usb(std::move(device)) {}

    std::shared_ptr<UsbDevice> m_usb;
    std::vector<FunctionPdo*> m_functions;
};

class FunctionPdo final : public UsbPdo {
public:
    static FunctionPdo* Make(UsbHost& host, PDRIVER_OBJECT driver, std::shared_ptr<UsbDevice> device,
                             const InterfaceInfo& function);
    void Delete();

protected:
    const NodeIdentity& Identity() const override { return m_identity; }
    void FillCapabilities(DEVICE_CAPABILITIES& capabilities) const override;
    NTSTATUS Start() override;
    void SurpriseRemove() override;
    NTSTATUS Remove(PIRP irp) override;
    NTSTATUS InternalDeviceControl(PIRP irp) override;

private:
    FunctionPdo(UsbHost& host, std::shared_ptr<UsbDevice> device) : UsbPdo(host), m_usb(std::move(device)) {}
    void EndTransfers(USBD_STATUS status);

    std::shared_ptr<UsbDevice> m_usb;
    FunctionScope m_scope;
    NodeIdentity m_identity;
};

}  // namespace emu::usb
