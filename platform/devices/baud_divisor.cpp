#include "baud_divisor.h"

#include <array>

namespace emu::devices {

namespace {

// Sub-integer code -> eighths added to 8n.
constexpr std::array<std::uint8_t, 8> kCodeEighths{0, 4, 2, 1, 3, 5, 6, 7};

constexpr std::uint32_t kEighthsAt3Mbaud = 8;   // divisor 0
constexpr std::uint32_t kEighthsAt2Mbaud = 12;  // divisor 1

}  // namespace

BaudDivisor DecodeBaudDivisor(std::uint16_t value, bool codeBit2)
{
    BaudDivisor divisor;
    divisor.value = value;
    divisor.codeBit2 = codeBit2;
    divisor.integer = value & 0x3FFF;
    divisor.code = static_cast<std::uint8_t>((value >> 14) | (codeBit2 ? 4 : 0));
    const std::uint32_t fraction = kCodeEighths[divisor.code];
    if (divisor.integer < 2 && fraction == 0) {
        divisor.eighths = divisor.integer == 0 ? kEighthsAt3Mbaud : kEighthsAt2Mbaud;
    } else {
        divisor.valid = divisor.integer >= 2;
        divisor.eighths = 8u * divisor.integer + fraction;
    }
    return divisor;
}

BaudDivisor PowerOnBaudDivisor() { return DecodeBaudDivisor(0x4138, false); }

}  // namespace emu::devices
