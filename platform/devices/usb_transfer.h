// What a USB host exchanges with a device model: the setup packet of a control transfer and the
// device's answer to a transaction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace emu::devices {

// How the device answered. NoResponse: the device did not answer at all (the host sees a
// transaction error, USBD_STATUS_XACT_ERROR); Nak: busy, try again later; Stall: refused (the
// endpoint is halted until cleared, or for a control request, until the next setup packet).
enum class Handshake { Ack, Nak, Stall, NoResponse };

struct SetupPacket {
    std::uint8_t requestType = 0;  // bmRequestType
    std::uint8_t request = 0;      // bRequest
    std::uint16_t value = 0;       // wValue
    std::uint16_t index = 0;       // wIndex
    std::uint16_t length = 0;      // wLength
};

namespace usb {
inline constexpr std::uint8_t kDirectionIn = 0x80;
inline constexpr std::uint8_t kTypeMask = 0x60;
inline constexpr std::uint8_t kTypeStandard = 0x00;
inline constexpr std::uint8_t kTypeClass = 0x20;
inline constexpr std::uint8_t kTypeVendor = 0x40;
inline constexpr std::uint8_t kRecipientMask = 0x1F;
inline constexpr std::uint8_t kRecipientDevice = 0;
inline constexpr std::uint8_t kRecipientInterface = 1;
inline constexpr std::uint8_t kRecipientEndpoint = 2;
inline constexpr std::size_t kFullSpeedBulkPacket = 64;
}  // namespace usb

// The answer to a control transfer: IN data (at most wLength bytes) when the handshake is Ack.
struct ControlResult {
    Handshake handshake = Handshake::Ack;
    std::vector<std::uint8_t> data;
};

// An IN answer: at most wLength bytes of `data`.
inline ControlResult ControlAnswer(const SetupPacket& setup, std::vector<std::uint8_t> data)
{
    if (data.size() > setup.length) data.resize(setup.length);
    return {Handshake::Ack, std::move(data)};
}

// The answer to one bulk IN token: a packet when the handshake is Ack.
struct BulkInResult {
    Handshake handshake = Handshake::Nak;
    std::vector<std::uint8_t> packet;
};

// The answer to bulk OUT data: how many bytes the device took (whole packets).
struct BulkOutResult {
    Handshake handshake = Handshake::Nak;
    std::size_t accepted = 0;
};

}  // namespace emu::devices
