#include "chip_usb_model.h"

#include <algorithm>
#include <cstring>

namespace enumdrvtest {

namespace hostusb = ::emu::usb;
namespace chip = ::emu::devices;

namespace {
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kClearFeature = 1;
constexpr uint16_t kEndpointHalt = 0;
constexpr uint8_t kToDevice = 0x00;
constexpr uint8_t kToEndpoint = 0x02;
}  // namespace

ChipUsbModel::ChipUsbModel(chip::ChipConfig config) : m_chip(std::move(config)) {}

std::vector<uint8_t> ChipUsbModel::DeviceDescriptor() const { return m_chip.Descriptors().Device(); }

std::vector<uint8_t> ChipUsbModel::ConfigurationDescriptor(uint8_t index) const
{
    return index == 0 ? m_chip.Descriptors().Configuration() : std::vector<uint8_t>();
}

std::vector<uint8_t> ChipUsbModel::StringDescriptor(uint8_t index, uint16_t language) const
{
    const std::vector<uint8_t>* bytes = m_chip.Descriptors().String(index);
    return bytes ? *bytes : std::vector<uint8_t>();
}

hostusb::ControlReply ChipUsbModel::Control(const hostusb::SetupPacket& setup, std::span<const uint8_t> out,
                                            hostusb::MachineTime now)
{
    chip::SetupPacket packet{setup.requestType, setup.request, setup.value, setup.index, setup.length};
    chip::ControlResult result = m_chip.Control(now, packet, out);
    switch (result.handshake) {
    case chip::Handshake::Ack:
        return hostusb::ControlReply::Ack(std::move(result.data));
    case chip::Handshake::Nak:
        return hostusb::ControlReply::Nak();
    case chip::Handshake::Stall:
    case chip::Handshake::NoResponse:
        break;
    }
    return hostusb::ControlReply::Stall();
}

hostusb::Handshake ChipUsbModel::BulkOut(uint8_t endpoint, std::span<const uint8_t> packet, hostusb::MachineTime now)
{
    chip::BulkOutResult result = m_chip.BulkOut(now, endpoint, packet);
    if (result.handshake == chip::Handshake::Stall) return hostusb::Handshake::Stall;
    // The bus moves whole packets: one the chip took in part (or not at all) is offered again.
    if (result.handshake == chip::Handshake::Ack && result.accepted == packet.size()) return hostusb::Handshake::Ack;
    return hostusb::Handshake::Nak;
}

hostusb::InReply ChipUsbModel::BulkIn(uint8_t endpoint, std::span<uint8_t> slot, hostusb::MachineTime now)
{
    chip::BulkInResult result = m_chip.BulkIn(now, endpoint);
    if (result.handshake == chip::Handshake::Stall) return hostusb::InReply::Stall();
    if (result.handshake != chip::Handshake::Ack) return hostusb::InReply::Nak();
    size_t length = std::min(slot.size(), result.packet.size());
    if (length != 0) std::memcpy(slot.data(), result.packet.data(), length);
    return hostusb::InReply::Data(length);
}

std::optional<hostusb::MachineTime> ChipUsbModel::NextEvent(hostusb::MachineTime now) const
{
    chip::Time next = m_chip.NextEventTime(now);
    if (next == chip::kNever) return std::nullopt;
    return next;
}

chip::ControlResult ChipUsbModel::Standard(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                                           hostusb::MachineTime now)
{
    return m_chip.Control(now, chip::SetupPacket{requestType, request, value, index, 0});
}

void ChipUsbModel::PortReset(hostusb::MachineTime now)
{
    m_chip.BusReset(now);
    if (m_configuration != 0) Standard(kToDevice, kSetConfiguration, m_configuration, 0, now);
}

void ChipUsbModel::ConfigurationSet(uint8_t value, hostusb::MachineTime now)
{
    m_configuration = value;
    Standard(kToDevice, kSetConfiguration, value, 0, now);
}

void ChipUsbModel::HaltCleared(uint8_t endpoint, hostusb::MachineTime now)
{
    Standard(kToEndpoint, kClearFeature, kEndpointHalt, endpoint, now);
}

}  // namespace enumdrvtest
