// A simulated USB-serial chip (devices/ftdi_chip.h) as the USB host sees it: the host keeps the
// standard requests and tells the chip of configuration, resets and cleared halts; vendor requests
// and bulk packets pass straight through. The chip stays the test's to script (cables, faults,
// request log); it must outlive its plug.
#pragma once

#include "device_model.h"
#include "ftdi_chip.h"

namespace emu::usb {

class FtdiChipDevice final : public DeviceModel {
public:
    explicit FtdiChipDevice(devices::FtdiChip& chip) : m_chip(chip) {}

    devices::FtdiChip& Chip() { return m_chip; }

    std::vector<uint8_t> DeviceDescriptor() const override;
    std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) const override;
    std::vector<uint8_t> StringDescriptor(uint8_t index, uint16_t language) const override;

    ControlReply Control(const SetupPacket& setup, std::span<const uint8_t> out, MachineTime now) override;
    Handshake BulkOut(uint8_t endpoint, std::span<const uint8_t> packet, MachineTime now) override;
    InReply BulkIn(uint8_t endpoint, std::span<uint8_t> slot, MachineTime now) override;
    std::optional<MachineTime> NextEvent(MachineTime now) const override;

    void PortReset(MachineTime now) override;
    void ConfigurationSet(uint8_t value, MachineTime now) override;
    void HaltCleared(uint8_t endpoint, MachineTime now) override;

private:
    // A standard request the host made on the chip's behalf (the chip keeps its own device state).
    void Standard(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, MachineTime now);

    devices::FtdiChip& m_chip;
};

}  // namespace emu::usb
