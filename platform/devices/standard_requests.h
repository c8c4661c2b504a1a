// The standard USB requests of the chip (chapter 9 of the USB standard): descriptors,
// address, configuration, interface, status and the endpoint halt feature. A request the device
// does not support is stalled, as a real device does; that is no protocol error (hosts probe).
#pragma once

#include <cstdint>
#include <set>

#include "chip_descriptors.h"
#include "usb_transfer.h"

namespace emu::devices {

struct UsbDeviceState {
    std::uint8_t address = 0;
    std::uint8_t configuration = 0;  // 0: not configured
    bool remoteWakeup = false;
    std::set<std::uint8_t> haltedEndpoints;
};

class StandardRequests {
public:
    StandardRequests(UsbDeviceState& state, const ChipDescriptors& descriptors, int portCount)
        : m_state(state), m_descriptors(descriptors), m_portCount(portCount)
    {
    }

    ControlResult Handle(const SetupPacket& setup);

private:
    ControlResult GetDescriptor(const SetupPacket& setup) const;
    ControlResult GetStatus(const SetupPacket& setup) const;
    ControlResult SetConfiguration(const SetupPacket& setup);
    ControlResult Feature(const SetupPacket& setup, bool set);
    bool IsEndpoint(std::uint16_t address) const;
    bool IsInterface(std::uint16_t number) const { return number < m_portCount; }

    UsbDeviceState& m_state;
    const ChipDescriptors& m_descriptors;
    unsigned m_portCount;
};

}  // namespace emu::devices
