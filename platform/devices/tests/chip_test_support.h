// Helpers the chip model's tests share: vendor requests by name and the host's side of bulk IN.
#pragma once

#include <cstdint>
#include <vector>

#include "cable.h"
#include "ftdi_chip.h"
#include "scripted_peer.h"
#include "vendor_requests.h"

namespace emu::devices::testing {

inline constexpr Time kMs = kTimePerMillisecond;
inline constexpr std::uint8_t kIn1 = InEndpointOf(1);
inline constexpr std::uint8_t kOut1 = OutEndpointOf(1);

inline SetupPacket VendorOut(std::uint8_t request, std::uint16_t value, std::uint16_t index = 1)
{
    return {usb::kTypeVendor | usb::kRecipientInterface, request, value, index, 0};
}

inline SetupPacket VendorIn(std::uint8_t request, std::uint16_t length, std::uint16_t index = 1)
{
    return {usb::kDirectionIn | usb::kTypeVendor | usb::kRecipientInterface, request, 0, index, length};
}

inline Handshake Vendor(FtdiChip& chip, Time now, std::uint8_t request, std::uint16_t value, std::uint16_t index = 1)
{
    return chip.Control(now, VendorOut(request, value, index)).handshake;
}

inline void Configure(FtdiChip& chip, Time now = 0)
{
    chip.Control(now, {usb::kTypeStandard, 9, ChipDescriptors::kConfigurationValue, 0, 0});
}

// Every packet the chip has for an IN endpoint at `now`, as the host's slots would take them.
inline std::vector<std::vector<std::uint8_t>> TakePackets(FtdiChip& chip, Time now, std::uint8_t endpoint = kIn1)
{
    std::vector<std::vector<std::uint8_t>> packets;
    for (BulkInResult result = chip.BulkIn(now, endpoint); result.handshake == Handshake::Ack;
         result = chip.BulkIn(now, endpoint))
        packets.push_back(result.packet);
    return packets;
}

inline std::vector<std::uint8_t> DataOf(const std::vector<std::vector<std::uint8_t>>& packets)
{
    std::vector<std::uint8_t> data;
    for (const auto& packet : packets) data.insert(data.end(), packet.begin() + 2, packet.end());
    return data;
}

inline std::vector<std::uint8_t> Counting(std::size_t count, std::uint8_t first = 0)
{
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

}  // namespace emu::devices::testing
