// Identity of the simulated USB-serial chips: the maker's USB vendor ID (the build-time constant
// CV_MAKER_VENDOR_ID, which the bus driver's hardware-ID rule is built with too), the product IDs
// of the adapters, and the endpoint numbering of the ports.
#pragma once

#include <cstdint>
#include <optional>

namespace emu::devices {

#ifndef CV_MAKER_VENDOR_ID
#error "CV_MAKER_VENDOR_ID is set by the build"
#endif
inline constexpr std::uint16_t kChipVendorId = CV_MAKER_VENDOR_ID;
inline constexpr std::uint16_t kSinglePortProductId = 0x6001;  // one interface
inline constexpr std::uint16_t kDualPortProductId = 0x6010;    // composite, one interface per port
// A product ID beginning with F: an adapter the bus driver must refuse.
inline constexpr std::uint16_t kRefusedProductId = 0xF0C1;

enum class ChipKind { SinglePort, DualPort };

constexpr int PortCountOf(ChipKind kind) { return kind == ChipKind::DualPort ? 2 : 1; }
constexpr std::uint16_t DefaultProductIdOf(ChipKind kind)
{
    return kind == ChipKind::DualPort ? kDualPortProductId : kSinglePortProductId;
}

// Ports are numbered from 1 as the vendor requests number them; port p is interface p - 1 with
// bulk IN endpoint 0x80 | (2p - 1) and bulk OUT endpoint 2p (0x81/0x02, 0x83/0x04).
constexpr std::uint8_t InEndpointOf(int port) { return static_cast<std::uint8_t>(0x80 | (2 * port - 1)); }
constexpr std::uint8_t OutEndpointOf(int port) { return static_cast<std::uint8_t>(2 * port); }

// The port behind an endpoint address, or nothing when the chip has no such endpoint.
std::optional<int> PortOfEndpoint(std::uint8_t endpointAddress, int portCount);

}  // namespace emu::devices
