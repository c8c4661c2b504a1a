// The chip's baud-rate word. The rate is 3,000,000 / (n + s): n in bits 0-13 of wValue, s a
// sub-integer fraction chosen by a three-bit code whose low two bits are bits 14-15 of wValue and
// whose third bit the caller takes from wIndex (bit 0 on a single-port chip, bit 8 on a multi-port
// chip, whose low byte carries the port). Codes 0-7 mean 0, 1/2, 1/4, 1/8, 3/8, 5/8, 3/4, 7/8.
// Two divisors are special: 0 runs at 3,000,000 baud and 1 at 2,000,000 baud. A sub-integer divisor
// below 2 is not allowed; the chip runs at an undefined rate then (this model: 3 MHz / (n + s)).
#pragma once

#include <cstdint>

#include "device_time.h"

namespace emu::devices {

struct BaudDivisor {
    // 24 MHz: the 3 MHz baud clock counted in eighths, the unit of `eighths` below.
    static constexpr std::uint32_t kClockInEighths = 24'000'000;

    std::uint16_t value = 0;     // raw wValue
    bool codeBit2 = false;       // the third code bit, from wIndex
    std::uint16_t integer = 0;   // n
    std::uint8_t code = 0;       // sub-integer code 0-7
    std::uint32_t eighths = 0;   // effective divisor in eighths of the 3 MHz clock (never 0)
    bool valid = true;

    double Baud() const { return static_cast<double>(kClockInEighths) / eighths; }
    // One bit on the line, in fine time units (see device_time.h).
    FineTime BitTime() const { return static_cast<FineTime>(eighths) * 10; }
};

BaudDivisor DecodeBaudDivisor(std::uint16_t value, bool codeBit2);

// The rate the chip has at power-on: 9600 baud (wValue 0x4138, divisor 312.5).
BaudDivisor PowerOnBaudDivisor();

}  // namespace emu::devices
