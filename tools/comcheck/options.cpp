#include "options.h"

#include <cstdlib>
#include <string_view>

namespace comcheck {
namespace {

bool ParseNumber(std::string_view text, unsigned long long& value)
{
    if (text.empty() || text.size() > 18) return false;
    unsigned long long result = 0;
    unsigned long long scale = 1;
    if (text.back() == 'k' || text.back() == 'K') scale = 1024, text.remove_suffix(1);
    else if (text.back() == 'm' || text.back() == 'M') scale = 1024 * 1024, text.remove_suffix(1);
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + unsigned(c - '0');
    }
    value = result * scale;
    return true;
}

bool Apply(Options& options, std::string_view name, std::string_view value, std::string& error)
{
    unsigned long long number = 0;
    if (name == "--chip") {
        if (value == "one") options.chip = ChipKind::OnePort;
        else if (value == "two") options.chip = ChipKind::TwoPort;
        else return error = "--chip takes one or two", false;
    } else if (name == "--cable") {
        if (value == "loopback") options.cable = CableKind::Loopback;
        else if (value == "null-modem") options.cable = CableKind::NullModem;
        else if (value == "none") options.cable = CableKind::None;
        else return error = "--cable takes loopback, null-modem or none", false;
    } else if (name == "--rate") {
        if (!ParseNumber(value, number) || number < 50 || number > 3000000) return error = "--rate takes 50 to 3000000", false;
        options.rate = static_cast<unsigned long>(number);
    } else if (name == "--size") {
        if (!ParseNumber(value, number) || number == 0 || number > 64ull * 1024 * 1024)
            return error = "--size takes 1 to 64M bytes", false;
        options.size = static_cast<std::size_t>(number);
    } else if (name == "--clock-scale") {
        char* end = nullptr;
        const std::string text(value);
        options.clockScale = std::strtod(text.c_str(), &end);
        if (end == text.c_str() || *end != '\0' || !(options.clockScale >= 0.01 && options.clockScale <= 1000))
            return error = "--clock-scale takes 0.01 to 1000", false;
    } else if (name == "--seed") {
        if (!ParseNumber(value, number) || number > 0xFFFFFFFFull) return error = "--seed takes a number", false;
        options.seed = static_cast<unsigned>(number);
    } else {
        return error = "unknown option " + std::string(name), false;
    }
    return true;
}

}  // namespace

std::optional<Options> ParseOptions(int argc, char** argv, std::string& error)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--verbose" || arg == "-v") {
            options.verbose = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            continue;
        }
        std::string_view name = arg;
        std::string_view value;
        if (const size_t eq = arg.find('='); eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            error = std::string(arg) + " needs a value";
            return std::nullopt;
        }
        if (!Apply(options, name, value, error)) return std::nullopt;
    }
    if (options.cable == CableKind::NullModem && options.chip != ChipKind::TwoPort) options.chip = ChipKind::TwoPort;
    return options;
}

const char* UsageText()
{
    return "usage: comcheck [options]\n"
           "Boots an emulated machine, installs the driver package, plugs a simulated USB-serial adapter,\n"
           "and moves a block of random data through its COM port as an application would.\n"
           "  --chip one|two                 the adapter's chip (default one; null-modem implies two)\n"
           "  --cable loopback|null-modem|none\n"
           "                                 a loopback plug on the first port (default), a null-modem\n"
           "                                 cable between the two ports of a two-port chip, or nothing\n"
           "  --rate N                       baud rate, 50 to 3000000 (default 115200)\n"
           "  --size N[k|M]                  bytes to send (default 256k)\n"
           "  --clock-scale X                machine time against real time (default 20)\n"
           "  --seed N                       seed of the random data (default 1)\n"
           "  --verbose, -v                  trace every request the chip receives\n";
}

}  // namespace comcheck
