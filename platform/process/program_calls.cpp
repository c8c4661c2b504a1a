// kernel32's calls on the calling thread's program: its current directory and priority class.
#include <cstring>

#include "program.h"

namespace {

DWORD CopyPath(const std::u16string& path, LPWSTR buffer, DWORD size)
{
    if (!buffer || size <= path.size()) return static_cast<DWORD>(path.size() + 1);
    std::memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(path.size());
}

}  // namespace

extern "C" DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer)
{
    return CopyPath(emu::process::CurrentProgram()->CurrentDirectory(), lpBuffer, nBufferLength);
}

extern "C" BOOL SetCurrentDirectoryW(LPCWSTR lpPathName)
{
    if (!lpPathName || !*lpPathName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::u16string path(lpPathName);
    while (path.size() > 3 && path.back() == u'\\') path.pop_back();
    emu::process::CurrentProgram()->SetCurrentDirectory(path);
    return TRUE;
}

extern "C" DWORD GetPriorityClass(HANDLE hProcess) { return emu::process::CurrentProgram()->PriorityClass(); }

extern "C" BOOL SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass)
{
    emu::process::CurrentProgram()->SetPriorityClass(dwPriorityClass);
    return TRUE;
}
