#include "line_settings.h"

namespace emu::devices {

namespace {

constexpr std::uint16_t kBreakBit = 0x4000;
constexpr std::uint16_t kReservedBits = 0xA000;

unsigned HalfStopBits(StopBits stopBits)
{
    switch (stopBits) {
    case StopBits::One:
        return 2;
    case StopBits::OneAndHalf:
        return 3;
    case StopBits::Two:
        return 4;
    }
    return 2;
}

}  // namespace

unsigned LineSettings::HalfBitsPerCharacter() const
{
    const unsigned parityBits = parity == Parity::None ? 0 : 1;
    return 2 * (1 + dataBits + parityBits) + HalfStopBits(stopBits);
}

std::optional<LineSettings> DecodeDataWord(std::uint16_t value)
{
    const unsigned dataBits = value & 0xFF;
    const unsigned parity = (value >> 8) & 0x7;
    const unsigned stopBits = (value >> 11) & 0x3;
    if (dataBits < 5 || dataBits > 8 || parity > 4 || stopBits > 2 || (value & kReservedBits) != 0)
        return std::nullopt;
    LineSettings line;
    line.dataBits = static_cast<std::uint8_t>(dataBits);
    line.parity = static_cast<Parity>(parity);
    line.stopBits = static_cast<StopBits>(stopBits);
    line.breakOn = (value & kBreakBit) != 0;
    return line;
}

}  // namespace emu::devices
