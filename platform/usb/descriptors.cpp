#include "descriptors.h"

#include <usb100.h>

#include <algorithm>

namespace emu::usb {

namespace {

uint16_t Word(const std::vector<uint8_t>& bytes, size_t at) { return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8); }

// Calls visit(offset, length, type) for each descriptor inside the configuration; false when one
// is malformed.
template <class Visit>
bool WalkDescriptors(const std::vector<uint8_t>& bytes, Visit visit)
{
    size_t at = 0;
    while (at < bytes.size()) {
        if (bytes.size() - at < 2) return false;
        const uint8_t length = bytes[at];
        if (length < 2 || length > bytes.size() - at) return false;
        visit(at, length, bytes[at + 1]);
        at += length;
    }
    return true;
}

}  // namespace

const InterfaceInfo* ConfigurationInfo::Find(uint8_t number, uint8_t alternateSetting) const
{
    for (const InterfaceInfo& candidate : interfaces)
        if (candidate.number == number && candidate.alternateSetting == alternateSetting) return &candidate;
    return nullptr;
}

std::vector<uint8_t> ConfigurationInfo::InterfaceNumbers() const
{
    std::vector<uint8_t> numbers;
    for (const InterfaceInfo& candidate : interfaces)
        if (std::find(numbers.begin(), numbers.end(), candidate.number) == numbers.end())
            numbers.push_back(candidate.number);
    return numbers;
}

std::vector<uint8_t> ConfigurationInfo::OnlyInterfaces(const std::vector<uint8_t>& numbers) const
{
    std::vector<uint8_t> result(bytes.begin(), bytes.begin() + bytes[0]);
    bool keeping = false;
    WalkDescriptors(bytes, [&](size_t at, uint8_t length, uint8_t type) {
        if (at == 0) return;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && length >= 3)
            keeping = std::find(numbers.begin(), numbers.end(), bytes[at + 2]) != numbers.end();
        if (keeping) result.insert(result.end(), bytes.begin() + at, bytes.begin() + at + length);
    });
    result[2] = static_cast<uint8_t>(result.size());
    result[3] = static_cast<uint8_t>(result.size() >> 8);
    result[4] = static_cast<uint8_t>(numbers.size());
    return result;
}

std::optional<DeviceInfo> ParseDeviceDescriptor(const std::vector<uint8_t>& bytes)
{
    if (bytes.size() < 18 || bytes[0] < 18 || bytes[1] != USB_DEVICE_DESCRIPTOR_TYPE) return std::nullopt;
    DeviceInfo info;
    info.usbVersion = Word(bytes, 2);
    info.deviceClass = bytes[4];
    info.deviceSubClass = bytes[5];
    info.deviceProtocol = bytes[6];
    info.maxPacketSize0 = bytes[7];
    info.vendorId = Word(bytes, 8);
    info.productId = Word(bytes, 10);
    info.deviceVersion = Word(bytes, 12);
    info.manufacturerIndex = bytes[14];
    info.productIndex = bytes[15];
    info.serialNumberIndex = bytes[16];
    info.configurationCount = bytes[17];
    if (info.maxPacketSize0 != 8 && info.maxPacketSize0 != 16 && info.maxPacketSize0 != 32 && info.maxPacketSize0 != 64)
        return std::nullopt;
    return info;
}

std::optional<ConfigurationInfo> ParseConfigurationDescriptor(std::vector<uint8_t> bytes)
{
    if (bytes.size() < 9 || bytes[0] < 9 || bytes[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) return std::nullopt;
    const uint16_t total = Word(bytes, 2);
    if (total < 9 || total > bytes.size()) return std::nullopt;
    bytes.resize(total);
    ConfigurationInfo info;
    info.interfaceCount = bytes[4];
    info.value = bytes[5];
    info.attributes = bytes[7];
    bool wellFormed = true;
    const bool walked = WalkDescriptors(bytes, [&](size_t at, uint8_t length, uint8_t type) {
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (length < 9) {
                wellFormed = false;
                return;
            }
            InterfaceInfo entry;
            entry.number = bytes[at + 2];
            entry.alternateSetting = bytes[at + 3];
            entry.interfaceClass = bytes[at + 5];
            entry.subClass = bytes[at + 6];
            entry.protocol = bytes[at + 7];
            entry.stringIndex = bytes[at + 8];
            info.interfaces.push_back(entry);
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            // An endpoint belongs to the interface before it; one before any interface is malformed.
            if (length < 7 || info.interfaces.empty()) {
                wellFormed = false;
                return;
            }
            EndpointInfo endpoint;
            endpoint.address = bytes[at + 2];
            endpoint.attributes = bytes[at + 3];
            endpoint.maxPacketSize = Word(bytes, at + 4) & 0x07FF;
            endpoint.interval = bytes[at + 6];
            info.interfaces.back().endpoints.push_back(endpoint);
        }
    });
    if (!walked || !wellFormed) return std::nullopt;
    info.bytes = std::move(bytes);
    return info;
}

std::optional<std::u16string> ParseStringDescriptor(const std::vector<uint8_t>& bytes)
{
    if (bytes.size() < 2 || bytes[1] != USB_STRING_DESCRIPTOR_TYPE || bytes[0] < 2 || bytes[0] > bytes.size()) return std::nullopt;
    std::u16string text;
    for (size_t at = 2; at + 1 < bytes[0]; at += 2) text.push_back(static_cast<char16_t>(bytes[at] | bytes[at + 1] << 8));
    if (text.empty()) return std::nullopt;
    return text;
}

}  // namespace emu::usb
