// The settings of one port that the host programs with vendor requests, their wire encodings, and
// the character time they give.
#pragma once

#include <cstdint>
#include <optional>

#include "baud_divisor.h"
#include "device_time.h"
#include "line_signals.h"

namespace emu::devices {

enum class Parity : std::uint8_t { None, Odd, Even, Mark, Space };
enum class StopBits : std::uint8_t { One, OneAndHalf, Two };

// SET_DATA's word: bits 0-7 data bits (5 to 8), bits 8-10 parity (0 none, 1 odd, 2 even, 3 mark,
// 4 space), bits 11-12 stop bits (0 one, 1 one and a half, 2 two), bit 14 break; bits 13 and 15
// are reserved (0).
struct LineSettings {
    std::uint8_t dataBits = 8;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
    bool breakOn = false;

    // Start bit + data bits + parity bit + stop bits, in half bits (one and a half stop bits).
    unsigned HalfBitsPerCharacter() const;
    bool SameFrame(const LineSettings& other) const
    {
        return dataBits == other.dataBits && parity == other.parity && stopBits == other.stopBits;
    }
};

// Nothing when a field is out of range or a reserved bit is set.
std::optional<LineSettings> DecodeDataWord(std::uint16_t value);

// SET_FLOW_CTRL: wValue carries XON (low byte) and XOFF (high byte), the high byte of wIndex the
// modes: 0x01 RTS/CTS, 0x02 DTR/DSR, 0x04 XON/XOFF.
struct FlowControl {
    static constexpr std::uint8_t kRtsCts = 0x01;
    static constexpr std::uint8_t kDtrDsr = 0x02;
    static constexpr std::uint8_t kXonXoff = 0x04;

    bool rtsCts = false;
    bool dtrDsr = false;
    bool xonXoff = false;
    std::uint8_t xon = 0x11;
    std::uint8_t xoff = 0x13;
};

// The event and error characters: SET_EVENT_CHAR / SET_ERROR_CHAR wValue = character | 0x100 when
// enabled.
struct SpecialCharacter {
    std::uint8_t value = 0;
    bool enabled = false;
    bool Matches(std::uint8_t byte) const { return enabled && byte == value; }
};

// Everything a port is programmed with, at its power-on values.
struct PortSettings {
    static constexpr std::uint8_t kPowerOnLatencyMs = 16;

    BaudDivisor baud = PowerOnBaudDivisor();
    LineSettings line;
    FlowControl flow;
    SpecialCharacter eventCharacter;
    SpecialCharacter errorCharacter;
    std::uint8_t latencyMs = kPowerOnLatencyMs;
    ModemOutputs modemControl;  // DTR and RTS as MODEM_CTRL set them

    // One character on the line at these settings, in fine time units.
    FineTime CharacterTime() const { return line.HalfBitsPerCharacter() * baud.BitTime() / 2; }
};

}  // namespace emu::devices
