// The bench comcheck works on: an emulated machine with the driver package installed, and a
// simulated adapter with its cable that can be plugged and unplugged.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver_package.h"
#include "ftdi_chip.h"
#include "ftdi_chip_device.h"
#include "machine.h"
#include "options.h"
#include "usb_device.h"

namespace comcheck {

class Lab {
public:
    explicit Lab(const Options& options);
    ~Lab();

    emu::Machine& Machine() { return *m_machine; }
    void InstallDrivers(const cvinstall::DriverImages& images) { m_package.Install(*m_machine, images); }
    // Plugs the adapter and waits until the PnP manager has started every device it brought.
    bool Plug();
    void Unplug();
    bool Plugged() const { return m_device != nullptr; }

    // The COM names the adapter's ports received, in port order.
    std::vector<std::u16string> PortNames() const { return m_package.PortNames(); }
    // Whether the name still leads to a device (its DOS-device link exists).
    bool NameIsLinked(const std::u16string& portName);
    // One line per device node the adapter brought: its instance, driver, state and, if it did not
    // start, the status it failed with.
    std::vector<std::string> DeviceLines() const;
    // The latency timer the driver gave a port of the chip, in milliseconds.
    int LatencyTimerMs(int port = 1);
    // Machine time in milliseconds since boot.
    double NowMs() const;

    // The chip's vendor requests since the last call, one line each (for --verbose).
    std::vector<std::string> TakeRequestLines();

private:
    void ConnectCable();

    Options m_options;
    std::unique_ptr<emu::Machine> m_machine;
    cvinstall::DriverPackage m_package;
    std::unique_ptr<emu::devices::FtdiChip> m_chip;
    std::shared_ptr<emu::usb::FtdiChipDevice> m_model;
    emu::usb::UsbDevice* m_device = nullptr;
};

}  // namespace comcheck
