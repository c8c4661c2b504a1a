// The answer kernel32 gives when it copies a path into a caller's buffer: the length copied, or,
// when the buffer is too small, the size needed with the terminator.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

namespace emu::process {

inline UINT CopyPathAnswer(const std::u16string& path, LPWSTR buffer, DWORD size)
{
    if (!buffer || size <= path.size()) return static_cast<UINT>(path.size() + 1);
    std::memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return static_cast<UINT>(path.size());
}

}  // namespace emu::process
