// WOW64's file-system redirector: a 32-bit program on a 64-bit system that names a file in the
// system folder reaches the 32-bit system folder instead, while its thread's flag is on. A few
// folders below System32 are exempt.
#pragma once

#include <string>
#include <string_view>

namespace emu::process {

// The path the calling thread's program reaches when it names `path`.
std::u16string RedirectedPath(std::u16string_view path);

}  // namespace emu::process
