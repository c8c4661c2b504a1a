// The directives of an install section that change the machine: AddReg (registry values under a
// root, HKR being the key the caller names), CopyFiles (into the directory [DestinationDirs]
// gives: driver images into the drivers directory, other files into the system directory) and
// AddService (a service key from its service-install section).
#pragma once

#include <string>
#include <string_view>

#include "inf_file.h"
#include "inf_store.h"

namespace emu {
class Kernel;
}

namespace emu::setup {

// Win32 errors (0 when done).
// Runs every "AddReg = a, b" line of the section; HKR is `relativeRoot` (a full registry path).
unsigned long RunAddReg(Kernel& machine, const InfFile& inf, std::u16string_view section, std::u16string_view relativeRoot);
// One AddReg entry: root, subkey, value name, flags, data...
unsigned long AddRegEntry(Kernel& machine, const InfLine& line, std::u16string_view relativeRoot);
// Runs every "CopyFiles = list | @file" line of the section with the package's files.
unsigned long RunCopyFiles(Kernel& machine, const InfFile& inf, std::u16string_view section, const PackageFiles& files);
// Runs the "AddService = name, flags, section" lines of "<section>.Services".
unsigned long RunAddService(Kernel& machine, const InfFile& inf, std::u16string_view installSection);

// Where a file of a file-list section goes: the directory number of [DestinationDirs].
unsigned DestinationDirId(const InfFile& inf, std::u16string_view fileListSection);

}  // namespace emu::setup
