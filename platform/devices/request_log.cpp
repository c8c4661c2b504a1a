#include "request_log.h"

#include <cstdio>

namespace emu::devices {

std::string HexText(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

}  // namespace emu::devices
