// A port's settings changed the way the property pages change them: through the configuration
// interface of the COM port device, reading the set, changing a value and writing it back. The port
// answers for its own set and passes the bus set on to the bus driver.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace emu {
class Machine;
}

namespace cvinstall {

// Offsets of values in the two serialised sets.
inline constexpr size_t kBusLatencyTimerOffset = 2 * sizeof(ULONG);
inline constexpr size_t kBusMaximumBaudRateOffset = 5 * sizeof(ULONG);
inline constexpr size_t kBusPolicyTypeOffset = 8 * sizeof(ULONG);  // after InterfaceType "USB" (two words)
inline constexpr size_t kBusMaximumLatencyOffset = 9 * sizeof(ULONG);
inline constexpr size_t kPortMaxBaudRateOffset = 1 * sizeof(ULONG);

enum class ParameterSet { Port, Bus };

// The configuration interface of the started port whose COM name is `portName`; empty if none.
std::u16string PortConfigurationPath(emu::Machine& machine, const std::u16string& portName);
// Sets one value of a set; false (with `error`) if the interface refused a request.
bool SetParameter(const std::u16string& path, ParameterSet set, size_t offset, ULONG value, std::string& error);
// MaximumBaudRate in the bus set and MaxBaudRate in the port set, as a user raises them for rates
// above 1,000,000 baud.
bool RaiseMaximumBaudRate(emu::Machine& machine, const std::u16string& portName, ULONG rate, std::string& error);

}  // namespace cvinstall
