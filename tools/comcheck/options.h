// The command line of comcheck.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace comcheck {

enum class ChipKind { OnePort, TwoPort };
enum class CableKind { Loopback, NullModem, None };

struct Options {
    ChipKind chip = ChipKind::OnePort;
    CableKind cable = CableKind::Loopback;
    unsigned long rate = 115200;
    std::size_t size = 256 * 1024;
    double clockScale = 20.0;  // machine time against real time
    bool paced = true;         // the line at its rate, the USB host in its frame budget
    unsigned seed = 1;
    bool verbose = false;
    bool help = false;
};

// The options, or nothing with `error` set when the command line is not understood.
std::optional<Options> ParseOptions(int argc, char** argv, std::string& error);
const char* UsageText();

}  // namespace comcheck
