// A device's descriptors read into records: the device descriptor's fields and, per configuration,
// its interfaces (each alternate setting) and their endpoints. The bytes stay the model's; these
// records are what the host decides with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace emu::usb {

struct EndpointInfo {
    uint8_t address = 0;
    uint8_t attributes = 0;
    uint16_t maxPacketSize = 0;
    uint8_t interval = 0;

    uint8_t Type() const { return attributes & 0x03; }
    bool IsIn() const { return (address & 0x80) != 0; }
};

struct InterfaceInfo {
    uint8_t number = 0;
    uint8_t alternateSetting = 0;
    uint8_t interfaceClass = 0;
    uint8_t subClass = 0;
    uint8_t protocol = 0;
    uint8_t stringIndex = 0;
    std::vector<EndpointInfo> endpoints;
};

struct ConfigurationInfo {
    std::vector<uint8_t> bytes;  // the whole descriptor, as the device sends it
    uint8_t value = 0;           // bConfigurationValue
    uint8_t interfaceCount = 0;  // bNumInterfaces
    uint8_t attributes = 0;
    std::vector<InterfaceInfo> interfaces;  // every alternate setting, in descriptor order

    const InterfaceInfo* Find(uint8_t number, uint8_t alternateSetting) const;
    // The distinct interface numbers, in descriptor order.
    std::vector<uint8_t> InterfaceNumbers() const;
    // The descriptor as a device with only these interfaces would send it (a composite device's
    // function sees its own interfaces only): wTotalLength and bNumInterfaces adjusted.
    std::vector<uint8_t> OnlyInterfaces(const std::vector<uint8_t>& numbers) const;
};

struct DeviceInfo {
    uint16_t usbVersion = 0;
    uint8_t deviceClass = 0;
    uint8_t deviceSubClass = 0;
    uint8_t deviceProtocol = 0;
    uint8_t maxPacketSize0 = 8;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t deviceVersion = 0;
    uint8_t manufacturerIndex = 0;
    uint8_t productIndex = 0;
    uint8_t serialNumberIndex = 0;
    uint8_t configurationCount = 0;
};

// Nothing when the bytes are no well-formed descriptor of that kind.
std::optional<DeviceInfo> ParseDeviceDescriptor(const std::vector<uint8_t>& bytes);
std::optional<ConfigurationInfo> ParseConfigurationDescriptor(std::vector<uint8_t> bytes);
// The text of a string descriptor; nothing for an empty or malformed one.
std::optional<std::u16string> ParseStringDescriptor(const std::vector<uint8_t>& bytes);

}  // namespace emu::usb
