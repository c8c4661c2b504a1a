// Time as the device models see it. The models never read a clock: the host passes the machine's
// interrupt time into every call, in 100 ns units (KeQueryInterruptTime's unit), and the models
// tell it when something will next happen so that it can schedule.
//
// Inside the models time is kept 24 times finer (FineTime), so that every bit time of every baud
// divisor is a whole number: one bit at divisor d + f/8 of the 3 MHz clock lasts (8d + f) / 24 MHz,
// which is (8d + f) x 10 fine units.
#pragma once

#include <cstdint>
#include <limits>

namespace emu::devices {

using Time = std::int64_t;  // 100 ns units of machine interrupt time
inline constexpr Time kNever = std::numeric_limits<Time>::max();
inline constexpr Time kTimePerMillisecond = 10'000;
inline constexpr Time kTimePerSecond = 10'000'000;

using FineTime = std::int64_t;
inline constexpr FineTime kFinePerTime = 24;
inline constexpr FineTime kFineNever = std::numeric_limits<FineTime>::max();

constexpr FineTime ToFine(Time time)
{
    return time >= kNever / kFinePerTime ? kFineNever : time * kFinePerTime;
}

// The first whole time unit at or after a fine instant: the host observes an event from then on.
constexpr Time ToTime(FineTime fine)
{
    return fine == kFineNever ? kNever : (fine + kFinePerTime - 1) / kFinePerTime;
}

}  // namespace emu::devices
