// The signals of a serial line as the chip sees them, and the bits of the two status bytes that
// begin every bulk IN packet (and answer GET_MODEM_STATUS).
#pragma once

#include <cstdint>

namespace emu::devices {

// Inputs of a port (driven by the far end of its cable).
struct ModemInputs {
    bool cts = false;
    bool dsr = false;
    bool ri = false;
    bool dcd = false;
    bool operator==(const ModemInputs&) const = default;
};

// Outputs of a port as they appear on its pins.
struct ModemOutputs {
    bool rts = false;
    bool dtr = false;
    bool operator==(const ModemOutputs&) const = default;
};

namespace status {
// First status byte: the low nibble always reads 0001, then the four modem inputs.
inline constexpr std::uint8_t kModemNibble = 0x01;
inline constexpr std::uint8_t kCts = 0x10;
inline constexpr std::uint8_t kDsr = 0x20;
inline constexpr std::uint8_t kRi = 0x40;
inline constexpr std::uint8_t kDcd = 0x80;

// Second status byte: the line status.
inline constexpr std::uint8_t kDataReady = 0x01;
inline constexpr std::uint8_t kOverrun = 0x02;
inline constexpr std::uint8_t kParityError = 0x04;
inline constexpr std::uint8_t kFramingError = 0x08;
inline constexpr std::uint8_t kBreak = 0x10;
inline constexpr std::uint8_t kTransmitHoldingEmpty = 0x20;  // THRE
inline constexpr std::uint8_t kTransmitterEmpty = 0x40;      // TEMT
inline constexpr std::uint8_t kFifoError = 0x80;

// The per-character errors a received byte can carry.
inline constexpr std::uint8_t kCharacterErrors = kParityError | kFramingError | kBreak;
}  // namespace status

constexpr std::uint8_t ModemStatusByte(const ModemInputs& inputs)
{
    return static_cast<std::uint8_t>(status::kModemNibble | (inputs.cts ? status::kCts : 0) |
                                     (inputs.dsr ? status::kDsr : 0) | (inputs.ri ? status::kRi : 0) |
                                     (inputs.dcd ? status::kDcd : 0));
}

}  // namespace emu::devices
