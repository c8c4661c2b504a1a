#include "chip_descriptors.h"

namespace emu::devices {

namespace {

constexpr std::uint8_t kManufacturerString = 1;
constexpr std::uint8_t kProductString = 2;
constexpr std::uint8_t kSerialString = 3;
constexpr std::uint8_t kControlPacketSize = 8;
constexpr std::uint8_t kVendorClass = 0xFF;
constexpr std::uint8_t kBulk = 0x02;
constexpr std::uint8_t kBusPoweredRemoteWakeup = 0xA0;
constexpr std::uint8_t kMaxPower90mA = 45;  // in 2 mA units

void Append16(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

std::vector<std::uint8_t> DeviceDescriptor(const ChipIdentity& identity)
{
    std::uint16_t release = identity.deviceRelease;
    if (release == 0) release = identity.kind == ChipKind::DualPort ? 0x0500 : 0x0600;
    std::vector<std::uint8_t> out{18, ChipDescriptors::kDeviceType};
    Append16(out, 0x0200);  // bcdUSB: a full-speed USB 2.0 device
    out.insert(out.end(), {0, 0, 0, kControlPacketSize});  // class, subclass, protocol per interface
    Append16(out, identity.vendorId);
    Append16(out, identity.productId);
    Append16(out, release);
    out.insert(out.end(), {kManufacturerString, kProductString, kSerialString, 1});
    return out;
}

void AppendEndpoint(std::vector<std::uint8_t>& out, std::uint8_t address)
{
    out.insert(out.end(), {7, ChipDescriptors::kEndpointType, address, kBulk});
    Append16(out, 64);
    out.push_back(0);  // bInterval: unused for bulk
}

std::vector<std::uint8_t> ConfigurationDescriptor(ChipKind kind)
{
    const int ports = PortCountOf(kind);
    std::vector<std::uint8_t> out{9, ChipDescriptors::kConfigurationType, 0, 0,
                                  static_cast<std::uint8_t>(ports), ChipDescriptors::kConfigurationValue,
                                  0, kBusPoweredRemoteWakeup, kMaxPower90mA};
    for (int port = 1; port <= ports; ++port) {
        out.insert(out.end(), {9, ChipDescriptors::kInterfaceType, static_cast<std::uint8_t>(port - 1), 0, 2,
                               kVendorClass, kVendorClass, kVendorClass, kProductString});
        AppendEndpoint(out, InEndpointOf(port));
        AppendEndpoint(out, OutEndpointOf(port));
    }
    out[2] = static_cast<std::uint8_t>(out.size() & 0xFF);  // wTotalLength
    out[3] = static_cast<std::uint8_t>(out.size() >> 8);
    return out;
}

std::vector<std::uint8_t> StringDescriptor(const std::string& text)
{
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(2 + 2 * text.size()), ChipDescriptors::kStringType};
    for (char c : text) Append16(out, static_cast<std::uint8_t>(c));  // the texts are ASCII
    return out;
}

}  // namespace

std::optional<int> PortOfEndpoint(std::uint8_t endpointAddress, int portCount)
{
    for (int port = 1; port <= portCount; ++port) {
        if (endpointAddress == InEndpointOf(port) || endpointAddress == OutEndpointOf(port)) return port;
    }
    return std::nullopt;
}

ChipDescriptors::ChipDescriptors(const ChipIdentity& identity)
    : m_device(DeviceDescriptor(identity)), m_configuration(ConfigurationDescriptor(identity.kind))
{
    std::string product = identity.product;
    if (product.empty())
        product = identity.kind == ChipKind::DualPort ? "Dual USB Serial Converter" : "USB Serial Converter";
    std::vector<std::uint8_t> languages{4, kStringType};
    Append16(languages, kLanguageEnglishUs);
    m_strings = {languages, StringDescriptor(identity.manufacturer), StringDescriptor(product),
                 StringDescriptor(identity.serialNumber)};
}

const std::vector<std::uint8_t>* ChipDescriptors::String(std::uint8_t index) const
{
    return index < m_strings.size() ? &m_strings[index] : nullptr;
}

}  // namespace emu::devices
