// The USB descriptors of a simulated chip, as raw little-endian bytes: device descriptor,
// configuration descriptor (with its interfaces and endpoints, wTotalLength bytes) and the string
// descriptors. Full speed, one configuration; each port is an interface of vendor class 0xFF with a
// bulk IN and a bulk OUT endpoint of 64 bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "chip_identity.h"

namespace emu::devices {

struct ChipIdentity {
    ChipKind kind = ChipKind::SinglePort;
    std::uint16_t vendorId = kChipVendorId;
    std::uint16_t productId = kSinglePortProductId;
    std::uint16_t deviceRelease = 0;  // bcdDevice; 0 picks the kind's own
    std::string manufacturer = "CvUsbSerial Emulated Devices";
    std::string product;  // empty picks the kind's own
    std::string serialNumber = "EMU00001";
};

class ChipDescriptors {
public:
    static constexpr std::uint8_t kDeviceType = 1;
    static constexpr std::uint8_t kConfigurationType = 2;
    static constexpr std::uint8_t kStringType = 3;
    static constexpr std::uint8_t kInterfaceType = 4;
    static constexpr std::uint8_t kEndpointType = 5;
    static constexpr std::uint8_t kConfigurationValue = 1;
    static constexpr std::uint16_t kLanguageEnglishUs = 0x0409;

    explicit ChipDescriptors(const ChipIdentity& identity);

    const std::vector<std::uint8_t>& Device() const { return m_device; }
    const std::vector<std::uint8_t>& Configuration() const { return m_configuration; }
    // String descriptor `index` (0 = the language list), or nullptr when there is none.
    const std::vector<std::uint8_t>* String(std::uint8_t index) const;

private:
    std::vector<std::uint8_t> m_device;
    std::vector<std::uint8_t> m_configuration;
    std::vector<std::vector<std::uint8_t>> m_strings;
};

}  // namespace emu::devices
