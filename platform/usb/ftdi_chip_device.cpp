#include "ftdi_chip_device.h"

#include <algorithm>

namespace emu::usb {

namespace {

constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kClearFeature = 1;
constexpr uint16_t kEndpointHalt = 0;

devices::SetupPacket ToChip(const SetupPacket& setup)
{
    return {setup.requestType, setup.request, setup.value, setup.index, setup.length};
}

// A transaction the chip did not answer at all is tried again later, as the host controller
// retries a transaction error.
Handshake FromChip(devices::Handshake handshake)
{
    switch (handshake) {
    case devices::Handshake::Ack: return Handshake::Ack;
    case devices::Handshake::Stall: return Handshake::Stall;
    case devices::Handshake::Nak:
    case devices::Handshake::NoResponse: return Handshake::Nak;
    }
    return Handshake::Nak;
}

}  // namespace

std::vector<uint8_t> FtdiChipDevice::DeviceDescriptor() const { return m_chip.Descriptors().Device(); }

std::vector<uint8_t> FtdiChipDevice::ConfigurationDescriptor(uint8_t index) const
{
    return index == 0 ? m_chip.Descriptors().Configuration() : std::vector<uint8_t>{};
}

std::vector<uint8_t> FtdiChipDevice::StringDescriptor(uint8_t index, uint16_t language) const
{
    const std::vector<uint8_t>* text = m_chip.Descriptors().String(index);
    return text ? *text : std::vector<uint8_t>{};
}

ControlReply FtdiChipDevice::Control(const SetupPacket& setup, std::span<const uint8_t> out, MachineTime now)
{
    devices::ControlResult result = m_chip.Control(now, ToChip(setup), out);
    return {FromChip(result.handshake), std::move(result.data)};
}

Handshake FtdiChipDevice::BulkOut(uint8_t endpoint, std::span<const uint8_t> packet, MachineTime now)
{
    devices::BulkOutResult result = m_chip.BulkOut(now, endpoint, packet);
    if (result.handshake == devices::Handshake::Ack && result.accepted < packet.size()) return Handshake::Nak;
    return FromChip(result.handshake);
}

InReply FtdiChipDevice::BulkIn(uint8_t endpoint, std::span<uint8_t> slot, MachineTime now)
{
    devices::BulkInResult result = m_chip.BulkIn(now, endpoint);
    switch (FromChip(result.handshake)) {
    case Handshake::Ack: {
        size_t length = std::min(result.packet.size(), slot.size());
        std::copy_n(result.packet.begin(), length, slot.begin());
        return InReply::Data(length);
    }
    case Handshake::Stall: return InReply::Stall();
    case Handshake::Nak: break;
    }
    return InReply::Nak();
}

std::optional<MachineTime> FtdiChipDevice::NextEvent(MachineTime now) const
{
    devices::Time next = m_chip.NextEventTime(now);
    if (next == devices::kNever) return std::nullopt;
    return next;
}

void FtdiChipDevice::PortReset(MachineTime now) { m_chip.BusReset(now); }

void FtdiChipDevice::ConfigurationSet(uint8_t value, MachineTime now)
{
    Standard(0x00, kSetConfiguration, value, 0, now);
}

void FtdiChipDevice::HaltCleared(uint8_t endpoint, MachineTime now)
{
    Standard(0x02, kClearFeature, kEndpointHalt, endpoint, now);
}

void FtdiChipDevice::Standard(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, MachineTime now)
{
    (void)m_chip.Control(now, devices::SetupPacket{requestType, request, value, index, 0});
}

}  // namespace emu::usb
