// The machine's ANSI code page: single-byte, each byte the character of the same number.
#include "win32_subsystem.h"

namespace emu::win32 {

std::u16string FromAnsi(const char* text)
{
    std::u16string wide;
    for (const char* p = text; *p; ++p) wide.push_back(static_cast<WCHAR>(static_cast<unsigned char>(*p)));
    return wide;
}

}  // namespace emu::win32
