#include "standard_requests.h"

namespace emu::devices {

namespace {

constexpr std::uint8_t kGetStatus = 0;
constexpr std::uint8_t kClearFeature = 1;
constexpr std::uint8_t kSetFeature = 3;
constexpr std::uint8_t kSetAddress = 5;
constexpr std::uint8_t kGetDescriptor = 6;
constexpr std::uint8_t kGetConfiguration = 8;
constexpr std::uint8_t kSetConfiguration = 9;
constexpr std::uint8_t kGetInterface = 10;
constexpr std::uint8_t kSetInterface = 11;

constexpr std::uint16_t kEndpointHalt = 0;
constexpr std::uint16_t kDeviceRemoteWakeup = 1;

const ControlResult kStall{Handshake::Stall, {}};

std::uint8_t Recipient(const SetupPacket& setup) { return setup.requestType & usb::kRecipientMask; }

}  // namespace

ControlResult StandardRequests::Handle(const SetupPacket& setup)
{
    const bool in = (setup.requestType & usb::kDirectionIn) != 0;
    switch (setup.request) {
    case kGetStatus:
        return in ? GetStatus(setup) : kStall;
    case kClearFeature:
    case kSetFeature:
        return in ? kStall : Feature(setup, setup.request == kSetFeature);
    case kSetAddress:
        if (in || setup.value > 127) return kStall;
        m_state.address = static_cast<std::uint8_t>(setup.value);
        return {};
    case kGetDescriptor:
        return in ? GetDescriptor(setup) : kStall;
    case kGetConfiguration:
        return in ? ControlAnswer(setup, {m_state.configuration}) : kStall;
    case kSetConfiguration:
        return in ? kStall : SetConfiguration(setup);
    case kGetInterface:
        if (!in || m_state.configuration == 0 || !IsInterface(setup.index)) return kStall;
        return ControlAnswer(setup, {0});
    case kSetInterface:  // one alternate setting per interface
        if (in || m_state.configuration == 0 || !IsInterface(setup.index) || setup.value != 0) return kStall;
        return {};
    default:
        return kStall;
    }
}

ControlResult StandardRequests::GetDescriptor(const SetupPacket& setup) const
{
    const std::uint8_t type = static_cast<std::uint8_t>(setup.value >> 8);
    const std::uint8_t index = static_cast<std::uint8_t>(setup.value & 0xFF);
    switch (type) {
    case ChipDescriptors::kDeviceType:
        return index == 0 ? ControlAnswer(setup, m_descriptors.Device()) : kStall;
    case ChipDescriptors::kConfigurationType:
        return index == 0 ? ControlAnswer(setup, m_descriptors.Configuration()) : kStall;
    case ChipDescriptors::kStringType:
        if (const auto* text = m_descriptors.String(index)) return ControlAnswer(setup, *text);
        return kStall;
    default:  // a full-speed-only device has no qualifier or other-speed descriptors
        return kStall;
    }
}

ControlResult StandardRequests::GetStatus(const SetupPacket& setup) const
{
    switch (Recipient(setup)) {
    case usb::kRecipientDevice:  // bus-powered; bit 1 remote wakeup
        return ControlAnswer(setup, {static_cast<std::uint8_t>(m_state.remoteWakeup ? 0x02 : 0x00), 0});
    case usb::kRecipientInterface:
        return IsInterface(setup.index) ? ControlAnswer(setup, {0, 0}) : kStall;
    case usb::kRecipientEndpoint:
        if (!IsEndpoint(setup.index)) return kStall;
        return ControlAnswer(setup, {static_cast<std::uint8_t>(m_state.haltedEndpoints.count(
                                  static_cast<std::uint8_t>(setup.index)) ? 1 : 0),
                              0});
    default:
        return kStall;
    }
}

ControlResult StandardRequests::SetConfiguration(const SetupPacket& setup)
{
    if (setup.value != 0 && setup.value != ChipDescriptors::kConfigurationValue) return kStall;
    m_state.configuration = static_cast<std::uint8_t>(setup.value);
    m_state.haltedEndpoints.clear();  // a new configuration starts every endpoint afresh
    return {};
}

ControlResult StandardRequests::Feature(const SetupPacket& setup, bool set)
{
    if (Recipient(setup) == usb::kRecipientDevice && setup.value == kDeviceRemoteWakeup) {
        m_state.remoteWakeup = set;
        return {};
    }
    if (Recipient(setup) != usb::kRecipientEndpoint || setup.value != kEndpointHalt || !IsEndpoint(setup.index))
        return kStall;
    const auto endpoint = static_cast<std::uint8_t>(setup.index);
    if (set)
        m_state.haltedEndpoints.insert(endpoint);
    else
        m_state.haltedEndpoints.erase(endpoint);
    return {};
}

bool StandardRequests::IsEndpoint(std::uint16_t address) const
{
    return address <= 0xFF && PortOfEndpoint(static_cast<std::uint8_t>(address), static_cast<int>(m_portCount));
}

}  // namespace emu::devices
