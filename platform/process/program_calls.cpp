// kernel32's calls on the calling thread's program: its current directory and priority class.
#include "path_answer.h"
#include "program.h"

extern "C" DWORD GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer)
{
    return emu::process::CopyPathAnswer(emu::process::CurrentProgram()->CurrentDirectory(), lpBuffer, nBufferLength);
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
