#include "program_paths.h"

#include "file_redirection.h"
#include "file_system.h"

namespace emu::files {

std::u16string ProgramPath(std::u16string_view path) { return process::RedirectedPath(FullPath(path)); }

}  // namespace emu::files
