// A path as the calling thread's program names it, made full (against its current directory) and
// taken through WOW64's redirection.
#pragma once

#include <string>
#include <string_view>

namespace emu::files {

std::u16string ProgramPath(std::u16string_view path);

}  // namespace emu::files
