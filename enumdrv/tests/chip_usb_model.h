// The simulated USB-serial chip as the USB host sees a plugged device: its descriptors, its vendor
// requests, its bulk endpoints packet by packet and its time-driven events, and the bus events
// (port reset, configuration, halt cleared) it has to hear of.
//
// The host owns the standard requests; the chip keeps its own view of them (configured, halted),
// so the bus events are passed on to it as the standard requests they stand for. A port reset is
// followed by the configuration the device had, as the hub restores it after
// IOCTL_INTERNAL_USB_RESET_PORT (the host reports only the reset itself). A transaction
// the chip does not answer at all (an injected NoResponse) has no handshake on this interface:
// a control request is refused (STALL) and a bulk transaction is tried again later (NAK); a test
// that needs transaction errors injects them into the host.
#pragma once

#include <memory>

#include "device_model.h"
#include "ftdi_chip.h"

namespace enumdrvtest {

class ChipUsbModel : public emu::usb::DeviceModel {
public:
    explicit ChipUsbModel(emu::devices::ChipConfig config = emu::devices::ChipConfig::SinglePort());

    emu::devices::FtdiChip& Chip() { return m_chip; }

    std::vector<uint8_t> DeviceDescriptor() const override;
    std::vector<uint8_t> ConfigurationDescriptor(uint8_t index) const override;
    std::vector<uint8_t> StringDescriptor(uint8_t index, uint16_t language) const override;
    emu::usb::ControlReply Control(const emu::usb::SetupPacket& setup, std::span<const uint8_t> out,
                                   emu::usb::MachineTime now) override;
    emu::usb::Handshake BulkOut(uint8_t endpoint, std::span<const uint8_t> packet, emu::usb::MachineTime now) override;
    emu::usb::InReply BulkIn(uint8_t endpoint, std::span<uint8_t> slot, emu::usb::MachineTime now) override;
    std::optional<emu::usb::MachineTime> NextEvent(emu::usb::MachineTime now) const override;
    void PortReset(emu::usb::MachineTime now) override;
    void ConfigurationSet(uint8_t value, emu::usb::MachineTime now) override;
    void HaltCleared(uint8_t endpoint, emu::usb::MachineTime now) override;

private:
    emu::devices::ControlResult Standard(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                                         emu::usb::MachineTime now);

    mutable emu::devices::FtdiChip m_chip;
    uint8_t m_configuration = 0;  // as the host last set it
};

}  // namespace enumdrvtest
