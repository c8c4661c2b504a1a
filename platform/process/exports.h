// The exports of the system's DLLs that programs look up with GetProcAddress. Whether one exists
// depends on the system: RegDeleteKeyExW from Vista on (and on 64-bit XP), the WOW64 calls only on
// a 64-bit system. Each layer registers the exports it implements.
#pragma once

#include <processthreadsapi.h>

#include <functional>
#include <string_view>

namespace emu::process {

using ExportPresent = std::function<bool()>;

// Registers `name` in `module` ("kernel32.dll"); `present` says whether the running system has it.
void RegisterExport(std::u16string_view module, std::string_view name, FARPROC function, ExportPresent present);
// Present on every system.
bool Always();
// Present on 64-bit systems only.
bool On64BitSystem();
// Present from Windows Vista on, and on 64-bit systems.
bool OnVistaOr64Bit();

}  // namespace emu::process
